#include "mmredir/VrMFSource.h"

#include <new>

#include "pelplat/mfsession.h"
#include "sys/klog.h"

// ---- CVrMFSourceEvent -----------------------------------------------------

CVrMFSourceEvent::CVrMFSourceEvent(VrSourceEvent type) : type_(type) { PropVariantInit(&data_); }

CVrMFSourceEvent::~CVrMFSourceEvent() { PropVariantClear(&data_); }

HRESULT CVrMFSourceEvent::Create(VrSourceEvent type, IVrMFSourceEvent** event) {
  if (!event) return E_POINTER;
  *event = new (std::nothrow) CVrMFSourceEvent(type);
  return *event ? S_OK : E_OUTOFMEMORY;
}

HRESULT CVrMFSourceEvent::CreateVrStartEvent(IMFPresentationDescriptor* descriptor, IVrMFSourceEvent** event) {
  const HRESULT hr = Create(VR_SOURCE_START, event);
  if (SUCCEEDED(hr)) (*event)->SetUnknown(descriptor);
  return hr;
}

HRESULT CVrMFSourceEvent::SetData(const PROPVARIANT* start, bool seek) {
  seek_ = seek;
  PropVariantClear(&data_);
  return start ? PropVariantCopy(&data_, start) : S_OK;
}

HRESULT CVrMFSourceEvent::SetUnknown(IUnknown* object) {
  object_ = pelplat::Ref<IUnknown>::Share(object);
  return 0;
}

HRESULT CVrMFSourceEvent::GetUnknown(IUnknown** object) {
  if (!object) return E_POINTER;
  if (object_) object_.copyTo(object);
  return S_OK;
}

// ---- CVrMFSource ------------------------------------------------------------

HRESULT CVrMFSource::CreateInstance(CVrMFSource** source) {
  if (!source) return E_POINTER;
  *source = nullptr;
  CVrMFSource* made = new (std::nothrow) CVrMFSource();
  if (!made) return E_OUTOFMEMORY;
  const HRESULT hr = MFCreateEventQueue(made->events_.out());
  if (FAILED(hr)) {
    made->Release();
    return hr;
  }
  *source = made;
  return S_OK;
}

HRESULT CreateVrMFSource(IVrRdpMediaSource** source) {
  if (!source) return E_POINTER;
  CVrMFSource* made = nullptr;
  const HRESULT hr = CVrMFSource::CreateInstance(&made);
  *source = made;
  return hr;
}

CVrMFSource::~CVrMFSource() {
  std::vector<CVrMFStream*> streams;
  pelplat::Ref<IMFMediaEventQueue> events;
  pelplat::Ref<IMFPresentationDescriptor> descriptor;
  {
    std::lock_guard<std::mutex> hold(lock_);
    streams.swap(streams_);
    events.swap(events_);
    descriptor.swap(descriptor_);
  }
  for (auto it = streams.rbegin(); it != streams.rend(); ++it) (*it)->Release();
  events.reset();
}

HRESULT CVrMFSource::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IMFAsyncCallback) return pelplat::Hand<IMFAsyncCallback>(this, object);
  return Answer(riid, object, IID_IMFMediaEventGenerator, IID_IMFMediaSource);
}

// The event queue never changes while the source lives, and it answers
// MF_E_SHUTDOWN itself once shut down, so these calls take no lock: a
// stream may report a failure while its own thread holds the source lock.
#define SOURCE_EVENT_CALL(method, call)                              \
  if (state_.load() == kShutdown) {                                  \
    LogMessageA("CVrMFSource::" method ":  in shutdown state\n");    \
    return MF_E_SHUTDOWN;                                            \
  }                                                                  \
  if (!events_) return S_OK;                                         \
  return events_->call

HRESULT CVrMFSource::GetEvent(DWORD flags, IMFMediaEvent** event) {
  SOURCE_EVENT_CALL("GetEvent", GetEvent(flags, event));
}
HRESULT CVrMFSource::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  SOURCE_EVENT_CALL("BeginGetEvent", BeginGetEvent(callback, state));
}
HRESULT CVrMFSource::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  SOURCE_EVENT_CALL("EndGetEvent", EndGetEvent(result, event));
}
HRESULT CVrMFSource::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                const PROPVARIANT* value) {
  SOURCE_EVENT_CALL("QueueEvent", QueueEventParamVar(type, extendedType, status, value));
}
#undef SOURCE_EVENT_CALL

