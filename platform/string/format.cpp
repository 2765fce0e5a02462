// printf-style formatting with the Windows conventions described in utf16.h.
// Directives are parsed here; numbers are handed to the C library's snprintf
// with the parsed flags, width and precision; strings and characters are
// converted and padded here, so both widths follow one set of rules.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include "pelplat/utf16.h"
#include "textlocale.h"

namespace {

// Widths and number precisions are capped here: a stray '*' argument must not
// turn one log line into gigabytes.
constexpr int kMaxWidth = 1 << 16;

struct Args {
  va_list ap;
  explicit Args(va_list src) { va_copy(ap, src); }
  ~Args() { va_end(ap); }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
};

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }

// Where the formatted text goes: a caller's bounded buffer, or a string.
template <class Ch>
class Sink {
 public:
  Sink(Ch* buf, size_t cap) : buf_(buf), cap_(cap) {}
  explicit Sink(std::basic_string<Ch>* str) : str_(str) {}

  bool Full() const { return cut_; }

  void Put(const Ch* s, size_t n) {
    if (str_) {
      str_->append(s, n);
      return;
    }
    const size_t k = Room(n);
    std::copy(s, s + k, buf_ + len_);
    Advance(k, n);
  }

  void Pad(Ch c, size_t n) {
    if (str_) {
      str_->append(n, c);
      return;
    }
    const size_t k = Room(n);
    std::fill(buf_ + len_, buf_ + len_ + k, c);
    Advance(k, n);
  }

  // Terminates the bounded buffer: characters stored, or -1 when cut.
  int Finish() {
    if (cap_ == 0) return -1;
    if (cut_) len_ = CutBoundary(buf_, len_);
    buf_[len_] = 0;
    return cut_ ? -1 : static_cast<int>(std::min<size_t>(len_, INT_MAX));
  }

 private:
  void Advance(size_t stored, size_t wanted) {
    len_ += stored;
    if (stored < wanted) cut_ = true;
  }
  size_t Room(size_t n) const {
    if (cut_ || cap_ == 0) return 0;
    return std::min(n, cap_ - 1 - len_);
  }
  static size_t CutBoundary(char* s, size_t n) { return Utf8BoundaryCut(s, n + 1, n); }
  static size_t CutBoundary(WCHAR* s, size_t n) { return n && IsHighSurrogate(s[n - 1]) ? n - 1 : n; }

  Ch* buf_ = nullptr;
  size_t cap_ = 0;
  size_t len_ = 0;
  bool cut_ = false;
  std::basic_string<Ch>* str_ = nullptr;
};

enum class Width { kDefault, kNarrow, kWide };

struct Spec {
  char flags[8] = {};  // subset of "-+ #0", each at most once
  int width = 0;
  int precision = -1;  // -1: none
  int intBits = 32;
  bool longDouble = false;
  Width text = Width::kDefault;  // h / l / w on %s and %c

  bool Left() const { return strchr(flags, '-') != nullptr; }
  void AddFlag(char f) {
    if (!strchr(flags, f)) flags[strlen(flags)] = f;
  }
};

// snprintf in the "C" locale, whatever locale the program chose for itself.
class CNumbers {
 public:
  CNumbers() : loc_(pelplat::TextLocale()), old_(loc_ ? uselocale(loc_) : nullptr) {}
  ~CNumbers() {
    if (loc_) uselocale(old_);
  }

 private:
  locale_t loc_;
  locale_t old_;
};

template <class Ch>
void PutAscii(Sink<Ch>& out, const char* s, size_t n) {
  if constexpr (std::is_same_v<Ch, char>) {
    out.Put(s, n);
  } else {
    Ch chunk[64];
    for (size_t done = 0; done < n && !out.Full();) {
      const size_t k = std::min(n - done, sizeof chunk / sizeof chunk[0]);
      std::copy(s + done, s + done + k, chunk);
      out.Put(chunk, k);
      done += k;
    }
  }
}

