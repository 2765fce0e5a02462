#include "vrgask.h"

#include <dlfcn.h>

#include <cstdint>

#include "pelplat/hookfeed.h"
#include "pelplat/winerror.h"
#include "sys/_synchro.h"

namespace {

// One per process.
struct GaskState {
  CxLock lock;
  HHOOK hook;
  int32_t refCount;
  HWND targetWindow;
  HMODULE module;
};
GaskState g_state;

// The platform has to know the target so that the window holds the
// keyboard while keys are reported to it.
void SetTargetWindow(HWND window) {
  g_state.targetWindow = window;
  if (g_state.hook) PlatSetKeyboardHookTarget(g_state.hook, window);
}

void RemoveHook() {
  SetTargetWindow(nullptr);
  if (g_state.hook) {
    UnhookWindowsHookEx(g_state.hook);
    g_state.hook = nullptr;
  }
}

enum class Phase { kAny, kPress, kRelease };

struct KeyRule {
  DWORD virtualKey;
  Phase phase;
  WORD code;  // 0: the event's own key code
  bool post;
  bool swallow;
};

// Lock keys are also passed on so that the local lock state follows the
// remote one; the rest is withheld from the local system.
const KeyRule kKeyRules[] = {
    {VK_PAUSE, Phase::kPress, 0x145, true, true},
    {VK_PAUSE, Phase::kRelease, 0, false, false},
    {VK_CAPITAL, Phase::kAny, 0, true, false},
    {VK_SCROLL, Phase::kAny, 0, true, false},
    {VK_NUMLOCK, Phase::kAny, 0x45, true, false},
    {VK_RSHIFT, Phase::kAny, 0x36, true, true},
};
const KeyRule kOtherKey = {0, Phase::kAny, 0, true, true};

const KeyRule& RuleFor(DWORD virtualKey, bool up) {
  Phase phase = up ? Phase::kRelease : Phase::kPress;
  for (const KeyRule& rule : kKeyRules)
    if (rule.virtualKey == virtualKey && (rule.phase == Phase::kAny || rule.phase == phase))
      return rule;
  return kOtherKey;
}

constexpr DWORD kHangulReportedScan = 0xF2;

// Keyboards send the Hangul key as one lone code, which arrives either as
// the release of an unknown key 0x72 or as an extended Hangul key. Both are
// reported as key 0xF2 (the Hangul form always as a press), and later hooks
// see the event the same way.
void FixHangulKey(KBDLLHOOKSTRUCT* event, bool* up) {
  if (event->scanCode == 0x72 && event->vkCode == 0xFF && event->flags == LLKHF_UP)
    event->scanCode = kHangulReportedScan;
  if (event->scanCode == kHangulReportedScan && event->vkCode == VK_HANGUL &&
      event->flags == LLKHF_EXTENDED) {
    event->flags = LLKHF_UP;
    event->vkCode = 0xFF;
    *up = false;
  }
}

WORD KeyCodeOf(const KBDLLHOOKSTRUCT* event) {
  return static_cast<WORD>(event->scanCode + ((event->flags & LLKHF_EXTENDED) ? 0x100 : 0));
}

constexpr DWORD kProcessDetach = 0;
constexpr DWORD kProcessAttach = 1;

BOOL GaskLibraryEntry(HMODULE module, DWORD reason) {
  if (reason == kProcessAttach) {
    g_state.module = module;
  } else if (reason == kProcessDetach) {
    // A hook left behind would call into unmapped code at the next key.
    {
      CxAutoLock guard(&g_state.lock);
      g_state.refCount = 0;
      RemoveHook();
    }
  }
  return TRUE;
}

__attribute__((constructor)) void OnLibraryLoad() {
  Dl_info info{};
  HMODULE base = nullptr;
  if (dladdr(reinterpret_cast<void*>(&OnLibraryLoad), &info)) base = info.dli_fbase;
  GaskLibraryEntry(base, kProcessAttach);
}

__attribute__((destructor)) void OnLibraryUnload() {
  GaskLibraryEntry(g_state.module, kProcessDetach);
}

}  // namespace

extern "C" {

GASK_EXPORT int nGask = 0;

int Gask_2() {
  CxAutoLock guard(&g_state.lock);
  if (g_state.refCount > 0) {
    ++g_state.refCount;
    return GASK_BUILD_NUMBER;
  }
  g_state.hook = SetWindowsHookExW(WH_KEYBOARD_LL, fnGask2, g_state.module, 0);
  if (!g_state.hook) {
    (void)GetLastError();
    return -1;
  }
  g_state.refCount = 1;
  return GASK_BUILD_NUMBER;
}

void Gask_3() {
  CxAutoLock guard(&g_state.lock);
  if (g_state.refCount > 1) {
    --g_state.refCount;
    return;
  }
  g_state.refCount = 0;
  RemoveHook();
}

void GaskSysKeysToHwnd(HWND window, int enable) {
  CxAutoLock guard(&g_state.lock);
  if (g_state.refCount == 0) return;
  if (enable)
    SetTargetWindow(window);
  else if (g_state.targetWindow == window)
    SetTargetWindow(nullptr);
}

LRESULT fnGask2(int code, WPARAM message, LPARAM lParam) {
  auto* event = reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam);
  bool up = (message & 1) != 0;
  bool injected = event && (event->flags & LLKHF_INJECTED) != 0;

  CxAutoLock guard(&g_state.lock);
  if (!g_state.targetWindow || !event) return CallNextHookEx(g_state.hook, code, message, lParam);

  FixHangulKey(event, &up);
  const KeyRule& rule = RuleFor(event->vkCode, up);
  if (!injected) {
    if (rule.post) {
      WORD keyCode = rule.code ? rule.code : KeyCodeOf(event);
      PostMessageW(g_state.targetWindow, WM_HOOKED_KEY, keyCode, up ? 1 : 0);
    }
    if (rule.swallow) return 1;
  }
  return CallNextHookEx(g_state.hook, code, message, lParam);
}

int GaskOpenSysKeys(DWORD) { return 1; }

void Gask_1(DWORD) {}

int fnGaskClose() { return 1; }

int fnGaskOpen() { return 0; }

}  // extern "C"
