#include "sys/klog.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "pelplat/debugout.h"
#include "pelplat/systime.h"
#include "pelplat/utf16.h"
#include "pelplat/winerror.h"

// ---- LogText / LogTextW ----------------------------------------------------

namespace {

size_t TextLength(const char* s) { return std::strlen(s); }
size_t TextLength(const WCHAR* s) { return WcsLen(s); }

}  // namespace

template <class Ch>
void BasicLogText<Ch>::Take(const Ch* text) {
  // Copy before freeing, so that a text inside the old copy survives.
  Ch* copy = nullptr;
  if (text && text[0]) {
    size_t n = TextLength(text) + 1;
    copy = new (std::nothrow) Ch[n];
    if (copy) std::copy(text, text + n, copy);
  }
  delete[] text_;
  text_ = copy;
}

template class BasicLogText<char>;
template class BasicLogText<WCHAR>;

// ---- Parameters and the process-wide prefix --------------------------------

namespace klog {

const WCHAR* ProcessPrefix() {
  static WCHAR buffer[128];
  static const bool formatted = [] {
    SnwPrintf(buffer, sizeof(buffer) / sizeof(buffer[0]), u"%S", "pelm: ");
    return true;
  }();
  (void)formatted;
  return buffer;
}

// Formatted during static initialisation, before the program starts a thread.
[[maybe_unused]] static const WCHAR* const kPrefixAtStartup = ProcessPrefix();

LogParam::LogParam() {
  text[0] = 0;
  WcsCopyTruncate(prefix, kPrefixChars, ProcessPrefix());
}

}  // namespace klog

// ---- Line formatting -------------------------------------------------------

namespace {

size_t WritePrefix(const WCHAR* prefix, char* buffer, size_t capacity) {
  SnPrintf(buffer, capacity, "%ls", prefix);
  return std::strlen(buffer);
}
size_t WritePrefix(const WCHAR* prefix, WCHAR* buffer, size_t capacity) {
  return WcsCopyTruncate(buffer, capacity, prefix);
}

void FormatBody(char* buffer, size_t capacity, const char* format, va_list args) {
  VSnPrintf(buffer, capacity, format, args);
}
void FormatBody(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
  VSnwPrintf(buffer, capacity, format, args);
}

template <class Ch>
size_t FormatLogLine(const WCHAR* prefix, Ch* buffer, size_t capacity, const Ch* format,
                     va_list args, size_t* prefixLength) {
  if (prefixLength) *prefixLength = 0;
  if (!buffer || capacity == 0) return 0;
  buffer[0] = 0;
  size_t used = prefix ? WritePrefix(prefix, buffer, capacity) : 0;
  if (prefixLength) *prefixLength = used;
  if (format && used + 1 < capacity) FormatBody(buffer + used, capacity - used, format, args);
  return used + TextLength(buffer + used);
}

template <class Ch>
size_t TrimNewlines(Ch* text) {
  if (!text) return 0;
  size_t length = TextLength(text);
  while (length > 1 && text[length - 1] == Ch('\n')) --length;
  text[length] = 0;
  return length ? length - 1 : 0;
}

void SendToSinks(const klog::LogParam& param, const char* line) {
  if (param.outputs & klog::kOutputDebugger) OutputDebugStringA(line);
  if (param.outputs & klog::kOutputStdout) {
    std::fputs(line, stdout);
    std::fflush(stdout);
  }
}
void SendToSinks(const klog::LogParam& param, const WCHAR* line) {
  if (param.outputs & klog::kOutputDebugger) OutputDebugStringW(line);
  if (param.outputs & klog::kOutputStdout) {
    std::fputs(Utf16ToUtf8(line).c_str(), stdout);
    std::fflush(stdout);
  }
}

template <class Ch>
BasicLogText<Ch> RenderLine(const klog::LogParam& param, const Ch* format, va_list args) {
  const bool oneNewline =
      !(param.format & klog::kTrimNewlines) && (param.format & klog::kOneNewline);

  // The record's prefix may have been set by a configuring caller; never read
  // past its array.
  WCHAR prefix[klog::kPrefixChars];
  std::copy(param.prefix, param.prefix + klog::kPrefixChars, prefix);
  prefix[klog::kPrefixChars - 1] = 0;

  // A line longer than the buffer is cut at the buffer's end. When the line
  // must end with a newline one place stays free for it, so that a cut line
  // still ends with exactly one newline.
  Ch line[klog::kLineChars];
  size_t capacity = oneNewline ? klog::kLineChars - 1 : klog::kLineChars;
  size_t prefixLength = 0;
  size_t length = FormatLogLine(param.format & klog::kNoPrefix ? nullptr : prefix, line, capacity,
                                format, args, &prefixLength);

  if (param.format & (klog::kTrimNewlines | klog::kOneNewline)) {
    TrimNewlines(line);
    length = TextLength(line);
  }
  if (oneNewline) {
    line[length++] = Ch('\n');
    line[length] = 0;
  }

  SendToSinks(param, line);
  return BasicLogText<Ch>(line + std::min(prefixLength, length));
}

}  // namespace

size_t FormatLogLineA(const WCHAR* prefix, char* buffer, size_t capacity, const char* format,
                      va_list args, size_t* prefixLength) {
  return FormatLogLine(prefix, buffer, capacity, format, args, prefixLength);
}

size_t FormatLogLineW(const WCHAR* prefix, WCHAR* buffer, size_t capacity, const WCHAR* format,
                      va_list args, size_t* prefixLength) {
  return FormatLogLine(prefix, buffer, capacity, format, args, prefixLength);
}

size_t TrimNewlinesA(char* text) { return TrimNewlines(text); }

size_t TrimNewlinesW(WCHAR* text) { return TrimNewlines(text); }

namespace klog {

LogText RenderLineA(const LogParam& param, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogText text = RenderLine(param, format, args);
  va_end(args);
  return text;
}

LogTextW RenderLineW(const LogParam& param, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  LogTextW text = RenderLine(param, format, args);
  va_end(args);
  return text;
}

}  // namespace klog

// ---- File logger -----------------------------------------------------------

void AppendToLogFile(const LogText& text, const char* fileName) {
  if (!fileName) return;
  const char* name = fileName[0] ? fileName : "pelm: .log";

  FILE* file = std::fopen(name, "a");
  if (!file) {
    DWORD code = WinErrorForOpen(errno, name);
    LogMessageA("You have error %d opening file %s", static_cast<int>(code), name);
    return;
  }

  struct tm local = {};
  LocalTimeOf(std::time(nullptr), &local);
  char stamp[16];
  if (std::strftime(stamp, sizeof(stamp), "%T", &local) == 0) stamp[0] = 0;
  std::fprintf(file, "%s ", stamp);
  if (text.Text()) std::fputs(text.Text(), file);
  std::fclose(file);
}

std::string AppendLogFormat(std::string classAndMethod, const char* format) {
  classAndMethod += ": ";
  if (format) classAndMethod += format;
  return classAndMethod;
}
