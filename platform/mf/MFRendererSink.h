// What the platform's two renderers share: one object that is the media
// sink, its only stream sink (id 0), that stream's media type handler, the
// clock state sink it registers with the presentation clock and the
// service lookup. One reference count serves every interface. Events are
// queued on the stream sink's event queue, never while the renderer's own
// lock is held.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/mferror.h"
#include "pelplat/mfsession.h"

namespace pelplat_mf {

using pelplat::ComObject;
using pelplat::Ref;

// The sink has a fixed set of streams.
constexpr DWORD kMediaSinkFixedStreams = 0x1;

// {5e0f6c11-8a43-4d2b-9a61-2f7c3b8d4e90}: the platform's own look at a
// renderer's counters (MFGetRendererStats).
PELPLAT_GUID(IID_PelplatRendererStats, 0x5e0f6c11, 0x8a43, 0x4d2b, 0x9a, 0x61, 0x2f, 0x7c, 0x3b, 0x8d, 0x4e, 0x90);
struct IPelplatRendererStats : IUnknown {
  virtual void GetStats(MFRendererStats* stats) = 0;

 protected:
  ~IPelplatRendererStats() = default;
};

class RendererSink : public ComObject<IMFMediaSink, IMFStreamSink, IMFMediaTypeHandler, IMFClockStateSink,
                                      IMFGetService, IPelplatRendererStats> {
 public:
  RendererSink() { MFCreateEventQueue(events_.out()); }

  // ---- IUnknown
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFMediaSink)
      *object = static_cast<IMFMediaSink*>(this);
    else if (riid == IID_IMFStreamSink || riid == IID_IMFMediaEventGenerator)
      *object = static_cast<IMFStreamSink*>(this);
    else if (riid == IID_IMFMediaTypeHandler)
      *object = static_cast<IMFMediaTypeHandler*>(this);
    else if (riid == IID_IMFClockStateSink)
      *object = static_cast<IMFClockStateSink*>(this);
    else if (riid == IID_IMFGetService)
      *object = static_cast<IMFGetService*>(this);
    else if (riid == IID_PelplatRendererStats)
      *object = static_cast<IPelplatRendererStats*>(this);
    else
      *object = OtherInterface(riid);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  // ---- IMFMediaSink
  HRESULT GetCharacteristics(DWORD* characteristics) override {
    if (!characteristics) return E_POINTER;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *characteristics = kMediaSinkFixedStreams;
    return S_OK;
  }
  HRESULT GetStreamSinkCount(DWORD* count) override {
    if (!count) return E_POINTER;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *count = 1;
    return S_OK;
  }
  HRESULT GetStreamSinkByIndex(DWORD index, IMFStreamSink** stream) override {
    return index == 0 ? OwnStream(stream) : (stream ? (*stream = nullptr, MF_E_INVALIDINDEX) : E_POINTER);
  }
  HRESULT GetStreamSinkById(DWORD id, IMFStreamSink** stream) override {
    return id == 0 ? OwnStream(stream) : (stream ? (*stream = nullptr, MF_E_INVALIDSTREAMNUMBER) : E_POINTER);
  }
  HRESULT SetPresentationClock(IMFPresentationClock* clock) override {
    Ref<IMFPresentationClock> old = Ref<IMFPresentationClock>::Share(clock);
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      clock_.swap(old);
    }
    // The clock calls its sinks under a lock of its own: it is never called
    // under ours.
    if (old) old->RemoveClockStateSink(this);
    old.reset();
    return clock ? clock->AddClockStateSink(this) : S_OK;
  }
  HRESULT GetPresentationClock(IMFPresentationClock** clock) override {
    if (!clock) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *clock = clock_.get();
    if (shutDown_) return MF_E_SHUTDOWN;
    if (!clock_) return MF_E_NO_CLOCK;
    return clock_.copyTo(clock);
  }
  HRESULT Shutdown() override {
    Ref<IMFPresentationClock> clock;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutDown_) return MF_E_SHUTDOWN;
      shutDown_ = true;
      clock.swap(clock_);
    }
    if (clock) clock->RemoveClockStateSink(this);
    clock.reset();
    StopRendering();
    if (events_) events_->Shutdown();
    Ref<IMFMediaType> type;  // released outside the lock
    {
      std::lock_guard<std::mutex> hold(lock_);
      type.swap(type_);
    }
    return S_OK;
  }

  // ---- IMFMediaEventGenerator (the stream sink's events)
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override {
    return events_ ? events_->GetEvent(flags, event) : E_OUTOFMEMORY;
  }
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return events_ ? events_->BeginGetEvent(callback, state) : E_OUTOFMEMORY;
  }
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return events_ ? events_->EndGetEvent(result, event) : E_OUTOFMEMORY;
  }
  HRESULT QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return events_ ? events_->QueueEventParamVar(type, extended, status, value) : E_OUTOFMEMORY;
  }

  // ---- IMFStreamSink (ProcessSample, PlaceMarker and Flush are the renderer's)
  HRESULT GetMediaSink(IMFMediaSink** sink) override {
    if (!sink) return E_POINTER;
    *sink = nullptr;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *sink = static_cast<IMFMediaSink*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT GetIdentifier(DWORD* id) override {
    if (!id) return E_POINTER;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *id = 0;
    return S_OK;
  }
  HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override {
    if (!handler) return E_POINTER;
    *handler = nullptr;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *handler = static_cast<IMFMediaTypeHandler*>(this);
    AddRef();
    return S_OK;
  }

  // ---- IMFMediaTypeHandler
  HRESULT IsMediaTypeSupported(IMFMediaType* type, IMFMediaType** closest) override {
    if (closest) *closest = nullptr;
    if (!type) return E_POINTER;
    return Accepts(type) ? S_OK : MF_E_INVALIDMEDIATYPE;
  }
  HRESULT GetMediaTypeCount(DWORD* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** type) override {
    if (!type) return E_POINTER;
    *type = nullptr;
    if (index > 0) return MF_E_NO_MORE_TYPES;
    return OfferedType(type);
  }
  HRESULT SetCurrentMediaType(IMFMediaType* type) override {
    if (!type) return E_POINTER;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    if (!Accepts(type)) return MF_E_INVALIDMEDIATYPE;
    const HRESULT hr = TakeType(type);
    if (FAILED(hr)) return hr;
    Ref<IMFMediaType> old = Ref<IMFMediaType>::Share(type);
    {
      std::lock_guard<std::mutex> hold(lock_);
      type_.swap(old);
    }
    // The old type goes outside the lock.
    return S_OK;
  }
  HRESULT GetCurrentMediaType(IMFMediaType** type) override {
    if (!type) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    type_.copyTo(type);
    return type_ ? S_OK : MF_E_NOT_INITIALIZED;
  }
  HRESULT GetMajorType(GUID* major) override {
    if (!major) return E_POINTER;
    *major = MajorType();
    return S_OK;
  }

  void GetStats(MFRendererStats* stats) override {
    std::lock_guard<std::mutex> hold(lock_);
    *stats = stats_;
  }

  // ---- IMFGetService
  HRESULT GetService(REFGUID service, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    if (!OffersService(service)) return MF_E_UNSUPPORTED_SERVICE;
    return QueryInterface(riid, object);
  }

 protected:
  // The members then let go of the clock, the type and the queue, in
  // that order.
  virtual ~RendererSink() {
    if (events_) events_->Shutdown();
  }

  // The renderer's control interfaces, beyond the shared ones.
  virtual void* OtherInterface(REFIID riid) = 0;
  virtual bool OffersService(REFGUID service) = 0;
  virtual bool Accepts(IMFMediaType* type) = 0;
  virtual HRESULT OfferedType(IMFMediaType** type) = 0;
  // Takes in a type Accepts said yes to.
  virtual HRESULT TakeType(IMFMediaType* type) = 0;
  virtual GUID MajorType() = 0;
  // Ends the renderer's thread or device; called once, without the lock.
  virtual void StopRendering() = 0;

  bool IsShutDown() {
    std::lock_guard<std::mutex> hold(lock_);
    return shutDown_;
  }
  // The clock, or null.
  Ref<IMFPresentationClock> Clock() {
    std::lock_guard<std::mutex> hold(lock_);
    return clock_;
  }
  void Send(MediaEventType type, HRESULT status = S_OK, const PROPVARIANT* value = nullptr) {
    if (events_) events_->QueueEventParamVar(type, GUID_NULL, status, value);
  }
  void SendRequests(int count) {
    for (int i = 0; i < count; ++i) Send(MEStreamSinkRequestSample);
  }

  // A marker waiting for what went before it.
  struct Marker {
    MFSTREAMSINK_MARKER_TYPE type = MFSTREAMSINK_MARKER_DEFAULT;
    PROPVARIANT context{};
  };
  static bool MakeMarker(MFSTREAMSINK_MARKER_TYPE type, const PROPVARIANT* context, Marker* marker) {
    marker->type = type;
    PropVariantInit(&marker->context);
    return !context || SUCCEEDED(PropVariantCopy(&marker->context, context));
  }
  // Sends the marker's event (status E_ABORT for a flushed one) and frees it.
  void SendMarker(Marker& marker, HRESULT status) {
    Send(MEStreamSinkMarker, status, marker.context.vt == VT_EMPTY ? nullptr : &marker.context);
    PropVariantClear(&marker.context);
  }

  std::mutex lock_;
  bool shutDown_ = false;
  MFRendererStats stats_;  // under lock_

 private:
  HRESULT OwnStream(IMFStreamSink** stream) {
    if (!stream) return E_POINTER;
    *stream = nullptr;
    if (IsShutDown()) return MF_E_SHUTDOWN;
    *stream = static_cast<IMFStreamSink*>(this);
    AddRef();
    return S_OK;
  }

  // Declared so that they go in the order clock, type, queue.
  Ref<IMFMediaEventQueue> events_;
  Ref<IMFMediaType> type_;
  Ref<IMFPresentationClock> clock_;
};

// An activation object that makes its renderer with `factory` on the first
// ActivateObject (handing it the object's attributes) and shuts it down at
// ShutdownObject.
HRESULT NewRendererActivate(IMFMediaSink* (*factory)(HWND, IMFAttributes*), HWND window, IMFActivate** activate);

}  // namespace pelplat_mf
