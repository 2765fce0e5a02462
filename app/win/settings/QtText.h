// Conversions between Qt texts and the settings' wide texts.
#pragma once

#include <QString>
#include <string>

#include "pelplat/wintypes.h"

inline QString ToQString(const WCHAR* text) {
  return text == nullptr ? QString() : QString::fromUtf16(text);
}
inline QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<int>(text.size()));
}
inline std::u16string ToU16String(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}
