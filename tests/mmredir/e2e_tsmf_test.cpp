// Multimedia redirection through the real pellum program on an X server of
// its own: the test host opens "TSMF", presents an H.264 + AAC clip of one
// solid colour, and plays it into a video window over the session window
// that is partly covered. The topology is ready at once, every sample is
// acknowledged, both streams end, and the window shows the clip's colour in
// its visible parts and the remote desktop everywhere else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <regex>
#include <thread>

#include "E2eEnv.h"
#include "XDesktop.h"
#include "testhost/DisplayPainter.h"
#include "testhost/TsmfServer.h"
#include "testhost/VideoClips.h"

namespace {

namespace tsmf = testhost::tsmf;
using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 640, kHeight = 480;
constexpr int kBarRows = 4;   // the control bar's visible edge at the top of display 0
constexpr int kEdge = 3;      // pixels left unchecked on either side of an edge
constexpr int kCovered = 24;  // colour tolerance where the desktop is laid over the video
const char kPlaybackPcm[] = "pellum_play";

// The video window at (160, 120), 320 x 240, visible in an L: its left part
// and its bottom right corner; the top right corner is covered.
tsmf::Geometry VideoWindow() {
  tsmf::Geometry g;
  g.windowId = 0x5EED;
  g.left = 160;
  g.top = 120;
  g.width = 320;
  g.height = 240;
  g.visible = {{0, 0, 200, 240}, {200, 140, 320, 240}};
  return g;
}

// A 2-second clip of solid red at 25 pictures a second with a tone.
std::string MakeClip(const ProgramRun& run) {
  const std::string clip = run.WorkFile("red.mp4").toStdString();
  const bool made = testhost::stream::RunFfmpeg({"-f", "lavfi", "-i", "color=c=red:size=160x120:rate=25", "-f", "lavfi",
                                                 "-i", "sine=frequency=440:sample_rate=48000", "-t", "2", "-c:v",
                                                 "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", clip});
  return made ? clip : std::string();
}

// Sound goes to ALSA's file PCM over null in the run's home.
void WriteAsoundrc(const ProgramRun& run) {
  QFile rc(run.HomeFile(".asoundrc"));
  ASSERT_TRUE(rc.open(QIODevice::WriteOnly));
  rc.write(QStringLiteral("pcm.%1 {\n  type file\n  slave.pcm \"null\"\n  file \"%2\"\n  format \"raw\"\n}\n")
               .arg(kPlaybackPcm, run.HomeFile("played.raw"))
               .toUtf8());
}

void StartSession(ProgramRun& run, PaintingHost& host, int n) {
  ASSERT_NO_FATAL_FAILURE(WriteAsoundrc(run));
  run.WriteProfile({{"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0},
                    {"ScreenOptions/useWmpChannelRedirection", 1}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(n), kWidth, kHeight));
  run.Start({"-x", launch, "-a", LoopbackHost(n), "-p", QString::number(host.Port())},
            {{"PELLUM_AUDIO_PLAYBACK", kPlaybackPcm}});
}

bool Red(uint32_t pixel) { return ((pixel >> 16) & 0xFF) > 200 && ((pixel >> 8) & 0xFF) < 60 && (pixel & 0xFF) < 60; }

bool Near(uint32_t pixel, const uint8_t* rgb, int tolerance) {
  for (int c = 0; c < 3; ++c)
    if (std::abs(int((pixel >> (16 - 8 * c)) & 0xFF) - rgb[c]) > tolerance) return false;
  return true;
}

bool Inside(const tsmf::Rect& r, int x, int y, int margin) {
  return x >= r.left + margin && x < r.right - margin && y >= r.top + margin && y < r.bottom - margin;
}

// Pixels of the display that do not show what they should: the clip's
// colour inside the visible parts, the desktop everywhere else (exactly
// outside the video window, nearly where it covers the video). Pixels near
// an edge are not judged.
size_t WrongPixels(const std::vector<uint32_t>& pixels, int stride, const testhost::RgbImage& desktop,
                   const tsmf::Geometry& g) {
  const tsmf::Rect window{g.left, g.top, g.left + int32_t(g.width), g.top + int32_t(g.height)};
  size_t wrong = 0;
  for (int y = kBarRows; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t shown = pixels[size_t(y) * size_t(stride) + size_t(x)];
      const uint8_t* painted = &desktop.rgb[(size_t(y) * size_t(kWidth) + size_t(x)) * 3];
      if (!Inside(window, x, y, -kEdge)) {
        wrong += !Near(shown, painted, 0);
        continue;
      }
      const int wx = x - g.left, wy = y - g.top;
      bool visible = false, nearVisible = false;
      for (const tsmf::Rect& r : g.visible) {
        visible = visible || Inside(r, wx, wy, kEdge);
        nearVisible = nearVisible || Inside(r, wx, wy, -kEdge);
      }
      if (visible)
        wrong += !Red(shown);
      else if (!nearVisible && Inside(window, x, y, kEdge))
        wrong += !Near(shown, painted, kCovered);
    }
  }
  return wrong;
}

void SaveScreenshot(const std::vector<uint32_t>& pixels, const XWindowInfo& window, const char* name) {
  QImage shot(window.width, window.height, QImage::Format_RGB32);
  for (int y = 0; y < window.height; ++y)
    for (int col = 0; col < window.width; ++col)
      shot.setPixel(col, y, pixels[size_t(y) * size_t(window.width) + size_t(col)]);
  QDir().mkpath(PELLUM_E2E_SHOT_DIR);
  shot.save(QStringLiteral(PELLUM_E2E_SHOT_DIR "/%1.png").arg(name));
}

// Reads the pipe until a line starts with `prefix` (that line in *line),
// for at most four waits of a step.
bool WaitForLine(int fd, const std::string& prefix, std::string* seen, std::string* line) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(4 * kWaitMs);
  std::string current;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) return false;
    seen->push_back(c);
    if (c != '\n') {
      current.push_back(c);
      continue;
    }
    if (current.rfind(prefix, 0) == 0) {
      *line = current;
      return true;
    }
    current.clear();
  }
  return false;
}

