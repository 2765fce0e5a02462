// Sessions of the real pellum program on an X server of its own (Xvfb):
// the picture the host paints appears pixel for pixel in the session
// window, keys typed and buttons clicked with XTEST reach the host as key
// and pointer frames, the end of a session brings back a fresh main window
// or ends the program, and a second display gets a second window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "E2eEnv.h"
#include "XDesktop.h"
#include "support/PressUntilEnded.h"
#include "testhost/DiscoveryResponder.h"
#include "testhost/PlayerStream.h"
#include "testhost/StreamEncoder.h"
#include "testhost/Mpeg2Stream.h"

namespace {

const char kProduct[] = "Kelvane Vesk Client for Windows";
constexpr int kBarRows = 4;  // the control bar's visible edge at the top of display 0

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

// A pointer frame of display 0: length 10, kind 3, buttons, x, y.
std::vector<uint8_t> PointerFrame(uint32_t buttons, int x, int y) {
  return Bytes({10, 0, 3, 0, int(buttons & 0xFF), int((buttons >> 8) & 0xFF), 0, 0, x & 0xFF, x >> 8, y & 0xFF,
                y >> 8});
}

std::function<bool(const XWindowInfo&)> SessionWindowOf(const std::string& server, const char* marker = "") {
  return [server, marker](const XWindowInfo& w) {
    return w.title.find(" @ " + server) != std::string::npos && w.title.find(marker) != std::string::npos;
  };
}

// Another copy of the program running meanwhile numbers this one's
// windows: "Title(2)" for the main window, "Title (2) ..." for sessions.
bool IsMainWindow(const XWindowInfo& w) {
  return w.title == kProduct || w.title.rfind(std::string(kProduct) + "(", 0) == 0;
}

// The titles of the windows shown, for a failure's message.
std::string Shown(XDesktop& x) {
  std::string titles;
  for (const XWindowInfo& w : x.Windows()) titles += "\"" + w.title + "\" ";
  return titles;
}

// Keeps what the window showed for a failure's reader.
void SaveScreenshot(const std::vector<uint32_t>& pixels, const XWindowInfo& window) {
  QImage shot(window.width, window.height, QImage::Format_RGB32);
  for (int y = 0; y < window.height; ++y)
    for (int col = 0; col < window.width; ++col) shot.setPixel(col, y, pixels[static_cast<size_t>(y) * window.width + col]);
  QDir().mkpath(PELLUM_E2E_SHOT_DIR);
  shot.save(QStringLiteral(PELLUM_E2E_SHOT_DIR "/window-%1.png").arg(window.id));
}

// How many pixels of the window differ from the picture by more than
// `tolerance` in a colour (rows from firstRow on); waits until none do or
// the time is up.
size_t WaitForPicture(XDesktop& x, const XWindowInfo& window, const testhost::RgbImage& image, int firstRow,
                      int tolerance = 0) {
  size_t wrong = 0;
  std::vector<uint32_t> pixels;
  // Parts under another window read as undefined.
  x.Raise(window);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    pixels = x.Grab(window);
    if (pixels.size() != static_cast<size_t>(image.width) * image.height) return pixels.size() + 1;
    wrong = 0;
    for (int y = firstRow; y < image.height; ++y) {
      for (int col = 0; col < image.width; ++col) {
        const uint8_t* p = &image.rgb[(static_cast<size_t>(y) * image.width + col) * 3];
        const uint32_t shown = pixels[static_cast<size_t>(y) * image.width + col];
        bool near = true;
        for (int c = 0; c < 3; ++c) near = near && std::abs(int((shown >> (16 - 8 * c)) & 0xFF) - p[c]) <= tolerance;
        wrong += !near;
      }
    }
    if (wrong == 0) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  SaveScreenshot(pixels, window);
  return wrong;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x.Open()) << "no X server"; }
  // A profile that connects at once, to one 640×480 display in a window.
  static QMap<QString, QVariant> AutoConnectInAWindow() {
    return {{"AutoLoginOptions/autoConnect", 1},
            {"ScreenOptions/fullScreen", 0},
            {"ScreenOptions/autoDetectAudioVideo", 0},
            {"ScreenOptions/width__0", 640},
            {"ScreenOptions/height__0", 480}};
  }
  // The host hangs up: the session window goes and a main window comes back.
  void HangUpForAMainWindow(PaintingHost& host, const char* address, XWindowInfo* main) {
    host.Hangup();
    ASSERT_TRUE(x.WaitWithoutWindow(SessionWindowOf(address), kWaitMs)) << Shown(x);
    ASSERT_TRUE(x.WaitForWindow(IsMainWindow, main, kWaitMs)) << Shown(x);
  }
  // Closing the program's last window ends it normally.
  void CloseTheLastWindow(ProgramRun& run, const XWindowInfo& window) {
    x.Close(window);
    int exitCode = -1;
    ASSERT_TRUE(run.WaitFinished(&exitCode));
    EXPECT_EQ(exitCode, 0);
  }
  QMap<QString, QString> DiscoveryOnLoopback() {
    EXPECT_TRUE(responder.Start("127.0.0.1"));
    return {{"PELLUM_TEST_DISCOVERY", QStringLiteral("%1:%2").arg(responder.ListPort()).arg(responder.ServerPort())}};
  }

  XDesktop x;
  testhost::DiscoveryResponder responder;
};

}  // namespace

