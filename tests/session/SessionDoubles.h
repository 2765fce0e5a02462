// A session client and slot processors that record what reaches them, and a
// loopback session against the test host.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelplat/debugout.h"
#include "transport/Connection.h"
#include "session/GenericClient.h"
#include "transport/PacketPool.h"
#include "session/SlotDataProcessor.h"
#include "testhost/Framing.h"

namespace sessiontest {

struct Delivery {
  uint16_t slot;  // the processor's slot
  std::vector<uint8_t> payload;
  std::thread::id thread;
};

// Everything the processors of one client received, in arrival order.
class Inbox {
 public:
  void Add(Delivery d) {
    std::lock_guard<std::mutex> hold(mutex_);
    deliveries_.push_back(std::move(d));
    changed_.notify_all();
  }
  bool WaitFor(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return deliveries_.size() >= count; });
  }
  std::vector<Delivery> All() {
    std::lock_guard<std::mutex> hold(mutex_);
    return deliveries_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
};

class RecordingProcessor : public CSlotDataProcessor {
 public:
  RecordingProcessor(Inbox* inbox, int threadMode = kSharedDispatch) : inbox_(inbox), threadMode_(threadMode) {}
  int GetThreadMode() override { return threadMode_; }
  int OnData(const uint8_t* data, uint32_t length) override {
    inbox_->Add(Delivery{slot, std::vector<uint8_t>(data, data + length), std::this_thread::get_id()});
    return 0;
  }
  int OnClientData(const void*, uint32_t) override { return 0; }

 private:
  Inbox* inbox_;
  int threadMode_;
};

// Holds the dispatch thread inside OnData until the gate opens.
class GateProcessor : public RecordingProcessor {
 public:
  explicit GateProcessor(Inbox* inbox) : RecordingProcessor(inbox) {}
  int OnData(const uint8_t* data, uint32_t length) override {
    RecordingProcessor::OnData(data, length);
    std::unique_lock<std::mutex> hold(mutex_);
    open_.wait(hold, [&] { return opened_; });
    return 0;
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mutex_);
    opened_ = true;
    open_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable open_;
  bool opened_ = false;
};

class TestClient : public CGenericClient {
 public:
  void SetSlots(std::vector<uint16_t> display, std::vector<uint16_t> stream, bool remapAllowed) {
    std::fill(std::begin(displaySlots), std::end(displaySlots), kNoSlot);
    std::fill(std::begin(streamSlots), std::end(streamSlots), kNoSlot);
    std::copy(display.begin(), display.end(), displaySlots);
    std::copy(stream.begin(), stream.end(), streamSlots);
    remap = remapAllowed ? 1 : 0;
  }
  void SetWan(int wan) { wan_ = wan; }
  void SetHandshakeAnswer(int answer) { handshakeAnswer_ = answer; }
  void SetConnectedAnswer(int answer) { connectedAnswer_ = answer; }
  uint8_t ReplayFlag() const { return replay; }

  int RegisterSlotProcessor(uint16_t slot, CSlotDataProcessor* processor) override {
    if (slot >= kMaxSlots) return 4098;
    CxAutoLock hold(&processorLock);
    if (processors[slot]) return -1;
    processors[slot] = processor;
    if (processor) processor->Attach(slot, this);
    processorCount = std::max<uint16_t>(processorCount, static_cast<uint16_t>(slot + 1));
    return 0;
  }
  bool ResolveServer(ConnectTarget*) override { return false; }
  int OnHandshakeMessage(const uint8_t* data, int length, CConnection*) override {
    std::lock_guard<std::mutex> hold(mutex_);
    controlMessages_.emplace_back(data, data + length);
    changed_.notify_all();
    return handshakeAnswer_;
  }
  uint32_t QueryFeature() override { return 0x0FFFFFFF; }
  int SendOnSlot(uint16_t, const void*, uint32_t) override { return 0; }
  int SendControl(uint16_t, const void*, uint32_t) override { return 0; }
  int BuildHello(CClientConnectionParameter*) override { return 0; }
  const char* GetClientType() override { return "test client"; }
  uint16_t GetSlotFlags(uint16_t) override { return 0; }
  int OnConnected() override {
    ++connected;
    return connectedAnswer_;
  }
  int OnDisconnected() override {
    ++disconnected;
    return 0;
  }
  int GetParamFlags() override { return wan_; }

