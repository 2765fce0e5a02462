#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/library.h"
#include "pelplat/winuser.h"
#include "vrgask.h"

namespace {

const HWND kWindowA = reinterpret_cast<HWND>(0xA0);
const HWND kWindowB = reinterpret_cast<HWND>(0xB0);

// What the hooks after the library saw, and what it answers.
struct NextHook {
  std::vector<std::pair<WPARAM, KBDLLHOOKSTRUCT>> events;
  LRESULT result = 0;
  HHOOK handle = nullptr;
};
NextHook g_next;

LRESULT RecordingNextHook(int, WPARAM message, LPARAM lParam) {
  g_next.events.emplace_back(message, *reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam));
  return g_next.result;
}

struct Posted {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

template <typename T>
T Resolve(HMODULE library, const char* name) {
  return reinterpret_cast<T>(GetProcAddress(library, name));
}

class VrgaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_next = NextHook{};
    // Installed first, so it runs after the library's hook.
    g_next.handle = SetWindowsHookExW(WH_KEYBOARD_LL, RecordingNextHook, nullptr, 0);
    ASSERT_NE(g_next.handle, nullptr);
    for (HWND w : {kWindowA, kWindowB})
      PlatRegisterWindow(w, [this](const MSG& m) {
        posted_.push_back({m.hwnd, m.message, m.wParam, m.lParam});
        return true;
      });
    PlatSetKeyboardGrabHook([this](HWND w) { grabs_.push_back(w); });

    library_ = LoadLibraryA("vrgask.dll");
    ASSERT_NE(library_, nullptr) << "libvrgask.so beside the test program";
    install_ = Resolve<GaskInstallProc>(library_, "Gask_2");
    release_ = Resolve<GaskReleaseProc>(library_, "Gask_3");
    toHwnd_ = Resolve<GaskSysKeysToHwndProc>(library_, "GaskSysKeysToHwnd");
    hookProc_ = Resolve<HOOKPROC>(library_, "fnGask2");
    ASSERT_TRUE(install_ && release_ && toHwnd_ && hookProc_);
  }

  void TearDown() override {
    if (library_) {
      for (int i = 0; i < 8; ++i) release_();  // whatever a test left installed
      FreeLibrary(library_);
    }
    PlatSetKeyboardGrabHook(nullptr);
    PlatUnregisterWindow(kWindowA);
    PlatUnregisterWindow(kWindowB);
    UnhookWindowsHookEx(g_next.handle);
  }

  // One key event through the whole chain; true when it was swallowed.
  bool Key(WPARAM message, DWORD vk, DWORD scan, DWORD flags, KBDLLHOOKSTRUCT* after = nullptr) {
    KBDLLHOOKSTRUCT event{vk, scan, flags, 1234, 0};
    bool swallowed = PlatDispatchKeyboardHook(message, &event);
    if (after) *after = event;
    return swallowed;
  }
  bool ReachesTarget(HWND window) {
    posted_.clear();
    g_next.events.clear();
    bool swallowed = Key(WM_KEYDOWN, 'A', 0x1E, 0);
    return swallowed && posted_.size() == 1 && posted_[0].window == window &&
           g_next.events.empty();
  }
  bool PassesUnposted() {
    posted_.clear();
    g_next.events.clear();
    bool swallowed = Key(WM_KEYDOWN, 'A', 0x1E, 0);
    return !swallowed && posted_.empty() && g_next.events.size() == 1;
  }

  HMODULE library_ = nullptr;
  GaskInstallProc install_ = nullptr;
  GaskReleaseProc release_ = nullptr;
  GaskSysKeysToHwndProc toHwnd_ = nullptr;
  HOOKPROC hookProc_ = nullptr;
  std::vector<Posted> posted_;
  std::vector<HWND> grabs_;
};

struct KeyCase {
  const char* name;
  WPARAM message;
  DWORD vk, scan, flags;
  bool posted;
  WPARAM keyCode;
  LPARAM up;
  bool swallowed;
  // The event as the library leaves it (for the hooks after it).
  DWORD vkAfter, scanAfter, flagsAfter;
};

