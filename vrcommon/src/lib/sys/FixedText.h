// Fixed text fields of the settings records: arrays of 260 wide characters,
// at most 259 characters and a terminator.
#pragma once

#include <cstddef>
#include <string>

#include "pelplat/wintypes.h"

constexpr size_t kFieldChars = 260;
constexpr size_t kFieldTextMax = kFieldChars - 1;

// Copies at most capacity - 1 characters of text (never half a surrogate
// pair) and sets the rest of the field to zero. A null text clears it.
void SetFieldText(WCHAR* field, size_t capacity, const WCHAR* text);
inline void SetFieldText(WCHAR* field, size_t capacity, const std::u16string& text) {
  SetFieldText(field, capacity, text.c_str());
}
// The length of the text in a field of `capacity` characters, which needs
// no terminator when it is full.
inline size_t FieldTextLength(const WCHAR* field, size_t capacity) {
  size_t n = 0;
  while (n < capacity && field[n]) ++n;
  return n;
}
inline std::u16string FieldText(const WCHAR* field, size_t capacity) {
  return std::u16string(field, FieldTextLength(field, capacity));
}
// The text as a field of kFieldChars would hold it.
std::u16string FieldCut(const WCHAR* text);

// Equal in their first n characters; a null text equals nothing.
bool TextEquals(const WCHAR* a, const WCHAR* b, size_t n);
