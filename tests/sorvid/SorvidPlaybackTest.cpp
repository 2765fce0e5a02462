// Real decoding: clips made by the ffmpeg tool at test time are pushed
// sample by sample through the exported functions, decoded by the graph's
// libavcodec decoder and presented by the library's presenter into a
// window of the recording screen.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Sorvid.h"
#include "SorvidTestSupport.h"
#include "testhost/Mpeg2Stream.h"
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

struct Clip {
  const char* name;
  const char* source;  // lavfi source for the still picture
  const char* codec;   // ffmpeg encoder and container options
  GUID subtype;
  GUID formatType;
  bool mpeg2;
  double minimumPsnr;
};

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
  const std::vector<uint32_t> reference = ReadPpm(still);
  ASSERT_EQ(reference.size(), static_cast<size_t>(kWidth * kHeight));
  const std::vector<uint8_t> bytes = ReadFile(stream);
  const auto samples = clip.mpeg2 ? testhost::stream::Mpeg2Pictures(bytes) : SplitJpegs(bytes);
  ASSERT_GE(samples.size(), 10u);

  const size_t bmi = clip.formatType == FORMAT_MPEG2Video ? 72 : 48;
  const size_t block = clip.formatType == FORMAT_MPEG2Video ? 132 : 88;
  const StreamFormatRecord record = VideoRecord(clip.subtype, clip.formatType, block, kWidth, kHeight, 24, bmi);
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
  EXPECT_GE(psnr, clip.minimumPsnr);
  // Nothing outside the video rectangle.
  EXPECT_EQ(screen_.Pixel(kWindow, kVideoRect.left - 1, kVideoRect.top), 0xFF000000u);
  EXPECT_EQ(screen_.Pixel(kWindow, kVideoRect.right, kVideoRect.bottom), 0xFF000000u);
  EXPECT_EQ(SorvidClose(player), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, SorvidPlaybackTest,
    ::testing::Values(
        Clip{"mpeg2_colour", "color=c=0x3080C0:size=160x120", "-c:v mpeg2video -q:v 2 -bf 0 -f mpeg2video",
             MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, true, 38},
        Clip{"mpeg2_testsrc", "testsrc=size=160x120", "-c:v mpeg2video -q:v 2 -bf 0 -f mpeg2video", MEDIASUBTYPE_MPEG2_VIDEO,
             FORMAT_VideoInfo, true, 22},
        Clip{"mjpeg_colour", "color=c=0x3080C0:size=160x120", "-c:v mjpeg -q:v 2 -f mjpeg", MEDIASUBTYPE_MJPG, FORMAT_VideoInfo,
             false, 38},
        Clip{"mjpeg_testsrc", "testsrc=size=160x120", "-c:v mjpeg -q:v 2 -f mjpeg", MEDIASUBTYPE_MJPG, FORMAT_VideoInfo, false, 22}),
    [](const ::testing::TestParamInfo<Clip>& info) { return std::string(info.param.name); });

}  // namespace