TEST_F(SessionTest, PictureKeysAndClicksThenTheLaunchFileSessionEnds) {
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(41), 0)) << strerror(errno);
  ProgramRun run("picture");
  run.WriteProfile({{"ScreenOptions/fullScreen", 0}, {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(41), 800, 600));
  run.Start({"-x", launch, "-a", LoopbackHost(41), "-p", QString::number(host.Port())});
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  ASSERT_EQ(host.Slots("HPVCARD ").size(), 1u);
  ASSERT_EQ(host.Slots("VIRTHID ").size(), 1u);
  const uint16_t hid = host.Slots("VIRTHID ")[0];
  const testhost::RgbImage picture = TestPicture(800, 600, 1);
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], picture));

  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(
      [&](const XWindowInfo& w) { return SessionWindowOf(LoopbackHost(41))(w) && w.width == 800 && w.height == 600; },
      &window, kWaitMs));
  EXPECT_EQ(window.title.rfind(std::string("Vantorel ") + kProduct, 0), 0u) << window.title;
  EXPECT_EQ(WaitForPicture(x, window, picture, kBarRows), 0u);

  // The key reaches the session once the window is active and holds the
  // system-key hook; until then a key press goes nowhere.
  x.Focus(window);
  size_t make = 0;
  bool typed = false;
  for (int attempt = 0; attempt < 20 && !typed; ++attempt) {
    x.Key("a", true);
    x.Key("a", false);
    typed = host.WaitForSlotData(hid, Bytes({3, 0, 2, 0, 0x1C}), &make, 0, 500);
  }
  ASSERT_TRUE(typed) << "no key frame for 'a'";
  EXPECT_TRUE(host.WaitForSlotData(hid, Bytes({4, 0, 2, 0, 0xF0, 0x1C}), nullptr, make));
  x.Key("Shift_L", true);
  x.Key("Shift_L", false);
  EXPECT_TRUE(host.WaitForSlotData(hid, Bytes({3, 0, 2, 0, 0x12}), nullptr, make));
  EXPECT_TRUE(host.WaitForSlotData(hid, Bytes({4, 0, 2, 0, 0xF0, 0x12}), nullptr, make));

  // A click in the display: the press and the release at that point.
  x.MoveTo(window.x + 200, window.y + 300);
  x.Button(1, true);
  x.Button(1, false);
  size_t press = 0;
  ASSERT_TRUE(host.WaitForSlotData(hid, PointerFrame(1, 200, 300), &press));
  EXPECT_TRUE(host.WaitForSlotData(hid, PointerFrame(0, 200, 300), nullptr, press + 1));
  x.MoveTo(window.x + 500, window.y + 100);
  x.Button(3, true);
  x.Button(3, false);
  EXPECT_TRUE(host.WaitForSlotData(hid, PointerFrame(2, 500, 100), &press));

  // The host ends the session: in launch-file mode the program ends with
  // the final state and leaves its status.
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
  EXPECT_TRUE(run.ReadWorkFile("session.json.status").endsWith(",\"status\":6}"));
}

