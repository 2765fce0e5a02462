// Behaviour of CSessionCipher: padding, refusals, round trips in place,
// authentication, block records, the random source and the wiping of keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "cipher_support.h"
#include "cryptlib/cipherblocks.h"

namespace {

class ActiveCipher : public ::testing::Test {
 protected:
  void SetUp() override { Activate(&cipher_, &material_); }

  // Encrypts a payload with the padding the cipher asks for.
  Bytes Encrypt(const Bytes& payload, int level) {
    const int s = cipher_.GetPaddingSize(static_cast<uint32_t>(payload.size()), level);
    EXPECT_GT(s, 0);
    Bytes out(payload.size() + static_cast<size_t>(s));
    EXPECT_EQ(cipher_.EncryptPacket(out.data(), payload.data(), static_cast<uint32_t>(payload.size()),
                                    s, level),
              0);
    return out;
  }

  KeyMaterial material_ = MakeKeyMaterial(21);
  CSessionCipher cipher_;
};

TEST(CipherPadding, SizesPerLevel) {
  KeyMaterial m = MakeKeyMaterial(1);
  CSessionCipher active;
  Activate(&active, &m);
  CSessionCipher inactive;
  struct Case {
    uint32_t n;
    int level;
    bool isActive;
    int expected;
  };
  const Case cases[] = {
      {0, 0, true, 8},    {7, 0, true, 9},   {15, 0, true, 9},   {9, 0, true, 7},
      {8, 0, true, 8},    {7, 0, false, 9},  {5, 1, true, 15},   {16, 1, true, 12},
      {20, 3, true, 21},  {0, 3, true, 33},  {24, 2, true, 12},  {5, 2, false, -1},
      {5, 4, true, -1},   {5, -1, true, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " at level " + std::to_string(c.level));
    EXPECT_EQ((c.isActive ? active : inactive).GetPaddingSize(c.n, c.level), c.expected);
  }
}

TEST_F(ActiveCipher, SealedLayouts) {
  struct Case {
    int level;
    uint32_t n;
    size_t size;
    uint8_t first;
  };
  const Case cases[] = {
      {1, 5, 20, 0x2B},   // pad 11, three code bytes, 16-byte region
      {3, 20, 41, 0x24},  // pad 4, sixteen code bytes, 24-byte region
      {2, 16, 28, 0x28},  // a whole block of pad behind a multiple of eight
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    const Bytes out = Encrypt(Pattern(c.n, 3), c.level);
    EXPECT_EQ(out.size(), c.size);
    EXPECT_EQ(out[0], c.first);
  }
}

// Refused on receipt, with the length the caller is left with.
TEST_F(ActiveCipher, ReceivedPacketsThatAreRefused) {
  Bytes level1 = Encrypt(Pattern(5, 1), 1);  // 20 bytes
  Bytes level2 = Encrypt(Pattern(16, 2), 2);
  level2[0] = 0x45;
  Level0Server server(material_.sessionKey);
  Bytes padEight = server.Encrypt(Pattern(8, 3), Pattern(7, 4), true);  // pad count 8
  struct Case {
    const char* what;
    Bytes data;
    int level;
    bool checkLength;
    uint32_t length;
  };
  const Case cases[] = {
      {"level 1 of 19 bytes", Bytes(level1.begin(), level1.end() - 1), 1, true, 15},
      {"level 1 shorter than its code", Bytes(3, 0x20), 1, true, 0},
      {"level 2 with tag bits 010", level2, 2, true, 0},
      {"level 3 region not a multiple of 8", Bytes(17 + 20, 0x21), 3, false, 0},
      {"level 0 pad count 8", padEight, 0, false, 0},
      {"level 0 of 12 bytes", Pattern(12, 5), 0, false, 0},
      {"level 0 empty", Bytes(), 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes data = c.data;
    data.reserve(1);
    uint32_t length = static_cast<uint32_t>(data.size());
    EXPECT_EQ(cipher_.DecryptPacket(data.data(), data.data(), &length, c.level), kCipherFailed);
    if (c.checkLength) {
      EXPECT_EQ(length, c.length);
    }
  }
  uint32_t length = 20;
  EXPECT_EQ(cipher_.DecryptPacket(level1.data(), level1.data(), &length, 4), kCipherFailed);
  EXPECT_EQ(cipher_.DecryptPacket(level1.data(), level1.data(), nullptr, 1), kCipherFailed);
}

// Level 0 takes only the padding GetPaddingSize gives: any other would leave
// a partial block in the clear or a pad count the server cannot take.
TEST_F(ActiveCipher, Level0RefusesOtherPadding) {
  struct Case {
    uint32_t n;
    int s;
  };
  const Case cases[] = {{5, 4}, {7, 1}, {8, 0}, {16, 16}, {3, -1}, {6, 10}, {0, 0}};
  Bytes out(64, 0xAB);
  const Bytes payload = Pattern(16, 6);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + "+" + std::to_string(c.s));
    EXPECT_EQ(cipher_.EncryptPacket(out.data(), payload.data(), c.n, c.s, 0), kCipherFailed);
  }
  // Messages take the caller's padding, as long as it fills whole blocks.
  EXPECT_EQ(cipher_.EncryptMessage(out.data(), payload.data(), 5, 4, 0), kCipherFailed);
  EXPECT_EQ(cipher_.EncryptMessage(out.data(), payload.data(), 5, 0, 0), kCipherFailed);
  EXPECT_EQ(cipher_.EncryptMessage(out.data(), payload.data(), 6, 10, 0), kCipherFailed);
  EXPECT_EQ(out, Bytes(64, 0xAB));
}

