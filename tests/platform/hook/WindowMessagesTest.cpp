#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

namespace {

HWND Window(uintptr_t id) { return reinterpret_cast<HWND>(id); }

TEST(WindowMessages, PostReachesTheRegisteredPosterOnly) {
  std::vector<MSG> a, b;
  ASSERT_TRUE(PlatRegisterWindow(Window(0xA), [&](const MSG& m) { a.push_back(m); return true; }));
  ASSERT_TRUE(PlatRegisterWindow(Window(0xB), [&](const MSG& m) { b.push_back(m); return true; }));

  EXPECT_TRUE(PostMessageW(Window(0xA), 0x5FF, 0x138, 1));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].hwnd, Window(0xA));
  EXPECT_EQ(a[0].message, 0x5FFu);
  EXPECT_EQ(a[0].wParam, 0x138u);
  EXPECT_EQ(a[0].lParam, 1);
  EXPECT_TRUE(b.empty());

  PlatUnregisterWindow(Window(0xA));
  SetLastError(0);
  EXPECT_FALSE(PostMessageW(Window(0xA), 0x5FF, 1, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(a.size(), 1u);
  PlatUnregisterWindow(Window(0xB));
}

TEST(WindowMessages, RefusedRegistrationsAndPosts) {
  EXPECT_FALSE(PlatRegisterWindow(nullptr, [](const MSG&) { return true; }));
  EXPECT_FALSE(PlatRegisterWindow(Window(0xC), nullptr));
  SetLastError(0);
  EXPECT_FALSE(PostMessageW(nullptr, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

  // A poster whose queue refuses the message makes the post fail.
  ASSERT_TRUE(PlatRegisterWindow(Window(0xC), [](const MSG&) { return false; }));
  EXPECT_FALSE(PostMessageW(Window(0xC), WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  PlatUnregisterWindow(Window(0xC));
}

TEST(WindowMessages, PosterMayPostToAnotherWindowAndReplaceItself) {
  std::vector<WPARAM> seen;
  ASSERT_TRUE(PlatRegisterWindow(Window(0xE), [&](const MSG& m) { seen.push_back(m.wParam); return true; }));
  ASSERT_TRUE(PlatRegisterWindow(Window(0xD), [&](const MSG& m) {
    PlatRegisterWindow(Window(0xD), [&](const MSG&) { return true; });
    return PostMessageW(Window(0xE), m.message, m.wParam + 1, 0) != FALSE;
  }));
  EXPECT_TRUE(PostMessageW(Window(0xD), WM_USER, 1, 0));
  EXPECT_TRUE(PostMessageW(Window(0xD), WM_USER, 5, 0));
  EXPECT_EQ(seen, (std::vector<WPARAM>{2}));
  PlatUnregisterWindow(Window(0xD));
  PlatUnregisterWindow(Window(0xE));
}

TEST(WindowMessages, NoPosterRunsAfterUnregisterReturns) {
  std::atomic<bool> unregistered{false};
  std::atomic<int> lateCalls{0};
  std::atomic<bool> stop{false};
  ASSERT_TRUE(PlatRegisterWindow(Window(0xF), [&](const MSG&) {
    if (unregistered.load()) ++lateCalls;
    return true;
  }));
  std::vector<std::thread> posters;
  for (int i = 0; i < 3; ++i)
    posters.emplace_back([&] {
      while (!stop.load()) PostMessageW(Window(0xF), WM_USER, 0, 0);
    });
  for (int i = 0; i < 1000; ++i) PostMessageW(Window(0xF), WM_USER, 0, 0);
  PlatUnregisterWindow(Window(0xF));
  unregistered = true;
  for (int i = 0; i < 1000; ++i) PostMessageW(Window(0xF), WM_USER, 0, 0);
  stop = true;
  for (auto& t : posters) t.join();
  EXPECT_EQ(lateCalls.load(), 0);
}

}  // namespace
