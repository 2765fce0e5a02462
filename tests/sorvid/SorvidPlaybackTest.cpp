// Real decoding: clips made by the ffmpeg tool at test time are pushed
// sample by sample through the exported functions, decoded by the graph's
// libavcodec decoder and presented by the library's presenter into a
// window of the recording screen. One row per subtype the decoder
// registers: the decoder mask the program announces is exactly these rows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FormatRecordToMediaType.h"
#include "Sorvid.h"
#include "SorvidTestSupport.h"
#include "testhost/Mpeg2Stream.h"
#include "pelplat/amvideo.h"
#include "support/RecordingScreen.h"

namespace {

constexpr int kWidth = 160, kHeight = 120;
const HWND kWindow = reinterpret_cast<HWND>(0x4A01);
const RECT kWindowOnDesktop{100, 50, 100 + 400, 50 + 300};
const RECT kVideoRect{10, 20, 10 + kWidth, 20 + kHeight};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/sorvid-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool RunTool(const std::string& command) { return std::system((command + " > /dev/null 2>&1").c_str()) == 0; }

// Frames of a concatenated JPEG stream: SOI to EOI.
std::vector<std::vector<uint8_t>> SplitJpegs(const std::vector<uint8_t>& s) {
  std::vector<std::vector<uint8_t>> frames;
  size_t start = 0;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] == 0xFF && s[i + 1] == 0xD9) {
      frames.emplace_back(s.begin() + start, s.begin() + i + 2);
      start = i + 2;
    }
  }
  return frames;
}

uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Video chunks ("##dc", "##db") of an AVI file's movi list, one per frame.
std::vector<std::vector<uint8_t>> AviFrames(const std::vector<uint8_t>& s) {
  std::vector<std::vector<uint8_t>> frames;
  const std::string all(s.begin(), s.end());
  const size_t movi = all.find("movi");
  if (movi == std::string::npos) return frames;
  for (size_t at = movi + 4; at + 8 <= s.size();) {
    const std::string id = all.substr(at, 4);
    const size_t size = GetU32(s, at + 4);
    if (id == "idx1" || size > s.size() - at - 8) break;
    if (id[2] == 'd' && (id[3] == 'c' || id[3] == 'b') && size > 0)
      frames.emplace_back(s.begin() + at + 8, s.begin() + at + 8 + size);
    at += 8 + size + (size & 1);
  }
  return frames;
}

// Start of each unit of an Annex B or MPEG video stream: the offset just
// past its 00 00 01 prefix.
std::vector<size_t> StartCodes(const std::vector<uint8_t>& s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
  return starts;
}

// Annex B access units as "avc1" samples (4-byte lengths); the parameter
// sets leave the samples for the format block's sequence header (2-byte
// lengths).
void ToAvc1(std::vector<std::vector<uint8_t>>* samples, std::vector<uint8_t>* parameterSets) {
  for (auto& sample : *samples) {
    const std::vector<size_t> starts = StartCodes(sample);
    std::vector<uint8_t> out;
    for (size_t k = 0; k < starts.size(); ++k) {
      size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : sample.size();
      while (end > starts[k] && sample[end - 1] == 0) --end;  // a 4-byte prefix's leading zero
      const size_t n = end - starts[k];
      const int type = sample[starts[k]] & 0x1F;
      if (type == 7 || type == 8) {
        if (&sample == &samples->front()) {
          parameterSets->push_back(static_cast<uint8_t>(n >> 8));
          parameterSets->push_back(static_cast<uint8_t>(n));
          parameterSets->insert(parameterSets->end(), sample.begin() + starts[k], sample.begin() + end);
        }
        continue;
      }
      for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<uint8_t>(n >> shift));
      out.insert(out.end(), sample.begin() + starts[k], sample.begin() + end);
    }
    sample = std::move(out);
  }
}

// The sequence header of an MPEG-1 stream: up to its first group or picture.
std::vector<uint8_t> SequenceHeader(const std::vector<uint8_t>& first) {
  for (size_t start : StartCodes(first))
    if (start > 3 && (first[start] == 0xB8 || first[start] == 0x00)) return {first.begin(), first.begin() + start - 3};
  return {};
}

// RGB of a binary PPM (P6, 255).
std::vector<uint32_t> ReadPpm(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFile(path);
  std::vector<uint32_t> pixels;
  int fields = 0;
  size_t at = 0;
  while (fields < 4 && at < bytes.size()) {
    while (at < bytes.size() && isspace(bytes[at])) ++at;
    while (at < bytes.size() && !isspace(bytes[at])) ++at;
    ++fields;
  }
  ++at;
  for (; at + 2 < bytes.size(); at += 3) pixels.push_back((bytes[at] << 16) | (bytes[at + 1] << 8) | bytes[at + 2]);
  return pixels;
}

