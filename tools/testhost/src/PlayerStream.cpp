#include "testhost/PlayerStream.h"

#include <cstring>

#include "testhost/Wire.h"

namespace testhost {
namespace stream {
namespace {

using wire::Append;
using wire::AppendBytes;

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// NAL units of an Annex B stream, each from its header byte on.
std::vector<Bytes> Units(const Bytes& bytes) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= bytes.size(); ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) starts.push_back(i + 3);
  std::vector<Bytes> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : bytes.size();
    while (end > starts[k] && bytes[end - 1] == 0) --end;
    if (end > starts[k]) units.emplace_back(bytes.begin() + starts[k], bytes.begin() + end);
  }
  return units;
}

int TypeOf(const Bytes& unit) { return unit[0] & 0x1F; }

}  // namespace

Bytes PlayerFrame(uint32_t id, const Bytes& payload, uint32_t colorref, const Rect& target, uint8_t flags,
                  int64_t firstTime, int64_t secondTime) {
  Bytes out;
  Append(out, 0x50500, 4);
  Append(out, 0, 4);
  Append(out, id, 4);
  Append(out, 1, 4);
  Append(out, colorref, 4);
  Append(out, uint32_t(target.left), 4);
  Append(out, uint32_t(target.top), 4);
  Append(out, uint32_t(target.right), 4);
  Append(out, uint32_t(target.bottom), 4);
  out.push_back(flags);
  out.insert(out.end(), 56 - out.size(), 0);
  Append(out, uint64_t(firstTime), 8);
  Append(out, uint64_t(secondTime), 8);
  Append(out, payload.size(), 4);
  AppendBytes(out, payload.data(), payload.size());
  return out;
}

PlayerClip PlayerClipOf(const Bytes& annexB, bool avcc) {
  PlayerClip clip;
  const std::vector<Bytes> units = Units(annexB);
  Bytes sps, pps;
  for (const Bytes& unit : units) {
    if (TypeOf(unit) == 7 && sps.empty()) sps = unit;
    if (TypeOf(unit) == 8 && pps.empty()) pps = unit;
  }
  if (sps.size() < 4 || pps.empty()) return clip;
  // One picture per access unit: a delimiter, or a slice after a slice
  // whose first_mb_in_slice is 0 (the top bit of the slice data set).
  std::vector<std::vector<Bytes>> pictures;
  bool sliceSeen = false;
  for (const Bytes& unit : units) {
    const int type = TypeOf(unit);
    const bool firstSlice = (type == 1 || type == 5) && unit.size() > 1 && (unit[1] & 0x80);
    if (pictures.empty() || type == 9 || (sliceSeen && (firstSlice || type == 7))) {
      pictures.emplace_back();
      sliceSeen = false;
    }
    pictures.back().push_back(unit);
    sliceSeen |= type == 1 || type == 5;
  }
  clip.fourcc = avcc ? 0x31637661 : 0x34363248;  // "avc1", "H264"
  if (avcc) {
    clip.codecData = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, uint8_t(sps.size() >> 8), uint8_t(sps.size())};
    clip.codecData.insert(clip.codecData.end(), sps.begin(), sps.end());
    clip.codecData.insert(clip.codecData.end(), {1, uint8_t(pps.size() >> 8), uint8_t(pps.size())});
    clip.codecData.insert(clip.codecData.end(), pps.begin(), pps.end());
  } else {
    for (const Bytes* set : {&sps, &pps}) {
      clip.codecData.insert(clip.codecData.end(), kStartCode, kStartCode + 4);
      clip.codecData.insert(clip.codecData.end(), set->begin(), set->end());
    }
  }
  for (const std::vector<Bytes>& picture : pictures) {
    Bytes frame;
    for (const Bytes& unit : picture) {
      const int type = TypeOf(unit);
      if (avcc && (type == 7 || type == 8 || type == 9)) continue;
      if (avcc) {
        const uint32_t n = static_cast<uint32_t>(unit.size());
        frame.insert(frame.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
      } else {
        frame.insert(frame.end(), kStartCode, kStartCode + 4);
      }
      frame.insert(frame.end(), unit.begin(), unit.end());
    }
    if (!frame.empty()) clip.frames.push_back(std::move(frame));
  }
  return clip;
}

Bytes CreatePlayerFor(uint32_t id, const PlayerClip& clip, int32_t width, int32_t height) {
  return CreatePlayer(id, 1, clip.fourcc, width, height, clip.codecData);
}

}  // namespace stream
}  // namespace testhost
