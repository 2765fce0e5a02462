// The MJPEG and video stream kinds on a real Qt surface: which formats they
// take, the colour key in each surface depth, copy against stretch, keyed
// drawing, and frames that must draw nothing.
#include <gtest/gtest.h>

#include "decoded_test_support.h"
#include "streams/DJStream.h"
#include "streams/MediaTypeGuids.h"
#include "streams/VideoStream.h"
#include "testhost/StreamEncoder.h"

namespace hs = testhost::stream;

namespace {

StreamFormatRecord Record(const GUID& major, const GUID& subtype, const GUID& format = GUID{}) {
  StreamFormatRecord r;
  r.majorType = major;
  r.subtype = subtype;
  r.formatType = format;
  return r;
}

int Draw(CDJStream& stream, const std::vector<uint8_t>& jpeg) {
  return stream.ProcessSample(jpeg.data(), uint32_t(jpeg.size()), StreamSampleContext());
}

}  // namespace

TEST(VideoStream, RefusesEveryFormatAndOperation) {
  CVideoStream video;
  EXPECT_EQ(-1, video.SetFormat(StreamFormatRecord()));
  EXPECT_EQ(-1, video.SetFormat(Record(mediaguid::kMediaTypeVideo, mediaguid::kSubtypeMjpg)));
  EXPECT_EQ(-1, video.ProcessSample(nullptr, 0, StreamSampleContext()));
  EXPECT_EQ(-1, video.SetState(3));
  EXPECT_EQ(-1, video.NewSegment(SegmentRecord()));
}

TEST(DJStream, TakesRgb24VideoAndPlainMjpegOnly) {
  using namespace mediaguid;
  struct Case {
    GUID major, subtype, format;
    int result;
  } cases[] = {
      {kMediaTypeVideo, kSubtypeRgb24, kFormatWaveFormatEx, 0},
      {kNull, kSubtypeMjpg, kNull, 0},
      {kMediaTypeVideo, kSubtypeMjpg, kNull, E_FAIL},
      {kNull, kSubtypeMjpg, kFormatWaveFormatEx, E_FAIL},
      {kNull, kSubtypeH264, kNull, E_FAIL},
  };
  auto port = std::make_shared<SurfacePort>(64, 48, 24);
  for (const Case& c : cases) {
    CDJStream stream(port, 0);
    EXPECT_EQ(c.result, stream.SetFormat(Record(c.major, c.subtype, c.format)));
  }
}

