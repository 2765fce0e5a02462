#include "pelplat/winuser.h"

HWND GetDesktopWindow() {
  // Never a window of ours: registered windows are X window ids, which
  // leave the top bits clear.
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(0xDE5C0000u));
}
