// The one system API of the tests: no windows behind it. It moves its
// connection events the way the Qt system API does and records what the
// session tells it; a test derives from it only to record something more.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/utf16.h"
#include "session/ClientSystemApi.h"

namespace testsupport {

struct StateChange {
  int state;
  int final;
  bool operator==(const StateChange& o) const { return state == o.state && final == o.final; }
};

class FakeSystemApi : public CClientSystemApi {
 public:
  ~FakeSystemApi() override { Stop(); }

  int SetConnectionState(int state, int final) override {
    using namespace connection_state;
    StoreConnectionState(state);
    if (state == kConnected) {
      connected.store(1);
      connectEvent.Set();
    }
    if (state >= kDisconnected) connected.store(0);
    // Running, or a failure that means it never will be.
    if (state == kSessionUp || state == kConnectFailed || state == kUnresolved) {
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
  void PostTextMessage(const char* text) override {
    std::lock_guard<std::mutex> hold(mutex_);
    posted_.push_back(text ? text : "(null)");
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
  void InvalidateRect(int x, int y, int width, int height, int display) override {
    std::lock_guard<std::mutex> hold(mutex_);
    repaints_.push_back({x, y, width, height, display});
  }
  CClipboardInterface* GetClipboard() override { return clipboard; }
  void EnableClipboard(bool) override {}
  bool IsClipboardEnabled() override { return clipboard != nullptr; }
  void NotifyTraffic() override { traffic.fetch_add(1); }

  void SetSurface(int index, ISurfaceKeeper* surface) { surfaces[index] = surface; }

  std::vector<StateChange> States() { return Copy(states_); }
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
  std::vector<std::string> Texts() { return Copy(texts_); }
  std::vector<std::string> Captions() { return Copy(captions_); }
  std::vector<std::string> Boxes() { return Copy(boxes_); }
  std::vector<std::string> Posted() { return Copy(posted_); }
  std::vector<std::vector<uint8_t>> SystemMessages() { return Copy(systemMessages_); }
  std::vector<std::vector<int>> Resizes() { return Copy(resizes_); }
  // {x, y, width, height, display} of every repaint asked for.
  std::vector<std::vector<int>> Repaints() { return Copy(repaints_); }

  CClipboardInterface* clipboard = nullptr;
  std::atomic<int> traffic{0};

 private:
  template <class T>
  T Copy(const T& recorded) {
    std::lock_guard<std::mutex> hold(mutex_);
    return recorded;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<StateChange> states_;
  std::vector<std::string> captions_;
  std::vector<std::string> texts_;
  std::vector<std::string> boxes_;
  std::vector<std::string> posted_;
  std::vector<std::vector<uint8_t>> systemMessages_;
  std::vector<std::vector<int>> resizes_;
  std::vector<std::vector<int>> repaints_;
};

}  // namespace testsupport
