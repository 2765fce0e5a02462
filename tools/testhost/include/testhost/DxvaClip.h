// A clip played as a hardware-decoded stream: the slot messages a server
// sends to have the client decode an x264 clip from ready DXVA2 buffers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testhost/DxvaRecords.h"

namespace testhost {
namespace dxva {

constexpr uint32_t kClipSurfaces = 8;

struct DxvaClip {
  // Stream slot payloads in order: reserve `id`, the create message (the
  // H.264 VLD profile, NV12 surfaces of the clip's size), then one sample
  // message a picture carrying its frame record.
  std::vector<Bytes> messages;
  size_t pictures = 0;
  uint32_t numRefFrames = 0;  // of the first picture's parameters
};

// Empty messages with `error` set for a clip H264ToDxva does not cover.
// Pictures go into `target` over the colour key, 25 per second.
DxvaClip DxvaClipOf(const Bytes& annexB, uint32_t id, uint32_t width, uint32_t height, const Rect& target,
                    int32_t colourKey, std::string* error);

}  // namespace dxva
}  // namespace testhost
