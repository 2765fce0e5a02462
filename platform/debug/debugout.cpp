#include "pelplat/debugout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "pelplat/utf16.h"

namespace {

// Lines may still be written while static objects are torn down at exit, so
// the state is never destroyed. Recursive so that a sink that logs cannot
// deadlock.
struct DebugOutput {
  std::recursive_mutex lock;
  DebugOutputSink sink;
};

DebugOutput& State() {
  static DebugOutput* state = new DebugOutput;
  return *state;
}

bool DebuggerListens() {
  const char* value = getenv("PELLUM_DEBUG");
  return value && *value && strcmp(value, "0") != 0;
}

void Emit(const char* text, size_t n) {
  DebugOutput& out = State();
  std::lock_guard<std::recursive_mutex> guard(out.lock);
  if (out.sink)
    out.sink(std::string(text, n));
  else if (DebuggerListens())
    fwrite(text, 1, n, stderr);
}

}  // namespace

void OutputDebugStringA(LPCSTR text) {
  if (text) Emit(text, strlen(text));
}

void OutputDebugStringW(LPCWSTR text) {
  if (!text) return;
  const std::string utf8 = Utf16ToUtf8(text);
  Emit(utf8.data(), utf8.size());
}

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink) {
  DebugOutput& out = State();
  std::lock_guard<std::recursive_mutex> guard(out.lock);
  std::swap(out.sink, sink);
  return sink;
}

void ReportErrorToUser(const std::string& utf8) {
  std::string line = "pellum: " + utf8;
  if (line.empty() || line.back() != '\n') line += '\n';
  DebugOutput& out = State();
  std::lock_guard<std::recursive_mutex> guard(out.lock);
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
  // With the debugger output on stderr as well, the line shows once.
  if (out.sink) out.sink(line);
}