TEST_F(ActiveCipher, SealedPaddingChecks) {
  struct Case {
    int level;
    uint32_t n;
    int s;
    int32_t expected;
  };
  const Case cases[] = {
      {1, 5, 3, kCipherFailed},       // the pad would be negative
      {1, 5, 14, kCipherFailed},      // a region of 15 bytes
      {3, 4, 17 + 4, kCipherFailed},  // a region of 8 bytes
      {1, 0, 4 + 40, kCipherFailed},  // a pad of 40 does not fit its five bits
      {2, 8, 4 + 8, 0},               // 8 + 8: unusual, but a valid region
  };
  Bytes out(128);
  const Bytes payload = Pattern(16, 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.level) + ": " + std::to_string(c.n) + "+" + std::to_string(c.s));
    EXPECT_EQ(cipher_.EncryptPacket(out.data(), payload.data(), c.n, c.s, c.level), c.expected);
  }
  EXPECT_EQ(cipher_.EncryptPacket(out.data(), payload.data(), 5, 15, 4), kCipherFailed);
  EXPECT_EQ(cipher_.EncryptPacket(nullptr, payload.data(), 5, 15, 1), kCipherFailed);
}

TEST(CipherLifecycle, PacketOperationsNeedBothHalves) {
  struct Case {
    bool local;
    bool remote;
  };
  for (const Case& c : {Case{false, false}, Case{true, false}, Case{false, true}}) {
    SCOPED_TRACE(std::to_string(c.local) + std::to_string(c.remote));
    KeyMaterial m = MakeKeyMaterial(2);
    CSessionCipher cipher;
    ScriptedRandom random;
    random.Queue(m.sessionKey);
    ASSERT_EQ(cipher.WrapRandomKey(nullptr, nullptr, 0), 0);
    if (c.local) {
      ASSERT_EQ(cipher.SetLocalHalf(&m.local), 0);
    }
    if (c.remote) {
      ASSERT_EQ(cipher.SetRemoteHalf(&m.remote), 0);
    }
    EXPECT_FALSE(cipher.IsActive());
    Bytes buffer(64, 1);
    for (int level = 0; level <= 3; ++level) {
      uint32_t length = 32;
      EXPECT_EQ(cipher.EncryptPacket(buffer.data(), buffer.data(), 8, 8, level), kCipherFailed);
      EXPECT_EQ(cipher.DecryptPacket(buffer.data(), buffer.data(), &length, level), kCipherFailed);
      EXPECT_EQ(cipher.EncryptMessage(buffer.data(), buffer.data(), 8, 8, level), kCipherFailed);
      EXPECT_EQ(cipher.DecryptMessage(buffer.data(), buffer.data(), &length, level), kCipherFailed);
    }
  }
}