// The key becomes the value the display stores for that colour: 24-bit
// pixels are red, green, blue in memory, 16-bit ones RGB565 with red on
// top, as the display stream paints them.
TEST(DJStream, ColourKeysTakeTheSurfacePixelFormat) {
  const testhost::RgbImage odd = Flat(1, 1, 0x18, 0x08, 0x08);  // COLORREF 0x080818
  struct Case {
    int depth;
    uint32_t colorref;
    int result;
    uint32_t key;
  } cases[] = {
      {24, 0x00FF00FF, 0, 0x00FF00FF},
      {16, 0x00FF00FF, 0, 0xF81F},
      {32, 0x00FF00FF, E_INVALIDARG, 0},
      {24, 0x00080818, 0, 0x080818},
      {16, 0x00080818, 0,
       uint32_t(testhost::SurfaceBytes(odd, 16)[0] | testhost::SurfaceBytes(odd, 16)[1] << 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    auto port = std::make_shared<SurfacePort>(64, 48, c.depth);
    CDJStream stream(port, 0);
    const RECT rect{0, 0, 32, 24};
    EXPECT_EQ(c.result, stream.DSSetWindowRect(&rect, 0, 0, 0, c.colorref));
    EXPECT_EQ(c.key, stream.SurfaceKey());
    EXPECT_EQ(c.result == 0 ? 32 : 0, stream.CurrentRect().right);
    EXPECT_EQ(c.result, stream.DSSetWindowRect(nullptr, 0, 0, 0, c.colorref));
  }
}

TEST(DJStream, APictureOfTheRectangleSizeIsCopiedAnyOtherIsStretched) {
  const std::vector<uint8_t> jpeg = hs::JpegOf(Flat(32, 24, 200, 40, 90));
  struct Case {
    RECT rect;
    std::string call;
  } cases[] = {
      {{8, 8, 40, 32}, "copy -32 24 3 0"},
      {{0, 0, 64, 48}, "stretch 32 24 3 0"},
  };
  for (const Case& c : cases) {
    auto port = std::make_shared<SurfacePort>(64, 48, 24);
    CDJStream stream(port, 0);
    ASSERT_EQ(0, stream.DSSetWindowRect(&c.rect, 0, 0, 0, 0));
    EXPECT_EQ(0, Draw(stream, jpeg));
    ASSERT_EQ(std::vector<std::string>{c.call}, port->keeper.calls);
    const std::vector<int> p = Rgb(*port, c.rect.left + 4, c.rect.top + 4);
    EXPECT_NEAR(200, p[0], 8);
    EXPECT_NEAR(40, p[1], 8);
    EXPECT_NEAR(90, p[2], 8);
    EXPECT_EQ(std::vector<std::string>{std::to_string(c.rect.left) + " " +
                                       std::to_string(c.rect.top) + " " +
                                       std::to_string(c.rect.right - c.rect.left) + " " +
                                       std::to_string(c.rect.bottom - c.rect.top)},
              RepaintNotes(*port));
  }
}

// Only the desktop pixels that hold the key take video, at both depths a
// display has; the key colour is one whose red and blue differ.
TEST(DJStream, VideoReplacesOnlyKeyPixels) {
  for (int depth : {24, 16}) {
    SCOPED_TRACE(depth);
    auto port = std::make_shared<SurfacePort>(64, 48, depth);
    // The desktop: its left half the key colour, its right half grey.
    testhost::RgbImage desktop = Flat(64, 48, 0x80, 0x80, 0x80);
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 32; ++x) {
        uint8_t* p = &desktop.rgb[size_t(y * 64 + x) * 3];
        p[0] = 0x18, p[1] = 0x08, p[2] = 0x08;
      }
    port->keeper.BitBlt(0, 0, 64, 48, 3, desktop.rgb.data());
    CDJStream stream(port, 0);
    const RECT rect{0, 0, 64, 48};
    ASSERT_EQ(0, stream.DSSetWindowRect(&rect, 0, 0, 0, 0x00080818));
    Draw(stream, hs::JpegOf(Flat(64, 48, 20, 220, 60)));
    const std::vector<int> video = Rgb(*port, 10, 10), grey = Rgb(*port, 50, 10);
    EXPECT_NEAR(20, video[0], 10);
    EXPECT_NEAR(220, video[1], 10);
    EXPECT_NEAR(60, video[2], 10);
    EXPECT_NEAR(0x80, grey[0], 8);
    EXPECT_NEAR(0x80, grey[1], 8);
    EXPECT_NEAR(0x80, grey[2], 8);
  }
}

TEST(DJStream, FramesThatCannotDrawLeaveTheSurfaceAlone) {
  const std::vector<uint8_t> garbage(300, 0x5A);
  std::vector<uint8_t> truncated = hs::JpegOf(Flat(32, 24, 1, 2, 3));
  truncated.resize(truncated.size() / 3);
  const std::vector<uint8_t> fewPixels(32 * 24 * 3 - 1, 7);
  struct Case {
    const char* name;
    const std::vector<uint8_t>* data;
    StreamSampleContext context;
  } cases[] = {
      {"not a JPEG", &garbage, {}},
      {"cut short", &truncated, {}},
      {"fewer pixels than the size says", &fewPixels, {1, 32, 24, nullptr}},
      {"a size past every display", &fewPixels, {1, 1 << 20, 1 << 20, nullptr}},
      {"a negative size", &fewPixels, {1, -32, 24, nullptr}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto port = std::make_shared<SurfacePort>(64, 48, 24);
    CDJStream stream(port, 0);
    const RECT rect{0, 0, 32, 24};
    stream.DSSetWindowRect(&rect, 0, 0, 0, 0);
    EXPECT_EQ(0, stream.ProcessSample(c.data->data(), uint32_t(c.data->size()), c.context));
    EXPECT_TRUE(port->keeper.calls.empty());
    EXPECT_TRUE(port->Repaints().empty());
  }
}

TEST(DJStream, DrawingOffOrNoSurfaceDrawsNothing) {
  const std::vector<uint8_t> jpeg = hs::JpegOf(Flat(32, 24, 1, 2, 3));
  for (bool drawingOff : {true, false}) {
    auto port = std::make_shared<SurfacePort>(64, 48, 24);
    CDJStream stream(port, 0);
    const RECT rect{0, 0, 32, 24};
    stream.DSSetWindowRect(&rect, 0, 0, 0, 0);
    if (drawingOff)
      port->drawing = 0;
    else
      port->withSurface = false;
    Draw(stream, jpeg);
    EXPECT_TRUE(port->keeper.calls.empty());
    EXPECT_TRUE(port->Repaints().empty());
  }
}

TEST(DJStream, CloseReturnsTheSurfaceToSingleBufferDrawing) {
  auto port = std::make_shared<SurfacePort>(64, 48, 24);
  CDJStream stream(port, 0);
  EXPECT_FALSE(port->keeper.IsSingleBuffer());
  const RECT rect{0, 0, 32, 24};
  stream.DSSetWindowRect(&rect, 0, 0, 0, 0);
  EXPECT_EQ(0, stream.Close());
  EXPECT_TRUE(port->keeper.IsSingleBuffer());
  EXPECT_EQ(0, stream.CurrentRect().right);
}

// The keyed copy the streams rely on, pixel by pixel: every run of key
// pixels in a row, however short, takes the picture, and nothing else does,
// also when the row does not start or end on a 16-pixel boundary.
TEST(DJStream, TheKeyedCopyHonoursEveryRunOfKeyPixels) {
  for (const int left : {0, 5}) {
    SCOPED_TRACE(left);
    auto port = std::make_shared<SurfacePort>(64, 48, 24);
    testhost::RgbImage desktop = Flat(64, 48, 0x80, 0x80, 0x80);
    auto isKey = [](int x, int y) { return (x * 7 + y * 3) % 5 < 2 || (x > 40 && x < 53); };
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x)
        if (isKey(x, y)) {
          uint8_t* p = &desktop.rgb[size_t(y * 64 + x) * 3];
          p[0] = 0x18, p[1] = 0x08, p[2] = 0x08;
        }
    port->keeper.BitBlt(0, 0, 64, 48, 3, desktop.rgb.data());
    port->keeper.SyncBuffers();
    const int width = 64 - left;
    std::vector<uint8_t> picture(size_t(width) * 48 * 3);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(i * 13 + 1);
    port->keeper.BitBltKeyed(left, 0, -width, 48, 3, picture.data(), 0x080818);
    size_t wrong = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        const bool video = x >= left && isKey(x, y);
        const uint8_t* want = video ? &picture[size_t((47 - y) * width + x - left) * 3]
                                    : &desktop.rgb[size_t(y * 64 + x) * 3];
        const std::vector<int> shown = Rgb(*port, x, y);
        wrong += shown != std::vector<int>{want[0], want[1], want[2]};
      }
    EXPECT_EQ(0u, wrong);
  }
}

