// Holds timestamped video frames back until the audio clock reaches them
// and drops the ones that come too late. Used only on the slot processor's
// processing thread; the clock it is given is read without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

struct AvSyncEntry {
  int64_t timestamp = 0;
  uint32_t length = 0;
  // The bytes were rewritten to pixels by this client, never by the sender.
  bool preDecoded = false;
  std::unique_ptr<uint8_t[]> bytes;
};

class AvSyncRing {
 public:
  static constexpr uint32_t kCapacity = 1000;
  // Frames up to this far ahead of the clock are on time (window policy).
  static constexpr int64_t kWindowAhead = 100;
  // Frames at least this far ahead are on time (plan policy).
  static constexpr int64_t kPlanAhead = 8;
  // The plan policy drops early-ish frames while more than this many wait.
  static constexpr uint32_t kPlanBacklog = 3;

  // A copy of the message; false with nothing queued when the ring is full
  // or the copy cannot be made.
  bool Push(int64_t timestamp, const uint8_t* message, uint32_t length, bool preDecoded = false);
  const AvSyncEntry* Front() const;
  std::unique_ptr<AvSyncEntry> PopFront();
  // onTime may be null. Clock mode 2 selects by plan, any other by window.
  std::unique_ptr<AvSyncEntry> TakeDue(uint64_t clock, bool* onTime, uint32_t mode);
  std::unique_ptr<AvSyncEntry> TakeByWindow(uint64_t clock, bool* onTime);
  std::unique_ptr<AvSyncEntry> TakeByPlan(uint64_t clock, bool* onTime);
  uint32_t Count() const { return count_; }
  void Clear();

 private:
  static int64_t Ahead(const AvSyncEntry& entry, uint64_t clock) {
    return static_cast<int64_t>(static_cast<uint64_t>(entry.timestamp) - clock);
  }

  std::array<std::unique_ptr<AvSyncEntry>, kCapacity> slots_;
  uint32_t head_ = 0;
  uint32_t count_ = 0;
};