// Levels 1 to 3 in place, as the session core uses them, over sizes around
// every block boundary and a large packet.
TEST_F(ActiveCipher, SealedRoundTripsInPlace) {
  for (int level = 1; level <= 3; ++level) {
    for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 64u, 1000u, 16384u}) {
      SCOPED_TRACE(std::to_string(level) + ": " + std::to_string(n));
      const Bytes payload = Pattern(n, n + static_cast<uint32_t>(level));
      const int s = cipher_.GetPaddingSize(n, level);
      Bytes buffer(n + static_cast<size_t>(s));
      std::copy(payload.begin(), payload.end(), buffer.begin());
      ASSERT_EQ(cipher_.EncryptPacket(buffer.data(), buffer.data(), n, s, level), 0);
      uint32_t length = static_cast<uint32_t>(buffer.size());
      ASSERT_EQ(cipher_.DecryptPacket(buffer.data(), buffer.data(), &length, level), 0);
      ASSERT_EQ(length, n);
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + n), payload);
    }
  }
}

// Level 0 pairs crosswise with the server: what the client sends on a slot
// the server decrypts block by block, what the server sends on a slot is
// chained; control messages the other way round.
TEST_F(ActiveCipher, Level0RoundTripsWithTheServer) {
  Level0Server server(material_.sessionKey);
  for (uint32_t n = 0; n < 40; ++n) {
    SCOPED_TRACE(n);
    const Bytes payload = Pattern(n, n + 100);
    const int s = cipher_.GetPaddingSize(n, 0);

    Bytes sent(n + static_cast<size_t>(s));
    ASSERT_EQ(cipher_.EncryptPacket(sent.data(), payload.data(), n, s, 0), 0);
    bool ok = false;
    EXPECT_EQ(server.Decrypt(sent, false, &ok), payload);
    EXPECT_TRUE(ok);

    const size_t pad = (8 - (n + 1) % 8) % 8;
    Bytes received = server.Encrypt(Pattern(pad, n), payload, true);
    uint32_t length = static_cast<uint32_t>(received.size());
    ASSERT_EQ(cipher_.DecryptPacket(received.data(), received.data(), &length, 0), 0);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + length), payload);

    // Control messages: padding 4 behind a record sized to fill the blocks.
    const uint32_t m = ((n + 11) & ~7u) - 4;
    const Bytes message = Pattern(m, n + 200);
    Bytes out(m + 4);
    ASSERT_EQ(cipher_.EncryptMessage(out.data(), message.data(), m, 4, 0), 0);
    EXPECT_EQ(server.Decrypt(out, true, &ok), message);
    EXPECT_TRUE(ok);

    Bytes reply = server.Encrypt(Pattern(pad, n + 1), payload, false);
    length = static_cast<uint32_t>(reply.size());
    ASSERT_EQ(cipher_.DecryptMessage(reply.data(), reply.data(), &length, 0), 0);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + length), payload);
  }
}

// One changed byte anywhere that the code covers fails the check.
TEST_F(ActiveCipher, AChangedByteFailsTheCode) {
  struct Case {
    int level;
    uint32_t n;
    size_t flip;  // offset in the packet
  };
  const Case cases[] = {
      {1, 40, 1},   // the code itself
      {1, 40, 16},  // the shifted block over payload bytes 4 to 11 (behind 8 pad bytes)
      {2, 40, 46},  // the last byte
      {2, 40, 20},
      {3, 40, 60},
      {3, 40, 17},  // first region byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.level) + " at " + std::to_string(c.flip));
    Bytes packet = Encrypt(Pattern(c.n, 11), c.level);
    ASSERT_LT(c.flip, packet.size());
    packet[c.flip] ^= 0x01;
    uint32_t length = static_cast<uint32_t>(packet.size());
    EXPECT_EQ(cipher_.DecryptPacket(packet.data(), packet.data(), &length, c.level), kCipherFailed);
  }
}

