// Multimedia redirection through the real pellum program on an X server of
// its own: the test host opens "TSMF", presents an H.264 + AAC clip, and
// plays it into a video window over the session window. With a clip of one
// solid colour in a partly covered window: the topology is ready at once,
// every sample is acknowledged, both streams end, and the window shows the
// clip's colour in its visible parts and the remote desktop everywhere
// else. With a clip whose every picture has a colour of its own: the last
// picture shown is the clip's last. With the session's sound off: the clip
// plays to its end and nothing reaches the sound device.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

#include "E2eEnv.h"
#include "XDesktop.h"
#include "testhost/DisplayPainter.h"
#include "testhost/TsmfServer.h"
#include "testhost/VideoClips.h"
#include "support/PaintSessionThread.h"

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

// A 2-second clip at 25 pictures a second whose picture n is one flat
// colour of its own: red 32 * (n % 8), green 40 * (n / 8), blue 128, so
// that neighbouring pictures differ by 32 or more in red or green.
std::string MakeCountingClip(const ProgramRun& run) {
  const std::string clip = run.WorkFile("counting.mp4").toStdString();
  const bool made = testhost::stream::RunFfmpeg(
      {"-f", "lavfi", "-i",
       "color=c=black:size=160x120:rate=25,format=rgb24,geq=r='32*mod(N,8)':g='40*floor(N/8)':b='128'", "-f",
       "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "2", "-c:v", "libx264", "-crf", "12",
       "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", clip});
  return made ? clip : std::string();
}

// The colour of the counting clip's picture n, 0xRRGGBB.
uint32_t CountingColour(int n) { return uint32_t(32 * (n % 8)) << 16 | uint32_t(40 * (n / 8)) << 8 | 128u; }

