// Writes the seed corpus of the DXVA record fuzz target from the test
// host's records:  dxva_record_seeds <corpus dir>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSeeds.h"
#include "testhost/DxvaRecords.h"

namespace hd = testhost::dxva;
using Bytes = std::vector<uint8_t>;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dxva_record_seeds <corpus dir>\n");
    return 2;
  }
  const std::string dir = argv[1];
  hd::Description d;
  d.backBuffers = 4;
  const hd::Rect exact{0, 0, 32, 16}, scaled{8, 8, 56, 40};
  const Bytes slice(10, 0);
  std::vector<Bytes> h264 = {hd::CreateMessage(1, hd::H264ProfileE(), 0, d)};
  const int keys[] = {0, 6, 2, 4, 0, 2};
  for (int i = 0; i < 6; ++i)
    h264.push_back(hd::FrameRecord(i & 1 ? scaled : exact, i & 1 ? 0 : -1,
                                   {{0, hd::H264PictureParameters(uint8_t(i % 5), 2, i == 5, keys[i], keys[i] + 1)},
                                    {5, slice},
                                    {6, Bytes(24, uint8_t(40 + 30 * i))}}));
  const std::vector<Bytes> vc1 = {
      hd::CreateMessage(1, hd::Vc1ProfileD(), 0, d),
      hd::FrameRecord(exact, -1, {{0, hd::Vc1PictureParameters(1, 1, false)}}),
      hd::FrameRecord(exact, -1, {{5, slice}, {6, Bytes(8, 90)}}),
      hd::FrameRecord(scaled, 0, {{0, hd::Vc1PictureParameters(2, 3, true)}, {5, slice}, {6, Bytes(8, 150)}}),
      hd::FrameRecord(exact, -1, {{0, hd::Vc1PictureParameters(0, 4, false)}, {2, Bytes(64, 33)}})};
  hd::Description intel = d;
  intel.vendor = 0x8086;
  WriteSeed(dir + "/h264-reorder", SeedInput(0x00, h264));
  WriteSeed(dir + "/h264-device-change", SeedInput(0x09, h264));
  WriteSeed(dir + "/vc1-two-records", SeedInput(0x00, vc1));
  WriteSeed(dir + "/vc1-intel-adapter", SeedInput(0x06, vc1));
  WriteSeed(dir + "/intel-profile-on-nvidia",
        SeedInput(0x03, {hd::CreateMessage(1, hd::IntelH264Profile(), 0, intel), h264[1], h264[2]}));
  return 0;
}
