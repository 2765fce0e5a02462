// Golden vectors: every cipher form against the independent Python model fed
// with the same records, session key and pad bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "cipher_support.h"

namespace {

std::string LevelFields(int level, const KeyMaterial& m) {
  return "level=" + std::to_string(level) + " key=" + Hex(m.sessionKey) + " local=" + m.LocalHex() +
         " remote=" + m.RemoteHex();
}

TEST(CipherReference, ExchangeValuesAndTheirCheck) {
  std::vector<KeyMaterial> materials;
  std::vector<std::string> requests;
  for (uint32_t seed : {1u, 2u, 3u}) {
    materials.push_back(MakeKeyMaterial(seed));
    requests.push_back("exchange record=" + materials.back().LocalHex() +
                       " seed=" + std::to_string(kExchangeSeedWord));
    requests.push_back("serverexchange record=" + materials.back().RemoteHex());
  }
  const auto answers = AskReference(requests);
  ASSERT_EQ(answers.size(), requests.size());

  for (size_t i = 0; i < materials.size(); ++i) {
    KeyMaterial& m = materials[i];
    const ExchangeRecord before = m.local;
    ASSERT_EQ(MakeExchangeValue(&m.local), 0);
    EXPECT_EQ(Hex(m.local.bytes, 16), answers[2 * i]);
    EXPECT_EQ(memcmp(m.local.bytes + 16, before.bytes + 16, ExchangeRecord::kSize - 16), 0);

    // The server's value passes; a single changed bit in any checked field fails.
    const Bytes value = Fields(answers[2 * i + 1])[0];
    memcpy(m.remote.bytes, value.data(), 16);
    EXPECT_EQ(VerifyExchangeValue(&m.remote), 0);
    struct Flip {
      size_t byte;
      uint8_t bit;
      bool passes;
    };
    const Flip flips[] = {
        {0, 0x01, false},   // check 0
        {7, 0x80, false},   // check 1
        {9, 0x10, false},   // check 2
        {15, 0x01, false},  // check 3
        {3, 0x04, false},   // the seed word is part of the digest
        {19, 0x02, false},  // the eight bytes
        {27, 0x40, false},  // the two bytes
        {16, 0xFF, true},   // not used
    };
    for (const Flip& f : flips) {
      SCOPED_TRACE(f.byte);
      RemoteExchangeRecord changed = m.remote;
      changed.bytes[f.byte] ^= f.bit;
      EXPECT_EQ(VerifyExchangeValue(&changed), f.passes ? 0 : kCipherFailed);
    }
  }
  EXPECT_EQ(VerifyExchangeValue(nullptr), kCipherFailed);
}

// Levels 1 to 3: what the client sends is byte for byte the model's packet,
// and the model's packets (which either side sends alike) decrypt.
TEST(CipherReference, SealedPackets) {
  KeyMaterial m = MakeKeyMaterial(7);
  CSessionCipher cipher;
  Activate(&cipher, &m);

  struct Case {
    int level;
    uint32_t n;
  };
  std::vector<Case> cases;
  for (int level : {1, 2, 3}) {
    for (uint32_t n : {0u, 1u, 5u, 10u, 11u, 15u, 16u, 20u, 23u, 24u, 100u, 1370u}) {
      cases.push_back({level, n});
    }
  }
  std::vector<std::string> requests;
  std::vector<Bytes> pads;
  for (const Case& c : cases) {
    const int s = cipher.GetPaddingSize(c.n, c.level);
    ASSERT_GT(s, 0);
    const int m3 = c.level == 3 ? 16 : 3;
    pads.push_back(Pattern(static_cast<size_t>(s - m3 - 1), c.n + 77));
    requests.push_back("packet " + LevelFields(c.level, m) + " pad=" + Hex(pads.back()) +
                       " payload=" + Hex(Pattern(c.n, c.n)));
  }
  const auto answers = AskReference(requests);
  ASSERT_EQ(answers.size(), cases.size());

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("level " + std::to_string(c.level) + " n " + std::to_string(c.n));
    const Bytes payload = Pattern(c.n, c.n);
    const int s = cipher.GetPaddingSize(c.n, c.level);
    Bytes out(c.n + static_cast<size_t>(s));
    ScriptedRandom random;
    random.Queue(pads[i]);
    ASSERT_EQ(cipher.EncryptPacket(out.data(), payload.data(), c.n, s, c.level), 0);
    EXPECT_EQ(random.Pending(), 0u);
    EXPECT_EQ(Hex(out), answers[i]);

    Bytes received = FromHex(answers[i]);
    uint32_t length = static_cast<uint32_t>(received.size());
    ASSERT_EQ(cipher.DecryptPacket(received.data(), received.data(), &length, c.level), 0);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + length), payload);
  }
}

