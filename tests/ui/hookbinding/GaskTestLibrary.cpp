// A stand-in for the system-key library that reports every call to the test
// program (GaskTestRecord, exported by the program), so the log survives
// the library being unloaded. Built in variants that lack an export.
#include <dlfcn.h>

#include <cstdio>
#include <cstdint>

#include "pelplat/winuser.h"

namespace {

typedef int (*RecordFn)(const char* call);

int Record(const char* call) {
  auto record = reinterpret_cast<RecordFn>(dlsym(RTLD_DEFAULT, "GaskTestRecord"));
  return record ? record(call) : 0;
}

__attribute__((constructor)) void OnLoad() { Record("load"); }
__attribute__((destructor)) void OnUnload() { Record("unload"); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int Gask_2() { return Record("Gask_2"); }

#ifndef GASK_WITHOUT_RELEASE
__attribute__((visibility("default"))) void Gask_3() { Record("Gask_3"); }
#endif

#ifndef GASK_WITHOUT_SYSKEYS
__attribute__((visibility("default"))) void GaskSysKeysToHwnd(HWND window, int enable) {
  char call[64];
  snprintf(call, sizeof call, "To(%lx,%d)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window)),
           enable);
  Record(call);
}
#endif

}  // extern "C"
