// The real pellum program on an X server of its own: the test host plays
// an H.264 clip (x264 from ffmpeg's testsrc) as "NSP-h264" frames into one
// rectangle of display 0 and an MJPEG clip through a stream of its own into
// another; the window then shows each clip's last frame in its rectangle.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "E2eEnv.h"
#include "VideoSession.h"
#include "XDesktop.h"
#include "testhost/DiscoveryResponder.h"
#include "testhost/StreamEncoder.h"
#include "testhost/VideoClips.h"

namespace {

namespace hs = testhost::stream;

constexpr int kClipWidth = 320;
constexpr int kClipHeight = 240;
constexpr int kFrames = 10;
// Against the source frames after 4:2:0 sampling: the H.264 picture is
// converted as ffmpeg converts it; JPEG's own chroma upsampling differs
// from ffmpeg's at testsrc's sharp colour edges.
constexpr double kH264Bound = 30;
constexpr double kMjpegBound = 25;

struct Clip {
  std::vector<hs::Bytes> samples;
  std::vector<uint8_t> last;  // the last source frame, packed R, G, B
};

Clip MakeClip(const std::string& kind, const QString& folder) {
  Clip clip;
  const std::string video = (folder + "/clip." + QString::fromStdString(kind)).toStdString();
  const std::string source = (folder + "/clip.rgb").toStdString();
  hs::Bytes bytes, frames;
  if (!hs::MakeTestClip(kind, kClipWidth, kClipHeight, kFrames, video) ||
      !hs::MakeTestClip("rgb24", kClipWidth, kClipHeight, kFrames, source) ||
      !hs::ReadFileBytes(video, &bytes) || !hs::ReadFileBytes(source, &frames))
    return clip;
  clip.samples = kind == "h264" ? hs::SplitAccessUnits(bytes) : hs::SplitJpegPictures(bytes);
  const size_t frameBytes = size_t(kClipWidth) * kClipHeight * 3;
  if (frames.size() >= frameBytes) clip.last.assign(frames.end() - long(frameBytes), frames.end());
  return clip;
}

// PSNR of the window's pixels inside the rectangle against the picture.
double RegionPsnr(const std::vector<uint32_t>& pixels, int windowWidth, const hs::Rect& r,
                  const std::vector<uint8_t>& picture) {
  double sum = 0;
  size_t n = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      const uint32_t shown = pixels[size_t(y) * windowWidth + x];
      const uint8_t* p = &picture[(size_t(y - r.top) * kClipWidth + (x - r.left)) * 3];
      for (int c = 0; c < 3; ++c) {
        const double d = double((shown >> (16 - 8 * c)) & 0xFF) - p[c];
        sum += d * d;
        ++n;
      }
    }
  const double mse = sum / double(n);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

class DecodedVideoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x.Open()) << "no X server"; }
  XDesktop x;
  testhost::DiscoveryResponder responder;
};

}  // namespace

TEST_F(DecodedVideoTest, H264AndMjpegClipsShowTheirLastFramesInTheirRectangles) {
  const QString folder = QStringLiteral(PELLUM_E2E_RUN_DIR "/decoded-video-clips");
  QDir().mkpath(folder);
  const Clip h264 = MakeClip("h264", folder);
  const Clip mjpeg = MakeClip("mjpeg", folder);
  ASSERT_EQ(size_t(kFrames), h264.samples.size());
  ASSERT_EQ(size_t(kFrames), mjpeg.samples.size());

  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(61))) << strerror(errno);
  ProgramRun run("decoded-video");
  ASSERT_NO_FATAL_FAILURE(StartVideoSession(run, responder, LoopbackHost(61)));
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  ASSERT_EQ(host.Slots("ZEVOROD ").size(), 1u);
  const uint16_t streams = host.Slots("ZEVOROD ")[0];
  // A black desktop: black is the colour key both streams draw over.
  testhost::RgbImage black{640, 480, std::vector<uint8_t>(640 * 480 * 3, 0)};
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], black));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(IsVideoSessionWindow, &window, kWaitMs));

  const hs::Rect h264Rect{0, 200, 320, 440};
  const hs::Rect mjpegRect{320, 200, 640, 440};
  hs::FormatRecord format = hs::MjpegFormat();
  format.block = hs::Bytes(4, 0);
  ASSERT_TRUE(host.SendOnSlot(streams, hs::Reserve(1)));
  ASSERT_TRUE(host.SendOnSlot(streams, hs::CreateFromFormat(1, format, 0)));
  ASSERT_TRUE(host.SendOnSlot(streams, hs::WindowRect(1, mjpegRect, 0)));
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(host.SendOnSlot(streams, hs::H264Frame(h264.samples[size_t(i)], h264Rect)));
    ASSERT_TRUE(host.SendOnSlot(streams, hs::JpegFrame(1, mjpeg.samples[size_t(i)])));
  }

  x.Raise(window);
  double h264Psnr = 0, mjpegPsnr = 0;
  std::vector<uint32_t> pixels;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    pixels = x.Grab(window);
    if (pixels.size() == size_t(640) * 480) {
      h264Psnr = RegionPsnr(pixels, 640, h264Rect, h264.last);
      mjpegPsnr = RegionPsnr(pixels, 640, mjpegRect, mjpeg.last);
      if (h264Psnr >= kH264Bound && mjpegPsnr >= kMjpegBound) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  EXPECT_GE(h264Psnr, kH264Bound);
  EXPECT_GE(mjpegPsnr, kMjpegBound);
  if (h264Psnr < kH264Bound || mjpegPsnr < kMjpegBound) {
    QImage shot(window.width, window.height, QImage::Format_RGB32);
    for (int y = 0; y < window.height && size_t(y) * window.width < pixels.size(); ++y)
      for (int c = 0; c < window.width; ++c) shot.setPixel(c, y, pixels[size_t(y) * window.width + c]);
    shot.save(folder + "/window.png");
  }

  ASSERT_NO_FATAL_FAILURE(EndVideoSession(host, run, x));
}
