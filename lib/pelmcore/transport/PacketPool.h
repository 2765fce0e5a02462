// Received packets live in PacketBuffer records taken from a pool that keeps
// free buffers in 12 size classes, so that the connection thread receives
// large display and stream packets without a heap allocation per packet.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "transport/PacketHeader.h"
#include "sys/_synchro.h"

class CPacketPool;

// One heap block: this record, then the packet (header and payload). The
// queue's length word (CxQueueNode::length) holds the capacity word.
struct PacketBuffer : CxQueueNode {
  enum Flags : uint8_t {
    kTooSmall = 2,   // holds only a header; a pooled buffer follows
    kNotPooled = 4,  // freed directly on release
    kReleased = 8,
  };

  uint8_t* data = nullptr;   // the packet bytes
  uint32_t filled = 0;       // packet bytes received so far, header included
  int32_t result = 0;        // delivery result
  int32_t socketIndex = 0;   // connection socket the packet came from
  uint32_t reserved = 0;
  std::atomic<uint8_t> flags{0};
  int8_t sizeClass = -1;
  PacketBuffer* freeLink = nullptr;  // next buffer on a free list
  size_t area = 0;                   // bytes behind data
  CPacketPool* pool = nullptr;

  // The header of the packet held (all zero before 12 bytes are in).
  PacketHeader Header() const;
  uint32_t PayloadLength() const { return Header().length; }
  uint8_t* Payload() { return data + PacketHeader::kSize; }
  const uint8_t* Payload() const { return data + PacketHeader::kSize; }
};

class CPacketPool {
 public:
  static constexpr int kClassCount = 12;
  // Bytes a class reserves beyond the payload; the class table counts them.
  static constexpr uint64_t kReserve = 60;
  // The largest payload the classes hold (class 11 ends at 64 MiB).
  static constexpr uint64_t kMaxClassedPayload = 67108712;

  CPacketPool();
  ~CPacketPool();  // frees the free lists
  CPacketPool(const CPacketPool&) = delete;
  CPacketPool& operator=(const CPacketPool&) = delete;

  // The process-wide pool, made on first use and kept for the whole run.
  static CPacketPool& Global();

  // Class for a payload of n bytes, -1 above kMaxClassedPayload.
  static int SizeClass(uint64_t n);
  // A buffer for n payload bytes with `flags` or'ed in, `filled` 0; null when
  // memory runs out.
  PacketBuffer* Acquire(uint64_t n, uint8_t flags);
  // Gives a buffer back to the pool it came from. A buffer already given
  // back is left alone, so it can never reach two readers.
  static void Release(PacketBuffer* buffer);
  void Purge();

  uint32_t ClassSize(int c) const;
  int32_t FreeCount(int c) const;
  int32_t FreeLimit(int c) const;

 private:
  struct FreeList {
    // Pops on a bare compare-and-swap list can take a buffer that another
    // thread has meanwhile popped, used and freed; the short lock prevents it.
    std::mutex mutex;
    PacketBuffer* head = nullptr;
    std::atomic<int32_t> count{0};
  };

  PacketBuffer* Pop(int c, uint64_t minArea);
  void GiveBack(PacketBuffer* buffer);
  PacketBuffer* Allocate(uint64_t area, int sizeClass);
  static void Free(PacketBuffer* buffer);

  FreeList lists_[kClassCount];
  // Class 11 grows as larger packets arrive; read and raised by any thread.
  std::atomic<uint32_t> largeClassSize_;
};
