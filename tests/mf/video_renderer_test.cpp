// The video renderer against a clock the test drives: frames shown in time
// order and not before their time, the composed picture pixel by pixel
// (scaling, the alpha bitmap's opaque, clear and half-alpha pixels in a
// sub-rectangle), repaint, markers, flush and unreadable samples.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "pelplat/d3d9.h"
#include "pelplat/videowindow.h"
#include "renderer_support.h"

namespace {

using namespace renderer_test;

struct Shown {
  int width, height;
  std::vector<uint8_t> bgrx;
  uint8_t At(int x, int y, int c) const { return bgrx[(static_cast<size_t>(y) * width + x) * 4 + c]; }
};

// BGRX bytes of a w x h frame from a per-pixel colour function (0xRRGGBB).
template <class F>
std::vector<uint8_t> FrameOf(int w, int h, F colour) {
  std::vector<uint8_t> out;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      out.push_back(static_cast<uint8_t>(c));
      out.push_back(static_cast<uint8_t>(c >> 8));
      out.push_back(static_cast<uint8_t>(c >> 16));
      out.push_back(0);
    }
  return out;
}

class VideoRendererTest : public RendererFixture {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
    RegisterVideoPresenter(window_, [this](const VideoPresentation& p) {
      Shown shown{p.width, p.height, {}};
      for (int y = 0; y < p.height; ++y)
        shown.bgrx.insert(shown.bgrx.end(), p.bgrx + static_cast<ptrdiff_t>(y) * p.stride,
                          p.bgrx + static_cast<ptrdiff_t>(y) * p.stride + p.width * 4);
      {
        std::lock_guard<std::mutex> hold(lock_);
        shown_.push_back(std::move(shown));
      }
      changed_.notify_all();
    });
    IMFActivate* activate = nullptr;
    ASSERT_EQ(MFCreateVideoRendererActivate(window_, &activate), S_OK);
    Open(activate);
  }
  void TearDown() override {
    UnregisterVideoPresenter(window_);
    Close();
    MFShutdown();
  }

  void SetType(UINT32 w, UINT32 h) {
    IMFMediaType* type = nullptr;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
    MFSetAttributeSize(type, MF_MT_FRAME_SIZE, w, h);
    SetCurrentType(type);
  }
  bool WaitShown(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return shown_.size() >= count; });
  }
  std::vector<Shown> ShownSoFar() {
    std::lock_guard<std::mutex> hold(lock_);
    return shown_;
  }
  template <class I>
  I* Service(REFGUID service, REFIID iid) {
    I* out = nullptr;
    EXPECT_EQ(MFGetService(sink_, service, iid, reinterpret_cast<void**>(&out)), S_OK);
    return out;
  }
  // An A8R8G8B8 system-memory surface filled from a per-pixel 0xAARRGGBB.
  template <class F>
  IDirect3DSurface9* Surface(UINT w, UINT h, F argb) {
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    EXPECT_NE(d3d, nullptr);
    if (!d3d) return nullptr;
    D3DPRESENT_PARAMETERS params{};
    params.BackBufferWidth = w;
    params.BackBufferHeight = h;
    params.BackBufferFormat = D3DFMT_X8R8G8B8;
    params.SwapEffect = D3DSWAPEFFECT_DISCARD;
    params.Windowed = TRUE;
    IDirect3DDevice9* device = nullptr;
    EXPECT_EQ(d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr, 0x26, &params, &device), S_OK);
    IDirect3DSurface9* surface = nullptr;
    if (device) {
      EXPECT_EQ(device->CreateOffscreenPlainSurface(w, h, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &surface, nullptr), S_OK);
    }
    if (surface) {
      D3DLOCKED_RECT locked{};
      EXPECT_EQ(surface->LockRect(&locked, nullptr, 0), S_OK);
      for (UINT y = 0; y < h; ++y)
        for (UINT x = 0; x < w; ++x) {
          const uint32_t v = argb(x, y);
          uint8_t* px = static_cast<uint8_t*>(locked.pBits) + static_cast<ptrdiff_t>(y) * locked.Pitch + x * 4;
          px[0] = static_cast<uint8_t>(v);
          px[1] = static_cast<uint8_t>(v >> 8);
          px[2] = static_cast<uint8_t>(v >> 16);
          px[3] = static_cast<uint8_t>(v >> 24);
        }
      surface->UnlockRect();
    }
    if (device) device->Release();
    d3d->Release();
    return surface;
  }

  const HWND window_ = reinterpret_cast<HWND>(0x7e57);
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Shown> shown_;
};

