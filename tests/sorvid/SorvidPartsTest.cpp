// The library's parts driven directly: the push source's buffer sizes and
// sample properties against a recording sink, the presenter's surfaces and
// their recovery, and the player's graph builds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <vector>

#include "FormatRecordToMediaType.h"
#include "SorvidTestSupport.h"
#include "VrNetSource.h"
#include "VrPlayer.h"
#include "VrVMR7Presenter.h"
#include "pelplat/dshowreg.h"
#include "support/RecordingScreen.h"

namespace {

PELPLAT_GUID(CLSID_SampleSink, 0x5A3B1C00, 0x1111, 0x2222, 1, 2, 3, 4, 5, 6, 7, 8);
const HWND kWindow = reinterpret_cast<HWND>(0x4B02);

CMediaType TypeOf(const StreamFormatRecord& record) {
  CMediaType mt;
  EXPECT_EQ(FormatRecordToMediaType(&record, &mt), S_OK);
  return mt;
}

struct Delivered {
  LONG actual;
  bool hasMediaType;
  REFERENCE_TIME start;
  BYTE first;
};

class CSampleSink;
class CSampleSinkPin final : public CBaseInputPin {
 public:
  CSampleSinkPin(CSampleSink* sink, CCritSec* lock);
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  HRESULT Receive(IMediaSample* sample) override;
  IMemAllocator* CurrentAllocator() const { return m_pAllocator; }
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
    segmentRate = rate;
    ++segments;
    return CBasePin::NewSegment(start, stop, rate);
  }
  HRESULT BeginFlush() override {
    ++flushes;
    return CBaseInputPin::BeginFlush();
  }
  std::atomic<double> segmentRate{-1};
  std::atomic<int> segments{0}, flushes{0};

 private:
  CSampleSink* sink_;
};

// Keeps what every delivered sample said about itself.
class CSampleSink final : public CBaseFilter {
 public:
  CSampleSink() : CBaseFilter("SampleSink", nullptr, &lock_, CLSID_SampleSink), pin_(this, &lock_) {}
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }

  void Record(IMediaSample* sample) {
    Delivered d{};
    d.actual = sample->GetActualDataLength();
    AM_MEDIA_TYPE* type = nullptr;
    d.hasMediaType = sample->GetMediaType(&type) == S_OK;
    DeleteMediaType(type);
    REFERENCE_TIME stop = 0;
    sample->GetTime(&d.start, &stop);
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    d.first = p ? p[0] : 0;
    std::lock_guard<std::mutex> hold(mutex_);
    delivered_.push_back(d);
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(30), [&] { return delivered_.size() >= count; });
  }
  std::vector<Delivered> Samples() {
    std::lock_guard<std::mutex> hold(mutex_);
    return delivered_;
  }
  IMemAllocator* Allocator() { return pin_.CurrentAllocator(); }
  CSampleSinkPin& Pin() { return pin_; }

 private:
  CCritSec lock_;
  CSampleSinkPin pin_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivered> delivered_;
};

CSampleSinkPin::CSampleSinkPin(CSampleSink* sink, CCritSec* lock)
    : CBaseInputPin("SampleSinkPin", sink, lock, nullptr, u"In"), sink_(sink) {}
HRESULT CSampleSinkPin::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr == S_OK) sink_->Record(sample);
  return hr;
}

class SorvidPartsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    DsRegisterPlatformClasses();
  }
  void TearDown() override {
    DDrawRefuseSurfaceDepth(0);
    CoUninitialize();
  }
};

