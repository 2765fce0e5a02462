// Records what a clipboard window hears, for tests to wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "pelplat/clipboard.h"

class ClipEventLog : public pelplat::clipboard::IClipboardWindowEvents {
 public:
  void OnClipboardUpdate(bool byThisWindow) override {
    std::lock_guard<std::mutex> hold(mutex_);
    updates.push_back(byThisWindow);
    cv_.notify_all();
  }
  void OnRenderFormat(UINT format) override {
    std::lock_guard<std::mutex> hold(mutex_);
    renders.push_back(format);
    cv_.notify_all();
  }
  // Waits (generously) until `pred` holds over the log.
  template <typename Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return cv_.wait_for(hold, bound, [&] { return pred(*this); });
  }
  size_t UpdateCount() {
    std::lock_guard<std::mutex> hold(mutex_);
    return updates.size();
  }

  std::vector<bool> updates;
  std::vector<UINT> renders;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};
