// The audio clock: the audio slot's wave output publishes the timestamp of
// every buffer the device finished, the stream slot's sync ring reads it.
// Neither side takes a lock; each value is read and written whole.
#pragma once

#include <atomic>
#include <cstdint>

struct AudioClockRecord {
  // Clock modes the audio slot sets.
  static constexpr uint32_t kModePcm = 1;
  static constexpr uint32_t kModePlan = 2;

  std::atomic<uint64_t> timestamp{0};  // 0 while no audio plays
  std::atomic<uint64_t> zero{0};
  std::atomic<uint64_t> timestampCopy{0};
  std::atomic<uint32_t> mode{0};

  void Publish(uint64_t value) {
    timestamp.store(value, std::memory_order_relaxed);
    timestampCopy.store(value, std::memory_order_relaxed);
  }
  void SetMode(uint32_t value) { mode.store(value, std::memory_order_relaxed); }
  // The device closed.
  void Clear() {
    timestamp.store(0, std::memory_order_relaxed);
    zero.store(0, std::memory_order_relaxed);
    timestampCopy.store(0, std::memory_order_relaxed);
  }
  uint64_t Timestamp() const { return timestamp.load(std::memory_order_relaxed); }
  uint32_t Mode() const { return mode.load(std::memory_order_relaxed); }
};