void StartSession(ProgramRun& run, PaintingHost& host, int n, const QMap<QString, QVariant>& profile = {}) {
  ASSERT_NO_FATAL_FAILURE(WriteAsoundrc(run));
  QMap<QString, QVariant> values{{"ScreenOptions/fullScreen", 0},
                                 {"ScreenOptions/autoDetectAudioVideo", 0},
                                 {"ScreenOptions/useWmpChannelRedirection", 1}};
  for (auto it = profile.begin(); it != profile.end(); ++it) values[it.key()] = it.value();
  run.WriteProfile(values);
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

// The real program in a session with the test host, its session window
// found on the X server with the desktop painted, and a multimedia server
// on the session's channel slot that has presented its clip, placed the
// video window and started playing.
class TsmfRig {
 public:
  explicit TsmfRig(const char* name) : run(name) {}

  void Connect(int n, const QMap<QString, QVariant>& profile = {}) {
    ASSERT_TRUE(x.Open()) << "no X server";
    ASSERT_TRUE(host.Listen(LoopbackHost(n), 0)) << strerror(errno);
    ASSERT_NO_FATAL_FAILURE(StartSession(run, host, n, profile));
    ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
    const std::vector<uint16_t> display = host.Slots("HPVCARD ");
    const std::vector<uint16_t> channels = host.Slots("MSVCEXT ");
    ASSERT_FALSE(display.empty());
    ASSERT_EQ(channels.size(), 1u);
    channelSlot = channels[0];
    desktop = TestPicture(kWidth, kHeight, 3);
    ASSERT_TRUE(host.Paint(display[0], desktop));
    const std::string marker = std::string(" @ ") + LoopbackHost(n);
    ASSERT_TRUE(x.WaitForWindow([&](const XWindowInfo& w) { return w.title.find(marker) != std::string::npos; },
                                &window, kWaitMs));
    x.Raise(window);
    ASSERT_GE(window.width, kWidth);
    ASSERT_GE(window.height, kHeight);
  }

  // Connects, then the server of `clipFile` (empty when ffmpeg could not
  // make it) through to the start of playback in the geometry.
  void Begin(const std::string& clipFile, int n, const tsmf::Geometry& geometry,
             const QMap<QString, QVariant>& profile = {}) {
    ASSERT_FALSE(clipFile.empty()) << "ffmpeg could not make the clip";
    ASSERT_NO_FATAL_FAILURE(Connect(n, profile));
    tsmf::Clip clip;
    std::string error;
    ASSERT_TRUE(tsmf::ReadClip(clipFile, &clip, &error)) << error;
    ASSERT_EQ(clip.streams.size(), 2u);
    server = std::make_unique<tsmf::Server>(ServerOn(host, channelSlot, std::move(clip)));
    ASSERT_TRUE(server->ExchangeGroups(0x17F, kWaitMs)) << server->GetReport().error;
    EXPECT_EQ(server->GetReport().enabledGroups, 0x111u);
    ASSERT_TRUE(server->Open(kWaitMs)) << server->GetReport().error;
    ASSERT_TRUE(server->Present(kWaitMs)) << server->GetReport().error;
    ASSERT_TRUE(server->SetTopology(kWaitMs)) << server->GetReport().error;
    ASSERT_TRUE(server->GetReport().topologyReady);
    // The player reports its topology ready at once (about 150 ms here under
    // the sanitizers): a presentation with a video stream never sits out the
    // player's five-second wait. The bound is that wait, not a speed.
    EXPECT_LT(server->GetReport().topologyMs, 5000);
    ASSERT_TRUE(server->UpdateGeometry(geometry));
    ASSERT_TRUE(server->Start());
  }

  // Every sample, the end of both streams, the client's end events and
  // every acknowledgement.
  bool PlayToTheEnd() {
    return server->SendSamples(10, kWaitMs) && server->EndStreams() && server->WaitEndOfStream(kWaitMs) &&
           server->WaitAllAcknowledged(kWaitMs);
  }

  // What the whole clip must have left behind, then the end of the session.
  void Finish(bool played) {
    const tsmf::Report& report = server->GetReport();
    EXPECT_TRUE(played) << report.error;
    EXPECT_TRUE(report.AllAcknowledged()) << tsmf::Summary(report);
    EXPECT_TRUE(report.EndOfStreamSeen()) << tsmf::Summary(report);
    EXPECT_EQ(report.sent[0], server->GetClip().streams[0].samples.size());
    EXPECT_EQ(report.sent[1], server->GetClip().streams[1].samples.size());
    // The start was confirmed to the server.
    EXPECT_NE(std::find(report.events.begin(), report.events.end(), std::make_pair(0u, tsmf::kEventStartCompleted)),
              report.events.end())
        << tsmf::Summary(report);
    EXPECT_TRUE(server->Shutdown(kWaitMs)) << report.error;
    EXPECT_TRUE(server->Close());
    EXPECT_TRUE(run.Running());
    host.Hangup();
    int exitCode = -1;
    ASSERT_TRUE(run.WaitFinished(&exitCode));
    EXPECT_EQ(exitCode, 6);
  }

  // Grabs the window until `judge` finds nothing wrong in it, for at most a
  // step's wait; answers what it found wrong in the last picture, which it
  // saves under `name` when that is not nothing.
  size_t WaitForPicture(const std::function<size_t(const std::vector<uint32_t>&)>& judge, const char* name) {
    size_t wrong = 0;
    std::vector<uint32_t> pixels;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      pixels = x.Grab(window);
      if (pixels.size() != size_t(window.width) * size_t(window.height)) return SIZE_MAX;
      wrong = judge(pixels);
      if (wrong == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    if (wrong) SaveScreenshot(pixels, window, name);
    return wrong;
  }

  // Plays the clip to its end on a thread of its own while the window is
  // read until it shows the clip's colour in the visible parts of the
  // geometry and the desktop elsewhere; *wrong: the pixels that did not.
  bool PlayWhileWatching(const tsmf::Geometry& geometry, const char* name, size_t* wrong) {
    bool played = false;
    std::thread feeder([&] { played = PlayToTheEnd(); });
    *wrong = WaitForPicture(
        [&](const std::vector<uint32_t>& pixels) { return WrongPixels(pixels, window.width, desktop, geometry); },
        name);
    feeder.join();
    return played;
  }

  XDesktop x;
  ProgramRun run;
  PaintingHost host;
  XWindowInfo window;
  testhost::RgbImage desktop;
  uint16_t channelSlot = 0;
  std::unique_ptr<tsmf::Server> server;
};

// The video window at (160, 120), 320 x 240, all of it visible.
tsmf::Geometry WholeVideoWindow() {
  tsmf::Geometry g = VideoWindow();
  g.visible = {{0, 0, 320, 240}};
  return g;
}

TEST(TsmfSession, TheClipPlaysInTheVisiblePartsOfTheVideoWindow) {
  TsmfRig rig("mmredir-tsmf");
  const tsmf::Geometry geometry = VideoWindow();
  ASSERT_NO_FATAL_FAILURE(rig.Begin(MakeClip(rig.run), 71, geometry));
  size_t wrong = 0;
  const bool played = rig.PlayWhileWatching(geometry, "tsmf-video-window", &wrong);
  EXPECT_EQ(wrong, 0u);
  rig.Finish(played);
}

// The samples the server sent before it ended the streams all play: once
// both streams have ended, the video window shows the clip's last picture,
// not one from before the server's flow-control window.
TEST(TsmfSession, TheLastPictureShownIsTheClipsLast) {
  TsmfRig rig("mmredir-tsmf-last");
  const tsmf::Geometry geometry = WholeVideoWindow();
  ASSERT_NO_FATAL_FAILURE(rig.Begin(MakeCountingClip(rig.run), 73, geometry));
  const size_t pictures = rig.server->GetClip().streams[0].samples.size();
  ASSERT_EQ(pictures, 50u);
  const bool played = rig.PlayToTheEnd();
  // Pictures n and n - 1 differ by 32 in red or green: a tolerance of 12
  // tells them apart and forgives the encoder.
  const uint8_t last[3] = {uint8_t(CountingColour(49) >> 16), uint8_t(CountingColour(49) >> 8),
                           uint8_t(CountingColour(49))};
  uint32_t centre = 0;
  const size_t wrong = rig.WaitForPicture(
      [&](const std::vector<uint32_t>& pixels) {
        size_t off = 0;
        for (int y = geometry.top + 20; y < geometry.top + int(geometry.height) - 20; y += 4)
          for (int x = geometry.left + 20; x < geometry.left + int(geometry.width) - 20; x += 4)
            off += !Near(pixels[size_t(y) * size_t(rig.window.width) + size_t(x)], last, 12);
        centre = pixels[size_t(geometry.top + geometry.height / 2) * size_t(rig.window.width) +
                        size_t(geometry.left + geometry.width / 2)];
        return off;
      },
      "tsmf-last-picture");
  EXPECT_EQ(wrong, 0u) << std::hex << "centre 0x" << centre << ", the last picture is 0x" << CountingColour(49)
                       << ", picture 48 0x" << CountingColour(48);
  rig.Finish(played);
}

// The session's sound is off: the redirected clip still plays to its end,
// every sample acknowledged, its pictures shown, and nothing reaches the
// sound device (the ALSA file PCM in the run's home stays unwritten).
TEST(TsmfSession, WithTheSoundOffNothingReachesTheSoundDevice) {
  TsmfRig rig("mmredir-tsmf-silent");
  const tsmf::Geometry geometry = WholeVideoWindow();
  ASSERT_NO_FATAL_FAILURE(rig.Begin(MakeClip(rig.run), 74, geometry, {{"SoundOptions/useSound", 0}}));
  size_t wrong = 0;
  const bool played = rig.PlayWhileWatching(geometry, "tsmf-silent-video-window", &wrong);
  EXPECT_EQ(wrong, 0u);
  rig.Finish(played);
  const QFileInfo sound(rig.run.HomeFile("played.raw"));
  EXPECT_TRUE(!sound.exists() || sound.size() == 0) << sound.size() << " bytes reached the sound device";
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
  testsupport::PaintSessionThread host(listener, request);
  ASSERT_NO_FATAL_FAILURE(WriteAsoundrc(run));
  run.WriteProfile({{"AutoLoginOptions/encryptionLevel", 0},
                    {"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0},
                    {"ScreenOptions/useWmpChannelRedirection", 1}});
  const QString launch = run.WriteLaunchFile("demo.json", LaunchJson(LoopbackHost(72), kWidth, kHeight));
  run.Start({"-x", launch, "-a", LoopbackHost(72), "-p", QString::number(listener.Port())},
            {{"PELLUM_AUDIO_PLAYBACK", kPlaybackPcm}});

  std::string summary;
  const bool printedSummary = host.WaitForLine("tsmf ", &summary, 4 * kWaitMs);
  const int result = host.Finish();
  const std::string seen = host.Printed();
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
