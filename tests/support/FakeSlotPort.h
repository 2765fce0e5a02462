// The one slot session port of the tests: it keeps what a processor sends
// on its slot and the client events it raises, and answers the layout,
// parameters and audio clock a test sets. Sends may come from a
// processor's own threads; a test waits for them with WaitUntil.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "session/AudioClockRecord.h"
#include "session/SlotSessionPort.h"

namespace testsupport {

class FakeSlotPort : public ISlotSessionPort {
 public:
  using Bytes = std::vector<uint8_t>;
  struct Event {
    uint32_t code;
    Bytes data;
  };

  SendResult SendOnSlot(const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    {
      std::lock_guard<std::mutex> hold(mutex_);
      sent_.emplace_back(p, p + length);
      if (failSends > 0) {
        --failSends;
        return {kStatusNoConnection, 0};
      }
    }
    changed_.notify_all();
    return {kStatusOk, length};
  }
  // Kept on the caller's thread: the processors that raise them do so on
  // the thread that delivers.
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    events.push_back({code, Bytes(p, p + length)});
    return 0;
  }
  const CClientConnectionParameter* Parameters() override { return parameters; }
  bool AlignsContainers() override { return aligned; }
  AudioClockRecord* AudioClock() override { return &clock; }
  IDisplaySurfaces* Surfaces() override { return nullptr; }

  std::vector<Bytes> Sent() {
    std::lock_guard<std::mutex> hold(mutex_);
    return sent_;
  }
  // The records whose first bytes are `prefix`.
  std::vector<Bytes> SentWith(const Bytes& prefix) {
    std::vector<Bytes> out;
    for (auto& m : Sent())
      if (m.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), m.begin())) out.push_back(m);
    return out;
  }
  // Waits up to `bound` until `done` holds over what was sent.
  bool WaitUntil(const std::function<bool(const std::vector<Bytes>&)>& done,
                 std::chrono::seconds bound = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, bound, [&] { return done(sent_); });
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    sent_.clear();
  }

  std::vector<Event> events;
  const CClientConnectionParameter* parameters = nullptr;
  bool aligned = true;
  int failSends = 0;  // the next sends answer "no connection"
  AudioClockRecord clock;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> sent_;
};

}  // namespace testsupport
