#include "ui/KeyboardDispatcherExclusiveMode.h"

#include <chrono>

#include "sys/klog.h"

namespace {
constexpr std::chrono::milliseconds kPeriod(100);
}

KeyboardDispatcherExclusiveMode& KeyboardDispatcherExclusiveMode::Instance() {
  static KeyboardDispatcherExclusiveMode instance;
  return instance;
}

KeyboardDispatcherExclusiveMode::~KeyboardDispatcherExclusiveMode() { ReleaseKeyboard(); }

void KeyboardDispatcherExclusiveMode::AcquireKeyboard(UINT_PTR) {
  LogMessageA("KeyboardDispatcherExclusiveMode::AcquireKeyboard\n");
  std::lock_guard<std::mutex> hold(mutex_);
  if (acquired_) return;
  acquired_ = true;
  const uint64_t generation = ++generation_;
  worker_ = std::thread([this, generation] { Run(generation); });
}

void KeyboardDispatcherExclusiveMode::ReleaseKeyboard() {
  std::thread worker;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!acquired_) return;
    acquired_ = false;
    ++generation_;
    worker = std::move(worker_);
  }
  wake_.notify_all();
  // Joined outside the mutex, which the worker takes to wait.
  if (worker.joinable()) worker.join();
}

bool KeyboardDispatcherExclusiveMode::IsAcquired() {
  std::lock_guard<std::mutex> hold(mutex_);
  return acquired_;
}

void KeyboardDispatcherExclusiveMode::Run(uint64_t generation) {
  std::unique_lock<std::mutex> hold(mutex_);
  // A release ends this worker even when a new one starts before it wakes.
  while (generation_ == generation) {
    wake_.wait_for(hold, kPeriod, [&] { return generation_ != generation; });
  }
}