TEST_F(VideoRendererTest, TypeHandlerTakesOnlyRgb32OfASaneSizeAndStride) {
  IMFMediaTypeHandler* handler = nullptr;
  ASSERT_EQ(stream_->GetMediaTypeHandler(&handler), S_OK);
  struct Case {
    const char* name;
    GUID subtype;
    UINT32 w, h;
    bool stride;
    int32_t strideValue;
    bool accepted;
  };
  const Case cases[] = {
      {"rgb32", MFVideoFormat_RGB32, 320, 240, false, 0, true},
      {"padded stride", MFVideoFormat_RGB32, 320, 240, true, 1344, true},
      {"bottom-up", MFVideoFormat_RGB32, 320, 240, true, -1280, true},
      {"stride shorter than a row", MFVideoFormat_RGB32, 320, 240, true, 1276, false},
      {"nv12", MFVideoFormat_NV12, 320, 240, false, 0, false},
      {"no size", MFVideoFormat_RGB32, 0, 0, false, 0, false},
      {"too large", MFVideoFormat_RGB32, 100000, 4, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IMFMediaType* type = nullptr;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, c.subtype);
    if (c.w) MFSetAttributeSize(type, MF_MT_FRAME_SIZE, c.w, c.h);
    if (c.stride) type->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(c.strideValue));
    EXPECT_EQ(handler->IsMediaTypeSupported(type, nullptr), c.accepted ? S_OK : MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(handler->SetCurrentMediaType(type), c.accepted ? S_OK : MF_E_INVALIDMEDIATYPE);
    type->Release();
  }
  GUID major{};
  EXPECT_EQ(handler->GetMajorType(&major), S_OK);
  EXPECT_EQ(major, MFMediaType_Video);
  handler->Release();

  // The services: display control and mixer bitmap on the sink and on its
  // stream; no volume.
  for (IUnknown* object : {static_cast<IUnknown*>(sink_), static_cast<IUnknown*>(stream_)}) {
    IMFVideoDisplayControl* display = nullptr;
    IMFVideoMixerBitmap* mixer = nullptr;
    IMFAudioStreamVolume* volume = nullptr;
    EXPECT_EQ(MFGetService(object, MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl,
                           reinterpret_cast<void**>(&display)), S_OK);
    EXPECT_EQ(MFGetService(object, MR_VIDEO_MIXER_SERVICE, IID_IMFVideoMixerBitmap, reinterpret_cast<void**>(&mixer)),
              S_OK);
    EXPECT_EQ(MFGetService(object, MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume,
                           reinterpret_cast<void**>(&volume)), MF_E_UNSUPPORTED_SERVICE);
    EXPECT_EQ(volume, nullptr);
    if (display) display->Release();
    if (mixer) mixer->Release();
  }
  // An object without a service lookup.
  IMFMediaType* plain = nullptr;
  ASSERT_EQ(MFCreateMediaType(&plain), S_OK);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(MFGetService(plain, MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  plain->Release();
}

TEST_F(VideoRendererTest, FramesAreShownInTimeOrderWhenTheClockReachesThem) {
  SetType(4, 2);
  ASSERT_EQ(clock_->Start(0), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkRequestSample, 3));
  // Started comes before the requests.
  EXPECT_EQ(events_->Events().front().type, MEStreamSinkStarted);

  const uint32_t colours[] = {0x102030, 0x405060, 0x708090};
  for (int i = 0; i < 3; ++i) Feed(FrameOf(4, 2, [&](int, int) { return colours[i]; }), i * 400000LL);
  PROPVARIANT context = I8(77);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, &context), S_OK);

  ASSERT_TRUE(WaitShown(1));
  // The clock stands at 0: the frame for 40 ms waits for it.
  EXPECT_EQ(ShownSoFar().size(), 1u);
  EXPECT_EQ(events_->Count(MEStreamSinkMarker), 0);
  clock_->SetTime(400000);
  ASSERT_TRUE(WaitShown(2));
  EXPECT_EQ(ShownSoFar().size(), 2u);
  EXPECT_EQ(events_->Count(MEStreamSinkMarker), 0);
  clock_->SetTime(800000);
  ASSERT_TRUE(WaitShown(3));
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));

  const std::vector<Shown> shown = ShownSoFar();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(shown[i].width, 4);
    ASSERT_EQ(shown[i].height, 2);
    EXPECT_EQ(shown[i].At(3, 1, 0), colours[i] & 0xFF);
    EXPECT_EQ(shown[i].At(3, 1, 1), (colours[i] >> 8) & 0xFF);
    EXPECT_EQ(shown[i].At(3, 1, 2), (colours[i] >> 16) & 0xFF);
  }
  const std::vector<SeenEvent> markers = events_->Of(MEStreamSinkMarker);
  EXPECT_EQ(markers[0].status, S_OK);
  EXPECT_EQ(markers[0].value, 77);
  MFRendererStats stats = Stats();
  EXPECT_EQ(stats.rendered, 3u);
  EXPECT_EQ(stats.late, 0u);
  // Each frame shown asks for one more.
  EXPECT_TRUE(events_->WaitFor(MEStreamSinkRequestSample, 6));

  // A frame whose time is long past is shown at once and counted late.
  clock_->SetTime(50000000);
  Feed(FrameOf(4, 2, [](int, int) { return 0xFFFFFF; }), 1000000);
  ASSERT_TRUE(WaitShown(4));
  stats = Stats();
  EXPECT_EQ(stats.rendered, 4u);
  EXPECT_EQ(stats.late, 1u);
}

