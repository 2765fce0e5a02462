// Zero-filled memory for a tile cache. Pages are taken from the system in
// huge pages where it gives them, and a helper thread makes them resident a
// stretch ahead of the slot being written, so the page faults of a cache's
// first use happen off the thread that draws.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "pelplat/wintypes.h"

class CacheBlock {
 public:
  // How far ahead of the writer pages are made resident.
  static constexpr size_t kAheadBytes = size_t(16) << 20;

  CacheBlock() = default;
  ~CacheBlock() { Release(); }

  // Maps bytes of zeroes in place of the previous mapping. False when the
  // system refuses; the block is then as it was.
  bool Map(size_t bytes);
  void Release();

  BYTE* Bytes() const { return base_; }
  size_t Capacity() const { return capacity_; }

  // The writer is about to write at offset: pages from there on are made
  // resident on the helper thread. Cheap unless a new stretch is due.
  void WillWrite(size_t offset) {
    if (offset >= nextRequest_) Request(offset);
  }
  // For checks: whether all of [0, bytes) was made resident by the helper.
  bool WaitResident(size_t bytes);

  CacheBlock(const CacheBlock&) = delete;
  CacheBlock& operator=(const CacheBlock&) = delete;

 private:
  void Request(size_t offset);
  void Work();

  BYTE* base_ = nullptr;
  size_t capacity_ = 0;
  void* mapping_ = nullptr;
  size_t mappingBytes_ = 0;
  // Written only by the writer's thread.
  size_t nextRequest_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread helper_;
  // Guarded by mutex_.
  size_t target_ = 0;
  size_t resident_ = 0;
  bool stop_ = false;
  bool failed_ = false;
};
