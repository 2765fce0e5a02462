#include "display/TileCache.h"

#include <algorithm>
#include <cstring>

namespace {

// Stale bytes are cleared this far ahead of the slot taken, so the clearing
// costs one call per stretch rather than one per slot.
constexpr size_t kClearAhead = size_t(64) << 10;

// What a stale slot reads as. Slots are one tile at most (64 pixels of up
// to 4 bytes) or a palette.
constexpr size_t kZeroSlotBytes = 4096;
const BYTE kZeroSlot[kZeroSlotBytes] = {};

}  // namespace

void TileCache::SetGeometry(uint32_t total, uint32_t slotSize) {
  total_ = total;
  slotSize_ = slotSize;
  slotCount_ = slotSize ? total / slotSize : 0;
  index_ = 0;
  current_ = 0;
}

bool TileCache::Init(uint32_t total, uint32_t slotSize) {
  total = std::min(total, kMaxTotal);
  if (!block_.Bytes() || block_.Capacity() < total) {
    if (!block_.Map(total)) return false;
    written_ = 0;
  }
  deferred_ = false;
  SetGeometry(total, slotSize);
  return true;
}

void TileCache::InitDeferred(uint32_t total, uint32_t slotSize) {
  block_.Release();
  written_ = 0;
  deferred_ = true;
  SetGeometry(std::min(total, kMaxTotal), slotSize);
}

void TileCache::Free() {
  block_.Release();
  written_ = 0;
  deferred_ = false;
  SetGeometry(0, 0);
}

BYTE* TileCache::Storage() {
  if (!block_.Bytes() && deferred_) {
    if (block_.Map(total_)) written_ = 0;
    deferred_ = false;
  }
  return block_.Bytes();
}

void TileCache::Reset(uint32_t slotSize) { SetGeometry(total_, slotSize); }

void TileCache::Prefault() {
  if (slotCount_ && Storage()) block_.WillWrite(size_t(index_) * slotSize_);
}

void TileCache::ClearStaleUpTo(size_t end) {
  size_t to = end;
  if (current_ < written_) {
    to = std::max(end, end + kClearAhead / slotSize_ * slotSize_);
    std::memset(block_.Bytes() + current_, 0, std::min(to, written_) - current_);
  }
  current_ = to;
}

const BYTE* TileCache::ReadableSlot(size_t offset) const {
  if (offset < current_ || offset >= written_) return block_.Bytes() + offset;
  if (slotSize_ <= kZeroSlotBytes) return kZeroSlot;
  return nullptr;
}

const BYTE* TileCache::SlotAt(uint32_t* index) {
  if (*index >= slotCount_) *index = 0;
  if (slotCount_ == 0 || !Storage()) return nullptr;
  const size_t offset = size_t(*index) * slotSize_;
  if (const BYTE* slot = ReadableSlot(offset)) return slot;
  // A stale slot too large for the zero slot: cleared where it lies.
  std::memset(block_.Bytes() + offset, 0, std::min<size_t>(slotSize_, written_ - offset));
  return block_.Bytes() + offset;
}

const BYTE* TileCache::Peek(uint32_t index) const {
  if (!block_.Bytes() || index >= slotCount_) return nullptr;
  return ReadableSlot(size_t(index) * slotSize_);
}

BYTE* TileCache::Take() {
  if (slotCount_ == 0 || !Storage()) return nullptr;
  const size_t offset = size_t(index_) * slotSize_;
  const size_t end = offset + slotSize_;
  if (end > current_) ClearStaleUpTo(end);
  written_ = std::max(written_, end);
  block_.WillWrite(offset);
  if (++index_ >= slotCount_) index_ = 0;
  return block_.Bytes() + offset;
}

void TileCache::Put(const BYTE* bytes, size_t length) {
  if (length < 4 || slotSize_ < 2 || length > slotSize_ - 2) return;
  BYTE* slot = Take();
  if (!slot) return;
  slot[0] = BYTE(length);
  slot[1] = BYTE(length >> 8);
  std::memcpy(slot + 2, bytes, length);
}