// value is long long, unsigned long long, double or long double; lengthMod
// matches it.
template <class Ch, class T>
void PutNumber(Sink<Ch>& out, const Spec& sp, const char* lengthMod, char conv, T value) {
  char format[24];
  snprintf(format, sizeof format, "%%%s*.*%s%c", sp.flags, lengthMod, conv);
  const int precision = std::min(sp.precision, kMaxWidth);
  CNumbers cLocale;
  char local[256];
  const int n = snprintf(local, sizeof local, format, sp.width, precision, value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof local) {
    PutAscii(out, local, n);
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  snprintf(big.data(), big.size(), format, sp.width, precision, value);
  PutAscii(out, big.data(), n);
}

template <class Ch>
void PutPadded(Sink<Ch>& out, const Spec& sp, const Ch* s, size_t n) {
  const size_t pad = static_cast<size_t>(sp.width) > n ? sp.width - n : 0;
  if (!sp.Left()) out.Pad(' ', pad);
  out.Put(s, n);
  if (sp.Left()) out.Pad(' ', pad);
}

std::u16string OtherWidth(const char* s, size_t n) { return Utf8ToUtf16(s, n); }
std::string OtherWidth(const WCHAR* s, size_t n) { return Utf16ToUtf8(s, n); }

// Text of either width, converted to the output's width and padded.
template <class Ch, class Src>
void PutText(Sink<Ch>& out, const Spec& sp, const Src* s, size_t n) {
  if constexpr (std::is_same_v<Ch, Src>) {
    PutPadded(out, sp, s, n);
  } else {
    const auto converted = OtherWidth(s, n);
    PutPadded(out, sp, converted.data(), converted.size());
  }
}

// The precision bounds what is read of the argument, which need not be
// terminated; the cut keeps whole characters.
template <class Ch>
void PutString(Sink<Ch>& out, const Spec& sp, bool wideArg, Args& args) {
  const size_t limit = sp.precision < 0 ? SIZE_MAX : static_cast<size_t>(sp.precision);
  if (wideArg) {
    const WCHAR* s = va_arg(args.ap, const WCHAR*);
    if (!s) s = u"(null)";
    size_t n = 0;
    while (n < limit && s[n]) ++n;
    if (n == limit && n > 0 && IsHighSurrogate(s[n - 1])) --n;
    PutText(out, sp, s, n);
  } else {
    const char* s = va_arg(args.ap, const char*);
    if (!s) s = "(null)";
    const size_t n = strnlen(s, limit);
    PutText(out, sp, s, n == limit ? Utf8BoundaryCut(s, n + 1, n) : n);
  }
}

template <class Ch>
void PutChar(Sink<Ch>& out, const Spec& sp, bool wideArg, Args& args) {
  const int v = va_arg(args.ap, int);
  if (wideArg) {
    const WCHAR c = static_cast<WCHAR>(v);
    PutText(out, sp, &c, 1);
  } else if constexpr (std::is_same_v<Ch, char>) {
    const char c = static_cast<char>(v);
    PutPadded(out, sp, &c, 1);
  } else {
    // A lone byte above 0x7F is not a character of UTF-8 text.
    const WCHAR c = static_cast<unsigned char>(v) < 0x80 ? static_cast<WCHAR>(v & 0x7F) : 0xFFFD;
    PutPadded(out, sp, &c, 1);
  }
}

long long SignedArg(int bits, Args& args) {
  switch (bits) {
    case 64: return va_arg(args.ap, long long);
    case 16: return static_cast<short>(va_arg(args.ap, int));
    case 8: return static_cast<signed char>(va_arg(args.ap, int));
    default: return va_arg(args.ap, int);
  }
}

unsigned long long UnsignedArg(int bits, Args& args) {
  switch (bits) {
    case 64: return va_arg(args.ap, unsigned long long);
    case 16: return static_cast<unsigned short>(va_arg(args.ap, unsigned));
    case 8: return static_cast<unsigned char>(va_arg(args.ap, unsigned));
    default: return va_arg(args.ap, unsigned);
  }
}

template <class Ch>
int ParseNumber(const Ch*& p) {
  long long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) v = std::min<long long>(v * 10 + (*p - '0'), INT_MAX);
  return static_cast<int>(v);
}

template <class Ch>
bool Follows(const Ch* p, const char* text) {
  for (; *text; ++p, ++text)
    if (*p != static_cast<Ch>(*text)) return false;
  return true;
}

// Reads flags, width, precision and size of a directive; p is behind the '%'
// and ends on the conversion character.
template <class Ch>
Spec ParseSpec(const Ch*& p, Args& args) {
  Spec sp;
  for (; *p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0'; ++p) sp.AddFlag(static_cast<char>(*p));
  if (*p == '*') {
    ++p;
    long long w = va_arg(args.ap, int);
    if (w < 0) {
      sp.AddFlag('-');
      w = -w;
    }
    sp.width = static_cast<int>(std::min<long long>(w, kMaxWidth));
  } else {
    sp.width = std::min(ParseNumber(p), kMaxWidth);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ++p;
      sp.precision = std::max(va_arg(args.ap, int), -1);
    } else {
      sp.precision = ParseNumber(p);
    }
  }
  if (Follows(p, "I64")) {
    p += 3;
    sp.intBits = 64;
  } else if (Follows(p, "I32")) {
    p += 3;
  } else if (Follows(p, "hh")) {
    p += 2;
    sp.intBits = 8;
    sp.text = Width::kNarrow;
  } else if (Follows(p, "ll")) {
    p += 2;
    sp.intBits = 64;
    sp.text = Width::kWide;
  } else if (*p == 'h') {
    ++p;
    sp.intBits = 16;
    sp.text = Width::kNarrow;
  } else if (*p == 'l' || *p == 'w') {
    ++p;
    sp.text = Width::kWide;
  } else if (*p == 'L') {
    ++p;
    sp.intBits = 64;
    sp.longDouble = true;
  } else if (*p == 'I' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'q') {
    ++p;
    sp.intBits = 64;
  }
  return sp;
}