const KeyCase kKeyCases[] = {
    {"Pause press", WM_KEYDOWN, 0x13, 0x45, 0, true, 0x145, 0, true, 0x13, 0x45, 0},
    {"Pause release", WM_KEYUP, 0x13, 0x45, 0x80, false, 0, 0, false, 0x13, 0x45, 0x80},
    {"Caps Lock press", WM_KEYDOWN, 0x14, 0x3A, 0, true, 0x3A, 0, false, 0x14, 0x3A, 0},
    {"Caps Lock release", WM_KEYUP, 0x14, 0x3A, 0x80, true, 0x3A, 1, false, 0x14, 0x3A, 0x80},
    {"Scroll Lock press", WM_KEYDOWN, 0x91, 0x46, 0, true, 0x46, 0, false, 0x91, 0x46, 0},
    {"Scroll Lock extended", WM_KEYDOWN, 0x91, 0x46, 1, true, 0x146, 0, false, 0x91, 0x46, 1},
    {"Num Lock extended", WM_KEYDOWN, 0x90, 0x45, 1, true, 0x45, 0, false, 0x90, 0x45, 1},
    {"Num Lock plain release", WM_KEYUP, 0x90, 0x45, 0x80, true, 0x45, 1, false, 0x90, 0x45, 0x80},
    {"right Shift", WM_KEYDOWN, 0xA1, 0x36, 0, true, 0x36, 0, true, 0xA1, 0x36, 0},
    {"right Shift extended release", WM_KEYUP, 0xA1, 0x36, 0x81, true, 0x36, 1, true, 0xA1, 0x36, 0x81},
    {"right Alt", WM_SYSKEYDOWN, 0xA5, 0x38, 0x21, true, 0x138, 0, true, 0xA5, 0x38, 0x21},
    {"right Alt release", WM_KEYUP, 0xA5, 0x38, 0x81, true, 0x138, 1, true, 0xA5, 0x38, 0x81},
    {"Alt+F4 system key up", WM_SYSKEYUP, 0x73, 0x3E, 0xA0, true, 0x3E, 1, true, 0x73, 0x3E, 0xA0},
    {"left Windows key", WM_KEYDOWN, 0x5B, 0x5B, 1, true, 0x15B, 0, true, 0x5B, 0x5B, 1},
    {"injected letter", WM_KEYDOWN, 'A', 0x1E, 0x10, false, 0, 0, false, 'A', 0x1E, 0x10},
    {"injected Pause", WM_KEYDOWN, 0x13, 0x45, 0x10, false, 0, 0, false, 0x13, 0x45, 0x10},
    {"injected right Shift", WM_KEYDOWN, 0xA1, 0x36, 0x10, false, 0, 0, false, 0xA1, 0x36, 0x10},
    {"injected Caps Lock", WM_KEYDOWN, 0x14, 0x3A, 0x10, false, 0, 0, false, 0x14, 0x3A, 0x10},
    {"lone Hangul code as release", WM_KEYUP, 0xFF, 0x72, 0x80, true, 0xF2, 1, true, 0xFF, 0xF2, 0x80},
    {"extended Hangul press", WM_KEYDOWN, 0x15, 0xF2, 1, true, 0xF2, 0, true, 0xFF, 0xF2, 0x80},
    {"extended Hangul as release", WM_KEYUP, 0x15, 0xF2, 1, true, 0xF2, 0, true, 0xFF, 0xF2, 0x80},
    {"code 0x72 with other flags", WM_KEYUP, 0xFF, 0x72, 0x81, true, 0x172, 1, true, 0xFF, 0x72, 0x81},
    {"Hangul without extended flag", WM_KEYDOWN, 0x15, 0xF2, 0, true, 0xF2, 0, true, 0x15, 0xF2, 0},
    {"injected lone Hangul code", WM_KEYUP, 0xFF, 0x72, 0x90, false, 0, 0, false, 0xFF, 0x72, 0x90},
};

