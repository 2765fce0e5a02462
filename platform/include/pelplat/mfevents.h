// Media Foundation's events, asynchronous callbacks and work queues: the
// PROPVARIANT values that events carry, media events, event queues and the
// process-wide work queues that run callbacks.
#pragma once

#include "pelplat/mferror.h"
#include "pelplat/mfobjects.h"

// The PROPVARIANT types the media code uses.
typedef uint16_t VARTYPE;
#define VT_EMPTY 0
#define VT_I4 3
#define VT_R8 5
#define VT_BOOL 11
#define VT_UNKNOWN 13
#define VT_UI4 19
#define VT_I8 20
#define VT_UI8 21
#define VT_CLSID 72

struct PROPVARIANT {
  VARTYPE vt;
  uint16_t wReserved1, wReserved2, wReserved3;
  union {
    int32_t lVal;
    uint32_t ulVal;
    int64_t hVal;
    uint64_t uhVal;
    double dblVal;
    int16_t boolVal;  // VARIANT_TRUE is -1
    IUnknown* punkVal;
    CLSID* puuid;      // from CoTaskMemAlloc
  };
};

// Empties a value without freeing anything.
void PropVariantInit(PROPVARIANT* value);
// Frees what the value owns (releases an interface, frees a class id) and
// empties it.
HRESULT PropVariantClear(PROPVARIANT* value);
// A deep copy: dest is overwritten without being cleared first.
HRESULT PropVariantCopy(PROPVARIANT* dest, const PROPVARIANT* source);

// Media event types.
typedef DWORD MediaEventType;
enum : MediaEventType {
  MEUnknown = 0,
  MEError = 1,
  MESourceStarted = 201,
  MEStreamStarted = 202,
  MESourceSeeked = 203,
  MEStreamSeeked = 204,
  MENewStream = 205,
  MEUpdatedStream = 206,
  MESourceStopped = 207,
  MEStreamStopped = 208,
  MESourcePaused = 209,
  MEStreamPaused = 210,
  MEEndOfPresentation = 211,
  MEEndOfStream = 212,
  MEMediaSample = 213,
  MEStreamTick = 214,
};

// {2cd2d921-c447-44a7-a13c-4adabfc247e3} is IMFAttributes; these are the
// interfaces of this header.
// {df598932-f10c-4e39-bba2-c308f101daa3}
PELPLAT_GUID(IID_IMFMediaEvent, 0xdf598932, 0xf10c, 0x4e39, 0xbb, 0xa2, 0xc3, 0x08, 0xf1, 0x01, 0xda, 0xa3);
// {a27003cf-2354-4f2a-8d6a-ab7cff15437e}
PELPLAT_GUID(IID_IMFAsyncCallback, 0xa27003cf, 0x2354, 0x4f2a, 0x8d, 0x6a, 0xab, 0x7c, 0xff, 0x15, 0x43, 0x7e);
// {ac6b7889-0740-4d51-8619-905994a55cc6}
PELPLAT_GUID(IID_IMFAsyncResult, 0xac6b7889, 0x0740, 0x4d51, 0x86, 0x19, 0x90, 0x59, 0x94, 0xa5, 0x5c, 0xc6);
// {2cd0bd52-bcd5-4b89-b62c-eadc0c031e7d}
PELPLAT_GUID(IID_IMFMediaEventGenerator, 0x2cd0bd52, 0xbcd5, 0x4b89, 0xb6, 0x2c, 0xea, 0xdc, 0x0c, 0x03, 0x1e, 0x7d);
// {36f846fc-2256-48b6-b58e-e2b638316581}
PELPLAT_GUID(IID_IMFMediaEventQueue, 0x36f846fc, 0x2256, 0x48b6, 0xb5, 0x8e, 0xe2, 0xb6, 0x38, 0x31, 0x65, 0x81);

