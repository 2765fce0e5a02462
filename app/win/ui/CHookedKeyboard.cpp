#include "CHookedKeyboard.h"

#include "pelplat/library.h"
#include "sys/sys.h"

namespace {
typedef int (*InstallProc)();
typedef void (*ReleaseProc)();
}  // namespace

CHookedKeyboard g_HookedKeyboard;

CHookedKeyboard::CHookedKeyboard(const char* libraryName) : libraryName_(libraryName) {
  SysCreateMutex(&mutex);
}

CHookedKeyboard::~CHookedKeyboard() {
  SetTargetWindow(target, 0);
  if (SysWaitHandle(&mutex) == WAIT_OBJECT_0) {
    UnloadLibrary();
    SysReleaseMutex(&mutex);
  }
  if (mutex) SysCloseHandle(&mutex);
}

void CHookedKeyboard::Load() {
  if (library) return;
  library = LoadLibraryA(libraryName_);
  if (!library) return;
  auto install = reinterpret_cast<InstallProc>(GetProcAddress(library, "Gask_2"));
  sysKeysToHwnd = reinterpret_cast<SysKeysToHwndProc>(GetProcAddress(library, "GaskSysKeysToHwnd"));
  if (install && sysKeysToHwnd) {
    // A failed install still counts as loaded: the library then ignores
    // targets and keys reach the window the ordinary way.
    install();
    return;
  }
  FreeLibrary(library);
  library = nullptr;
}

bool CHookedKeyboard::IsLoaded() { return library && sysKeysToHwnd; }

int CHookedKeyboard::SetTargetWindow(HWND window, int on) {
  if (SysWaitHandle(&mutex) != WAIT_OBJECT_0) return 0;
  if (!IsLoaded()) {
    SysReleaseMutex(&mutex);
    return 0;
  }
  if (on) {
    if (window != target) {
      if (target) sysKeysToHwnd(target, 0);
      target = nullptr;
      if (window) {
        sysKeysToHwnd(window, 1);
        target = window;
      }
    }
  } else if (target && target == window) {
    sysKeysToHwnd(window, 0);
    target = nullptr;
  }
  SysReleaseMutex(&mutex);
  return 1;
}

void CHookedKeyboard::ReleaseWindow(HWND window) {
  SetTargetWindow(window, 0);
  if (SysWaitHandle(&mutex) != WAIT_OBJECT_0) return;
  if (!target || target == window) UnloadLibrary();
  SysReleaseMutex(&mutex);
}

void CHookedKeyboard::Unload() {
  SetTargetWindow(target, 0);
  if (SysWaitHandle(&mutex) != WAIT_OBJECT_0) return;
  UnloadLibrary();
  SysReleaseMutex(&mutex);
}

void CHookedKeyboard::UnloadLibrary() {
  if (!library) return;
  // The hook must be gone before the code it runs is unmapped.
  auto release = reinterpret_cast<ReleaseProc>(GetProcAddress(library, "Gask_3"));
  if (release) release();
  FreeLibrary(library);
  library = nullptr;
}