// Level 0 pairs crosswise: slot packets go out block by block and come in
// chained; control messages go out chained and come in block by block.
TEST(CipherReference, Level0PacketsAndMessages) {
  KeyMaterial m = MakeKeyMaterial(8);
  CSessionCipher cipher;
  Activate(&cipher, &m);
  const std::string key = "key=" + Hex(m.sessionKey);

  struct Sent {
    bool message;
    uint32_t n;
    int s;
  };
  const Sent sent[] = {
      {false, 0, 8}, {false, 1, 7}, {false, 7, 9}, {false, 8, 8}, {false, 15, 9}, {false, 100, 4},
      {true, 4, 4},  {true, 12, 4}, {true, 29, 3}, {true, 0, 8},
  };
  struct Received {
    bool message;
    size_t pad;
    uint32_t n;
  };
  const Received received[] = {
      {false, 0, 7}, {false, 3, 4}, {false, 7, 24}, {false, 1, 1366},
      {true, 0, 15}, {true, 3, 12}, {true, 7, 0},
  };

  std::vector<std::string> requests;
  for (const Sent& c : sent) {
    requests.push_back(std::string(c.message ? "chained0 " : "slot0 ") + key +
                       " pad=" + Hex(Pattern(static_cast<size_t>(c.s - 1), c.n + 5)) +
                       " payload=" + Hex(Pattern(c.n, c.n + 9)));
  }
  for (const Received& c : received) {
    requests.push_back(std::string(c.message ? "slot0 " : "chained0 ") + key +
                       " pad=" + Hex(Pattern(c.pad, c.n + 1)) + " payload=" + Hex(Pattern(c.n, c.n + 2)));
  }
  const auto answers = AskReference(requests);
  ASSERT_EQ(answers.size(), requests.size());

  size_t i = 0;
  for (const Sent& c : sent) {
    SCOPED_TRACE(requests[i]);
    const Bytes payload = Pattern(c.n, c.n + 9);
    Bytes out(c.n + static_cast<size_t>(c.s));
    ScriptedRandom random;
    random.Queue(Pattern(static_cast<size_t>(c.s - 1), c.n + 5));
    const int32_t status = c.message
                               ? cipher.EncryptMessage(out.data(), payload.data(), c.n, c.s, 0)
                               : cipher.EncryptPacket(out.data(), payload.data(), c.n, c.s, 0);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Hex(out), answers[i++]);
  }
  for (const Received& c : received) {
    SCOPED_TRACE(requests[i]);
    Bytes data = FromHex(answers[i++]);
    uint32_t length = static_cast<uint32_t>(data.size());
    const int32_t status = c.message ? cipher.DecryptMessage(data.data(), data.data(), &length, 0)
                                     : cipher.DecryptPacket(data.data(), data.data(), &length, 0);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + length), Pattern(c.n, c.n + 2));
  }
}

TEST(CipherReference, CryptBlocks) {
  KeyMaterial m = MakeKeyMaterial(9);
  CSessionCipher cipher;
  Activate(&cipher, &m);

  struct Case {
    uint8_t flags;  // encrypt direction
    uint8_t level;
    uint32_t length;
  };
  const Case cases[] = {
      {1 | 4, 3, 1370}, {1 | 4 | 8, 3, 1370}, {1 | 4, 3, 2410}, {1 | 4 | 8, 3, 2410},
      {1, 3, 8},        {1, 3, 13},           {1 | 8, 0, 64},   {1 | 4, 1, 31},
      {1 | 4, 2, 100},  {1 | 2, 3, 17},  // both directions: encryption wins
  };
  std::vector<std::string> requests;
  for (const Case& c : cases) {
    requests.push_back("cryptblock flags=" + std::to_string(c.flags) + " level=" +
                       std::to_string(c.level) + " key=" + Hex(m.sessionKey) +
                       " data=" + Hex(Pattern(c.length, c.length)));
  }
  const auto answers = AskReference(requests);
  ASSERT_EQ(answers.size(), requests.size());

  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(requests[i].substr(0, 40));
    const auto expected = Fields(answers[i]);
    ASSERT_EQ(expected.size(), 2u);
    Bytes data = Pattern(c.length, c.length);
    CryptBlockRecord record;
    record.flags = c.flags;
    record.level = c.level;
    record.length = c.length;
    record.data = data.data();
    ASSERT_EQ(cipher.CryptBlock(&record), 0);
    EXPECT_EQ(data, expected[0]);
    if (c.flags & CryptBlockRecord::kWithDigest) {
      EXPECT_EQ(Hex(record.digest, 16), Hex(expected[1]));
    }

    record.flags = static_cast<uint8_t>((c.flags & ~CryptBlockRecord::kEncrypt) | CryptBlockRecord::kDecrypt);
    ASSERT_EQ(cipher.CryptBlock(&record), 0);
    EXPECT_EQ(data, Pattern(c.length, c.length));
  }
}

}  // namespace