TEST_F(SorvidPartsTest, BufferSizeComesFromThePictureWithinBounds) {
  struct SizeCase {
    const char* name;
    StreamFormatRecord record;
    ALLOCATOR_PROPERTIES pending;
    HRESULT result;
    ALLOCATOR_PROPERTIES granted;
  };
  const GUID& m2 = MEDIASUBTYPE_MPEG2_VIDEO;
  const SizeCase cases[] = {
      {"640 x 480 at 24 bits", VideoRecord(m2, FORMAT_VideoInfo, 88, 640, 480), {}, S_OK, {1, 921600, 1, 0}},
      {"bottom-up height counts as its size", VideoRecord(m2, FORMAT_VideoInfo, 88, 640, -480), {}, S_OK,
       {1, 921600, 1, 0}},
      {"video info 2 at offset 72", VideoRecord(m2, FORMAT_VideoInfo2, 112, 640, 480, 24, 72), {}, S_OK,
       {1, 921600, 1, 0}},
      {"small pictures get 0x3000", VideoRecord(m2, FORMAT_VideoInfo, 88, 16, 16, 8), {}, S_OK, {1, 0x3000, 1, 0}},
      {"pending properties as they are", VideoRecord(m2, FORMAT_VideoInfo, 88, 16, 16), {4, 65536, 1, 0}, S_OK,
       {4, 65536, 1, 0}},
      {"pending without buffers are ignored", VideoRecord(m2, FORMAT_VideoInfo, 88, 16, 16), {0, 65536, 1, 0}, S_OK,
       {1, 0x3000, 1, 0}},
      {"a picture beyond 2 GB is refused", VideoRecord(m2, FORMAT_VideoInfo, 88, 100000, 30000, 32), {}, E_FAIL, {}},
      {"the largest sides are refused", VideoRecord(m2, FORMAT_VideoInfo, 88, 0x7FFFFFFF, 0x7FFFFFFF, 32), {},
       E_FAIL, {}},
      {"a negative width is refused", VideoRecord(m2, FORMAT_VideoInfo, 88, -640, 480, 32), {}, E_FAIL, {}},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    HRESULT hr = S_OK;
    auto* source = new CVrNetSource(&hr);
    ASSERT_EQ(hr, S_OK);
    source->SetStreamMediaType(TypeOf(c.record));
    source->SetAllocatorProperties(c.pending);
    IMemAllocator* allocator = nullptr;
    ASSERT_EQ(CreateMemoryAllocator(&allocator), S_OK);
    ALLOCATOR_PROPERTIES request{0, 0, 1, 0};
    EXPECT_EQ(source->Stream()->DecideBufferSize(allocator, &request), c.result);
    if (c.result == S_OK) {
      ALLOCATOR_PROPERTIES got{};
      allocator->GetProperties(&got);
      EXPECT_EQ(got.cBuffers, c.granted.cBuffers);
      EXPECT_EQ(got.cbBuffer, c.granted.cbBuffer);
    }
    EXPECT_EQ(source->Stream()->DecideBufferSize(nullptr, &request), E_POINTER);
    allocator->Release();
    source->Release();
  }

  // A format block too short for a picture header counts as all zero.
  HRESULT hr = S_OK;
  auto* source = new CVrNetSource(&hr);
  CMediaType shortType = TypeOf(VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 640, 480));
  shortType.cbFormat = 50;
  source->SetStreamMediaType(shortType);
  shortType.cbFormat = 88;
  IMemAllocator* allocator = nullptr;
  CreateMemoryAllocator(&allocator);
  ALLOCATOR_PROPERTIES request{0, 0, 1, 0}, got{};
  EXPECT_EQ(source->Stream()->DecideBufferSize(allocator, &request), S_OK);
  allocator->GetProperties(&got);
  EXPECT_EQ(got.cbBuffer, 0x3000);
  allocator->Release();
  source->Release();
}

class SourceIntoSink : public SorvidPartsTest {
 protected:
  void Build(ALLOCATOR_PROPERTIES pending) {
    HRESULT hr = S_OK;
    source_ = new CVrNetSource(&hr);
    source_->SetStreamMediaType(TypeOf(VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 16, 16)));
    source_->SetAllocatorProperties(pending);
    sink_ = new CSampleSink();
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph_)),
              S_OK);
    graph_->AddFilter(source_, u"NetSource");
    graph_->AddFilter(sink_, u"Sink");
    ASSERT_EQ(graph_->ConnectDirect(source_->GetPin(0), sink_->GetPin(0), nullptr), S_OK);
    graph_->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control_));
  }
  void TearDown() override {
    if (control_) {
      control_->Stop();
      control_->Release();
    }
    if (graph_) graph_->Release();
    if (source_) source_->Release();
    if (sink_) sink_->Release();
    SorvidPartsTest::TearDown();
  }
  HRESULT Push(size_t size, BYTE first, const SampleInfoRecord* info = nullptr) {
    std::vector<BYTE> bytes(size, first);
    return source_->QueueSample(bytes.data(), static_cast<uint32_t>(size), info);
  }

  CVrNetSource* source_ = nullptr;
  CSampleSink* sink_ = nullptr;
  IGraphBuilder* graph_ = nullptr;
  IMediaControl* control_ = nullptr;
};

