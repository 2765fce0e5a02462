// Events, event queues and work queues of the Media Foundation model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/mfidl.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kBound = 60s;

// A callback that records what it is handed; the test waits on it.
// Results let go of their callback just after Invoke returns, so the
// recorder lives until the last of them has.
class Recorder final : public pelplat::ComObject<IMFAsyncCallback> {
 public:
  explicit Recorder(DWORD queue = MFASYNC_CALLBACK_QUEUE_STANDARD) : queue_(queue) {}
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAsyncCallback); }
  HRESULT GetParameters(DWORD* flags, DWORD* queue) override {
    *flags = 0;
    *queue = queue_;
    return S_OK;
  }
  HRESULT Invoke(IMFAsyncResult* result) override {
    if (onInvoke) onInvoke(result);
    std::lock_guard<std::mutex> hold(lock_);
    ++calls_;
    changed_.notify_all();
    return S_OK;
  }
  bool WaitCalls(int n) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return calls_ >= n; });
  }
  int Calls() {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }
  std::function<void(IMFAsyncResult*)> onInvoke;

 private:
  ~Recorder() override = default;
  DWORD queue_;
  std::mutex lock_;
  std::condition_variable changed_;
  int calls_ = 0;
};

MediaEventType TypeOf(IMFMediaEvent* e) {
  MediaEventType t = MEUnknown;
  e->GetType(&t);
  return t;
}

TEST(MfPropVariant, CopyHoldsItsOwnReferenceAndClearDropsIt) {
  IMFAttributes* unk = nullptr;
  ASSERT_EQ(MFCreateAttributes(&unk, 0), S_OK);
  PROPVARIANT a, b;
  PropVariantInit(&a);
  a.vt = VT_UNKNOWN;
  a.punkVal = unk;
  ASSERT_EQ(PropVariantCopy(&b, &a), S_OK);
  EXPECT_EQ(b.punkVal, unk);
  EXPECT_EQ(unk->AddRef(), 3u);  // creator + copy + this one
  unk->Release();
  PropVariantClear(&b);
  EXPECT_EQ(b.vt, VT_EMPTY);
  CLSID id = IID_IMFMediaEvent;
  PROPVARIANT c, d;
  PropVariantInit(&c);
  c.vt = VT_CLSID;
  c.puuid = &id;
  ASSERT_EQ(PropVariantCopy(&d, &c), S_OK);
  EXPECT_NE(d.puuid, &id);
  EXPECT_EQ(*d.puuid, id);
  PropVariantClear(&d);
  EXPECT_EQ(unk->Release(), 0u);
}

TEST(MfEvents, EventCarriesTypeStatusAndValue) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_I8;
  v.hVal = -42;
  IMFMediaEvent* e = nullptr;
  ASSERT_EQ(MFCreateMediaEvent(MEStreamStarted, GUID_NULL, E_FAIL, &v, &e), S_OK);
  HRESULT status = S_OK;
  PROPVARIANT out;
  EXPECT_EQ(TypeOf(e), MEStreamStarted);
  e->GetStatus(&status);
  EXPECT_EQ(status, E_FAIL);
  ASSERT_EQ(e->GetValue(&out), S_OK);
  EXPECT_EQ(out.vt, VT_I8);
  EXPECT_EQ(out.hVal, -42);
  e->Release();
}

TEST(MfEventQueue, EventsComeOutInOrderAndNoWaitSaysWhenEmpty) {
  IMFMediaEventQueue* q = nullptr;
  ASSERT_EQ(MFCreateEventQueue(&q), S_OK);
  IMFMediaEvent* e = nullptr;
  EXPECT_EQ(q->GetEvent(MF_EVENT_FLAG_NO_WAIT, &e), MF_E_NO_EVENTS_AVAILABLE);
  for (MediaEventType t : {MEStreamStarted, MEMediaSample, MEEndOfStream}) q->QueueEventParamVar(t, GUID_NULL, S_OK, nullptr);
  for (MediaEventType t : {MEStreamStarted, MEMediaSample, MEEndOfStream}) {
    ASSERT_EQ(q->GetEvent(MF_EVENT_FLAG_NO_WAIT, &e), S_OK);
    EXPECT_EQ(TypeOf(e), t);
    e->Release();
  }
  // A blocked reader is woken by an event from another thread.
  std::thread producer([q] { q->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, nullptr); });
  ASSERT_EQ(q->GetEvent(0, &e), S_OK);
  EXPECT_EQ(TypeOf(e), MEMediaSample);
  e->Release();
  producer.join();
  q->Shutdown();
  q->Release();
}

