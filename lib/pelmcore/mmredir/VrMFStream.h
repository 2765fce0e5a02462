// A redirected stream as Media Foundation sees it: the server's samples
// wait in a queue of copied records, up to two of them are built into
// Media Foundation samples ahead of demand and go out as MEMediaSample
// events against RequestSample. Every sample taken from the queue is
// acknowledged to the server with a PLAYBACK_ACK; the end of the stream,
// once delivered, with a CLIENT_EVENT_NOTIFICATION. The server announces
// the end behind its last samples, so everything queued then still plays
// before MEEndOfStream.
#pragma once

#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "mmredir/RdpMMStream.h"
#include "pelplat/comobject.h"
#include "pelplat/mfidl.h"

// The work a stream asks of the media source that owns it.
enum VrSourceEvent : DWORD {
  VR_SOURCE_OPEN = 0,
  VR_SOURCE_START = 1,
  VR_SOURCE_PAUSE = 2,
  VR_SOURCE_STOP = 3,
  VR_SOURCE_NEED_MORE_SAMPLE = 4,
  VR_SOURCE_END_OF_STREAM = 5,
  VR_SOURCE_CLOSE = 6,
};

// What a stream needs of its media source: scheduling of the source's
// handlers and the source's event generator, through which a stream
// reports a failure as MEError. The stream calls QueueEvent with neither
// its own lock nor any lock of the source held by the stream, so the
// source's QueueEvent must not wait for a lock the source may hold while
// it starts a stream (it goes straight to the source's event queue).
struct IVrMFStreamOwner : IMFMediaEventGenerator {
  virtual HRESULT SendSourceEvent(VrSourceEvent type, DWORD streamId, DWORD workQueue) = 0;

 protected:
  ~IVrMFStreamOwner() = default;
};

class CVrMFStream final : public pelplat::ComObject<IMFMediaStream, IRdpMMStream> {
 public:
  enum State : int32_t {
    kCreated = 0,
    kStopped = 3,
    kPaused = 4,
    kStarted = 5,
    kEndDelivered = 6,
    kShutdown = 7,
  };
  // PLAYBACK_ACK and CLIENT_EVENT_NOTIFICATION.
  static constexpr uint32_t kInterfaceProxy = 0x40000001;
  static constexpr uint32_t kPlaybackAck = 0x100;
  static constexpr uint32_t kClientEventNotification = 0x101;
  static constexpr uint32_t kEventEndOfStream = 100;
  // TS_MM_DATA_SAMPLE: the fixed part before the data bytes.
  static constexpr uint32_t kSampleHeader = 36;
  // TS_AM_MEDIA_TYPE: the fixed part before the format block.
  static constexpr uint32_t kMediaTypeHeader = 64;

  explicit CVrMFStream(uint32_t streamId);

  // IUnknown and IMFMediaEventGenerator
  HRESULT QueryInterface(REFIID riid, void** object) override;
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override;
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                     const PROPVARIANT* value) override;
  // IMFMediaStream
  HRESULT GetMediaSource(IMFMediaSource** source) override;
  HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
  HRESULT RequestSample(IUnknown* token) override;

  // IRdpMMStream (AddRef and Release above serve both sides)
  uint32_t GetStreamId() override { return streamId_; }
  int32_t CheckMediaFormat(uint32_t length, const uint8_t* format) override;
  int32_t SetChannel(std::shared_ptr<IRdpVirtualChannel> channel) override;
  int32_t SetMediaType(uint32_t length, const uint8_t* format) override;
  int32_t OnSample(const uint8_t* sample, uint32_t count) override;
  int32_t OnVolume(uint32_t, uint32_t) override { return 0; }
  int32_t OnRemove() override { return 0; }
  int32_t OnStart(int64_t startOffset, uint32_t seek) override;
  int32_t OnPause() override { return 0; }
  int32_t OnStop() override { return 0; }
  int32_t OnReStart() override { return 0; }
  int32_t OnFlush() override;
  int32_t OnPreroll() override { return 0; }
  int32_t OnTopology() override { return 0; }
  int32_t OnEndOfStream() override;
  int32_t OnClose() override { return 0; }

  // Used by the media source. The caller's reference on the source passes
  // to the stream when Initialize succeeds.
  HRESULT Initialize(IVrMFStreamOwner* source, IMFStreamDescriptor* descriptor);
  // The stored format as a Media Foundation media type; the caller owns it.
  HRESULT GetMediaType(IMFMediaType** type);
  bool IsActive();
  void Activate(bool active);
  HRESULT SetStart(const PROPVARIANT& start, bool seek);
  HRESULT SetPause();
  HRESULT SetStop();
  HRESULT Shutdown();
  bool NeedsMoreSamples();
  // Takes the oldest queued sample into a Media Foundation sample and
  // acknowledges it; S_OK with *sample untouched when the queue is empty.
  HRESULT GetNextSample(IMFSample** sample);
  // Takes over the caller's reference on the sample.
  HRESULT DeliverSample(IMFSample* sample);
  // After the end was delivered: acknowledges what came after it and tells
  // the server the end of the stream.
  int32_t SetEndOfStream();

  // The stored TS_AM_MEDIA_TYPE, for the source's descriptors.
  std::vector<uint8_t> Format();
  int32_t StateForTest();

 private:
  struct QueuedSample {
    int64_t startTime;
    uint64_t throttleDuration;
    std::vector<uint8_t> data;
  };
  ~CVrMFStream();
  // Runs the dispatch under the stream lock and reports a failure on the
  // source after the lock is released.
  HRESULT DispatchSamples();
  HRESULT DispatchLocked();
  HRESULT SendSamplesOut();
  void EraseLists();
  void SendAck(uint64_t throttleDuration, uint32_t cbData);
  int32_t SendEventNotification(uint32_t eventId, uint32_t length, const uint8_t* data);
  int32_t Send(const std::vector<uint8_t>& message, const char* what);
  bool NeedsMoreLocked() const;
  // The server's end has come and nothing is left to hand out.
  bool DrainedLocked() const;

  std::mutex lock_;  // the stream lock: every field below but the queue
  bool active_ = true;
  bool video_ = false;
  bool audio_ = false;
  bool endOfStream_ = false;
  int32_t pendingRequests_ = 0;
  // Samples taken from the queue and not yet ready (being built).
  int32_t building_ = 0;
  const uint32_t streamId_;
  std::vector<uint8_t> format_;
  State state_ = kCreated;
  IVrMFStreamOwner* source_ = nullptr;
  pelplat::Ref<IMFStreamDescriptor> descriptor_;
  pelplat::Ref<IMFMediaEventQueue> events_;
  std::list<IMFSample*> ready_;
  std::list<IUnknown*> tokens_;
  std::shared_ptr<IRdpVirtualChannel> channel_;
  std::mutex queueLock_;  // the sample-queue lock; taken before the stream lock
  // Changed only under both locks, so that the stream lock alone may ask
  // whether anything is queued; the records are read under the queue lock.
  std::deque<QueuedSample> queued_;
};
