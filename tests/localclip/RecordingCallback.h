// The channel's side of the local clipboard in tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "localclip/VrLocalClipboard.h"

// The channel's side: counts changes, records render requests and answers
// them with `renderAnswer`.
class RecordingCallback : public CVrLocalClipCallback {
 public:
  static constexpr auto kBound = std::chrono::seconds(20);

  explicit RecordingCallback(std::promise<void>* gone = nullptr) : gone_(gone) {}
  ~RecordingCallback() override {
    if (gone_) gone_->set_value();
  }
  void LocalClipboardChanged() override {
    std::lock_guard<std::mutex> hold(mutex_);
    ++changes_;
    cv_.notify_all();
  }
  int32_t RenderFormatRequest(uint32_t localFormat) override {
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.push_back(localFormat);
    cv_.notify_all();
    return renderAnswer;
  }
  bool WaitChanges(int n) {
    std::unique_lock<std::mutex> hold(mutex_);
    return cv_.wait_for(hold, kBound, [&] { return changes_ >= n; });
  }
  int Changes() {
    std::lock_guard<std::mutex> hold(mutex_);
    return changes_;
  }
  bool WaitRequest(uint32_t format) {
    std::unique_lock<std::mutex> hold(mutex_);
    return cv_.wait_for(hold, kBound, [&] { return !requests_.empty() && requests_.back() == format; });
  }
  std::atomic<int32_t> renderAnswer{0};

 private:
  std::promise<void>* gone_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int changes_ = 0;
  std::vector<uint32_t> requests_;
};

