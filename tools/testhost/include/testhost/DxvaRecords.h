// The host side of hardware-decoded streams: the 0x80200 create message
// with its description block, the frame records that carry ready DXVA2
// compressed buffers, and the picture-parameter fields the client reads.
#pragma once

#include <cstdint>
#include <vector>

#include "testhost/StreamEncoder.h"

namespace testhost {
namespace dxva {

using Bytes = std::vector<uint8_t>;
using stream::Guid;
using stream::Rect;

constexpr uint32_t kFourccNv12 = 0x3231564E;  // "NV12"

struct Description {
  uint32_t backBuffers = 7;  // surfaces - 1
  uint32_t vendor = 0;
  uint32_t width = 32;
  uint32_t height = 16;
  uint32_t format = kFourccNv12;
  uint32_t bitstreamRaw = 1;
};

// The create message; its first 184 bytes are the stream's description block.
Bytes CreateMessage(uint32_t id, const Guid& profile, uint32_t colourKey, const Description& d);

struct Buffer {
  uint32_t type = 0;
  Bytes data;
  uint32_t dataOffset = 0;
};

// 44 bytes of head, then each buffer record (40 bytes, contents, 4 bytes).
Bytes FrameRecord(const Rect& target, int32_t colourKey, const std::vector<Buffer>& buffers);

// A DXVA_PicParams_H264 head of `size` bytes with the fields the client reads.
Bytes H264PictureParameters(uint8_t currPic, uint8_t numRefFrames, bool fieldPic, int32_t orderCount0,
                            int32_t orderCount1, size_t size = 40);
// A 44-byte DXVA_PictureParameters (VC-1).
Bytes Vc1PictureParameters(uint16_t decoded, uint16_t deblocked, bool deblock);

Guid H264ProfileE();
Guid Vc1ProfileD();
Guid IntelH264Profile();

}  // namespace dxva
}  // namespace testhost
