#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/winuser.h"
#include "ui/CHookedKeyboard.h"

namespace {

std::vector<std::string> g_log;
int g_installResult = 1003;

}  // namespace

// Called by the stand-in libraries; answers Gask_2.
extern "C" __attribute__((visibility("default"))) int GaskTestRecord(const char* call) {
  g_log.emplace_back(call);
  return g_installResult;
}

namespace {

const HWND kA = reinterpret_cast<HWND>(0xA);
const HWND kB = reinterpret_cast<HWND>(0xB);

using Log = std::vector<std::string>;

class CHookedKeyboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.clear();
    g_installResult = 1003;
  }
  // The calls made since the last look.
  Log Calls() {
    Log calls;
    calls.swap(g_log);
    return calls;
  }
};

TEST_F(CHookedKeyboardTest, TargetBeforeAnyLoadCallsNothing) {
  CHookedKeyboard keyboard("gask_counting.dll");
  EXPECT_EQ(keyboard.SetTargetWindow(kA, 1), 0);
  EXPECT_EQ(keyboard.SetTargetWindow(kA, 0), 0);
  EXPECT_FALSE(keyboard.IsLoaded());
  EXPECT_TRUE(Calls().empty());
}

TEST_F(CHookedKeyboardTest, TargetChanges) {
  struct Step {
    const char* name;
    HWND window;
    int on;
    Log calls;
  };
  const Step steps[] = {
      {"activate A", kA, 1, {"To(a,1)"}},
      {"activate A again", kA, 1, {}},
      {"activate B while A", kB, 1, {"To(a,0)", "To(b,1)"}},
      {"A off while B", kA, 0, {}},
      {"B off", kB, 0, {"To(b,0)"}},
      {"off without target", kB, 0, {}},
      {"null on without target", nullptr, 1, {}},
      {"A on", kA, 1, {"To(a,1)"}},
      {"null on clears A", nullptr, 1, {"To(a,0)"}},
  };
  CHookedKeyboard keyboard("gask_counting.dll");
  keyboard.Load();
  EXPECT_EQ(Calls(), (Log{"load", "Gask_2"}));
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(keyboard.SetTargetWindow(s.window, s.on), 1);
    EXPECT_EQ(Calls(), s.calls);
  }
}

TEST_F(CHookedKeyboardTest, LoadTwiceInstallsOnce) {
  CHookedKeyboard keyboard("gask_counting.dll");
  keyboard.Load();
  keyboard.Load();
  EXPECT_TRUE(keyboard.IsLoaded());
  EXPECT_EQ(Calls(), (Log{"load", "Gask_2"}));
  keyboard.Unload();
  EXPECT_EQ(Calls(), (Log{"Gask_3", "unload"}));
  EXPECT_FALSE(keyboard.IsLoaded());
  keyboard.Unload();
  EXPECT_TRUE(Calls().empty());
}

TEST_F(CHookedKeyboardTest, SessionWindowLifecycles) {
  CHookedKeyboard keyboard("gask_counting.dll");
  // Activation, deactivation, then another window's activation.
  keyboard.Load();
  keyboard.SetTargetWindow(kA, 1);
  keyboard.SetTargetWindow(kA, 0);
  keyboard.ReleaseWindow(kA);
  EXPECT_EQ(Calls(), (Log{"load", "Gask_2", "To(a,1)", "To(a,0)", "Gask_3", "unload"}));
  EXPECT_FALSE(keyboard.IsLoaded());
  keyboard.Load();
  keyboard.SetTargetWindow(kB, 1);
  EXPECT_EQ(Calls(), (Log{"load", "Gask_2", "To(b,1)"}));
  // Destruction of the window.
  keyboard.SetTargetWindow(kB, 0);
  keyboard.Unload();
  EXPECT_EQ(Calls(), (Log{"To(b,0)", "Gask_3", "unload"}));
}

