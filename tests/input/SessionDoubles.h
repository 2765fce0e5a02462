// What a whole session needs around it in a test besides the shared fake
// system API: the test host playing the server on a thread of its own.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "pelplat/utf16.h"
#include "session/ClientConnectionParameter.h"
#include "testhost/Framing.h"
#include "testhost/HostSession.h"

namespace inputtest {

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
