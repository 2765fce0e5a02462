// Ogg Vorbis through the audio slot: streams that oggenc makes at test time,
// cut at arbitrary bytes into data messages, must come out as Tremor's own
// ov_read decodes them (two channels of it, at the stream's rate).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "AudioSlotSupport.h"
#include "VorbisReference.h"
#include "WaveTestSupport.h"
#include "audio/AudioMessages.h"
#include "audio/AudioSlotDataProcessor.h"
#include "audio/WaveOut.h"
#include "pelplat/wavebackend.h"

namespace {

using pelplat::wave::VirtualWaveBackend;
using vorbisref::HeaderBytes;
using vorbisref::MakeOgg;
using vorbisref::OvRead;

class VorbisSlot : public ::testing::Test {
 protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/pellum-vorbis-XXXXXX";
    dir = mkdtemp(dirTemplate);
    sent = 0;
    pelplat::wave::SetBackend(&backend);
    processor = std::make_unique<CAudioSlotDataProcessor>();
    port = AttachFakePort(*processor);
  }
  void TearDown() override {
    processor.reset();
    pelplat::wave::SetBackend(nullptr);
    std::system(("rm -rf " + dir).c_str());
  }
  void Send(const Bytes& payload) {
    ASSERT_TRUE(Deliver(*processor, payload));
    ++sent;
    ASSERT_TRUE(Eventually([&] { return processor->Processed() >= sent; }));
  }
  // Format from the header pages, playing, then the rest of the stream in
  // pieces of arbitrary sizes, each piece as the command `pick` chooses.
  void Play(const Bytes& ogg, size_t maxPiece, const std::function<uint8_t(int)>& pick) {
    const size_t headers = HeaderBytes(ogg);
    ASSERT_GT(headers, 0u);
    base = backend.BytesWritten().size();  // the backend outlives a case's processor
    Send(AudioMessage(audiomsg::kFormat, Bytes(ogg.begin(), ogg.begin() + static_cast<long>(headers))));
    Send(AudioMessage(audiomsg::kPlaybackState, Le32(3)));
    uint32_t seed = 12345;
    int index = 0;
    for (size_t at = headers; at < ogg.size();) {
      seed = seed * 1103515245 + 12345;
      const size_t piece = std::min<size_t>(ogg.size() - at, 1 + (seed >> 8) % maxPiece);
      const Bytes data(ogg.begin() + static_cast<long>(at), ogg.begin() + static_cast<long>(at + piece));
      const uint8_t command = pick(index++);
      Bytes prefix;
      if (command == audiomsg::kTimestampedData || command == audiomsg::kPositionedTimestampedData)
        PutLe(&prefix, 0xDEADBEEFCAFEull, 8);
      Send(AudioMessage(command, Cat(prefix, data)));
      at += piece;
    }
  }
  void ExpectDecodedAs(const Bytes& reference) {
    ASSERT_TRUE(Eventually([&] { return backend.BytesWritten().size() >= base + reference.size(); }));
    const std::string out = backend.BytesWritten().substr(base);
    EXPECT_EQ(reference.size(), out.size());
    EXPECT_TRUE(std::string(reference.begin(), reference.end()) == out);
  }

  std::string dir;
  VirtualWaveBackend backend;
  FakeAudioPort* port = nullptr;
  std::unique_ptr<CAudioSlotDataProcessor> processor;
  uint32_t sent = 0;
  size_t base = 0;
};

TEST_F(VorbisSlot, StreamsCutAtArbitraryBytesDecodeAsOvReadDoes) {
  const struct {
    int channels;
    int rate;
    int32_t capacity;
  } cases[] = {{2, 44100, 17640}, {1, 22050, 8820}, {3, 32000, 12800}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + "x" + std::to_string(c.rate));
    SetUp();
    const Bytes ogg = MakeOgg(dir, c.channels, c.rate, 1.5);
    int channels = 0;
    long rate = 0;
    const Bytes reference = OvRead(ogg, &channels, &rate);
    ASSERT_EQ(c.channels, channels);
    ASSERT_GT(reference.size(), 10000u);
    Play(ogg, 3000, [](int) { return audiomsg::kData; });
    EXPECT_TRUE(processor->VorbisMode());
    EXPECT_EQ(c.capacity, processor->Capacity());
    const WAVEFORMATEX& f = processor->WaveOut()->Format();
    EXPECT_EQ(2, f.nChannels);
    EXPECT_EQ(uint32_t(c.rate), f.nSamplesPerSec);
    EXPECT_EQ(16, f.wBitsPerSample);
    ExpectDecodedAs(reference);
    TearDown();
  }
  SetUp();
}

TEST_F(VorbisSlot, EveryDataCommandCarriesPagesAndTheTimestampedOnesSkipTheirPrefix) {
  const Bytes ogg = MakeOgg(dir, 2, 44100, 1.0);
  int channels = 0;
  long rate = 0;
  const Bytes reference = OvRead(ogg, &channels, &rate);
  const uint8_t commands[] = {audiomsg::kData, audiomsg::kTimestampedData, audiomsg::kPositionedData,
                              audiomsg::kPositionedTimestampedData};
  Play(ogg, 2000, [&](int i) { return commands[i % 4]; });
  ExpectDecodedAs(reference);
}

TEST_F(VorbisSlot, OneMessageDecodingPastItsOutputBufferLosesNothing) {
  const Bytes ogg = MakeOgg(dir, 2, 44100, 6.0);
  int channels = 0;
  long rate = 0;
  const Bytes reference = OvRead(ogg, &channels, &rate);
  ASSERT_GT(reference.size(), size_t(CAudioSlotDataProcessor::kVorbisOutputBytes));
  Play(ogg, ogg.size(), [](int) { return audiomsg::kData; });
  ExpectDecodedAs(reference);
}

TEST_F(VorbisSlot, IncompleteHeadersPlayNothing) {
  const Bytes ogg = MakeOgg(dir, 2, 44100, 0.5);
  const size_t headers = HeaderBytes(ogg);
  Send(AudioMessage(audiomsg::kFormat, Bytes(ogg.begin(), ogg.begin() + static_cast<long>(headers / 2))));
  Send(AudioMessage(audiomsg::kPlaybackState, Le32(3)));
  Send(AudioMessage(audiomsg::kData, Bytes(ogg.begin() + static_cast<long>(headers), ogg.end())));
  EXPECT_TRUE(processor->VorbisMode());
  EXPECT_TRUE(backend.BytesWritten().empty());
  // A PCM format afterwards plays as PCM again.
  Send(AudioMessage(audiomsg::kFormat, WaveFormatBytes(1, 2, 44100, 16)));
  EXPECT_FALSE(processor->VorbisMode());
  Bytes d;
  PutLe(&d, 0, 8);
  Send(AudioMessage(audiomsg::kPositionedData, Cat(d, Bytes(400, 9))));
  ASSERT_TRUE(Eventually([&] { return backend.BytesWritten().size() == 400; }));
}

}  // namespace
