// The audio stream kind on the virtual wave backend: WAV files that ffmpeg
// wrote in compressed formats play as exactly the PCM that ffmpeg decodes
// from them, and 16-bit PCM plays as it comes, unconverted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "WaveTestSupport.h"
#include "audio/WaveOut.h"
#include "decoded_test_support.h"
#include "pelplat/wavebackend.h"
#include "streams/AudioStream.h"
#include "streams/DecodedStreamKinds.h"
#include "streams/StreamKindFactory.h"
#include "streams/MediaTypeGuids.h"
#include "testhost/VideoClips.h"

namespace hs = testhost::stream;

namespace {

struct WavFile {
  std::vector<uint8_t> format;  // the fmt chunk, with a zero extra count when it has none
  std::vector<uint8_t> data;
};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

bool ReadWav(const std::vector<uint8_t>& file, WavFile* wav) {
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) || std::memcmp(&file[8], "WAVE", 4))
    return false;
  for (size_t at = 12; at + 8 <= file.size();) {
    const uint32_t size = Le32(&file[at + 4]);
    if (at + 8 + uint64_t(size) > file.size()) return false;
    const uint8_t* body = &file[at + 8];
    if (!std::memcmp(&file[at], "fmt ", 4)) wav->format.assign(body, body + size);
    if (!std::memcmp(&file[at], "data", 4)) wav->data.assign(body, body + size);
    at += 8 + size + (size & 1);
  }
  if (wav->format.size() == 16) wav->format.insert(wav->format.end(), {0, 0});
  return wav->format.size() >= 18 && !wav->data.empty();
}

StreamFormatRecord AudioRecord(const std::vector<uint8_t>& waveFormat) {
  StreamFormatRecord r;
  r.majorType = mediaguid::kMediaTypeAudio;
  r.formatType = mediaguid::kFormatWaveFormatEx;
  r.block = waveFormat;
  r.size = uint32_t(StreamFormatRecord::kHeadSize + waveFormat.size());
  return r;
}

class AudioStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { pelplat::wave::SetBackend(&backend); }
  void TearDown() override {
    stream.reset();
    pelplat::wave::SetBackend(nullptr);
  }
  // Feeds the data in samples of `step` bytes, letting the device play
  // each before the next comes, so that no buffer is ever short.
  void Play(const std::vector<uint8_t>& data, size_t step) {
    ASSERT_EQ(0, stream->SetState(3));
    CWaveOut* out = stream->Output().WaveOut();
    for (size_t at = 0; at < data.size(); at += step) {
      const size_t n = std::min(step, data.size() - at);
      ASSERT_EQ(0, stream->ProcessSample(&data[at], uint32_t(n), StreamSampleContext()));
      ASSERT_TRUE(Eventually([&] {
        backend.Advance(1u << 20);
        return out->Outstanding() == 0;
      }));
    }
  }
  pelplat::wave::VirtualWaveBackend backend;
  std::unique_ptr<CAudioStream> stream = std::make_unique<CAudioStream>();
};

}  // namespace

TEST_F(AudioStreamTest, CompressedWavFilesPlayAsTheSamePcmFfmpegDecodes) {
  struct Case {
    const char* codec;
    const char* channels;
  } cases[] = {{"adpcm_ms", "2"}, {"adpcm_ima_wav", "1"}, {"pcm_mulaw", "2"}};
  TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codec);
    const std::string wavPath = folder.File(std::string(c.codec) + ".wav");
    const std::string pcmPath = folder.File(std::string(c.codec) + ".raw");
    ASSERT_TRUE(hs::RunFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=1",
                               "-ac", c.channels, "-c:a", c.codec, wavPath}));
    ASSERT_TRUE(hs::RunFfmpeg({"-i", wavPath, "-f", "s16le", "-c:a", "pcm_s16le", pcmPath}));
    std::vector<uint8_t> file, expected;
    WavFile wav;
    ASSERT_TRUE(hs::ReadFileBytes(wavPath, &file));
    ASSERT_TRUE(hs::ReadFileBytes(pcmPath, &expected));
    ASSERT_TRUE(ReadWav(file, &wav));
    stream = std::make_unique<CAudioStream>();
    backend.KeepBytes(true);
    const size_t written = backend.BytesWritten().size();
    ASSERT_EQ(0, stream->SetFormat(AudioRecord(wav.format)));
    EXPECT_TRUE(stream->Output().Converting());
    const size_t blockAlign = wav.format[12] | wav.format[13] << 8;
    Play(wav.data, blockAlign * 8);
    EXPECT_TRUE(backend.BytesWritten().substr(written) ==
                std::string(expected.begin(), expected.end()));
  }
}

TEST_F(AudioStreamTest, StereoSixteenBitPcmPlaysUnconverted) {
  std::vector<uint8_t> format = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 0, 0};
  ASSERT_EQ(0, stream->SetFormat(AudioRecord(format)));
  EXPECT_FALSE(stream->Output().Converting());
  std::vector<uint8_t> pcm(4000);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = uint8_t(i * 7);
  Play(pcm, 1000);
  EXPECT_EQ(std::string(pcm.begin(), pcm.end()), backend.BytesWritten());
}

TEST_F(AudioStreamTest, RecordsThatAreNotWaveAudioAreRefused) {
  std::vector<uint8_t> pcm = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 0, 0};
  StreamFormatRecord video = AudioRecord(pcm);
  video.majorType = mediaguid::kMediaTypeVideo;
  EXPECT_EQ(E_FAIL, stream->SetFormat(video));
  StreamFormatRecord other = AudioRecord(pcm);
  other.formatType = GUID{};
  EXPECT_EQ(-1, stream->SetFormat(other));
  std::vector<uint8_t> cut = pcm;
  cut[16] = 40;  // 40 extra bytes that are not there
  EXPECT_EQ(-1, stream->SetFormat(AudioRecord(cut)));
  std::vector<uint8_t> unknown = pcm;
  unknown[0] = 0x77;
  unknown[1] = 0x77;
  EXPECT_EQ(-1, stream->SetFormat(AudioRecord(unknown)));
  EXPECT_EQ(0, backend.OpenSinks());
}

// "Sound" off governs the whole session's sound: the audio kind still takes
// the server's stream, so nothing else changes, but no device opens.
TEST_F(AudioStreamTest, WithTheSessionsSoundOffTheKindTakesItsSamplesAndOpensNoDevice) {
  RegisterDecodedStreamKinds();
  StreamKindArgs args;
  args.sound = false;
  std::unique_ptr<CStream> silent = CRegisteredStreamKinds().Make(StreamKind::kAudio, args);
  ASSERT_TRUE(silent);
  std::vector<uint8_t> format = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 0, 0};
  ASSERT_EQ(0, silent->SetFormat(AudioRecord(format)));
  ASSERT_EQ(0, silent->SetState(3));
  std::vector<uint8_t> pcm(4000, 0x55);
  EXPECT_EQ(0, silent->ProcessSample(pcm.data(), uint32_t(pcm.size()), StreamSampleContext()));
  EXPECT_EQ(0, silent->SetState(0));
  EXPECT_EQ(0, backend.OpenSinks());
  EXPECT_EQ("", backend.BytesWritten());
  // Still an audio kind: a video record is not taken.
  StreamFormatRecord video = AudioRecord(format);
  video.majorType = mediaguid::kMediaTypeVideo;
  EXPECT_EQ(E_FAIL, silent->SetFormat(video));
}