struct IMFMediaEvent : IMFAttributes {
  virtual HRESULT GetType(MediaEventType* type) = 0;
  virtual HRESULT GetExtendedType(GUID* extendedType) = 0;
  virtual HRESULT GetStatus(HRESULT* status) = 0;
  // A copy of the value; the caller clears it.
  virtual HRESULT GetValue(PROPVARIANT* value) = 0;

 protected:
  ~IMFMediaEvent() = default;
};

struct IMFAsyncResult : IUnknown {
  // The caller's state object (with a reference), E_POINTER without one.
  virtual HRESULT GetState(IUnknown** state) = 0;
  virtual HRESULT GetStatus() = 0;
  virtual HRESULT SetStatus(HRESULT status) = 0;
  // The object of the operation; E_POINTER when there is none.
  virtual HRESULT GetObject(IUnknown** object) = 0;
  // The state without a reference.
  virtual IUnknown* GetStateNoAddRef() = 0;

 protected:
  ~IMFAsyncResult() = default;
};

struct IMFAsyncCallback : IUnknown {
  // Flags and the work queue on which the callback wants to run; E_NOTIMPL
  // means the standard queue.
  virtual HRESULT GetParameters(DWORD* flags, DWORD* queue) = 0;
  virtual HRESULT Invoke(IMFAsyncResult* result) = 0;

 protected:
  ~IMFAsyncCallback() = default;
};

#define MF_EVENT_FLAG_NO_WAIT 0x1u

struct IMFMediaEventGenerator : IUnknown {
  virtual HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) = 0;
  virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
  virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  virtual HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                             const PROPVARIANT* value) = 0;

 protected:
  ~IMFMediaEventGenerator() = default;
};

// The queue behind an event generator. Events come out in the order they
// went in. A waiting BeginGetEvent is invoked once for the next event, which
// EndGetEvent then takes; only one GetEvent or BeginGetEvent may wait at a
// time (MF_E_MULTIPLE_SUBSCRIBERS, MF_E_MULTIPLE_BEGIN). Shutdown wakes a
// blocked GetEvent with MF_E_SHUTDOWN, drops the events and refuses every
// later call with MF_E_SHUTDOWN.
struct IMFMediaEventQueue : IUnknown {
  virtual HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) = 0;
  virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
  virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  virtual HRESULT QueueEvent(IMFMediaEvent* event) = 0;
  virtual HRESULT QueueEventParamVar(MediaEventType type, REFGUID extendedType, HRESULT status,
                                     const PROPVARIANT* value) = 0;
  virtual HRESULT QueueEventParamUnk(MediaEventType type, REFGUID extendedType, HRESULT status,
                                     IUnknown* unknown) = 0;
  virtual HRESULT Shutdown() = 0;

 protected:
  ~IMFMediaEventQueue() = default;
};

HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                           const PROPVARIANT* value, IMFMediaEvent** event);
HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue);
HRESULT MFCreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state,
                            IMFAsyncResult** result);
// Runs the result's callback on the work queue the callback names.
HRESULT MFInvokeCallback(IMFAsyncResult* result);

// The process's work queues: the standard queue runs its items one at a
// time in the order they were put; the multithreaded queue runs them on a
// pool of threads, several at once.
#define MFASYNC_CALLBACK_QUEUE_UNDEFINED 0x0u
#define MFASYNC_CALLBACK_QUEUE_STANDARD 0x1u
#define MFASYNC_CALLBACK_QUEUE_RT 0x2u
#define MFASYNC_CALLBACK_QUEUE_IO 0x3u
#define MFASYNC_CALLBACK_QUEUE_TIMER 0x4u
#define MFASYNC_CALLBACK_QUEUE_MULTITHREADED 0x5u
#define MFASYNC_CALLBACK_QUEUE_LONG_FUNCTION 0x7u
// Queues the callback's Invoke with a new result carrying the state; an
// unknown queue gives MF_E_INVALID_WORKQUEUE.
HRESULT MFPutWorkItem(DWORD queue, IMFAsyncCallback* callback, IUnknown* state);
HRESULT MFPutWorkItemEx(DWORD queue, IMFAsyncResult* result);
