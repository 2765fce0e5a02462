// The media source of one redirected presentation. Every state change and
// every pull of the server's samples into the streams runs as a work item
// on a Media Foundation work queue (state changes on the multithreaded
// queue, pulls on the standard one); the media session learns what
// happened from the standard source and stream events.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "mmredir/VrMFStream.h"
#include "mmredir/VrRdpMediaSource.h"
#include "pelplat/comobject.h"

// {4CCBE3BB-0E68-4BA3-957D-E77E30FA7FEE}
PELPLAT_GUID(IID_IVrMFSourceEvent, 0x4CCBE3BB, 0x0E68, 0x4BA3, 0x95, 0x7D, 0xE7, 0x7E, 0x30, 0xFA, 0x7F, 0xEE);

// One work item of the source.
struct IVrMFSourceEvent : IUnknown {
  virtual ~IVrMFSourceEvent() = default;
  virtual bool IsSeek() = 0;
  virtual DWORD GetStreamId() = 0;
  // Keeps the seek flag and a copy of the start position.
  virtual HRESULT SetData(const PROPVARIANT* start, bool seek) = 0;
  virtual PROPVARIANT* GetData() = 0;
  virtual VrSourceEvent GetType() = 0;
  virtual HRESULT SetUnknown(IUnknown* object) = 0;
  // The held object with a reference; *object untouched when none is held.
  virtual HRESULT GetUnknown(IUnknown** object) = 0;
  virtual void SetStreamId(DWORD streamId) = 0;
};

class CVrMFSourceEvent final : public pelplat::ComObject<IVrMFSourceEvent> {
 public:
  static HRESULT Create(VrSourceEvent type, IVrMFSourceEvent** event);
  // A START event whose object is the presentation descriptor.
  static HRESULT CreateVrStartEvent(IMFPresentationDescriptor* descriptor, IVrMFSourceEvent** event);

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IVrMFSourceEvent);
  }
  bool IsSeek() override { return seek_; }
  DWORD GetStreamId() override { return streamId_; }
  HRESULT SetData(const PROPVARIANT* start, bool seek) override;
  PROPVARIANT* GetData() override { return &data_; }
  VrSourceEvent GetType() override { return type_; }
  HRESULT SetUnknown(IUnknown* object) override;
  HRESULT GetUnknown(IUnknown** object) override;
  void SetStreamId(DWORD streamId) override { streamId_ = streamId; }

 private:
  explicit CVrMFSourceEvent(VrSourceEvent type);
  ~CVrMFSourceEvent() override;

  bool seek_ = false;
  DWORD streamId_ = 0;
  const VrSourceEvent type_;
  PROPVARIANT data_;
  pelplat::Ref<IUnknown> object_;
};

class CVrMFSource final : public pelplat::ComObject<IVrRdpMediaSource, IMFAsyncCallback, IVrMFStreamOwner> {
 public:
  enum State : int32_t {
    kCreated = 0,
    kStopped = 3,
    kPaused = 4,
    kStarted = 5,
    kShutdown = 6,
  };
  // The presentation descriptor holds at most this many streams.
  static constexpr size_t kMaxStreams = 4;

  static HRESULT CreateInstance(CVrMFSource** source);

  // IUnknown (one identity for every base)
  HRESULT QueryInterface(REFIID riid, void** object) override;
  // IMFMediaEventGenerator
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override;
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                     const PROPVARIANT* value) override;
  // IMFMediaSource
  HRESULT GetCharacteristics(DWORD* characteristics) override;
  HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
  HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                const PROPVARIANT* position) override;
  HRESULT Stop() override;
  HRESULT Pause() override;
  HRESULT Shutdown() override;
  // IVrRdpMediaSource
  HRESULT AppendStream(CVrMFStream* stream) override;
  HRESULT Open() override;
  // IMFAsyncCallback
  HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Invoke(IMFAsyncResult* result) override;
  // IVrMFStreamOwner
  HRESULT SendSourceEvent(VrSourceEvent type, DWORD streamId, DWORD workQueue) override;

  // The listed stream of that id with a reference, or null.
  CVrMFStream* FindStream(DWORD streamId);

  int32_t StateForTest() const { return state_.load(); }
  // Passes the sample pull has made over the streams so far.
  uint64_t PullPassesForTest() const { return pullPasses_.load(); }

 private:
  CVrMFSource() = default;
  ~CVrMFSource() override;

  HRESULT OnOpenEvent();
  HRESULT OnStartEvent(IVrMFSourceEvent* event);
  HRESULT OnPauseEvent();
  HRESULT OnStopEvent();
  HRESULT OnNeedMoreSampleEvent();
  HRESULT OnEndOfStreamEvent(IVrMFSourceEvent* event);
  HRESULT OnClose();
  HRESULT BuildPresentationDescriptor();
  HRESULT CreateStream(DWORD index, CVrMFStream* stream, IMFStreamDescriptor** descriptor);
  HRESULT ActivateStreams(IMFPresentationDescriptor* descriptor, const PROPVARIANT* start, bool seek);
  // The handlers of Pause and Stop.
  HRESULT ChangeActiveStreams(HRESULT (CVrMFStream::*step)(), State next, MediaEventType answer);
  HRESULT PutEvent(VrSourceEvent type);
  std::vector<CVrMFStream*> TakeStreams();
  static void DropStreams(std::vector<CVrMFStream*>& streams);

  std::mutex lock_;  // the source lock: every field below
  std::vector<CVrMFStream*> streams_;
  // Made with the source and kept until its destruction; the queue itself
  // is thread-safe, so reporting to it needs no lock of the source.
  pelplat::Ref<IMFMediaEventQueue> events_;
  pelplat::Ref<IMFPresentationDescriptor> descriptor_;
  // Written under the lock, read without it by the event-generator calls
  // and Invoke.
  std::atomic<int32_t> state_{kCreated};
  int32_t endOfStreamCount_ = 0;
  std::atomic<uint64_t> pullPasses_{0};
};
