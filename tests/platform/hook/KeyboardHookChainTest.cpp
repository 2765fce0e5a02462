#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

namespace {

// Hook procedures are plain function pointers, so each slot's behaviour
// lives in a table the fixture fills.
constexpr int kSlots = 4;
using Behaviour = std::function<LRESULT(int slot, int code, WPARAM w, LPARAM l)>;
Behaviour g_behaviour[kSlots];
HHOOK g_hook[kSlots];
std::vector<int> g_calls;

template <int N>
LRESULT SlotProc(int code, WPARAM w, LPARAM l) {
  g_calls.push_back(N);
  return g_behaviour[N](N, code, w, l);
}
const HOOKPROC kProcs[kSlots] = {SlotProc<0>, SlotProc<1>, SlotProc<2>, SlotProc<3>};

LRESULT PassOn(int slot, int code, WPARAM w, LPARAM l) {
  return CallNextHookEx(g_hook[slot], code, w, l);
}

class KeyboardHookChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    for (int i = 0; i < kSlots; ++i) {
      g_behaviour[i] = PassOn;
      g_hook[i] = nullptr;
    }
  }
  void TearDown() override {
    PlatSetKeyboardGrabHook(nullptr);
    for (HHOOK& h : g_hook)
      if (h) UnhookWindowsHookEx(h), h = nullptr;
  }
  void Install(int slot) {
    g_hook[slot] = SetWindowsHookExW(WH_KEYBOARD_LL, kProcs[slot], nullptr, 0);
    ASSERT_NE(g_hook[slot], nullptr);
  }
  void Remove(int slot) {
    ASSERT_TRUE(UnhookWindowsHookEx(g_hook[slot]));
    g_hook[slot] = nullptr;
  }
  bool Dispatch(WPARAM message = WM_KEYDOWN) {
    KBDLLHOOKSTRUCT event{0x41, 0x1E, 0, 0, 0};
    return PlatDispatchKeyboardHook(message, &event);
  }
};

TEST_F(KeyboardHookChainTest, NewestHookRunsFirstAndReachesOlderOnesInOrder) {
  Install(0);
  Install(1);
  Install(2);
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(g_calls, (std::vector<int>{2, 1, 0}));
}

TEST_F(KeyboardHookChainTest, EmptyChainPassesEverything) { EXPECT_FALSE(Dispatch()); }

TEST_F(KeyboardHookChainTest, ResultOfTheChainDecidesTheSwallow) {
  struct Case {
    const char* name;
    LRESULT oldestResult;
    bool middleCallsNext;
    LRESULT middleResult;
    bool swallowed;
    std::vector<int> calls;
  };
  const Case cases[] = {
      {"oldest swallows, passed back up", 1, true, 0, true, {2, 1, 0}},
      {"oldest passes", 0, true, 0, false, {2, 1, 0}},
      {"middle stops and swallows", 0, false, 5, true, {2, 1}},
      {"middle stops and passes", 1, false, 0, false, {2, 1}},
  };
  Install(0);
  Install(1);
  Install(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_calls.clear();
    g_behaviour[0] = [&](int, int, WPARAM, LPARAM) { return c.oldestResult; };
    g_behaviour[1] = [&](int slot, int code, WPARAM w, LPARAM l) {
      return c.middleCallsNext ? CallNextHookEx(g_hook[slot], code, w, l) : c.middleResult;
    };
    EXPECT_EQ(Dispatch(), c.swallowed);
    EXPECT_EQ(g_calls, c.calls);
  }
}

TEST_F(KeyboardHookChainTest, HooksSeeCodeMessageAndTheChangesOfEarlierHooks) {
  Install(0);
  Install(1);
  std::vector<std::string> seen;
  g_behaviour[1] = [&](int slot, int code, WPARAM w, LPARAM l) {
    reinterpret_cast<KBDLLHOOKSTRUCT*>(l)->scanCode = 0x99;
    return CallNextHookEx(g_hook[slot], code, w, l);
  };
  g_behaviour[0] = [&](int, int code, WPARAM w, LPARAM l) {
    auto* e = reinterpret_cast<KBDLLHOOKSTRUCT*>(l);
    EXPECT_EQ(code, HC_ACTION);
    EXPECT_EQ(w, WM_SYSKEYUP);
    EXPECT_EQ(e->scanCode, 0x99u);
    return LRESULT{0};
  };
  KBDLLHOOKSTRUCT event{0x41, 0x1E, LLKHF_UP, 7, 0};
  EXPECT_FALSE(PlatDispatchKeyboardHook(WM_SYSKEYUP, &event));
  EXPECT_EQ(event.scanCode, 0x99u);
  EXPECT_EQ(g_calls, (std::vector<int>{1, 0}));
}