TEST_F(VideoRendererTest, PausedFramesWaitAndStopDropsThem) {
  SetType(2, 2);
  ASSERT_EQ(clock_->Start(0), S_OK);
  ASSERT_EQ(clock_->Pause(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkPaused, 1));
  Feed(FrameOf(2, 2, [](int, int) { return 0x010203; }), 0);
  PROPVARIANT context = I8(5);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_DEFAULT, nullptr, &context), S_OK);
  ASSERT_EQ(clock_->Stop(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkStopped, 1));
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));
  EXPECT_EQ(events_->Of(MEStreamSinkMarker)[0].status, E_ABORT);
  ASSERT_EQ(clock_->Start(0), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkStarted, 2));
  // Nothing was left to show: a new frame is the first picture.
  Feed(FrameOf(2, 2, [](int, int) { return 0x0A0B0C; }), 0);
  ASSERT_TRUE(WaitShown(1));
  EXPECT_EQ(ShownSoFar()[0].At(0, 0, 0), 0x0C);
  EXPECT_EQ(ShownSoFar().size(), 1u);
}

TEST_F(VideoRendererTest, FlushDropsWaitingFramesAndAbortsTheirMarkers) {
  SetType(2, 2);
  ASSERT_EQ(clock_->Start(0), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkRequestSample, 3));
  Feed(FrameOf(2, 2, [](int, int) { return 0x111111; }), 10000000);
  Feed(FrameOf(2, 2, [](int, int) { return 0x222222; }), 20000000);
  PROPVARIANT context = I8(9);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, &context), S_OK);
  ASSERT_EQ(stream_->Flush(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));
  const SeenEvent marker = events_->Of(MEStreamSinkMarker)[0];
  EXPECT_EQ(marker.status, E_ABORT);
  EXPECT_EQ(marker.value, 9);
  // The dropped frames' places are asked for again.
  EXPECT_TRUE(events_->WaitFor(MEStreamSinkRequestSample, 5));
  // The clock passes their times: nothing is shown.
  clock_->SetTime(30000000);
  Feed(FrameOf(2, 2, [](int, int) { return 0x333333; }), 30000000);
  ASSERT_TRUE(WaitShown(1));
  EXPECT_EQ(ShownSoFar()[0].At(1, 1, 1), 0x33);
  EXPECT_EQ(Stats().rendered, 1u);
}