TEST_F(SessionTest, TheEndOfASessionBringsBackAFreshMainWindow) {
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(42))) << strerror(errno);
  ProgramRun run("fresh-window");
  run.WriteProfile(AutoConnectInAWindow());
  run.Start({"-ip", LoopbackHost(42)}, DiscoveryOnLoopback());
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const testhost::RgbImage picture = TestPicture(640, 480, 2);
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], picture));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(42)), &window, kWaitMs));
  EXPECT_EQ(WaitForPicture(x, window, picture, kBarRows), 0u);
  // The automatic connect came with the first start only, and no main
  // window showed meanwhile.
  EXPECT_FALSE(x.WaitForWindow(IsMainWindow, nullptr, 0));
  EXPECT_TRUE(responder.WaitForProbes(1, 1, kWaitMs));

  XWindowInfo main;
  ASSERT_NO_FATAL_FAILURE(HangUpForAMainWindow(host, LoopbackHost(42), &main));
  EXPECT_EQ(main.title, kProduct);  // the only copy running: no number
  EXPECT_TRUE(run.Running());
  CloseTheLastWindow(run, main);
}

// The user refuses to end the session and at once asks to close the window
// again: the second request reaches the window while the question's loop
// is still ending. The session must go on, and end as usual later.
TEST_F(SessionTest, ACloseRequestAsTheQuestionGoesKeepsTheSession) {
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(44))) << strerror(errno);
  ProgramRun run("close-twice");
  run.WriteProfile(AutoConnectInAWindow());
  run.Start({"-ip", LoopbackHost(44)}, DiscoveryOnLoopback());
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], TestPicture(640, 480, 1)));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(44)), &window, kWaitMs));

  auto isQuestion = [](const XWindowInfo& w) { return w.title == "Kelvane Vesk Client(tm)"; };
  for (int round = 0; round < 3; ++round) {
    x.Close(window);
    XWindowInfo question;
    ASSERT_TRUE(x.WaitForWindow(isQuestion, &question, kWaitMs)) << Shown(x);
    // Closing the question answers "No".
    x.CloseTogether({question, window});
    // The second request asks again (or is dropped); answer "No" again.
    for (int k = 0; k < 10 && x.WaitForWindow(isQuestion, &question, 300); ++k) x.Close(question);
    ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(44)), nullptr, 0)) << "round " << round;
  }

  // A close request read after the last answer may still raise its question
  // on a busy machine: it is answered "No" while the hung-up session ends.
  host.Hangup();
  XWindowInfo main;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    XWindowInfo seen;
    auto mainOrQuestion = [&](const XWindowInfo& w) { return IsMainWindow(w) || isQuestion(w); };
    ASSERT_TRUE(left.count() > 0 && x.WaitForWindow(mainOrQuestion, &seen, static_cast<int>(left.count()))) << Shown(x);
    if (IsMainWindow(seen)) {
      main = seen;
      break;
    }
    x.Close(seen);
    x.WaitWithoutWindow([&](const XWindowInfo& w) { return w.id == seen.id; }, kWaitMs);
  }
  ASSERT_TRUE(x.WaitWithoutWindow(SessionWindowOf(LoopbackHost(44)), kWaitMs)) << Shown(x);
  CloseTheLastWindow(run, main);
}

