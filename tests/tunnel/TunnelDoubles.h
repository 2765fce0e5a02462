// A session client that records what is sent through it, and helpers that
// read the recorded control messages with the test host's own decoder.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "../session/SessionDoubles.h"
#include "testhost/RemoteIoServer.h"
#include "testhost/Tunnel.h"

namespace tunneltest {

struct SentMessage {
  uint16_t slot;
  std::vector<uint8_t> bytes;
};

class RecordingClient : public sessiontest::TestClient {
 public:
  // What SendOnSlot answers: -1 means "every byte".
  void SetSendAnswer(int answer) { sendAnswer_ = answer; }

  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override {
    Record(slot, data, length);
    const int answer = sendAnswer_.load();
    return answer < 0 ? static_cast<int>(length) : answer;
  }
  int SendControl(uint16_t, const void* data, uint32_t length) override {
    Record(kControlSlot, data, length);
    return static_cast<int>(length);
  }

  std::vector<SentMessage> Sent() {
    std::lock_guard<std::mutex> hold(mutex_);
    return sent_;
  }
  bool WaitForSent(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return sent_.size() >= count; });
  }
  // The tunnel calls among the sent messages, decoded by the test host.
  std::vector<testhost::TunnelCall> SentCalls() {
    std::vector<testhost::TunnelCall> calls;
    for (const SentMessage& m : Sent()) {
      testhost::TunnelCall call;
      if (m.slot == kControlSlot && testhost::TunnelCall::Decode(m.bytes, &call)) calls.push_back(call);
    }
    return calls;
  }
  std::vector<testhost::RemoteIoRequest> SentRequests() {
    std::vector<testhost::RemoteIoRequest> requests;
    for (const testhost::TunnelCall& call : SentCalls()) {
      testhost::RemoteIoRequest r;
      if (testhost::RemoteIoServer::DecodeRequest(call, &r)) requests.push_back(r);
    }
    return requests;
  }
  void ClearSent() {
    std::lock_guard<std::mutex> hold(mutex_);
    sent_.clear();
  }

  void SetDisplaySlot(uint16_t slot) { displaySlots[0] = slot; }
  void SetMode(int32_t value) { mode = value; }

 private:
  void Record(uint16_t slot, const void* data, uint32_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::lock_guard<std::mutex> hold(mutex_);
    sent_.push_back(SentMessage{slot, std::vector<uint8_t>(p, p + length)});
    changed_.notify_all();
  }

  std::atomic<int> sendAnswer_{-1};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SentMessage> sent_;
};

}  // namespace tunneltest
