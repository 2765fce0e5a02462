#include "audio/WaveBufferPool.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "pelplat/memapi.h"

WaveBufferPool::~WaveBufferPool() { FreeAll(); }

int WaveBufferPool::BuffersForDuration(uint32_t durationClass) {
  if (durationClass > 200) return 4;
  if (durationClass > 100) return 8;
  if (durationClass > 50) return 16;
  return 32;
}

WaveBuffer* WaveBufferPool::Take(uint32_t n) {
  if (static_cast<int64_t>(size_.load()) < static_cast<int64_t>(n)) {
    if (n > 0x7FFFFFFFu) return nullptr;
    Rebuild(static_cast<int32_t>(n), 100);
  }
  WaveBuffer* buffer = Pop();
  while (buffer && static_cast<uint32_t>(buffer->capacity) < n) {
    Free(buffer);
    buffer = Pop();
  }
  if (!buffer) return nullptr;
  buffer->header.lpData = reinterpret_cast<LPSTR>(buffer->Audio());
  buffer->header.dwBufferLength = n;
  buffer->header.dwFlags = 0;
  buffer->header.dwLoops = 0;
  return buffer;
}

// Only the owner's thread pops, so a head cannot be popped and pushed back
// between our load and our exchange by another popper.
WaveBuffer* WaveBufferPool::Pop() {
  takes_.fetch_add(1);
  WaveBuffer* head = head_.load(std::memory_order_acquire);
  while (head && !head_.compare_exchange_weak(head, head->next, std::memory_order_acq_rel)) {
  }
  if (head) {
    head->state = WaveBuffer::kTaken;
    free_.fetch_sub(1);
    return head;
  }
  const int32_t size = size_.load();
  fresh_.fetch_add(1);
  live_.fetch_add(1);
  const size_t bytes = sizeof(WaveBuffer) + static_cast<size_t>(size > 0 ? size : 0);
  void* block = malloc(bytes);
  if (!block) {
    live_.fetch_sub(1);
    return nullptr;
  }
  auto* buffer = static_cast<WaveBuffer*>(block);
  memset(buffer, 0, sizeof(WaveBuffer));
  buffer->locked = VirtualLock(block, bytes) ? 1 : 0;
  buffer->capacity = size;
  buffer->state = WaveBuffer::kTaken;
  return buffer;
}

void WaveBufferPool::Push(WaveBuffer* buffer) {
  WaveBuffer* head = head_.load(std::memory_order_relaxed);
  do {
    buffer->next = head;
  } while (!head_.compare_exchange_weak(head, buffer, std::memory_order_release, std::memory_order_relaxed));
  free_.fetch_add(1);
}

void WaveBufferPool::Release(WaveBuffer* buffer) {
  if (!buffer) return;
  if (buffer->capacity >= size_.load()) {
    Push(buffer);
  } else {
    Free(buffer);
  }
}

void WaveBufferPool::Free(WaveBuffer* buffer) {
  if (buffer->locked) VirtualUnlock(buffer, sizeof(WaveBuffer) + static_cast<size_t>(buffer->capacity));
  free(buffer);
  live_.fetch_sub(1);
}

void WaveBufferPool::FreeAll() {
  WaveBuffer* head = head_.exchange(nullptr);
  while (head) {
    WaveBuffer* next = head->next;
    if (head->locked) VirtualUnlock(head, sizeof(WaveBuffer) + static_cast<size_t>(head->capacity));
    free(head);
    head = next;
  }
  fresh_.store(0);
  takes_.store(0);
  live_.store(0);
  free_.store(0);
}

void WaveBufferPool::Rebuild(int32_t size, uint32_t durationClass) {
  FreeAll();
  size_.store(size);
  const int k = BuffersForDuration(durationClass);
  WaveBuffer* taken[32];
  int n = 0;
  while (n < k) {
    WaveBuffer* buffer = Pop();
    if (!buffer) break;
    taken[n++] = buffer;
  }
  for (int i = 0; i < n; ++i) Release(taken[i]);
}

void WaveBufferPool::EnsureSpare() {
  if (head_.load() != nullptr) return;
  if (WaveBuffer* buffer = Pop()) Release(buffer);
}
