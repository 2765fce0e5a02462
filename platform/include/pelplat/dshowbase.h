// The DirectShow base classes the media code derives from: CUnknown with
// its non-delegating half, media types, samples and the memory allocator,
// the filter and pin bases, the worker thread of a source stream and the
// seeking helper. Same names and meanings as the SDK's base classes; only
// what callers use.
#pragma once

#include <atomic>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelplat/strmif.h"

// ---- locks -------------------------------------------------------------------
class CCritSec {
 public:
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class CAutoLock {
 public:
  explicit CAutoLock(CCritSec* lock) : lock_(lock) { lock_->Lock(); }
  ~CAutoLock() { lock_->Unlock(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CCritSec* lock_;
};

// ---- CUnknown ------------------------------------------------------------------
struct INonDelegatingUnknown {
  virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG NonDelegatingAddRef() = 0;
  virtual ULONG NonDelegatingRelease() = 0;

 protected:
  ~INonDelegatingUnknown() = default;
};

// The reference count starts at 1 for the creator (as the media objects of
// this system expect); the last NonDelegatingRelease deletes the object.
class CUnknown : public INonDelegatingUnknown {
 public:
  CUnknown(const char* name, IUnknown* outer);
  virtual ~CUnknown() = default;
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
  ULONG NonDelegatingAddRef() override;
  ULONG NonDelegatingRelease() override;
  IUnknown* GetOwner() const { return owner_; }

 protected:
  std::atomic<LONG> m_cRef{1};

 private:
  // The object's own IUnknown: forwards to the non-delegating half.
  struct Face final : IUnknown {
    CUnknown* self = nullptr;
    HRESULT QueryInterface(REFIID riid, void** object) override {
      return self->NonDelegatingQueryInterface(riid, object);
    }
    ULONG AddRef() override { return self->NonDelegatingAddRef(); }
    ULONG Release() override { return self->NonDelegatingRelease(); }
  };
  Face face_;
  IUnknown* owner_;  // the outer object, or face_
};

// AddRef'ed interface pointer into *object.
HRESULT GetInterface(IUnknown* unknown, void** object);

#define DECLARE_IUNKNOWN                                                             \
  HRESULT QueryInterface(REFIID riid, void** object) override {                      \
    return GetOwner()->QueryInterface(riid, object);                                 \
  }                                                                                  \
  ULONG AddRef() override { return GetOwner()->AddRef(); }                           \
  ULONG Release() override { return GetOwner()->Release(); }

// ---- media types ---------------------------------------------------------------
void FreeMediaType(AM_MEDIA_TYPE& type);
void DeleteMediaType(AM_MEDIA_TYPE* type);
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);
// An audio media type for the wave format (its cbSize extra bytes
// included); the format block is set when setFormat is true.
HRESULT CreateAudioMediaType(const WAVEFORMATEX* format, AM_MEDIA_TYPE* type, BOOL setFormat);

class CMediaType : public AM_MEDIA_TYPE {
 public:
  CMediaType();
  CMediaType(const CMediaType& other);
  explicit CMediaType(const AM_MEDIA_TYPE& other);
  ~CMediaType();
  CMediaType& operator=(const CMediaType& other);
  CMediaType& operator=(const AM_MEDIA_TYPE& other);
  bool operator==(const CMediaType& other) const;
  bool operator!=(const CMediaType& other) const { return !(*this == other); }
  HRESULT Set(const AM_MEDIA_TYPE& other);
  bool IsValid() const { return majortype != GUID_NULL; }
  const GUID* Type() const { return &majortype; }
  const GUID* Subtype() const { return &subtype; }
  const GUID* FormatType() const { return &formattype; }
  BYTE* Format() const { return pbFormat; }
  ULONG FormatLength() const { return cbFormat; }
  void SetType(const GUID* type) { majortype = *type; }
  void SetSubtype(const GUID* type) { subtype = *type; }
  void SetFormatType(const GUID* type) { formattype = *type; }
  void SetSampleSize(ULONG size);
  void SetVariableSize() { bFixedSizeSamples = FALSE; }
  void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }
  BYTE* AllocFormatBuffer(ULONG length);
  BOOL SetFormat(const BYTE* format, ULONG length);
  void ResetFormatBuffer();
  void InitMediaType();
};

// ---- samples and the memory allocator -------------------------------------
class CBaseAllocator;

class CMediaSample : public IMediaSample2 {
 public:
  CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG length);
  virtual ~CMediaSample();

