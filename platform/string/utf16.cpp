#include "pelplat/utf16.h"

#include <cstdint>
#include <cstring>
#include <cwctype>

#include "textlocale.h"

namespace pelplat {

locale_t TextLocale() {
  static const locale_t loc = [] {
    locale_t l = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
    return l ? l : newlocale(LC_ALL_MASK, "C", nullptr);
  }();
  return loc;
}

}  // namespace pelplat

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes the sequence at s[0..n). Returns the bytes it takes; an invalid
// sequence takes its longest valid-looking start (at least one byte), so that
// one replacement stands for it, as Unicode recommends.
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t& cp, bool& ok) {
  const unsigned char b0 = s[0];
  ok = false;
  if (b0 < 0x80) {
    cp = b0;
    ok = true;
    return 1;
  }
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 1;
  }
  size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= n || s[i] < lo || s[i] > hi) return i;
    cp = (cp << 6) | (s[i] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  ok = true;
  return i;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

// Both directions stop at the first invalid sequence when strict, else put
// U+FFFD in its place.
bool Utf8To16(const char* s, size_t n, std::u16string& out, bool strict) {
  out.clear();
  out.reserve(n);
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  for (size_t i = 0; i < n;) {
    char32_t cp;
    bool ok;
    i += DecodeUtf8(p + i, n - i, cp, ok);
    if (!ok && strict) {
      out.clear();
      return false;
    }
    AppendUtf16(out, ok ? cp : kReplacement);
  }
  return true;
}

bool Utf16To8(const WCHAR* s, size_t n, std::string& out, bool strict) {
  out.clear();
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(s[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    } else if (IsSurrogate(c)) {
      if (strict) {
        out.clear();
        return false;
      }
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return true;
}

template <class Fold>
int CompareFolded(const WCHAR* a, const WCHAR* b, size_t n, Fold fold) {
  for (size_t i = 0; i < n; ++i) {
    const int ca = fold(a[i]), cb = fold(b[i]);
    if (ca != cb) return ca - cb;
    if (a[i] == 0) return 0;
  }
  return 0;
}

int Same(WCHAR c) { return c; }
int Lower(WCHAR c) { return WcsToLower(c); }

// Unicode case mappings of the BMP stay in the BMP except for a handful of
// characters; those keep their own value.
WCHAR MapCase(WCHAR c, wint_t (*mapL)(wint_t, locale_t), int asciiFrom, int asciiDelta) {
  if (IsSurrogate(c)) return c;
  if (locale_t loc = pelplat::TextLocale()) {
    const wint_t m = mapL(c, loc);
    return m <= 0xFFFF && !IsSurrogate(m) ? static_cast<WCHAR>(m) : c;
  }
  return c >= asciiFrom && c < asciiFrom + 26 ? static_cast<WCHAR>(c + asciiDelta) : c;
}

}  // namespace

size_t WcsLen(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int WcsCmp(const WCHAR* a, const WCHAR* b) { return CompareFolded(a, b, SIZE_MAX, Same); }
int WcsNCmp(const WCHAR* a, const WCHAR* b, size_t n) { return CompareFolded(a, b, n, Same); }
int WcsICmp(const WCHAR* a, const WCHAR* b) { return CompareFolded(a, b, SIZE_MAX, Lower); }
int WcsNICmp(const WCHAR* a, const WCHAR* b, size_t n) { return CompareFolded(a, b, n, Lower); }

WCHAR* WcsNCpy(WCHAR* dst, const WCHAR* src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
  return dst;
}

size_t WcsCopyTruncate(WCHAR* dst, size_t cap, const WCHAR* src) {
  if (cap == 0) return 0;
  size_t n = 0;
  while (n + 1 < cap && src[n]) ++n;
  if (src[n] && n > 0 && IsHighSurrogate(src[n - 1]) && IsLowSurrogate(src[n])) --n;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  dst[n] = 0;
  return n;
}

WCHAR WcsToLower(WCHAR c) { return MapCase(c, towlower_l, 'A', 'a' - 'A'); }
WCHAR WcsToUpper(WCHAR c) { return MapCase(c, towupper_l, 'a', 'A' - 'a'); }

std::string Utf16ToUtf8(const WCHAR* s) { return s ? Utf16ToUtf8(s, WcsLen(s)) : std::string(); }
std::string Utf16ToUtf8(const std::u16string& s) { return Utf16ToUtf8(s.data(), s.size()); }
std::string Utf16ToUtf8(const WCHAR* s, size_t n) {
  std::string out;
  if (s) Utf16To8(s, n, out, false);
  return out;
}

std::u16string Utf8ToUtf16(const char* s) { return s ? Utf8ToUtf16(s, strlen(s)) : std::u16string(); }
std::u16string Utf8ToUtf16(const std::string& s) { return Utf8ToUtf16(s.data(), s.size()); }
std::u16string Utf8ToUtf16(const char* s, size_t n) {
  std::u16string out;
  if (s) Utf8To16(s, n, out, false);
  return out;
}

bool Utf8ToUtf16Strict(const char* s, size_t n, std::u16string& out) {
  if (!s) {
    out.clear();
    return n == 0;
  }
  return Utf8To16(s, n, out, true);
}

bool Utf16ToUtf8Strict(const WCHAR* s, size_t n, std::string& out) {
  if (!s) {
    out.clear();
    return n == 0;
  }
  return Utf16To8(s, n, out, true);
}

size_t Utf8BoundaryCut(const char* s, size_t len, size_t maxBytes) {
  if (len <= maxBytes) return len;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  // Find the start of the last sequence inside the prefix; keep it only when
  // all the bytes its lead byte announces are inside.
  size_t start = maxBytes;
  while (start > 0 && maxBytes - start < 4) {
    --start;
    if ((p[start] & 0xC0) != 0x80) break;
  }
  if (start == maxBytes || (p[start] & 0xC0) == 0x80) return maxBytes;
  const unsigned char lead = p[start];
  const size_t announced = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return start + announced > maxBytes ? start : maxBytes;
}
