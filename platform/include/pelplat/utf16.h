// UTF-16 strings (WCHAR = char16_t) and printf-style formatting with the
// Windows conventions, bounded so that every result is terminated.
//
// Format conventions (both widths, as the Windows C library has them):
//   narrow format: %s = char*,  %S / %ls / %ws = WCHAR*,  %hs = char*
//   wide format:   %s = WCHAR*, %S / %hs = char*,         %ls / %ws = WCHAR*
//   %c in a wide format takes a WCHAR, %C the other width; %I64d / %I64u /
//   %I64x take 64-bit values, %I32 32-bit ones; ll, h, hh, z, j, t as in C,
//   but l with an integer takes 32 bits (a Windows long, LONG and DWORD here).
//   %p prints 16 upper-case hex digits; %n is accepted and writes nothing;
//   an unknown conversion is copied as it stands; a null string is "(null)".
//   String precision counts characters of the argument; widths pad.
// Narrow text is UTF-8; wide text is UTF-16. Numbers always use the "C"
// conventions whatever locale the program set.
#pragma once

#include <cstdarg>
#include <string>

#include "pelplat/wintypes.h"

size_t WcsLen(const WCHAR* s);                                  // s not null
int WcsCmp(const WCHAR* a, const WCHAR* b);
int WcsNCmp(const WCHAR* a, const WCHAR* b, size_t n);
int WcsICmp(const WCHAR* a, const WCHAR* b);                    // case-blind
int WcsNICmp(const WCHAR* a, const WCHAR* b, size_t n);         // case-blind
// strncpy semantics: pads with terminators, no terminator when src >= n.
WCHAR* WcsNCpy(WCHAR* dst, const WCHAR* src, size_t n);
// Copies at most cap-1 characters and always terminates (cap > 0).
size_t WcsCopyTruncate(WCHAR* dst, size_t cap, const WCHAR* src);
WCHAR WcsToLower(WCHAR c);
WCHAR WcsToUpper(WCHAR c);

// UTF-8 <-> UTF-16. The lenient forms replace invalid sequences with U+FFFD;
// the strict forms return false on the first invalid sequence.
std::string Utf16ToUtf8(const WCHAR* s);
std::string Utf16ToUtf8(const WCHAR* s, size_t n);
std::string Utf16ToUtf8(const std::u16string& s);
std::u16string Utf8ToUtf16(const char* s);
std::u16string Utf8ToUtf16(const char* s, size_t n);
std::u16string Utf8ToUtf16(const std::string& s);
bool Utf8ToUtf16Strict(const char* s, size_t n, std::u16string& out);
bool Utf16ToUtf8Strict(const WCHAR* s, size_t n, std::string& out);
// Length in bytes of the longest prefix of s (at most maxBytes) that ends on
// a character boundary. Reads no byte beyond maxBytes, so s may be a buffer
// that holds only the first maxBytes bytes of a longer text.
size_t Utf8BoundaryCut(const char* s, size_t len, size_t maxBytes);

// Bounded formatting. The result always ends with a terminator inside cap
// characters: a longer text is cut to its first cap-1 characters (a wide cut
// never splits a surrogate pair, a narrow cut never splits a UTF-8
// sequence). Returns the number of characters stored, or -1 when the text
// was cut or cap is 0.
int SnPrintf(char* buf, size_t cap, const char* fmt, ...);
int VSnPrintf(char* buf, size_t cap, const char* fmt, va_list ap);
int SnwPrintf(WCHAR* buf, size_t cap, const WCHAR* fmt, ...);
int VSnwPrintf(WCHAR* buf, size_t cap, const WCHAR* fmt, va_list ap);

// Unbounded forms that return the whole formatted text.
std::string FormatA(const char* fmt, ...);
std::string VFormatA(const char* fmt, va_list ap);
std::u16string FormatW(const WCHAR* fmt, ...);
std::u16string VFormatW(const WCHAR* fmt, va_list ap);
