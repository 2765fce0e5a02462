// The real pellum program on an X server of its own decodes an x264 clip
// from DXVA2 buffers: the test host sends the hardware-decoded stream's
// create message and one frame record a picture on the stream slot, and
// the session window then shows, inside the clip's rectangle, the last
// picture the stream lets out of its reorder queue, as ffmpeg decodes it,
// with the desktop untouched around it.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "E2eEnv.h"
#include "VideoSession.h"
#include "XDesktop.h"
#include "testhost/DiscoveryResponder.h"
#include "testhost/DxvaClip.h"
#include "testhost/VideoClips.h"
#include "testhost/Wire.h"

namespace {

namespace hs = testhost::stream;
namespace hd = testhost::dxva;

constexpr int kWidth = 320, kHeight = 240, kFrames = 20;
constexpr int kBarRows = 4;  // the control bar's visible edge at the top of display 0
constexpr double kBound = 35;  // the model decodes as ffmpeg does; only the colour conversion differs
constexpr int32_t kMagenta = 0x00FF00FF;  // COLORREF
// The hello's media words: the display block's, after their marker.
constexpr size_t kHelloMediaMarker = 0x1E4 + 0x308;
constexpr uint32_t kMediaMarker = 0x8024A912;
constexpr uint32_t kDxvaH264Bit = 0x200;

using Pixels = std::vector<uint32_t>;

// PSNR of the window's pixels inside the rectangle against a clip picture.
double RectPsnr(const Pixels& pixels, int windowWidth, const hs::Rect& r, const std::vector<uint8_t>& picture) {
  double sum = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      const uint32_t shown = pixels[size_t(y) * windowWidth + x];
      const uint8_t* p = &picture[(size_t(y - r.top) * kWidth + (x - r.left)) * 3];
      for (int c = 0; c < 3; ++c) {
        const double d = double((shown >> (16 - 8 * c)) & 0xFF) - p[c];
        sum += d * d;
      }
    }
  const double mse = sum / (3.0 * kWidth * kHeight);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Pixels of the window (rows from kBarRows on) that differ from the
// desktop, outside the rectangle when one is given.
size_t WrongDesktopPixels(const Pixels& pixels, const testhost::RgbImage& desktop, const hs::Rect* skip) {
  size_t wrong = 0;
  for (int y = kBarRows; y < desktop.height; ++y)
    for (int x = 0; x < desktop.width; ++x) {
      if (skip && x >= skip->left && x < skip->right && y >= skip->top && y < skip->bottom) continue;
      const uint8_t* p = &desktop.rgb[(size_t(y) * desktop.width + x) * 3];
      const uint32_t want = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
      wrong += (pixels[size_t(y) * desktop.width + x] & 0xFFFFFF) != want;
    }
  return wrong;
}

class DxvaSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x.Open()) << "no X server"; }

  // Grabs the window until `done` holds for its pixels or the time is up;
  // answers the last grab and keeps it as a picture when `done` never held.
  Pixels GrabUntil(const XWindowInfo& window, const std::function<bool(const Pixels&)>& done,
                       const QString& shot) {
    Pixels pixels;
    x.Raise(window);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      pixels = x.Grab(window);
      if (pixels.size() == size_t(window.width) * window.height && done(pixels)) return pixels;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    QImage image(window.width, window.height, QImage::Format_RGB32);
    for (int y = 0; y < window.height && size_t(y + 1) * window.width <= pixels.size(); ++y)
      for (int c = 0; c < window.width; ++c) image.setPixel(c, y, pixels[size_t(y) * window.width + c]);
    image.save(shot);
    return pixels;
  }

  XDesktop x;
  testhost::DiscoveryResponder responder;
};

}  // namespace

