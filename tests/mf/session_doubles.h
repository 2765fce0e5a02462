// Doubles for media session tests: a scripted media source whose streams
// hand out a fixed list of samples, with the events the platform documents
// for sources; a recording sink (media sink and its one stream sink in one
// object) that accepts one media type, asks for samples as the clock starts
// and records what it is given; and a recorder of the session's events.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/mfsession.h"

namespace session_test {

// The event generator's calls, answered by an event queue member.
#define SESSION_TEST_EVENTS_FROM(queue)                                                                          \
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override { return queue->GetEvent(flags, event); }        \
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {                                  \
    return queue->BeginGetEvent(callback, state);                                                                \
  }                                                                                                              \
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {                                  \
    return queue->EndGetEvent(result, event);                                                                    \
  }                                                                                                              \
  HRESULT QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override { \
    return queue->QueueEventParamVar(type, extended, status, value);                                             \
  }

constexpr auto kBound = std::chrono::seconds(60);

inline IMFSample* SampleOf(const std::vector<uint8_t>& bytes, LONGLONG time) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  MFCreateSample(&sample);
  MFCreateMemoryBuffer(static_cast<DWORD>(std::max<size_t>(bytes.size(), 1)), &buffer);
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  std::copy(bytes.begin(), bytes.end(), data);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  sample->SetSampleTime(time);
  return sample;
}

inline std::vector<uint8_t> BytesOf(IMFSample* sample) {
  std::vector<uint8_t> bytes;
  DWORD count = 0;
  sample->GetBufferCount(&count);
  for (DWORD i = 0; i < count; ++i) {
    IMFMediaBuffer* buffer = nullptr;
    sample->GetBufferByIndex(i, &buffer);
    BYTE* data = nullptr;
    DWORD length = 0;
    buffer->Lock(&data, nullptr, &length);
    bytes.insert(bytes.end(), data, data + length);
    buffer->Unlock();
    buffer->Release();
  }
  return bytes;
}

inline IMFMediaType* TypeOf(REFGUID major, REFGUID subtype, UINT32 width = 0, UINT32 height = 0) {
  IMFMediaType* type = nullptr;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, major);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (width) MFSetAttributeSize(type, MF_MT_FRAME_SIZE, width, height);
  return type;
}

class ScriptedSource;

class ScriptedStream final : public pelplat::ComObject<IMFMediaStream> {
 public:
  ScriptedStream(ScriptedSource* source, IMFStreamDescriptor* descriptor, std::vector<IMFSample*> samples)
      : source_(source), descriptor_(descriptor), samples_(std::move(samples)) {
    descriptor_->AddRef();
    MFCreateEventQueue(&queue_);
  }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFMediaEventGenerator, IID_IMFMediaStream);
  }
  SESSION_TEST_EVENTS_FROM(queue_)
  HRESULT GetMediaSource(IMFMediaSource** source) override;
  HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) override {
    *descriptor = descriptor_;
    descriptor_->AddRef();
    return S_OK;
  }
  HRESULT RequestSample(IUnknown*) override;

  // The source's commands.
  // From a stop the stream begins again; a position moves it to the first
  // sample at or after it.
  void Started(bool seek, const PROPVARIANT* position) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!seek) next_ = 0;
    if (position && position->vt == VT_I8) {
      next_ = 0;
      LONGLONG time = 0;
      while (next_ < samples_.size() && SUCCEEDED(samples_[next_]->GetSampleTime(&time)) && time < position->hVal)
        ++next_;
    }
    queue_->QueueEventParamVar(seek ? MEStreamSeeked : MEStreamStarted, GUID_NULL, S_OK, position);
  }
  void Paused() { queue_->QueueEventParamVar(MEStreamPaused, GUID_NULL, S_OK, nullptr); }
  void Stopped() { queue_->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr); }
  void Shutdown() { queue_->Shutdown(); }
  size_t Requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

 private:
  ~ScriptedStream() {
    for (IMFSample* s : samples_) s->Release();
    descriptor_->Release();
    queue_->Release();
  }
  ScriptedSource* source_;  // the source holds the stream
  IMFStreamDescriptor* descriptor_;
  IMFMediaEventQueue* queue_ = nullptr;
  std::mutex lock_;
  std::vector<IMFSample*> samples_;
  size_t next_ = 0;
  size_t requests_ = 0;
};