TEST_F(SourceIntoSink, QueuedSamplesWaitForPauseAndComeInOrder) {
  Build({2, 64, 1, 0});
  EXPECT_EQ(source_->QueueSample(nullptr, 4, nullptr), E_INVALIDARG);
  const BYTE one = 1;
  EXPECT_EQ(source_->QueueSample(&one, 0, nullptr), E_INVALIDARG);
  for (BYTE i = 0; i < 5; ++i) ASSERT_EQ(Push(10, i), S_OK);
  EXPECT_EQ(source_->Stream()->QueuedCount(), 5u);
  ASSERT_EQ(control_->Pause(), S_OK);
  ASSERT_TRUE(sink_->WaitFor(5));
  const auto samples = sink_->Samples();
  for (BYTE i = 0; i < 5; ++i) EXPECT_EQ(samples[i].first, i);
}

TEST_F(SourceIntoSink, StopStreamAndFlushLeaveALoopThatTheNextSampleRestarts) {
  Build({2, 64, 1, 0});
  ASSERT_EQ(control_->Run(), S_OK);
  ASSERT_EQ(Push(10, 1), S_OK);
  ASSERT_TRUE(sink_->WaitFor(1));
  EXPECT_EQ(source_->StopStream(), S_OK);
  ASSERT_EQ(Push(10, 2), S_OK);
  ASSERT_TRUE(sink_->WaitFor(2));
  EXPECT_EQ(source_->BeginFlush(), S_OK);
  EXPECT_EQ(source_->Stream()->QueuedCount(), 0u);
  EXPECT_EQ(source_->EndFlush(), S_OK);
  ASSERT_EQ(Push(10, 3), S_OK);
  ASSERT_TRUE(sink_->WaitFor(3));
  EXPECT_EQ(sink_->Samples()[2].first, 3);
}

TEST_F(SourceIntoSink, LargeSamplesGrowTheBuffersAndArriveWhole) {
  Build({1, 600, 1, 0});
  ASSERT_EQ(control_->Run(), S_OK);
  ASSERT_EQ(Push(1000, 7), S_OK);
  ASSERT_TRUE(sink_->WaitFor(1));
  EXPECT_EQ(sink_->Samples()[0].actual, 1000);
  ALLOCATOR_PROPERTIES got{};
  sink_->Allocator()->GetProperties(&got);
  EXPECT_EQ(got.cbBuffer, 1500);
}

TEST_F(SourceIntoSink, SampleRecordsApplyWithinTheBytesCopied) {
  Build({2, 64, 1, 0});
  ASSERT_EQ(control_->Run(), S_OK);
  struct RecordCase {
    const char* name;
    uint32_t cbData;
    int32_t lActual;
    LONG delivered;
    REFERENCE_TIME start;
  };
  const RecordCase cases[] = {
      {"a length beyond the data is cut to it", 48, 5000, 20, 777},
      {"a negative length counts as none", 48, -5, 0, 777},
      {"a shorter length is kept", 48, 12, 12, 777},
      {"cbData 12 stops before the length", 12, 3, 20, 0},
      {"cbData 0 applies nothing", 0, 3, 20, 0},
  };
  size_t n = 0;
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    SampleInfoRecord info;
    info.cbData = c.cbData;
    info.actual = c.lActual;
    info.sampleFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_TYPECHANGED;
    info.start = 777;
    info.mediaTypePointer = 0xDEADBEEF;  // the sender's pointer: never followed
    ASSERT_EQ(Push(20, 9, &info), S_OK);
    ASSERT_TRUE(sink_->WaitFor(++n));
    const Delivered d = sink_->Samples().back();
    EXPECT_EQ(d.actual, c.delivered);
    EXPECT_FALSE(d.hasMediaType);
    EXPECT_EQ(d.start, c.start);
  }
}

