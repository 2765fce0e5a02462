#include "testhost/DxvaClip.h"

#include "testhost/H264Dxva.h"

namespace testhost {
namespace dxva {

namespace {

// num_ref_frames in a frame record whose first buffer is the picture
// parameters: 44 bytes of record head, 40 of buffer head, then byte 5.
constexpr size_t kNumRefFramesAt = 44 + 40 + 5;
constexpr int64_t kFrameTicks = 400000;  // 100 ns units at 25 per second

}  // namespace

DxvaClip DxvaClipOf(const Bytes& annexB, uint32_t id, uint32_t width, uint32_t height, const Rect& target,
                    int32_t colourKey, std::string* error) {
  DxvaClip clip;
  const std::vector<H264Picture> pictures = H264ToDxva(annexB, kClipSurfaces, target, colourKey, error);
  if (pictures.empty()) return clip;
  Description d;
  d.backBuffers = kClipSurfaces - 1;
  d.width = width;
  d.height = height;
  clip.messages.push_back(stream::Reserve(id));
  clip.messages.push_back(CreateMessage(id, H264ProfileE(), uint32_t(colourKey), d));
  stream::SampleInfo info;
  info.streamId = id;
  for (const H264Picture& p : pictures) {
    info.actual = int32_t(p.record.size());
    info.stop = info.start + kFrameTicks;
    clip.messages.push_back(stream::DirectShowSample(id, info, p.record));
    info.start = info.stop;
  }
  clip.pictures = pictures.size();
  const Bytes& first = pictures.front().record;
  clip.numRefFrames = first.size() > kNumRefFramesAt ? first[kNumRefFramesAt] : 0;
  return clip;
}

}  // namespace dxva
}  // namespace testhost