// JPEG frames the server plays on the display's stream slot, each with the
// whole display as its target, are drawn into the display: the window shows
// the last one, decoded on the processing thread or by the worker pool.
TEST_F(SessionTest, JpegFramesOnTheStreamSlotShowInTheDisplay) {
  // Flat grey squares on the JPEG blocks' grid survive the compression
  // closely (no colour for the subsampled chroma to blur at their edges).
  auto squares = [](int seed) {
    testhost::RgbImage image;
    image.width = 640;
    image.height = 480;
    image.rgb.resize(640 * 480 * 3);
    for (int y = 0; y < 480; ++y)
      for (int x = 0; x < 640; ++x)
        for (int c = 0; c < 3; ++c)
          image.rgb[(static_cast<size_t>(y) * 640 + x) * 3 + c] =
              static_cast<uint8_t>((x / 80 * 37 + y / 80 * 59 + seed * 29) % 256);
    return image;
  };
  for (int slicerMode : {0, 1}) {
    SCOPED_TRACE(slicerMode ? "worker pool" : "processing thread");
    PaintingHost host;
    ASSERT_TRUE(host.Listen(LoopbackHost(45))) << strerror(errno);
    ProgramRun run(QStringLiteral("jpeg-frames-%1").arg(slicerMode));
    QMap<QString, QVariant> profile = AutoConnectInAWindow();
    profile.insert("Generic/DataSlicerMode", slicerMode);
    run.WriteProfile(profile);
    run.Start({"-ip", LoopbackHost(45)}, DiscoveryOnLoopback());
    ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
    ASSERT_EQ(host.Slots("ZEVOROD ").size(), 1u);
    const uint16_t streams = host.Slots("ZEVOROD ")[0];
    ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], TestPicture(640, 480, 1)));
    XWindowInfo window;
    ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(45)), &window, kWaitMs));

    const testhost::stream::Rect whole{0, 0, 640, 480};
    for (int frame = 0; frame < 5; ++frame)
      ASSERT_TRUE(host.SendOnSlot(streams, testhost::stream::JpegFrame(0, testhost::stream::JpegOf(squares(frame)),
                                                                       whole)));
    EXPECT_EQ(WaitForPicture(x, window, squares(4), kBarRows, 12), 0u);

    XWindowInfo main;
    ASSERT_NO_FATAL_FAILURE(HangUpForAMainWindow(host, LoopbackHost(45), &main));
    CloseTheLastWindow(run, main);
  }
}

TEST_F(SessionTest, ASecondDisplayOpensASecondSessionWindow) {
  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(43))) << strerror(errno);
  ProgramRun run("second-display");
  run.WriteProfile({{"AutoLoginOptions/autoConnect", 1},
                    {"AutoLoginOptions/exitOnDisconnect", 1},
                    {"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0},
                    {"ScreenOptions/width__0", 800},
                    {"ScreenOptions/height__0", 600},
                    {"ScreenOptions/width__1", 640},
                    {"ScreenOptions/height__1", 480}});
  run.Start({"-ip", LoopbackHost(43), "-dual"}, DiscoveryOnLoopback());
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  // The slot table names the first display; the second one's slot is the
  // first id after the table.
  ASSERT_EQ(host.Slots("HPVCARD ").size(), 1u);
  const uint16_t displays[] = {host.Slots("HPVCARD ")[0], static_cast<uint16_t>(host.Report().slotTable.size())};
  const testhost::RgbImage first = TestPicture(800, 600, 1);
  const testhost::RgbImage second = TestPicture(640, 480, 3);
  ASSERT_TRUE(host.Paint(displays[0], first));
  ASSERT_TRUE(host.Paint(displays[1], second));

  XWindowInfo one, two;
  ASSERT_TRUE(x.WaitForWindow(
      [&](const XWindowInfo& w) {
        return SessionWindowOf(LoopbackHost(43))(w) && w.title.find("[Display") == std::string::npos;
      },
      &one, kWaitMs));
  ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(43), " [Display 2]"), &two, kWaitMs));
  EXPECT_EQ(WaitForPicture(x, one, first, kBarRows), 0u);
  EXPECT_EQ(WaitForPicture(x, two, second, 0), 0u);

  // "exitOnDisconnect": the end of the session ends the program.
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 0);
}

