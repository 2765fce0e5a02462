// Temporary block that scrambles and unscrambles a password.
//
// The scramble is obfuscation with a fixed, published key, not protection:
// anyone with the stored bytes can undo it. Stored profile and security files
// hold these exact bytes, so the transform must not change.
#pragma once

#include <cryptopp/secblock.h>

#include "pelplat/wintypes.h"

class CSecXoredBlock : public CryptoPP::SecByteBlock {
 public:
  static const BYTE kInitialKey[4];

  // A copy of size bytes of data (zeros when data is null) and a fresh key.
  CSecXoredBlock(const void* data, size_t size);
  // Both blocks wipe their bytes when they are released.
  virtual ~CSecXoredBlock();

  // Replaces the data by the text's first length characters and a
  // terminator, as UTF-16LE bytes.
  void AssignText(const WCHAR* text, size_t length);

  // XORs the data with the key stream from its start. The stream depends
  // only on the byte position, so the same call scrambles and unscrambles,
  // and a prefix scrambles to a prefix of the whole.
  void Transform();

  CSecXoredBlock(const CSecXoredBlock&) = delete;
  CSecXoredBlock& operator=(const CSecXoredBlock&) = delete;

 private:
  CryptoPP::SecByteBlock key_;
};

// Password blocks hold 520 bytes: at most 259 characters and a terminator.
constexpr size_t kPasswordBlockBytes = 520;
constexpr size_t kPasswordMaxChars = kPasswordBlockBytes / 2 - 1;

// Length of a password text, counting at most limit + 1 characters so that
// a longer text is recognised without reading all of it.
size_t BoundedTextLength(const WCHAR* text, size_t limit);
// Writes the scramble of the text's first length characters and a
// terminator to the front of a password block; the rest keeps its bytes.
void StoreScrambledText(BYTE* block, const WCHAR* text, size_t length);