HRESULT CVrMFSource::GetCharacteristics(DWORD* characteristics) {
  if (!characteristics) return E_POINTER;
  if (state_.load() == kShutdown) return MF_E_SHUTDOWN;
  *characteristics = MFMEDIASOURCE_CAN_SEEK | MFMEDIASOURCE_CAN_PAUSE;
  return S_OK;
}

HRESULT CVrMFSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  if (!descriptor) {
    LogMessageA("CVrMFSource::CreatePresentationDescriptor:  input parameter is NULL\n");
    return E_POINTER;
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (state_.load() == kShutdown) {
    LogMessageA("CVrMFSource::CreatePresentationDescriptor:  shutdown state.\n");
    return MF_E_SHUTDOWN;
  }
  if (!descriptor_) return MF_E_NOT_INITIALIZED;
  return descriptor_->Clone(descriptor);
}

HRESULT CVrMFSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                           const PROPVARIANT* position) {
  if (!position || !descriptor) return E_INVALIDARG;
  if ((timeFormat && *timeFormat != GUID_NULL) || (position->vt != VT_I8 && position->vt != VT_EMPTY)) {
    LogMessageA("CVrMFSource::Start:  MF_E_UNSUPPORTED_TIME_FORMAT\n");
    return MF_E_UNSUPPORTED_TIME_FORMAT;
  }
  IVrMFSourceEvent* event = nullptr;
  HRESULT hr = CVrMFSourceEvent::CreateVrStartEvent(descriptor, &event);
  if (FAILED(hr)) return hr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const int32_t state = state_.load();
    if (state == kShutdown) {
      LogMessageA("CVrMFSource::Start:  MF_E_SHUTDOWN\n");
      hr = MF_E_SHUTDOWN;
    } else if (state == kCreated) {
      LogMessageA("CVrMFSource::Start:  MF_E_NOT_INITIALIZED State[%d]\n", state);
      hr = MF_E_NOT_INITIALIZED;
    } else {
      hr = event->SetData(position, state == kPaused || state == kStarted);
      if (FAILED(hr)) {
        LogMessageA("CVrMFSource::Start:  pVrStartEvent->SetData failed[0x%x]\n", static_cast<unsigned>(hr));
      } else {
        hr = MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, static_cast<IMFAsyncCallback*>(this), event);
        if (FAILED(hr)) LogMessageA("CVrMFSource::Start: MFPutWorkItem failed[0x%x]\n", static_cast<unsigned>(hr));
      }
    }
  }
  // Every way out drops the creation reference; a queued item holds its own.
  event->Release();
  return hr;
}

HRESULT CVrMFSource::PutEvent(VrSourceEvent type) {
  IVrMFSourceEvent* event = nullptr;
  if (FAILED(CVrMFSourceEvent::Create(type, &event))) return E_OUTOFMEMORY;
  const HRESULT hr = MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, static_cast<IMFAsyncCallback*>(this), event);
  event->Release();
  return hr;
}

HRESULT CVrMFSource::Pause() {
  std::lock_guard<std::mutex> hold(lock_);
  if (state_.load() == kShutdown) return MF_E_SHUTDOWN;
  return PutEvent(VR_SOURCE_PAUSE);
}

HRESULT CVrMFSource::Stop() {
  std::lock_guard<std::mutex> hold(lock_);
  const int32_t state = state_.load();
  if (state == kShutdown) return MF_E_SHUTDOWN;
  if (state == kCreated) return MF_E_NOT_INITIALIZED;
  return PutEvent(VR_SOURCE_STOP);
}

HRESULT CVrMFSource::Shutdown() {
  std::lock_guard<std::mutex> hold(lock_);
  if (state_.load() == kShutdown) {
    LogMessageA("CVrMFSource::Shutdown:  already in shutdown state (MF_E_SHUTDOWN)\n");
    return MF_E_SHUTDOWN;
  }
  // The caller holds a reference of its own, so the streams dropping theirs
  // on the source here cannot destroy it.
  for (CVrMFStream* stream : streams_) {
    stream->Shutdown();
    stream->Release();
  }
  streams_.clear();
  if (events_) events_->Shutdown();
  state_ = kShutdown;
  return S_OK;
}

