#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/winuser.h"

namespace {

TEST(LockKeyState, ProviderAnswersForTheThreeLockKeysOnly) {
  std::vector<int> asked;
  PlatSetLockKeyStateProvider([&](int vk) {
    asked.push_back(vk);
    return vk == VK_CAPITAL || vk == VK_SCROLL;
  });
  EXPECT_EQ(GetKeyState(VK_CAPITAL) & 1, 1);
  EXPECT_EQ(GetKeyState(VK_NUMLOCK) & 1, 0);
  EXPECT_EQ(GetKeyState(VK_SCROLL) & 1, 1);
  EXPECT_EQ(GetKeyState('A'), 0);
  EXPECT_EQ(GetKeyState(VK_RSHIFT), 0);
  EXPECT_EQ(asked, (std::vector<int>{VK_CAPITAL, VK_NUMLOCK, VK_SCROLL}));
  EXPECT_TRUE(PlatSetLockKeyStateProvider(nullptr));
}

TEST(LockKeyState, WithoutADisplayNoLockKeyIsToggled) {
  unsetenv("DISPLAY");
  PlatSetLockKeyStateProvider(nullptr);
  EXPECT_EQ(GetKeyState(VK_CAPITAL), 0);
  EXPECT_EQ(GetKeyState(VK_NUMLOCK), 0);
  EXPECT_EQ(GetKeyState(VK_SCROLL), 0);
}

}  // namespace
