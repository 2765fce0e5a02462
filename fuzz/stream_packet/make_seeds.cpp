// Writes the seed corpus of the stream slot's fuzz target from the test
// host's stream encoder:  stream_packet_seeds <corpus dir>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "testhost/StreamEncoder.h"

namespace {

namespace hs = testhost::stream;
using Bytes = std::vector<uint8_t>;

void Write(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Setup byte, then each packet behind its u16 length.
Bytes Input(uint8_t setup, const std::vector<Bytes>& packets) {
  Bytes out{setup};
  for (const Bytes& p : packets) {
    if (p.size() > 0xFFFF) continue;
    out.push_back(uint8_t(p.size()));
    out.push_back(uint8_t(p.size() >> 8));
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

testhost::RgbImage Picture(int width, int height) {
  testhost::RgbImage image{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < 3; ++k) image.rgb.push_back(uint8_t(x * 9 + y * 5 + k * 40));
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stream_packet_seeds <corpus dir>\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Bytes jpeg = hs::JpegOf(Picture(16, 8), 60);
  hs::FormatRecord format;
  format.majorType = hs::VideoMajorType();
  format.subtype = hs::FourccGuid(0x47504A4D);
  format.block = Bytes(8, 0);
  hs::SampleInfo info;
  info.streamId = 7;
  info.start = 1010;
  const hs::Rect rect{2, 2, 18, 10};
  const hs::Rect stretched{0, 0, 40, 30};
  const std::vector<Bytes> coded = {
      hs::Reserve(7), hs::CreateFromFormat(7, format, 0x00FF00), hs::Allocator(7, 4, 65536, 1, 0),
      hs::WindowRect(7, rect, 0x00FF00), hs::State(7, hs::kRun), hs::NewSegment(7, hs::Segment{0, 100, 1.0}),
      hs::DirectShowSample(7, info, Bytes{1, 2, 3}), hs::JpegFrame(7, jpeg),
      hs::JpegFrame(0, jpeg, rect, 1005), hs::JpegFrame(0, jpeg, stretched, 1200),
      hs::H264Frame(Bytes{0, 0, 0, 1, 0x67}, rect, 1003), hs::PlayerData(0x50400, 7, 1, Bytes(4, 9)),
      hs::ViewUpdate(7, 0x00FF00, rect), hs::Command(7, hs::kBeginFlush), hs::Close(7),
      hs::CreateHardware(8, hs::FourccGuid(1), 0), hs::CreatePlayer(9, 1, 0x34363248, 640, 480, Bytes(6, 1))};
  const std::vector<Bytes> legacy = {
      hs::LegacyControl(13, 0, 5), hs::LegacyFormat(5, format), hs::LegacyAudioFormat(5, hs::WaveFormat()),
      hs::LegacyAllocator(5, 2, 4096, 1, 0), hs::LegacySegment(5, hs::Segment{5, 6, 1.0}),
      hs::LegacyControl(4, 3, 5), hs::LegacyData(5, Bytes{4, 5, 6}), hs::LegacySample(info, jpeg),
      hs::LegacyControl(15, 2, 5), hs::LegacyControl(14, 0, 5)};
  // The program's own kinds: a DirectShow stream from an MPEG-2 format and
  // a player stream from an H.264 configuration, each driven through its
  // messages.
  hs::FormatRecord mpeg2;
  mpeg2.majorType = hs::VideoMajorType();
  mpeg2.subtype = hs::MakeGuid(0xE06D8026, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA});
  mpeg2.formatType = hs::MakeGuid(0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A});
  mpeg2.block = Bytes(88, 0);
  const uint8_t header[] = {40, 0, 0, 0, 160, 0, 0, 0, 120, 0, 0, 0, 1, 0, 24, 0};
  std::copy(header, header + sizeof header, mpeg2.block.begin() + 48);
  const std::vector<Bytes> directShow = {
      hs::Reserve(3), hs::CreateFromFormat(3, mpeg2, 0xFF00FF), hs::Allocator(3, 4, 65536, 1, 0),
      hs::WindowRect(3, rect, 0xFF00FF), hs::NewSegment(3, hs::Segment{0, 1000, 1.0}), hs::State(3, hs::kRun),
      hs::DirectShowSample(3, info, Bytes{0, 0, 1, 0xB3, 0x0A, 0x00}), hs::ViewUpdate(3, 0xFF00FF, rect),
      hs::Command(3, hs::kBeginFlush), hs::Command(3, hs::kEndFlush), hs::Close(3)};
  // An avcC record (profile 100, one parameter set of each kind) and one
  // length-prefixed slice.
  const Bytes avcc = {0x01, 0x64, 0x00, 0x0A, 0xFF, 0xE1, 0x00, 0x18, 0x67, 0x64, 0x00, 0x0A, 0xAC, 0xD9, 0x44,
                      0x26, 0xC0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0xC8, 0x3C, 0x48,
                      0x96, 0x58, 0x01, 0x00, 0x06, 0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
  const Bytes slice = {0x00, 0x00, 0x00, 0x05, 0x65, 0x88, 0x84, 0x00, 0x33};
  const std::vector<Bytes> player = {
      hs::Reserve(9), hs::CreatePlayer(9, 1, 0x31637661, 64, 48, avcc), hs::ViewUpdate(9, 0x00FF00, rect),
      hs::State(9, hs::kRun), hs::PlayerData(0x50400, 9, 1, slice), hs::PlayerData(0x50500, 9, 1, slice),
      hs::CreatePlayer(9, 2, 0x6134706D, 0, 0, Bytes{0x12, 0x10}), hs::PlayerData(0x50400, 9, 2, Bytes(8, 1)),
      hs::Command(9, hs::kBeginFlush), hs::State(9, hs::kPause), hs::Close(9)};
  Write(dir + "/directshow-stream", Input(0x00, directShow));
  Write(dir + "/player-stream", Input(0x00, player));
  Write(dir + "/coded-real-kinds", Input(0x00, coded));
  Write(dir + "/legacy-real-kinds", Input(0x00, legacy));
  Write(dir + "/coded", Input(0x08, coded));
  Write(dir + "/coded-sync", Input(0x09, coded));
  Write(dir + "/coded-plan-no-kinds", Input(0x03, coded));
  Write(dir + "/legacy", Input(0x08, legacy));
  Write(dir + "/legacy-sync-drawing-off", Input(0x0D, legacy));
  Write(dir + "/frames-only", Input(0x00, {hs::JpegFrame(0, jpeg, rect), hs::JpegFrame(0, jpeg, stretched)}));
  return 0;
}
