// The real pellum program on an X server of its own: the test host plays
// an H.264 clip (x264 from ffmpeg's testsrc) as "NSP-h264" frames and as a
// stream of its own into two rectangles of display 0 that hold no key
// colour, and an MJPEG clip through a stream of its own into a black one;
// the window then shows each clip's last frame in its rectangle, also
// after it was covered and exposed again.
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
  // The top half holds neither black nor magenta, the keys of the H.264
  // frames and stream, which draw pictures of their rectangle's size
  // without a key; the bottom half is black, the MJPEG stream's key.
  testhost::RgbImage desktop{640, 480, std::vector<uint8_t>(640 * 480 * 3, 0)};
  for (size_t i = 0; i < size_t(640) * 240; ++i) {
    desktop.rgb[3 * i] = 0x30;
    desktop.rgb[3 * i + 1] = 0x90;
    desktop.rgb[3 * i + 2] = 0x60;
  }
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], desktop));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(IsVideoSessionWindow, &window, kWaitMs));

  struct Shown {
    const char* what;
    hs::Rect rect;
    const Clip* clip;
    double bound;
    double psnr = 0;
  } shown[] = {{"NSP-h264", {0, 0, 320, 240}, &h264, kH264Bound},
               {"H.264 stream", {320, 0, 640, 240}, &h264, kH264Bound},
               {"MJPEG stream", {0, 240, 320, 480}, &mjpeg, kMjpegBound}};
  constexpr uint32_t kMagenta = 0x00FF00FF;
  std::vector<hs::Bytes> messages = hs::H264StreamMessages(h264.samples, shown[1].rect, 2, kMagenta);
  for (const hs::Bytes& m : hs::ClipMessages("mjpeg", mjpeg.samples, shown[2].rect, 1))
    messages.push_back(m);
  for (const hs::Bytes& m : hs::ClipMessages("h264", h264.samples, shown[0].rect)) messages.push_back(m);
  for (const hs::Bytes& m : messages) ASSERT_TRUE(host.SendOnSlot(streams, m));

  x.Raise(window);
  std::vector<uint32_t> pixels;
  for (bool exposed : {false, true}) {
    SCOPED_TRACE(exposed ? "exposed again" : "first shown");
    if (exposed) x.CoverAndUncover(window);
    bool all = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      pixels = x.Grab(window);
      if (pixels.size() == size_t(640) * 480) {
        all = true;
        for (Shown& s : shown) {
          s.psnr = RegionPsnr(pixels, 640, s.rect, s.clip->last);
          all = all && s.psnr >= s.bound;
        }
        if (all) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    for (const Shown& s : shown) EXPECT_GE(s.psnr, s.bound) << s.what;
    if (!all) {
      QImage shot(window.width, window.height, QImage::Format_RGB32);
      for (int y = 0; y < window.height && size_t(y) * window.width < pixels.size(); ++y)
        for (int c = 0; c < window.width; ++c) shot.setPixel(c, y, pixels[size_t(y) * window.width + c]);
      shot.save(folder + "/window.png");
    }
  }

  ASSERT_NO_FATAL_FAILURE(EndVideoSession(host, run, x));
}
