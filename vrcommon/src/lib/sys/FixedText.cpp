#include "sys/FixedText.h"

#include <cstring>

#include "pelplat/utf16.h"

void SetFieldText(WCHAR* field, size_t capacity, const WCHAR* text) {
  if (field == nullptr || capacity == 0) return;
  size_t n = text != nullptr ? WcsCopyTruncate(field, capacity, text) : 0;
  std::memset(field + n, 0, (capacity - n) * sizeof(WCHAR));
}

std::u16string FieldCut(const WCHAR* text) {
  WCHAR field[kFieldChars];
  SetFieldText(field, kFieldChars, text);
  return std::u16string(field);
}

bool TextEquals(const WCHAR* a, const WCHAR* b, size_t n) {
  return a != nullptr && b != nullptr && WcsNCmp(a, b, n) == 0;
}
