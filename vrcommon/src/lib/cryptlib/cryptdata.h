// Session cipher: RC5 (32-bit words, 16-byte keys, 8-byte blocks) with keys
// derived through MD5 and SHA-1 from a session key and the two check-digest
// halves of the hello exchange, plus the public-key wrap of the session key.
// Failures are return values; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#ifndef CRYPTOPP_ENABLE_NAMESPACE_WEAK
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#endif
#include <cryptopp/md5.h>
#include <cryptopp/sha.h>

#include "sys/_synchro.h"

class Rc5Block;

// Every refusal and failed check.
constexpr int32_t kCipherFailed = static_cast<int32_t>(0xC0000001u);
// A missing block record, or one that names no direction.
constexpr int32_t kCipherNoBlockRecord = static_cast<int32_t>(0xC000000Du);

// Stands where the exchange value's input word would be random; the server
// checks only the check fields derived from it.
constexpr uint32_t kExchangeSeedWord = 0x3A5C96E1u;

constexpr size_t kCipherKeySize = 16;

// The client's exchange record, filled from the hello. The exchange value and
// its check digest are computed over these exact bytes.
struct ExchangeRecord {
  static constexpr size_t kSize = 152;
  static constexpr size_t kValueOffset = 0;    // 16-byte exchange value
  static constexpr size_t kCarriedOffset = 16;  // 16-bit, rides along unchecked
  static constexpr size_t kBlockOffset = 18;    // 128-byte block
  static constexpr size_t kBlockSize = 128;
  static constexpr size_t kWordOffset = 148;    // 32-bit value
  uint8_t bytes[kSize] = {};
};

// The server's exchange record, filled from its reply.
struct RemoteExchangeRecord {
  static constexpr size_t kSize = 28;
  static constexpr size_t kValueOffset = 0;   // the server's exchange value
  static constexpr size_t kEightOffset = 18;  // eight bytes
  static constexpr size_t kTwoOffset = 26;    // two bytes
  uint8_t bytes[kSize] = {};
};

// The server's public key as it arrives: k (modulus length in 32-bit words),
// the exponent, two unused bytes, then the modulus, most significant byte
// first.
struct PublicKeyRecord {
  static constexpr size_t kSize = 132;
  static constexpr size_t kModulusOffset = 4;
  static constexpr size_t kMaxWords = (kSize - kModulusOffset) / 4;
  uint8_t bytes[kSize] = {};

  uint8_t WordCount() const { return bytes[0]; }
  uint8_t Exponent() const { return bytes[1]; }
  size_t ModulusLength() const { return size_t{WordCount()} * 4; }
  const uint8_t* Modulus() const { return bytes + kModulusOffset; }
};

// A block that CSessionCipher::CryptBlock transforms in place.
struct CryptBlockRecord {
  enum Flags : uint8_t {
    kEncrypt = 1,
    kDecrypt = 2,
    kWithDigest = 4,
    kBlockKeyVariant = 8,
  };
  uint32_t user = 0;  // the caller's own
  uint8_t flags = 0;
  uint8_t level = 0;   // 0 to 3
  uint32_t length = 0;  // bytes at data, at least 8
  uint8_t digest[16] = {};
  uint8_t* data = nullptr;
};

class CSessionCipher {
 public:
  CSessionCipher();
  ~CSessionCipher();

  void ClearKeyMaterial();
  int32_t SetLocalHalf(const ExchangeRecord* record);
  int32_t SetRemoteHalf(const RemoteExchangeRecord* record);
  // Makes the session key; with a non-zero low byte of `encrypt` also writes
  // it, wrapped with the server's key, to out (4k bytes, at most 128).
  int32_t WrapRandomKey(const PublicKeyRecord* record, uint8_t* out, uint32_t encrypt);
  bool GetKey(int32_t index, uint8_t out[kCipherKeySize]);