// A server that stops reading must not freeze the window: replies to its
// echo requests fill every buffer between the two, and keys typed then
// queue up in the client while the window goes on painting and answering
// the user.
TEST_F(SessionTest, AServerThatStopsReadingLeavesTheWindowAlive) {
  PaintingHost host;
  host.StopReadingAfterHandshake();
  ASSERT_TRUE(host.Listen(LoopbackHost(46))) << strerror(errno);
  ProgramRun run("stalled-server");
  run.WriteProfile(AutoConnectInAWindow());
  run.Start({"-ip", LoopbackHost(46)}, DiscoveryOnLoopback());
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const uint16_t display = host.Slots("HPVCARD ")[0];
  const testhost::RgbImage first = TestPicture(640, 480, 1);
  ASSERT_TRUE(host.Paint(display, first));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(46)), &window, kWaitMs));
  EXPECT_EQ(WaitForPicture(x, window, first, kBarRows), 0u);

  // More replies than the socket buffers and the client's queue hold.
  ASSERT_TRUE(host.SendEchoes(60000));
  x.Focus(window);
  for (int i = 0; i < 30; ++i) {
    x.Key("a", true);
    x.Key("a", false);
  }
  const testhost::RgbImage second = TestPicture(640, 480, 2);
  ASSERT_TRUE(host.Paint(display, second));
  // Below the control bar: the focused window may show more of it.
  EXPECT_EQ(WaitForPicture(x, window, second, 64), 0u);

  // The window still answers: a close request brings the question, and
  // closing the question keeps the session.
  auto isQuestion = [](const XWindowInfo& w) { return w.title == "Kelvane Vesk Client(tm)"; };
  x.Close(window);
  XWindowInfo question;
  ASSERT_TRUE(x.WaitForWindow(isQuestion, &question, kWaitMs)) << Shown(x);
  x.Close(question);
  ASSERT_TRUE(x.WaitWithoutWindow(isQuestion, kWaitMs)) << Shown(x);

  XWindowInfo main;
  ASSERT_NO_FATAL_FAILURE(HangUpForAMainWindow(host, LoopbackHost(46), &main));
  CloseTheLastWindow(run, main);
}

TEST_F(SessionTest, AMalformedLinkIsRefused) {
  ProgramRun run("bad-url");
  run.Start({"-url", "ybx://host/v?x=12"});
  XWindowInfo box;
  ASSERT_TRUE(x.WaitForWindow(IsMainWindow, &box, kWaitMs));
  int exitCode = -1;
  ASSERT_TRUE(testsupport::PressUntilEnded(x, box, "Return", 500,
                                           [&](int waitMs) { return run.PollFinished(&exitCode, waitMs); }));
  EXPECT_EQ(exitCode, 1);
}

