// The multimedia channel's recording doubles: a journal of calls, a player
// and a media source that write theirs into it, parts that make them, and a
// presentation that records the commands it gets. The tests and the fuzz
// target share them.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "mmredir/MMPresentation.h"
#include "mmredir/VrMFStream.h"

namespace tsmftest {

// A journal of calls, shared by the doubles of one test.
class Journal {
 public:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(line);
    changed_.notify_all();
  }
  // True when `line` was written at least `times` times within the bound.
  bool WaitFor(const std::string& line, size_t times = 1, std::chrono::seconds bound = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, bound, [&] { return CountLocked(line) >= times; });
  }
  size_t Count(const std::string& line) {
    std::lock_guard<std::mutex> hold(mutex_);
    return CountLocked(line);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
  }

 private:
  size_t CountLocked(const std::string& line) const {
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

template <class... Args>
std::string Call(const char* name, Args... args) {
  std::ostringstream out;
  out << name << "(";
  [[maybe_unused]] const char* separator = "";
  ((out << separator << args, separator = ","), ...);
  out << ")";
  return out.str();
}

// ---------------------------------------------------------------- player

class RecordingPlayer : public IRdpMMVrPlayer {
 public:
  explicit RecordingPlayer(Journal* journal) : journal_(journal) {}
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override {
    const ULONG left = --refs;
    if (left == 0) {
      journal_->Add("player.Destroyed()");
      delete this;
    }
    return left;
  }
  HRESULT CreateVideoWindow() override { return Note(Call("player.CreateVideoWindow")); }
  HRESULT DestroyVideoWindow() override { return Note(Call("player.DestroyVideoWindow")); }
  HRESULT Open(IMFMediaSource* source) override {
    journal_->Add(Call("player.Open"));
    if (openResult < 0) return openResult;
    if (source) source->Release();  // the player keeps none
    return openResult;
  }
  HRESULT Play(int64_t offset, uint32_t seek) override { return Note(Call("player.Play", offset, seek)); }
  HRESULT Restart() override { return Note(Call("player.Restart")); }
  HRESULT Pause() override { return Note(Call("player.Pause")); }
  HRESULT Stop() override { return Note(Call("player.Stop")); }
  HRESULT Close() override { return Note(Call("player.Close")); }
  HRESULT SetVideoWindowPos(bool visible, int32_t x, int32_t y, int32_t width, int32_t height, int32_t count,
                            const RECT* regions) override {
    std::ostringstream out;
    out << Call("player.SetVideoWindowPos", visible, x, y, width, height, count);
    for (int32_t i = 0; i < count; ++i)
      out << " [" << regions[i].left << "," << regions[i].top << "," << regions[i].right << "," << regions[i].bottom
          << "]";
    return Note(out.str());
  }
  HRESULT SetVolume(uint32_t volume, uint32_t muted) override { return Note(Call("player.SetVolume", volume, muted)); }

  std::atomic<ULONG> refs{1};
  HRESULT openResult = S_OK;

 private:
  HRESULT Note(const std::string& line) {
    journal_->Add(line);
    return S_OK;
  }
  Journal* journal_;
};

// ---------------------------------------------------------------- source

class RecordingSource : public IVrRdpMediaSource {
 public:
  explicit RecordingSource(Journal* journal) : journal_(journal) {}
  HRESULT QueryInterface(REFIID, void** object) override {
    if (object) *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override {
    const ULONG left = --refs;
    if (left == 0) {
      journal_->Add("source.Destroyed()");
      delete this;
    }
    return left;
  }
  HRESULT GetEvent(DWORD, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
  HRESULT EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) override { return E_NOTIMPL; }
  HRESULT GetCharacteristics(DWORD*) override { return E_NOTIMPL; }
  HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor**) override { return E_NOTIMPL; }
  HRESULT Start(IMFPresentationDescriptor*, const GUID*, const PROPVARIANT*) override { return E_NOTIMPL; }
  HRESULT Stop() override { return E_NOTIMPL; }
  HRESULT Pause() override { return E_NOTIMPL; }
  HRESULT Shutdown() override { return E_NOTIMPL; }
  HRESULT AppendStream(CVrMFStream* stream) override {
    journal_->Add(Call("source.AppendStream", stream ? stream->GetStreamId() : 0));
    return S_OK;
  }
  HRESULT Open() override {
    journal_->Add(Call("source.Open"));
    return openResult;
  }

  std::atomic<ULONG> refs{1};
  HRESULT openResult = S_OK;

 private:
  Journal* journal_;
};

// Parts that make recording doubles and keep the last ones made.
struct RecordingParts {
  Journal* journal;
  std::atomic<HWND> lastParent{nullptr};
  std::atomic<bool> lastSound{false};
  std::atomic<int> players{0};
  std::atomic<int> sources{0};
  HRESULT playerOpenResult = S_OK;
  HRESULT sourceOpenResult = S_OK;

  explicit RecordingParts(Journal* j) : journal(j) {}
  MMPresentationParts Parts() {
    MMPresentationParts parts;
    parts.player = [this](HWND parent, int32_t display, bool sound) -> IRdpMMVrPlayer* {
      lastParent = parent;
      lastSound = sound;
      ++players;
      journal->Add(Call("parts.player", display));
      RecordingPlayer* player = new RecordingPlayer(journal);
      player->openResult = playerOpenResult;
      return player;
    };
    parts.source = [this]() -> IVrRdpMediaSource* {
      ++sources;
      journal->Add(Call("parts.source"));
      RecordingSource* source = new RecordingSource(journal);
      source->openResult = sourceOpenResult;
      return source;
    };
    return parts;
  }
};

// ---------------------------------------------------------------- presentation

class RecordingPresentation : public IMMPresentation {
 public:
  RecordingPresentation(const uint8_t id[mmredir::kPresentationIdSize], Journal* journal) : journal_(journal) {
    std::memcpy(id_, id, sizeof id_);
  }
  int32_t AddRef() override { return ++refs; }
  int32_t Release() override {
    const int32_t left = --refs;
    if (left == 0) delete this;
    return left;
  }
  bool IsPresentation(const uint8_t id[mmredir::kPresentationIdSize]) override {
    return std::memcmp(id, id_, sizeof id_) == 0;
  }
  int32_t OnSample(Channel c, uint32_t streamId, const uint8_t* sample, uint32_t count) override {
    return Note(c, Call("OnSample", streamId, count, Hex(sample, count)));
  }
  int32_t OnNotifyPreroll(Channel c, uint32_t streamId) override { return Note(c, Call("OnNotifyPreroll", streamId)); }
  int32_t OnChannelVolume(Channel c, uint32_t volume, uint32_t changed) override {
    return Note(c, Call("OnChannelVolume", volume, changed));
  }
  int32_t OnSetAllocatorProps(Channel c, uint32_t s, uint32_t a, uint32_t b, uint32_t d, uint32_t e) override {
    return Note(c, Call("OnSetAllocatorProps", s, a, b, d, e));
  }
  int32_t OnSetChannelParameters(Channel c, uint32_t v) override { return Note(c, Call("OnSetChannelParameters", v)); }
  int32_t OnCheckFormatSupportRequest(Channel c, uint32_t a, uint32_t b, uint32_t n, const uint8_t*) override {
    return Note(c, Call("OnCheckFormatSupportRequest", a, b, n));
  }
  int32_t OnAddStream(Channel c, uint32_t streamId, uint32_t count, const uint8_t* type) override {
    return Note(c, Call("OnAddStream", streamId, count, Hex(type, count)));
  }
  int32_t OnSetTopologyRequest(Channel c, uint32_t messageId) override {
    return Note(c, Call("OnSetTopologyRequest", messageId));
  }
  int32_t OnSetVideoWindow(Channel c, uint32_t a, uint32_t b, uint32_t d, uint32_t e) override {
    return Note(c, Call("OnSetVideoWindow", a, b, d, e));
  }
  int32_t OnSetSourceVideoRect(Channel c, uint32_t l, uint32_t t, uint32_t r, uint32_t b) override {
    return Note(c, Call("OnSetSourceVideoRect", l, t, r, b));
  }
  int32_t OnNewPresentation(Channel c, uint32_t cookie) override { return Note(c, Call("OnNewPresentation", cookie)); }
  int32_t OnShutdownPresentation(Channel c) override { return Note(c, Call("OnShutdownPresentation")); }
  int32_t OnPlaybackStarted(Channel c, uint64_t offset, uint32_t seek) override {
    return Note(c, Call("OnPlaybackStarted", offset, seek));
  }
  int32_t OnPlaybackPaused(Channel c) override { return Note(c, Call("OnPlaybackPaused")); }
  int32_t OnPlaybackStopped(Channel c) override { return Note(c, Call("OnPlaybackStopped")); }
  int32_t OnPlaybackRestarted(Channel c) override { return Note(c, Call("OnPlaybackRestarted")); }
  int32_t OnPlaybackRateChanged(Channel c, float rate) override { return Note(c, Call("OnPlaybackRateChanged", rate)); }
  int32_t OnStreamVolume(Channel c, uint32_t volume, uint32_t muted) override {
    return Note(c, Call("OnStreamVolume", volume, muted));
  }
  int32_t OnFlush(Channel c, uint32_t streamId) override { return Note(c, Call("OnFlush", streamId)); }
  int32_t OnUpdateGeometryInfo(Channel c, uint32_t size, const uint8_t* geometry, uint32_t cb,
                               const uint8_t* rects) override {
    return Note(c, Call("OnUpdateGeometryInfo", size, Hex(geometry, size), cb, Hex(rects, cb)));
  }
  int32_t OnEndOfStream(Channel c, uint32_t streamId) override { return Note(c, Call("OnEndOfStream", streamId)); }
  int32_t OnRemoveStream(Channel c, uint32_t streamId) override { return Note(c, Call("OnRemoveStream", streamId)); }
  int32_t OnCloseChannel(uint32_t streamId) override { return Note(nullptr, Call("OnCloseChannel", streamId)); }

  std::atomic<int32_t> refs{1};
  // Every command must come with the channel that delivered it.
  std::atomic<const void*> lastChannel{nullptr};

  static std::string Hex(const uint8_t* p, uint32_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint32_t i = 0; i < n; ++i) {
      out += digits[p[i] >> 4];
      out += digits[p[i] & 15];
    }
    return out;
  }

 private:
  int32_t Note(const Channel& channel, const std::string& line) {
    lastChannel = channel.get();
    journal_->Add(line);
    return 0;
  }
  uint8_t id_[mmredir::kPresentationIdSize];
  Journal* journal_;
};

}  // namespace tsmftest
