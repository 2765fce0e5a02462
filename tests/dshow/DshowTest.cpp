// The DirectShow model: reference counts and interfaces of the base
// classes, and a counting source into a recording sink across every state
// change and a flush.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "pelplat/dshowbase.h"
#include "pelplat/dshowreg.h"

namespace {

PELPLAT_GUID(CLSID_CountingSource, 0x11111111, 0x2222, 0x3333, 1, 2, 3, 4, 5, 6, 7, 8);
PELPLAT_GUID(CLSID_RecordingSink, 0x11111111, 0x2222, 0x3333, 1, 2, 3, 4, 5, 6, 7, 9);
PELPLAT_FOURCC_GUID(MEDIASUBTYPE_Count, 'C', 'N', 'T', '0');

constexpr uint32_t kSamples = 100;
constexpr auto kPatience = std::chrono::seconds(30);

CMediaType CountType() {
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_Count);
  mt.SetFormatType(&GUID_NULL);
  return mt;
}

// Delivers 0, 1, 2, ... one number per sample; a number counts as sent
// only once the sink took it, so nothing is lost to a stop or a flush.
class CCountingPin final : public CSourceStream {
 public:
  CCountingPin(CSource* filter) : CSourceStream("CountingPin", nullptr, filter, u"Out") { m_mt = CountType(); }
  ~CCountingPin() override {
    if (ThreadExists()) {
      StopCmd();
      Exit();
    }
    Close();
  }
  HRESULT GetMediaType(CMediaType* type) override { return type->Set(CountType()); }
  using CSourceStream::GetMediaType;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES want{3, 4, 1, 0}, actual{};
    return allocator->SetProperties(&want, &actual);
  }
  HRESULT Deliver(IMediaSample* sample) override {
    const HRESULT hr = CSourceStream::Deliver(sample);
    if (hr == S_OK) ++next_;
    return hr;
  }
  void Flush() {
    DeliverBeginFlush();
    StopCmd();
    DeliverEndFlush();
    RunCmd();
  }

 protected:
  HRESULT FillBuffer(IMediaSample* sample) override {
    if (next_ >= kSamples) return S_FALSE;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    memcpy(p, &next_, 4);
    sample->SetActualDataLength(4);
    return S_OK;
  }

 private:
  std::atomic<uint32_t> next_{0};
};

class CCountingSource final : public CSource {
 public:
  CCountingSource() : CSource("CountingSource", nullptr, CLSID_CountingSource) { pin_ = new CCountingPin(this); }
  CCountingPin* pin_;
};

class CRecordingSink;
class CRecordingPin final : public CBaseInputPin {
 public:
  CRecordingPin(CRecordingSink* sink, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType* type) override { return *type == CountType() ? S_OK : E_FAIL; }
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT BeginFlush() override;
  HRESULT Inactive() override;
  HRESULT EndOfStream() override;

 private:
  CRecordingSink* sink_;
};

// Takes a sample only while the test has granted one.
class CRecordingSink final : public CBaseFilter {
 public:
  CRecordingSink() : CBaseFilter("RecordingSink", nullptr, &lock_, CLSID_RecordingSink), pin_(this, &lock_) {}
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }

  void Grant(uint32_t n) {
    std::lock_guard<std::mutex> hold(mutex_);
    permits_ += n;
    changed_.notify_all();
  }
  bool WaitFor(uint32_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, kPatience, [&] { return received_.size() >= count; });
  }
  bool WaitForEnd() {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, kPatience, [&] { return ended_; });
  }
  std::vector<uint32_t> Received() {
    std::lock_guard<std::mutex> hold(mutex_);
    return received_;
  }
  void Wake() {
    std::lock_guard<std::mutex> hold(mutex_);
    changed_.notify_all();
  }

  HRESULT Take(IMediaSample* sample, const CBasePin& pin) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return permits_ > 0 || pin.IsFlushing() || !active_; });
    if (permits_ == 0 || pin.IsFlushing() || !active_) return S_FALSE;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    uint32_t n = 0;
    memcpy(&n, p, 4);
    received_.push_back(n);
    --permits_;
    changed_.notify_all();
    return S_OK;
  }
  void SetActive(bool active) {
    std::lock_guard<std::mutex> hold(mutex_);
    active_ = active;
    changed_.notify_all();
  }
  void End() {
    std::lock_guard<std::mutex> hold(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  HRESULT Pause() override {
    SetActive(true);
    return CBaseFilter::Pause();
  }

 private:
  CCritSec lock_;
  CRecordingPin pin_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint32_t permits_ = 0;
  bool active_ = false;
  bool ended_ = false;
  std::vector<uint32_t> received_;
};

CRecordingPin::CRecordingPin(CRecordingSink* sink, CCritSec* lock)
    : CBaseInputPin("RecordingPin", sink, lock, nullptr, u"In"), sink_(sink) {}
HRESULT CRecordingPin::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  return hr == S_OK ? sink_->Take(sample, *this) : hr;
}
HRESULT CRecordingPin::BeginFlush() {
  CBaseInputPin::BeginFlush();
  sink_->Wake();
  return S_OK;
}
HRESULT CRecordingPin::Inactive() {
  sink_->SetActive(false);
  return CBaseInputPin::Inactive();
}
HRESULT CRecordingPin::EndOfStream() {
  sink_->End();
  return S_OK;
}

class DshowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DsRegisterPlatformClasses();
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(DshowTest, ObjectsCountReferencesAndAnswerTheirInterfaces) {
  auto* source = new CCountingSource();
  struct Case {
    const IID* iid;
    bool answered;
  };
  const Case filterCases[] = {{&IID_IUnknown, true},     {&IID_IBaseFilter, true}, {&IID_IMediaFilter, true},
                              {&IID_IPin, false},        {&IID_IMediaSeeking, false}};
  for (const Case& c : filterCases) {
    void* p = nullptr;
    EXPECT_EQ(source->QueryInterface(*c.iid, &p) == S_OK, c.answered);
    if (p) static_cast<IUnknown*>(p)->Release();
  }
  EXPECT_EQ(source->AddRef(), 2u);
  // A pin's references are its filter's.
  IPin* pin = nullptr;
  ASSERT_EQ(source->FindPin(u"Out", &pin), S_OK);
  EXPECT_EQ(source->AddRef(), 4u);
  source->Release();
  IMemInputPin* notInput = nullptr;
  EXPECT_EQ(pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&notInput)), E_NOINTERFACE);
  pin->Release();
  EXPECT_EQ(source->Release(), 1u);
  source->Release();

  IGraphBuilder* graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  for (const IID* iid : {&IID_IFilterGraph, &IID_IMediaControl, &IID_IMediaEventEx, &IID_IMediaSeeking, &IID_IVideoWindow}) {
    IUnknown* p = nullptr;
    EXPECT_EQ(graph->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
    if (p) p->Release();
  }
  EXPECT_EQ(graph->Release(), 0u);
}

TEST_F(DshowTest, CountingSourceDeliversEverySampleInOrderAcrossStateChangesAndAFlush) {
  auto* source = new CCountingSource();
  auto* sink = new CRecordingSink();
  IGraphBuilder* graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  ASSERT_EQ(graph->AddFilter(source, u"Source"), S_OK);
  ASSERT_EQ(graph->AddFilter(sink, u"Sink"), S_OK);
  ASSERT_EQ(graph->Connect(source->GetPin(0), sink->GetPin(0)), S_OK);
  IMediaControl* control = nullptr;
  ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)), S_OK);

  ASSERT_EQ(control->Pause(), S_OK);
  sink->Grant(20);
  ASSERT_TRUE(sink->WaitFor(20));
  ASSERT_EQ(control->Run(), S_OK);
  sink->Grant(20);
  ASSERT_TRUE(sink->WaitFor(40));
  ASSERT_EQ(control->Stop(), S_OK);
  ASSERT_EQ(control->Run(), S_OK);
  sink->Grant(20);
  ASSERT_TRUE(sink->WaitFor(60));
  source->pin_->Flush();
  sink->Grant(kSamples);
  ASSERT_TRUE(sink->WaitForEnd());
  ASSERT_EQ(control->Stop(), S_OK);

  std::vector<uint32_t> expected(kSamples);
  for (uint32_t i = 0; i < kSamples; ++i) expected[i] = i;
  EXPECT_EQ(sink->Received(), expected);

  control->Release();
  graph->Release();
  source->Release();
  sink->Release();
}

}  // namespace
