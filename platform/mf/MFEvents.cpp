// Media events, asynchronous results, the process's work queues and the
// event queue behind every event generator.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "MFAttributeStore.h"
#include "pelplat/mfevents.h"
#include "pelplat/objbase.h"

void PropVariantInit(PROPVARIANT* value) {
  if (value) std::memset(value, 0, sizeof(*value));
}

HRESULT PropVariantClear(PROPVARIANT* value) {
  if (!value) return S_OK;
  if (value->vt == VT_UNKNOWN && value->punkVal) value->punkVal->Release();
  if (value->vt == VT_CLSID) CoTaskMemFree(value->puuid);
  PropVariantInit(value);
  return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* dest, const PROPVARIANT* source) {
  if (!dest || !source) return E_POINTER;
  PROPVARIANT made = *source;
  switch (source->vt) {
    case VT_EMPTY: case VT_I4: case VT_R8: case VT_BOOL: case VT_UI4: case VT_I8: case VT_UI8:
      break;
    case VT_UNKNOWN:
      if (made.punkVal) made.punkVal->AddRef();
      break;
    case VT_CLSID:
      if (source->puuid) {
        made.puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
        if (!made.puuid) return E_OUTOFMEMORY;
        *made.puuid = *source->puuid;
      }
      break;
    default:
      return E_INVALIDARG;  // a type this model does not carry
  }
  *dest = made;
  return S_OK;
}

namespace pelplat_mf {
namespace {

class MediaEvent : public AttributeStore<IMFMediaEvent> {
 public:
  MediaEvent(MediaEventType type, REFGUID extended, HRESULT status)
      : type_(type), extended_(extended), status_(status) {
    PropVariantInit(&value_);
  }
  HRESULT Take(const PROPVARIANT* value) { return value ? PropVariantCopy(&value_, value) : S_OK; }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFMediaEvent);
  }
  HRESULT GetType(MediaEventType* type) override { return Give(type, type_); }
  HRESULT GetExtendedType(GUID* extended) override { return Give(extended, extended_); }
  HRESULT GetStatus(HRESULT* status) override { return Give(status, status_); }
  HRESULT GetValue(PROPVARIANT* value) override {
    if (!value) return E_POINTER;
    return PropVariantCopy(value, &value_);
  }

 private:
  ~MediaEvent() override { PropVariantClear(&value_); }
  const MediaEventType type_;
  const GUID extended_;
  const HRESULT status_;
  PROPVARIANT value_;
};

class AsyncResult : public ComObject<IMFAsyncResult> {
 public:
  AsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state)
      : object_(Ref<IUnknown>::Share(object)),
        callback_(Ref<IMFAsyncCallback>::Share(callback)),
        state_(Ref<IUnknown>::Share(state)) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAsyncResult);
  }
  HRESULT GetState(IUnknown** state) override { return Hand(state_, state); }
  HRESULT GetStatus() override { return status_.load(); }
  HRESULT SetStatus(HRESULT status) override {
    status_ = status;
    return S_OK;
  }
  HRESULT GetObject(IUnknown** object) override { return Hand(object_, object); }
  IUnknown* GetStateNoAddRef() override { return state_.get(); }
  IMFAsyncCallback* Callback() const { return callback_.get(); }

 private:
  static HRESULT Hand(const Ref<IUnknown>& held, IUnknown** out) {
    if (!out) return E_INVALIDARG;
    held.copyTo(out);
    return held ? S_OK : E_POINTER;
  }
  const Ref<IUnknown> object_;
  const Ref<IMFAsyncCallback> callback_;
  const Ref<IUnknown> state_;
  std::atomic<HRESULT> status_{S_OK};
};

// A queue of results run by a fixed set of threads; one thread makes it
// serial. Threads start with the first item and end with the process.
class WorkQueue {
 public:
  explicit WorkQueue(unsigned threads) : count_(threads) {}
  ~WorkQueue() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  void Put(IMFAsyncResult* result) {
    Ref<IMFAsyncResult> held = Ref<IMFAsyncResult>::Share(result);
    {
      std::lock_guard<std::mutex> hold(lock_);
      items_.push_back(std::move(held));
      if (threads_.empty())
        for (unsigned i = 0; i < count_; ++i) threads_.emplace_back([this] { Run(); });
    }
    wake_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return closing_ || !items_.empty(); });
      if (closing_) return;
      Ref<IMFAsyncResult> result = std::move(items_.front());
      items_.pop_front();
      hold.unlock();
      IMFAsyncCallback* callback = static_cast<AsyncResult*>(result.get())->Callback();
      if (callback) callback->Invoke(result.get());
      result.reset();  // outside the lock
      hold.lock();
    }
  }
  const unsigned count_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Ref<IMFAsyncResult>> items_;
  std::vector<std::thread> threads_;
  bool closing_ = false;
};

WorkQueue* QueueById(DWORD id) {
  static WorkQueue standard(1);
  static WorkQueue pool(std::max(2u, std::min(8u, std::thread::hardware_concurrency())));
  switch (id) {
    case MFASYNC_CALLBACK_QUEUE_STANDARD:
    case MFASYNC_CALLBACK_QUEUE_RT:
    case MFASYNC_CALLBACK_QUEUE_IO:
    case MFASYNC_CALLBACK_QUEUE_TIMER:
      return &standard;
    case MFASYNC_CALLBACK_QUEUE_MULTITHREADED:
    case MFASYNC_CALLBACK_QUEUE_LONG_FUNCTION:
      return &pool;
    default:
      return nullptr;
  }
}

