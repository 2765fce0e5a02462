// What the renderer tests share: a presentation clock the test drives by
// hand, a collector of a stream sink's events, and samples made of bytes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "pelplat/mfsession.h"

namespace renderer_test {

using namespace std::chrono_literals;
constexpr auto kBound = 20s;

// A presentation clock whose time moves only when the test sets it. Its
// state changes reach the sinks as the real clock's do.
class DrivenClock final : public IMFPresentationClock {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IMFPresentationClock) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTime(MFTIME* time) override {
    *time = time_;
    return S_OK;
  }
  HRESULT GetState(DWORD, MFCLOCK_STATE* state) override {
    *state = state_;
    return S_OK;
  }
  HRESULT Start(LONGLONG offset) override {
    if (offset != PRESENTATION_CURRENT_POSITION) time_ = offset;
    state_ = MFCLOCK_STATE_RUNNING;
    return Each([&](IMFClockStateSink* s) { return s->OnClockStart(0, offset); });
  }
  HRESULT Stop() override {
    state_ = MFCLOCK_STATE_STOPPED;
    return Each([](IMFClockStateSink* s) { return s->OnClockStop(0); });
  }
  HRESULT Pause() override {
    state_ = MFCLOCK_STATE_PAUSED;
    return Each([](IMFClockStateSink* s) { return s->OnClockPause(0); });
  }
  HRESULT AddClockStateSink(IMFClockStateSink* sink) override {
    std::lock_guard<std::mutex> hold(lock_);
    sink->AddRef();
    sinks_.push_back(sink);
    return S_OK;
  }
  HRESULT RemoveClockStateSink(IMFClockStateSink* sink) override {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it)
      if (*it == sink) {
        (*it)->Release();
        sinks_.erase(it);
        return S_OK;
      }
    return S_OK;
  }
  void SetTime(MFTIME time) { time_ = time; }
  size_t SinkCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return sinks_.size();
  }

 private:
  ~DrivenClock() {
    for (IMFClockStateSink* sink : sinks_) sink->Release();
  }
  HRESULT Each(const std::function<HRESULT(IMFClockStateSink*)>& call) {
    std::vector<IMFClockStateSink*> sinks;
    {
      std::lock_guard<std::mutex> hold(lock_);
      sinks = sinks_;
    }
    for (IMFClockStateSink* sink : sinks) call(sink);
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  std::atomic<MFTIME> time_{0};
  std::atomic<MFCLOCK_STATE> state_{MFCLOCK_STATE_STOPPED};
  std::mutex lock_;
  std::vector<IMFClockStateSink*> sinks_;
};

struct SeenEvent {
  MediaEventType type;
  HRESULT status;
  int64_t value;  // VT_I8 / VT_UI4 contexts; 0 otherwise
};

// Takes every event of a stream sink as it comes and lets the test wait
// for a number of them of one type.
class EventCollector final : public IMFAsyncCallback {
 public:
  explicit EventCollector(IMFMediaEventGenerator* source) : source_(source) { source_->AddRef(); }
  void Begin() { source_->BeginGetEvent(this, nullptr); }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IMFAsyncCallback) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Invoke(IMFAsyncResult* result) override {
    IMFMediaEvent* event = nullptr;
    if (FAILED(source_->EndGetEvent(result, &event))) return S_OK;  // shut down
    SeenEvent seen{};
    event->GetType(&seen.type);
    event->GetStatus(&seen.status);
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(event->GetValue(&value))) {
      if (value.vt == VT_I8) seen.value = value.hVal;
      if (value.vt == VT_UI4) seen.value = value.ulVal;
    }
    PropVariantClear(&value);
    event->Release();
    {
      std::lock_guard<std::mutex> hold(lock_);
      events_.push_back(seen);
    }
    changed_.notify_all();
    source_->BeginGetEvent(this, nullptr);
    return S_OK;
  }

  int Count(MediaEventType type) {
    std::lock_guard<std::mutex> hold(lock_);
    return CountLocked(type);
  }
  bool WaitFor(MediaEventType type, int count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return CountLocked(type) >= count; });
  }
  std::vector<SeenEvent> Events() {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
  }
  std::vector<SeenEvent> Of(MediaEventType type) {
    std::vector<SeenEvent> out;
    for (const SeenEvent& e : Events())
      if (e.type == type) out.push_back(e);
    return out;
  }

 private:
  ~EventCollector() { source_->Release(); }
  int CountLocked(MediaEventType type) {
    int n = 0;
    for (const SeenEvent& e : events_) n += e.type == type;
    return n;
  }

  std::atomic<ULONG> refs_{1};
  IMFMediaEventGenerator* source_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<SeenEvent> events_;
};

inline IMFSample* MakeSample(const std::vector<uint8_t>& bytes, LONGLONG time, LONGLONG duration = 0) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  EXPECT_EQ(MFCreateSample(&sample), S_OK);
  EXPECT_EQ(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size() ? bytes.size() : 1), &buffer), S_OK);
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  sample->SetSampleTime(time);
  if (duration) sample->SetSampleDuration(duration);
  return sample;
}

inline PROPVARIANT I8(int64_t v) {
  PROPVARIANT p;
  PropVariantInit(&p);
  p.vt = VT_I8;
  p.hVal = v;
  return p;
}

}  // namespace renderer_test