HRESULT CVrMFSource::AppendStream(CVrMFStream* stream) {
  if (!stream) return E_INVALIDARG;
  const DWORD id = stream->GetStreamId();
  std::lock_guard<std::mutex> hold(lock_);
  for (CVrMFStream* listed : streams_)
    if (listed->GetStreamId() == id) return E_UNEXPECTED;
  if (streams_.size() >= kMaxStreams) {
    LogMessageA("CVrMFSource::AppendStream: a presentation carries at most %u streams; stream [0x%x] refused\n",
                static_cast<unsigned>(kMaxStreams), static_cast<unsigned>(id));
    return MF_E_INVALIDSTREAMNUMBER;
  }
  stream->AddRef();
  streams_.push_back(stream);
  return S_OK;
}

CVrMFStream* CVrMFSource::FindStream(DWORD streamId) {
  std::lock_guard<std::mutex> hold(lock_);
  for (CVrMFStream* stream : streams_)
    if (stream->GetStreamId() == streamId) {
      stream->AddRef();
      return stream;
    }
  return nullptr;
}

HRESULT CVrMFSource::Open() { return OnOpenEvent(); }

HRESULT CVrMFSource::OnOpenEvent() {
  const HRESULT hr = BuildPresentationDescriptor();
  if (SUCCEEDED(hr)) {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_.load() != kShutdown) state_ = kStopped;
  }
  return hr;
}

HRESULT CVrMFSource::BuildPresentationDescriptor() {
  std::vector<IMFStreamDescriptor*> built;
  HRESULT hr = S_OK;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (streams_.empty()) return E_UNEXPECTED;
    if (streams_.size() > kMaxStreams) return E_UNEXPECTED;  // AppendStream keeps this from happening
    for (DWORD i = 0; i < streams_.size(); ++i) {
      IMFStreamDescriptor* sd = nullptr;
      hr = CreateStream(i, streams_[i], &sd);
      if (FAILED(hr)) {
        LogMessageA("CVrMFSource::CreatePresentationDescriptor:  CreateStream failed [0x%x] iIndex[%d]\n",
                    static_cast<unsigned>(hr), static_cast<int>(i));
        break;
      }
      built.push_back(sd);
    }
    IMFPresentationDescriptor* made = nullptr;
    if (SUCCEEDED(hr)) {
      hr = MFCreatePresentationDescriptor(static_cast<DWORD>(built.size()), built.data(), &made);
      if (FAILED(hr))
        LogMessageA("CVrMFSource::CreatePresentationDescriptor:  MFCreatePresentationDescriptor failed [0x%x]\n",
                    static_cast<unsigned>(hr));
    }
    if (SUCCEEDED(hr)) {
      descriptor_ = pelplat::Ref<IMFPresentationDescriptor>(made);
      for (DWORD i = 0; i < built.size(); ++i) {
        hr = descriptor_->SelectStream(i);
        if (FAILED(hr)) {
          LogMessageA("CVrMFSource::CreatePresentationDescriptor:  SelectStream(%d) failed [0x%x]\n",
                      static_cast<int>(i), static_cast<unsigned>(hr));
          break;
        }
      }
    }
  }
  for (IMFStreamDescriptor* sd : built) sd->Release();
  return hr;
}

HRESULT CVrMFSource::CreateStream(DWORD index, CVrMFStream* stream, IMFStreamDescriptor** descriptor) {
  IMFMediaType* type = nullptr;
  HRESULT hr = stream->GetMediaType(&type);
  if (FAILED(hr)) return hr;
  IMFStreamDescriptor* sd = nullptr;
  IMFMediaTypeHandler* handler = nullptr;
  hr = MFCreateStreamDescriptor(index + 1, 1, &type, &sd);
  if (SUCCEEDED(hr)) hr = sd->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(type);
  if (SUCCEEDED(hr)) {
    AddRef();  // passes to the stream
    hr = stream->Initialize(static_cast<IVrMFStreamOwner*>(this), sd);
    if (FAILED(hr)) {
      Release();
      LogMessageA("CVrMFSource::CreateStream:  - Initialize stream failed[0x%x]\n", static_cast<unsigned>(hr));
    }
  }
  if (handler) handler->Release();
  type->Release();
  if (SUCCEEDED(hr)) {
    *descriptor = sd;
  } else if (sd) {
    sd->Release();
  }
  return hr;
}

