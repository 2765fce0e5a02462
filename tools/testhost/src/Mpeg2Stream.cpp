#include "testhost/Mpeg2Stream.h"

namespace testhost {
namespace stream {

namespace {

bool StartCodeAt(const Bytes& s, size_t i) { return s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1; }

void PutU32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<Bytes> Mpeg2Pictures(const Bytes& s) {
  std::vector<Bytes> pictures;
  size_t start = 0;
  bool hasPicture = false;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (!StartCodeAt(s, i)) continue;
    const uint8_t code = s[i + 3];
    const bool begins = code == 0xB3 || ((code == 0xB8 || code == 0x00) && hasPicture);
    if (begins && i > start) {
      pictures.emplace_back(s.begin() + start, s.begin() + i);
      start = i;
      hasPicture = false;
    }
    if (code == 0x00) hasPicture = true;
  }
  if (start < s.size()) pictures.emplace_back(s.begin() + start, s.end());
  return pictures;
}

bool Mpeg2PictureSize(const Bytes& s, int* width, int* height) {
  for (size_t i = 0; i + 6 < s.size(); ++i) {
    if (!StartCodeAt(s, i) || s[i + 3] != 0xB3) continue;
    *width = (s[i + 4] << 4) | (s[i + 5] >> 4);
    *height = ((s[i + 5] & 0x0F) << 8) | s[i + 6];
    return *width > 0 && *height > 0;
  }
  return false;
}

std::vector<Bytes> Mpeg2StreamMessages(uint32_t id, const Bytes& elementary, const Rect& rect, uint32_t colourKey) {
  int width = 0, height = 0;
  if (!Mpeg2PictureSize(elementary, &width, &height)) return {};
  FormatRecord format;
  format.majorType = VideoMajorType();
  format.subtype = MakeGuid(0xE06D8026, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA});
  format.formatType = MakeGuid(0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A});
  format.block.assign(88, 0);  // VIDEOINFOHEADER: its BITMAPINFOHEADER at 48
  PutU32(format.block, 48, 40);
  PutU32(format.block, 52, static_cast<uint32_t>(width));
  PutU32(format.block, 56, static_cast<uint32_t>(height));
  format.block[60] = 1;
  format.block[62] = 24;
  std::vector<Bytes> messages = {Reserve(id), CreateFromFormat(id, format, colourKey), Allocator(id, 0, 0, 0, 0),
                                 WindowRect(id, rect, colourKey), State(id, kRun)};
  const std::vector<Bytes> pictures = Mpeg2Pictures(elementary);
  Segment segment;
  segment.stop = static_cast<int64_t>(pictures.size()) * 400000;
  messages.push_back(NewSegment(id, segment));
  for (size_t i = 0; i < pictures.size(); ++i) {
    SampleInfo info;
    info.streamId = id;
    info.sampleFlags = 0x10 | 0x100;  // start and stop times valid
    info.start = static_cast<int64_t>(i) * 400000;
    info.stop = info.start + 400000;
    info.actual = static_cast<int32_t>(pictures[i].size());
    messages.push_back(DirectShowSample(id, info, pictures[i]));
  }
  return messages;
}

}  // namespace stream
}  // namespace testhost
