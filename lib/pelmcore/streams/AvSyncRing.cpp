#include "streams/AvSyncRing.h"

#include <cstring>
#include <new>

bool AvSyncRing::Push(int64_t timestamp, const uint8_t* message, uint32_t length, bool preDecoded) {
  if (count_ >= kCapacity) return false;
  std::unique_ptr<AvSyncEntry> entry(new (std::nothrow) AvSyncEntry);
  if (!entry) return false;
  entry->bytes.reset(new (std::nothrow) uint8_t[length ? length : 1]);
  if (!entry->bytes) return false;
  if (length) std::memcpy(entry->bytes.get(), message, length);
  entry->timestamp = timestamp;
  entry->length = length;
  entry->preDecoded = preDecoded;
  slots_[(head_ + count_) % kCapacity] = std::move(entry);
  ++count_;
  return true;
}

const AvSyncEntry* AvSyncRing::Front() const { return count_ ? slots_[head_].get() : nullptr; }

std::unique_ptr<AvSyncEntry> AvSyncRing::PopFront() {
  if (!count_) return nullptr;
  std::unique_ptr<AvSyncEntry> entry = std::move(slots_[head_]);
  --count_;
  head_ = (head_ + 1) % kCapacity;
  return entry;
}

std::unique_ptr<AvSyncEntry> AvSyncRing::TakeDue(uint64_t clock, bool* onTime, uint32_t mode) {
  return mode == 2 ? TakeByPlan(clock, onTime) : TakeByWindow(clock, onTime);
}

std::unique_ptr<AvSyncEntry> AvSyncRing::TakeByWindow(uint64_t clock, bool* onTime) {
  if (onTime) *onTime = false;
  while (const AvSyncEntry* front = Front()) {
    const int64_t d = Ahead(*front, clock);
    if (d > kWindowAhead) return nullptr;
    std::unique_ptr<AvSyncEntry> entry = PopFront();
    if (d >= 0) {
      if (onTime) *onTime = true;
      return entry;
    }
    // Late: a caller that asks for the flag decodes every frame.
    if (onTime) return entry;
  }
  return nullptr;
}

std::unique_ptr<AvSyncEntry> AvSyncRing::TakeByPlan(uint64_t clock, bool* onTime) {
  if (onTime) *onTime = false;
  while (const AvSyncEntry* front = Front()) {
    const int64_t d = Ahead(*front, clock);
    const uint32_t queued = count_;
    std::unique_ptr<AvSyncEntry> entry = PopFront();
    if (d >= kPlanAhead) {
      if (onTime) *onTime = true;
      return entry;
    }
    // Not on time. A caller that asks for the flag needs every frame (a
    // decoder), so it gets this one with the flag clear; the others see
    // only frames that still have a little time left while few wait.
    if (onTime) return entry;
    if (d >= 1 && queued <= kPlanBacklog) return entry;
  }
  return nullptr;
}

void AvSyncRing::Clear() {
  for (auto& slot : slots_) slot.reset();
  head_ = 0;
  count_ = 0;
}