TEST_F(VideoRendererTest, FrameIsScaledIntoTheDestinationRectangle) {
  // 4 x 4, left half red, right half blue, into 16 x 16: every destination
  // pixel whose two source taps lie in one half is that half's colour.
  SetType(4, 4);
  IMFVideoDisplayControl* display = Service<IMFVideoDisplayControl>(MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl);
  ASSERT_NE(display, nullptr);
  SIZE native{}, aspect{};
  EXPECT_EQ(display->GetNativeVideoSize(&native, &aspect), S_OK);
  EXPECT_EQ(native.cx, 4);
  EXPECT_EQ(native.cy, 4);
  const RECT dest{0, 0, 16, 16};
  EXPECT_EQ(display->SetVideoPosition(nullptr, &dest), S_OK);
  // Inverted, and larger than any screen: refused, the placement stays.
  for (const RECT& bad : {RECT{10, 0, 5, 5}, RECT{0, 0, 8193, 10}, RECT{-8000, -8000, 8000, 8000}})
    EXPECT_EQ(display->SetVideoPosition(nullptr, &bad), E_INVALIDARG);
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(FrameOf(4, 4, [](int x, int) { return x < 2 ? 0xFF0000u : 0x0000FFu; }), 0);
  ASSERT_TRUE(WaitShown(1));
  const Shown s = ShownSoFar()[0];
  ASSERT_EQ(s.width, 16);
  ASSERT_EQ(s.height, 16);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 6; ++x) {
      EXPECT_EQ(s.At(x, y, 2), 0xFF) << x << "," << y;
      EXPECT_EQ(s.At(x, y, 0), 0x00) << x << "," << y;
    }
    for (int x = 10; x < 16; ++x) {
      EXPECT_EQ(s.At(x, y, 2), 0x00) << x << "," << y;
      EXPECT_EQ(s.At(x, y, 0), 0xFF) << x << "," << y;
    }
    // Between them red falls off as blue rises.
    for (int x = 6; x < 9; ++x) EXPECT_GT(s.At(x, y, 2), s.At(x + 1, y, 2));
  }

  // The left half of the frame alone, into a 4 x 4 picture: red to the
  // edge, nothing of the blue beyond the crop.
  const MFVideoNormalizedRect leftHalf{0, 0, 0.5f, 1};
  const RECT small{0, 0, 4, 4};
  EXPECT_EQ(display->SetVideoPosition(&leftHalf, &small), S_OK);
  MFVideoNormalizedRect source{};
  RECT placed{};
  EXPECT_EQ(display->GetVideoPosition(&source, &placed), S_OK);
  EXPECT_EQ(source.right, 0.5f);
  EXPECT_EQ(placed.right, 4);
  EXPECT_EQ(display->RepaintVideo(), S_OK);
  ASSERT_TRUE(WaitShown(2));
  const Shown cropped = ShownSoFar()[1];
  ASSERT_EQ(cropped.width, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(cropped.At(x, y, 2), 0xFF) << x << "," << y;
      EXPECT_EQ(cropped.At(x, y, 0), 0x00) << x << "," << y;
    }
  display->Release();
}

