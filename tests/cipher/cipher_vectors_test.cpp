// The cipher's primitives against published vectors and against independent
// implementations (the Python reference model and Python's own pow()).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "cipher_support.h"
#include "cryptlib/cipherblocks.h"

namespace {

// RC5-32/12/16 vectors from the RC5 paper; each plain text is the previous
// cipher text.
struct Rc5Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};
const Rc5Vector kPaperVectors[] = {
    {"00000000000000000000000000000000", "0000000000000000", "21a5dbee154b8f6d"},
    {"915f4619be41b2516355a50110a9ce91", "21a5dbee154b8f6d", "f7c013ac5b2b8952"},
    {"783348e75aeb0f2fd7b169bb8dc16787", "f7c013ac5b2b8952", "2f42b3b70369fc92"},
    {"dc49db1375a5584f6485b413b5f12baf", "2f42b3b70369fc92", "65c178b284d197cc"},
    {"5269f149d41ba0152497574d7f153125", "65c178b284d197cc", "eb44e415da319824"},
};

TEST(CipherVectors, Rc5PaperVectorsThroughTheWrapper) {
  for (const Rc5Vector& v : kPaperVectors) {
    SCOPED_TRACE(v.key);
    const Bytes key = FromHex(v.key);
    Bytes block = FromHex(v.plain);
    Rc5Block(key.data(), 12, Rc5Block::kEncrypt).Process(block.data());
    EXPECT_EQ(Hex(block), v.cipher);
    Rc5Block(key.data(), 12, Rc5Block::kDecrypt).Process(block.data());
    EXPECT_EQ(Hex(block), v.plain);
  }
}

// The round counts the cipher uses, against the pure-Python RC5 (which itself
// reproduces the paper's vectors in its self test and below).
TEST(CipherVectors, Rc5RoundCountsAgreeWithTheReference) {
  struct Case {
    int rounds;
    uint32_t seed;
  };
  std::vector<Case> cases;
  for (int rounds : {8, 12, 16, 20}) {
    for (uint32_t seed : {1u, 2u, 3u}) cases.push_back({rounds, seed});
  }
  std::vector<std::string> requests;
  for (const Case& c : cases) {
    requests.push_back("rc5enc key=" + Hex(Pattern(16, c.seed)) + " rounds=" +
                       std::to_string(c.rounds) + " block=" + Hex(Pattern(8, c.seed + 50)));
  }
  requests.push_back(std::string("rc5enc key=") + kPaperVectors[4].key + " rounds=12 block=" +
                     kPaperVectors[4].plain);
  const auto answers = AskReference(requests);
  ASSERT_EQ(answers.size(), cases.size() + 1);
  EXPECT_EQ(answers.back(), kPaperVectors[4].cipher);

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(requests[i]);
    const Bytes key = Pattern(16, cases[i].seed);
    Bytes block = Pattern(8, cases[i].seed + 50);
    Rc5Block(key.data(), cases[i].rounds, Rc5Block::kEncrypt).Process(block.data());
    EXPECT_EQ(Hex(block), answers[i]);
  }
}

TEST(CipherVectors, Rc5RunMatchesSingleBlocks) {
  const Bytes key = Pattern(16, 9);
  Bytes run = Pattern(64, 10);
  Bytes single = run;
  Rc5Block rc5(key.data(), 20, Rc5Block::kEncrypt);
  rc5.ProcessRun(run.data(), 8);
  for (size_t i = 0; i < single.size(); i += 8) rc5.Process(&single[i]);
  EXPECT_EQ(run, single);
}

