// Compressed-audio conversion against ffmpeg: a file ffmpeg encodes converts
// to the PCM ffmpeg itself decodes from it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "pelplat/msacm.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The fmt chunk (WAVEFORMATEX and its extra bytes) and the data chunk.
bool SplitWave(const Bytes& wav, Bytes* format, Bytes* data) {
  if (wav.size() < 12 || memcmp(wav.data(), "RIFF", 4) != 0) return false;
  size_t at = 12;
  while (at + 8 <= wav.size()) {
    const uint32_t size = Le32(&wav[at + 4]);
    if (at + 8 + uint64_t(size) > wav.size()) return false;
    const Bytes body(wav.begin() + static_cast<long>(at + 8), wav.begin() + static_cast<long>(at + 8 + size));
    if (memcmp(&wav[at], "fmt ", 4) == 0) *format = body;
    if (memcmp(&wav[at], "data", 4) == 0) *data = body;
    at += 8 + size + (size & 1);
  }
  return !format->empty() && !data->empty();
}

class AcmAgainstFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/pellum-acm-XXXXXX";
    dir = mkdtemp(dirTemplate);
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  // Encodes a second of two tones with `codec`; returns the file and
  // ffmpeg's own decode of it.
  void Make(const std::string& codec, int channels, Bytes* wav, Bytes* reference) {
    const std::string file = dir + "/in.wav";
    const std::string ref = dir + "/ref.raw";
    const std::string encode = "ffmpeg -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=22050:duration=1' "
                               "-f lavfi -i 'sine=frequency=660:sample_rate=22050:duration=1' "
                               "-filter_complex amerge=inputs=2 -ac " + std::to_string(channels) +
                               " -c:a " + codec + " " + file;
    ASSERT_EQ(0, std::system(encode.c_str()));
    ASSERT_EQ(0, std::system(("ffmpeg -v error -y -i " + file + " -f s16le -c:a pcm_s16le " + ref).c_str()));
    *wav = ReadFile(file);
    *reference = ReadFile(ref);
  }

  std::string dir;
};

TEST_F(AcmAgainstFfmpeg, ConvertsToWhatFfmpegDecodes) {
  struct Case {
    const char* codec;
    int channels;
  };
  const Case cases[] = {{"adpcm_ms", 2}, {"adpcm_ms", 1}, {"adpcm_ima_wav", 2}, {"pcm_alaw", 2}, {"pcm_mulaw", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.codec) + " x" + std::to_string(c.channels));
    Bytes wav, reference, fmt, data;
    Make(c.codec, c.channels, &wav, &reference);
    ASSERT_TRUE(SplitWave(wav, &fmt, &data));
    ASSERT_GE(fmt.size(), sizeof(WAVEFORMATEX) - 2);
    fmt.resize(std::max(fmt.size(), sizeof(WAVEFORMATEX)));
    const auto* source = reinterpret_cast<const WAVEFORMATEX*>(fmt.data());
    WAVEFORMATEX target{};
    target.wFormatTag = WAVE_FORMAT_PCM;
    target.nChannels = source->nChannels;
    target.nSamplesPerSec = source->nSamplesPerSec;
    target.wBitsPerSample = 16;
    target.nBlockAlign = static_cast<WORD>(2 * source->nChannels);
    target.nAvgBytesPerSec = target.nBlockAlign * target.nSamplesPerSec;
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR,
              acmStreamOpen(&stream, nullptr, source, &target, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME));

    // Pieces that end inside a block: the rest waits for the next piece.
    Bytes out, pending;
    const size_t piece = source->nBlockAlign * 3 + 17;
    for (size_t at = 0; at < data.size(); at += piece) {
      pending.insert(pending.end(), data.begin() + static_cast<long>(at),
                     data.begin() + static_cast<long>(std::min(data.size(), at + piece)));
      DWORD size = 0;
      if (acmStreamSize(stream, static_cast<DWORD>(pending.size()), &size, ACM_STREAMSIZEF_SOURCE) != 0) continue;
      Bytes converted(size);
      ACMSTREAMHEADER h{};
      h.cbStruct = sizeof(h);
      h.pbSrc = pending.data();
      h.cbSrcLength = static_cast<DWORD>(pending.size());
      h.pbDst = converted.data();
      h.cbDstLength = size;
      ASSERT_EQ(MMSYSERR_NOERROR, acmStreamPrepareHeader(stream, &h, 0));
      ASSERT_EQ(MMSYSERR_NOERROR, acmStreamConvert(stream, &h, ACM_STREAMCONVERTF_BLOCKALIGN));
      ASSERT_EQ(MMSYSERR_NOERROR, acmStreamUnprepareHeader(stream, &h, 0));
      out.insert(out.end(), converted.begin(), converted.begin() + h.cbDstLengthUsed);
      pending.erase(pending.begin(), pending.begin() + h.cbSrcLengthUsed);
    }
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamClose(stream, 0));
    ASSERT_GT(out.size(), 20000u);
    ASSERT_EQ(reference.size(), out.size());
    EXPECT_TRUE(reference == out);
  }
}

TEST(Acm, RefusesWhatItCannotConvert) {
  WAVEFORMATEX adpcm{};
  adpcm.wFormatTag = WAVE_FORMAT_ADPCM;
  adpcm.nChannels = 2;
  adpcm.nSamplesPerSec = 22050;
  adpcm.nBlockAlign = 512;
  adpcm.wBitsPerSample = 4;
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = 2;
  pcm.nSamplesPerSec = 22050;
  pcm.wBitsPerSample = 16;
  pcm.nBlockAlign = 4;
  HACMSTREAM s = nullptr;
  struct Case {
    const char* name;
    WAVEFORMATEX source, target;
  };
  WAVEFORMATEX otherRate = pcm, eightBit = pcm, unknown = adpcm, noBlock = adpcm, noChannels = adpcm;
  otherRate.nSamplesPerSec = 44100;
  eightBit.wBitsPerSample = 8;
  unknown.wFormatTag = 0x7777;
  noBlock.nBlockAlign = 0;
  noChannels.nChannels = 0;
  const Case cases[] = {{"other rate", adpcm, otherRate}, {"8-bit target", adpcm, eightBit},
                        {"unknown tag", unknown, pcm}, {"no block size", noBlock, pcm},
                        {"no channels", noChannels, pcm}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, acmStreamOpen(&s, nullptr, &c.source, &c.target, nullptr, 0, 0, 0));
    EXPECT_EQ(nullptr, s);
  }
  DWORD size = 0;
  EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamSize(nullptr, 100, &size, 0));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamClose(nullptr, 0));
}

}  // namespace
