// The windowless VMR-7 on a real X server: a pattern rendered through the
// graph appears in the X window at the video rectangle, and nowhere else.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "pelplat/dshowbase.h"
#include "pelplat/dshowreg.h"

namespace {

PELPLAT_GUID(CLSID_PatternSource, 0x7E570000, 0x1, 0x2, 1, 2, 3, 4, 5, 6, 7, 8);
constexpr int kW = 64, kH = 48;
// Quadrants: top left red, top right green, bottom left blue, bottom right white.
uint32_t PatternAt(int x, int y) {
  if (y < kH / 2) return x < kW / 2 ? 0xFF0000 : 0x00FF00;
  return x < kW / 2 ? 0x0000FF : 0xFFFFFF;
}

CMediaType PatternType() {
  VIDEOINFOHEADER vih{};
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = kW;
  vih.bmiHeader.biHeight = -kH;
  vih.bmiHeader.biBitCount = 32;
  vih.bmiHeader.biPlanes = 1;
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_RGB32);
  mt.SetFormatType(&FORMAT_VideoInfo);
  mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
  return mt;
}

class CPatternPin final : public CSourceStream {
 public:
  explicit CPatternPin(CSource* filter) : CSourceStream("PatternPin", nullptr, filter, u"Out") { m_mt = PatternType(); }
  ~CPatternPin() override {
    if (ThreadExists()) StopCmd(), Exit();
    Close();
  }
  HRESULT GetMediaType(CMediaType* type) override { return type->Set(PatternType()); }
  using CSourceStream::GetMediaType;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
    ALLOCATOR_PROPERTIES want{2, kW * kH * 4, 1, 0}, got{};
    return allocator->SetProperties(&want, &got);
  }

 protected:
  HRESULT FillBuffer(IMediaSample* sample) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const uint32_t v = PatternAt(x, y);
        memcpy(p + 4 * (y * kW + x), &v, 4);
      }
    sample->SetActualDataLength(kW * kH * 4);
    return S_OK;
  }
};

class CPatternSource final : public CSource {
 public:
  CPatternSource() : CSource("PatternSource", nullptr, CLSID_PatternSource) { new CPatternPin(this); }
};

uint32_t ReadPixel(xcb_connection_t* c, xcb_window_t w, int x, int y) {
  xcb_get_image_reply_t* r =
      xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, x, y, 1, 1, ~0u), nullptr);
  if (!r) return 0xFF000000u;
  uint32_t v = 0;
  memcpy(&v, xcb_get_image_data(r), 4);
  free(r);
  return v & 0xFFFFFF;
}

TEST(WindowlessOnX, PatternAppearsAtTheVideoRectangle) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 50, 60, 320, 240, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
  xcb_map_window(c, window);
  free(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));  // mapped from here on

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DsRegisterPlatformClasses();
  auto* pattern = new CPatternSource();
  IBaseFilter* vmr = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_VideoMixingRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&vmr)),
            S_OK);
  IVMRFilterConfig* config = nullptr;
  ASSERT_EQ(vmr->QueryInterface(IID_IVMRFilterConfig, reinterpret_cast<void**>(&config)), S_OK);
  ASSERT_EQ(config->SetRenderingMode(VMRMode_Windowless), S_OK);
  config->Release();
  IVMRWindowlessControl* control = nullptr;
  ASSERT_EQ(vmr->QueryInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(&control)), S_OK);
  const HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
  ASSERT_EQ(control->SetVideoClippingWindow(hwnd), S_OK);
  // Twice the native size, at (30, 40) of the window.
  const RECT source{0, 0, kW, kH}, destination{30, 40, 30 + 2 * kW, 40 + 2 * kH};
  ASSERT_EQ(control->SetVideoPosition(&source, &destination), S_OK);

  IGraphBuilder* graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  graph->AddFilter(pattern, u"Pattern");
  graph->AddFilter(vmr, u"VMR7");
  ASSERT_EQ(graph->Render(pattern->GetPin(0)), S_OK);
  IMediaControl* media = nullptr;
  graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&media));
  ASSERT_EQ(media->Run(), S_OK);

  struct Probe {
    int x, y;
    uint32_t colour;
  };
  const Probe probes[] = {{30 + 10, 40 + 10, 0xFF0000},   {30 + 2 * kW - 10, 40 + 10, 0x00FF00},
                          {30 + 10, 40 + 2 * kH - 10, 0x0000FF}, {30 + 2 * kW - 1, 40 + 2 * kH - 1, 0xFFFFFF},
                          {29, 40, 0x000000},                 {30 + 2 * kW, 40 + 2 * kH, 0x000000}};
  bool all = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!all && std::chrono::steady_clock::now() < deadline) {
    all = true;
    for (const Probe& p : probes) all = all && ReadPixel(c, window, p.x, p.y) == p.colour;
    if (!all) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (const Probe& p : probes) {
    SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
    EXPECT_EQ(ReadPixel(c, window, p.x, p.y), p.colour);
  }
  media->Stop();
  media->Release();
  control->Release();
  graph->Release();
  vmr->Release();
  pattern->Release();
  CoUninitialize();
  xcb_disconnect(c);
}

}  // namespace