class ScriptedSource final : public pelplat::ComObject<IMFMediaSource> {
 public:
  // One stream per entry: its media type and its samples (references
  // taken over).
  struct StreamScript {
    IMFMediaType* type;
    std::vector<IMFSample*> samples;
  };
  explicit ScriptedSource(const std::vector<StreamScript>& streams) {
    MFCreateEventQueue(&queue_);
    std::vector<IMFStreamDescriptor*> descriptors;
    for (size_t i = 0; i < streams.size(); ++i) {
      IMFStreamDescriptor* sd = nullptr;
      IMFMediaType* type = streams[i].type;
      MFCreateStreamDescriptor(static_cast<DWORD>(i + 1), 1, &type, &sd);
      type->Release();
      streams_.push_back(new ScriptedStream(this, sd, streams[i].samples));
      descriptors.push_back(sd);
    }
    MFCreatePresentationDescriptor(static_cast<DWORD>(descriptors.size()), descriptors.data(), &descriptor_);
    for (IMFStreamDescriptor* sd : descriptors) sd->Release();
  }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFMediaEventGenerator, IID_IMFMediaSource);
  }
  SESSION_TEST_EVENTS_FROM(queue_)
  HRESULT GetCharacteristics(DWORD* characteristics) override {
    *characteristics = MFMEDIASOURCE_CAN_SEEK | MFMEDIASOURCE_CAN_PAUSE;
    return S_OK;
  }
  HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override {
    return descriptor_->Clone(descriptor);
  }
  HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID*, const PROPVARIANT* position) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    calls_.push_back("start");
    const bool seek = state_ != kStopped;
    ended_ = 0;
    for (size_t i = 0; i < streams_.size(); ++i) {
      BOOL selected = FALSE;
      IMFStreamDescriptor* sd = nullptr;
      descriptor->GetStreamDescriptorByIndex(static_cast<DWORD>(i), &selected, &sd);
      sd->Release();
      if (!selected) continue;
      // A stream announced before is updated, as the platform's sources do.
      queue_->QueueEventParamUnk(announced_ ? MEUpdatedStream : MENewStream, GUID_NULL, S_OK,
                                 static_cast<IMFMediaStream*>(streams_[i]));
      streams_[i]->Started(seek, position);
    }
    announced_ = true;
    state_ = kStarted;
    queue_->QueueEventParamVar(seek ? MESourceSeeked : MESourceStarted, GUID_NULL, S_OK, position);
    return S_OK;
  }
  HRESULT Stop() override {
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    calls_.push_back("stop");
    for (ScriptedStream* s : streams_) s->Stopped();
    state_ = kStopped;
    queue_->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
    return S_OK;
  }
  HRESULT Pause() override {
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    calls_.push_back("pause");
    if (state_ != kStarted) {
      queue_->QueueEventParamVar(MESourcePaused, GUID_NULL, MF_E_INVALID_STATE_TRANSITION, nullptr);
      return S_OK;
    }
    for (ScriptedStream* s : streams_) s->Paused();
    state_ = kPaused;
    queue_->QueueEventParamVar(MESourcePaused, GUID_NULL, S_OK, nullptr);
    return S_OK;
  }
  HRESULT Shutdown() override {
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    shutdown_ = true;
    for (ScriptedStream* s : streams_) s->Shutdown();
    queue_->Shutdown();
    return S_OK;
  }

  void StreamEnded() {
    std::lock_guard<std::mutex> hold(lock_);
    if (++ended_ == streams_.size()) queue_->QueueEventParamVar(MEEndOfPresentation, GUID_NULL, S_OK, nullptr);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }
  IMFPresentationDescriptor* Descriptor() { return descriptor_; }
  ScriptedStream* Stream(size_t i) { return streams_[i]; }

 private:
  enum State { kStopped, kStarted, kPaused };
  ~ScriptedSource() {
    for (ScriptedStream* s : streams_) s->Release();
    descriptor_->Release();
    queue_->Release();
  }
  IMFMediaEventQueue* queue_ = nullptr;
  IMFPresentationDescriptor* descriptor_ = nullptr;
  std::vector<ScriptedStream*> streams_;
  std::mutex lock_;
  State state_ = kStopped;
  bool announced_ = false;
  bool shutdown_ = false;
  size_t ended_ = 0;
  std::vector<std::string> calls_;
};

inline HRESULT ScriptedStream::GetMediaSource(IMFMediaSource** source) {
  *source = source_;
  source_->AddRef();
  return S_OK;
}