  HRESULT QueryInterface(REFIID riid, void** object) override;
  ULONG AddRef() override;
  // The last release hands the sample back to its allocator.
  ULONG Release() override;

  HRESULT GetPointer(BYTE** buffer) override;
  LONG GetSize() override { return cbBuffer_; }
  HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
  HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
  HRESULT IsSyncPoint() override;
  HRESULT SetSyncPoint(BOOL sync) override;
  HRESULT IsPreroll() override;
  HRESULT SetPreroll(BOOL preroll) override;
  LONG GetActualDataLength() override { return lActual_; }
  HRESULT SetActualDataLength(LONG length) override;
  HRESULT GetMediaType(AM_MEDIA_TYPE** type) override;
  HRESULT SetMediaType(AM_MEDIA_TYPE* type) override;
  HRESULT IsDiscontinuity() override;
  HRESULT SetDiscontinuity(BOOL discontinuity) override;
  HRESULT GetProperties(DWORD size, BYTE* properties) override;
  HRESULT SetProperties(DWORD size, const BYTE* properties) override;

  // Back to a clean sample before it is handed out again.
  void ResetProperties();
  void SetBuffer(BYTE* buffer, LONG length) {
    pBuffer_ = buffer;
    cbBuffer_ = length;
  }

 private:
  CBaseAllocator* allocator_;
  std::atomic<LONG> cRef_{0};
  BYTE* pBuffer_;
  LONG cbBuffer_;
  LONG lActual_ = 0;
  DWORD dwFlags_ = 0;  // AM_SAMPLE_* flags
  DWORD dwTypeSpecificFlags_ = 0;
  DWORD dwStreamId_ = 0;
  REFERENCE_TIME start_ = 0;
  REFERENCE_TIME end_ = 0;
  AM_MEDIA_TYPE* mediaType_ = nullptr;
};

class CBaseAllocator : public CUnknown, public IMemAllocator {
 public:
  CBaseAllocator(const char* name, IUnknown* outer);
  ~CBaseAllocator() override;
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

  HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
  HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override;
  HRESULT Commit() override;
  HRESULT Decommit() override;
  // Waits for a free buffer while committed; VFW_E_NOT_COMMITTED otherwise.
  HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                    DWORD flags) override;
  HRESULT ReleaseBuffer(IMediaSample* sample) override;

 protected:
  virtual HRESULT Alloc() = 0;
  virtual void Free() = 0;
  // Frees the buffers once decommitted and none is out; under mutex_.
  void FreeIfIdle();

  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<CMediaSample*> free_;
  LONG allocated_ = 0;  // samples that exist
  ALLOCATOR_PROPERTIES props_{};
  bool committed_ = false;
  bool decommitInProgress_ = false;
  bool changed_ = false;  // properties changed since the buffers were made
};

class CMemAllocator : public CBaseAllocator {
 public:
  CMemAllocator(const char* name, IUnknown* outer, HRESULT* hr);
  ~CMemAllocator() override;

 protected:
  HRESULT Alloc() override;
  void Free() override;

 private:
  std::vector<BYTE> memory_;
};

HRESULT CreateMemoryAllocator(IMemAllocator** allocator);

// ---- filters and pins ------------------------------------------------------------
class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter {
 public:
  CBaseFilter(const char* name, IUnknown* outer, CCritSec* lock, REFCLSID clsid, HRESULT* hr = nullptr);
  ~CBaseFilter() override;
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT Stop() override;
  HRESULT Pause() override;
  HRESULT Run(REFERENCE_TIME start) override;
  HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;
  HRESULT EnumPins(IEnumPins** pins) override;
  HRESULT FindPin(LPCWSTR id, IPin** pin) override;
  HRESULT QueryFilterInfo(FILTER_INFO* info) override;
  HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;