TEST_F(KeyboardHookChainTest, UnhookDuringDispatch) {
  Install(0);
  Install(1);
  Install(2);
  // The newest hook removes the middle one and then itself, and still
  // reaches the oldest.
  g_behaviour[2] = [&](int slot, int code, WPARAM w, LPARAM l) {
    HHOOK self = g_hook[slot];
    Remove(1);
    Remove(2);
    return CallNextHookEx(self, code, w, l);
  };
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(g_calls, (std::vector<int>{2, 0}));
  g_calls.clear();
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(g_calls, (std::vector<int>{0}));
}

TEST_F(KeyboardHookChainTest, HookInstalledDuringDispatchRunsFromTheNextEvent) {
  Install(0);
  g_behaviour[0] = [&](int slot, int code, WPARAM w, LPARAM l) {
    if (!g_hook[1]) Install(1);
    return CallNextHookEx(g_hook[slot], code, w, l);
  };
  Dispatch();
  EXPECT_EQ(g_calls, (std::vector<int>{0}));
  g_calls.clear();
  Dispatch();
  EXPECT_EQ(g_calls, (std::vector<int>{1, 0}));
}

TEST_F(KeyboardHookChainTest, NestedDispatchKeepsEachChainPosition) {
  Install(0);
  Install(1);
  int nested = 0;
  g_behaviour[1] = [&](int slot, int code, WPARAM w, LPARAM l) {
    if (nested++ == 0) Dispatch(WM_KEYUP);
    return CallNextHookEx(g_hook[slot], code, w, l);
  };
  Dispatch();
  EXPECT_EQ(g_calls, (std::vector<int>{1, 1, 0, 0}));
}

TEST_F(KeyboardHookChainTest, CallNextOutsideDispatchRunsTheRestOfTheChain) {
  Install(0);
  Install(1);
  Install(2);
  g_behaviour[0] = [](int, int, WPARAM, LPARAM) { return LRESULT{42}; };
  KBDLLHOOKSTRUCT event{};
  EXPECT_EQ(CallNextHookEx(g_hook[2], HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)), 42);
  EXPECT_EQ(g_calls, (std::vector<int>{1, 0}));
  EXPECT_EQ(CallNextHookEx(g_hook[0], HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)), 0);
  EXPECT_EQ(CallNextHookEx(nullptr, HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&event)), 0);
}

TEST_F(KeyboardHookChainTest, RefusedInstallsAndUnhooks) {
  struct Case {
    int id;
    HOOKPROC proc;
    DWORD thread;
    DWORD error;
  };
  const Case cases[] = {
      {2, kProcs[0], 0, ERROR_INVALID_HOOK_FILTER},   // keyboard, not low-level
      {14, kProcs[0], 0, ERROR_INVALID_HOOK_FILTER},  // low-level mouse
      {WH_KEYBOARD_LL, nullptr, 0, ERROR_INVALID_FILTER_PROC},
      {WH_KEYBOARD_LL, kProcs[0], 1234, ERROR_GLOBAL_ONLY_HOOK},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(SetWindowsHookExW(c.id, c.proc, nullptr, c.thread), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  Install(0);
  HHOOK h = g_hook[0];
  Remove(0);
  SetLastError(0);
  EXPECT_FALSE(UnhookWindowsHookEx(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HOOK_HANDLE);
  EXPECT_FALSE(UnhookWindowsHookEx(nullptr));
  EXPECT_FALSE(Dispatch());
  EXPECT_TRUE(g_calls.empty());
}

HWND Window(uintptr_t id) { return reinterpret_cast<HWND>(id); }

TEST_F(KeyboardHookChainTest, KeyboardGrabFollowsTheNewestTarget) {
  std::vector<HWND> grabs;
  PlatSetKeyboardGrabHook([&](HWND w) { grabs.push_back(w); });
  Install(0);
  Install(1);
  EXPECT_TRUE(PlatSetKeyboardHookTarget(g_hook[0], Window(0xA)));
  EXPECT_TRUE(PlatSetKeyboardHookTarget(g_hook[0], Window(0xA)));  // unchanged: no call
  EXPECT_TRUE(PlatSetKeyboardHookTarget(g_hook[1], Window(0xB)));  // newer hook wins
  EXPECT_TRUE(PlatSetKeyboardHookTarget(g_hook[0], nullptr));      // not the grab: no call
  Remove(1);                                                       // its target goes with it
  EXPECT_EQ(grabs, (std::vector<HWND>{Window(0xA), Window(0xB), nullptr}));
  EXPECT_FALSE(PlatSetKeyboardHookTarget(g_hook[1], Window(0xC)));
}

TEST_F(KeyboardHookChainTest, NewGrabHookLearnsTheCurrentGrabAtOnce) {
  Install(0);
  EXPECT_TRUE(PlatSetKeyboardHookTarget(g_hook[0], Window(0xA)));
  std::vector<HWND> grabs;
  PlatSetKeyboardGrabHook([&](HWND w) { grabs.push_back(w); });
  EXPECT_EQ(grabs, (std::vector<HWND>{Window(0xA)}));
  Remove(0);
  EXPECT_EQ(grabs, (std::vector<HWND>{Window(0xA), nullptr}));
}

}  // namespace
