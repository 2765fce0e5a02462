// The pellum-testhost command against the real pellum program, as a user
// tries it by hand: a default profile (which asks for an encrypted
// session) shows the painted desktop; what the user pastes and copies
// locally shows in the host's printed lines; the microphone's PCM arrives
// and is counted; and, inside the smart-card rig, the smart-card calls reach
// the virtual card. Each run has a loopback address of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QFile>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "E2eEnv.h"
#include "../support/VirtualCard.h"
#include "HostCommand.h"
#include "XDesktop.h"
#include "XclipProcess.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr int kBarRows = 4;  // the control bar's visible edge at the top of display 0

// The program with its default profile (bar a window instead of full
// screen) connected to the command, which paints the picture and does what
// `extra` asks.
class HostCommandSession {
 public:
  HostCommandSession(const char* name, int n) : run(name), address_(LoopbackHost(n)) {}

  void Start(const std::vector<std::string>& extra, const QMap<QString, QString>& environment = {},
             const QMap<QString, QVariant>& profile = {}) {
    picture = TestPicture(kWidth, kHeight, 3);
    const QString image = WritePpm(run, "desktop.ppm", picture);
    ASSERT_FALSE(image.isEmpty());
    std::vector<std::string> args = {"--address", address_, "--paint", image.toStdString()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string where;
    unsigned port = 0;
    ASSERT_TRUE(host.StartWith(args, &where, &port));
    QMap<QString, QVariant> values = profile;
    values["ScreenOptions/fullScreen"] = 0;
    values["ScreenOptions/autoDetectAudioVideo"] = 0;
    run.WriteProfile(values);
    const QString launch = run.WriteLaunchFile("session.json", LaunchJson(address_.c_str(), kWidth, kHeight));
    run.Start({"-x", launch, "-a", QString::fromStdString(address_), "-p", QString::number(port)}, environment);
    std::string line;
    ASSERT_TRUE(host.WaitForLine("painted ", &line, kWaitMs)) << Printed();
  }

  // The host's input ends: it hangs up and ends well, and the program ends
  // with the lost connection.
  void End() {
    std::string rest;
    EXPECT_EQ(host.Finish(&rest), 0) << Printed() << rest;
    int exitCode = -1;
    ASSERT_TRUE(run.WaitFinished(&exitCode));
    EXPECT_EQ(exitCode, 6) << run.Errors().toStdString();
  }

  std::string Printed() const {
    std::string all;
    for (const std::string& l : host.Lines()) all += l + "\n";
    return all;
  }
  const std::string& Address() const { return address_; }

  ProgramRun run;
  testhosttest::HostCommand host;
  testhost::RgbImage picture;

 private:
  std::string address_;
};

// Pixels of the window unlike the picture (rows from kBarRows on); waits
// until there are none or the time is up.
size_t WaitForPicture(XDesktop& x, const XWindowInfo& window, const testhost::RgbImage& image) {
  size_t wrong = 0;
  x.Raise(window);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    const std::vector<uint32_t> pixels = x.Grab(window);
    if (pixels.size() != size_t(image.width) * image.height) return pixels.size() + 1;
    wrong = 0;
    for (int y = kBarRows; y < image.height; ++y) {
      for (int col = 0; col < image.width; ++col) {
        const uint8_t* p = &image.rgb[(size_t(y) * image.width + col) * 3];
        wrong += pixels[size_t(y) * image.width + col] != (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
      }
    }
    if (wrong == 0) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  return wrong;
}

class HostCommandOnX : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x.Open()) << "no X server"; }
  XDesktop x;
};

TEST_F(HostCommandOnX, ADefaultProfileGetsAnEncryptedSessionThatShowsThePaintedDesktop) {
  HostCommandSession session("cli-encrypted", 81);
  ASSERT_NO_FATAL_FAILURE(session.Start({}));
  XWindowInfo window;
  ASSERT_TRUE(x.WaitForWindow(
      [&](const XWindowInfo& w) {
        return w.title.find(" @ " + session.Address()) != std::string::npos && w.width == kWidth &&
               w.height == kHeight;
      },
      &window, kWaitMs));
  EXPECT_EQ(WaitForPicture(x, window, session.picture), 0u);
  ASSERT_NO_FATAL_FAILURE(session.End());
}