TEST_F(VideoRendererTest, AlphaBitmapBlendsPixelExactAndRepaintShowsTheLastFrameWithIt) {
  constexpr int kW = 8, kH = 8;
  SetType(kW, kH);
  auto frame = [](int x, int y) { return static_cast<uint32_t>((x * 30) << 16 | (y * 30) << 8 | (x + y) * 10); };
  // Alpha by column: opaque, clear, half and a ramp.
  auto bitmap = [](int x, int y) {
    const uint32_t alphas[] = {255, 0, 128, 128, 64, 192, 255, 0};
    return alphas[x] << 24 | static_cast<uint32_t>(200 - y * 10) << 16 | 0x40u << 8 | static_cast<uint32_t>(y * 20);
  };
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(FrameOf(kW, kH, frame), 0);
  ASSERT_TRUE(WaitShown(1));

  IMFVideoMixerBitmap* mixer = Service<IMFVideoMixerBitmap>(MR_VIDEO_MIXER_SERVICE, IID_IMFVideoMixerBitmap);
  IMFVideoDisplayControl* display = Service<IMFVideoDisplayControl>(MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl);
  ASSERT_NE(mixer, nullptr);
  ASSERT_NE(display, nullptr);
  IDirect3DSurface9* surface = Surface(kW, kH, bitmap);
  ASSERT_NE(surface, nullptr);

  struct Case {
    const char* name;
    MFVideoNormalizedRect dest;
    float alpha;  // 1: no Alpha flag
  };
  const Case cases[] = {
      {"whole picture", {0, 0, 1, 1}, 1.0f},
      {"lower right quarter", {0.5f, 0.5f, 1, 1}, 1.0f},
      {"whole picture at half strength", {0, 0, 1, 1}, 0.5f},
  };
  size_t pictures = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MFVideoAlphaBitmap params{};
    params.GetBitmapFromDC = FALSE;
    params.bitmap.pDDS = surface;
    params.params.dwFlags = MFVideoAlphaBitmap_EntireDDS | MFVideoAlphaBitmap_DestRect;
    if (c.alpha < 1.0f) params.params.dwFlags |= MFVideoAlphaBitmap_Alpha;
    params.params.nrcDest = c.dest;
    params.params.fAlpha = c.alpha;
    ASSERT_EQ(mixer->SetAlphaBitmap(&params), S_OK);
    ASSERT_EQ(display->RepaintVideo(), S_OK);
    ASSERT_TRUE(WaitShown(++pictures));
    const Shown s = ShownSoFar().back();
    ASSERT_EQ(s.width, kW);
    ASSERT_EQ(s.height, kH);
    const int left = static_cast<int>(c.dest.left * kW), top = static_cast<int>(c.dest.top * kH);
    const int dw = static_cast<int>((c.dest.right - c.dest.left) * kW);
    const int dh = static_cast<int>((c.dest.bottom - c.dest.top) * kH);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const uint32_t under = frame(x, y);
        const bool inside = x >= left && x < left + dw && y >= top && y < top + dh;
        const uint32_t over = inside ? bitmap((x - left) * kW / dw, (y - top) * kH / dh) : 0;
        const long a = inside ? std::lround((over >> 24) * c.alpha) : 0;
        for (int ch = 0; ch < 3; ++ch) {
          const long d = (under >> (8 * ch)) & 0xFF, o = (over >> (8 * ch)) & 0xFF;
          const long want = std::lround((o * a + d * (255 - a)) / 255.0);
          ASSERT_EQ(s.At(x, y, ch), want) << "pixel " << x << "," << y << " channel " << ch;
        }
      }
  }

  // The copy was taken at the call: a later change of the surface shows
  // only after the next SetAlphaBitmap.
  D3DLOCKED_RECT locked{};
  ASSERT_EQ(surface->LockRect(&locked, nullptr, 0), S_OK);
  std::memset(locked.pBits, 0xFF, static_cast<size_t>(locked.Pitch) * kH);
  surface->UnlockRect();
  MFVideoAlphaBitmapParams current{};
  EXPECT_EQ(mixer->GetAlphaBitmapParameters(&current), S_OK);
  EXPECT_EQ(current.fAlpha, 0.5f);
  ASSERT_EQ(display->RepaintVideo(), S_OK);
  ASSERT_TRUE(WaitShown(++pictures));
  EXPECT_EQ(ShownSoFar().back().bgrx, ShownSoFar()[pictures - 2].bgrx);

  // A source rectangle given beside "entire surface" is ignored, however
  // large: the whole bitmap stays blended. One that does not fit is refused.
  MFVideoAlphaBitmapParams update{};
  update.dwFlags = MFVideoAlphaBitmap_SrcRect | MFVideoAlphaBitmap_EntireDDS;
  update.rcSrc = {0, 0, 2000000000, 2000000000};
  EXPECT_EQ(mixer->UpdateAlphaBitmapParameters(&update), S_OK);
  ASSERT_EQ(display->RepaintVideo(), S_OK);
  ASSERT_TRUE(WaitShown(++pictures));
  EXPECT_EQ(ShownSoFar().back().bgrx, ShownSoFar()[pictures - 2].bgrx);
  update.dwFlags = MFVideoAlphaBitmap_SrcRect;
  update.rcSrc = {-1, 0, kW, kH};
  EXPECT_EQ(mixer->UpdateAlphaBitmapParameters(&update), E_INVALIDARG);

  // Cleared: the frame as it is.
  ASSERT_EQ(mixer->ClearAlphaBitmap(), S_OK);
  EXPECT_EQ(mixer->GetAlphaBitmapParameters(&current), MF_E_NOT_INITIALIZED);
  ASSERT_EQ(display->RepaintVideo(), S_OK);
  ASSERT_TRUE(WaitShown(++pictures));
  EXPECT_EQ(ShownSoFar().back().bgrx, ShownSoFar().front().bgrx);

  // Parameters out of range are refused.
  MFVideoAlphaBitmap bad{};
  bad.bitmap.pDDS = surface;
  bad.params.dwFlags = MFVideoAlphaBitmap_DestRect;
  bad.params.nrcDest = {0.5f, 0, 0.25f, 1};
  EXPECT_EQ(mixer->SetAlphaBitmap(&bad), E_INVALIDARG);
  bad.params.dwFlags = MFVideoAlphaBitmap_SrcRect;
  bad.params.rcSrc = {0, 0, kW + 1, kH};
  EXPECT_EQ(mixer->SetAlphaBitmap(&bad), E_INVALIDARG);
  bad.GetBitmapFromDC = TRUE;
  EXPECT_EQ(mixer->SetAlphaBitmap(&bad), E_INVALIDARG);

  surface->Release();
  mixer->Release();
  display->Release();
  EXPECT_EQ(Stats().rendered, 1u);
}

