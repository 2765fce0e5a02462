// A system API that records what the session tells it, a clipboard that
// records what it is given, and a session client wired to both the way the
// main window wires them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/utf16.h"
#include "session/ClientSystemApi.h"
#include "session/ClipboardInterface.h"
#include "session/HtClient.h"
#include "session/ClientConnectionParameter.h"

namespace clienttest {

struct StateChange {
  int state;
  int final;
  bool operator==(const StateChange& o) const { return state == o.state && final == o.final; }
};

class RecordingClipboard : public CClipboardInterface {
 public:
  bool IsEnabled() override { return true; }
  void SetEnabled(bool) override {}
  int SetData(int, const void* data, uint32_t length) override {
    std::lock_guard<std::mutex> hold(mutex);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    texts.emplace_back(p, p + length);
    return 0;
  }
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> texts;
};

class RecordingSystemApi : public CClientSystemApi {
 public:
  ~RecordingSystemApi() override { Stop(); }

  int SetConnectionState(int state, int final) override {
    StoreConnectionState(state);
    if (state == connection_state::kConnected) {
      connected.store(1);
      connectEvent.Set();
    }
    if (state == connection_state::kSessionUp) runEvent.Set();
    if (state >= connection_state::kDisconnected) connected.store(0);
    if (state == connection_state::kConnectFailed || state == connection_state::kUnresolved) {
      connectEvent.Set();
      runEvent.Set();
    }
    std::lock_guard<std::mutex> hold(mutex_);
    states_.push_back({state, final});
    changed_.notify_all();
    return 0;
  }
  uint16_t AllocateAppId() override { return 1; }
  void SetMessageText(const WCHAR* caption, const WCHAR* text) override {
    StoreMessageText(text);
    {
      std::lock_guard<std::mutex> hold(mutex_);
      captions_.push_back(Utf16ToUtf8(caption));
      texts_.push_back(Utf16ToUtf8(text));
    }
    connectEvent.Set();
    runEvent.Set();
  }
  void ShowMessageBox(const WCHAR* caption, const WCHAR* text, int) override {
    std::lock_guard<std::mutex> hold(mutex_);
    boxes_.push_back(Utf16ToUtf8(caption) + "|" + Utf16ToUtf8(text));
  }
  void ShowSystemMessageBox(const uint8_t* record) override {
    std::lock_guard<std::mutex> hold(mutex_);
    systemMessages_.emplace_back(record, record + 656);
  }
  void GetColorDepths(std::vector<uint8_t>& depths) override { depths = {16, 24}; }
  uint8_t GetDefaultColorDepth() override { return 24; }
  void GetDisplayModes(std::vector<uint32_t>& modes, int) override { modes.clear(); }
  // Distinct words, so that the hello shows where each one lands.
  void GetModeWords(uint32_t* pairs, uint32_t capacity) override {
    for (uint32_t i = 0; i < capacity; ++i) pairs[i] = 0xA0000000u | i;
  }
  void FindBestMode(uint32_t* mode, int) override { *mode = 0; }
  int ResizeDisplay(int width, int height, int depth, int display) override {
    std::lock_guard<std::mutex> hold(mutex_);
    resizes_.push_back({width, height, depth, display});
    return 0;
  }
  int SetCursor(const uint8_t*, uint32_t, int) override { return 0; }
  int SetPointerPosition(int, int, int) override { return 0; }
  void InvalidateRect(int, int, int, int, int) override {}
  CClipboardInterface* GetClipboard() override { return clipboard; }
  void EnableClipboard(bool) override {}
  bool IsClipboardEnabled() override { return clipboard != nullptr; }
  void NotifyTraffic() override { traffic.fetch_add(1); }

  void SetSurface(int index, ISurfaceKeeper* surface) { surfaces[index] = surface; }

  std::vector<StateChange> States() {
    std::lock_guard<std::mutex> hold(mutex_);
    return states_;
  }
  std::vector<int> StateNumbers() {
    std::vector<int> numbers;
    for (const StateChange& s : States()) numbers.push_back(s.state);
    return numbers;
  }
  bool WaitForState(int state, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
      for (const StateChange& s : states_)
        if (s.state == state) return true;
      return false;
    });
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> hold(mutex_);
    return texts_;
  }
  std::vector<std::string> Captions() {
    std::lock_guard<std::mutex> hold(mutex_);
    return captions_;
  }
  std::vector<std::string> Boxes() {
    std::lock_guard<std::mutex> hold(mutex_);
    return boxes_;
  }
  std::vector<std::vector<uint8_t>> SystemMessages() {
    std::lock_guard<std::mutex> hold(mutex_);
    return systemMessages_;
  }
  std::vector<std::vector<int>> Resizes() {
    std::lock_guard<std::mutex> hold(mutex_);
    return resizes_;
  }

  CClipboardInterface* clipboard = nullptr;
  std::atomic<int> traffic{0};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<StateChange> states_;
  std::vector<std::string> captions_;
  std::vector<std::string> texts_;
  std::vector<std::string> boxes_;
  std::vector<std::vector<uint8_t>> systemMessages_;
  std::vector<std::vector<int>> resizes_;
};

inline void SetText(WCHAR* field, size_t capacity, const char16_t* text) { WcsCopyTruncate(field, capacity, text); }

// Parameters of a plain session to a server on this machine.
inline void PlainParameters(CClientConnectionParameter* p, uint16_t port) {
  p->connectionKind = 2;
  SetText(p->serverAddress, kFieldChars, u"127.0.0.1");
  p->port = port;
  SetText(p->userName, kCredentialChars, u"user");
  p->width = 1024;
  p->height = 768;
  p->colorDepth = 24;
}

// The client, its system API and its parameters, released in the order the
// program releases them.
struct ClientRig {
  ClientRig() : api(new RecordingSystemApi), client(new CHtClient) {}
  ~ClientRig() {
    client->Stop();
    // Attached processors hold the client; a hello built without a
    // connection thread leaves them attached.
    client->ReleaseAllProcessors();
    client->Release();
    api->Stop();
    api->Release();
  }
  int Init() { return client->Init(api, &params); }

  RecordingSystemApi* api;
  CClientConnectionParameter params;
  CHtClient* client;
};

}  // namespace clienttest
