// What the session windows and the start-up check need of the system-key
// binding.
#pragma once

#include "pelplat/winuser.h"

class CHookedKeyboardAbstract {
 public:
  virtual ~CHookedKeyboardAbstract() = default;
  virtual void Load() = 0;
  virtual void Unload() = 0;
  // 1 when the library is loaded, 0 otherwise.
  virtual int SetTargetWindow(HWND window, int on) = 0;
  virtual bool IsLoaded() = 0;
};