double Psnr(RecordingScreen& screen, const std::vector<uint32_t>& reference) {
  double squared = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t got = screen.Pixel(kWindow, kVideoRect.left + x, kVideoRect.top + y);
      const uint32_t want = reference[static_cast<size_t>(y) * kWidth + x];
      for (int shift : {0, 8, 16}) {
        const double d = static_cast<double>((got >> shift) & 0xFF) - ((want >> shift) & 0xFF);
        squared += d * d;
      }
    }
  const double mse = squared / (kWidth * kHeight * 3);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// How a clip's file becomes the samples the server sends.
enum class Framing { kMpeg2, kJpeg, kAvi, kAvc1 };

struct Clip {
  const char* name;
  const char* source;  // lavfi source for the still picture
  const char* codec;   // ffmpeg encoder and container options
  GUID subtype;
  GUID formatType;
  Framing framing;
};

// Against ffmpeg's decode the picture differs only by colour conversion.
constexpr double kMinimumPsnr = 40;

GUID Fourcc(const char (&c)[5]) { return FourccSubtype(PELPLAT_FOURCC(c[0], c[1], c[2], c[3])); }

void PrintTo(const Clip& clip, std::ostream* out) { *out << clip.name; }

class SorvidPlaybackTest : public ::testing::TestWithParam<Clip> {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    screen_.AddWindow(kWindow, kWindowOnDesktop);
  }
  void TearDown() override { CoUninitialize(); }

  RecordingScreen screen_;
  TempDir dir_;
};

TEST_P(SorvidPlaybackTest, DecodedPicturesAppearAtTheVideoRectangle) {
  const Clip& clip = GetParam();
  const std::string still = dir_ / "still.ppm", stream = dir_ / "clip.bin";
  ASSERT_TRUE(RunTool("ffmpeg -y -f lavfi -i " + std::string(clip.source) + " -frames:v 1 " + still));
  ASSERT_TRUE(RunTool("ffmpeg -y -loop 1 -i " + still + " -frames:v 12 -pix_fmt yuv420p " + clip.codec + " " + stream) ||
              RunTool("ffmpeg -y -loop 1 -i " + still + " -frames:v 12 -pix_fmt yuvj420p " + clip.codec + " " + stream));
  // The reference is ffmpeg's own decode of the clip's last picture.
  const std::string decoded = dir_ / "decoded.ppm";
  ASSERT_TRUE(RunTool("ffmpeg -y -i " + stream + " -pix_fmt rgb24 -update 1 " + decoded));
  const std::vector<uint32_t> reference = ReadPpm(decoded);
  ASSERT_EQ(reference.size(), static_cast<size_t>(kWidth * kHeight));
  const std::vector<uint8_t> bytes = ReadFile(stream);
  std::vector<std::vector<uint8_t>> samples;
  switch (clip.framing) {
    case Framing::kMpeg2: samples = testhost::stream::Mpeg2Pictures(bytes); break;
    case Framing::kJpeg: samples = SplitJpegs(bytes); break;
    case Framing::kAvi:
    case Framing::kAvc1: samples = AviFrames(bytes); break;
  }
  ASSERT_GE(samples.size(), 10u);

  // The codec data goes where the format type keeps it.
  std::vector<uint8_t> codecData;
  size_t bmi = 48, block = 88, countAt = 0;
  if (clip.formatType == FORMAT_MPEG2Video) {
    bmi = 72, block = offsetof(MPEG2VIDEOINFO, dwSequenceHeader), countAt = offsetof(MPEG2VIDEOINFO, cbSequenceHeader);
  } else if (clip.formatType == FORMAT_MPEGVideo) {
    block = offsetof(MPEG1VIDEOINFO, bSequenceHeader), countAt = offsetof(MPEG1VIDEOINFO, cbSequenceHeader);
    codecData = SequenceHeader(samples.front());
    ASSERT_FALSE(codecData.empty());
  }
  if (clip.framing == Framing::kAvc1) {
    ToAvc1(&samples, &codecData);
    ASSERT_FALSE(codecData.empty());
  }
  StreamFormatRecord record = VideoRecord(clip.subtype, clip.formatType, block, kWidth, kHeight, 24, bmi);
  if (countAt) PutU32(record.block, countAt, static_cast<uint32_t>(codecData.size()));
  if (clip.framing == Framing::kAvc1) PutU32(record.block, offsetof(MPEG2VIDEOINFO, dwFlags), 4);  // length size
  record.block.insert(record.block.end(), codecData.begin(), codecData.end());
  record.size = static_cast<uint32_t>(64 + record.block.size());
  void* player = nullptr;
  ASSERT_EQ(SorvidInit(&record, &player), S_OK);
  // Buffers smaller than a sample: the source enlarges them on the way.
  const ALLOCATOR_PROPERTIES props{2, 1024, 1, 0};
  ASSERT_EQ(SorvidSetAllocator(player, &props), S_OK);
  ASSERT_EQ(SorvidSelectAndRenderWindowless(player, kWindow, 0x00FF00FF, nullptr), S_OK);
  ASSERT_EQ(SorvidWindowRect(player, &kVideoRect, 0, 0, 0), S_OK);
  ASSERT_EQ(SorvidSetState(player, 3), S_OK);
  SampleInfoRecord info;
  info.sampleFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
  for (size_t i = 0; i < samples.size(); ++i) {
    info.start = static_cast<int64_t>(i) * 400000;
    info.stop = info.start + 400000;
    info.actual = static_cast<int32_t>(samples[i].size());
    ASSERT_EQ(SorvidSetBuffer(player, samples[i].data(), static_cast<uint32_t>(samples[i].size()), &info), S_OK);
  }
  EXPECT_TRUE(screen_.WaitForPuts(static_cast<int>(samples.size()) - 2));
  EXPECT_EQ(SorvidSetState(player, 0), S_OK);
  const double psnr = Psnr(screen_, reference);
  RecordProperty("psnr", std::to_string(psnr));
  EXPECT_GE(psnr, kMinimumPsnr);
  // Nothing outside the video rectangle.
  EXPECT_EQ(screen_.Pixel(kWindow, kVideoRect.left - 1, kVideoRect.top), 0xFF000000u);
  EXPECT_EQ(screen_.Pixel(kWindow, kVideoRect.right, kVideoRect.bottom), 0xFF000000u);
  EXPECT_EQ(SorvidClose(player), S_OK);
}