TEST_F(SourceIntoSink, NewSegmentsGoDownstreamAndOnlyAValidRateRestartsDelivery) {
  Build({2, 64, 1, 0});
  ASSERT_EQ(control_->Run(), S_OK);
  ASSERT_EQ(source_->NewSegment(0, 1000, 0.0), S_OK);
  EXPECT_EQ(sink_->Pin().segmentRate.load(), 0.0);
  EXPECT_EQ(sink_->Pin().flushes.load(), 0);
  ASSERT_EQ(source_->NewSegment(0, 1000, 2.0), S_OK);
  EXPECT_EQ(sink_->Pin().segmentRate.load(), 2.0);
  EXPECT_EQ(sink_->Pin().flushes.load(), 1);  // the restart flushes downstream
  ASSERT_EQ(Push(10, 4), S_OK);
  ASSERT_TRUE(sink_->WaitFor(1));
}

// ---- the presenter ----------------------------------------------------------------
class CFakeNotify final : public CUnknown, public IVMRSurfaceAllocatorNotify {
 public:
  CFakeNotify() : CUnknown("FakeNotify", nullptr) {}
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IVMRSurfaceAllocatorNotify)
      return GetInterface(static_cast<IVMRSurfaceAllocatorNotify*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }
  HRESULT AdviseSurfaceAllocator(DWORD_PTR, IVMRSurfaceAllocator*) override { return S_OK; }
  HRESULT SetDDrawDevice(IDirectDraw7*, HMONITOR) override { return S_OK; }
  HRESULT ChangeDDrawDevice(IDirectDraw7*, HMONITOR) override {
    ++changes;
    return S_OK;
  }
  HRESULT RestoreDDrawSurfaces() override { return S_OK; }
  HRESULT NotifyEvent(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
  HRESULT SetBorderColor(DWORD) override { return S_OK; }
  int changes = 0;
};

class PresenterTest : public SorvidPartsTest {
 protected:
  void SetUp() override {
    SorvidPartsTest::SetUp();
    screen_.AddWindow(kWindow, RECT{200, 100, 600, 400});
  }
  CVrVMR7Presenter* Make(HRESULT* hr, HWND window = kWindow) {
    auto* p = new CVrVMR7Presenter(nullptr, window, 0x00FF00FF, hr);
    if (FAILED(*hr)) {
      p->Release();
      return nullptr;
    }
    return p;
  }
  // A renderer surface of 4 x 2 pixels filled with one colour.
  IDirectDrawSurface7* Frame(uint32_t rgb, IDirectDraw7** ddraw) {
    DirectDrawCreateEx(nullptr, reinterpret_cast<void**>(ddraw), IID_IDirectDraw7, nullptr);
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
    desc.dwWidth = 4;
    desc.dwHeight = 2;
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN;
    IDirectDrawSurface7* s = nullptr;
    (*ddraw)->CreateSurface(&desc, &s, nullptr);
    DDBLTFX fx{sizeof(DDBLTFX), rgb};
    s->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL, &fx);
    return s;
  }
  HRESULT Allocate(CVrVMR7Presenter* p, IDirectDrawSurface7** surface) {
    BITMAPINFOHEADER header{};
    header.biBitCount = 32;
    VMRALLOCATIONINFO info{};
    info.lpHdr = &header;
    info.szNativeSize = {4, 2};
    DWORD buffers = 1;
    return p->AllocateSurface(1, &info, &buffers, surface);
  }
  // A presenter advised and holding the renderer's surface, as the
  // renderer leaves it before its first frame; Retire undoes it all.
  struct Advised {
    CFakeNotify* notify = nullptr;
    IDirectDrawSurface7* rendererSurface = nullptr;
  };
  Advised Advise(CVrVMR7Presenter* p) {
    Advised a;
    a.notify = new CFakeNotify();
    EXPECT_EQ(p->AdviseNotify(a.notify), S_OK);
    EXPECT_EQ(Allocate(p, &a.rendererSurface), S_OK);
    return a;
  }
  static void Retire(CVrVMR7Presenter* p, const Advised& a) {
    if (a.rendererSurface) a.rendererSurface->Release();
    p->FreeSurface(1);
    p->AdviseNotify(nullptr);
    p->Release();
    a.notify->Release();
  }

  RecordingScreen screen_;
};