// Level 1 authenticates only the first ten payload bytes and the first ten
// key bytes.
TEST(CipherMac, Level1CoversTenBytes) {
  const Bytes key = Pattern(16, 1);
  Bytes otherKey = key;
  otherKey[12] ^= 0x55;
  const Bytes a = Pattern(30, 2);
  Bytes b = a;
  b[10] ^= 0xFF;
  b[29] ^= 0xFF;
  Bytes c = a;
  c[9] ^= 0x01;

  uint8_t codeA[16], codeB[16], codeC[16], codeKey[16];
  ComputeMac(a.data(), a.size(), key.data(), 1, codeA);
  ComputeMac(b.data(), b.size(), key.data(), 1, codeB);
  ComputeMac(c.data(), c.size(), key.data(), 1, codeC);
  ComputeMac(a.data(), a.size(), otherKey.data(), 1, codeKey);
  EXPECT_EQ(Hex(codeA, 3), Hex(codeB, 3));
  EXPECT_EQ(Hex(codeA, 3), Hex(codeKey, 3));
  EXPECT_NE(Hex(codeA, 3), Hex(codeC, 3));
  EXPECT_TRUE(CheckMac(b.data(), b.size(), key.data(), 1, codeA));

  ComputeMac(b.data(), b.size(), key.data(), 2, codeB);
  EXPECT_FALSE(CheckMac(a.data(), a.size(), key.data(), 2, codeB));
}

TEST_F(ActiveCipher, CryptBlockRoundTripAndDigest) {
  struct Case {
    uint32_t length;
    uint8_t variant;
  };
  for (const Case& c : {Case{1370, 0}, Case{1370, 8}, Case{8, 0}, Case{15, 8}}) {
    SCOPED_TRACE(c.length);
    const Bytes plain = Pattern(c.length, 31);
    Bytes data = plain;
    CryptBlockRecord record;
    record.flags = static_cast<uint8_t>(CryptBlockRecord::kEncrypt | CryptBlockRecord::kWithDigest | c.variant);
    record.level = 3;
    record.length = c.length;
    record.data = data.data();
    ASSERT_EQ(cipher_.CryptBlock(&record), 0);
    EXPECT_NE(data, plain);

    CryptBlockRecord tampered = record;
    Bytes changed = data;
    changed[c.length / 2] ^= 0x04;
    tampered.data = changed.data();
    tampered.flags = static_cast<uint8_t>(CryptBlockRecord::kDecrypt | CryptBlockRecord::kWithDigest | c.variant);
    EXPECT_EQ(cipher_.CryptBlock(&tampered), kCipherFailed);

    // Without the digest flag nothing is checked.
    tampered.flags = static_cast<uint8_t>(CryptBlockRecord::kDecrypt | c.variant);
    changed = data;
    changed[c.length / 2] ^= 0x04;
    EXPECT_EQ(cipher_.CryptBlock(&tampered), 0);

    record.flags = tampered.flags | CryptBlockRecord::kWithDigest;
    ASSERT_EQ(cipher_.CryptBlock(&record), 0);
    EXPECT_EQ(data, plain);
  }
}

// 1370 bytes: the passes cover the first 1368 bytes as 171 blocks, then the
// tail pass covers 171 blocks from byte 2, so every byte is encrypted.
TEST(CipherBlocks, TailPassReachesTheLastBytes) {
  const Bytes key = Pattern(16, 5);
  const Bytes plain = Pattern(1370, 6);
  Bytes data = plain;
  ASSERT_EQ(EncryptBlocks(data.data(), 171, 2, 3, key.data(), 20), 0);
  EXPECT_NE(Bytes(data.end() - 2, data.end()), Bytes(plain.end() - 2, plain.end()));

  // Without the tail pass only the first 1368 bytes change.
  Bytes untailed = plain;
  ASSERT_EQ(EncryptBlocks(untailed.data(), 171, 0, 3, key.data(), 20), 0);
  EXPECT_EQ(Bytes(untailed.end() - 2, untailed.end()), Bytes(plain.end() - 2, plain.end()));

  ASSERT_EQ(DecryptBlocks(data.data(), 171, 2, 3, key.data(), 20), 0);
  EXPECT_EQ(data, plain);
  EXPECT_EQ(EncryptBlocks(data.data(), 171, 2, 4, key.data(), 20), kCipherFailed);
  EXPECT_EQ(DecryptBlocks(data.data(), 0, 2, 3, key.data(), 20), kCipherFailed);
}

