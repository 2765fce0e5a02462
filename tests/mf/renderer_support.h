// What the renderer tests share: a presentation clock the test drives by
// hand, a collector of a stream sink's events, and samples made of bytes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/mfsession.h"

namespace renderer_test {

using namespace std::chrono_literals;
constexpr auto kBound = 60s;

// A presentation clock whose time moves only when the test sets it. Its
// state changes reach the sinks as the real clock's do.
class DrivenClock final : public pelplat::ComObject<IMFPresentationClock> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFPresentationClock);
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
  ~DrivenClock() override {
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
class EventCollector final : public pelplat::ComObject<IMFAsyncCallback> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAsyncCallback); }
  explicit EventCollector(IMFMediaEventGenerator* source) : source_(source) {
    source_->AddRef();
  }
  void Begin() { source_->BeginGetEvent(this, nullptr); }

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
  ~EventCollector() override { source_->Release(); }
  int CountLocked(MediaEventType type) {
    int n = 0;
    for (const SeenEvent& e : events_) n += e.type == type;
    return n;
  }

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

// A renderer made from its activation object, its stream sink's events
// collected and its clock driven by the test.
class RendererFixture : public ::testing::Test {
 protected:
  void Open(IMFActivate* activate) {
    activate_ = activate;
    ASSERT_NE(activate_, nullptr);
    ASSERT_EQ(activate_->ActivateObject(IID_IMFMediaSink, reinterpret_cast<void**>(&sink_)), S_OK);
    ASSERT_EQ(sink_->GetStreamSinkById(0, &stream_), S_OK);
    events_ = new EventCollector(stream_);
    events_->Begin();
    clock_ = new DrivenClock;
    ASSERT_EQ(sink_->SetPresentationClock(clock_), S_OK);
  }
  // Shuts the renderer down: it leaves the clock.
  void Close() {
    if (activate_) {
      EXPECT_EQ(activate_->ShutdownObject(), S_OK);
    }
    if (clock_) {
      EXPECT_EQ(clock_->SinkCount(), 0u);
    }
    for (IUnknown* held : std::initializer_list<IUnknown*>{events_, stream_, sink_, activate_, clock_})
      if (held) held->Release();
    events_ = nullptr;
    stream_ = nullptr;
    sink_ = nullptr;
    activate_ = nullptr;
    clock_ = nullptr;
  }
  void SetCurrentType(IMFMediaType* type) {
    IMFMediaTypeHandler* handler = nullptr;
    ASSERT_EQ(stream_->GetMediaTypeHandler(&handler), S_OK);
    EXPECT_EQ(handler->SetCurrentMediaType(type), S_OK);
    handler->Release();
    type->Release();
  }
  void Feed(const std::vector<uint8_t>& bytes, LONGLONG time = 0) {
    IMFSample* sample = MakeSample(bytes, time);
    EXPECT_EQ(stream_->ProcessSample(sample), S_OK);
    sample->Release();
  }
  MFRendererStats Stats() {
    MFRendererStats stats;
    EXPECT_EQ(MFGetRendererStats(sink_, &stats), S_OK);
    return stats;
  }

  IMFActivate* activate_ = nullptr;
  IMFMediaSink* sink_ = nullptr;
  IMFStreamSink* stream_ = nullptr;
  EventCollector* events_ = nullptr;
  DrivenClock* clock_ = nullptr;
};

}  // namespace renderer_test