  int GetPaddingSize(uint32_t n, int level) const;
  // out holds n + s bytes; it may be the payload's own buffer.
  int32_t EncryptPacket(uint8_t* out, const uint8_t* payload, uint32_t n, int s, int level);
  // Decrypts in place in `in`, then moves the payload to out (which may be in).
  int32_t DecryptPacket(uint8_t* out, uint8_t* in, uint32_t* length, int level);
  int32_t EncryptMessage(uint8_t* out, const uint8_t* message, uint32_t n, int s, int level);
  int32_t DecryptMessage(uint8_t* out, uint8_t* in, uint32_t* length, int level);
  int32_t CryptBlock(CryptBlockRecord* record);

  bool IsActive() const { return active != 0; }
  bool IsKeyInstalled() const { return keyInstalled != 0; }

  CSessionCipher(const CSessionCipher&) = delete;
  CSessionCipher& operator=(const CSessionCipher&) = delete;

 private:
  void DeriveLevel0Key(uint8_t out[kCipherKeySize]) const;
  void DerivePacketKey(const uint8_t key[kCipherKeySize], uint8_t out[kCipherKeySize]) const;
  void UpdateActive();
  int32_t EncryptLevel0(uint8_t* out, const uint8_t* payload, uint32_t n, int s, bool chained);
  int32_t DecryptLevel0(uint8_t* out, uint8_t* in, uint32_t* length, bool chained);
  int32_t EncryptSealed(uint8_t* out, const uint8_t* payload, uint32_t n, int s, int level);
  int32_t DecryptSealed(uint8_t* out, uint8_t* in, uint32_t* length, int level);
  // The transform of a level (0: the level-0 key; 1 to 3: the packet key
  // of key 0) for one direction, keyed once and kept until the key
  // material changes; null when memory runs out.
  std::shared_ptr<const Rc5Block> Schedule(int level, bool encrypt);
  void ForgetSchedules();

  int32_t keyCount;
  CxLock lock;
  uint8_t keys[4][kCipherKeySize];
  uint8_t remoteHalf[kCipherKeySize];
  uint8_t localHalf[kCipherKeySize];
  uint32_t blockSize;
  uint32_t active;
  uint32_t localPresent;
  uint32_t keyInstalled;
  uint32_t remotePresent;
  // Guarded by lock: [level][0 decrypt, 1 encrypt].
  std::shared_ptr<const Rc5Block> schedules_[4][2];
};

// Computes the digest of the default key material on first need; returns
// its 16 bytes.
const uint8_t* HashKeyMaterial();
int32_t MakeExchangeValue(ExchangeRecord* record);
int32_t VerifyExchangeValue(const RemoteExchangeRecord* record);

// n bytes from the operating system's random source (or the installed
// replacement); nothing for n <= 0. False, with out zeroed, when no random
// bytes can be had.
bool FillRandomBytes(uint8_t* out, int n);
// The same for pad bytes, which go out with every packet: taken from a
// store of the system's random bytes that each thread refills in bulk. An
// installed replacement is asked directly, as FillRandomBytes does.
bool FillPaddingBytes(uint8_t* out, int n);
// Replaces the random source (tests make their output reproducible with it);
// null restores the operating system's. Returns the previous replacement.
typedef bool (*RandomSource)(uint8_t* out, size_t n);
RandomSource SetRandomSource(RandomSource source);

// message^e mod N, written most significant byte first and padded with
// leading zeros to exactly modulusLength bytes. Refuses an empty or zero
// modulus.
int32_t PublicKeyTransform(uint8_t* out, uint32_t e, const uint8_t* modulus, size_t modulusLength,
                           const uint8_t* message, size_t messageLength);

struct Md5Context {
  CryptoPP::Weak1::MD5 hash;
};
void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, size_t n);
void Md5Final(Md5Context* context, uint8_t digest[16]);

struct Sha1Context {
  CryptoPP::SHA1 hash;
};
void Sha1Update(Sha1Context* context, const void* data, size_t n);
void Sha1Final(Sha1Context* context, uint8_t digest[20]);
