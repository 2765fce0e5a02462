// The exclusive-keyboard worker of full-screen windows: started once,
// always joined, safe from several threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ui/KeyboardDispatcherExclusiveMode.h"

namespace {

TEST(KeyboardDispatcherTest, AcquireOnceReleaseOnce) {
  KeyboardDispatcherExclusiveMode& dispatcher = KeyboardDispatcherExclusiveMode::Instance();
  EXPECT_FALSE(dispatcher.IsAcquired());
  dispatcher.ReleaseKeyboard();  // nothing to release
  dispatcher.AcquireKeyboard(1);
  dispatcher.AcquireKeyboard(2);  // already held
  EXPECT_TRUE(dispatcher.IsAcquired());
  dispatcher.ReleaseKeyboard();
  EXPECT_FALSE(dispatcher.IsAcquired());
}

// Windows of two displays switch full screen on and off at once; every
// worker started must end.
TEST(KeyboardDispatcherTest, ConcurrentAcquireAndReleaseLeaveNoWorkerBehind) {
  KeyboardDispatcherExclusiveMode& dispatcher = KeyboardDispatcherExclusiveMode::Instance();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&dispatcher, t] {
      for (int i = 0; i < 200; ++i) {
        if ((i + t) % 2) {
          dispatcher.AcquireKeyboard(UINT_PTR(t));
        } else {
          dispatcher.ReleaseKeyboard();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  dispatcher.ReleaseKeyboard();
  EXPECT_FALSE(dispatcher.IsAcquired());
}

}  // namespace
