// A ring of equal slots with a running index. The server keeps a mirror of
// each cache and names slots by index, so the order in which slots are
// taken is part of the protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "pelplat/wintypes.h"

class TileCache {
 public:
  // Sizes come from the wire; nothing larger is ever allocated.
  static constexpr uint32_t kMaxTotal = 0x0C000000;

  TileCache() = default;

  // Allocates total bytes (capped) in slots of slotSize, zero-filled, index
  // 0. False when the memory is not there; the cache then stays as it was.
  // calloc leaves the pages untouched until a slot is written, so a large
  // cache costs address space, not memory.
  bool Init(uint32_t total, uint32_t slotSize);
  // The same geometry with the memory taken at the first use of a slot: a
  // session that names its own size never allocates the default.
  void InitDeferred(uint32_t total, uint32_t slotSize);
  void Free();
  // Index 0, the new slot size, every byte zero again.
  void Reset(uint32_t slotSize);

  // The slot at *index; an index not below the slot count becomes 0, also
  // in the caller's variable. Null without storage.
  BYTE* SlotAt(uint32_t* index);
  // The slot at the running index, which then advances (wrapping). Null
  // without storage (the index stays).
  BYTE* Take();
  // Stores u16 length + the bytes in the next slot when 4 <= length <=
  // slot size - 2; any other length stores nothing and keeps the index.
  void Put(const BYTE* bytes, size_t length);

  // Read access for checks: null for an index outside the cache.
  const BYTE* Peek(uint32_t index) const {
    return storage_ && index < slotCount_ ? storage_.get() + size_t(index) * slotSize_ : nullptr;
  }

  uint32_t Total() const { return total_; }
  uint32_t SlotSize() const { return slotSize_; }
  uint32_t SlotCount() const { return slotCount_; }
  uint32_t Index() const { return index_; }
  bool Allocated() const { return storage_ != nullptr; }
  bool Deferred() const { return deferred_; }

 private:
  struct FreeBytes {
    void operator()(BYTE* p) const { std::free(p); }
  };
  void SetGeometry(uint32_t total, uint32_t slotSize);
  BYTE* Storage();

  std::unique_ptr<BYTE, FreeBytes> storage_;
  uint32_t total_ = 0;
  uint32_t slotSize_ = 0;
  uint32_t slotCount_ = 0;
  uint32_t index_ = 0;
  bool deferred_ = false;
};