tsmf::Server ServerOn(PaintingHost& host, uint16_t slot, tsmf::Clip clip) {
  return tsmf::Server([&host, slot](const Bytes& payload) { return host.SendOnSlot(slot, payload); },
                      [&host, slot] {
                        std::vector<Bytes> payloads;
                        for (const testhost::HostMessage& m : host.Messages())
                          if (m.header.slot == slot && m.code == 0) payloads.push_back(m.body);
                        return payloads;
                      },
                      std::move(clip));
}

TEST(TsmfSession, TheClipPlaysInTheVisiblePartsOfTheVideoWindow) {
  XDesktop x;
  ASSERT_TRUE(x.Open()) << "no X server";
  ProgramRun run("mmredir-tsmf");
  const std::string clipFile = MakeClip(run);
  ASSERT_FALSE(clipFile.empty()) << "ffmpeg could not make the clip";
  tsmf::Clip clip;
  std::string error;
  ASSERT_TRUE(tsmf::ReadClip(clipFile, &clip, &error)) << error;
  ASSERT_EQ(clip.streams.size(), 2u);

  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(71), 0)) << strerror(errno);
  ASSERT_NO_FATAL_FAILURE(StartSession(run, host, 71));
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> display = host.Slots("HPVCARD ");
  const std::vector<uint16_t> channels = host.Slots("MSVCEXT ");
  ASSERT_FALSE(display.empty());
  ASSERT_EQ(channels.size(), 1u);
  const testhost::RgbImage desktop = TestPicture(kWidth, kHeight, 3);
  ASSERT_TRUE(host.Paint(display[0], desktop));

  XWindowInfo window;
  const std::string marker = std::string(" @ ") + LoopbackHost(71);
  ASSERT_TRUE(x.WaitForWindow([&](const XWindowInfo& w) { return w.title.find(marker) != std::string::npos; }, &window,
                              kWaitMs));
  x.Raise(window);
  ASSERT_GE(window.width, kWidth);
  ASSERT_GE(window.height, kHeight);

  tsmf::Server server = ServerOn(host, channels[0], std::move(clip));
  ASSERT_TRUE(server.ExchangeGroups(0x17F, kWaitMs)) << server.GetReport().error;
  EXPECT_EQ(server.GetReport().enabledGroups, 0x111u);
  ASSERT_TRUE(server.Open(kWaitMs)) << server.GetReport().error;
  ASSERT_TRUE(server.Present(kWaitMs)) << server.GetReport().error;
  ASSERT_TRUE(server.SetTopology(kWaitMs)) << server.GetReport().error;
  ASSERT_TRUE(server.GetReport().topologyReady);
  // The player reports its topology ready at once (about 150 ms here under
  // the sanitizers): a presentation with a video stream never sits out the
  // player's five-second wait. The bound is that wait, not a speed.
  EXPECT_LT(server.GetReport().topologyMs, 5000);
  const tsmf::Geometry geometry = VideoWindow();
  ASSERT_TRUE(server.UpdateGeometry(geometry));
  ASSERT_TRUE(server.Start());

  // The samples go out on a thread of their own while the window is read.
  bool played = false;
  std::thread feeder([&] {
    played = server.SendSamples(10, kWaitMs) && server.EndStreams() && server.WaitEndOfStream(kWaitMs) &&
             server.WaitAllAcknowledged(kWaitMs);
  });
  size_t wrong = 0;
  std::vector<uint32_t> pixels;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    pixels = x.Grab(window);
    ASSERT_EQ(pixels.size(), size_t(window.width) * size_t(window.height));
    wrong = WrongPixels(pixels, window.width, desktop, geometry);
    if (wrong == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  feeder.join();
  if (wrong) SaveScreenshot(pixels, window, "tsmf-video-window");
  EXPECT_EQ(wrong, 0u);

  const tsmf::Report& report = server.GetReport();
  EXPECT_TRUE(played) << report.error;
  EXPECT_TRUE(report.AllAcknowledged()) << tsmf::Summary(report);
  EXPECT_TRUE(report.EndOfStreamSeen()) << tsmf::Summary(report);
  EXPECT_EQ(report.sent[0], server.GetClip().streams[0].samples.size());
  EXPECT_EQ(report.sent[1], server.GetClip().streams[1].samples.size());
  // The start was confirmed to the server.
  EXPECT_NE(std::find(report.events.begin(), report.events.end(), std::make_pair(0u, tsmf::kEventStartCompleted)),
            report.events.end())
      << tsmf::Summary(report);
  EXPECT_TRUE(server.Shutdown(kWaitMs)) << report.error;
  EXPECT_TRUE(server.Close());
  EXPECT_TRUE(run.Running());
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

// The command line's paint session with a clip: the summary line it prints
// counts every sample acknowledged and both ends, and the session succeeds.
TEST(TsmfSession, ThePaintSessionsClipPlaysToItsEnd) {
  ProgramRun run("mmredir-tsmf-paint");
  const std::string clipFile = MakeClip(run);
  ASSERT_FALSE(clipFile.empty()) << "ffmpeg could not make the clip";
  const testhost::RgbImage picture = TestPicture(kWidth, kHeight, 1);
  const QString image = WritePpm(run, "desktop.ppm", picture);
  ASSERT_FALSE(image.isEmpty());
  testhost::Listener listener;
  ASSERT_TRUE(listener.Listen(LoopbackHost(72), 0)) << strerror(errno);
  testhost::PaintRequest request;
  request.imageFile = image.toStdString();
  request.acceptTimeoutMs = kWaitMs;
  request.tsmfClip = clipFile;
  request.tsmfOptions.geometry = VideoWindow();
  // The host holds the session while the first pipe is open and prints
  // into the second (the program inherits neither).
  int hold[2];
  int printed[2];
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(printed, O_CLOEXEC), 0);
  __gnu_cxx::stdio_filebuf<char> holdBuffer(hold[0], std::ios::in);
  std::istream until(&holdBuffer);
  __gnu_cxx::stdio_filebuf<char> printBuffer(printed[1], std::ios::out);
  std::ostream out(&printBuffer);
  int result = -1;
  std::thread hostThread([&] { result = testhost::RunPaintSession(listener, request, until, out); });
  ASSERT_NO_FATAL_FAILURE(WriteAsoundrc(run));
  run.WriteProfile({{"AutoLoginOptions/encryptionLevel", 0},
                    {"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0},
                    {"ScreenOptions/useWmpChannelRedirection", 1}});
  const QString launch = run.WriteLaunchFile("demo.json", LaunchJson(LoopbackHost(72), kWidth, kHeight));
  run.Start({"-x", launch, "-a", LoopbackHost(72), "-p", QString::number(listener.Port())},
            {{"PELLUM_AUDIO_PLAYBACK", kPlaybackPcm}});

  std::string seen, summary;
  const bool printedSummary = WaitForLine(printed[0], "tsmf ", &seen, &summary);
  close(hold[1]);
  hostThread.join();
  close(printed[0]);
  ASSERT_TRUE(printedSummary) << seen;
  EXPECT_EQ(result, 0) << seen;
  const std::regex form(
      "tsmf video-samples=(\\d+) video-acks=(\\d+) audio-samples=(\\d+) audio-acks=(\\d+) topology=ready "
      "topology-ms=\\d+ events=([0-9,]+) end-of-stream=2 shutdown=answered");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(summary, m, form)) << seen;
  EXPECT_EQ(m[1], m[2]);
  EXPECT_EQ(m[3], m[4]);
  EXPECT_EQ(m[1].str(), "50");
  EXPECT_NE(m[3].str(), "0");
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

}  // namespace
