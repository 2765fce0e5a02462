// Browser video through the real program: the host paints a desktop with
// the key colour in a rectangle, plays the browser extension (discovery,
// connection check, focus, playback of a stream address) and the session
// window shows the clip exactly there.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QUrl>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "../support/FfmpegClip.h"
#include "../support/LoopbackHost.h"
#include "E2eEnv.h"
#include "XDesktop.h"
#include "testhost/BrowserExtension.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;
const QRect kVideo(200, 120, 240, 180);

testhost::RgbImage KeyedDesktop() {
  const QImage picture = testhost::KeyedPicture(QSize(kWidth, kHeight), kVideo, qRgb(255, 255, 255));
  testhost::RgbImage image;
  image.width = kWidth;
  image.height = kHeight;
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t* row = picture.constScanLine(y);
    image.rgb.insert(image.rgb.end(), row, row + kWidth * 3);
  }
  return image;
}

bool Red(uint32_t pixel) { return ((pixel >> 16) & 0xFF) > 200 && ((pixel >> 8) & 0xFF) < 60 && (pixel & 0xFF) < 60; }
bool White(uint32_t pixel) { return (pixel & 0xFFFFFF) == 0xFFFFFF; }

}  // namespace

TEST(BrowserVideo, TheClipShowsWhereThePictureHoldsTheKeyColour) {
  XDesktop x;
  ASSERT_TRUE(x.Open()) << "no X server";
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(43), 0)) << strerror(errno);
  ProgramRun run("browser-video");
  // A red clip, long enough to still play when the window is read.
  const QString clip = run.WorkFile("red.mp4");
  const std::string made = MakeFfmpegClip(clip, "color=c=red:size=160x120:rate=5", 60);
  ASSERT_TRUE(made.empty()) << made;

  run.WriteProfile({{"ScreenOptions/fullScreen", 0}, {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(43), kWidth, kHeight));
  run.Start({"-x", launch, "-a", LoopbackHost(43), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> display = host.Slots("HPVCARD ");
  ASSERT_FALSE(display.empty());
  ASSERT_TRUE(host.Paint(display[0], KeyedDesktop()));

  testhost::BrowserExtension extension(host.Session());
  std::string sessionId;
  ASSERT_TRUE(extension.Connect(kWaitMs, &sessionId));
  EXPECT_EQ(sessionId.size(), 38u) << sessionId;
  testhost::ExtensionPlayback playback;
  playback.videoStreamUrl = QUrl::fromLocalFile(clip).toString().toStdString();
  playback.rectangle = kVideo;
  ASSERT_TRUE(extension.Send(testhost::BrowserExtension::FocusChanged(playback.windowId, playback.tabId)));
  ASSERT_TRUE(extension.Send(testhost::BrowserExtension::Playback(playback)));
  // The client reports where the clip is.
  ASSERT_TRUE(extension.WaitForClientText(
      [](const std::string& t) { return t.find("tovix.clientPlaybackProgress") != std::string::npos; }, kWaitMs));

  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow([](const XWindowInfo& w) { return w.title.find(" @ ") != std::string::npos; }, &window,
                              kWaitMs));
  x.Raise(window);
  // Inside the rectangle, clear of its edges and of the status box in its
  // corner, the clip; around it the desktop.
  const QRect inside = kVideo.adjusted(4, 40, -4, -4);
  const QRect outside = kVideo.adjusted(-4, -4, 4, 4);
  size_t wrong = 0;
  std::vector<uint32_t> pixels;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    pixels = x.Grab(window);
    ASSERT_EQ(pixels.size(), size_t(window.width) * window.height);
    ASSERT_GE(window.width, kWidth);
    wrong = 0;
    for (int y = 8; y < kHeight; ++y) {
      for (int col = 0; col < kWidth; ++col) {
        const uint32_t p = pixels[size_t(y) * window.width + col];
        if (inside.contains(col, y)) wrong += !Red(p);
        if (!outside.contains(col, y)) wrong += !White(p);
      }
    }
    if (wrong == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  if (wrong) {
    QImage shot(window.width, window.height, QImage::Format_RGB32);
    for (int y = 0; y < window.height; ++y)
      for (int col = 0; col < window.width; ++col) shot.setPixel(col, y, pixels[size_t(y) * window.width + col]);
    QDir().mkpath(PELLUM_E2E_SHOT_DIR);
    shot.save(PELLUM_E2E_SHOT_DIR "/browser-video.png");
  }
  EXPECT_EQ(wrong, 0u);
  host.Hangup();
}

// The same road through the pellum-testhost program, as a user runs it: the
// default profile (an encrypted session) and a launch file. The session
// outlives the extension's discovery and the client reports the clip's
// playback to the host.
TEST(BrowserVideo, TheTestHostProgramPlaysAClipThroughTheExtension) {
  XDesktop x;
  ASSERT_TRUE(x.Open()) << "no X server";
  ProgramRun run("browser-video-cli");
  const QString clip = run.WorkFile("red.mp4");
  const std::string made = MakeFfmpegClip(clip, "color=c=red:size=160x120:rate=5", 60);
  ASSERT_TRUE(made.empty()) << made;
  const QString desktop = WritePpm(run, "desktop.ppm", KeyedDesktop());
  ASSERT_FALSE(desktop.isEmpty());

  QProcess host;
  host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  const QString video = QStringLiteral("%1,%2,%3,%4,")
                            .arg(kVideo.x())
                            .arg(kVideo.y())
                            .arg(kVideo.width())
                            .arg(kVideo.height()) +
                        QUrl::fromLocalFile(clip).toString();
  host.start(PELLUM_TESTHOST, {"--address", LoopbackHost(44), "--port", "0", "--paint", desktop, "--browser-video", video});
  ASSERT_TRUE(host.waitForStarted(kWaitMs));
  // One line of the host's output that begins with the text; empty when the
  // host ended or the time ran out first.
  QByteArray seen;
  const auto lineStarting = [&host, &seen](const QByteArray& start) -> QByteArray {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < end) {
      while (host.canReadLine()) {
        const QByteArray line = host.readLine().trimmed();
        seen += line + "\n";
        if (line.startsWith(start)) return line;
      }
      if (host.state() == QProcess::NotRunning) return QByteArray();
      host.waitForReadyRead(200);
    }
    return QByteArray();
  };
  const QList<QByteArray> listening = lineStarting("listening ").split(' ');
  ASSERT_EQ(listening.size(), 3) << seen.toStdString();

  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(44), kWidth, kHeight));
  run.Start({"-x", launch, "-a", LoopbackHost(44), "-p", QString::fromLatin1(listening[2])});
  const QByteArray playback = lineStarting("client playback ");
  EXPECT_NE(playback.indexOf("\"type\":\"tovix.clientPlaybackProgress\""), -1) << seen.toStdString();
  EXPECT_TRUE(run.Running());
  host.closeWriteChannel();
  EXPECT_TRUE(host.waitForFinished(kWaitMs));
  EXPECT_EQ(host.exitCode(), 0) << seen.toStdString();
  int exitCode = -1;
  EXPECT_TRUE(run.WaitFinished(&exitCode));
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