inline HRESULT ScriptedStream::RequestSample(IUnknown*) {
  bool ended = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++requests_;
    if (next_ >= samples_.size()) return MF_E_END_OF_STREAM;
    queue_->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, samples_[next_++]);
    if (next_ == samples_.size()) {
      queue_->QueueEventParamVar(MEEndOfStream, GUID_NULL, S_OK, nullptr);
      ended = true;
    }
  }
  if (ended) source_->StreamEnded();
  return S_OK;
}

// The audio renderer's volume control, as far as a test looks at it.
class FakeVolume final : public pelplat::ComObject<IMFAudioStreamVolume> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAudioStreamVolume); }
  HRESULT GetChannelCount(UINT32* count) override {
    *count = 2;
    return S_OK;
  }
  HRESULT SetChannelVolume(UINT32, const float) override { return S_OK; }
  HRESULT GetChannelVolume(UINT32, float* level) override {
    *level = 1.0f;
    return S_OK;
  }
  HRESULT SetAllVolumes(UINT32, const float*) override { return S_OK; }
  HRESULT GetAllVolumes(UINT32, float*) override { return S_OK; }

 private:
  ~FakeVolume() = default;
};

// A media sink with one stream sink, both this object. It accepts one
// major type and subtype, asks for `asksOnStart` samples when the clock
// starts and, when `askAfterEach`, one more after every sample it takes.
class RecordingSink final
    : public pelplat::ComObject<IMFMediaSink, IMFStreamSink, IMFClockStateSink, IMFGetService> {
 public:
  struct Taken {
    LONGLONG time;
    std::vector<uint8_t> bytes;
  };

  RecordingSink(REFGUID major, REFGUID subtype, unsigned asksOnStart, bool askAfterEach, bool volume = false)
      : asksOnStart_(asksOnStart), askAfterEach_(askAfterEach) {
    IMFMediaType* type = TypeOf(major, subtype);
    IMFStreamDescriptor* sd = nullptr;
    MFCreateStreamDescriptor(0, 1, &type, &sd);
    sd->GetMediaTypeHandler(&handler_);
    sd->Release();
    type->Release();
    MFCreateEventQueue(&queue_);
    if (volume) volume_ = new FakeVolume();
  }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IMFStreamSink || riid == IID_IMFMediaEventGenerator)
      return pelplat::Hand<IMFStreamSink>(this, object);
    if (riid == IID_IMFClockStateSink) return pelplat::Hand<IMFClockStateSink>(this, object);
    if (riid == IID_IMFGetService) return pelplat::Hand<IMFGetService>(this, object);
    return Answer(riid, object, IID_IMFMediaSink);
  }

  // ---- media sink ----
  HRESULT GetCharacteristics(DWORD* characteristics) override {
    *characteristics = 0;
    return S_OK;
  }
  HRESULT GetStreamSinkCount(DWORD* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT GetStreamSinkByIndex(DWORD index, IMFStreamSink** stream) override {
    if (index != 0) return MF_E_INVALIDINDEX;
    *stream = this;
    AddRef();
    return S_OK;
  }
  HRESULT GetStreamSinkById(DWORD id, IMFStreamSink** stream) override { return GetStreamSinkByIndex(id, stream); }
  HRESULT SetPresentationClock(IMFPresentationClock* clock) override {
    IMFPresentationClock* old = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      old = clock_;
      clock_ = clock;
      if (clock_) clock_->AddRef();
    }
    if (old) {
      old->RemoveClockStateSink(this);
      old->Release();
    }
    if (clock) clock->AddClockStateSink(this);
    return S_OK;
  }
  HRESULT GetPresentationClock(IMFPresentationClock** clock) override {
    std::lock_guard<std::mutex> hold(lock_);
    *clock = clock_;
    if (!clock_) return MF_E_NO_CLOCK;
    clock_->AddRef();
    return S_OK;
  }
  HRESULT Shutdown() override {
    SetPresentationClock(nullptr);
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    shutdown_ = true;
    queue_->Shutdown();
    Note("shutdown");
    return S_OK;
  }

  // ---- stream sink ----
  SESSION_TEST_EVENTS_FROM(queue_)
  HRESULT GetMediaSink(IMFMediaSink** sink) override {
    *sink = this;
    AddRef();
    return S_OK;
  }
  HRESULT GetIdentifier(DWORD* id) override {
    *id = 0;
    return S_OK;
  }
  HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override {
    *handler = handler_;
    handler_->AddRef();
    return S_OK;
  }
  HRESULT ProcessSample(IMFSample* sample) override {
    LONGLONG time = -1;
    sample->GetSampleTime(&time);
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    taken_.push_back({time, BytesOf(sample)});
    if (askAfterEach_) queue_->QueueEventParamVar(MEStreamSinkRequestSample, GUID_NULL, S_OK, nullptr);
    changed_.notify_all();
    return S_OK;
  }
  HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE type, const PROPVARIANT*, const PROPVARIANT* context) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    Note(type == MFSTREAMSINK_MARKER_ENDOFSEGMENT ? "end-of-segment" : "marker");
    if (holdMarkers_) {
      ++heldMarkers_;
      return S_OK;
    }
    return queue_->QueueEventParamVar(MEStreamSinkMarker, GUID_NULL, S_OK, context);
  }
  HRESULT Flush() override {
    std::lock_guard<std::mutex> hold(lock_);
    Note("flush");
    return S_OK;
  }

  // ---- clock state ----
  HRESULT OnClockStart(MFTIME, LONGLONG) override {
    std::lock_guard<std::mutex> hold(lock_);
    Note("clock-start");
    if (shutdown_) return S_OK;
    queue_->QueueEventParamVar(MEStreamSinkStarted, GUID_NULL, S_OK, nullptr);
    for (unsigned i = 0; i < asksOnStart_; ++i)
      queue_->QueueEventParamVar(MEStreamSinkRequestSample, GUID_NULL, S_OK, nullptr);
    return S_OK;
  }
  HRESULT OnClockStop(MFTIME) override { return Noted("clock-stop"); }
  HRESULT OnClockPause(MFTIME) override { return Noted("clock-pause"); }
  HRESULT OnClockRestart(MFTIME) override { return Noted("clock-restart"); }
  HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

  // ---- services ----
  HRESULT GetService(REFGUID service, REFIID riid, void** object) override {
    *object = nullptr;
    if (service != MR_STREAM_VOLUME_SERVICE || !volume_) return MF_E_UNSUPPORTED_SERVICE;
    return volume_->QueryInterface(riid, object);
  }

  // ---- what the test looks at ----
  std::vector<Taken> TakenSamples() {
    std::lock_guard<std::mutex> hold(lock_);
    return taken_;
  }
  std::vector<std::string> Notes() {
    std::lock_guard<std::mutex> hold(lock_);
    return notes_;
  }
  bool WaitForNote(const std::string& note) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return std::find(notes_.begin(), notes_.end(), note) != notes_.end(); });
  }
  bool WaitForSamples(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return taken_.size() >= count; });
  }
  // Markers stay with the sink, as a renderer keeps them until what came
  // before has played, until ReturnMarkers.
  void HoldMarkers() {
    std::lock_guard<std::mutex> hold(lock_);
    holdMarkers_ = true;
  }
  void ReturnMarkers() {
    std::lock_guard<std::mutex> hold(lock_);
    holdMarkers_ = false;
    for (; heldMarkers_ > 0; --heldMarkers_) queue_->QueueEventParamVar(MEStreamSinkMarker, GUID_NULL, S_OK, nullptr);
  }
  IMFAudioStreamVolume* Volume() { return volume_; }
  IMFMediaType* CurrentType() {
    IMFMediaType* type = nullptr;
    handler_->GetCurrentMediaType(&type);
    return type;
  }

 private:
  ~RecordingSink() {
    if (clock_) clock_->Release();
    if (volume_) volume_->Release();
    handler_->Release();
    queue_->Release();
  }
  void Note(const char* what) {
    notes_.push_back(what);
    changed_.notify_all();
  }
  HRESULT Noted(const char* what) {
    std::lock_guard<std::mutex> hold(lock_);
    Note(what);
    return S_OK;
  }

  const unsigned asksOnStart_;
  const bool askAfterEach_;
  IMFMediaTypeHandler* handler_ = nullptr;
  IMFMediaEventQueue* queue_ = nullptr;
  FakeVolume* volume_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  IMFPresentationClock* clock_ = nullptr;
  bool shutdown_ = false;
  bool holdMarkers_ = false;
  int heldMarkers_ = 0;
  std::vector<Taken> taken_;
  std::vector<std::string> notes_;
};

