#include "pelplat/debugout.h"

#include <cstdio>
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

void Emit(const char* text, size_t n) {
  DebugOutput& out = State();
  std::lock_guard<std::recursive_mutex> guard(out.lock);
  if (out.sink)
    out.sink(std::string(text, n));
  else
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