TEST(CipherBlocks, CryptBlockRefusals) {
  KeyMaterial m = MakeKeyMaterial(3);
  CSessionCipher fresh;
  CSessionCipher keyed;
  {
    ScriptedRandom random;
    random.Queue(m.sessionKey);
    ASSERT_EQ(keyed.WrapRandomKey(nullptr, nullptr, 0), 0);
  }
  Bytes data(64, 9);
  struct Case {
    const char* what;
    bool withKey;
    uint8_t flags;
    uint8_t level;
    uint32_t length;
    int32_t expected;
  };
  const Case cases[] = {
      {"no direction", true, 4, 3, 64, kCipherNoBlockRecord},
      {"digest and variant only", true, 12, 3, 64, kCipherNoBlockRecord},
      {"no flags", true, 0, 3, 64, kCipherFailed},
      {"length 7", true, 5, 3, 7, kCipherFailed},
      {"level 4", true, 5, 4, 64, kCipherFailed},
      {"before the key", false, 5, 3, 64, kCipherFailed},
      {"decrypt before the key", false, 2, 3, 64, kCipherFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes copy = data;
    CryptBlockRecord record;
    record.flags = c.flags;
    record.level = c.level;
    record.length = c.length;
    record.data = copy.data();
    EXPECT_EQ((c.withKey ? keyed : fresh).CryptBlock(&record), c.expected);
    EXPECT_EQ(copy, data);
  }
  EXPECT_EQ(keyed.CryptBlock(nullptr), kCipherNoBlockRecord);
}

TEST(CipherKeys, WrapRandomKeySendsTheKeyUnderThePublicKey) {
  const Bytes sessionKey = Pattern(16, 40);
  PublicKeyRecord server;
  server.bytes[0] = 8;
  server.bytes[1] = 17;
  const Bytes modulus = Pattern(32, 41);
  memcpy(server.bytes + 4, modulus.data(), modulus.size());
  server.bytes[4] |= 0x80;

  CSessionCipher cipher;
  EXPECT_FALSE(cipher.IsKeyInstalled());
  Bytes out(33, 0xEE);
  {
    ScriptedRandom random;
    random.Queue(sessionKey);
    ASSERT_EQ(cipher.WrapRandomKey(&server, out.data(), 1), 0);
  }
  EXPECT_TRUE(cipher.IsKeyInstalled());
  uint8_t key[16];
  ASSERT_TRUE(cipher.GetKey(0, key));
  EXPECT_EQ(Hex(key, 16), Hex(sessionKey));
  EXPECT_FALSE(cipher.GetKey(1, key));
  EXPECT_FALSE(cipher.GetKey(-1, key));

  uint8_t expected[32];
  ASSERT_EQ(PublicKeyTransform(expected, 17, server.bytes + 4, 32, sessionKey.data(), 16), 0);
  EXPECT_EQ(Hex(out.data(), 32), Hex(expected, 32));
  EXPECT_EQ(out[32], 0xEE);

  // A word count that would reach past the record, or none at all.
  for (uint8_t words : {0, 33, 255}) {
    SCOPED_TRACE(words);
    server.bytes[0] = words;
    CSessionCipher other;
    EXPECT_EQ(other.WrapRandomKey(&server, out.data(), 1), kCipherFailed);
    EXPECT_FALSE(other.IsKeyInstalled());
  }
  // Only the low byte of the flag asks for the wrap.
  CSessionCipher unwrapped;
  EXPECT_EQ(unwrapped.WrapRandomKey(nullptr, nullptr, 0x100), 0);
  EXPECT_TRUE(unwrapped.IsKeyInstalled());
}

// Session keys, pad bytes and key records come from the operating system,
// not from a fixed seed.
TEST(CipherRandom, BytesDifferBetweenCallsAndBlocks) {
  uint8_t a[64], b[64];
  ASSERT_TRUE(FillRandomBytes(a, 64));
  ASSERT_TRUE(FillRandomBytes(b, 64));
  EXPECT_NE(memcmp(a, b, 64), 0);
  EXPECT_NE(memcmp(a, a + 16, 16), 0);
  EXPECT_TRUE(FillRandomBytes(nullptr, 0));
  EXPECT_TRUE(FillRandomBytes(a, -5));

  CSessionCipher first, second;
  ASSERT_EQ(first.WrapRandomKey(nullptr, nullptr, 0), 0);
  ASSERT_EQ(second.WrapRandomKey(nullptr, nullptr, 0), 0);
  uint8_t k1[16], k2[16];
  ASSERT_TRUE(first.GetKey(0, k1));
  ASSERT_TRUE(second.GetKey(0, k2));
  EXPECT_NE(memcmp(k1, k2, 16), 0);
}

// Pad bytes come from a store the system refills in bulk, never the same
// bytes twice; an installed replacement is asked directly, so scripted pads
// stay exact.
TEST(CipherRandom, PadBytesFromTheStoreOrAsTheReplacementGivesThem) {
  std::vector<uint8_t> a(10000), b(300);
  ASSERT_TRUE(FillPaddingBytes(a.data(), static_cast<int>(a.size())));
  ASSERT_TRUE(FillPaddingBytes(b.data(), static_cast<int>(b.size())));
  EXPECT_NE(memcmp(a.data(), b.data(), b.size()), 0);
  EXPECT_NE(memcmp(a.data(), a.data() + 4096, 64), 0);
  EXPECT_TRUE(FillPaddingBytes(nullptr, 0));

  ScriptedRandom random;
  random.Queue({1, 2, 3});
  uint8_t out[3] = {};
  ASSERT_TRUE(FillPaddingBytes(out, 3));
  EXPECT_EQ(Hex(out, 3), "010203");
  EXPECT_EQ(random.Pending(), 0u);
}

TEST(CipherRandom, AFailingSourceInstallsNoKey) {
  ScriptedRandom empty;
  uint8_t out[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_FALSE(FillRandomBytes(out, 8));
  EXPECT_EQ(Hex(out, 8), "0000000000000000");
  CSessionCipher cipher;
  EXPECT_EQ(cipher.WrapRandomKey(nullptr, nullptr, 0), kCipherFailed);
  EXPECT_FALSE(cipher.IsKeyInstalled());
}

TEST(CipherKeys, ClearAndDestroyWipeTheKeyMaterial) {
  KeyMaterial m = MakeKeyMaterial(4);
  CSessionCipher cipher;
  Activate(&cipher, &m);
  cipher.ClearKeyMaterial();
  uint8_t key[16];
  ASSERT_TRUE(cipher.GetKey(0, key));
  EXPECT_EQ(Hex(key, 16), std::string(32, '0'));
  EXPECT_TRUE(cipher.IsActive());  // the flags stay

  alignas(CSessionCipher) unsigned char storage[sizeof(CSessionCipher)];
  memset(storage, 0xCC, sizeof storage);
  auto* placed = new (storage) CSessionCipher;
  Activate(placed, &m);
  uint8_t live[16];
  ASSERT_TRUE(placed->GetKey(0, live));
  auto holdsKey = [&] {
    return std::search(storage, storage + sizeof storage, live, live + sizeof live) != storage + sizeof storage;
  };
  ASSERT_TRUE(holdsKey());
  placed->~CSessionCipher();
  EXPECT_FALSE(holdsKey());
}

}  // namespace
