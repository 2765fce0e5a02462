// The sound of a session in the real pellum program. Its ALSA output is a
// `file` PCM over `null` defined in the run's home, so what the "sound
// card" received can be read back: an Ogg Vorbis clip the host plays comes
// out as Tremor's own ov_read decodes it, a PCM clip as itself, and the
// client's playback reports reach the host, and the demo host's tone is
// heard whole. Without a device the session runs on and the host hears that
// there is none.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "E2eEnv.h"
#include "VorbisReference.h"
#include "testhost/AudioSlot.h"
#include "testhost/DisplayPainter.h"
#include "support/PaintSessionThread.h"

namespace {

namespace audio = testhost::audio;
using Bytes = std::vector<uint8_t>;

constexpr char kAudioSlotName[] = "KOVAUDIO";
const char kPlaybackPcm[] = "pellum_play";

// The playback PCM in the run's home; the file it writes is answered.
QString WriteAsoundrc(const ProgramRun& run) {
  const QString played = run.HomeFile("played.raw");
  QFile rc(run.HomeFile(".asoundrc"));
  EXPECT_TRUE(rc.open(QIODevice::WriteOnly));
  rc.write(QStringLiteral("pcm.%1 {\n  type file\n  slave.pcm \"null\"\n  file \"%2\"\n  format \"raw\"\n}\n")
               .arg(kPlaybackPcm, played)
               .toUtf8());
  return played;
}

Bytes ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = f.readAll();
  return Bytes(bytes.begin(), bytes.end());
}

// Waits until the file holds exactly `expected` (the device writes it as it
// goes and the rest when it closes).
bool WaitForFile(const QString& path, const Bytes& expected, Bytes* last) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    *last = ReadAll(path);
    if (*last == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

// The bytes in pieces of 1 to `maxPiece` bytes, each wrapped by `wrap`.
void SendInPieces(PaintingHost& host, uint16_t slot, const Bytes& bytes, size_t maxPiece,
                  Bytes (*wrap)(const Bytes&)) {
  uint32_t seed = 4242;
  for (size_t at = 0; at < bytes.size();) {
    seed = seed * 1103515245 + 12345;
    const size_t piece = std::min<size_t>(bytes.size() - at, 1 + (seed >> 8) % maxPiece);
    ASSERT_TRUE(host.SendOnSlot(slot, wrap(Bytes(bytes.begin() + long(at), bytes.begin() + long(at + piece)))));
    at += piece;
  }
}

std::function<bool(const testhost::HostMessage&)> Upstream(uint16_t slot, audio::Upstream::Kind kind) {
  return [slot, kind](const testhost::HostMessage& m) {
    return m.header.slot == slot && audio::ReadUpstream(m.body).kind == kind;
  };
}

// A session to the host at LoopbackHost(n) with sound on and the
// environment given; the audio slot in *slot.
void StartSession(PaintingHost& host, ProgramRun& run, int n, const QMap<QString, QString>& environment,
                  uint16_t* slot) {
  ASSERT_TRUE(host.Listen(LoopbackHost(n), 0)) << strerror(errno);
  run.WriteProfile({{"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0},
                    {"SoundOptions/useSound", 1}});
  const QString launch = run.WriteLaunchFile("session.json", LaunchJson(LoopbackHost(n), 640, 480));
  run.Start({"-x", launch, "-a", LoopbackHost(n), "-p", QString::number(host.Port())}, environment);
  ASSERT_TRUE(host.AcceptAndHandshake(true)) << host.Error();
  const std::vector<uint16_t> audioSlots = host.Slots(kAudioSlotName);
  ASSERT_EQ(audioSlots.size(), 1u);
  *slot = audioSlots[0];
}

// The host ends the session; the program ends with it (launch-file mode).
void HangUpAndEnd(PaintingHost& host, ProgramRun& run) {
  host.Hangup();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}

}  // namespace

TEST(AudioSession, TheSoundCardReceivesTheVorbisClipAsOvReadDecodesItAndThePcmClipAsItIs) {
  PaintingHost host;
  ProgramRun run("audio-file-card");
  const QString played = WriteAsoundrc(run);
  uint16_t slot = 0;
  ASSERT_NO_FATAL_FAILURE(StartSession(host, run, 51, {{"PELLUM_AUDIO_PLAYBACK", kPlaybackPcm}}, &slot));

  const QString clipDir = run.WorkFile("clip");
  ASSERT_TRUE(QDir().mkpath(clipDir));
  const Bytes ogg = vorbisref::MakeOgg(clipDir.toStdString(), 2, 44100, 1.5);
  int channels = 0;
  long rate = 0;
  const Bytes decoded = vorbisref::OvRead(ogg, &channels, &rate);
  ASSERT_EQ(channels, 2);
  ASSERT_GT(decoded.size(), 100000u);
  const size_t headers = vorbisref::HeaderBytes(ogg);
  ASSERT_GT(headers, 0u);

  // The header pages as the format, the rest cut at arbitrary bytes; the
  // close ends the device's file.
  ASSERT_TRUE(host.SendOnSlot(slot, audio::VorbisFormat(Bytes(ogg.begin(), ogg.begin() + long(headers)))));
  ASSERT_TRUE(host.SendOnSlot(slot, audio::PlaybackState(3)));
  ASSERT_NO_FATAL_FAILURE(SendInPieces(host, slot, Bytes(ogg.begin() + long(headers), ogg.end()), 3000, audio::Data));
  ASSERT_TRUE(host.SendOnSlot(slot, audio::FlushAndClose()));
  Bytes received;
  EXPECT_TRUE(WaitForFile(played, decoded, &received))
      << "the device received " << received.size() << " bytes of " << decoded.size();
  EXPECT_TRUE(host.WaitFor(Upstream(slot, audio::Upstream::kQueueReport)));
  EXPECT_TRUE(host.WaitFor(Upstream(slot, audio::Upstream::kAnnouncement)));

  // PCM, mono at 22,050 Hz: the device opens again (its file starts anew)
  // and receives the clip's own bytes, the part short of a whole buffer
  // with the flush.
  const Bytes pcm = audio::Tone(30000, 1, 22050, 330);
  ASSERT_TRUE(host.SendOnSlot(slot, audio::PcmFormat(1, 22050, 16)));
  ASSERT_TRUE(host.SendOnSlot(slot, audio::PlaybackState(3)));
  ASSERT_NO_FATAL_FAILURE(SendInPieces(host, slot, pcm, 5000, audio::Data));
  ASSERT_TRUE(host.SendOnSlot(slot, audio::FlushAndClose()));
  EXPECT_TRUE(WaitForFile(played, pcm, &received))
      << "the device received " << received.size() << " bytes of " << pcm.size();

  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, run));
}

