// Page-locked audio buffers recycled through a lock-free list: the device
// thread gives finished buffers back while the writer takes fresh ones, and
// a write normally finds a block without allocating.
#pragma once

#include <atomic>
#include <cstdint>

#include "pelplat/mmsystem.h"

// One heap block: this header, then `capacity` audio bytes.
struct WaveBuffer {
  enum State : uint32_t { kTaken = 2 };

  WAVEHDR header;  // first, so the device's header leads back to its block
  uint64_t timestamp;
  uint32_t state;
  int32_t capacity;
  uint32_t locked;
  WaveBuffer* next;

  uint8_t* Audio() { return reinterpret_cast<uint8_t*>(this + 1); }
  static WaveBuffer* FromHeader(WAVEHDR* h) { return reinterpret_cast<WaveBuffer*>(h); }
};

class WaveBufferPool {
 public:
  WaveBufferPool() = default;
  ~WaveBufferPool();

  // A buffer of at least n bytes, its header set for n bytes; null when
  // memory runs out. A pool of smaller buffers is rebuilt for n first.
  WaveBuffer* Take(uint32_t n);
  // The free-list head, or a fresh buffer of the pool's size.
  WaveBuffer* Pop();
  // From any thread: buffers of the pool's size go back on the list,
  // smaller ones are freed.
  void Release(WaveBuffer* buffer);
  // Frees the free list and pre-fills it with buffers of `size` bytes: 4, 8,
  // 16 or 32 of them as the duration class is above 200, 100, 50 or not.
  void Rebuild(int32_t size, uint32_t durationClass);
  // Keeps one buffer waiting on the list.
  void EnsureSpare();
  void FreeAll();

  static int BuffersForDuration(uint32_t durationClass);

  int32_t BufferSize() const { return size_.load(); }
  uint32_t FreshAllocations() const { return fresh_.load(); }
  uint32_t Takes() const { return takes_.load(); }
  uint32_t LiveBuffers() const { return live_.load(); }
  uint32_t FreeBuffers() const { return free_.load(); }

  WaveBufferPool(const WaveBufferPool&) = delete;
  WaveBufferPool& operator=(const WaveBufferPool&) = delete;

 private:
  void Free(WaveBuffer* buffer);
  void Push(WaveBuffer* buffer);

  std::atomic<uint32_t> fresh_{0};
  std::atomic<uint32_t> takes_{0};
  std::atomic<uint32_t> live_{0};
  std::atomic<uint32_t> free_{0};
  std::atomic<WaveBuffer*> head_{nullptr};
  std::atomic<int32_t> size_{0};
};