// An activation object that makes (hands out) a given sink and shuts it
// down on ShutdownObject.
class SinkActivate final : public pelplat::ComObject<IMFActivate> {
 public:
  explicit SinkActivate(RecordingSink* sink) : sink_(sink) {
    sink_->AddRef();
    MFCreateAttributes(&attributes_, 1);
  }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFActivate);
  }
  HRESULT GetUINT32(REFGUID key, UINT32* v) override { return attributes_->GetUINT32(key, v); }
  HRESULT GetUINT64(REFGUID key, UINT64* v) override { return attributes_->GetUINT64(key, v); }
  HRESULT GetGUID(REFGUID key, GUID* v) override { return attributes_->GetGUID(key, v); }
  HRESULT GetBlobSize(REFGUID key, UINT32* v) override { return attributes_->GetBlobSize(key, v); }
  HRESULT GetBlob(REFGUID key, UINT8* b, UINT32 s, UINT32* w) override { return attributes_->GetBlob(key, b, s, w); }
  HRESULT SetUINT32(REFGUID key, UINT32 v) override { return attributes_->SetUINT32(key, v); }
  HRESULT SetUINT64(REFGUID key, UINT64 v) override { return attributes_->SetUINT64(key, v); }
  HRESULT SetGUID(REFGUID key, REFGUID v) override { return attributes_->SetGUID(key, v); }
  HRESULT SetBlob(REFGUID key, const UINT8* b, UINT32 s) override { return attributes_->SetBlob(key, b, s); }
  HRESULT DeleteItem(REFGUID key) override { return attributes_->DeleteItem(key); }
  HRESULT GetCount(UINT32* c) override { return attributes_->GetCount(c); }
  HRESULT CopyAllItems(IMFAttributes* d) override { return attributes_->CopyAllItems(d); }
  HRESULT ActivateObject(REFIID riid, void** object) override {
    ++activations_;
    return sink_->QueryInterface(riid, object);
  }
  HRESULT ShutdownObject() override {
    ++shutdowns_;
    sink_->Shutdown();
    return S_OK;
  }
  HRESULT DetachObject() override { return S_OK; }
  int Activations() const { return activations_; }
  int Shutdowns() const { return shutdowns_; }

 private:
  ~SinkActivate() {
    sink_->Release();
    attributes_->Release();
  }
  RecordingSink* sink_;
  IMFAttributes* attributes_ = nullptr;
  std::atomic<int> activations_{0};
  std::atomic<int> shutdowns_{0};
};