TEST_F(PresenterTest, ConstructionNeedsAWindowAndMoreThan8Bits) {
  HRESULT hr = S_OK;
  EXPECT_EQ(Make(&hr, nullptr), nullptr);
  EXPECT_EQ(hr, E_INVALIDARG);
  screen_.SetMode({1280, 1024, 8});
  EXPECT_EQ(Make(&hr), nullptr);
  EXPECT_EQ(hr, DDERR_INVALIDMODE);
}

TEST_F(PresenterTest, WindowlessControlKeepsPositionAndKey) {
  HRESULT hr = S_OK;
  CVrVMR7Presenter* p = Make(&hr);
  ASSERT_EQ(hr, S_OK);
  const RECT source{0, 0, 320, 240}, destination{10, 10, 330, 250};
  EXPECT_EQ(p->SetVideoPosition(&source, &destination), S_OK);
  RECT s{}, d{};
  EXPECT_EQ(p->GetVideoPosition(&s, &d), S_OK);
  EXPECT_EQ(s.right, 0);  // no native size yet
  EXPECT_EQ(d.left, 10);
  EXPECT_EQ(d.bottom, 250);
  EXPECT_EQ(p->SetColorKey(0x123456), E_NOTIMPL);
  COLORREF key = 0;
  EXPECT_EQ(p->GetColorKey(&key), E_NOTIMPL);
  EXPECT_EQ(key, 0x123456u);
  EXPECT_EQ(p->PresentImage(1, nullptr), E_POINTER);
  VMRPRESENTATIONINFO info{};
  EXPECT_EQ(p->PresentImage(1, &info), E_POINTER);
  EXPECT_EQ(p->RepaintVideo(nullptr, nullptr), E_NOINTERFACE);
  IDirectDrawSurface7* surface = nullptr;
  EXPECT_EQ(Allocate(p, &surface), E_FAIL);  // no notify yet
  p->Release();
}

TEST_F(PresenterTest, LostSurfacesAnswerPendingUntilAllThreeAreBack) {
  HRESULT hr = S_OK;
  CVrVMR7Presenter* p = Make(&hr);
  ASSERT_EQ(hr, S_OK);
  const Advised advised = Advise(p);
  ASSERT_NE(advised.rendererSurface, nullptr);
  const RECT destination{20, 30, 28, 34};
  ASSERT_EQ(p->SetVideoPosition(nullptr, &destination), S_OK);

  IDirectDraw7* ddraw = nullptr;
  IDirectDrawSurface7* frame = Frame(0x00336699, &ddraw);
  VMRPRESENTATIONINFO info{};
  info.lpSurf = frame;
  EXPECT_EQ(p->PresentImage(1, &info), S_OK);
  EXPECT_EQ(screen_.Pixel(kWindow, 20, 30), 0x00336699u);

  DDrawLoseAllSurfaces();
  frame->Restore();
  EXPECT_EQ(p->PresentImage(1, &info), E_PENDING);
  // The video surface cannot be made again yet.
  DDrawRefuseSurfaceDepth(32);
  EXPECT_EQ(p->PresentImage(1, &info), E_PENDING);
  EXPECT_EQ(p->PresentImage(1, &info), E_PENDING);
  DDrawRefuseSurfaceDepth(0);
  DDBLTFX fx{sizeof(DDBLTFX), 0x00C08040};
  frame->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL, &fx);
  EXPECT_EQ(p->PresentImage(1, &info), S_OK);
  EXPECT_EQ(screen_.Pixel(kWindow, 27, 33), 0x00C08040u);
  EXPECT_GE(advised.notify->changes, 1);

  frame->Release();
  ddraw->Release();
  Retire(p, advised);
}