TEST_F(HostCommandOnX, WhatTheUserPastesAndCopiesLocallyShowsInTheHostsLines) {
  HostCommandSession session("cli-clipboard", 82);
  ASSERT_NO_FATAL_FAILURE(session.Start({"--clipboard", "from the host \xE2\x82\xAC"}));
  std::string line;
  ASSERT_TRUE(session.host.WaitForLine("clipboard offered ", &line, kWaitMs)) << session.Printed();

  // A local paste takes the host's text, asked for as CF_UNICODETEXT.
  const xclip::Output pasted = xclip::Paste("UTF8_STRING");
  EXPECT_EQ(pasted.out, "from the host \xE2\x82\xAC");
  EXPECT_TRUE(session.host.WaitForLine("clipboard request 13 answered", &line, kWaitMs)) << session.Printed();

  // A local copy of a text reaches the host, which prints it.
  {
    xclip::Copy copy("", "local text \xE2\x82\xAC");
    EXPECT_TRUE(session.host.WaitForLine("clipboard text: local text \xE2\x82\xAC", &line, kWaitMs))
        << session.Printed();
  }
  ASSERT_NO_FATAL_FAILURE(session.End());
}

TEST_F(HostCommandOnX, TheMicrophonesPcmArrivesAndIsCounted) {
  HostCommandSession session("cli-microphone", 83);
  // ALSA's file PCMs: playback into a file, capture from one.
  const QString source = session.run.HomeFile("capture.raw");
  QFile capture(source);
  ASSERT_TRUE(capture.open(QIODevice::WriteOnly));
  capture.write(QByteArray(22050 * 2, '\x11'));
  capture.close();
  QFile rc(session.run.HomeFile(".asoundrc"));
  ASSERT_TRUE(rc.open(QIODevice::WriteOnly));
  rc.write(QStringLiteral("pcm.pellum_play {\n  type file\n  slave.pcm \"null\"\n  file \"%1\"\n  format \"raw\"\n}\n"
                          "pcm.pellum_capture {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n"
                          "  infile \"%2\"\n  format \"raw\"\n}\n")
               .arg(session.run.HomeFile("played.raw"), source)
               .toUtf8());
  rc.close();
  ASSERT_NO_FATAL_FAILURE(session.Start(
      {"--microphone", "1"}, {{"PELLUM_AUDIO_PLAYBACK", "pellum_play"}, {"PELLUM_AUDIO_CAPTURE", "pellum_capture"}}));

  std::string line;
  ASSERT_TRUE(session.host.WaitForLine("microphone PCM ", &line, kWaitMs)) << session.Printed();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(microphone PCM 22050 Hz, 1 channel, 16 bits: (\d+) bytes, (\d+) ms)")))
      << line;
  const uint64_t bytes = std::stoull(m[1]);
  EXPECT_GT(bytes, 0u);
  EXPECT_EQ(std::stoull(m[2]), bytes * 1000 / 44100);
  ASSERT_NO_FATAL_FAILURE(session.End());
}

TEST(HostCommandSmartCard, EachSmartCardCallsResultIsPrintedAndTheSelectIsAnswered) {
  if (!std::getenv("PELLUM_VICC")) GTEST_SKIP() << "runs inside pcsc_rig.sh";
  VirtualCard card;
  ASSERT_TRUE(card.Insert());
  HostCommandSession session("cli-smartcard", 84);
  ASSERT_NO_FATAL_FAILURE(session.Start({"--smartcard"}));
  const struct {
    const char* prefix;
    const char* pattern;
  } expected[] = {
      {"smartcard device ", R"(smartcard device 1 "SCARD")"},
      {"smartcard EstablishContext: ", R"(smartcard EstablishContext: 0x00000000 \(success\))"},
      {"smartcard ListReaders: ", R"(smartcard ListReaders: 0x00000000 \(success\) "Virtual PCD[^"]*".*)"},
      {"smartcard GetStatusChange: ", R"(smartcard GetStatusChange: 0x00000000 \(success\) ".*" state 0x[0-9A-F]+ \(card present\) ATR [0-9A-F ]+)"},
      {"smartcard Connect: ", R"(smartcard Connect: 0x00000000 \(success\) protocol T[01])"},
      {"smartcard Transmit ", R"(smartcard Transmit 00 A4 00 0C 02 3F 00: 0x00000000 \(success\) answer( [0-9A-F]{2})*)"},
      {"smartcard Disconnect: ", R"(smartcard Disconnect: 0x00000000 \(success\))"},
      {"smartcard ReleaseContext: ", R"(smartcard ReleaseContext: 0x00000000 \(success\))"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.prefix);
    std::string line;
    ASSERT_TRUE(session.host.WaitForLine(e.prefix, &line, kWaitMs)) << session.Printed();
    EXPECT_TRUE(std::regex_match(line, std::regex(e.pattern))) << line;
  }
  ASSERT_NO_FATAL_FAILURE(session.End());
}

}  // namespace