// Listens to the session's events from the start and keeps them in order.
class SessionEvents final : public pelplat::ComObject<IMFAsyncCallback> {
 public:
  struct Event {
    MediaEventType type;
    HRESULT status;
    UINT32 topologyStatus;  // MF_EVENT_TOPOLOGY_STATUS, 0 without
    bool operator==(const Event& o) const {
      return type == o.type && status == o.status && topologyStatus == o.topologyStatus;
    }
  };
  explicit SessionEvents(IMFMediaSession* session) : session_(session) {
    session_->AddRef();
    session_->BeginGetEvent(this, nullptr);
  }
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAsyncCallback); }
  HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Invoke(IMFAsyncResult* result) override {
    IMFMediaEvent* event = nullptr;
    if (FAILED(session_->EndGetEvent(result, &event))) return S_OK;
    Event e{};
    event->GetType(&e.type);
    event->GetStatus(&e.status);
    event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &e.topologyStatus);
    event->Release();
    {
      std::lock_guard<std::mutex> hold(lock_);
      events_.push_back(e);
    }
    arrived_.notify_all();
    if (e.type != MESessionClosed) session_->BeginGetEvent(this, nullptr);
    return S_OK;
  }

  // Waits until `count` events of the type have come.
  bool WaitFor(MediaEventType type, size_t count = 1) {
    std::unique_lock<std::mutex> hold(lock_);
    return arrived_.wait_for(hold, kBound, [&] { return Count(type) >= count; });
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
  }
  size_t CountOf(MediaEventType type) {
    std::lock_guard<std::mutex> hold(lock_);
    return Count(type);
  }

 private:
  ~SessionEvents() { session_->Release(); }
  size_t Count(MediaEventType type) const {
    return static_cast<size_t>(
        std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.type == type; }));
  }
  IMFMediaSession* session_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<Event> events_;
};

}  // namespace session_test
