// Wave output and input over real ALSA: the `file` PCM over `null` takes the
// place of a sound card, so what goes in must come out byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "AlsaFileRig.h"
#include "WaveTestSupport.h"
#include "pelplat/debugout.h"
#include "pelplat/wavebackend.h"

namespace {

class AlsaWave : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { rig = new AlsaFileRig; }
  static void TearDownTestSuite() {
    delete rig;
    rig = nullptr;
  }
  void SetUp() override { pelplat::wave::SetAlsaDeviceNames("pellum_play", "pellum_capture"); }
  void TearDown() override { pelplat::wave::SetAlsaDeviceNames("", ""); }

  static AlsaFileRig* rig;
  WaveEvents events;
};
AlsaFileRig* AlsaWave::rig = nullptr;

TEST_F(AlsaWave, SineComesOutByteForByte) {
  const WAVEFORMATEX f = PcmFormat(2, 44100, 16);
  const std::vector<uint8_t> sine = SineBytes(44100 / 2, 2, 440, 44100);
  HWAVEOUT h = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR,
            waveOutOpen(&h, WAVE_MAPPER, &f, events.CallbackArg(), events.Instance(), CALLBACK_FUNCTION));
  constexpr int kBuffers = 5;
  WAVEHDR headers[kBuffers] = {};
  const size_t part = sine.size() / kBuffers;
  for (int i = 0; i < kBuffers; ++i) {
    headers[i].lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(sine.data() + i * part));
    headers[i].dwBufferLength = static_cast<DWORD>(i == kBuffers - 1 ? sine.size() - i * part : part);
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(h, &headers[i], sizeof(WAVEHDR)));
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(h, &headers[i], sizeof(WAVEHDR)));
  }
  ASSERT_TRUE(events.WaitFor(WOM_DONE, kBuffers));
  const auto done = events.Headers(WOM_DONE);
  for (int i = 0; i < kBuffers; ++i) EXPECT_EQ(&headers[i], done[i]);
  MMTIME t{};
  t.wType = TIME_SAMPLES;
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutGetPosition(h, &t, sizeof(t)));
  EXPECT_EQ(sine.size() / 4, t.u.sample);
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutClose(h));
  const auto played = rig->Played();
  EXPECT_EQ(sine.size(), played.size());
  EXPECT_TRUE(sine == played);
}

TEST_F(AlsaWave, CaptureReadsTheInputFile) {
  const std::vector<uint8_t> source = SineBytes(22050 / 4, 1, 300, 22050);
  rig->WriteCaptureSource(source);
  const WAVEFORMATEX f = PcmFormat(1, 22050, 16);
  HWAVEIN h = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR,
            waveInOpen(&h, WAVE_MAPPER, &f, events.CallbackArg(), events.Instance(), CALLBACK_FUNCTION));
  constexpr int kBuffers = 3;
  std::vector<uint8_t> bytes[kBuffers];
  WAVEHDR headers[kBuffers] = {};
  for (int i = 0; i < kBuffers; ++i) {
    bytes[i].resize(source.size() / kBuffers);
    headers[i].lpData = reinterpret_cast<LPSTR>(bytes[i].data());
    headers[i].dwBufferLength = static_cast<DWORD>(bytes[i].size());
    waveInPrepareHeader(h, &headers[i], sizeof(WAVEHDR));
    waveInAddBuffer(h, &headers[i], sizeof(WAVEHDR));
  }
  ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(h));
  ASSERT_TRUE(events.WaitFor(WIM_DATA, kBuffers));
  waveInReset(h);
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(h));
  std::vector<uint8_t> captured;
  for (auto& b : bytes) captured.insert(captured.end(), b.begin(), b.end());
  EXPECT_TRUE(std::vector<uint8_t>(source.begin(), source.begin() + static_cast<long>(captured.size())) == captured);
}

TEST_F(AlsaWave, AMissingDeviceFailsToOpenWithOneWholeLineAndItsReason) {
  pelplat::wave::SetAlsaDeviceNames("pellum_no_such_pcm", "pellum_no_such_pcm");
  std::vector<std::string> lines;
  const DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  const WAVEFORMATEX f = PcmFormat(2, 44100, 16);
  for (int attempt = 0; attempt < 2; ++attempt) {
    HWAVEOUT out = nullptr;
    EXPECT_NE(MMSYSERR_NOERROR, waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(std::strerror(ENOENT), pelplat::wave::LastOpenFailure());
    HWAVEIN in = nullptr;
    EXPECT_NE(MMSYSERR_NOERROR, waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(std::strerror(ENOENT), pelplat::wave::LastOpenFailure());
  }
  SetDebugOutputSink(previous);
  EXPECT_EQ(1u, waveOutGetNumDevs());
  // Playback says it here, once; the microphone says it in its own line.
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(std::string("pellum: sound playback: cannot open ALSA device \"pellum_no_such_pcm\": ") + std::strerror(ENOENT) + "\n",
            lines[0]);
  HWAVEOUT out = nullptr;
  SetUp();
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ("", pelplat::wave::LastOpenFailure());
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(out));
}

TEST_F(AlsaWave, DeviceNamesFallBackToTheEnvironmentThenDefault) {
  pelplat::wave::SetAlsaDeviceNames("", "");
  setenv("PELLUM_AUDIO_PLAYBACK", "from_env", 1);
  unsetenv("PELLUM_AUDIO_CAPTURE");
  EXPECT_EQ("from_env", pelplat::wave::AlsaPlaybackName());
  EXPECT_EQ("default", pelplat::wave::AlsaCaptureName());
  unsetenv("PELLUM_AUDIO_PLAYBACK");
}

}  // namespace
