// The DirectShow stream kind: the colour key on the surface, the forwards
// to the video filter library, and a graph built with this stream as its
// frame callback.
#include <gtest/gtest.h>

#include "fake_stream_port.h"
#include "pelplat/dshowreg.h"
#include "pelplat/objbase.h"
#include "streams/DSStream.h"
#include "support/RecordingScreen.h"

namespace {

StreamFormatRecord Mpeg2Record() {
  StreamFormatRecord r;
  r.majorType = MEDIATYPE_Video;
  r.subtype = MEDIASUBTYPE_MPEG2_VIDEO;
  r.formatType = FORMAT_VideoInfo;
  r.block.assign(88, 0);
  const uint32_t fields[] = {40, 160, 120};
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 4; ++b) r.block[48 + 4 * i + b] = static_cast<uint8_t>(fields[i] >> (8 * b));
  r.block[62] = 24;
  r.size = 64 + 88;
  return r;
}

class DSStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  void TearDown() override { CoUninitialize(); }
  std::shared_ptr<FakeStreamPort> port_ = std::make_shared<FakeStreamPort>();
};

TEST_F(DSStreamTest, ColourKeysBecomePixelsOfTheSurface) {
  struct KeyCase {
    uint32_t colourRef;
    int depth;
    uint32_t pixel;
  };
  const KeyCase cases[] = {{0x00FF00FF, 16, 0xF81F}, {0x00080818, 16, 0x0843}, {0x00FF0000, 24, 0x000000FF},
                           {0x00123456, 24, 0x00563412}, {0x00123456, 32, 0}};
  for (const KeyCase& c : cases) EXPECT_EQ(CDSStream::SurfaceColourKey(c.colourRef, c.depth), c.pixel);

  CDSStream stream(port_, FakeStreamPort::kWindow, 0x00FF0000, 0);
  EXPECT_EQ(stream.SurfaceDepth(), 24);
  EXPECT_EQ(stream.SurfaceKey(), 0x000000FFu);
  port_->withSurface = false;
  CDSStream noSurface(port_, FakeStreamPort::kWindow, 0x00FF0000, 0);
  EXPECT_EQ(noSurface.SurfaceDepth(), 24);
  SurfaceBitmap* bitmap = nullptr;
  EXPECT_EQ(noSurface.GetSurfaceBitmap(&bitmap), E_NOINTERFACE);
  EXPECT_EQ(noSurface.PresentFrame(nullptr, nullptr, nullptr), E_NOINTERFACE);
}

TEST_F(DSStreamTest, ForwardsReachTheLibraryAndCloseLeavesNoPlayer) {
  CDSStream stream(port_, FakeStreamPort::kWindow, 0x00FF00FF, 0);
  const RECT rect{1, 2, 3, 4};
  // Before a format every forward gets the library's null-player answer.
  EXPECT_EQ(stream.SetState(3), E_POINTER);
  EXPECT_EQ(stream.DSSetWindowRect(&rect, 0, 0, 0, 0), E_POINTER);
  EXPECT_EQ(stream.VideoRect().right, 3);
  EXPECT_EQ(stream.DSSetWindowRect(nullptr, 0, 0, 0, 0), E_POINTER);
  EXPECT_EQ(stream.VideoRect().bottom, 4);

  ASSERT_EQ(stream.SetFormat(Mpeg2Record()), 0);
  EXPECT_NE(stream.Player(), nullptr);
  EXPECT_EQ(stream.SetState(1), 0);
  EXPECT_EQ(stream.FilterEvent(9), S_FALSE);
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(stream.Player(), nullptr);
  EXPECT_EQ(stream.Close(), 0);
}

TEST_F(DSStreamTest, AllocatorBuildsTheGraphWithThisStreamAsFrameCallback) {
  RecordingScreen screen;
  screen.AddWindow(reinterpret_cast<HWND>(FakeStreamPort::kWindow), RECT{0, 0, 320, 240});
  const ULONG depth = CoApartmentDepth();
  {
    auto stream = std::make_unique<CDSStream>(port_, FakeStreamPort::kWindow, 0x00FF00FF, 0);
    ASSERT_EQ(stream->SetFormat(Mpeg2Record()), 0);
    AllocatorPropertiesRecord props;
    EXPECT_EQ(stream->SetAllocator(props), 0);
    const RECT rect{10, 10, 170, 130};
    EXPECT_EQ(stream->DSSetWindowRect(&rect, 0, 0, 0, 0), 0);
    EXPECT_EQ(stream->SetState(3), 0);
    EXPECT_EQ(stream->OnParentPaint(FakeStreamPort::kWindow, 0), 0);
    EXPECT_EQ(stream->UpdateWindowRectToScroll(0, 0), 0);
    // Deleted without Close: the player goes with it.
  }
  EXPECT_EQ(CoApartmentDepth(), depth);
}

}  // namespace
