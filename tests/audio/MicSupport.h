// A slot processor that records what the microphone sends through it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "session/SlotDataProcessor.h"

class RecordingSink : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t) override { return 0; }
  int OnClientData(const void* record, uint32_t length) override {
    const auto* p = static_cast<const uint8_t*>(record);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.emplace_back(p, p + length);
    }
    changed_.notify_all();
    return 0;
  }
  std::vector<std::vector<uint8_t>> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // The payloads of the data messages, joined.
  std::vector<uint8_t> Payload() {
    std::vector<uint8_t> all;
    for (auto& m : Messages()) all.insert(all.end(), m.begin() + 8, m.end());
    return all;
  }
  bool WaitForMessages(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return messages_.size() >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> messages_;
};
