// The video presenter registry: pictures reach the window's presenter, and
// once UnregisterVideoPresenter has returned the presenter is never called
// again, even while other threads are presenting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pelplat/videowindow.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kBound = 60s;

HWND Window(uintptr_t n) { return reinterpret_cast<HWND>(n); }

VideoPresentation Picture(const std::vector<uint8_t>& pixels, int w, int h) {
  VideoPresentation p;
  p.width = w;
  p.height = h;
  p.stride = w * 4;
  p.bgrx = pixels.data();
  return p;
}

TEST(VideoPresenters, PicturesGoToTheWindowsOwnPresenterAndNowhereWithoutOne) {
  const std::vector<uint8_t> pixels{1, 2, 3, 255, 4, 5, 6, 255};
  std::vector<uint8_t> seenA;
  int callsB = 0;
  EXPECT_FALSE(PresentToVideoWindow(Window(0x101), Picture(pixels, 2, 1)));
  RegisterVideoPresenter(Window(0x101), [&](const VideoPresentation& p) {
    seenA.assign(p.bgrx, p.bgrx + p.stride * p.height);
  });
  RegisterVideoPresenter(Window(0x102), [&](const VideoPresentation&) { ++callsB; });
  EXPECT_TRUE(PresentToVideoWindow(Window(0x101), Picture(pixels, 2, 1)));
  EXPECT_EQ(seenA, pixels);
  EXPECT_EQ(callsB, 0);

  // A second registration replaces the first.
  int callsA2 = 0;
  RegisterVideoPresenter(Window(0x101), [&](const VideoPresentation&) { ++callsA2; });
  seenA.clear();
  EXPECT_TRUE(PresentToVideoWindow(Window(0x101), Picture(pixels, 2, 1)));
  EXPECT_TRUE(seenA.empty());
  EXPECT_EQ(callsA2, 1);

  UnregisterVideoPresenter(Window(0x101));
  UnregisterVideoPresenter(Window(0x102));
  UnregisterVideoPresenter(Window(0x102));  // twice is harmless
  EXPECT_FALSE(PresentToVideoWindow(Window(0x101), Picture(pixels, 2, 1)));
  EXPECT_EQ(callsA2, 1);
}

TEST(VideoPresenters, UnregisterWaitsForAPresenterThatIsRunning) {
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false, release = false;
  std::atomic<bool> unregistered{false};
  std::atomic<bool> overlapped{false};
  int calls = 0;
  RegisterVideoPresenter(Window(0x201), [&](const VideoPresentation&) {
    std::unique_lock<std::mutex> hold(lock);
    ++calls;
    entered = true;
    changed.notify_all();
    changed.wait(hold, [&] { return release; });
    // Unregister must not have returned while this call runs.
    if (unregistered) overlapped = true;
  });
  const std::vector<uint8_t> pixels(4, 0);
  std::thread presenting([&] { PresentToVideoWindow(Window(0x201), Picture(pixels, 1, 1)); });
  {
    std::unique_lock<std::mutex> hold(lock);
    ASSERT_TRUE(changed.wait_for(hold, kBound, [&] { return entered; }));
  }
  std::thread unregistering([&] {
    UnregisterVideoPresenter(Window(0x201));
    unregistered = true;
  });
  {
    std::lock_guard<std::mutex> hold(lock);
    release = true;
  }
  changed.notify_all();
  presenting.join();
  unregistering.join();
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(PresentToVideoWindow(Window(0x201), Picture(pixels, 1, 1)));
  EXPECT_EQ(calls, 1);
}

TEST(VideoPresenters, APresenterMayUnregisterItsOwnWindow) {
  int calls = 0;
  RegisterVideoPresenter(Window(0x301), [&](const VideoPresentation&) {
    ++calls;
    UnregisterVideoPresenter(Window(0x301));
  });
  const std::vector<uint8_t> pixels(4, 0);
  EXPECT_TRUE(PresentToVideoWindow(Window(0x301), Picture(pixels, 1, 1)));
  EXPECT_FALSE(PresentToVideoWindow(Window(0x301), Picture(pixels, 1, 1)));
  EXPECT_EQ(calls, 1);
}

TEST(VideoPresenters, NoPresenterIsCalledAfterItsUnregisterReturnedWhileOthersPresent) {
  const HWND window = Window(0x401);
  std::atomic<bool> done{false};
  std::atomic<int> lateCalls{0};
  std::atomic<int> calls{0};
  const std::vector<uint8_t> pixels(4, 0);
  std::vector<std::thread> presenters;
  for (int t = 0; t < 3; ++t)
    presenters.emplace_back([&] {
      while (!done) PresentToVideoWindow(window, Picture(pixels, 1, 1));
    });
  for (int round = 0; round < 300; ++round) {
    auto retired = std::make_shared<std::atomic<bool>>(false);
    RegisterVideoPresenter(window, [retired, &lateCalls, &calls](const VideoPresentation&) {
      ++calls;
      if (*retired) ++lateCalls;
    });
    // Let at least one picture through this registration before it goes.
    const int before = calls;
    while (calls == before) std::this_thread::yield();
    UnregisterVideoPresenter(window);
    *retired = true;
  }
  done = true;
  for (std::thread& t : presenters) t.join();
  EXPECT_EQ(lateCalls, 0);
}

}  // namespace