TEST_F(PresenterTest, SixteenBitDisplaysFallBackToA565VideoSurface) {
  screen_.SetMode({1280, 1024, 16});
  DDrawRefuseSurfaceDepth(32);
  HRESULT hr = S_OK;
  CVrVMR7Presenter* p = Make(&hr);
  ASSERT_EQ(hr, S_OK);
  const Advised advised = Advise(p);
  ASSERT_NE(advised.rendererSurface, nullptr);
  DDSURFACEDESC2 desc{};
  desc.dwSize = sizeof(desc);
  advised.rendererSurface->GetSurfaceDesc(&desc);
  EXPECT_EQ(desc.ddpfPixelFormat.dwRGBBitCount, 16u);
  // A 5-6-5 frame shows through the 5-6-5 video surface in its colour.
  const RECT destination{0, 0, 4, 2};
  p->SetVideoPosition(nullptr, &destination);
  IDirectDraw7* ddraw = nullptr;
  IDirectDrawSurface7* frame = Frame(0xF800, &ddraw);  // 5-6-5 red
  VMRPRESENTATIONINFO info{};
  info.lpSurf = frame;
  EXPECT_EQ(p->PresentImage(1, &info), S_OK);
  EXPECT_EQ(screen_.Pixel(kWindow, 1, 1), 0x00FF0000u);
  frame->Release();
  ddraw->Release();
  Retire(p, advised);
}

// Client destinations a server can name: the frame shows where the
// destination lies on the display, and nothing is read or written
// elsewhere.
TEST_F(PresenterTest, HostileDestinationsPresentOnlyWhatLiesOnTheDisplay) {
  constexpr LONG kMin = std::numeric_limits<LONG>::min(), kMax = std::numeric_limits<LONG>::max();
  constexpr uint32_t kFrame = 0x00336699, kNothing = 0xFF000000;
  HRESULT hr = S_OK;
  CVrVMR7Presenter* p = Make(&hr);
  ASSERT_EQ(hr, S_OK);
  const Advised advised = Advise(p);
  ASSERT_NE(advised.rendererSurface, nullptr);
  IDirectDraw7* ddraw = nullptr;
  IDirectDrawSurface7* frame = Frame(kFrame, &ddraw);
  VMRPRESENTATIONINFO info{};
  info.lpSurf = frame;
  struct Probe {
    int x, y;
    uint32_t value;
  };
  struct DestinationCase {
    const char* name;
    RECT destination;
    std::vector<Probe> probes;  // window pixels
  };
  const DestinationCase cases[] = {
      {"inside the window", {10, 20, 18, 24}, {{10, 20, kFrame}, {17, 23, kFrame}, {18, 24, kNothing}}},
      {"over the window's top-left corner", {-4, -4, 4, 4}, {{0, 0, kFrame}, {3, 3, kFrame}, {4, 4, kNothing}}},
      {"wider than a LONG holds", {-2147483000, 0, 2147483000, 10}, {{0, 0, kNothing}, {399, 9, kNothing}}},
      {"at the top of the LONG range", {kMax - 10, kMax - 10, kMax, kMax}, {{0, 0, kNothing}}},
      {"at the bottom of the LONG range", {kMin, kMin, kMin + 10, kMin + 10}, {{0, 0, kNothing}}},
      {"the whole LONG range", {kMin, kMin, kMax, kMax}, {{0, 0, kNothing}, {200, 150, kNothing}}},
      {"inverted", {50, 50, 10, 10}, {{30, 30, kNothing}}},
      {"at negative coordinates", {-300, -300, -100, -100}, {{0, 0, kNothing}}},
  };
  for (const DestinationCase& c : cases) {
    SCOPED_TRACE(c.name);
    screen_.AddWindow(kWindow, RECT{200, 100, 600, 400});  // a clean canvas
    EXPECT_EQ(p->SetVideoPosition(nullptr, &c.destination), S_OK);
    EXPECT_EQ(p->PresentImage(1, &info), S_OK);
    EXPECT_EQ(p->RepaintVideo(nullptr, nullptr), S_OK);
    for (const Probe& probe : c.probes) {
      SCOPED_TRACE(::testing::Message() << "at " << probe.x << "," << probe.y);
      EXPECT_EQ(screen_.Pixel(kWindow, probe.x, probe.y), probe.value);
    }
  }
  frame->Release();
  ddraw->Release();
  Retire(p, advised);
}

// ---- the player ---------------------------------------------------------------------
class PlayerTest : public PresenterTest {};

bool HasFilter(IFilterGraph* graph, const char16_t* name) {
  IBaseFilter* f = nullptr;
  if (FAILED(graph->FindFilterByName(name, &f))) return false;
  f->Release();
  return true;
}

