// DirectDraw in memory: blits (stretch, colour fill, between pixel
// formats), clip lists, the primary surface into its clipper's window, and
// lost surfaces.
#include <gtest/gtest.h>

#include <limits>

#include "pelplat/ddraw.h"
#include "support/RecordingScreen.h"

namespace {

const HWND kWindow = reinterpret_cast<HWND>(0x77);

class DDrawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screen_.AddWindow(kWindow, RECT{100, 100, 164, 148});
    ASSERT_EQ(DirectDrawCreateEx(nullptr, reinterpret_cast<void**>(&ddraw_), IID_IDirectDraw7, nullptr), DD_OK);
  }
  void TearDown() override {
    DDrawRefuseSurfaceDepth(0);
    ddraw_->Release();
  }
  IDirectDrawSurface7* Surface(int w, int h, int bits) {
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PIXELFORMAT;
    desc.dwWidth = w;
    desc.dwHeight = h;
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN;
    desc.ddpfPixelFormat = bits == 32 ? DDPIXELFORMAT{sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0}
                                      : DDPIXELFORMAT{sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 16, 0xF800, 0x7E0, 0x1F, 0};
    IDirectDrawSurface7* s = nullptr;
    EXPECT_EQ(ddraw_->CreateSurface(&desc, &s, nullptr), DD_OK);
    return s;
  }
  static void Fill(IDirectDrawSurface7* s, RECT* r, uint32_t colour) {
    DDBLTFX fx{sizeof(DDBLTFX), colour};
    EXPECT_EQ(s->Blt(r, nullptr, nullptr, DDBLT_COLORFILL | DDBLT_WAIT, &fx), DD_OK);
  }
  static uint32_t At(IDirectDrawSurface7* s, int x, int y) {
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    EXPECT_EQ(s->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
    const BYTE* p = static_cast<BYTE*>(desc.lpSurface) + y * desc.lPitch;
    uint32_t v = desc.ddpfPixelFormat.dwRGBBitCount == 32 ? (p[4 * x] | p[4 * x + 1] << 8 | p[4 * x + 2] << 16)
                                                          : (p[2 * x] | p[2 * x + 1] << 8);
    s->Unlock(nullptr);
    return v;
  }

  RecordingScreen screen_;
  IDirectDraw7* ddraw_ = nullptr;
};

TEST_F(DDrawTest, BlitsStretchAndConvertBetweenFormats) {
  IDirectDrawSurface7* small = Surface(2, 2, 32);
  RECT left{0, 0, 1, 2};
  Fill(small, nullptr, 0x0000FF);
  Fill(small, &left, 0xFF0000);
  IDirectDrawSurface7* big = Surface(8, 4, 32);
  ASSERT_EQ(big->Blt(nullptr, small, nullptr, DDBLT_WAIT, nullptr), DD_OK);
  struct PixelCase {
    int x, y;
    uint32_t value;
  };
  for (const PixelCase& c : {PixelCase{0, 0, 0xFF0000}, {3, 3, 0xFF0000}, {4, 0, 0x0000FF}, {7, 3, 0x0000FF}}) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(At(big, c.x, c.y), c.value);
  }
  IDirectDrawSurface7* rgb565 = Surface(8, 4, 16);
  ASSERT_EQ(rgb565->Blt(nullptr, big, nullptr, DDBLT_WAIT, nullptr), DD_OK);
  EXPECT_EQ(At(rgb565, 0, 0), 0xF800u);
  EXPECT_EQ(At(rgb565, 7, 0), 0x001Fu);
  // A source rectangle outside the source is refused.
  RECT outside{0, 0, 3, 3};
  EXPECT_EQ(big->Blt(nullptr, small, &outside, DDBLT_WAIT, nullptr), DDERR_INVALIDRECT);
  rgb565->Release();
  big->Release();
  small->Release();
}