TEST_F(CHookedKeyboardTest, ReleasingAnotherWindowKeepsTheHookOfTheTarget) {
  CHookedKeyboard keyboard("gask_counting.dll");
  keyboard.Load();
  keyboard.SetTargetWindow(kB, 1);
  Calls();
  keyboard.SetTargetWindow(kA, 0);
  keyboard.ReleaseWindow(kA);
  EXPECT_TRUE(Calls().empty());
  EXPECT_TRUE(keyboard.IsLoaded());
  // Releasing the target itself, with no off step first.
  keyboard.ReleaseWindow(kB);
  EXPECT_EQ(Calls(), (Log{"To(b,0)", "Gask_3", "unload"}));
}

TEST_F(CHookedKeyboardTest, UnloadAndDestructorReleaseTheTargetFirst) {
  {
    CHookedKeyboard keyboard("gask_counting.dll");
    keyboard.Load();
    keyboard.SetTargetWindow(kA, 1);
    Calls();
    keyboard.Unload();
    EXPECT_EQ(Calls(), (Log{"To(a,0)", "Gask_3", "unload"}));
    keyboard.Load();
    keyboard.SetTargetWindow(kB, 1);
    Calls();
  }
  EXPECT_EQ(Calls(), (Log{"To(b,0)", "Gask_3", "unload"}));
}

TEST_F(CHookedKeyboardTest, FailedInstallStillCountsAsLoaded) {
  g_installResult = -1;
  CHookedKeyboard keyboard("gask_counting.dll");
  keyboard.Load();
  EXPECT_TRUE(keyboard.IsLoaded());
  EXPECT_EQ(keyboard.SetTargetWindow(kA, 1), 1);
  EXPECT_EQ(Calls(), (Log{"load", "Gask_2", "To(a,1)"}));
}

TEST_F(CHookedKeyboardTest, IncompleteOrMissingLibraries) {
  struct Case {
    const char* library;
    Log calls;
  };
  const Case cases[] = {
      {"gask_nosyskeys.dll", {"load", "unload"}},  // freed at once, no install
      {"gask_absent.dll", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    CHookedKeyboard keyboard(c.library);
    keyboard.Load();
    EXPECT_FALSE(keyboard.IsLoaded());
    EXPECT_EQ(keyboard.SetTargetWindow(kA, 1), 0);
    keyboard.ReleaseWindow(kA);
    keyboard.Unload();
    EXPECT_EQ(Calls(), c.calls);
  }
}

TEST_F(CHookedKeyboardTest, LibraryWithoutReleaseIsFreedWithoutTheCall) {
  CHookedKeyboard keyboard("gask_norelease.dll");
  keyboard.Load();
  ASSERT_TRUE(keyboard.IsLoaded());
  keyboard.SetTargetWindow(kA, 1);
  keyboard.Unload();
  EXPECT_EQ(Calls(), (Log{"load", "Gask_2", "To(a,1)", "To(a,0)", "unload"}));
}

// The program's own instance with the real library: the start-up check,
// then one activation that reports a key.
TEST_F(CHookedKeyboardTest, ProcessWideInstanceWithTheSystemKeyLibrary) {
  ASSERT_FALSE(g_HookedKeyboard.IsLoaded());
  g_HookedKeyboard.Load();
  EXPECT_TRUE(g_HookedKeyboard.IsLoaded());
  g_HookedKeyboard.Unload();
  EXPECT_FALSE(g_HookedKeyboard.IsLoaded());

  std::vector<MSG> posted;
  PlatRegisterWindow(kA, [&](const MSG& m) {
    posted.push_back(m);
    return true;
  });
  g_HookedKeyboard.Load();
  EXPECT_EQ(g_HookedKeyboard.SetTargetWindow(kA, 1), 1);
  KBDLLHOOKSTRUCT key{0xA5, 0x38, LLKHF_EXTENDED, 0, 0};
  EXPECT_TRUE(PlatDispatchKeyboardHook(WM_SYSKEYDOWN, &key));
  g_HookedKeyboard.SetTargetWindow(kA, 0);
  g_HookedKeyboard.ReleaseWindow(kA);
  EXPECT_FALSE(g_HookedKeyboard.IsLoaded());
  EXPECT_FALSE(PlatDispatchKeyboardHook(WM_SYSKEYDOWN, &key));
  PlatUnregisterWindow(kA);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, 0x5FFu);
  EXPECT_EQ(posted[0].wParam, 0x138u);
  EXPECT_EQ(posted[0].lParam, 0);
}

}  // namespace