TEST_F(VrgaskTest, HookProcedureFollowsTheKeyTable) {
  ASSERT_EQ(install_(), GASK_BUILD_NUMBER);
  toHwnd_(kWindowA, 1);
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.name);
    posted_.clear();
    g_next.events.clear();
    KBDLLHOOKSTRUCT after{};
    EXPECT_EQ(Key(c.message, c.vk, c.scan, c.flags, &after), c.swallowed);
    if (c.posted) {
      ASSERT_EQ(posted_.size(), 1u);
      EXPECT_EQ(posted_[0].window, kWindowA);
      EXPECT_EQ(posted_[0].message, WM_HOOKED_KEY);
      EXPECT_EQ(posted_[0].wParam, c.keyCode);
      EXPECT_EQ(posted_[0].lParam, c.up);
    } else {
      EXPECT_TRUE(posted_.empty());
    }
    EXPECT_EQ(after.vkCode, c.vkAfter);
    EXPECT_EQ(after.scanCode, c.scanAfter);
    EXPECT_EQ(after.flags, c.flagsAfter);
    if (c.swallowed) {
      EXPECT_TRUE(g_next.events.empty());
    } else {
      ASSERT_EQ(g_next.events.size(), 1u);
      EXPECT_EQ(g_next.events[0].first, c.message);
      EXPECT_EQ(g_next.events[0].second.scanCode, c.scanAfter);
      EXPECT_EQ(g_next.events[0].second.flags, c.flagsAfter);
    }
  }
}

TEST_F(VrgaskTest, WithoutTargetEveryEventPassesUnchangedAndUnposted) {
  ASSERT_EQ(install_(), GASK_BUILD_NUMBER);
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.name);
    posted_.clear();
    g_next.events.clear();
    KBDLLHOOKSTRUCT after{};
    EXPECT_FALSE(Key(c.message, c.vk, c.scan, c.flags, &after));
    EXPECT_TRUE(posted_.empty());
    EXPECT_EQ(g_next.events.size(), 1u);
    EXPECT_EQ(after.scanCode, c.scan);
    EXPECT_EQ(after.flags, c.flags);
  }
}

TEST_F(VrgaskTest, PassingOnReturnsWhatTheNextHookAnswers) {
  ASSERT_EQ(install_(), GASK_BUILD_NUMBER);
  toHwnd_(kWindowA, 1);
  g_next.result = 7;
  KBDLLHOOKSTRUCT caps{0x14, 0x3A, 0, 0, 0};
  EXPECT_EQ(hookProc_(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&caps)), 7);
  KBDLLHOOKSTRUCT letter{'A', 0x1E, 0, 0, 0};
  EXPECT_EQ(hookProc_(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&letter)), 1);
  EXPECT_EQ(posted_.size(), 2u);
  EXPECT_EQ(g_next.events.size(), 1u);
  // A window that can no longer take messages loses the key; it stays swallowed.
  PlatUnregisterWindow(kWindowA);
  EXPECT_TRUE(Key(WM_KEYDOWN, 'A', 0x1E, 0));
}

TEST_F(VrgaskTest, ReferenceCountKeepsTheHookUntilTheLastRelease) {
  toHwnd_(kWindowA, 1);  // no reference yet: ignored
  EXPECT_TRUE(PassesUnposted());
  EXPECT_EQ(install_(), GASK_BUILD_NUMBER);
  EXPECT_TRUE(PassesUnposted());  // the ignored target did not stick
  EXPECT_EQ(install_(), GASK_BUILD_NUMBER);
  toHwnd_(kWindowA, 1);
  release_();
  EXPECT_TRUE(ReachesTarget(kWindowA));
  release_();
  EXPECT_TRUE(PassesUnposted());
  // The last release cleared the target too.
  EXPECT_EQ(install_(), GASK_BUILD_NUMBER);
  EXPECT_TRUE(PassesUnposted());
  release_();
  release_();  // without a reference: like the last release
  EXPECT_TRUE(PassesUnposted());
  EXPECT_EQ(install_(), GASK_BUILD_NUMBER);
  toHwnd_(kWindowB, 1);
  EXPECT_TRUE(ReachesTarget(kWindowB));
}