// The program finds the system-key library beside itself; a copy without it
// says so and ends before anything else starts.
TEST_F(SessionTest, WithoutTheSystemKeyLibraryTheStartIsRefused) {
  ProgramRun run("no-system-keys");
  const QString alone = run.WorkFile("alone");
  ASSERT_TRUE(QDir().mkpath(alone));
  ASSERT_TRUE(QFile::copy(PELLUM_BIN_DIR "/pellum", alone + "/pellum"));
  ASSERT_TRUE(QFile::setPermissions(alone + "/pellum", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  ASSERT_TRUE(QFile::link(PELLUM_BIN_DIR "/libpelplat.so", alone + "/libpelplat.so"));
  ASSERT_TRUE(QFile::link(PELLUM_BIN_DIR "/libsorvid.so", alone + "/libsorvid.so"));  // linked at load time
  run.UseProgram(alone + "/pellum");
  run.Start({});
  XWindowInfo box;
  ASSERT_TRUE(x.WaitForWindow(IsMainWindow, &box, kWaitMs)) << Shown(x);
  int exitCode = -1;
  ASSERT_TRUE(testsupport::PressUntilEnded(x, box, "Return", 500,
                                           [&](int waitMs) { return run.PollFinished(&exitCode, waitMs); }));
  EXPECT_EQ(exitCode, 1);
  EXPECT_FALSE(run.WorkFileExists("pellum_system.log"));  // never started
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

// Peak signal-to-noise ratio (dB) of the window's rectangle against the
// picture (3-byte pixels of the rectangle's size); waits until it reaches
// `wanted` or the time is up, and answers the last value.
double WaitForPsnrInRect(XDesktop& x, const XWindowInfo& window, const testhost::stream::Rect& r,
                         const std::vector<uint8_t>& rgb, double wanted) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  double psnr = 0;
  std::vector<uint32_t> pixels;
  x.Raise(window);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    pixels = x.Grab(window);
    if (pixels.size() != static_cast<size_t>(window.width) * window.height) return 0;
    double squared = 0;
    for (int y = 0; y < h; ++y)
      for (int col = 0; col < w; ++col) {
        const uint32_t shown = pixels[static_cast<size_t>(y + r.top) * window.width + col + r.left];
        for (int c = 0; c < 3; ++c) {
          const double d = int((shown >> (16 - 8 * c)) & 0xFF) - rgb[(static_cast<size_t>(y) * w + col) * 3 + c];
          squared += d * d;
        }
      }
    const double mse = squared / (3.0 * w * h);
    psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    if (psnr >= wanted) return psnr;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  SaveScreenshot(pixels, window);
  return psnr;
}

TEST_F(SessionTest, PlayerStreamOfAnX264ClipShowsInItsRectangle) {
  // A still picture coded with x264; ffmpeg's own decode of it is what the
  // rectangle should show. The desktop shows the colour key there.
  char dir[] = "/tmp/pellum-player-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string clip = std::string(dir) + "/clip.h264", ref = std::string(dir) + "/ref.rgb";
  ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i smptebars=size=320x240:rate=25 -frames:v 40 "
                         "-c:v libx264 -bf 0 -pix_fmt yuv420p -f h264 " + clip)
                            .c_str()),
            0);
  ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -i " + clip +
                         " -frames:v 1 -pix_fmt rgb24 -f rawvideo " + ref)
                            .c_str()),
            0);
  QFile clipFile(QString::fromStdString(clip)), refFile(QString::fromStdString(ref));
  ASSERT_TRUE(clipFile.open(QIODevice::ReadOnly) && refFile.open(QIODevice::ReadOnly));
  const QByteArray clipBytes = clipFile.readAll(), refBytes = refFile.readAll();
  const std::vector<uint8_t> stream(clipBytes.begin(), clipBytes.end()), picture(refBytes.begin(), refBytes.end());
  std::system((std::string("rm -rf ") + dir).c_str());
  ASSERT_EQ(picture.size(), 320u * 240 * 3);

  const testhost::stream::Rect target{160, 120, 480, 360};
  testhost::RgbImage desktop = TestPicture(640, 480, 3);
  for (int y = target.top; y < target.bottom; ++y)
    for (int col = target.left; col < target.right; ++col) {
      uint8_t* p = &desktop.rgb[(static_cast<size_t>(y) * 640 + col) * 3];
      p[0] = 255, p[1] = 0, p[2] = 255;
    }
  const uint32_t magenta = 0x00FF00FF;  // COLORREF
  for (bool avcc : {false, true}) {
    SCOPED_TRACE(avcc ? "configuration record" : "Annex B");
    const testhost::stream::PlayerClip player = testhost::stream::PlayerClipOf(stream, avcc);
    ASSERT_EQ(player.frames.size(), 40u);
    PaintingHost host;
    ASSERT_TRUE(host.Listen(LoopbackHost(47))) << strerror(errno);
    ProgramRun run(avcc ? "player-avcc" : "player-annexb");
    run.WriteProfile(AutoConnectInAWindow());
    run.Start({"-ip", LoopbackHost(47)}, DiscoveryOnLoopback());
    ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
    const uint16_t streams = host.Slots("ZEVOROD ")[0];
    ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], desktop));
    XWindowInfo window;
    ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(47)), &window, kWaitMs));
    ASSERT_EQ(WaitForPicture(x, window, desktop, kBarRows), 0u);

    ASSERT_TRUE(host.SendOnSlot(streams, testhost::stream::Reserve(5)));
    ASSERT_TRUE(host.SendOnSlot(streams, testhost::stream::CreatePlayerFor(5, player, 320, 240)));
    ASSERT_TRUE(host.SendOnSlot(streams, testhost::stream::State(5, testhost::stream::kRun)));
    for (size_t i = 0; i < player.frames.size(); ++i)
      ASSERT_TRUE(host.SendOnSlot(streams, testhost::stream::PlayerFrame(5, player.frames[i], magenta, target, 0, 0,
                                                                         static_cast<int64_t>(i) * 40000)));
    EXPECT_GE(WaitForPsnrInRect(x, window, target, picture, 30.0), 30.0);

    XWindowInfo main;
    ASSERT_NO_FATAL_FAILURE(HangUpForAMainWindow(host, LoopbackHost(47), &main));
    CloseTheLastWindow(run, main);
  }
}

}  // namespace
// An MPEG-2 stream of the DirectShow kind: the video filter library
// decodes it and its presenter draws it into the session window, at the
// rectangle the host gives, over the remote desktop's picture.
TEST_F(SessionTest, AnMpeg2StreamThroughTheVideoFilterLibraryShowsAtItsRectangle) {
  const QString dir = QDir::tempPath() + "/pellum-e2e-mpeg2";
  QDir().mkpath(dir);
  const std::string clip = (dir + "/clip.m2v").toStdString();
  ASSERT_EQ(std::system(("ffmpeg -y -loglevel error -f lavfi -i color=c=0x20C040:size=160x120 -frames:v 12 "
                         "-pix_fmt yuv420p -c:v mpeg2video -q:v 2 -bf 0 -f mpeg2video " + clip).c_str()),
            0);
  std::ifstream in(clip, std::ios::binary);
  const std::vector<uint8_t> elementary((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(testhost::stream::Mpeg2Pictures(elementary).size(), 10u);

  PaintingHost host;
  ASSERT_TRUE(host.Listen(LoopbackHost(47))) << strerror(errno);
  ProgramRun run("mpeg2-stream");
  run.WriteProfile(AutoConnectInAWindow());
  run.Start({"-ip", LoopbackHost(47)}, DiscoveryOnLoopback());
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const uint16_t streams = host.Slots("ZEVOROD ")[0];
  testhost::RgbImage picture = TestPicture(640, 480, 1);
  ASSERT_TRUE(host.Paint(host.Slots("HPVCARD ")[0], picture));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(SessionWindowOf(LoopbackHost(47)), &window, kWaitMs));
  ASSERT_EQ(WaitForPicture(x, window, picture, kBarRows), 0u);

  namespace st = testhost::stream;
  const st::Rect rect{100, 80, 260, 200};
  for (const st::Bytes& message : st::Mpeg2StreamMessages(7, elementary, rect, 0x00FF00FF))
    ASSERT_TRUE(host.SendOnSlot(streams, message));
  for (int y = rect.top; y < rect.bottom; ++y)
    for (int col = rect.left; col < rect.right; ++col) {
      uint8_t* p = &picture.rgb[(static_cast<size_t>(y) * 640 + col) * 3];
      p[0] = 0x20, p[1] = 0xC0, p[2] = 0x40;
    }
  EXPECT_EQ(WaitForPicture(x, window, picture, kBarRows, 12), 0u);

  XWindowInfo main;
  ASSERT_NO_FATAL_FAILURE(HangUpForAMainWindow(host, LoopbackHost(47), &main));
  CloseTheLastWindow(run, main);
}
