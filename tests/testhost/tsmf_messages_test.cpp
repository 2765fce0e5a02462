// The host's multimedia redirection messages byte for byte against the
// MS-RDPEV layouts, the readers of the client's answers and notifications,
// and the clip demuxer against ffmpeg's own tools.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "testhost/TsmfClip.h"
#include "testhost/TsmfMessages.h"
#include "testhost/TsmfServer.h"
#include "testhost/VideoClips.h"

namespace {

namespace tsmf = testhost::tsmf;
using tsmf::Bytes;

Bytes Hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (!isspace(static_cast<unsigned char>(c))) digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// {00112233-4455-6677-8899-AABBCCDDEEFF} on the wire.
const char kPresentationText[] = "00112233-4455-6677-8899-AABBCCDDEEFF";
const char kPresentationWire[] = "33221100 5544 7766 8899aabbccddeeff";

TEST(TsmfMessages, GuidsGoWithTheirFirstThreeFieldsLittleEndian) {
  EXPECT_EQ(Bytes(tsmf::kMediaTypeVideo.begin(), tsmf::kMediaTypeVideo.end()),
            Hex("76696473 0000 1000 800000aa00389b71"));
  EXPECT_EQ(Bytes(tsmf::kSubtypeAac.begin(), tsmf::kSubtypeAac.end()), Hex("10160000 0000 1000 800000aa00389b71"));
  EXPECT_EQ(Bytes(tsmf::kFormatMpeg2Video.begin(), tsmf::kFormatMpeg2Video.end()),
            Hex("e3806de0 46db cf11 b4d100805f6cbbea"));
  tsmf::Guid g{};
  EXPECT_TRUE(tsmf::ParseGuid(std::string("{") + kPresentationText + "}", &g));
  for (const char* bad : {"", "00112233-4455-6677-8899-AABBCCDDEEF", "00112233-4455-6677-8899-AABBCCDDEEFG",
                          "0011223344556677-8899-AABBCCDDEEFF-", "{00112233-4455-6677-8899-AABBCCDDEEFF"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(tsmf::ParseGuid(bad, &g));
  }
}

TEST(TsmfMessages, RequestsFollowTheMessageLayouts) {
  const tsmf::Guid p = tsmf::GuidOf(kPresentationText);
  const std::string P = kPresentationWire;
  tsmf::Geometry g;
  g.windowId = 0x0102030405060708;
  g.state = 0x1001;
  g.left = 16;
  g.top = 32;
  g.width = 320;
  g.height = 240;
  g.visible = {{0, 0, 160, 240}, {160, 120, 320, 240}};
  tsmf::Geometry padded = g;
  padded.padded = true;
  padded.visible.resize(1);
  tsmf::DataSample sample;
  sample.start = 400000;
  sample.end = 800000;
  sample.throttle = 400000;
  sample.extensions = tsmf::kSampleCleanPoint;
  sample.data = {0xAA, 0xBB, 0xCC};
  const Bytes type = {1, 2, 3, 4, 5};
  struct Case {
    const char* name;
    Bytes built;
    std::string wire;
  } cases[] = {
      {"RIM_EXCHANGE_CAPABILITY_REQUEST", tsmf::RimExchangeCapabilityRequest(7), "02000000 07000000 00010000 01000000"},
      {"SET_CHANNEL_PARAMS", tsmf::SetChannelParams(8, p, 2), "00000040 08000000 01010000" + P + "02000000"},
      {"EXCHANGE_CAPABILITIES_REQ", tsmf::ExchangeCapabilitiesReq(9, {{1, 2}, {2, 3}}),
       "00000040 09000000 00010000 02000000 01000000 04000000 02000000 02000000 04000000 03000000"},
      {"ON_NEW_PRESENTATION", tsmf::OnNewPresentation(10, p), "00000040 0a000000 05010000" + P + "01000000"},
      {"CHECK_FORMAT_SUPPORT_REQ", tsmf::CheckFormatSupportReq(11, type),
       "00000040 0b000000 08010000 01000000 00000000 05000000 0102030405"},
      {"ADD_STREAM", tsmf::AddStream(12, p, 1, type),
       "00000040 0c000000 02010000" + P + "01000000 05000000 0102030405"},
      {"SET_TOPOLOGY_REQ", tsmf::SetTopologyReq(13, p), "00000040 0d000000 07010000" + P},
      {"UPDATE_GEOMETRY_INFO", tsmf::UpdateGeometryInfo(14, p, g),
       "00000040 0e000000 14010000" + P +
           "2c000000 0807060504030201 01100000 40010000 f0000000 10000000 20000000 0000000000000000"
           "10000000 20000000 20000000"
           "00000000 00000000 f0000000 a0000000 78000000 a0000000 f0000000 40010000"},
      {"UPDATE_GEOMETRY_INFO padded", tsmf::UpdateGeometryInfo(15, p, padded),
       "00000040 0f000000 14010000" + P +
           "30000000 0807060504030201 01100000 40010000 f0000000 10000000 20000000 0000000000000000"
           "10000000 20000000 00000000 10000000 00000000 00000000 f0000000 a0000000"},
      {"ON_PLAYBACK_STARTED", tsmf::OnPlaybackStarted(16, p, 0x1122334455667788, true),
       "00000040 10000000 09010000" + P + "8877665544332211 01000000"},
      {"ON_PLAYBACK_PAUSED", tsmf::PresentationCommand(tsmf::kOnPlaybackPaused, 17, p),
       "00000040 11000000 0a010000" + P},
      {"ON_PLAYBACK_RESTARTED", tsmf::PresentationCommand(tsmf::kOnPlaybackRestarted, 17, p),
       "00000040 11000000 0c010000" + P},
      {"SHUTDOWN_PRESENTATION_REQ", tsmf::PresentationCommand(tsmf::kShutdownPresentationReq, 18, p),
       "00000040 12000000 06010000" + P},
      {"ON_SAMPLE", tsmf::OnSample(19, p, 2, sample),
       "00000040 13000000 03010000" + P +
           "02000000 27000000 801a060000000000 00350c0000000000 801a060000000000 00000000 01000000 03000000 aabbcc"},
      {"ON_END_OF_STREAM", tsmf::StreamCommand(tsmf::kOnEndOfStream, 20, p, 1),
       "00000040 14000000 11010000" + P + "01000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.built, Hex(c.wire));
  }
}

TEST(TsmfMessages, MediaTypesCarryTheirFormatBlocks) {
  const Bytes sps = Hex("00000001 6742c00d");
  const Bytes video = tsmf::MediaTypeBytes(tsmf::H264MediaType(160, 120, 400000, sps));
  // The 64-byte header, then MPEG2VIDEOINFO: VIDEOINFOHEADER2 (112 bytes),
  // five fields and the sequence header.
  ASSERT_EQ(video.size(), 64u + 132 + sps.size());
  EXPECT_EQ(Bytes(video.begin(), video.begin() + 64),
            Hex("76696473 0000 1000 800000aa00389b71 48323634 0000 1000 800000aa00389b71"
                "00000000 01000000 00000000 e3806de0 46db cf11 b4d100805f6cbbea 8c000000"));
  const Bytes format(video.begin() + 64, video.end());
  EXPECT_EQ(Bytes(format.begin(), format.begin() + 32),
            Hex("00000000 00000000 a0000000 78000000 00000000 00000000 a0000000 78000000"));
  EXPECT_EQ(Bytes(format.begin() + 40, format.begin() + 48), Hex("801a060000000000"));
  // BITMAPINFOHEADER at 72: size 40, 160 x 120, one plane, "H264".
  EXPECT_EQ(Bytes(format.begin() + 72, format.begin() + 92), Hex("28000000 a0000000 78000000 0100 1800 48323634"));
  // cbSequenceHeader at 116, the header itself at 132.
  EXPECT_EQ(Bytes(format.begin() + 116, format.begin() + 120), Hex("08000000"));
  EXPECT_EQ(Bytes(format.begin() + 132, format.end()), sps);

  const Bytes config = Hex("1190");
  const Bytes audio = tsmf::MediaTypeBytes(tsmf::AacMediaType(2, 48000, 128000, config));
  ASSERT_EQ(audio.size(), 64u + 18 + 12 + 2);
  EXPECT_EQ(Bytes(audio.begin() + 44, audio.begin() + 64), Hex("819f5805 56c3 ce11 bf0100aa0055595a 20000000"));
  EXPECT_EQ(Bytes(audio.begin() + 64, audio.end()),
            Hex("1016 0200 80bb0000 803e0000 0100 1000 0e00 0000 fe00 0000 0000 00000000 1190"));
}

TEST(TsmfMessages, ClientMessagesAreReadByTheirKind) {
  const tsmf::ClientPdu ack =
      tsmf::ReadClientPdu(Hex("01000040 00000000 00010000 02000000 801a060000000000 3412000000000000"));
  EXPECT_EQ(ack.kind, tsmf::ClientPdu::kAck);
  EXPECT_EQ(ack.streamId, 2u);
  EXPECT_EQ(ack.duration, 400000u);
  EXPECT_EQ(ack.size, 0x1234u);
  EXPECT_EQ(tsmf::PlaybackAck(2, 400000, 0x1234),
            Hex("01000040 00000000 00010000 02000000 801a060000000000 3412000000000000"));
  const tsmf::ClientPdu event = tsmf::ReadClientPdu(Hex("01000040 00000000 01010000 01000000 64000000 00000000"));
  EXPECT_EQ(event.kind, tsmf::ClientPdu::kEvent);
  EXPECT_EQ(event.streamId, 1u);
  EXPECT_EQ(event.event, 100u);
  EXPECT_EQ(tsmf::ClientEvent(1, 100), Hex("01000040 00000000 01010000 01000000 64000000 00000000"));
  const tsmf::ClientPdu topology = tsmf::ReadClientPdu(Hex("00000080 0d000000 01000000 00000000"));
  EXPECT_EQ(topology.kind, tsmf::ClientPdu::kAnswer);
  EXPECT_EQ(topology.messageId, 13u);
  uint32_t ready = 0, result = 1;
  EXPECT_TRUE(tsmf::ReadTopologyAnswer(topology.body, &ready, &result));
  EXPECT_EQ(ready, 1u);
  EXPECT_EQ(result, 0u);
  tsmf::CapabilitiesAnswer caps;
  ASSERT_TRUE(tsmf::ReadCapabilitiesAnswer(
      Hex("02000000 01000000 04000000 02000000 02000000 04000000 01000000 00000000"), &caps));
  ASSERT_EQ(caps.capabilities.size(), 2u);
  EXPECT_EQ(caps.capabilities[1], std::make_pair(2u, 1u));
  EXPECT_FALSE(tsmf::ReadCapabilitiesAnswer(Hex("03000000 01000000 04000000 02000000 00000000"), &caps));
  EXPECT_FALSE(tsmf::ReadCapabilitiesAnswer(Hex("ffffffff 00000000"), &caps));

  // Records whose lengths do not hold are refused.
  for (const char* bad : {"01000040 00000000 00010000 02000000 801a060000000000 34120000000000",
                          "01000040 00000000 01010000 01000000 64000000 01000000",
                          "01000040 00000000 05010000 01000000", "00000080 0d0000", "00000000 01000000 00000000"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(tsmf::ReadClientPdu(Hex(bad)).kind, tsmf::ClientPdu::kBad);
  }
}

TEST(TsmfMessages, AvcConfigurationRecordsBecomeAnnexB) {
  Bytes header;
  int lengthSize = 0;
  // Version 1, length size 4, one SPS of 3 bytes, one PPS of 2 bytes.
  ASSERT_TRUE(tsmf::AvcConfigToAnnexB(Hex("01 42c00d ff e1 0003 6742c0 01 0002 68ce"), &header, &lengthSize));
  EXPECT_EQ(lengthSize, 4);
  EXPECT_EQ(header, Hex("00000001 6742c0 00000001 68ce"));
  for (const char* bad : {"01 42c00d ff e1 0010 6742c0 01 0002 68ce", "01 42c00d ff e1 0003 6742c0 01 0003 68ce",
                          "01 42c0", "01 42c00d ff e1 0003 6742c0"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(tsmf::AvcConfigToAnnexB(Hex(bad), &header, &lengthSize));
  }
  Bytes unit;
  ASSERT_TRUE(tsmf::LengthPrefixedToAnnexB(Hex("00000002 0910 00000001 65"), 4, &unit));
  EXPECT_EQ(unit, Hex("00000001 0910 00000001 65"));
  EXPECT_FALSE(tsmf::LengthPrefixedToAnnexB(Hex("00000003 0910"), 4, &unit));
  EXPECT_FALSE(tsmf::LengthPrefixedToAnnexB(Hex("0000"), 4, &unit));
}

TEST(TsmfMessages, CommandLineGeometryAndVisibleRectangles) {
  tsmf::Geometry g;
  ASSERT_TRUE(tsmf::ParseGeometry("10,20,320,240", &g));
  EXPECT_EQ(g.left, 10);
  EXPECT_EQ(g.top, 20);
  EXPECT_EQ(g.width, 320u);
  EXPECT_EQ(g.height, 240u);
  for (const char* bad :
       {"", "10,20,320", "10,20,320,240,5", "10,20,0,240", "-1,20,320,240", "10,,320,240", "10,20,320,240,"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(tsmf::ParseGeometry(bad, &g));
  }
  std::vector<tsmf::Rect> rects;
  ASSERT_TRUE(tsmf::ParseVisibleRects("0,0,160,240;160,120,320,240", &rects));
  ASSERT_EQ(rects.size(), 2u);
  EXPECT_EQ(rects[1].left, 160);
  EXPECT_EQ(rects[1].bottom, 240);
  for (const char* bad : {"", "0,0,160,240;", "0,0,0,240", "10,0,5,240", "0,0,160"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(tsmf::ParseVisibleRects(bad, &rects));
  }
}

// ffprobe's count of a stream's packets, or -1.
int ProbePackets(const std::string& clip, const char* stream) {
  const std::string command = std::string("ffprobe -v error -select_streams ") + stream +
                              " -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " + clip;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[64] = {};
  const bool read = fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  return read ? atoi(line) : -1;
}

class TsmfClipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/pellum-tsmf-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
};

TEST_F(TsmfClipTest, AnMp4ClipIsCutIntoAnnexBPicturesAndRawAacFrames) {
  const std::string clip = dir_ + "/clip.mp4";
  ASSERT_TRUE(testhost::stream::RunFfmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-f", "lavfi", "-i",
                                           "sine=frequency=440:sample_rate=48000", "-t", "1", "-c:v", "libx264",
                                           "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", clip}));
  tsmf::Clip read;
  std::string error;
  ASSERT_TRUE(tsmf::ReadClip(clip, &read, &error)) << error;
  ASSERT_EQ(read.streams.size(), 2u);
  const tsmf::ClipStream& video = read.streams[0];
  const tsmf::ClipStream& audio = read.streams[1];
  ASSERT_TRUE(video.video);
  EXPECT_EQ(int(video.samples.size()), ProbePackets(clip, "v:0"));
  EXPECT_EQ(int(audio.samples.size()), ProbePackets(clip, "a:0"));
  EXPECT_EQ(video.width, 160);
  EXPECT_EQ(video.height, 120);
  EXPECT_EQ(audio.sampleRate, 48000);
  EXPECT_EQ(audio.channels, 1);
  EXPECT_EQ(video.samples[0].extensions, tsmf::kSampleCleanPoint);
  for (const tsmf::ClipStream* s : {&video, &audio}) {
    for (size_t i = 0; i < s->samples.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_GT(s->samples[i].throttle, 0u);
      EXPECT_GE(s->samples[i].start, 0);
      EXPECT_EQ(s->samples[i].end, s->samples[i].start + int64_t(s->samples[i].throttle));
      if (i) {
        EXPECT_GE(s->decodeTimes[i], s->decodeTimes[i - 1]);
      }
    }
  }
  // AAC frames of 1024 samples at 48 kHz, one after another.
  EXPECT_NEAR(double(audio.samples[1].start - audio.samples[0].start), 213333, 1);
  // The AudioSpecificConfig behind the WAVEFORMATEX and HEAACWAVEINFO:
  // AAC LC (object type 2), 48 kHz (index 3), one channel.
  const Bytes& wave = audio.type.format;
  ASSERT_GE(wave.size(), 32u);
  EXPECT_EQ(wave[0] | wave[1] << 8, 0x1610);
  EXPECT_EQ(wave[16] | wave[17] << 8, int(wave.size()) - 18);
  EXPECT_EQ(wave[30] >> 3, 2);
  EXPECT_EQ((wave[30] & 7) << 1 | wave[31] >> 7, 3);
  EXPECT_EQ((wave[31] >> 3) & 0xF, 1);

  // The sequence header and the samples, one after another, are an Annex B
  // stream that ffmpeg decodes into every picture of the clip.
  const Bytes& format = video.type.format;
  ASSERT_GT(format.size(), 132u);
  const Bytes header(format.begin() + 132, format.end());
  ASSERT_GE(header.size(), 5u);
  EXPECT_EQ(Bytes(header.begin(), header.begin() + 5), Bytes({0, 0, 0, 1, 0x67}));
  const std::string annexB = dir_ + "/clip.h264";
  {
    std::ofstream out(annexB, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), std::streamsize(header.size()));
    for (const tsmf::DataSample& s : video.samples) {
      ASSERT_EQ(Bytes(s.data.begin(), s.data.begin() + 4), Bytes({0, 0, 0, 1}));
      out.write(reinterpret_cast<const char*>(s.data.data()), std::streamsize(s.data.size()));
    }
  }
  const std::string command =
      "ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " + annexB;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[64] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(atoi(line), 25);
}

TEST_F(TsmfClipTest, AFileWithoutTheStreamsIsRefused) {
  tsmf::Clip read;
  std::string error;
  EXPECT_FALSE(tsmf::ReadClip(dir_ + "/missing.mp4", &read, &error));
  EXPECT_FALSE(error.empty());
  const std::string mpeg2 = dir_ + "/clip.mpg";
  ASSERT_TRUE(testhost::stream::RunFfmpeg(
      {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-t", "0.2", "-c:v", "mpeg2video", mpeg2}));
  EXPECT_FALSE(tsmf::ReadClip(mpeg2, &read, &error));
  EXPECT_NE(error.find("neither"), std::string::npos) << error;
}

}  // namespace

namespace {

// The command's exit status for these arguments (its output dropped).
int RunHost(const std::vector<std::string>& args) {
  std::string command = PELLUM_TESTHOST;
  for (const std::string& a : args) command += " '" + a + "'";
  command += " < /dev/null > /dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TsmfCommandLine, MultimediaOptionsNeedAPaintedSessionAndWellFormedValues) {
  const std::vector<std::vector<std::string>> usage = {
      {"--play-tsmf", "clip.mp4"},
      {"--paint", "desktop.ppm", "--tsmf-geometry", "0,0,320,240"},
      {"--paint", "desktop.ppm", "--play-tsmf", "clip.mp4", "--tsmf-visible", "0,0,10,10"},
      {"--paint", "desktop.ppm", "--play-tsmf", "clip.mp4", "--tsmf-geometry", "0,0,320"},
      {"--paint", "desktop.ppm", "--play-tsmf", "clip.mp4", "--tsmf-geometry", "0,0,320,240", "--tsmf-visible",
       "0,0,10"},
      {"--paint", "desktop.ppm", "--play-tsmf", "clip.mp4", "--tsmf-window", "0"},
  };
  for (const auto& args : usage) {
    SCOPED_TRACE(args[1] + " " + args[args.size() - 1]);
    EXPECT_EQ(RunHost(args), 2);
  }
}

}  // namespace
