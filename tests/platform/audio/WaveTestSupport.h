// Records the notifications of a wave device opened with CALLBACK_FUNCTION
// and waits for them with a generous deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "pelplat/mmsystem.h"

class WaveEvents {
 public:
  static void Callback(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto* self = reinterpret_cast<WaveEvents*>(instance);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->events_.push_back({message, reinterpret_cast<WAVEHDR*>(param1)});
    }
    self->changed_.notify_all();
  }
  DWORD_PTR CallbackArg() { return reinterpret_cast<DWORD_PTR>(&WaveEvents::Callback); }
  DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

  // True when `count` notifications of `message` arrived within 20 s.
  bool WaitFor(UINT message, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return CountLocked(message) >= count; });
  }
  size_t Count(UINT message) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(message);
  }
  std::vector<WAVEHDR*> Headers(UINT message) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<WAVEHDR*> out;
    for (auto& e : events_)
      if (e.message == message) out.push_back(e.header);
    return out;
  }

 private:
  size_t CountLocked(UINT message) const {
    size_t n = 0;
    for (auto& e : events_) n += e.message == message;
    return n;
  }
  struct Event {
    UINT message;
    WAVEHDR* header;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// Polls `done` until it holds or 60 s passed.
inline bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline WAVEFORMATEX PcmFormat(WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}
