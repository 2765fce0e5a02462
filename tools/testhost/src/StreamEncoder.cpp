#include "testhost/StreamEncoder.h"

#include <turbojpeg.h>

#include <cstring>

#include "testhost/Wire.h"

namespace testhost {
namespace stream {

namespace {

using wire::Append;
using wire::AppendBytes;

void Put(Bytes& out, const Guid& guid) { AppendBytes(out, guid.data(), guid.size()); }

void Put(Bytes& out, const Rect& r) {
  Append(out, uint32_t(r.left), 4);
  Append(out, uint32_t(r.top), 4);
  Append(out, uint32_t(r.right), 4);
  Append(out, uint32_t(r.bottom), 4);
}

void Zeros(Bytes& out, size_t n) { out.insert(out.end(), n, 0); }

// code, u32 at offset 4, stream id.
Bytes Coded(uint32_t code, uint32_t second, uint32_t id) {
  Bytes out;
  Append(out, code, 4);
  Append(out, second, 4);
  Append(out, id, 4);
  return out;
}

// flags 0x11 (stream message), type, header size; the u32 at offset 4
// counts everything after the first 8 bytes.
Bytes Legacy(uint8_t type, uint8_t headerSize, uint32_t id, const Bytes& content) {
  Bytes out{0x11, type, 0, headerSize};
  Append(out, 4 + content.size(), 4);
  Append(out, id, 4);
  AppendBytes(out, content.data(), content.size());
  return out;
}

Bytes Frame(uint32_t code, uint32_t id, const Bytes& data, const Rect& target, int64_t timestamp) {
  Bytes out = Coded(code, uint32_t(data.size()), id);
  Zeros(out, 4);
  Append(out, uint64_t(timestamp), 8);
  Zeros(out, 16);  // no pre-decoded size from a server
  Put(out, target);
  AppendBytes(out, data.data(), data.size());
  return out;
}

Bytes Allocation(int32_t buffers, int32_t bufferSize, int32_t align, int32_t prefix) {
  Bytes out;
  for (int32_t v : {buffers, bufferSize, align, prefix}) Append(out, uint32_t(v), 4);
  return out;
}

}  // namespace

Guid MakeGuid(uint32_t data1, uint16_t data2, uint16_t data3, const std::array<uint8_t, 8>& data4) {
  Bytes b;
  Append(b, data1, 4);
  Append(b, data2, 2);
  Append(b, data3, 2);
  AppendBytes(b, data4.data(), data4.size());
  Guid g;
  std::memcpy(g.data(), b.data(), g.size());
  return g;
}

Guid FourccGuid(uint32_t fourcc) {
  return MakeGuid(fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
}

Guid VideoMajorType() { return FourccGuid(0x73646976); }
Guid AudioMajorType() { return FourccGuid(0x73647561); }

Bytes JpegOf(const RgbImage& image, int quality) {
  tjhandle handle = tjInitCompress();
  if (!handle) return {};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  Bytes out;
  if (tjCompress2(handle, image.rgb.data(), image.width, 0, image.height, TJPF_RGB, &jpeg, &size,
                  TJSAMP_420, quality, 0) == 0)
    out.assign(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

Bytes FormatRecord::Encode() const {
  Bytes out;
  Append(out, 64 + block.size(), 4);
  Append(out, flags, 4);
  Append(out, sampleSize, 4);
  Zeros(out, 4);
  Put(out, majorType);
  Put(out, subtype);
  Put(out, formatType);
  AppendBytes(out, block.data(), block.size());
  return out;
}

Bytes SampleInfo::Encode() const {
  Bytes out;
  Append(out, streamId, 4);
  Zeros(out, 4);
  Append(out, 48, 4);
  Append(out, typeSpecificFlags, 4);
  Append(out, sampleFlags, 4);
  Append(out, uint32_t(actual), 4);
  Append(out, uint64_t(start), 8);
  Append(out, uint64_t(stop), 8);
  Append(out, streamId, 4);
  Zeros(out, 12);  // media type, buffer and its length mean nothing across the wire
  return out;
}

Bytes Segment::Encode() const {
  Bytes out;
  Append(out, uint64_t(start), 8);
  Append(out, uint64_t(stop), 8);
  uint64_t bits = 0;
  std::memcpy(&bits, &rate, sizeof bits);
  Append(out, bits, 8);
  return out;
}

Bytes WaveFormat::Encode() const {
  Bytes out;
  Append(out, formatTag, 2);
  Append(out, channels, 2);
  Append(out, samplesPerSec, 4);
  Append(out, avgBytesPerSec, 4);
  Append(out, blockAlign, 2);
  Append(out, bitsPerSample, 2);
  Append(out, extra.size(), 2);
  AppendBytes(out, extra.data(), extra.size());
  return out;
}

Bytes Reserve(uint32_t id) {
  Bytes out = Coded(0x30000, 0, id);
  Zeros(out, 88 - out.size());
  return out;
}

Bytes WindowRect(uint32_t id, const Rect& rect, uint32_t colourKey) {
  Bytes out = Coded(0x30100, 0, id);
  Zeros(out, 16);
  Put(out, rect);
  Append(out, colourKey, 4);
  return out;
}

Bytes State(uint32_t id, uint32_t request) {
  Bytes out = Coded(0x30200, 0, id);
  Append(out, request, 4);
  return out;
}

Bytes Command(uint32_t id, uint32_t request) {
  Bytes out = Coded(0x30300, 0, id);
  Append(out, request, 4);
  return out;
}

Bytes Close(uint32_t id) { return Coded(0x40200, 0, id); }

Bytes ViewUpdate(uint32_t id, uint32_t colourKey, const Rect& rect) {
  Bytes out = Coded(0x40300, 0, id);
  Append(out, colourKey, 4);
  Put(out, rect);
  Zeros(out, 24);
  return out;
}

Bytes NewSegment(uint32_t id, const Segment& segment) {
  Bytes out = Coded(0x50000, 0, id);
  const Bytes record = segment.Encode();
  AppendBytes(out, record.data(), record.size());
  return out;
}

Bytes DirectShowSample(uint32_t id, const SampleInfo& info, const Bytes& data) {
  Bytes out = Coded(0x50100, 0, id);
  Append(out, info.typeSpecificFlags, 4);
  Append(out, info.sampleFlags, 4);
  Append(out, uint32_t(info.actual), 4);
  Append(out, uint64_t(info.start), 8);
  Append(out, uint64_t(info.stop), 8);
  Zeros(out, 8);
  Append(out, data.size(), 4);
  AppendBytes(out, data.data(), data.size());
  return out;
}

Bytes JpegFrame(uint32_t id, const Bytes& jpeg, const Rect& target, int64_t timestamp) {
  return Frame(0x50200, id, jpeg, target, timestamp);
}

Bytes H264Frame(const Bytes& data, const Rect& target, int64_t timestamp) {
  return Frame(0x50300, 0, data, target, timestamp);
}

Bytes PlayerData(uint32_t code, uint32_t id, uint32_t kind, const Bytes& payload) {
  Bytes out = Coded(code, 0, id);
  Append(out, kind, 4);
  Zeros(out, 72 - out.size());
  Append(out, payload.size(), 4);
  AppendBytes(out, payload.data(), payload.size());
  return out;
}

Bytes Allocator(uint32_t id, int32_t buffers, int32_t bufferSize, int32_t align, int32_t prefix) {
  Bytes out = Coded(0x80000, 0, id);
  const Bytes a = Allocation(buffers, bufferSize, align, prefix);
  AppendBytes(out, a.data(), a.size());
  return out;
}

Bytes CreateFromFormat(uint32_t id, const FormatRecord& format, uint32_t colourKey) {
  Bytes out = Coded(0x80100, 0, id);
  Append(out, 64 + format.block.size(), 4);
  Append(out, format.flags, 4);
  Append(out, format.sampleSize, 4);
  Zeros(out, 8);
  Put(out, format.majorType);
  Put(out, format.subtype);
  Put(out, format.formatType);
  Append(out, colourKey, 4);
  Append(out, format.block.size(), 4);
  AppendBytes(out, format.block.data(), format.block.size());
  return out;
}

Bytes CreateHardware(uint32_t id, const Guid& profile, uint32_t colourKey) {
  Bytes out = Coded(0x80200, 0, id);
  Zeros(out, 4);
  Put(out, profile);
  Zeros(out, 8);
  Append(out, colourKey, 4);
  Zeros(out, 184 - out.size());
  return out;
}

Bytes CreatePlayer(uint32_t id, uint32_t kind, uint32_t fourcc, int32_t width, int32_t height,
                   const Bytes& codecData) {
  Bytes out = Coded(0x80300, 0, id);
  Append(out, kind, 4);
  Append(out, fourcc, 4);
  Append(out, uint32_t(width), 4);
  Append(out, uint32_t(height), 4);
  Zeros(out, 60 - out.size());
  Append(out, codecData.size(), 4);
  AppendBytes(out, codecData.data(), codecData.size());
  return out;
}

Bytes LegacyAudioFormat(uint32_t id, const WaveFormat& format) {
  return Legacy(3, 4, id, format.Encode());
}

Bytes LegacyData(uint32_t id, const Bytes& data) { return Legacy(7, 4, id, data); }

Bytes LegacySample(const SampleInfo& info, const Bytes& data) {
  // The sample-information record takes the place of the stream id.
  Bytes out{0x11, 7, 0, 56};
  Append(out, 56 + data.size(), 4);
  const Bytes record = info.Encode();
  AppendBytes(out, record.data(), record.size());
  AppendBytes(out, data.data(), data.size());
  return out;
}

Bytes LegacyFormat(uint32_t id, const FormatRecord& format) {
  return Legacy(10, 4, id, format.Encode());
}

Bytes LegacyAllocator(uint32_t id, int32_t buffers, int32_t bufferSize, int32_t align,
                      int32_t prefix) {
  return Legacy(12, 4, id, Allocation(buffers, bufferSize, align, prefix));
}

Bytes LegacySegment(uint32_t id, const Segment& segment) {
  return Legacy(16, 4, id, segment.Encode());
}

Bytes LegacyControl(uint8_t type, uint8_t value, uint32_t id) {
  Bytes out{0x02, type, 0, value};
  Append(out, id, 4);
  return out;
}

}  // namespace stream
}  // namespace testhost