TEST_F(DxvaSessionTest, X264ClipAsDxvaRecordsShowsItsLastShownPictureInItsRectangle) {
  // B-frames: the stream must put the pictures back into display order.
  const QString folder = QStringLiteral(PELLUM_E2E_RUN_DIR "/dxva-clip");
  QDir().mkpath(folder);
  const std::string clipFile = (folder + "/clip.h264").toStdString(), refFile = (folder + "/ref.rgb").toStdString();
  ASSERT_TRUE(hs::RunFfmpeg({"-f", "lavfi", "-i",
                             "testsrc=size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) + ":rate=5",
                             "-frames:v", std::to_string(kFrames), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf",
                             "2", "-g", "10", "-f", "h264", clipFile}));
  ASSERT_TRUE(hs::RunFfmpeg({"-i", clipFile, "-f", "rawvideo", "-pix_fmt", "rgb24", refFile}));
  hs::Bytes clipBytes, all;
  ASSERT_TRUE(hs::ReadFileBytes(clipFile, &clipBytes) && hs::ReadFileBytes(refFile, &all));
  const size_t frameBytes = size_t(kWidth) * kHeight * 3;
  ASSERT_EQ(all.size(), frameBytes * kFrames);
  std::vector<hs::Bytes> reference;
  for (size_t at = 0; at < all.size(); at += frameBytes)
    reference.emplace_back(all.begin() + long(at), all.begin() + long(at + frameBytes));

  const hs::Rect target{160, 120, 160 + kWidth, 120 + kHeight};
  std::string error;
  const hd::DxvaClip clip = hd::DxvaClipOf(clipBytes, 3, kWidth, kHeight, target, kMagenta, &error);
  ASSERT_EQ(clip.pictures, size_t(kFrames)) << error;
  // The stream holds back as many pictures as it reorders over; no flush
  // ends a stream, so those are never shown.
  const size_t depth = std::max<uint32_t>(3, clip.numRefFrames);
  ASSERT_LT(depth, size_t(hd::kClipSurfaces));
  const size_t lastShown = kFrames - 1 - depth;

  // The desktop shows the colour key where the pictures go.
  testhost::RgbImage desktop = TestPicture(640, 480, 4);
  for (int y = target.top; y < target.bottom; ++y)
    for (int c = target.left; c < target.right; ++c) {
      uint8_t* p = &desktop.rgb[(size_t(y) * 640 + c) * 3];
      p[0] = 255, p[1] = 0, p[2] = 255;
    }

  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(65))) << strerror(errno);
  ProgramRun run("dxva-clip");
  ASSERT_NO_FATAL_FAILURE(StartVideoSession(run, responder, LoopbackHost(65), {{"ScreenOptions/dxva2Support", 1}}));
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  // The hello announces the H.264 profile the adapter decodes.
  const std::vector<uint8_t>& hello = host.Report().hello;
  ASSERT_GE(hello.size(), kHelloMediaMarker + 20);
  EXPECT_EQ(testhost::wire::Read(hello, kHelloMediaMarker, 4), kMediaMarker);
  EXPECT_EQ(testhost::wire::Read(hello, kHelloMediaMarker + 12, 4), kDxvaH264Bit);

  ASSERT_EQ(host.Slots("ZEVOROD ").size(), 1u);
  const uint16_t streams = host.Slots("ZEVOROD ")[0];
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], desktop));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(IsVideoSessionWindow, &window, kWaitMs));
  ASSERT_EQ(window.width, 640);
  ASSERT_EQ(window.height, 480);
  // The key must be on the desktop before the pictures are drawn over it.
  const Pixels painted = GrabUntil(
      window, [&](const Pixels& p) { return WrongDesktopPixels(p, desktop, nullptr) == 0; }, folder + "/desktop.png");
  ASSERT_EQ(WrongDesktopPixels(painted, desktop, nullptr), 0u);

  for (const hs::Bytes& message : clip.messages) ASSERT_TRUE(host.SendOnSlot(streams, message));
  // The pictures before it show on the way: wait for the one that matches
  // its own reference best.
  auto psnrOf = [&](const Pixels& p, size_t frame) { return RectPsnr(p, 640, target, reference[frame]); };
  auto isLastShown = [&](const Pixels& p) {
    const double psnr = psnrOf(p, lastShown);
    return psnr >= kBound && psnr > psnrOf(p, lastShown - 1) && psnr > psnrOf(p, lastShown + 1);
  };
  const Pixels shown = GrabUntil(window, isLastShown, folder + "/window.png");
  const double psnr = psnrOf(shown, lastShown);
  EXPECT_GE(psnr, kBound);
  // Its neighbours in display order match worse: it is the right picture.
  EXPECT_GT(psnr, psnrOf(shown, lastShown - 1));
  EXPECT_GT(psnr, psnrOf(shown, lastShown + 1));
  EXPECT_EQ(WrongDesktopPixels(shown, desktop, &target), 0u);

  ASSERT_NO_FATAL_FAILURE(EndVideoSession(host, run, x));
}
