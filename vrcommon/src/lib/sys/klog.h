// The debug logger and the file logger.
//
// A debug line is "pelm: ", the printf-formatted body and exactly one
// newline, handed to the debugger output (OutputDebugStringA/W). The caller
// gets a heap copy of the line without the prefix. Formats follow the Windows
// printf conventions of pelplat/utf16.h: in a narrow format %s is a char*
// and %ls / %S a WCHAR*; %I64d takes a 64-bit value.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "pelplat/wintypes.h"

// Owns a heap copy of a terminated text; null for an empty text or when the
// copy could not be allocated.
template <class Ch>
class BasicLogText {
 public:
  BasicLogText() = default;
  explicit BasicLogText(const Ch* text) { Take(text); }
  BasicLogText(const BasicLogText& other) { Take(other.text_); }
  BasicLogText(BasicLogText&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
  ~BasicLogText() { delete[] text_; }

  BasicLogText& operator=(const Ch* text) {
    if (text != text_) Take(text);
    return *this;
  }
  BasicLogText& operator=(const BasicLogText& other) { return *this = other.text_; }
  BasicLogText& operator=(BasicLogText&& other) noexcept {
    std::swap(text_, other.text_);
    return *this;
  }

  const Ch* Text() const { return text_; }  // null when empty
  const Ch* c_str() const {                 // never null
    static const Ch kEmpty[1] = {0};
    return text_ ? text_ : kEmpty;
  }
  bool Empty() const { return text_ == nullptr; }

 private:
  void Take(const Ch* text);
  Ch* text_ = nullptr;
};

using LogText = BasicLogText<char>;
using LogTextW = BasicLogText<WCHAR>;
extern template class BasicLogText<char>;
extern template class BasicLogText<WCHAR>;

namespace klog {

enum Outputs : uint32_t {
  kOutputDebugger = 1,
  kOutputStdout = 2,  // the console when one is attached; no caller turns it on
};

enum LineRules : uint32_t {
  kNoPrefix = 1,
  kTrimNewlines = 2,  // remove trailing newlines, add none
  kOneNewline = 4,    // exactly one trailing newline (when kTrimNewlines is clear)
};

constexpr int kLineChars = 8192;
constexpr int kPrefixChars = 15;  // 14 characters and the terminator

// Parameters of one debug-log call.
struct LogParam {
  int32_t level = 2;       // no output step consults it
  int32_t levelLimit = 3;  // no output step consults it
  uint32_t outputs = kOutputDebugger;
  uint32_t format = kOneNewline;
  char text[kLineChars];
  WCHAR prefix[kPrefixChars];

  // Defaults and a copy of the process-wide prefix.
  LogParam();
  // The same, then `configure(*this)` once.
  template <class F, class = std::enable_if_t<std::is_invocable<F&, LogParam&>::value &&
                                              !std::is_same<std::decay_t<F>, LogParam>::value>>
  explicit LogParam(F&& configure) : LogParam() {
    std::forward<F>(configure)(*this);
  }
};

// The process-wide prefix ("pelm: "), formatted on first use.
const WCHAR* ProcessPrefix();

// Formatting steps behind the renderers; the arguments arrive through C
// varargs, which the templates below make safe by admitting only scalars.
LogText RenderLineA(const LogParam& param, const char* format, ...);
LogTextW RenderLineW(const LogParam& param, const WCHAR* format, ...);

template <class... Args>
constexpr bool ScalarArgs() {
  return (... && (std::is_arithmetic<Args>::value || std::is_enum<Args>::value ||
                  std::is_pointer<Args>::value || std::is_null_pointer<Args>::value));
}

}  // namespace klog

// Renderers: format one line under the given parameters and send it to the
// sinks the parameters name.
template <class... Args>
LogText LogRenderA(const klog::LogParam& param, const char* format, Args... args) {
  static_assert(klog::ScalarArgs<Args...>(), "log arguments must be numbers, characters or pointers");
  return klog::RenderLineA(param, format, args...);
}

template <class... Args>
LogTextW LogRenderW(const klog::LogParam& param, const WCHAR* format, Args... args) {
  static_assert(klog::ScalarArgs<Args...>(), "log arguments must be numbers, characters or pointers");
  return klog::RenderLineW(param, format, args...);
}

// Front ends: "pelm: " + body + one newline to the debugger output; returns
// the line without the prefix.
template <class... Args>
LogText LogMessageA(const char* format, Args... args) {
  klog::LogParam param;
  param.level = 1;
  return LogRenderA(param, format, args...);
}

template <class... Args>
LogTextW LogMessageW(const WCHAR* format, Args... args) {
  klog::LogParam param;
  param.level = 1;
  return LogRenderW(param, format, args...);
}

// Writes the prefix (when not null) and the formatted body into buffer, cut
// to fit capacity and always terminated. Returns the length of the line;
// *prefixLength (when asked for) receives the length the prefix took.
size_t FormatLogLineA(const WCHAR* prefix, char* buffer, size_t capacity, const char* format,
                      va_list args, size_t* prefixLength = nullptr);
size_t FormatLogLineW(const WCHAR* prefix, WCHAR* buffer, size_t capacity, const WCHAR* format,
                      va_list args, size_t* prefixLength = nullptr);

// Remove trailing newlines in place, never the first character; return the
// index of the last character kept (0 for a null text).
size_t TrimNewlinesA(char* text);
size_t TrimNewlinesW(WCHAR* text);

// Appends "HH:MM:SS " and the text to the file (created when missing). A null
// name does nothing; an empty name means "pelm: .log".
void AppendToLogFile(const LogText& text, const char* fileName);

// "Class::Method" + ": " + format, for use as a front end's format.
std::string AppendLogFormat(std::string classAndMethod, const char* format);
