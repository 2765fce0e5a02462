// The audio clock the stream slot keeps its video frames in step with. The
// wave output writes the position of every buffer the device finished and
// zeroes it when the device closes; the audio slot sets the mode word.
// Writers and readers take no lock: every field is a relaxed atomic.
#pragma once

#include <atomic>
#include <cstdint>

struct AudioClockRecord {
  enum Mode : uint32_t { kNone = 0, kPcmFormat = 1, kBufferPlan = 2 };

  std::atomic<uint64_t> timestamp{0};      // of the last buffer finished
  std::atomic<uint64_t> reserved{0};       // always 0
  std::atomic<uint64_t> timestampCopy{0};  // the same timestamp
  std::atomic<uint32_t> mode{kNone};

  void StorePosition(uint64_t value) {
    timestamp.store(value, std::memory_order_relaxed);
    reserved.store(0, std::memory_order_relaxed);
    timestampCopy.store(value, std::memory_order_relaxed);
  }
  void ClearPosition() { StorePosition(0); }
  uint64_t Position() const { return timestamp.load(std::memory_order_relaxed); }
  void SetMode(uint32_t value) { mode.store(value, std::memory_order_relaxed); }
  uint32_t GetMode() const { return mode.load(std::memory_order_relaxed); }
};
