// The audio stream kind's output on the virtual clock: PCM plays as it is,
// other formats through a conversion whose target keeps whole frames, and a
// conversion that fails ends the stream.
#include <gtest/gtest.h>

#include "WaveTestSupport.h"
#include "audio/AudioStreamOutput.h"
#include "audio/WaveOut.h"
#include "pelplat/wavebackend.h"

namespace {

class AudioStreamOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { pelplat::wave::SetBackend(&backend); }
  void TearDown() override {
    output.reset();
    pelplat::wave::SetBackend(nullptr);
  }
  WAVEFORMATEX Alaw(WORD channels) {
    WAVEFORMATEX f = PcmFormat(channels, 8000, 8);
    f.wFormatTag = WAVE_FORMAT_ALAW;
    return f;
  }
  pelplat::wave::VirtualWaveBackend backend;
  std::unique_ptr<CAudioStreamOutput> output = std::make_unique<CAudioStreamOutput>();
};

TEST_F(AudioStreamOutputTest, ConversionTargetsHoldWholeFramesForEveryChannelCount) {
  for (WORD channels = 1; channels <= 8; ++channels) {
    SCOPED_TRACE(channels);
    const WAVEFORMATEX t = CAudioStreamOutput::ConversionTarget(Alaw(channels));
    EXPECT_EQ(WAVE_FORMAT_PCM, t.wFormatTag);
    EXPECT_EQ(16, t.wBitsPerSample);
    EXPECT_EQ(channels * 2, t.nBlockAlign);
    EXPECT_EQ(channels * 2u * 8000, t.nAvgBytesPerSec);
  }
}

TEST_F(AudioStreamOutputTest, PcmPlaysUnconverted) {
  const WAVEFORMATEX f = PcmFormat(2, 44100, 16);
  ASSERT_EQ(0, output->SetWaveFormat(&f));
  EXPECT_FALSE(output->Converting());
  output->SetState(3);
  const std::vector<uint8_t> pcm(400, 7);
  output->ProcessSample(pcm.data(), 400);
  ASSERT_TRUE(Eventually([&] { return backend.BytesWritten().size() == 400; }));
}

TEST_F(AudioStreamOutputTest, ThreeChannelAlawConvertsToSixByteFrames) {
  const WAVEFORMATEX f = Alaw(3);
  ASSERT_EQ(0, output->SetWaveFormat(&f));
  EXPECT_TRUE(output->Converting());
  EXPECT_EQ(6, output->WaveOut()->Format().nBlockAlign);
  output->SetState(3);
  const std::vector<uint8_t> alaw(300, 0xD5);  // A-law's code for 8
  output->ProcessSample(alaw.data(), 300);
  ASSERT_TRUE(Eventually([&] { return backend.BytesWritten().size() == 600; }));
  const std::string out = backend.BytesWritten();
  for (size_t i = 0; i < out.size(); i += 2) {
    ASSERT_EQ(8, static_cast<int16_t>(uint8_t(out[i]) | uint8_t(out[i + 1]) << 8)) << i;
  }
}

TEST_F(AudioStreamOutputTest, AFailedConversionEndsTheStreamInsteadOfPlayingRawBytes) {
  WAVEFORMATEX adpcm = PcmFormat(2, 22050, 4);
  adpcm.wFormatTag = WAVE_FORMAT_ADPCM;
  adpcm.nBlockAlign = 1024;
  ASSERT_EQ(0, output->SetWaveFormat(&adpcm));
  output->SetState(3);
  const std::vector<uint8_t> shortSample(100, 0x11);  // less than one block: nothing to size
  output->ProcessSample(shortSample.data(), 100);
  EXPECT_FALSE(output->IsOpen());
  EXPECT_FALSE(output->Converting());
  const std::vector<uint8_t> next(4096, 0x22);
  output->ProcessSample(next.data(), 4096);
  EXPECT_EQ(0u, backend.FramesWritten());
}

TEST_F(AudioStreamOutputTest, AFormatNothingTakesIsRefused) {
  WAVEFORMATEX odd = PcmFormat(2, 22050, 16);
  odd.wFormatTag = 0x7777;
  EXPECT_EQ(-1, output->SetWaveFormat(&odd));
  EXPECT_FALSE(output->IsOpen());
}

}  // namespace