HRESULT CVrMFSource::Invoke(IMFAsyncResult* result) {
  if (!result) {
    LogMessageA("CVrMFSource::Invoke:  input parameter is null\n");
    return S_OK;
  }
  IUnknown* state = nullptr;
  HRESULT hr = result->GetState(&state);
  if (FAILED(hr)) {
    LogMessageA("CVrMFSource::Invoke: GetState FAILED [0x%x]\n", static_cast<unsigned>(hr));
    return hr;
  }
  IVrMFSourceEvent* event = nullptr;
  hr = state->QueryInterface(IID_IVrMFSourceEvent, reinterpret_cast<void**>(&event));
  if (FAILED(hr)) {
    LogMessageA("CVrMFSource::Invoke: Query Interface IVrMFSourceEvent FAILED [0x%x]\n", static_cast<unsigned>(hr));
    state->Release();
    return hr;
  }
  const VrSourceEvent type = event->GetType();
  if (state_.load() == kShutdown) {
    LogMessageA("CVrMFSource::Invoke: in shutdown state - Event[%d].\n", static_cast<int>(type));
    hr = MF_E_SHUTDOWN;
  } else {
    switch (type) {
      case VR_SOURCE_OPEN:
        hr = OnOpenEvent();
        break;
      case VR_SOURCE_START:
        hr = OnStartEvent(event);
        break;
      case VR_SOURCE_PAUSE:
        hr = OnPauseEvent();
        break;
      case VR_SOURCE_STOP:
        hr = OnStopEvent();
        break;
      case VR_SOURCE_NEED_MORE_SAMPLE:
        hr = OnNeedMoreSampleEvent();
        break;
      case VR_SOURCE_END_OF_STREAM:
        hr = OnEndOfStreamEvent(event);
        break;
      case VR_SOURCE_CLOSE:
        hr = OnClose();
        break;
      default:
        LogMessageA("CVrMFSource::Invoke:  unknown event [%d]\n", static_cast<int>(type));
        hr = S_OK;
        break;
    }
  }
  event->Release();
  state->Release();
  return hr;
}

HRESULT CVrMFSource::SendSourceEvent(VrSourceEvent type, DWORD streamId, DWORD workQueue) {
  IVrMFSourceEvent* event = nullptr;
  HRESULT hr = CVrMFSourceEvent::Create(type, &event);
  if (FAILED(hr)) return hr;
  event->SetStreamId(streamId);
  // The work item holds counted references on the source and the event
  // until it has run.
  hr = MFPutWorkItem(workQueue, static_cast<IMFAsyncCallback*>(this), event);
  event->Release();
  return hr;
}

HRESULT CVrMFSource::OnStartEvent(IVrMFSourceEvent* event) {
  const bool seek = event->IsSeek();
  const PROPVARIANT* start = event->GetData();
  const MediaEventType reported = seek ? MESourceSeeked : MESourceStarted;
  IUnknown* object = nullptr;
  IMFPresentationDescriptor* descriptor = nullptr;
  HRESULT hr = event->GetUnknown(&object);
  if (SUCCEEDED(hr))
    hr = object ? object->QueryInterface(IID_IMFPresentationDescriptor, reinterpret_cast<void**>(&descriptor))
                : E_INVALIDARG;
  if (object) object->Release();
  if (SUCCEEDED(hr)) hr = ActivateStreams(descriptor, start, seek);
  if (SUCCEEDED(hr)) {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_.load() == kShutdown) {
      hr = MF_E_SHUTDOWN;
    } else {
      state_ = kStarted;
      hr = events_->QueueEventParamVar(reported, GUID_NULL, S_OK, start);
    }
  }
  if (FAILED(hr)) events_->QueueEventParamVar(reported, GUID_NULL, hr, nullptr);
  if (descriptor) descriptor->Release();
  return hr;
}