TEST_F(VideoRendererTest, ShortSampleIsRefusedWithALogLineAndTheStreamGoesOn) {
  SetType(8, 8);
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(std::vector<uint8_t>(8 * 8 * 4 - 1, 0x55), 0);
  Feed(std::vector<uint8_t>(), 0);
  Feed(FrameOf(8, 8, [](int, int) { return 0x123456; }), 0);
  ASSERT_TRUE(WaitShown(1));
  EXPECT_EQ(ShownSoFar()[0].At(7, 7, 2), 0x12);
  const MFRendererStats stats = Stats();
  EXPECT_EQ(stats.rendered, 1u);
  EXPECT_EQ(stats.refused, 2u);
}

TEST_F(VideoRendererTest, ShutDownSinkRefusesCallsAndLeavesTheClock) {
  SetType(2, 2);
  EXPECT_EQ(clock_->SinkCount(), 1u);
  ASSERT_EQ(sink_->Shutdown(), S_OK);
  EXPECT_EQ(clock_->SinkCount(), 0u);
  IMFSample* sample = MakeSample(std::vector<uint8_t>(16, 0), 0);
  EXPECT_EQ(stream_->ProcessSample(sample), MF_E_SHUTDOWN);
  sample->Release();
  EXPECT_EQ(sink_->Shutdown(), MF_E_SHUTDOWN);
  sink_->Release();
  sink_ = nullptr;
}

}  // namespace
