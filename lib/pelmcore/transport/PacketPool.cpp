#include "transport/PacketPool.h"

#include <cstdint>
#include <new>

#include "sys/klog.h"

namespace {

constexpr uint32_t kClassSizes[CPacketPool::kClassCount] = {
    352, 992, 2016, 4064, 8160, 49120, 65504, 131040, 262112, 786400, 1048544, 1048548};
constexpr int32_t kFreeLimits[CPacketPool::kClassCount] = {400, 400, 400, 400, 70, 70,
                                                           70,  70,  35,  35,  35, 35};
constexpr int kLargeClass = 11;
constexpr uint64_t kLargeClassEnd = CPacketPool::kMaxClassedPayload + CPacketPool::kReserve;
// The capacity word is the area plus this, as the class table was laid out.
constexpr uint64_t kCapacityExtra = 13;
constexpr uint64_t kLargeStep = 4096;

uint32_t CapacityWord(uint64_t area) {
  uint64_t word = area + kCapacityExtra;
  return word > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(word);
}

}  // namespace

PacketHeader PacketBuffer::Header() const {
  PacketHeader h;
  if (filled >= PacketHeader::kSize) PacketHeader::Read(data, PacketHeader::kSize, &h);
  return h;
}

CPacketPool::CPacketPool() : largeClassSize_(kClassSizes[kLargeClass]) {}

CPacketPool::~CPacketPool() { Purge(); }

CPacketPool& CPacketPool::Global() {
  static CPacketPool* pool = new CPacketPool;
  return *pool;
}

int CPacketPool::SizeClass(uint64_t n) {
  if (n > kMaxClassedPayload) return -1;
  const uint64_t m = n + kReserve;
  for (int c = 0; c < kLargeClass; ++c) {
    if (m <= kClassSizes[c]) return c;
  }
  return m <= kLargeClassEnd ? kLargeClass : -1;
}

uint32_t CPacketPool::ClassSize(int c) const {
  if (c < 0 || c >= kClassCount) return 0;
  return c == kLargeClass ? largeClassSize_.load() : kClassSizes[c];
}

int32_t CPacketPool::FreeCount(int c) const {
  return (c < 0 || c >= kClassCount) ? 0 : lists_[c].count.load();
}

int32_t CPacketPool::FreeLimit(int c) const {
  return (c < 0 || c >= kClassCount) ? 0 : kFreeLimits[c];
}

PacketBuffer* CPacketPool::Allocate(uint64_t area, int sizeClass) {
  if (area > SIZE_MAX - sizeof(PacketBuffer)) return nullptr;
  void* block = ::operator new(sizeof(PacketBuffer) + static_cast<size_t>(area), std::nothrow);
  if (!block) return nullptr;
  PacketBuffer* b = ::new (block) PacketBuffer;
  b->area = static_cast<size_t>(area);
  b->length = CapacityWord(area);
  b->sizeClass = static_cast<int8_t>(sizeClass);
  b->pool = this;
  return b;
}

void CPacketPool::Free(PacketBuffer* buffer) {
  buffer->~PacketBuffer();
  ::operator delete(buffer);
}

PacketBuffer* CPacketPool::Pop(int c, uint64_t minArea) {
  FreeList& list = lists_[c];
  std::lock_guard<std::mutex> hold(list.mutex);
  while (PacketBuffer* b = list.head) {
    list.head = b->freeLink;
    list.count.fetch_sub(1);
    if (b->area >= minArea) return b;
    // Left behind by a smaller class-11 size; the class has outgrown it.
    Free(b);
  }
  return nullptr;
}

PacketBuffer* CPacketPool::Acquire(uint64_t n, uint8_t flags) {
  const int c = SizeClass(n);
  PacketBuffer* b = nullptr;
  if (c < 0) {
    if (n > UINT64_MAX - kReserve) return nullptr;
    b = Allocate(n + kReserve, -1);
  } else if (c < kLargeClass) {
    b = Pop(c, 0);
    if (!b) b = Allocate(kClassSizes[c], c);
  } else {
    const uint64_t need = ((n + kReserve) & ~(kLargeStep - 1)) + kLargeStep;
    b = Pop(c, need);
    if (!b) {
      uint32_t size = largeClassSize_.load();
      while (size < need && !largeClassSize_.compare_exchange_weak(size, static_cast<uint32_t>(need))) {
      }
      size = largeClassSize_.load();
      b = Allocate(size < need ? need : size, c);
    }
  }
  if (!b) return nullptr;
  b->prev = nullptr;
  b->next = nullptr;
  b->freeLink = nullptr;
  b->filled = 0;
  b->result = 0;
  b->socketIndex = 0;
  b->flags.store(flags);
  b->data = reinterpret_cast<uint8_t*>(b + 1);
  return b;
}

void CPacketPool::Release(PacketBuffer* buffer) {
  if (!buffer) return;
  const uint8_t before = buffer->flags.fetch_or(PacketBuffer::kReleased);
  if (before & PacketBuffer::kReleased) {
    LogMessageA("PacketBuffer %p released twice; the second release is ignored", static_cast<void*>(buffer));
    return;
  }
  if ((before & PacketBuffer::kNotPooled) || !buffer->pool) {
    Free(buffer);
    return;
  }
  buffer->pool->GiveBack(buffer);
}

void CPacketPool::GiveBack(PacketBuffer* buffer) {
  const int c = buffer->sizeClass;
  if (c >= 0 && c < kClassCount && buffer->area >= ClassSize(c)) {
    FreeList& list = lists_[c];
    std::lock_guard<std::mutex> hold(list.mutex);
    if (list.count.load() < kFreeLimits[c]) {
      buffer->freeLink = list.head;
      list.head = buffer;
      list.count.fetch_add(1);
      return;
    }
  }
  Free(buffer);
}

void CPacketPool::Purge() {
  for (FreeList& list : lists_) {
    PacketBuffer* chain;
    {
      std::lock_guard<std::mutex> hold(list.mutex);
      chain = list.head;
      list.head = nullptr;
      list.count.store(0);
    }
    while (chain) {
      PacketBuffer* next = chain->freeLink;
      Free(chain);
      chain = next;
    }
  }
}