TEST_F(DDrawTest, ClipListsAndThePrimarySurfaceLimitWhereBlitsLand) {
  IDirectDrawSurface7* target = Surface(8, 8, 32);
  IDirectDrawClipper* clipper = nullptr;
  ASSERT_EQ(ddraw_->CreateClipper(0, &clipper, nullptr), DD_OK);
  HRGN region = CreateRectRgn(2, 2, 4, 4);
  BYTE buffer[1024];
  auto* data = reinterpret_cast<RGNDATA*>(buffer);
  ASSERT_GT(GetRegionData(region, sizeof(buffer), data), 0u);
  DeleteObject(region);
  ASSERT_EQ(clipper->SetClipList(data, 0), DD_OK);
  ASSERT_EQ(target->SetClipper(clipper), DD_OK);
  Fill(target, nullptr, 0x123456);
  EXPECT_EQ(At(target, 2, 2), 0x123456u);
  EXPECT_EQ(At(target, 4, 4), 0u);
  clipper->Release();

  DDSURFACEDESC2 desc{};
  desc.dwSize = sizeof(desc);
  desc.dwFlags = DDSD_CAPS;
  desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
  IDirectDrawSurface7* primary = nullptr;
  ASSERT_EQ(ddraw_->CreateSurface(&desc, &primary, nullptr), DD_OK);
  IDirectDrawClipper* windowClipper = nullptr;
  ddraw_->CreateClipper(0, &windowClipper, nullptr);
  windowClipper->SetHWnd(0, kWindow);
  primary->SetClipper(windowClipper);
  windowClipper->Release();
  // Desktop coordinates; only the part over the window lands, in window
  // coordinates.
  RECT onDesktop{90, 90, 110, 110};
  Fill(primary, &onDesktop, 0x00AABBCC);
  EXPECT_EQ(screen_.Pixel(kWindow, 0, 0), 0x00AABBCCu);
  EXPECT_EQ(screen_.Pixel(kWindow, 9, 9), 0x00AABBCCu);
  EXPECT_EQ(screen_.Pixel(kWindow, 10, 10), 0xFF000000u);
  primary->Release();
  target->Release();
}

TEST_F(DDrawTest, LostSurfacesRefuseBlitsUntilRestored) {
  IDirectDrawSurface7* s = Surface(4, 4, 32);
  Fill(s, nullptr, 0x010203);
  DDrawLoseAllSurfaces();
  EXPECT_EQ(s->IsLost(), DDERR_SURFACELOST);
  DDBLTFX fx{sizeof(DDBLTFX), 0};
  EXPECT_EQ(s->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL, &fx), DDERR_SURFACELOST);
  EXPECT_EQ(s->Restore(), DD_OK);
  EXPECT_EQ(s->IsLost(), DD_OK);
  EXPECT_EQ(At(s, 0, 0), 0u);  // a restored surface has lost its pixels
  s->Release();
}

TEST_F(DDrawTest, DisplayModeAndRefusedFormats) {
  screen_.SetMode({800, 600, 16});
  DDSURFACEDESC2 mode{};
  mode.dwSize = sizeof(mode);
  ASSERT_EQ(ddraw_->GetDisplayMode(&mode), DD_OK);
  EXPECT_EQ(mode.dwWidth, 800u);
  EXPECT_EQ(mode.ddpfPixelFormat.dwRGBBitCount, 16u);
  DDrawRefuseSurfaceDepth(32);
  DDSURFACEDESC2 desc{};
  desc.dwSize = sizeof(desc);
  desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PIXELFORMAT;
  desc.dwWidth = desc.dwHeight = 4;
  desc.ddpfPixelFormat = {sizeof(DDPIXELFORMAT), DDPF_RGB, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0};
  IDirectDrawSurface7* s = nullptr;
  EXPECT_EQ(ddraw_->CreateSurface(&desc, &s, nullptr), DDERR_INVALIDPIXELFORMAT);
  desc.dwWidth = 0;
  desc.ddpfPixelFormat.dwRGBBitCount = 16;
  EXPECT_EQ(ddraw_->CreateSurface(&desc, &s, nullptr), DDERR_INVALIDPARAMS);
}

