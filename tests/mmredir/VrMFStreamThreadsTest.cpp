// A stream between a media session and a source on Media Foundation's
// work queues: every server sample comes out once, in order, acknowledged.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "mmredir/VrMFStream.h"

namespace {

struct CountingChannel : IRdpVirtualChannel {
  int32_t Write(uint32_t, const void*) override {
    ++acks;
    return 0;
  }
  int32_t Close() override { return 0; }
  std::atomic<int> acks{0};
};

// Pulls a queued sample into the stream on the standard work queue when
// the stream asks for more, as the media source does.
struct PullingSource final : IVrMFStreamOwner, IMFAsyncCallback {
  HRESULT QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  // Work-queue results let go of it just after Invoke returns.
  ULONG Release() override {
    const ULONG left = --refs;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetEvent(DWORD, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
  HRESULT EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) override {
    ++errors;
    return S_OK;
  }
  HRESULT SendSourceEvent(VrSourceEvent type, DWORD, DWORD queue) override {
    if (type != VR_SOURCE_NEED_MORE_SAMPLE) return S_OK;
    return MFPutWorkItem(queue, this, nullptr);
  }
  HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Invoke(IMFAsyncResult*) override {
    if (!stream->NeedsMoreSamples()) return S_OK;
    IMFSample* sample = nullptr;
    stream->GetNextSample(&sample);
    if (sample) stream->DeliverSample(sample);
    return S_OK;
  }
  std::atomic<ULONG> refs{1};
  std::atomic<int> errors{0};
  CVrMFStream* stream = nullptr;
};

TEST(StreamThreads, EverySampleComesOutOnceInOrder) {
  constexpr int kSamples = 150;
  CVrMFStream* stream = new CVrMFStream(3);
  PullingSource& source = *new PullingSource;
  source.stream = stream;
  auto channel = std::make_shared<CountingChannel>();
  IMFStreamDescriptor* sd = nullptr;
  MFCreateStreamDescriptor(3, 0, nullptr, &sd);
  source.AddRef();
  ASSERT_EQ(stream->Initialize(&source, sd), S_OK);
  stream->SetChannel(channel);
  // The server's samples arrive on the channel's thread while the session
  // starts the stream and asks for samples on its own.
  std::thread server([&] {
    for (int i = 0; i < kSamples; ++i) {
      uint8_t record[37] = {};
      record[0] = uint8_t(i);
      record[1] = uint8_t(i >> 8);
      record[32] = 1;  // cbData
      record[36] = uint8_t(i);
      stream->OnSample(record, sizeof(record));
    }
  });
  server.join();
  PROPVARIANT at;
  PropVariantInit(&at);
  ASSERT_EQ(stream->SetStart(at, false), S_OK);
  std::vector<LONGLONG> times;
  IMFMediaEvent* e = nullptr;
  ASSERT_EQ(stream->GetEvent(0, &e), S_OK);  // MEStreamStarted
  e->Release();
  while (times.size() < kSamples) {
    ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
    ASSERT_EQ(stream->GetEvent(0, &e), S_OK);
    MediaEventType type = MEUnknown;
    e->GetType(&type);
    ASSERT_EQ(type, MEMediaSample);
    PROPVARIANT v;
    e->GetValue(&v);
    LONGLONG t = -1;
    static_cast<IMFSample*>(v.punkVal)->GetSampleTime(&t);
    times.push_back(t);
    PropVariantClear(&v);
    e->Release();
  }
  for (int i = 0; i < kSamples; ++i) EXPECT_EQ(times[i], i);
  EXPECT_EQ(channel->acks.load(), kSamples);
  EXPECT_EQ(source.errors.load(), 0);
  stream->Shutdown();
  // Work items still pending hold no reference on the stream: wait for the
  // standard queue to drain before the stream goes.
  auto drained = std::make_shared<std::promise<void>>();
  struct Fence final : IMFAsyncCallback {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
      const ULONG left = --refs;
      if (left == 0) delete this;
      return left;
    }
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult*) override {
      done->set_value();
      return S_OK;
    }
    std::atomic<ULONG> refs{1};
    std::shared_ptr<std::promise<void>> done;
  }* fence = new Fence;
  fence->done = drained;
  MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_STANDARD, fence, nullptr);
  fence->Release();
  ASSERT_EQ(drained->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(stream->Release(), 0u);
  sd->Release();
  source.Release();
}

}  // namespace
