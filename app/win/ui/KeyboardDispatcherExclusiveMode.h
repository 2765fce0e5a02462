// Runs while a session window is full screen. The program has no exclusive
// keyboard source of its own, so its worker only keeps time; it is always
// joined, never left running when the program ends.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "pelplat/wintypes.h"

class KeyboardDispatcherExclusiveMode {
 public:
  static KeyboardDispatcherExclusiveMode& Instance();

  // Starts the worker unless the keyboard is held already.
  void AcquireKeyboard(UINT_PTR windowId);
  // Stops and joins the worker when the keyboard is held.
  void ReleaseKeyboard();
  bool IsAcquired();

  KeyboardDispatcherExclusiveMode(const KeyboardDispatcherExclusiveMode&) = delete;
  KeyboardDispatcherExclusiveMode& operator=(const KeyboardDispatcherExclusiveMode&) = delete;

 private:
  KeyboardDispatcherExclusiveMode() = default;
  ~KeyboardDispatcherExclusiveMode();
  // Keeps time until the acquisition it was started for has ended.
  void Run(uint64_t generation);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread worker_;
  bool acquired_ = false;
  uint64_t generation_ = 0;
};
