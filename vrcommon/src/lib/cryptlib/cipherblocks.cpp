#include "cryptlib/cipherblocks.h"

#include <string.h>

#include <algorithm>

#include <cryptopp/misc.h>

void WipeBytes(void* p, size_t n) {
  if (p != nullptr && n != 0) explicit_bzero(p, n);
}

namespace {

template <class Hash>
void DigestOf(std::initializer_list<ByteSpan> parts, uint8_t* out) {
  Hash hash;
  for (const ByteSpan& part : parts) hash.Update(part.data, part.size);
  hash.Final(out);
}

constexpr size_t kBlock = 8;
constexpr size_t kHalfBlock = 4;

// The wrap block (first and last four bytes of the region) and the shifted
// blocks between them cover the region once; they touch disjoint bytes.
void WrapAndShifted(const Rc5Block& rc5, uint8_t* region, size_t b) {
  uint8_t* last = region + b * kBlock - kHalfBlock;
  uint8_t wrap[kBlock];
  memcpy(wrap, region, kHalfBlock);
  memcpy(wrap + kHalfBlock, last, kHalfBlock);
  rc5.Process(wrap);
  memcpy(region, wrap, kHalfBlock);
  memcpy(last, wrap + kHalfBlock, kHalfBlock);
  WipeBytes(wrap, sizeof wrap);
  rc5.ProcessRun(region + kHalfBlock, b - 1);
}

bool PassesAllowed(const uint8_t* region, size_t b, int level) {
  return region != nullptr && b != 0 && level >= 0 && level <= 3;
}

}  // namespace

void Md5Of(std::initializer_list<ByteSpan> parts, uint8_t out[16]) {
  DigestOf<CryptoPP::Weak1::MD5>(parts, out);
}

void Sha1Of(std::initializer_list<ByteSpan> parts, uint8_t out[20]) {
  DigestOf<CryptoPP::SHA1>(parts, out);
}

Rc5Block::Rc5Block(const uint8_t key[kCipherKeySize], int rounds, Direction direction) {
  if (direction == kEncrypt) {
    encryption_.SetKeyWithRounds(key, kCipherKeySize, rounds);
    keyed_ = &encryption_;
  } else {
    decryption_.SetKeyWithRounds(key, kCipherKeySize, rounds);
    keyed_ = &decryption_;
  }
}

void Rc5Block::Process(uint8_t* block) const { keyed_->ProcessBlock(block); }

void Rc5Block::ProcessRun(uint8_t* blocks, size_t count) const {
  if (count != 0) keyed_->AdvancedProcessBlocks(blocks, nullptr, blocks, count * kBlock, 0);
}

void Rc5Block::ProcessThenXor(uint8_t* block, const uint8_t* mask) const {
  keyed_->ProcessAndXorBlock(block, mask, block);
}

int RoundsForLevel(int level) {
  static const int kRounds[] = {8, 16, 20, 20};
  return level >= 0 && level <= 3 ? kRounds[level] : -1;
}

int MacLength(int level) {
  static const int kLengths[] = {-1, 3, 3, 16};
  return level >= 1 && level <= 3 ? kLengths[level] : -1;
}

void DeriveLevel0Key(const uint8_t key[kCipherKeySize], uint8_t out[kCipherKeySize]) {
  Md5Of({{key, kCipherKeySize}, {key + 1, 8}, {key + 2, 8}, {key + 3, 8}}, out);
}

void DerivePacketKey(const uint8_t key[kCipherKeySize], const uint8_t localHalf[kCipherKeySize],
                     const uint8_t remoteHalf[kCipherKeySize], uint8_t out[kCipherKeySize]) {
  CryptoPP::FixedSizeSecBlock<CryptoPP::byte, 20> keySha;
  CryptoPP::FixedSizeSecBlock<CryptoPP::byte, 20> remoteSha;
  CipherKeyBlock inner;
  Sha1Of({{key, kCipherKeySize}}, keySha);
  Md5Of({{keySha, 20}, {localHalf, kCipherKeySize}}, inner);
  Sha1Of({{remoteHalf, kCipherKeySize}}, remoteSha);
  Md5Of({{remoteSha, 20}, {inner, kCipherKeySize}}, out);
}

void DeriveBlockKey(const uint8_t key[kCipherKeySize], bool variant, uint8_t out[kCipherKeySize]) {
  if (variant) {
    CryptoPP::FixedSizeSecBlock<CryptoPP::byte, 20> keySha;
    Sha1Of({{key, kCipherKeySize}}, keySha);
    Md5Of({{keySha, 20}}, out);
    return;
  }
  Md5Of({{key, 16}, {key + 1, 15}, {key + 2, 14}, {key + 3, 13}}, out);
}

namespace {

// Level 1 authenticates only the first ten bytes of payload and key.
void MacDigest(const uint8_t* payload, size_t n, const uint8_t key[kCipherKeySize], int level,
               uint8_t digest[16]) {
  const size_t limit = level == 1 ? 10 : SIZE_MAX;
  Md5Of({{payload, std::min(n, limit)}, {key, std::min(kCipherKeySize, limit)}}, digest);
}

}  // namespace

void ComputeMac(const uint8_t* payload, size_t n, const uint8_t key[kCipherKeySize], int level,
                uint8_t* code) {
  CipherKeyBlock digest;
  MacDigest(payload, n, key, level, digest);
  memcpy(code, digest, static_cast<size_t>(MacLength(level)));
}

bool CheckMac(const uint8_t* payload, size_t n, const uint8_t key[kCipherKeySize], int level,
              const uint8_t* code) {
  CipherKeyBlock digest;
  MacDigest(payload, n, key, level, digest);
  return CryptoPP::VerifyBufsEqual(digest, code, static_cast<size_t>(MacLength(level)));
}

int32_t EncryptBlocks(uint8_t* region, size_t b, size_t t, int level,
                      const uint8_t key[kCipherKeySize], int rounds) {
  if (!PassesAllowed(region, b, level)) return kCipherFailed;
  const Rc5Block rc5(key, rounds, Rc5Block::kEncrypt);
  return EncryptBlocks(region, b, t, level, rc5);
}

int32_t EncryptBlocks(uint8_t* region, size_t b, size_t t, int level, const Rc5Block& rc5) {
  if (!PassesAllowed(region, b, level)) return kCipherFailed;
  if (level == 3) {
    WrapAndShifted(rc5, region, b);
    rc5.ProcessRun(region, b);
  }
  WrapAndShifted(rc5, region, b);
  if (t != 0) rc5.ProcessRun(region + t, b);
  return 0;
}

int32_t DecryptBlocks(uint8_t* region, size_t b, size_t t, int level,
                      const uint8_t key[kCipherKeySize], int rounds) {
  if (!PassesAllowed(region, b, level)) return kCipherFailed;
  const Rc5Block rc5(key, rounds, Rc5Block::kDecrypt);
  return DecryptBlocks(region, b, t, level, rc5);
}

int32_t DecryptBlocks(uint8_t* region, size_t b, size_t t, int level, const Rc5Block& rc5) {
  if (!PassesAllowed(region, b, level)) return kCipherFailed;
  if (t != 0) rc5.ProcessRun(region + t, b);
  if (level == 3) {
    WrapAndShifted(rc5, region, b);
    rc5.ProcessRun(region, b);
  }
  WrapAndShifted(rc5, region, b);
  return 0;
}