  virtual int GetPinCount() = 0;
  // Not AddRef'ed; null past the count.
  virtual CBasePin* GetPin(int n) = 0;
  // Posts an event to the graph, when the filter is in one.
  HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);
  bool IsActive();
  bool IsStopped();
  CCritSec* pStateLock() { return m_pLock; }

 protected:
  FILTER_STATE m_State = State_Stopped;
  CCritSec* m_pLock;
  CLSID m_clsid;
  IFilterGraph* m_pGraph = nullptr;  // no reference: the graph owns the filter
  IMediaEventSink* m_pSink = nullptr;
  std::u16string m_name;
  REFERENCE_TIME m_tStart = 0;
};

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
           LPCWSTR name, PIN_DIRECTION direction);
  ~CBasePin() override;
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
  // Pins live inside their filter: references go to the filter.
  ULONG NonDelegatingAddRef() override;
  ULONG NonDelegatingRelease() override;

  HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
  HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  HRESULT Disconnect() override;
  HRESULT ConnectedTo(IPin** pin) override;
  HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) override;
  HRESULT QueryPinInfo(PIN_INFO* info) override;
  HRESULT QueryDirection(PIN_DIRECTION* direction) override;
  HRESULT QueryAccept(const AM_MEDIA_TYPE* type) override;
  HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
  HRESULT EndOfStream() override { return S_OK; }
  HRESULT BeginFlush() override = 0;
  HRESULT EndFlush() override = 0;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  HRESULT Notify(IBaseFilter* self, Quality q) override { return E_NOTIMPL; }
  HRESULT SetSink(IQualityControl* sink) override { return S_OK; }

  virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
  virtual HRESULT SetMediaType(const CMediaType* type);
  // S_OK with the n-th preferred type, VFW_S_NO_MORE_ITEMS past the last.
  virtual HRESULT GetMediaType(int position, CMediaType* type);
  virtual HRESULT CheckConnect(IPin* pin);
  virtual HRESULT BreakConnect() { return S_OK; }
  virtual HRESULT CompleteConnect(IPin* receivePin) { return S_OK; }
  virtual HRESULT Active() { return S_OK; }
  virtual HRESULT Inactive() { return S_OK; }
  virtual HRESULT Run(REFERENCE_TIME start) { return S_OK; }

  bool IsConnected() const { return m_Connected != nullptr; }
  IPin* GetConnected() const { return m_Connected; }
  const CMediaType& CurrentMediaType() const { return m_mt; }
  bool IsFlushing() const { return m_bFlushing.load(); }
  CBaseFilter* Filter() const { return m_pFilter; }

 protected:
  HRESULT TryConnect(IPin* receivePin, const CMediaType* type);

  CBaseFilter* m_pFilter;
  CCritSec* m_pLock;
  IPin* m_Connected = nullptr;  // AddRef'ed
  PIN_DIRECTION m_dir;
  std::u16string m_pName;
  CMediaType m_mt;
  std::atomic<bool> m_bFlushing{false};
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0;
  double m_dRate = 1.0;
};

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                 LPCWSTR name);
  ~CBaseOutputPin() override;

  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT EndOfStream() override { return E_UNEXPECTED; }
  HRESULT BeginFlush() override { return E_UNEXPECTED; }
  HRESULT EndFlush() override { return E_UNEXPECTED; }

  virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator);
  virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
  virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                    REFERENCE_TIME* stop, DWORD flags);
  virtual HRESULT Deliver(IMediaSample* sample);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
  IMemAllocator* Allocator() const { return m_pAllocator; }

 protected:
  IMemAllocator* m_pAllocator = nullptr;
  IMemInputPin* m_pInputPin = nullptr;
};

class CBaseInputPin : public CBasePin, public IMemInputPin {
 public:
  CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                LPCWSTR name);
  ~CBaseInputPin() override;
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

  HRESULT GetAllocator(IMemAllocator** allocator) override;
  HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
  HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override { return E_NOTIMPL; }
  // S_FALSE while flushing or stopped; the derived pin does the work.
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT ReceiveCanBlock() override { return S_OK; }
  HRESULT BeginFlush() override;
  HRESULT EndFlush() override;
  HRESULT BreakConnect() override;
  HRESULT Inactive() override;

 protected:
  IMemAllocator* m_pAllocator = nullptr;
};

