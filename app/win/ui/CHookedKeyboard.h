// Binds the program to the optional system-key library at run time: loaded
// while a session window is active, so that the keyboard hook exists only
// then. All callers run on the GUI thread, where the library's hook runs.
#pragma once

#include "CHookedKeyboardAbstract.h"
#include "pelplat/wintypes.h"
#include "pelplat/winuser.h"

class CHookedKeyboard : public CHookedKeyboardAbstract {
 public:
  static constexpr const char* kLibraryName = "vrgask.dll";

  // Tests bind other libraries with the same exports.
  explicit CHookedKeyboard(const char* libraryName = kLibraryName);
  ~CHookedKeyboard() override;

  void Load() override;
  void Unload() override;
  int SetTargetWindow(HWND window, int on) override;
  bool IsLoaded() override;
  // Stops reporting to the window and unloads unless another window holds
  // the hook.
  virtual void ReleaseWindow(HWND window);

  CHookedKeyboard(const CHookedKeyboard&) = delete;
  CHookedKeyboard& operator=(const CHookedKeyboard&) = delete;

 private:
  typedef void (*SysKeysToHwndProc)(HWND window, int enable);

  void UnloadLibrary();  // with the mutex held

  HMODULE library = nullptr;
  HANDLE mutex = nullptr;
  HWND target = nullptr;
  SysKeysToHwndProc sysKeysToHwnd = nullptr;
  const char* libraryName_;
};

// The program's one binding, built during static initialisation.
extern CHookedKeyboard g_HookedKeyboard;