TEST_F(VrgaskTest, TargetRules) {
  ASSERT_EQ(install_(), GASK_BUILD_NUMBER);
  struct Step {
    HWND window;
    int enable;
    HWND target;  // null: events pass unposted
  };
  const Step steps[] = {
      {kWindowA, 1, kWindowA}, {kWindowB, 0, kWindowA}, {kWindowB, 1, kWindowB},
      {kWindowA, 0, kWindowB}, {kWindowA, 1, kWindowA}, {kWindowA, 0, nullptr},
      {nullptr, 0, nullptr},   {kWindowB, 1, kWindowB}, {nullptr, 1, nullptr},
  };
  int i = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(i++);
    toHwnd_(s.window, s.enable);
    if (s.target)
      EXPECT_TRUE(ReachesTarget(s.target));
    else
      EXPECT_TRUE(PassesUnposted());
  }
}

TEST_F(VrgaskTest, KeyboardGrabFollowsTheTarget) {
  ASSERT_EQ(install_(), GASK_BUILD_NUMBER);
  toHwnd_(kWindowA, 1);
  toHwnd_(kWindowB, 0);
  toHwnd_(kWindowB, 1);
  toHwnd_(kWindowB, 0);
  toHwnd_(kWindowA, 1);
  release_();
  EXPECT_EQ(grabs_, (std::vector<HWND>{kWindowA, kWindowB, nullptr, kWindowA, nullptr}));
}

TEST_F(VrgaskTest, UnloadingTheLibraryTakesItsHookAlong) {
  ASSERT_EQ(install_(), GASK_BUILD_NUMBER);
  toHwnd_(kWindowA, 1);
  ASSERT_TRUE(ReachesTarget(kWindowA));
  std::string path = ProgramDirectory() + "/libvrgask.so";
  ASSERT_TRUE(FreeLibrary(library_));
  library_ = nullptr;
  ASSERT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "library still mapped";
  EXPECT_TRUE(PassesUnposted());
  EXPECT_EQ(grabs_, (std::vector<HWND>{kWindowA, nullptr}));
}

TEST_F(VrgaskTest, SmallExports) {
  auto openSysKeys = Resolve<int (*)(DWORD)>(library_, "GaskOpenSysKeys");
  auto gask1 = Resolve<void (*)(DWORD)>(library_, "Gask_1");
  auto close = Resolve<int (*)()>(library_, "fnGaskClose");
  auto open = Resolve<int (*)()>(library_, "fnGaskOpen");
  auto n = reinterpret_cast<int*>(GetProcAddress(library_, "nGask"));
  ASSERT_TRUE(openSysKeys && gask1 && close && open && n);
  EXPECT_EQ(openSysKeys(0xFFFFFFFF), 1);
  gask1(5);
  EXPECT_EQ(close(), 1);
  EXPECT_EQ(open(), 0);
  EXPECT_EQ(*n, 0);
  EXPECT_TRUE(PassesUnposted());  // none of them installed anything
}

// The exports as the dynamic linker lists them, read with nm.
TEST(VrgaskExports, ExactlyTheLibraryInterfaceUnderPlainNames) {
  std::string command = "nm -D --defined-only " + ProgramDirectory() + "/libvrgask.so";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> functions, data;
  char line[512];
  while (fgets(line, sizeof line, pipe)) {
    char type = 0;
    char name[400] = {};
    if (sscanf(line, "%*s %c %399s", &type, name) != 2) continue;
    if (type == 'T') functions.insert(name);
    else if (type == 'D' || type == 'B') data.insert(name);
    else ADD_FAILURE() << "unexpected symbol: " << line;
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(functions, (std::set<std::string>{"Gask_1", "Gask_2", "Gask_3", "GaskOpenSysKeys",
                                              "GaskSysKeysToHwnd", "fnGask2", "fnGaskClose",
                                              "fnGaskOpen"}));
  EXPECT_EQ(data, (std::set<std::string>{"nGask"}));
}

}  // namespace
