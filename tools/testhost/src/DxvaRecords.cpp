#include "testhost/DxvaRecords.h"

#include <algorithm>

#include "testhost/Wire.h"

namespace testhost {
namespace dxva {

using wire::Append;
using wire::AppendBytes;

namespace {

void Patch(Bytes& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = uint8_t(value >> (8 * i));
}

}  // namespace

Bytes CreateMessage(uint32_t id, const Guid& profile, uint32_t colourKey, const Description& d) {
  Bytes out = stream::CreateHardware(id, profile, colourKey);
  Patch(out, 12, d.backBuffers);
  Patch(out, 32, d.vendor);
  const uint32_t video[10] = {d.width, d.height, 0, d.format, 30, 1, 30, 1, 0, 0};
  for (size_t i = 0; i < 10; ++i) Patch(out, 44 + 4 * i, video[i]);
  Patch(out, 132, d.bitstreamRaw);
  return out;
}

Bytes FrameRecord(const Rect& target, int32_t colourKey, const std::vector<Buffer>& buffers) {
  Bytes out(12, 0);
  Append(out, uint32_t(target.left), 4);
  Append(out, uint32_t(target.top), 4);
  Append(out, uint32_t(target.right), 4);
  Append(out, uint32_t(target.bottom), 4);
  Append(out, uint32_t(colourKey), 4);
  Append(out, 0, 8);
  Append(out, buffers.size(), 4);
  for (const Buffer& b : buffers) {
    Append(out, b.type, 4);
    Append(out, 0, 4);
    Append(out, b.dataOffset, 4);
    Append(out, b.data.size(), 4);
    out.insert(out.end(), 4 * 6, 0);  // first macroblock, count, width, height, stride, reserved bits
    AppendBytes(out, b.data.data(), b.data.size());
    Append(out, 0, 4);
  }
  return out;
}

Bytes H264PictureParameters(uint8_t currPic, uint8_t numRefFrames, bool fieldPic, int32_t orderCount0,
                            int32_t orderCount1, size_t size) {
  Bytes out(std::max<size_t>(size, 40), 0);
  out[4] = currPic;
  out[5] = numRefFrames;
  out[6] = fieldPic ? 1 : 0;
  Patch(out, 32, uint32_t(orderCount0));
  Patch(out, 36, uint32_t(orderCount1));
  out.resize(size);
  return out;
}

Bytes Vc1PictureParameters(uint16_t decoded, uint16_t deblocked, bool deblock) {
  Bytes out(44, 0);
  out[0] = uint8_t(decoded);
  out[1] = uint8_t(decoded >> 8);
  out[2] = uint8_t(deblocked);
  out[3] = uint8_t(deblocked >> 8);
  out[31] = deblock ? 1 : 0;
  return out;
}

Guid H264ProfileE() {
  return stream::MakeGuid(0x1b81be68, 0xa0c7, 0x11d3, {0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5});
}
Guid Vc1ProfileD() {
  return stream::MakeGuid(0x1b81bea3, 0xa0c7, 0x11d3, {0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5});
}
Guid IntelH264Profile() {
  return stream::MakeGuid(0x604f8e68, 0x4951, 0x4c54, {0x88, 0xfe, 0xab, 0xd2, 0x5c, 0x15, 0xb3, 0xd6});
}

}  // namespace dxva
}  // namespace testhost
