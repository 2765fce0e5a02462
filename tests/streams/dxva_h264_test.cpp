// Real H.264 through the hardware-decoded stream: ffmpeg encodes a clip with
// x264, the test host turns it into DXVA2 frame records, and every picture
// the stream shows matches ffmpeg's own decode of the clip, in display order.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "stream_port.h"
#include "pelplat/d3d9model.h"
#include "streams/DXVAStream.h"
#include "sys/ByteReader.h"
#include "testhost/H264Dxva.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace hd = testhost::dxva;

constexpr int kWidth = 64, kHeight = 48, kFrames = 24;
constexpr int32_t kDesktopKey = 0;  // the keeper's desktop copy is black: every pixel is video

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double Psnr(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

class DxvaH264 : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pellum-dxva-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    D3D9ModelConfigure(D3D9ModelAdapter());  // the program's own adapter
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  // The clip and ffmpeg's decode of it as RGB frames in display order.
  void Make(const std::string& x264Options, Bytes* clip, std::vector<Bytes>* reference) {
    const std::string file = dir + "/clip.h264", raw = dir + "/ref.rgb";
    const std::string encode = "ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(kWidth) + "x" +
                               std::to_string(kHeight) + ":rate=25 -frames:v " + std::to_string(kFrames) +
                               " -c:v libx264 -pix_fmt yuv420p " + x264Options + " " + file;
    ASSERT_EQ(0, std::system(encode.c_str()));
    ASSERT_EQ(0, std::system(("ffmpeg -v error -y -i " + file + " -f rawvideo -pix_fmt rgb24 " + raw).c_str()));
    *clip = ReadFile(file);
    const Bytes all = ReadFile(raw);
    const size_t frameBytes = size_t(kWidth) * kHeight * 3;
    ASSERT_EQ(all.size(), frameBytes * kFrames);
    for (size_t at = 0; at < all.size(); at += frameBytes)
      reference->emplace_back(all.begin() + long(at), all.begin() + long(at + frameBytes));
  }

  static Bytes Shown(StreamPort& port) {
    Bytes rgb;
    const QImage* image = port.keeper.GetImage();
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const QRgb p = image->pixel(x, y);
        rgb.insert(rgb.end(), {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))});
      }
    return rgb;
  }

  std::string dir;
};

TEST_F(DxvaH264, AnX264ClipSentAsDxvaBuffersShowsFfmpegsPicturesInDisplayOrder) {
  struct Case {
    const char* options;  // B-frames with order count type 0; none with type 2
  } cases[] = {{"-bf 2 -g 10"}, {"-bf 0 -g 10"}, {"-bf 3 -refs 4 -g 30"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Bytes clip;
    std::vector<Bytes> reference;
    Make(c.options, &clip, &reference);
    if (HasFatalFailure()) return;
    std::string error;
    const std::vector<hd::H264Picture> pictures = hd::H264ToDxva(clip, 8, {0, 0, kWidth, kHeight}, kDesktopKey, &error);
    ASSERT_EQ(pictures.size(), size_t(kFrames)) << error;

    auto port = MakeStreamPort();
    HRESULT status = E_FAIL;
    CDXVAStream stream(port, reinterpret_cast<HWND>(StreamPort::kWindow), &status, 0);
    ASSERT_EQ(status, S_OK);
    hd::Description d;
    d.width = kWidth;
    d.height = kHeight;
    const Bytes message = hd::CreateMessage(1, hd::H264ProfileE(), 0, d);
    StreamFormatRecord record;
    record.size = 248;
    record.majorType = DXVA2_ModeH264_E;
    record.block.assign(message.begin(), message.begin() + 184);
    ASSERT_EQ(stream.SetFormat(record), 0);

    size_t shown = 0;
    for (const hd::H264Picture& p : pictures) {
      ASSERT_EQ(stream.ProcessSample(p.record.data(), uint32_t(p.record.size()), StreamSampleContext()), 0);
      if (port->Repaints().size() == shown) continue;
      ASSERT_LT(shown, reference.size());
      const Bytes picture = Shown(*port);
      const double psnr = Psnr(picture, reference[shown]);
      EXPECT_GE(psnr, 35.0) << "picture " << shown;
      // Its neighbours in display order match worse: the order is right.
      if (shown + 1 < reference.size()) {
        EXPECT_GT(psnr, Psnr(picture, reference[shown + 1])) << "picture " << shown;
      }
      if (shown > 0) {
        EXPECT_GT(psnr, Psnr(picture, reference[shown - 1])) << "picture " << shown;
      }
      ++shown;
    }
    // The last pictures stay in the reorder queue: no flush ends a stream.
    EXPECT_GE(shown, size_t(kFrames - 4));
  }
}

}  // namespace
