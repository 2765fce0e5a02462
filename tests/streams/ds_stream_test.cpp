// The DirectShow stream kind: the colour key on the surface, the forwards
// to the video filter library, a graph built with this stream as its frame
// callback, and the server's window rectangles on their way to the screen.
#include <gtest/gtest.h>

#include <limits>

#include "decoded_test_support.h"
#include "stream_port.h"
#include "pelplat/dshowreg.h"
#include "pelplat/objbase.h"
#include "streams/AvsSlotDataProcessor.h"
#include "streams/DSStream.h"
#include "support/RecordingScreen.h"
#include "testhost/Mpeg2Stream.h"
#include "testhost/VideoClips.h"

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
  std::shared_ptr<StreamPort> port_ = MakeStreamPort();
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

  CDSStream stream(port_, StreamPort::kWindow, 0x00FF0000, 0);
  EXPECT_EQ(stream.SurfaceDepth(), 24);
  EXPECT_EQ(stream.SurfaceKey(), 0x000000FFu);
  port_->withSurface = false;
  CDSStream noSurface(port_, StreamPort::kWindow, 0x00FF0000, 0);
  EXPECT_EQ(noSurface.SurfaceDepth(), 24);
  SurfaceBitmap* bitmap = nullptr;
  EXPECT_EQ(noSurface.GetSurfaceBitmap(&bitmap), E_NOINTERFACE);
  EXPECT_EQ(noSurface.PresentFrame(nullptr, nullptr, nullptr), E_NOINTERFACE);
}

TEST_F(DSStreamTest, ForwardsReachTheLibraryAndCloseLeavesNoPlayer) {
  CDSStream stream(port_, StreamPort::kWindow, 0x00FF00FF, 0);
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
  screen.AddWindow(reinterpret_cast<HWND>(StreamPort::kWindow), RECT{0, 0, 320, 240});
  const ULONG depth = CoApartmentDepth();
  {
    auto stream = std::make_unique<CDSStream>(port_, StreamPort::kWindow, 0x00FF00FF, 0);
    ASSERT_EQ(stream->SetFormat(Mpeg2Record()), 0);
    AllocatorPropertiesRecord props;
    EXPECT_EQ(stream->SetAllocator(props), 0);
    const RECT rect{10, 10, 170, 130};
    EXPECT_EQ(stream->DSSetWindowRect(&rect, 0, 0, 0, 0), 0);
    EXPECT_EQ(stream->SetState(3), 0);
    EXPECT_EQ(stream->OnParentPaint(StreamPort::kWindow, 0), 0);
    EXPECT_EQ(stream->UpdateWindowRectToScroll(0, 0), 0);
    // Deleted without Close: the player goes with it.
  }
  EXPECT_EQ(CoApartmentDepth(), depth);
}

TEST_F(DSStreamTest, RawFramesIntoARectangleWiderThanAnIntStayOnTheSurface) {
  CDSStream stream(port_, StreamPort::kWindow, 0x00FF00FF, 0);
  const RECT huge{-2147483000, 0, 2147483000, 10};
  stream.DSSetWindowRect(&huge, 0, 0, 0, 0);  // kept without a player
  const std::vector<BYTE> pixels(4 * 2 * 4, 0x80);
  EXPECT_EQ(stream.DrawFrameBits(pixels.data(), nullptr, 4, 2, 32), 0);
  ASSERT_EQ(port_->Repaints().size(), 1u);
  EXPECT_EQ(port_->Repaints()[0], (Repaint{0, 0, 64, 10, 0}));  // clipped to the surface
}

// The server's road to the presenter: creation, allocator, a window
// rectangle and samples; then rectangles that no window has, each followed
// by a repaint, and at last a sane one, where the picture shows again.
TEST_F(DSStreamTest, WindowRectanglesNoWindowHasPresentNothingAndTheStreamGoesOn) {
  namespace hs = testhost::stream;
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min(), kMax = std::numeric_limits<int32_t>::max();
  constexpr uint32_t kNothing = 0xFF000000;
  TempFolder folder;
  const std::string clip = folder.File("clip.m2v");
  ASSERT_TRUE(hs::RunFfmpeg({"-f", "lavfi", "-i", "color=c=0x20C040:size=160x120", "-frames:v", "3", "-pix_fmt",
                             "yuv420p", "-c:v", "mpeg2video", "-q:v", "2", "-bf", "0", "-f", "mpeg2video", clip}));
  hs::Bytes elementary;
  ASSERT_TRUE(hs::ReadFileBytes(clip, &elementary));
  RecordingScreen screen;
  const HWND window = reinterpret_cast<HWND>(StreamPort::kWindow);
  screen.AddWindow(window, RECT{0, 0, 320, 240});
  RegisterDirectShowStreams();
  CAvsSlotDataProcessor processor(0);
  processor.AttachPort(3, port_);
  auto send = [&](const hs::Bytes& m) { processor.OnSlotData(m.data(), uint32_t(m.size())); };
  for (const hs::Bytes& m : hs::Mpeg2StreamMessages(7, elementary, {10, 10, 170, 130}, 0x00FF00FF)) send(m);
  ASSERT_TRUE(screen.WaitForPuts(1));
  const uint32_t picture = screen.Pixel(window, 90, 70);
  ASSERT_NE(picture, kNothing);

  const hs::Rect hostile[] = {{-2147483000, 0, 2147483000, 10}, {kMax - 10, kMax - 10, kMax, kMax},
                              {kMin, kMin, kMax, kMax},        {200, 200, 180, 180},
                              {-300, -300, -100, -100},        {1000, 0, 1200, 10}};
  for (const hs::Rect& r : hostile) {
    SCOPED_TRACE(::testing::Message() << r.left << "," << r.top << "," << r.right << "," << r.bottom);
    send(hs::WindowRect(7, r, 0x00FF00FF));
    processor.OnParentPaint(StreamPort::kWindow, 0);
    EXPECT_EQ(screen.Pixel(window, 300, 5), kNothing);
    EXPECT_EQ(screen.Pixel(window, 300, 230), kNothing);
  }
  send(hs::WindowRect(7, {200, 140, 280, 200}, 0x00FF00FF));
  processor.OnParentPaint(StreamPort::kWindow, 0);
  EXPECT_EQ(screen.Pixel(window, 240, 170), picture);
}

}  // namespace
