// The test host serving one session on a thread of its own: it accepts the
// client, plays the handshake and then records what the client sends.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "session/SlotDataProcessor.h"
#include "testhost/Framing.h"
#include "testhost/HostSession.h"

namespace clienttest {

class HostRun {
 public:
  HostRun() { listener.Listen(); }
  ~HostRun() { Join(); }

  void Serve(const testhost::HandshakeOptions& options) {
    thread_ = std::thread([this, options] {
      peer = listener.Accept(10000);
      if (!peer) return;
      session.reset(new testhost::HostSession(peer.get()));
      ok = session->Handshake(options, &report, 10000);
      if (options.closeAt == testhost::CloseAt::kNever && options.silentAt == testhost::CloseAt::kNever && ok)
        session->StartReader();
      done.store(true);
    });
  }
  // The handshake's outcome is known.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  uint16_t Port() const { return listener.Port(); }

  testhost::Listener listener;
  std::unique_ptr<testhost::FramedPeer> peer;
  std::unique_ptr<testhost::HostSession> session;
  testhost::HandshakeReport report;
  bool ok = false;
  std::atomic<bool> done{false};

 private:
  std::thread thread_;
};

// What processors made by a test's maker received.
struct SlotInbox {
  void Add(uint16_t slot, const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> hold(mutex);
    payloads.emplace_back(slot, std::vector<uint8_t>(data, data + length));
  }
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> All() {
    std::lock_guard<std::mutex> hold(mutex);
    return payloads;
  }
  std::mutex mutex;
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> payloads;
  std::vector<uint8_t> displayBlock;
};

class InboxProcessor : public CSlotDataProcessor {
 public:
  explicit InboxProcessor(SlotInbox* inbox) : inbox_(inbox) {}
  int OnData(const uint8_t* data, uint32_t length) override {
    inbox_->Add(slot, data, length);
    return 0;
  }
  int OnClientData(const void*, uint32_t) override { return 0; }
  int OnServerDisplayBlock(const void* block) override {
    std::lock_guard<std::mutex> hold(inbox_->mutex);
    const uint8_t* b = static_cast<const uint8_t*>(block);
    inbox_->displayBlock.assign(b, b + 16);
    return 0;
  }

 private:
  SlotInbox* inbox_;
};

}  // namespace clienttest
