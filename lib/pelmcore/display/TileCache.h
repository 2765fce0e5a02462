// A ring of equal slots with a running index. The server keeps a mirror of
// each cache and names slots by index, so the order in which slots are
// taken is part of the protocol.
//
// The memory stays with the cache across resets and rebuilds that fit it:
// a reset clears nothing at once. Bytes written before the reset are
// stale: they read as zero and are cleared a stretch at a time just ahead
// of the running index, which after a reset starts again at slot 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/CacheBlock.h"
#include "pelplat/wintypes.h"

class TileCache {
 public:
  // Sizes come from the wire; nothing larger is ever allocated.
  static constexpr uint32_t kMaxTotal = 0x0C000000;

  TileCache() = default;

  // total bytes (capped) in slots of slotSize, every byte zero, index 0.
  // The memory of the cache is kept when it is large enough. False when
  // the memory is not there; the cache then stays as it was.
  bool Init(uint32_t total, uint32_t slotSize);
  // The same geometry with the memory taken at the first use of a slot: a
  // session that names its own size never maps the default.
  void InitDeferred(uint32_t total, uint32_t slotSize);
  void Free();
  // Index 0, the new slot size, every byte zero again.
  void Reset(uint32_t slotSize);
  // Takes the memory now (a deferred cache) and starts making the pages
  // resident ahead of the running index, off the calling thread.
  void Prefault();

  // The slot at *index; an index not below the slot count becomes 0, also
  // in the caller's variable. Null without storage.
  const BYTE* SlotAt(uint32_t* index);
  // The slot at the running index, which then advances (wrapping). Null
  // without storage (the index stays).
  BYTE* Take();
  // Stores u16 length + the bytes in the next slot when 4 <= length <=
  // slot size - 2; any other length stores nothing and keeps the index.
  void Put(const BYTE* bytes, size_t length);

  // Read access for checks: null for an index outside the cache.
  const BYTE* Peek(uint32_t index) const;

  uint32_t Total() const { return total_; }
  uint32_t SlotSize() const { return slotSize_; }
  uint32_t SlotCount() const { return slotCount_; }
  uint32_t Index() const { return index_; }
  bool Allocated() const { return block_.Bytes() != nullptr; }
  bool Deferred() const { return deferred_; }
  // For checks: waits until the helper made [0, bytes) resident.
  bool WaitResident(size_t bytes) { return block_.WaitResident(bytes); }

  TileCache(const TileCache&) = delete;
  TileCache& operator=(const TileCache&) = delete;

 private:
  void SetGeometry(uint32_t total, uint32_t slotSize);
  BYTE* Storage();
  const BYTE* ReadableSlot(size_t offset) const;
  void ClearStaleUpTo(size_t end);

  CacheBlock block_;
  uint32_t total_ = 0;
  uint32_t slotSize_ = 0;
  uint32_t slotCount_ = 0;
  uint32_t index_ = 0;
  bool deferred_ = false;
  // Bytes at or beyond written_ were never written since the block was
  // mapped. Bytes below current_ hold what the slots hold now; bytes
  // between current_ and written_ are stale. current_ is always a
  // multiple of the slot size.
  size_t written_ = 0;
  size_t current_ = 0;
};