TEST(MfEventQueue, ShutdownWakesABlockedReaderAndRefusesEverything) {
  IMFMediaEventQueue* q = nullptr;
  ASSERT_EQ(MFCreateEventQueue(&q), S_OK);
  std::atomic<HRESULT> got{S_OK};
  std::thread reader([&] {
    IMFMediaEvent* e = nullptr;
    got = q->GetEvent(0, &e);
  });
  // The reader may or may not be waiting yet: either way it must end.
  q->Shutdown();
  reader.join();
  EXPECT_EQ(got.load(), MF_E_SHUTDOWN);
  Recorder& cb = *new Recorder;
  IMFMediaEvent* e = nullptr;
  EXPECT_EQ(q->QueueEventParamVar(MEError, GUID_NULL, S_OK, nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(q->GetEvent(MF_EVENT_FLAG_NO_WAIT, &e), MF_E_SHUTDOWN);
  EXPECT_EQ(q->BeginGetEvent(&cb, nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(q->Shutdown(), MF_E_SHUTDOWN);
  q->Release();
  cb.Release();
}

// The subscriber's callback fires once per event and re-subscribes from
// inside itself, as a media session does; events arrive from two threads.
TEST(MfEventQueue, BeginGetEventFiresOncePerEventInOrder) {
  IMFMediaEventQueue* q = nullptr;
  ASSERT_EQ(MFCreateEventQueue(&q), S_OK);
  constexpr int kEvents = 200;
  std::vector<LONGLONG> seen;
  Recorder& cb = *new Recorder;
  cb.onInvoke = [&](IMFAsyncResult* r) {
    IMFMediaEvent* e = nullptr;
    ASSERT_EQ(q->EndGetEvent(r, &e), S_OK);
    PROPVARIANT v;
    e->GetValue(&v);
    seen.push_back(v.hVal);
    e->Release();
    if (seen.size() < kEvents) {
      ASSERT_EQ(q->BeginGetEvent(&cb, nullptr), S_OK);
    }
  };
  ASSERT_EQ(q->BeginGetEvent(&cb, nullptr), S_OK);
  EXPECT_EQ(q->BeginGetEvent(&cb, nullptr), MF_E_MULTIPLE_BEGIN);
  IMFMediaEvent* e = nullptr;
  EXPECT_EQ(q->GetEvent(MF_EVENT_FLAG_NO_WAIT, &e), MF_E_MULTIPLE_SUBSCRIBERS);
  std::thread producer([q] {
    for (int i = 0; i < kEvents; ++i) {
      PROPVARIANT v;
      PropVariantInit(&v);
      v.vt = VT_I8;
      v.hVal = i;
      q->QueueEventParamVar(MEMediaSample, GUID_NULL, S_OK, &v);
    }
  });
  producer.join();
  ASSERT_TRUE(cb.WaitCalls(kEvents));
  ASSERT_EQ(seen.size(), static_cast<size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) EXPECT_EQ(seen[i], i);
  q->Shutdown();
  q->Release();
  cb.Release();
}

TEST(MfWorkQueue, StandardQueueRunsItemsOneAtATimeInOrder) {
  constexpr int kItems = 100;
  std::vector<IUnknown*> order;
  std::atomic<int> inside{0}, most{0};
  Recorder& cb = *new Recorder;
  cb.onInvoke = [&](IMFAsyncResult* r) {
    most = std::max(most.load(), ++inside);
    order.push_back(r->GetStateNoAddRef());
    std::this_thread::yield();
    --inside;
  };
  // Any object will do as the state that tells the items apart.
  std::vector<IMFAttributes*> states(kItems);
  std::vector<IUnknown*> expected;
  for (int i = 0; i < kItems; ++i) {
    MFCreateAttributes(&states[i], 0);
    expected.push_back(states[i]);
    ASSERT_EQ(MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_STANDARD, &cb, states[i]), S_OK);
  }
  ASSERT_TRUE(cb.WaitCalls(kItems));
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(order, expected);
  for (IMFAttributes* s : states) s->Release();
  EXPECT_EQ(MFPutWorkItem(42, &cb, nullptr), MF_E_INVALID_WORKQUEUE);
  cb.Release();
}

// Two items on the pool meet inside their callbacks: each waits for the
// other, which only ends when they run at the same time.
TEST(MfWorkQueue, MultithreadedQueueRunsItemsInParallel) {
  std::mutex lock;
  std::condition_variable met;
  int arrived = 0;
  bool bothInside = true;
  Recorder& cb = *new Recorder;
  cb.onInvoke = [&](IMFAsyncResult*) {
    std::unique_lock<std::mutex> hold(lock);
    ++arrived;
    met.notify_all();
    if (!met.wait_for(hold, kBound, [&] { return arrived >= 2; })) bothInside = false;
  };
  ASSERT_EQ(MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &cb, nullptr), S_OK);
  ASSERT_EQ(MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &cb, nullptr), S_OK);
  ASSERT_TRUE(cb.WaitCalls(2));
  EXPECT_TRUE(bothInside);
  cb.Release();
}

}  // namespace
