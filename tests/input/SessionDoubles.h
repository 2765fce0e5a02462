// What a whole session needs around it in a test: a system API with no
// windows behind it and the test host playing the server on a thread of its
// own.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "pelplat/utf16.h"
#include "session/ClientSystemApi.h"
#include "session/ClientConnectionParameter.h"
#include "testhost/Framing.h"
#include "testhost/HostSession.h"

namespace inputtest {

class HeadlessSystemApi : public CClientSystemApi {
 public:
  ~HeadlessSystemApi() override { Stop(); }

  int SetConnectionState(int state, int) override {
    StoreConnectionState(state);
    if (state == connection_state::kConnected) {
      connected.store(1);
      connectEvent.Set();
    }
    if (state >= connection_state::kDisconnected) connected.store(0);
    // Running, or a failure that means it never will be.
    if (state == connection_state::kSessionUp || state == connection_state::kConnectFailed ||
        state == connection_state::kUnresolved) {
      connectEvent.Set();
      runEvent.Set();
    }
    return 0;
  }
  uint16_t AllocateAppId() override { return 1; }
  void GetColorDepths(std::vector<uint8_t>& depths) override { depths = {24}; }
  uint8_t GetDefaultColorDepth() override { return 24; }
  void GetDisplayModes(std::vector<uint32_t>& modes, int) override { modes.clear(); }
  void GetModeWords(uint32_t* pairs, uint32_t capacity) override {
    for (uint32_t i = 0; i < capacity; ++i) pairs[i] = 0;
  }
  void FindBestMode(uint32_t* mode, int) override { *mode = 0; }
  int ResizeDisplay(int, int, int, int) override { return 0; }
  int SetCursor(const uint8_t*, uint32_t, int) override { return 0; }
  int SetPointerPosition(int, int, int) override { return 0; }
  void InvalidateRect(int, int, int, int, int) override {}
  void EnableClipboard(bool) override {}
  bool IsClipboardEnabled() override { return false; }
};

// The host side: accepts one client, plays the handshake and records what
// the client sends.
class Host {
 public:
  Host() { listener.Listen(); }
  ~Host() { Join(); }

  void Serve() {
    thread_ = std::thread([this] {
      peer = listener.Accept(10000);
      if (!peer) return;
      session.reset(new testhost::HostSession(peer.get()));
      ok = session->Handshake(testhost::HandshakeOptions{}, &report, 10000);
      if (ok) session->StartReader();
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  uint16_t Port() const { return listener.Port(); }

  testhost::Listener listener;
  std::unique_ptr<testhost::FramedPeer> peer;
  std::unique_ptr<testhost::HostSession> session;
  testhost::HandshakeReport report;
  bool ok = false;

 private:
  std::thread thread_;
};

}  // namespace inputtest