const Clip kClips[] = {
    {"mpeg2_colour", "color=c=0x3080C0:size=160x120", "-c:v mpeg2video -q:v 2 -bf 0 -f mpeg2video",
     MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, Framing::kMpeg2},
    {"mpeg2_testsrc", "testsrc=size=160x120", "-c:v mpeg2video -q:v 2 -bf 0 -f mpeg2video", MEDIASUBTYPE_MPEG2_VIDEO,
     FORMAT_VideoInfo, Framing::kMpeg2},
    {"mjpeg_colour", "color=c=0x3080C0:size=160x120", "-c:v mjpeg -q:v 2 -f mjpeg", MEDIASUBTYPE_MJPG, FORMAT_VideoInfo,
     Framing::kJpeg},
    {"mjpeg_testsrc", "testsrc=size=160x120", "-c:v mjpeg -q:v 2 -f mjpeg", MEDIASUBTYPE_MJPG, FORMAT_VideoInfo,
     Framing::kJpeg},
    {"mpeg1", "testsrc=size=160x120", "-c:v mpeg1video -q:v 2 -bf 0 -g 12 -f avi", MEDIASUBTYPE_MPEG1Payload,
     FORMAT_MPEGVideo, Framing::kAvi},
    {"h264_annexb", "testsrc=size=160x120", "-c:v libx264 -qp 12 -bf 0 -g 12 -f avi", Fourcc("H264"),
     FORMAT_VideoInfo, Framing::kAvi},
    {"avc1", "testsrc=size=160x120", "-c:v libx264 -qp 12 -bf 0 -g 12 -f avi", Fourcc("avc1"), FORMAT_MPEG2Video,
     Framing::kAvc1},
    {"xvid", "testsrc=size=160x120", "-c:v mpeg4 -q:v 2 -bf 0 -g 12 -vtag XVID -f avi", Fourcc("XVID"),
     FORMAT_VideoInfo, Framing::kAvi},
    {"divx", "testsrc=size=160x120", "-c:v mpeg4 -q:v 2 -bf 0 -g 12 -vtag DIVX -f avi", Fourcc("DIVX"),
     FORMAT_VideoInfo, Framing::kAvi},
    {"dx50", "testsrc=size=160x120", "-c:v mpeg4 -q:v 2 -bf 0 -g 12 -vtag DX50 -f avi", Fourcc("DX50"),
     FORMAT_VideoInfo, Framing::kAvi},
    {"div3", "testsrc=size=160x120", "-c:v msmpeg4 -q:v 2 -g 12 -f avi", Fourcc("DIV3"), FORMAT_VideoInfo,
     Framing::kAvi},
};

INSTANTIATE_TEST_SUITE_P(Clips, SorvidPlaybackTest, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<Clip>& info) { return std::string(info.param.name); });

// The program announces exactly the subtypes decoded above.
TEST(SorvidDecoderMask, NamesExactlyTheSubtypesProvenToDecode) {
  uint32_t proven = 0;
  for (const Clip& clip : kClips) proven |= DsVideoDecoderBit(clip.subtype);
  EXPECT_EQ(SorvidDetectDsVideoDecoders(), proven);
}

}  // namespace