class EventQueue : public ComObject<IMFMediaEventQueue> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFMediaEventQueue);
  }
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override {
    if (!event) return E_POINTER;
    *event = nullptr;
    std::unique_lock<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    if (waiter_ || pending_) return MF_E_MULTIPLE_SUBSCRIBERS;
    if (events_.empty() && (flags & MF_EVENT_FLAG_NO_WAIT)) return MF_E_NO_EVENTS_AVAILABLE;
    waiter_ = true;
    arrived_.wait(hold, [this] { return shutdown_ || !events_.empty(); });
    waiter_ = false;
    if (shutdown_) return MF_E_SHUTDOWN;
    *event = events_.front().detach();
    events_.pop_front();
    return S_OK;
  }
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    if (!callback) return E_INVALIDARG;
    Ref<IMFAsyncResult> result;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return MF_E_SHUTDOWN;
      if (waiter_) return MF_E_MULTIPLE_SUBSCRIBERS;
      if (pending_ || invoked_) return MF_E_MULTIPLE_BEGIN;
      const HRESULT hr = MFCreateAsyncResult(nullptr, callback, state, result.out());
      if (FAILED(hr)) return hr;
      if (events_.empty()) {
        pending_ = std::move(result);
        return S_OK;
      }
      invoked_ = true;
    }
    return Fire(std::move(result));
  }
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    if (!result || !event) return E_POINTER;
    *event = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    if (!invoked_ || events_.empty()) return E_INVALIDARG;
    invoked_ = false;
    *event = events_.front().detach();
    events_.pop_front();
    return S_OK;
  }
  HRESULT QueueEvent(IMFMediaEvent* event) override {
    if (!event) return E_POINTER;
    Ref<IMFAsyncResult> fire;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return MF_E_SHUTDOWN;
      events_.push_back(Ref<IMFMediaEvent>::Share(event));
      if (pending_) {
        fire = std::move(pending_);
        invoked_ = true;
      }
    }
    arrived_.notify_all();
    return fire ? Fire(std::move(fire)) : S_OK;
  }
  HRESULT QueueEventParamVar(MediaEventType type, REFGUID extended, HRESULT status,
                             const PROPVARIANT* value) override {
    Ref<IMFMediaEvent> event;
    const HRESULT hr = MFCreateMediaEvent(type, extended, status, value, event.out());
    if (FAILED(hr)) return hr;
    return QueueEvent(event.get());
  }
  HRESULT QueueEventParamUnk(MediaEventType type, REFGUID extended, HRESULT status,
                             IUnknown* unknown) override {
    PROPVARIANT value;
    PropVariantInit(&value);
    if (unknown) {
      value.vt = VT_UNKNOWN;
      value.punkVal = unknown;
    }
    return QueueEventParamVar(type, extended, status, &value);
  }
  HRESULT Shutdown() override {
    // Released outside the lock once the waiters are woken: the events
    // first, then a waiting subscriber's result.
    Ref<IMFAsyncResult> pending;
    std::deque<Ref<IMFMediaEvent>> dropped;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return MF_E_SHUTDOWN;
      shutdown_ = true;
      dropped.swap(events_);
      pending = std::move(pending_);
    }
    arrived_.notify_all();
    return S_OK;
  }

 private:
  ~EventQueue() override { Shutdown(); }
  // Runs the subscriber's callback on its queue, never on the caller's
  // thread, so a callback may call straight back into the queue.
  static HRESULT Fire(Ref<IMFAsyncResult> result) { return MFInvokeCallback(result.get()); }
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<Ref<IMFMediaEvent>> events_;
  Ref<IMFAsyncResult> pending_;  // a BeginGetEvent waiting for an event
  bool invoked_ = false;               // its callback ran or runs; EndGetEvent due
  bool waiter_ = false;                // a GetEvent blocks
  bool shutdown_ = false;
};

}  // namespace
}  // namespace pelplat_mf

using namespace pelplat_mf;

HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extended, HRESULT status,
                           const PROPVARIANT* value, IMFMediaEvent** event) {
  if (!event) return E_POINTER;
  *event = nullptr;
  MediaEvent* made = new (std::nothrow) MediaEvent(type, extended, status);
  if (!made) return E_OUTOFMEMORY;
  const HRESULT hr = made->Take(value);
  if (FAILED(hr)) {
    made->Release();
    return hr;
  }
  *event = made;
  return S_OK;
}

HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue) {
  if (!queue) return E_POINTER;
  *queue = new (std::nothrow) EventQueue();
  return *queue ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state,
                            IMFAsyncResult** result) {
  if (!result) return E_POINTER;
  *result = new (std::nothrow) AsyncResult(object, callback, state);
  return *result ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFPutWorkItemEx(DWORD queue, IMFAsyncResult* result) {
  if (!result) return E_POINTER;
  WorkQueue* target = QueueById(queue);
  if (!target) return MF_E_INVALID_WORKQUEUE;
  target->Put(result);
  return S_OK;
}

HRESULT MFPutWorkItem(DWORD queue, IMFAsyncCallback* callback, IUnknown* state) {
  if (!callback) return E_POINTER;
  Ref<IMFAsyncResult> result;
  const HRESULT hr = MFCreateAsyncResult(nullptr, callback, state, result.out());
  if (FAILED(hr)) return hr;
  return MFPutWorkItemEx(queue, result.get());
}

HRESULT MFInvokeCallback(IMFAsyncResult* result) {
  if (!result) return E_POINTER;
  IMFAsyncCallback* callback = static_cast<AsyncResult*>(result)->Callback();
  DWORD flags = 0, queue = MFASYNC_CALLBACK_QUEUE_STANDARD;
  if (!callback || FAILED(callback->GetParameters(&flags, &queue)) ||
      queue == MFASYNC_CALLBACK_QUEUE_UNDEFINED)
    queue = MFASYNC_CALLBACK_QUEUE_STANDARD;
  return MFPutWorkItemEx(queue, result);
}