  bool WaitForControlMessages(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return controlMessages_.size() >= count; });
  }
  std::vector<std::vector<uint8_t>> ControlMessages() {
    std::lock_guard<std::mutex> hold(mutex_);
    return controlMessages_;
  }

  std::atomic<int> connected{0};
  std::atomic<int> disconnected{0};

 private:
  int wan_ = 0;
  int handshakeAnswer_ = 0;
  int connectedAnswer_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> controlMessages_;
};

inline sockaddr_in Loopback(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

// A session target from a server text, as the session client resolves it.
inline ConnectTarget ResolvedTarget(const char16_t* serverText, uint16_t port, int* status) {
  ConnectTarget t;
  *status = t.Resolve(serverText, port);
  t.framing = 1;
  t.transport = 1;
  return t;
}

inline ConnectTarget SessionTarget(std::vector<sockaddr_in> addresses) {
  ConnectTarget t;
  t.framing = 1;
  t.transport = 1;
  for (size_t i = 0; i < addresses.size() && i < ConnectTarget::kAddressCount; ++i) t.addresses[i] = addresses[i];
  return t;
}

// Debug lines written while it lives.
class DebugCapture {
 public:
  DebugCapture() {
    previous_ = SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back(line);
    });
  }
  ~DebugCapture() { SetDebugOutputSink(previous_); }
  bool Contains(const std::string& text) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const std::string& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  DebugOutputSink previous_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A client connected to the test host over loopback, its receive loop on
// a thread of its own.
class LoopbackSession {
 public:
  LoopbackSession() : client(new TestClient) {}
  ~LoopbackSession() {
    Stop();
    client->ReleaseAllProcessors();
    client->Release();
  }

  // Recording processors on the slots, the connection open, its loop
  // running.
  bool Start(std::initializer_list<uint16_t> slots) {
    for (uint16_t slot : slots) client->RegisterSlotProcessor(slot, new RecordingProcessor(&inbox));
    if (!Open()) return false;
    StartLoop();
    return true;
  }
  bool Open() {
    if (!host.Listen()) return false;
    connection = new CConnection(nullptr, nullptr);
    connection->SetClient(client);
    if (connection->Open(SessionTarget({host.Address()})) != 1) return false;
    peer = host.Accept(5000);
    return peer != nullptr;
  }
  void StartLoop() {
    loop = std::thread([this] {
      loopThread = std::this_thread::get_id();
      loopStarted = true;
      connection->ReceiveLoop();
      loopEnded = true;
    });
    while (!loopStarted) std::this_thread::yield();
  }
  // True when the loop ended by itself within the time.
  bool WaitLoopEnd(int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!loopEnded && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return loopEnded;
  }
  // A running loop ends at once when the host closes; a stop request alone
  // is noticed only after the select time-out.
  void Stop() {
    if (!connection) return;
    if (loop.joinable() && !loopEnded && peer) peer->Close();
    connection->StopLoop(0);
    if (loop.joinable()) loop.join();
    connection->Close();
    connection->Release();
    connection = nullptr;
  }

  testhost::Listener host;
  TestClient* client;
  Inbox inbox;
  CConnection* connection = nullptr;
  std::unique_ptr<testhost::FramedPeer> peer;
  std::thread loop;
  std::thread::id loopThread;
  std::atomic<bool> loopStarted{false};
  std::atomic<bool> loopEnded{false};
};

}  // namespace sessiontest