HRESULT CVrMFSource::ActivateStreams(IMFPresentationDescriptor* descriptor, const PROPVARIANT* start, bool seek) {
  std::lock_guard<std::mutex> hold(lock_);
  // A Shutdown that came after Invoke looked at the state wins.
  if (state_.load() == kShutdown) return MF_E_SHUTDOWN;
  // The count restarts before any stream starts: a stream whose end is
  // already known reports it from SetStart, and its END_OF_STREAM handler
  // may run on another thread before this start has finished.
  endOfStreamCount_ = 0;
  const size_t count = streams_.size();
  for (size_t i = 0; i < count; ++i) {
    CVrMFStream* stream = streams_[i];
    if (!stream) return E_UNEXPECTED;
    BOOL selected = FALSE;
    IMFStreamDescriptor* sd = nullptr;
    HRESULT hr = descriptor->GetStreamDescriptorByIndex(static_cast<DWORD>(i), &selected, &sd);
    DWORD id = 0;
    if (SUCCEEDED(hr)) hr = sd->GetStreamIdentifier(&id);
    if (sd) sd->Release();
    if (FAILED(hr)) return hr;
    const bool wasActive = stream->IsActive();
    stream->Activate(selected != FALSE);
    if (!selected) continue;
    // A failure to announce the stream does not stop the start.
    events_->QueueEventParamUnk(wasActive ? MEUpdatedStream : MENewStream, GUID_NULL, S_OK,
                                static_cast<IMFMediaStream*>(stream));
    hr = stream->SetStart(*start, seek);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Pauses or stops every active stream under the source lock, moves the
// source to the next state when all passed, and tells the session the
// overall result.
HRESULT CVrMFSource::ChangeActiveStreams(HRESULT (CVrMFStream::*step)(), State next, MediaEventType answer) {
  HRESULT hr = S_OK;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const int32_t state = state_.load();
    if (state == kShutdown)
      hr = MF_E_SHUTDOWN;
    else if (next == kPaused && state != kStarted)
      hr = MF_E_INVALID_STATE_TRANSITION;
    for (auto it = streams_.begin(); SUCCEEDED(hr) && it != streams_.end(); ++it) {
      if (!*it) hr = E_UNEXPECTED;
      else if ((*it)->IsActive()) hr = ((*it)->*step)();
    }
    if (SUCCEEDED(hr)) state_ = next;
  }
  events_->QueueEventParamVar(answer, GUID_NULL, hr, nullptr);
  return hr;
}

HRESULT CVrMFSource::OnPauseEvent() { return ChangeActiveStreams(&CVrMFStream::SetPause, kPaused, MESourcePaused); }

HRESULT CVrMFSource::OnStopEvent() { return ChangeActiveStreams(&CVrMFStream::SetStop, kStopped, MESourceStopped); }

std::vector<CVrMFStream*> CVrMFSource::TakeStreams() {
  std::lock_guard<std::mutex> hold(lock_);
  for (CVrMFStream* stream : streams_)
    if (stream) stream->AddRef();
  return streams_;
}

void CVrMFSource::DropStreams(std::vector<CVrMFStream*>& streams) {
  for (CVrMFStream* stream : streams)
    if (stream) stream->Release();
  streams.clear();
}

// Pulls queued server samples into the streams that want them. A pass that
// obtains nothing ends the pull: a stream still short of samples asks again
// when the server's next sample reaches it (CVrMFStream::OnSample), so a
// starved stream never keeps a work-queue thread busy.
HRESULT CVrMFSource::OnNeedMoreSampleEvent() {
  for (;;) {
    ++pullPasses_;
    std::vector<CVrMFStream*> streams = TakeStreams();
    bool obtained = false;
    HRESULT hr = S_OK;
    for (CVrMFStream* stream : streams) {
      if (!stream) {
        hr = E_UNEXPECTED;
        break;
      }
      if (!stream->NeedsMoreSamples()) continue;
      IMFSample* sample = nullptr;
      hr = stream->GetNextSample(&sample);
      if (SUCCEEDED(hr) && sample) {
        obtained = true;
        hr = stream->DeliverSample(sample);
      }
      if (FAILED(hr)) break;
    }
    DropStreams(streams);
    if (FAILED(hr)) {
      QueueEvent(MEError, GUID_NULL, hr, nullptr);
      return hr;
    }
    if (!obtained) return S_OK;
  }
}

HRESULT CVrMFSource::OnEndOfStreamEvent(IVrMFSourceEvent* event) {
  const DWORD id = event->GetStreamId();
  CVrMFStream* stream = FindStream(id);
  if (stream) {
    stream->SetEndOfStream();
    stream->Release();
  } else {
    LogMessageA("CVrMFSource::OnEndOfStreamEvent:  stream [0x%x] does not exits\n", static_cast<unsigned>(id));
  }
  std::lock_guard<std::mutex> hold(lock_);
  ++endOfStreamCount_;
  if (static_cast<size_t>(endOfStreamCount_) != streams_.size()) return S_OK;
  const HRESULT hr = events_->QueueEventParamVar(MEEndOfPresentation, GUID_NULL, S_OK, nullptr);
  if (FAILED(hr)) {
    LogMessageA(
        "CVrMFSource::OnEndOfStreamEvent:  IMFMediaEventQueue->QueueEventParamVar(MEEndOfPresentation, ...) failed "
        "[0x%x]\n",
        static_cast<unsigned>(hr));
    return hr;
  }
  return S_OK;
}

HRESULT CVrMFSource::OnClose() {
  LogMessageA("CVrMFSource::OnClose:  !!!!! \n");
  return S_OK;
}
