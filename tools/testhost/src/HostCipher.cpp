#include "testhost/HostCipher.h"

#include <cstring>
#include <mutex>

#include <cryptopp/integer.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include "cryptlib/cipherblocks.h"
#include "cryptlib/cryptdata.h"

namespace testhost {

namespace {

constexpr size_t kBlock = 8;
constexpr size_t kRecordSize = 132;
constexpr size_t kModulusOffset = 4;
constexpr uint8_t kSealedTag = 0x20;
constexpr uint8_t kMaxClientPad = 8;  // the client pads a 7-byte remainder with 8

// Where the check digest's bytes sit in an exchange value.
struct CheckField {
  size_t valueOffset;
  size_t digestOffset;
  size_t size;
};
constexpr CheckField kCheckFields[] = {{0, 0, 2}, {6, 2, 2}, {8, 4, 4}, {12, 8, 4}};

void Le(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PadBytes(uint8_t* out, size_t n) {
  static CryptoPP::AutoSeededRandomPool rng;
  static std::mutex mutex;
  std::lock_guard<std::mutex> hold(mutex);
  if (n) rng.GenerateBlock(out, n);
}

// The level-0 layout: pad count, pad, payload, whole blocks.
std::vector<uint8_t> Level0Plain(const std::vector<uint8_t>& payload) {
  const size_t pad = (kBlock - (payload.size() + 1) % kBlock) % kBlock;
  std::vector<uint8_t> plain(1 + pad + payload.size());
  plain[0] = static_cast<uint8_t>(pad);
  PadBytes(plain.data() + 1, pad);
  if (!payload.empty()) memcpy(plain.data() + 1 + pad, payload.data(), payload.size());
  return plain;
}

bool Level0Payload(const std::vector<uint8_t>& plain, uint8_t maxPad, std::vector<uint8_t>* out) {
  if (plain.empty()) return false;
  const size_t pad = plain[0];
  if (pad > maxPad || plain.size() < 1 + pad) return false;
  out->assign(plain.begin() + 1 + static_cast<std::ptrdiff_t>(pad), plain.end());
  return true;
}

}  // namespace

bool HostCipher::GenerateKeyPair(int words, uint32_t exponent) {
  if (words != 8 && words != 16 && words != 32) return false;
  CryptoPP::AutoSeededRandomPool rng;
  const unsigned bits = static_cast<unsigned>(words) * 32;
  for (int attempt = 0; attempt < 64; ++attempt) {
    CryptoPP::InvertibleRSAFunction key;
    try {
      key.Initialize(rng, bits, CryptoPP::Integer(static_cast<CryptoPP::word>(exponent)));
    } catch (const CryptoPP::Exception&) {
      continue;
    }
    if (key.GetModulus().BitCount() != bits) continue;
    words_ = words;
    exponent_ = exponent;
    modulus_.assign(bits / 8, 0);
    key.GetModulus().Encode(modulus_.data(), modulus_.size());
    privateExponent_.assign(bits / 8, 0);
    key.GetPrivateExponent().Encode(privateExponent_.data(), privateExponent_.size());
    return true;
  }
  return false;
}

std::vector<uint8_t> HostCipher::PublicKeyRecord() const {
  std::vector<uint8_t> record(kRecordSize, 0);
  record[0] = static_cast<uint8_t>(words_);
  record[1] = static_cast<uint8_t>(exponent_);
  if (modulus_.size() <= kRecordSize - kModulusOffset)
    memcpy(record.data() + kModulusOffset, modulus_.data(), modulus_.size());
  return record;
}

bool HostCipher::UnwrapSessionKey(const uint8_t* wrapped, size_t size) {
  if (!wrapped || size != modulus_.size() || modulus_.empty()) return false;
  const CryptoPP::Integer n(modulus_.data(), modulus_.size());
  const CryptoPP::Integer d(privateExponent_.data(), privateExponent_.size());
  const CryptoPP::Integer c(wrapped, size);
  const CryptoPP::Integer m = a_exp_b_mod_c(c, d, n);
  if (m.MinEncodedSize() > kKeySize) return false;
  m.Encode(key_, kKeySize);
  return true;
}

bool HostCipher::TakeClientExchange(const uint8_t value[16], uint16_t carried, const uint8_t block[128],
                                    uint32_t word) {
  (void)carried;  // rides along, outside the digest
  uint8_t wordBytes[4];
  Le(wordBytes, word, 4);
  uint8_t digest[16];
  Md5Of({{wordBytes, 4}, {value + 2, 4}, {block, 128}, {HashKeyMaterial(), 16}, {wordBytes, 4}}, digest);
  memcpy(localHalf_, digest, kKeySize);
  for (const CheckField& f : kCheckFields) {
    if (memcmp(value + f.valueOffset, digest + f.digestOffset, f.size) != 0) return false;
  }
  return true;
}

void HostCipher::MakeHostExchange(const uint8_t tag[8], uint16_t word, uint8_t value[16]) {
  memset(value, 0, 16);
  PadBytes(value + 2, 4);
  uint8_t wordBytes[2];
  Le(wordBytes, word, 2);
  uint8_t digest[16];
  Md5Of({{wordBytes, 2}, {value + 2, 4}, {tag, 8}, {HashKeyMaterial(), 16}}, digest);
  for (const CheckField& f : kCheckFields) memcpy(value + f.valueOffset, digest + f.digestOffset, f.size);
  memcpy(remoteHalf_, digest, kKeySize);
}

bool HostCipher::SealBlock(uint8_t* data, size_t length, bool variant, int level, uint8_t digest[16]) {
  if (!data || length < kBlock) return false;
  if (digest) Md5Of({{data, length}, {key_, kKeySize}}, digest);
  uint8_t blockKey[kKeySize];
  DeriveBlockKey(key_, variant, blockKey);
  return EncryptBlocks(data, length / kBlock, length % kBlock, level, blockKey, RoundsForLevel(level)) == 0;
}

bool HostCipher::OpenBlock(uint8_t* data, size_t length, bool variant, int level, const uint8_t* digest) {
  if (!data || length < kBlock) return false;
  uint8_t blockKey[kKeySize];
  DeriveBlockKey(key_, variant, blockKey);
  if (DecryptBlocks(data, length / kBlock, length % kBlock, level, blockKey, RoundsForLevel(level)) != 0)
    return false;
  if (!digest) return true;
  uint8_t check[16];
  Md5Of({{data, length}, {key_, kKeySize}}, check);
  return memcmp(check, digest, sizeof check) == 0;
}

void HostCipher::PacketKey(uint8_t out[kKeySize]) const { DerivePacketKey(key_, localHalf_, remoteHalf_, out); }

bool HostCipher::SealSlot(const std::vector<uint8_t>& payload, int level, std::vector<uint8_t>* out) {
  return level == 0 ? SealChained(payload, out) : SealLevel(payload, level, out);
}

bool HostCipher::OpenSlot(const std::vector<uint8_t>& sealed, int level, std::vector<uint8_t>* out) {
  return level == 0 ? OpenBlockwise(sealed, out) : OpenLevel(sealed, level, out);
}

bool HostCipher::SealMessage(const std::vector<uint8_t>& body, std::vector<uint8_t>* out) {
  return SealBlockwise(body, out);
}

bool HostCipher::OpenMessage(const std::vector<uint8_t>& sealed, std::vector<uint8_t>* out) {
  return OpenChained(sealed, out);
}

bool HostCipher::SealBlockwise(const std::vector<uint8_t>& payload, std::vector<uint8_t>* out) {
  *out = Level0Plain(payload);
  uint8_t key[kKeySize];
  DeriveLevel0Key(key_, key);
  Rc5Block rc5(key, RoundsForLevel(0), Rc5Block::kEncrypt);
  rc5.ProcessRun(out->data(), out->size() / kBlock);
  return true;
}

bool HostCipher::SealChained(const std::vector<uint8_t>& payload, std::vector<uint8_t>* out) {
  *out = Level0Plain(payload);
  uint8_t key[kKeySize];
  DeriveLevel0Key(key_, key);
  Rc5Block rc5(key, RoundsForLevel(0), Rc5Block::kEncrypt);
  uint8_t* bytes = out->data();
  rc5.Process(bytes);
  for (size_t at = kBlock; at < out->size(); at += kBlock) {
    for (size_t j = 0; j < kBlock; ++j) bytes[at + j] ^= bytes[j];
    rc5.Process(bytes + at);
  }
  return true;
}

bool HostCipher::OpenBlockwise(const std::vector<uint8_t>& sealed, std::vector<uint8_t>* out) {
  if (sealed.empty() || sealed.size() % kBlock) return false;
  std::vector<uint8_t> plain = sealed;
  uint8_t key[kKeySize];
  DeriveLevel0Key(key_, key);
  Rc5Block rc5(key, RoundsForLevel(0), Rc5Block::kDecrypt);
  rc5.ProcessRun(plain.data(), plain.size() / kBlock);
  return Level0Payload(plain, kMaxClientPad, out);
}

bool HostCipher::OpenChained(const std::vector<uint8_t>& sealed, std::vector<uint8_t>* out) {
  if (sealed.empty() || sealed.size() % kBlock) return false;
  std::vector<uint8_t> plain = sealed;
  uint8_t key[kKeySize];
  DeriveLevel0Key(key_, key);
  Rc5Block rc5(key, RoundsForLevel(0), Rc5Block::kDecrypt);
  for (size_t at = 0; at < plain.size(); at += kBlock) {
    rc5.Process(plain.data() + at);
    if (at == 0) continue;
    for (size_t j = 0; j < kBlock; ++j) plain[at + j] ^= sealed[j];
  }
  return Level0Payload(plain, kMaxClientPad, out);
}

bool HostCipher::SealLevel(const std::vector<uint8_t>& payload, int level, std::vector<uint8_t>* out) {
  const int m = MacLength(level);
  if (m < 0) return false;
  const size_t n = payload.size();
  const size_t pad = n >= 16 ? kBlock - n % kBlock : 16 - n;
  out->assign(1 + static_cast<size_t>(m) + pad + n, 0);
  uint8_t* bytes = out->data();
  bytes[0] = static_cast<uint8_t>(kSealedTag + pad);
  ComputeMac(payload.data(), n, key_, level, bytes + 1);
  uint8_t* region = bytes + 1 + m;
  PadBytes(region, pad);
  if (n) memcpy(region + pad, payload.data(), n);
  uint8_t key[kKeySize];
  PacketKey(key);
  return EncryptBlocks(region, (pad + n) / kBlock, 0, level, key, RoundsForLevel(level)) == 0;
}

bool HostCipher::OpenLevel(const std::vector<uint8_t>& sealed, int level, std::vector<uint8_t>* out) {
  const int m = MacLength(level);
  if (m < 0 || sealed.size() < static_cast<size_t>(m) + 1) return false;
  const size_t region = sealed.size() - 1 - static_cast<size_t>(m);
  if (region < 16 || region % kBlock || (sealed[0] & 0xE0) != kSealedTag) return false;
  const size_t pad = sealed[0] & 0x1F;
  if (pad > region) return false;
  std::vector<uint8_t> body(sealed.begin() + 1 + m, sealed.end());
  uint8_t key[kKeySize];
  PacketKey(key);
  if (DecryptBlocks(body.data(), region / kBlock, 0, level, key, RoundsForLevel(level)) != 0) return false;
  out->assign(body.begin() + static_cast<std::ptrdiff_t>(pad), body.end());
  return CheckMac(out->data(), out->size(), key_, level, sealed.data() + 1);
}

}  // namespace testhost
