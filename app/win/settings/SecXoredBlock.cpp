#include "settings/SecXoredBlock.h"

#include <cstring>

const BYTE CSecXoredBlock::kInitialKey[4] = {0x5b, 0xe9, 0x14, 0x7c};

CSecXoredBlock::CSecXoredBlock(const void* data, size_t size)
    : CryptoPP::SecByteBlock(size), key_(kInitialKey, sizeof kInitialKey) {
  if (size == 0) return;
  if (data != nullptr) {
    std::memcpy(BytePtr(), data, size);
  } else {
    std::memset(BytePtr(), 0, size);
  }
}

CSecXoredBlock::~CSecXoredBlock() = default;

void CSecXoredBlock::Transform() {
  std::memcpy(key_.BytePtr(), kInitialKey, sizeof kInitialKey);
  BYTE* data = BytePtr();
  BYTE* key = key_.BytePtr();
  const size_t keySize = key_.size();
  size_t k = 0;
  for (size_t i = 0; i < size(); ++i) {
    data[i] ^= key[k];
    key[k] = static_cast<BYTE>(key[k] + ((k % 2 == 1) ? k + 1 : 255 - k));
    if (++k == keySize) k = 0;
  }
}

void CSecXoredBlock::AssignText(const WCHAR* text, size_t length) {
  CleanNew((length + 1) * 2);
  BYTE* data = BytePtr();
  for (size_t i = 0; i < length; ++i) {
    data[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
    data[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
  }
}

size_t BoundedTextLength(const WCHAR* text, size_t limit) {
  size_t n = 0;
  if (text == nullptr) return 0;
  while (n <= limit && text[n] != 0) ++n;
  return n;
}

void StoreScrambledText(BYTE* block, const WCHAR* text, size_t length) {
  if (length > kPasswordMaxChars) length = kPasswordMaxChars;
  // A cut must not leave half a surrogate pair at the end.
  if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF &&
      text[length] != 0)
    --length;
  CSecXoredBlock scrambled(nullptr, 0);
  scrambled.AssignText(text, length);
  scrambled.Transform();
  std::memcpy(block, scrambled.BytePtr(), scrambled.size());
}
