// Writes the seed corpora of the fuzz targets from the test host's display
// encoder and from TurboJPEG:
//   display_packet_seeds <display corpus dir> <jpeg corpus dir>
#include <turbojpeg.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "testhost/DisplayEncoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Write(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

testhost::RgbImage Picture(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  testhost::RgbImage image{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int cell = (x / 8 + y / 8 * 3 + int(seed)) % 5;
      for (int k = 0; k < 3; ++k)
        image.rgb.push_back(uint8_t(cell == 0 ? random() : cell == 1 ? 40 * k : cell == 2 ? x * 4 + y + k * 9 : (x ^ y) & 0x30));
    }
  return image;
}

// Setup byte, then each packet behind its u16 length.
Bytes Input(bool wide, const std::vector<testhost::Packet>& packets) {
  Bytes out{uint8_t(wide ? 1 : 0)};
  for (const auto& p : packets) {
    if (p.size() > 0xFFFF) continue;
    out.push_back(uint8_t(p.size()));
    out.push_back(uint8_t(p.size() >> 8));
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Bytes Jpeg(int width, int height, int samp, int pixelFormat, int quality) {
  std::vector<uint8_t> pixels(size_t(width) * height * tjPixelSize[pixelFormat]);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 7 % 253);
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  tjCompress2(handle, pixels.data(), width, 0, height, pixelFormat, &jpeg, &size, samp, quality, 0);
  Bytes out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: display_packet_seeds <display dir> <jpeg dir>\n");
    return 2;
  }
  const std::string display = argv[1], jpeg = argv[2];
  struct Seed {
    const char* name;
    int depth;
    testhost::JpegTiles tiles;
    bool paletteOrders, lz4, sequence;
  };
  const Seed seeds[] = {
      {"palettes-16", 16, testhost::JpegTiles::kNone, false, false, false},
      {"palette-orders-24", 24, testhost::JpegTiles::kNone, true, false, true},
      {"lz4-24", 24, testhost::JpegTiles::kNone, false, true, false},
      {"containers-24", 24, testhost::JpegTiles::kContainer, false, false, false},
      {"frame-24", 24, testhost::JpegTiles::kFrame, false, false, true},
      {"frame-lz4-24", 24, testhost::JpegTiles::kFrame, false, true, false},
  };
  unsigned n = 0;
  for (const Seed& s : seeds) {
    testhost::DisplayEncoder encoder;
    testhost::PaintOptions options;
    options.depth = s.depth;
    options.jpeg = s.tiles;
    options.paletteOrders = s.paletteOrders;
    options.lz4 = s.lz4;
    options.sequence = s.sequence;
    options.flush = true;
    options.packetBytes = 1500;
    auto packets = encoder.Paint(Picture(48, 32, ++n), options);
    options.modeOrder = false;
    for (auto& p : encoder.Paint(Picture(48, 32, n + 10), options)) packets.push_back(p);
    Write(display + "/" + s.name, Input(s.depth == 24, packets));
  }
  Write(jpeg + "/yuv420-16x32", Jpeg(16, 32, TJSAMP_420, TJPF_RGB, 90));
  Write(jpeg + "/yuv420-16x16-q50", Jpeg(16, 16, TJSAMP_420, TJPF_BGR, 50));
  Write(jpeg + "/yuv444-16x16", Jpeg(16, 16, TJSAMP_444, TJPF_RGB, 90));
  Write(jpeg + "/grey-16x16", Jpeg(16, 16, TJSAMP_GRAY, TJPF_GRAY, 90));
  Write(jpeg + "/yuv420-24x16", Jpeg(24, 16, TJSAMP_420, TJPF_RGB, 90));
  Write(jpeg + "/yuv422-40x24", Jpeg(40, 24, TJSAMP_422, TJPF_RGB, 80));
  Write(jpeg + "/run-length", Bytes{0x81, 0x10, 0x05, 1, 2, 3, 4, 5, 6, 0xF0, 7, 0x7F});
  return 0;
}