// Rectangles a server can name: each blit either lands only on the target's
// own pixels, each taken from inside the source, or is refused.
TEST_F(DDrawTest, HostileRectanglesAreClippedToTheTargetOrRefused) {
  constexpr LONG kMin = std::numeric_limits<LONG>::min(), kMax = std::numeric_limits<LONG>::max();
  constexpr uint32_t kUntouched = 0xABCDEF;
  // Source pixel (sx, sy) has red sx + 1 and green sy + 1.
  IDirectDrawSurface7* source = Surface(4, 4, 32);
  for (LONG sy = 0; sy < 4; ++sy)
    for (LONG sx = 0; sx < 4; ++sx) {
      RECT one{sx, sy, sx + 1, sy + 1};
      Fill(source, &one, uint32_t(sx + 1) << 16 | uint32_t(sy + 1) << 8);
    }
  auto from = [](int sx, int sy) { return uint32_t(sx + 1) << 16 | uint32_t(sy + 1) << 8; };
  struct Probe {
    int x, y;
    uint32_t value;
  };
  struct RectCase {
    const char* name;
    RECT destination;
    bool wholeSource;
    RECT sourceRect;
    HRESULT result;
    std::vector<Probe> probes;
  };
  const RectCase cases[] = {
      {"wider than a LONG holds", {-2147483000, 0, 2147483000, 10}, true, {}, DD_OK,
       {{0, 0, from(2, 0)}, {7, 7, from(2, 2)}, {0, 3, from(2, 1)}}},
      {"the whole LONG range", {kMin, kMin, kMax, kMax}, true, {}, DD_OK, {{0, 0, from(2, 2)}, {7, 7, from(2, 2)}}},
      {"inverted", {8, 0, 0, 8}, true, {}, DDERR_INVALIDRECT, {{0, 0, kUntouched}}},
      {"empty", {3, 3, 3, 8}, true, {}, DDERR_INVALIDRECT, {{3, 3, kUntouched}}},
      {"wholly at negative coordinates", {-100, -100, -50, -50}, true, {}, DD_OK, {{0, 0, kUntouched}}},
      {"far beyond the right edge", {2147483000, 0, kMax, 8}, true, {}, DD_OK, {{7, 0, kUntouched}}},
      {"over the top-left corner", {-4, -4, 4, 4}, true, {}, DD_OK,
       {{0, 0, from(2, 2)}, {3, 3, from(3, 3)}, {4, 4, kUntouched}}},
      {"over the bottom-right corner", {6, 6, 14, 14}, true, {}, DD_OK,
       {{6, 6, from(0, 0)}, {7, 7, from(0, 0)}, {5, 5, kUntouched}}},
      {"a source wider than a LONG holds", {0, 0, 8, 8}, false, {kMin, 0, kMax, 4}, DDERR_INVALIDRECT,
       {{0, 0, kUntouched}}},
      {"an inverted source", {0, 0, 8, 8}, false, {4, 0, 0, 4}, DDERR_INVALIDRECT, {{0, 0, kUntouched}}},
      {"a source partly outside", {0, 0, 8, 8}, false, {2, 2, 6, 6}, DDERR_INVALIDRECT, {{0, 0, kUntouched}}},
      {"a source corner into a huge target", {kMin, 0, kMax, 8}, false, {3, 3, 4, 4}, DD_OK,
       {{0, 0, from(3, 3)}, {7, 7, from(3, 3)}}},
  };
  for (const RectCase& c : cases) {
    SCOPED_TRACE(c.name);
    IDirectDrawSurface7* target = Surface(8, 8, 32);
    Fill(target, nullptr, kUntouched);
    RECT destination = c.destination, sourceRect = c.sourceRect;
    EXPECT_EQ(target->Blt(&destination, source, c.wholeSource ? nullptr : &sourceRect, DDBLT_WAIT, nullptr), c.result);
    for (const Probe& p : c.probes) {
      SCOPED_TRACE(::testing::Message() << "at " << p.x << "," << p.y);
      EXPECT_EQ(At(target, p.x, p.y), p.value);
    }
    target->Release();
  }
  source->Release();
}

// Client points near the edge of a LONG, mapped to the desktop and back.
TEST_F(DDrawTest, WindowPointsNearTheLimitsOfALongStopThereInsteadOfWrapping) {
  constexpr LONG kMin = std::numeric_limits<LONG>::min(), kMax = std::numeric_limits<LONG>::max();
  POINT points[3] = {{kMax - 10, kMin + 10}, {5, 6}, {kMax, kMax}};
  MapWindowPoints(kWindow, nullptr, points, 3);  // the window is at (100, 100)
  EXPECT_EQ(points[0].x, kMax);
  EXPECT_EQ(points[0].y, kMin + 110);
  EXPECT_EQ(points[1].x, 105);
  EXPECT_EQ(points[1].y, 106);
  EXPECT_EQ(points[2].x, kMax);
  POINT back[2] = {{kMin + 10, 0}, {105, 106}};
  MapWindowPoints(nullptr, kWindow, back, 2);
  EXPECT_EQ(back[0].x, kMin);
  EXPECT_EQ(back[0].y, -100);
  EXPECT_EQ(back[1].x, 5);
  EXPECT_EQ(back[1].y, 6);
}

}  // namespace