TEST_F(PlayerTest, RebuildsReuseThePresenterAndDetachTheOldRenderer) {
  auto* player = new CVrNspPlayerEx();
  ASSERT_EQ(player->Init(TypeOf(VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240))), S_OK);
  ASSERT_EQ(player->SelectAndRender(kWindow, 0x00FF0000, nullptr, 0), S_OK);
  EXPECT_EQ(player->ColourKey(), 0x000000FFu);
  EXPECT_TRUE(HasFilter(player->Graph(), u"VrVMR7 Custom"));
  CVrVMR7Presenter* first = player->Presenter();
  ASSERT_NE(first, nullptr);

  const RECT rect{10, 20, 110, 80};
  ASSERT_EQ(player->WindowRect(&rect, 5, -5), S_OK);
  RECT source{}, destination{};
  first->GetVideoPosition(&source, &destination);
  EXPECT_EQ(source.right, 320);
  EXPECT_EQ(source.bottom, 240);
  EXPECT_EQ(destination.left, 15);
  EXPECT_EQ(destination.top, 15);
  EXPECT_EQ(destination.right, 115);
  EXPECT_EQ(destination.bottom, 75);
  EXPECT_EQ(player->UpdateWindowRectToScroll(10, 0), S_OK);
  first->GetVideoPosition(nullptr, &destination);
  EXPECT_EQ(destination.left, 5);

  ASSERT_EQ(player->SelectAndRender(kWindow, 0xFFFFFFFF, nullptr, 0), S_OK);
  EXPECT_EQ(player->ColourKey(), 0x00FFFFFFu);
  EXPECT_EQ(player->Presenter(), first);
  // The player and the current renderer hold it; the first renderer let go.
  EXPECT_EQ(first->AddRef(), 3u);
  first->Release();
  player->Release();
}

// Offsets and scrolls that would carry an edge past the LONG range leave
// it at the end of the range.
TEST_F(PlayerTest, WindowRectanglesAndScrollsNearTheLimitsOfALongStopAtThem) {
  constexpr LONG kMin = std::numeric_limits<LONG>::min(), kMax = std::numeric_limits<LONG>::max();
  auto* player = new CVrNspPlayerEx();
  ASSERT_EQ(player->Init(TypeOf(VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240))), S_OK);
  ASSERT_EQ(player->SelectAndRender(kWindow, 0x00FF0000, nullptr, 0), S_OK);
  CVrVMR7Presenter* presenter = player->Presenter();
  ASSERT_NE(presenter, nullptr);
  const RECT rect{kMax - 10, kMin + 10, kMax - 5, kMin + 20};
  ASSERT_EQ(player->WindowRect(&rect, 100, -100), S_OK);
  RECT destination{};
  presenter->GetVideoPosition(nullptr, &destination);
  EXPECT_EQ(destination.left, kMax);
  EXPECT_EQ(destination.top, kMin);
  EXPECT_EQ(destination.right, kMax);
  EXPECT_EQ(destination.bottom, kMin);

  const RECT sane{10, 20, 110, 80};
  ASSERT_EQ(player->WindowRect(&sane, 0, 0), S_OK);
  EXPECT_EQ(player->UpdateWindowRectToScroll(kMin, kMax), S_OK);  // moves by (2^31, 1 - 2^31)
  presenter->GetVideoPosition(nullptr, &destination);
  EXPECT_EQ(destination.left, kMax);
  EXPECT_EQ(destination.top, 20 - kMax);
  EXPECT_EQ(destination.right, kMax);
  EXPECT_EQ(destination.bottom, 80 - kMax);
  player->Release();
}

TEST_F(PlayerTest, WithoutAPresenterTheWindowlessRendererServes) {
  auto* player = new CVrNspPlayerEx();
  ASSERT_EQ(player->Init(TypeOf(VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240))), S_OK);
  screen_.SetMode({1280, 1024, 8});
  ASSERT_EQ(player->SelectAndRender(kWindow, 0x00FF0000, nullptr, 0), S_OK);
  EXPECT_EQ(player->Presenter(), nullptr);
  EXPECT_TRUE(HasFilter(player->Graph(), u"VMR7"));
  EXPECT_FALSE(HasFilter(player->Graph(), u"VrVMR7 Custom"));
  EXPECT_EQ(player->Stop(), S_OK);
  player->Release();
}

}  // namespace
