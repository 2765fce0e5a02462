#include "display/TileCache.h"

#include <algorithm>
#include <cstring>

namespace {

BYTE* ZeroedBlock(uint32_t total) { return static_cast<BYTE*>(std::calloc(std::max<uint32_t>(total, 1), 1)); }

}  // namespace

void TileCache::SetGeometry(uint32_t total, uint32_t slotSize) {
  total_ = total;
  slotSize_ = slotSize;
  slotCount_ = slotSize ? total / slotSize : 0;
  index_ = 0;
}

bool TileCache::Init(uint32_t total, uint32_t slotSize) {
  total = std::min(total, kMaxTotal);
  BYTE* block = ZeroedBlock(total);
  if (!block) return false;
  storage_.reset(block);
  deferred_ = false;
  SetGeometry(total, slotSize);
  return true;
}

void TileCache::InitDeferred(uint32_t total, uint32_t slotSize) {
  storage_.reset();
  deferred_ = true;
  SetGeometry(std::min(total, kMaxTotal), slotSize);
}

void TileCache::Free() {
  storage_.reset();
  deferred_ = false;
  SetGeometry(0, 0);
}

BYTE* TileCache::Storage() {
  if (!storage_ && deferred_) {
    storage_.reset(ZeroedBlock(total_));
    deferred_ = false;
  }
  return storage_.get();
}

void TileCache::Reset(uint32_t slotSize) {
  if (storage_) {
    // A fresh block keeps untouched pages unbacked; clearing the old one
    // would make every page resident.
    if (BYTE* block = ZeroedBlock(total_))
      storage_.reset(block);
    else
      std::memset(storage_.get(), 0, total_);
  }
  SetGeometry(total_, slotSize);
}

BYTE* TileCache::SlotAt(uint32_t* index) {
  if (*index >= slotCount_) *index = 0;
  if (slotCount_ == 0 || !Storage()) return nullptr;
  return storage_.get() + size_t(*index) * slotSize_;
}

BYTE* TileCache::Take() {
  if (slotCount_ == 0 || !Storage()) return nullptr;
  BYTE* slot = storage_.get() + size_t(index_) * slotSize_;
  if (++index_ >= slotCount_) index_ = 0;
  return slot;
}

void TileCache::Put(const BYTE* bytes, size_t length) {
  if (length < 4 || slotSize_ < 2 || length > slotSize_ - 2) return;
  BYTE* slot = Take();
  if (!slot) return;
  slot[0] = BYTE(length);
  slot[1] = BYTE(length >> 8);
  std::memcpy(slot + 2, bytes, length);
}