// Whether a %s / %c argument is wide: the size prefix decides, else the
// lower-case conversion takes the format's own width and the upper-case one
// the other.
template <class Ch>
bool WideArgument(const Spec& sp, Ch conv) {
  if (sp.text != Width::kDefault) return sp.text == Width::kWide;
  const bool wideFormat = std::is_same_v<Ch, WCHAR>;
  return (conv == 's' || conv == 'c') == wideFormat;
}

// Returns false when the conversion is unknown.
template <class Ch>
bool Convert(Sink<Ch>& out, Spec sp, Ch conv, Args& args) {
  const char c = conv < 0x80 ? static_cast<char>(conv) : '?';
  switch (c) {
    case 'd':
    case 'i':
      PutNumber(out, sp, "ll", c, SignedArg(sp.intBits, args));
      return true;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      PutNumber(out, sp, "ll", c, UnsignedArg(sp.intBits, args));
      return true;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (sp.longDouble)
        PutNumber(out, sp, "L", c, va_arg(args.ap, long double));
      else
        PutNumber(out, sp, "", c, va_arg(args.ap, double));
      return true;
    case 'p': {
      Spec hex;
      if (sp.Left()) hex.AddFlag('-');
      hex.width = sp.width;
      hex.precision = 16;
      sp = hex;
      PutNumber(out, sp, "ll", 'X', static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args.ap, void*))));
      return true;
    }
    case 's':
    case 'S':
      PutString(out, sp, WideArgument(sp, conv), args);
      return true;
    case 'c':
    case 'C':
      PutChar(out, sp, WideArgument(sp, conv), args);
      return true;
    case 'n':
      // Writing through an argument is a classic hole; take it, store nothing.
      va_arg(args.ap, void*);
      return true;
    case '%': {
      const Ch percent = '%';
      out.Put(&percent, 1);
      return true;
    }
    default:
      return false;
  }
}

template <class Ch>
void FormatInto(Sink<Ch>& out, const Ch* fmt, Args& args) {
  if (!fmt) return;
  const Ch* p = fmt;
  while (*p && !out.Full()) {
    const Ch* run = p;
    while (*p && *p != '%') ++p;
    out.Put(run, p - run);
    if (!*p) break;
    const Ch* directive = p++;
    Spec sp = ParseSpec(p, args);
    if (!*p) {
      out.Put(directive, p - directive);
      break;
    }
    const Ch conv = *p++;
    if (!Convert(out, sp, conv, args)) out.Put(directive, p - directive);
  }
}

template <class Ch>
int BoundedFormat(Ch* buf, size_t cap, const Ch* fmt, va_list ap) {
  Sink<Ch> out(buf, cap);
  Args args(ap);
  FormatInto(out, fmt, args);
  return out.Finish();
}

template <class Ch>
std::basic_string<Ch> WholeFormat(const Ch* fmt, va_list ap) {
  std::basic_string<Ch> text;
  Sink<Ch> out(&text);
  Args args(ap);
  FormatInto(out, fmt, args);
  return text;
}

}  // namespace

int VSnPrintf(char* buf, size_t cap, const char* fmt, va_list ap) { return BoundedFormat(buf, cap, fmt, ap); }
int VSnwPrintf(WCHAR* buf, size_t cap, const WCHAR* fmt, va_list ap) { return BoundedFormat(buf, cap, fmt, ap); }
std::string VFormatA(const char* fmt, va_list ap) { return WholeFormat(fmt, ap); }
std::u16string VFormatW(const WCHAR* fmt, va_list ap) { return WholeFormat(fmt, ap); }

int SnPrintf(char* buf, size_t cap, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = VSnPrintf(buf, cap, fmt, ap);
  va_end(ap);
  return n;
}

int SnwPrintf(WCHAR* buf, size_t cap, const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = VSnwPrintf(buf, cap, fmt, ap);
  va_end(ap);
  return n;
}

std::string FormatA(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormatA(fmt, ap);
  va_end(ap);
  return text;
}

std::u16string FormatW(const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::u16string text = VFormatW(fmt, ap);
  va_end(ap);
  return text;
}
