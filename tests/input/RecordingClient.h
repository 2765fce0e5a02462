// A session client that records the frames its processors send instead of
// putting them on a connection. Sends from threads other than the one that
// made it can be held at a gate, so that a test knows where the keyboard
// processor's sender thread is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "session/HtClient.h"
#include "session/ClientConnectionParameter.h"

namespace inputtest {

struct SentFrame {
  uint16_t slot;
  std::vector<uint8_t> bytes;
  bool fromOwner;  // sent on the thread that made the client
};

class RecordingClient : public CHtClient {
 public:
  RecordingClient() : owner_(std::this_thread::get_id()) {}

  // The client reads its pacing choice from these.
  void UseParameters(CClientConnectionParameter* p) { params = p; }

  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override {
    const bool fromOwner = std::this_thread::get_id() == owner_;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::unique_lock<std::mutex> hold(mutex_);
    frames_.push_back({slot, std::vector<uint8_t>(p, p + length), fromOwner});
    changed_.notify_all();
    if (!fromOwner && closed_) {
      ++held_;
      changed_.notify_all();
      changed_.wait(hold, [&] { return !closed_; });
      ++released_;
    }
    return static_cast<int>(length);
  }

  // From now on sends from other threads wait until Open.
  void Close() {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = false;
    changed_.notify_all();
  }
  // Some send from another thread is held at the gate (it has been held
  // `count` times in all).
  bool WaitHeld(int count = 1, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return held_ >= count; });
  }
  // Sends held at the gate that have returned.
  int Released() {
    std::lock_guard<std::mutex> hold(mutex_);
    return released_;
  }
  bool WaitFrames(size_t count, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= count; });
  }

  std::vector<SentFrame> Frames() {
    std::lock_guard<std::mutex> hold(mutex_);
    return frames_;
  }
  std::vector<std::vector<uint8_t>> Bytes() {
    std::vector<std::vector<uint8_t>> out;
    for (const SentFrame& f : Frames()) out.push_back(f.bytes);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    frames_.clear();
  }

 private:
  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SentFrame> frames_;
  bool closed_ = false;
  int held_ = 0;
  int released_ = 0;
};

}  // namespace inputtest