// A playback device that cannot open: every data message is answered with
// the no-device message, the reports go on and the session ends normally.
TEST(AudioSession, WithoutASoundDeviceTheHostHearsSoAndTheSessionRunsOn) {
  PaintingHost host;
  ProgramRun run("audio-no-card");
  uint16_t slot = 0;
  ASSERT_NO_FATAL_FAILURE(StartSession(host, run, 52,
                                       {{"PELLUM_AUDIO_PLAYBACK", "pellum_no_such_pcm"},
                                        {"PELLUM_AUDIO_CAPTURE", "pellum_no_such_pcm"}},
                                       &slot));
  ASSERT_TRUE(host.SendOnSlot(slot, audio::PcmFormat(2, 44100, 16)));
  ASSERT_TRUE(host.SendOnSlot(slot, audio::PlaybackState(3)));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const size_t from = host.Messages().size();
    ASSERT_TRUE(host.SendOnSlot(slot, audio::Data(audio::Tone(4410, 2, 44100, 440))));
    EXPECT_TRUE(host.WaitFor(Upstream(slot, audio::Upstream::kNoDevice), kWaitMs, from));
    EXPECT_TRUE(host.WaitFor(Upstream(slot, audio::Upstream::kQueueReport), kWaitMs, from));
  }
  EXPECT_TRUE(run.Running());
  ASSERT_NO_FATAL_FAILURE(HangUpAndEnd(host, run));
}

// The demo's host paints the desktop and plays a short tone: the sound card
// receives the whole tone, before the session ends.
TEST(AudioSession, TheDemoHostsToneReachesTheSoundCard) {
  ProgramRun run("audio-demo-tone");
  const QString played = WriteAsoundrc(run);
  const testhost::RgbImage picture = TestPicture(320, 240, 1);
  const QString image = WritePpm(run, "desktop.ppm", picture);
  ASSERT_FALSE(image.isEmpty());
  testhost::Listener listener;
  ASSERT_TRUE(listener.Listen(LoopbackHost(53), 0)) << strerror(errno);
  testhost::PaintRequest request;
  request.imageFile = image.toStdString();
  request.acceptTimeoutMs = kWaitMs;
  request.toneMs = 300;
  testsupport::PaintSessionThread host(listener, request);

  run.WriteProfile({{"AutoLoginOptions/encryptionLevel", 0},
                    {"ScreenOptions/fullScreen", 0},
                    {"ScreenOptions/autoDetectAudioVideo", 0}});
  const QString launch = run.WriteLaunchFile("demo.json", LaunchJson(LoopbackHost(53), 320, 240));
  run.Start({"-x", launch, "-a", LoopbackHost(53), "-p", QString::number(listener.Port())},
            {{"PELLUM_AUDIO_PLAYBACK", kPlaybackPcm}});
  const Bytes tone = testhost::PaintTone(300);
  Bytes received;
  EXPECT_TRUE(WaitForFile(played, tone, &received))
      << "the device received " << received.size() << " bytes of " << tone.size();

  EXPECT_EQ(host.Finish(), 0) << host.Printed();
  EXPECT_NE(host.Printed().find("tone of 300 ms on slot "), std::string::npos) << host.Printed();
  int exitCode = -1;
  ASSERT_TRUE(run.WaitFinished(&exitCode));
  EXPECT_EQ(exitCode, 6);
}