TEST(CipherVectors, DigestsOfAbc) {
  const char abc[] = "abc";
  uint8_t md5[16];
  Md5Context md5Context;
  Md5Init(&md5Context);
  Md5Update(&md5Context, abc, 1);
  Md5Update(&md5Context, abc + 1, 2);
  Md5Final(&md5Context, md5);
  EXPECT_EQ(Hex(md5, 16), "900150983cd24fb0d6963f7d28e17f72");

  uint8_t sha1[20];
  Sha1Context sha1Context;
  Sha1Update(&sha1Context, abc, 3);
  Sha1Final(&sha1Context, sha1);
  EXPECT_EQ(Hex(sha1, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");

  // A context starts again after Final.
  Sha1Update(&sha1Context, abc, 3);
  Sha1Final(&sha1Context, sha1);
  EXPECT_EQ(Hex(sha1, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(CipherVectors, KeyDigestOfTheDefaultMaterial) {
  EXPECT_EQ(Hex(HashKeyMaterial(), 16), "6b1c1639da23116c111aed928c1b809c");
  EXPECT_EQ(HashKeyMaterial(), HashKeyMaterial());
}

// PublicKeyTransform against Python's pow() for the three modulus sizes the
// session accepts, including results with leading zero bytes.
TEST(CipherVectors, PublicKeyTransformAgreesWithPythonPow) {
  struct Case {
    Bytes modulus;
    Bytes message;
    uint32_t e;
  };
  std::mt19937 rng(1103);
  std::vector<Case> cases;
  for (size_t bytes : {32u, 64u, 128u}) {
    Bytes modulus(bytes);
    for (auto& b : modulus) b = static_cast<uint8_t>(rng());
    modulus[0] |= 0x80;
    modulus.back() |= 1;
    for (uint32_t e : {17u, 31u}) {
      Bytes message(16);
      for (auto& b : message) b = static_cast<uint8_t>(rng());
      cases.push_back({modulus, message, e});
    }
    // A small message whose power stays far below the modulus.
    cases.push_back({modulus, FromHex("00000000000000000000000000000003"), 17});
  }
  // A full-size message whose result happens to begin with a zero byte.
  const Bytes modulus1024 = cases[6].modulus;
  Bytes out(128);
  bool found = false;
  for (uint32_t i = 0; i < 5000 && !found; ++i) {
    Bytes message = Pattern(16, i);
    ASSERT_EQ(PublicKeyTransform(out.data(), 19, modulus1024.data(), 128, message.data(), 16), 0);
    if (out[0] == 0) {
      cases.push_back({modulus1024, message, 19});
      found = true;
    }
  }
  ASSERT_TRUE(found);

  std::vector<std::string> requests;
  for (const Case& c : cases) {
    requests.push_back("powmod e=" + std::to_string(c.e) + " modulus=" + Hex(c.modulus) +
                       " message=" + Hex(c.message));
  }
  const auto answers = AskReference(requests);
  ASSERT_EQ(answers.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(requests[i]);
    const Case& c = cases[i];
    Bytes result(c.modulus.size() + 1, 0xEE);  // one guard byte behind
    ASSERT_EQ(PublicKeyTransform(result.data(), c.e, c.modulus.data(), c.modulus.size(),
                                 c.message.data(), c.message.size()),
              0);
    EXPECT_EQ(result.back(), 0xEE);
    result.pop_back();
    EXPECT_EQ(Hex(result), answers[i]);
  }
  EXPECT_EQ(cases.back().modulus.size(), 128u);
  EXPECT_EQ(answers.back().substr(0, 2), "00");
  EXPECT_EQ(answers[8].substr(0, 64), std::string(64, '0'));  // 3^17 in a 1024-bit field
}

TEST(CipherVectors, PublicKeyTransformRefusesAnEmptyOrZeroModulus) {
  const Bytes zero(32, 0);
  const Bytes message = Pattern(16, 4);
  uint8_t out[32];
  EXPECT_EQ(PublicKeyTransform(out, 17, zero.data(), zero.size(), message.data(), 16), kCipherFailed);
  EXPECT_EQ(PublicKeyTransform(out, 17, zero.data(), 0, message.data(), 16), kCipherFailed);
}

}  // namespace
