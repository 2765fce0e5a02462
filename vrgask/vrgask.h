// The system-key library (libvrgask.so, loaded as "vrgask.dll"): a
// reference-counted low-level keyboard hook that turns the keys of the
// desktop into WM_HOOKED_KEY messages for one target window.
#pragma once

#include "pelplat/winuser.h"

#define GASK_BUILD_NUMBER 1003

// Posted to the target window. wParam: the set-1 scan code, plus 0x100 for
// an extended key; lParam: 1 for a release, 0 for a press.
#define WM_HOOKED_KEY 0x5FFu

#if defined(VRGASK_BUILD)
#define GASK_EXPORT __attribute__((visibility("default")))
#else
#define GASK_EXPORT
#endif

extern "C" {
// GASK_BUILD_NUMBER while the hook is installed, -1 when it cannot be.
GASK_EXPORT int Gask_2();
GASK_EXPORT void Gask_3();
GASK_EXPORT void GaskSysKeysToHwnd(HWND window, int enable);
GASK_EXPORT LRESULT fnGask2(int code, WPARAM message, LPARAM event);
GASK_EXPORT int GaskOpenSysKeys(DWORD value);
GASK_EXPORT void Gask_1(DWORD value);
GASK_EXPORT int fnGaskClose();
GASK_EXPORT int fnGaskOpen();
GASK_EXPORT extern int nGask;
}

// How callers that load the library at run time see the exports.
typedef int (*GaskInstallProc)();
typedef void (*GaskReleaseProc)();
typedef void (*GaskSysKeysToHwndProc)(HWND window, int enable);