// ---- worker thread ----------------------------------------------------------------
// One request at a time: CallWorker waits until the worker has answered
// its own request with Reply, so every request gets exactly one reply.
class CAMThread {
 public:
  CAMThread();
  virtual ~CAMThread();
  bool Create();
  // E_FAIL when no worker thread exists.
  HRESULT CallWorker(DWORD request);
  // Joins the worker after it has left ThreadProc.
  void Close();
  bool ThreadExists() const;

  DWORD GetRequest();
  // True with the pending request in *request; the request stays pending
  // until Reply.
  bool CheckRequest(DWORD* request);
  void Reply(HRESULT result);

 protected:
  virtual DWORD ThreadProc() = 0;
  // Worker side: waits until a request is pending or `wake` says so; true
  // for a request.
  bool WaitForRequestOr(const std::function<bool()>& wake);
  // Wakes WaitForRequestOr to look at its condition again.
  void Poke();

  CCritSec m_AccessLock;  // callers queue here, one request at a time

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  bool running_ = false;
  bool pending_ = false;
  bool replied_ = false;
  DWORD request_ = 0;
  HRESULT result_ = S_OK;
};

// ---- source filters ---------------------------------------------------------------
class CSourceStream;

class CSource : public CBaseFilter {
 public:
  CSource(const char* name, IUnknown* outer, REFCLSID clsid, HRESULT* hr = nullptr);
  ~CSource() override;
  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  HRESULT Stop() override;
  HRESULT Pause() override;
  HRESULT AddPin(CSourceStream* pin);
  HRESULT RemovePin(CSourceStream* pin);

 protected:
  CCritSec m_cStateLock;
  std::vector<CSourceStream*> m_paStreams;  // owned
};

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  enum Command : DWORD { CMD_INIT, CMD_PAUSE, CMD_RUN, CMD_STOP, CMD_EXIT };

  CSourceStream(const char* objectName, HRESULT* hr, CSource* filter, LPCWSTR name);
  ~CSourceStream() override;

  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  virtual HRESULT GetMediaType(CMediaType* type);

  HRESULT Init() { return CallWorker(CMD_INIT); }
  HRESULT Exit() { return CallWorker(CMD_EXIT); }
  HRESULT RunCmd() { return CallWorker(CMD_RUN); }
  HRESULT PauseCmd() { return CallWorker(CMD_PAUSE); }
  HRESULT StopCmd() { return CallWorker(CMD_STOP); }

  // Asks an idle worker to enter its processing loop again (new data came
  // after the loop ended). Not a request: it needs and gets no reply.
  void RequestRestart();

 protected:
  virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
  virtual HRESULT OnThreadCreate() { return S_OK; }
  virtual HRESULT OnThreadDestroy() { return S_OK; }
  virtual HRESULT OnThreadStartPlay() { return S_OK; }
  virtual HRESULT DoBufferProcessingLoop();
  // The loop's fill step: FillBuffer, or a pin's own step that may swap
  // the sample in hand for another (null when it has none left).
  virtual HRESULT FillSample(IMediaSample*& sample) { return FillBuffer(sample); }
  // FillSample answered E_PENDING (no data yet): wait a little for some.
  // Pins that never answer it need nothing here.
  virtual void WaitForData() {}
  DWORD ThreadProc() override;

  CSource* m_pFilter;

 private:
  std::atomic<bool> restartWanted_{false};
};

// Seeking helper of a source pin: keeps start, stop and rate, and lets the
// pin react through ChangeStart, ChangeStop and ChangeRate. The pin
// answers IUnknown for it.
class CSourceSeeking : public IMediaSeeking {
 public:
  explicit CSourceSeeking(CCritSec* lock);
  HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
  HRESULT SetRate(double rate) override;
  HRESULT GetRate(double* rate) override;

 protected:
  virtual HRESULT ChangeStart() = 0;
  virtual HRESULT ChangeStop() = 0;
  virtual HRESULT ChangeRate() = 0;

  CCritSec* m_pLock;
  REFERENCE_TIME m_rtStart = 0;
  REFERENCE_TIME m_rtStop = 0;
  double m_dRateSeeking = 1.0;
};