// The stream keeps its decoded pixels from frame to frame: pictures that
// grow, shrink a little and shrink a lot are each drawn whole.
TEST(DJStream, PicturesOfChangingSizeAreEachDrawnWhole) {
  struct Frame {
    int width, height;
    uint8_t r, g, b;
  } frames[] = {{32, 24, 200, 40, 90}, {64, 48, 30, 180, 60}, {48, 32, 90, 90, 220},
                {48, 32, 220, 200, 20}, {8, 8, 20, 20, 20}, {64, 48, 240, 240, 240}};
  auto port = std::make_shared<SurfacePort>(64, 48, 24);
  CDJStream stream(port, 0);
  for (const Frame& f : frames) {
    SCOPED_TRACE(std::to_string(f.width) + "x" + std::to_string(f.height));
    const RECT rect{0, 0, f.width, f.height};
    ASSERT_EQ(0, stream.DSSetWindowRect(&rect, 0, 0, 0, 0));
    port->keeper.calls.clear();
    EXPECT_EQ(0, Draw(stream, hs::JpegOf(Flat(f.width, f.height, f.r, f.g, f.b))));
    ASSERT_EQ(1u, port->keeper.calls.size());
    EXPECT_EQ(0u, port->keeper.calls[0].rfind("copy", 0));
    for (const auto& [x, y] : {std::pair{0, 0}, {f.width - 1, 0}, {0, f.height - 1},
                                {f.width - 1, f.height - 1}}) {
      const std::vector<int> p = Rgb(*port, x, y);
      EXPECT_NEAR(f.r, p[0], 8) << x << "," << y;
      EXPECT_NEAR(f.g, p[1], 8) << x << "," << y;
      EXPECT_NEAR(f.b, p[2], 8) << x << "," << y;
    }
  }
}
