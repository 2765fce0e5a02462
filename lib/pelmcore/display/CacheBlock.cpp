#include "display/CacheBlock.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "sys/klog.h"

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// The helper works in pieces of this size, so that a release waits for one
// piece at most.
constexpr size_t kPiece = size_t(2) << 20;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

}  // namespace

bool CacheBlock::Map(size_t bytes) {
  if (bytes == 0) bytes = 1;
  // Room to start on a huge-page boundary.
  const size_t mappingBytes = bytes + kHugePage;
  void* mapping =
      mmap(nullptr, mappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  Release();
  mapping_ = mapping;
  mappingBytes_ = mappingBytes;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(mapping) + kHugePage - 1) & ~(kHugePage - 1);
  base_ = reinterpret_cast<BYTE*>(start);
  capacity_ = bytes;
  // Advice only: without huge pages the block works the same.
  madvise(base_, (bytes + kHugePage - 1) & ~(kHugePage - 1), MADV_HUGEPAGE);
  nextRequest_ = 0;
  target_ = resident_ = 0;
  stop_ = failed_ = false;
  return true;
}

void CacheBlock::Release() {
  if (helper_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    helper_.join();
  }
  if (mapping_) munmap(mapping_, mappingBytes_);
  mapping_ = nullptr;
  mappingBytes_ = 0;
  base_ = nullptr;
  capacity_ = 0;
  nextRequest_ = 0;
  target_ = resident_ = 0;
  stop_ = failed_ = false;
}

void CacheBlock::Request(size_t offset) {
  if (!base_) return;
  const size_t target = std::min(capacity_, offset + kAheadBytes);
  // The next request is due halfway through this stretch; once the whole
  // block is asked for, never again.
  nextRequest_ = target >= capacity_ ? SIZE_MAX : offset + kAheadBytes / 2;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_ || target <= target_) return;
    target_ = target;
    if (!helper_.joinable()) helper_ = std::thread([this] { Work(); });
  }
  wake_.notify_one();
}

void CacheBlock::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || resident_ < target_; });
    if (stop_) return;
    const size_t from = resident_;
    const size_t to = std::min(target_, from + kPiece);
    lock.unlock();
    // Faults the pages in as a write would, without changing a byte, so
    // the writer may fill slots there meanwhile.
    const bool ok = madvise(base_ + from, to - from, MADV_POPULATE_WRITE) == 0;
    lock.lock();
    if (!ok) {
      // An older kernel: the writer takes its own page faults as before.
      failed_ = true;
      wake_.notify_all();
      return;
    }
    resident_ = to;
    wake_.notify_all();
  }
}

bool CacheBlock::WaitResident(size_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  bytes = std::min(bytes, capacity_);
  wake_.wait(lock, [&] { return failed_ || stop_ || resident_ >= bytes || target_ < bytes; });
  return resident_ >= bytes;
}
