// Building blocks of the session cipher: the RC5 block transform, the block
// passes, key derivations and the message authentication code. Shared by the
// cipher, its tests and its benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include <cryptopp/rc5.h>
#include <cryptopp/secblock.h>

#include "cryptlib/cryptdata.h"

// A key-sized buffer that Crypto++ wipes when it goes out of scope.
typedef CryptoPP::FixedSizeSecBlock<CryptoPP::byte, kCipherKeySize> CipherKeyBlock;

// Zeroes memory in a way the compiler may not drop as a dead store.
void WipeBytes(void* p, size_t n);

struct ByteSpan {
  const uint8_t* data;
  size_t size;
};
// Digest of the spans joined in order.
void Md5Of(std::initializer_list<ByteSpan> parts, uint8_t out[16]);
void Sha1Of(std::initializer_list<ByteSpan> parts, uint8_t out[20]);

// RC5 with 32-bit words and a 16-byte key, keyed for one direction. The key
// schedule sits in Crypto++ secure blocks, so it is wiped when the object goes.
class Rc5Block {
 public:
  enum Direction { kEncrypt, kDecrypt };
  Rc5Block(const uint8_t key[kCipherKeySize], int rounds, Direction direction);

  void Process(uint8_t* block) const;  // one 8-byte block in place
  void ProcessRun(uint8_t* blocks, size_t count) const;  // adjacent blocks in place
  // Processes one block in place, then XORs the result with `mask`.
  void ProcessThenXor(uint8_t* block, const uint8_t* mask) const;

  Rc5Block(const Rc5Block&) = delete;
  Rc5Block& operator=(const Rc5Block&) = delete;

 private:
  CryptoPP::RC5::Encryption encryption_;
  CryptoPP::RC5::Decryption decryption_;
  const CryptoPP::BlockTransformation* keyed_;
};

// 8, 16, 20, 20 for levels 0 to 3; -1 for any other level.
int RoundsForLevel(int level);
// Length of the authentication code: 3 at levels 1 and 2, 16 at level 3; -1 otherwise.
int MacLength(int level);

void DeriveLevel0Key(const uint8_t key[kCipherKeySize], uint8_t out[kCipherKeySize]);
void DerivePacketKey(const uint8_t key[kCipherKeySize], const uint8_t localHalf[kCipherKeySize],
                     const uint8_t remoteHalf[kCipherKeySize], uint8_t out[kCipherKeySize]);
void DeriveBlockKey(const uint8_t key[kCipherKeySize], bool variant, uint8_t out[kCipherKeySize]);

// Writes MacLength(level) bytes to code. Levels 1 to 3 only.
void ComputeMac(const uint8_t* payload, size_t n, const uint8_t key[kCipherKeySize], int level,
                uint8_t* code);
bool CheckMac(const uint8_t* payload, size_t n, const uint8_t key[kCipherKeySize], int level,
              const uint8_t* code);

// The passes over a region of b blocks (8b bytes) plus, with a tail offset t,
// the pass over the b blocks that start at t, so the region spans 8b + t bytes.
// 0, or kCipherFailed for a level above 3 or no blocks.
int32_t EncryptBlocks(uint8_t* region, size_t b, size_t t, int level,
                      const uint8_t key[kCipherKeySize], int rounds);
int32_t DecryptBlocks(uint8_t* region, size_t b, size_t t, int level,
                      const uint8_t key[kCipherKeySize], int rounds);
// The same passes with a transform already keyed for the direction.
int32_t EncryptBlocks(uint8_t* region, size_t b, size_t t, int level, const Rc5Block& rc5);
int32_t DecryptBlocks(uint8_t* region, size_t b, size_t t, int level, const Rc5Block& rc5);
