#include "streamshared/StreamRecords.h"

#include <cstring>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

void ReadGuid(ByteReader& in, GUID* guid) {
  guid->Data1 = in.U32();
  guid->Data2 = in.U16();
  guid->Data3 = in.U16();
  in.Bytes(guid->Data4, sizeof guid->Data4);
}

void WriteGuid(ByteWriter& out, const GUID& guid) {
  out.U32(guid.Data1);
  out.U16(guid.Data2);
  out.U16(guid.Data3);
  out.Bytes(guid.Data4, sizeof guid.Data4);
}

bool StreamFormatRecord::Read(ByteReader& in) {
  size = in.U32();
  flags = in.U32();
  sampleSize = in.U32();
  reserved = in.U32();
  ReadGuid(in, &majorType);
  ReadGuid(in, &subtype);
  ReadGuid(in, &formatType);
  if (!in.Ok() || size < kHeadSize) {
    block.clear();
    return false;
  }
  const uint8_t* bytes = in.Take(size - kHeadSize);
  if (!bytes) {
    block.clear();
    return false;
  }
  block.assign(bytes, bytes + (size - kHeadSize));
  return true;
}

void StreamFormatRecord::Write(ByteWriter& out) const {
  out.U32(size);
  out.U32(flags);
  out.U32(sampleSize);
  out.U32(reserved);
  WriteGuid(out, majorType);
  WriteGuid(out, subtype);
  WriteGuid(out, formatType);
  out.Bytes(block.data(), block.size());
}

std::vector<uint8_t> StreamFormatRecord::ToBytes() const {
  std::vector<uint8_t> bytes(kHeadSize + block.size());
  ByteWriter out(bytes.data(), bytes.size());
  Write(out);
  return bytes;
}

bool SampleInfoRecord::Read(ByteReader& in) {
  streamId = in.U32();
  reserved = in.U32();
  cbData = in.U32();
  typeSpecificFlags = in.U32();
  sampleFlags = in.U32();
  actual = in.I32();
  start = static_cast<int64_t>(in.U64());
  stop = static_cast<int64_t>(in.U64());
  propertiesStreamId = in.U32();
  mediaTypePointer = in.U32();
  bufferPointer = in.U32();
  bufferLength = in.I32();
  return in.Ok();
}

void SampleInfoRecord::Write(ByteWriter& out) const {
  out.U32(streamId);
  out.U32(reserved);
  out.U32(cbData);
  out.U32(typeSpecificFlags);
  out.U32(sampleFlags);
  out.I32(actual);
  out.U64(static_cast<uint64_t>(start));
  out.U64(static_cast<uint64_t>(stop));
  out.U32(propertiesStreamId);
  out.U32(mediaTypePointer);
  out.U32(bufferPointer);
  out.I32(bufferLength);
}

bool SegmentRecord::Read(ByteReader& in) {
  start = static_cast<int64_t>(in.U64());
  stop = static_cast<int64_t>(in.U64());
  const uint64_t bits = in.U64();
  std::memcpy(&rate, &bits, sizeof rate);
  return in.Ok();
}

void SegmentRecord::Write(ByteWriter& out) const {
  out.U64(static_cast<uint64_t>(start));
  out.U64(static_cast<uint64_t>(stop));
  uint64_t bits = 0;
  std::memcpy(&bits, &rate, sizeof rate);
  out.U64(bits);
}

bool WaveFormatRecord::Read(ByteReader& in) {
  formatTag = in.U16();
  channels = in.U16();
  samplesPerSec = in.U32();
  avgBytesPerSec = in.U32();
  blockAlign = in.U16();
  bitsPerSample = in.U16();
  extraSize = in.U16();
  const uint8_t* bytes = in.Take(extraSize);
  if (bytes)
    extra.assign(bytes, bytes + extraSize);
  else
    extra.clear();
  return in.Ok();
}

void WaveFormatRecord::Write(ByteWriter& out) const {
  out.U16(formatTag);
  out.U16(channels);
  out.U32(samplesPerSec);
  out.U32(avgBytesPerSec);
  out.U16(blockAlign);
  out.U16(bitsPerSample);
  out.U16(extraSize);
  out.Bytes(extra.data(), extra.size());
}

bool AllocatorPropertiesRecord::Read(ByteReader& in) {
  buffers = in.I32();
  bufferSize = in.I32();
  align = in.I32();
  prefix = in.I32();
  return in.Ok();
}

void AllocatorPropertiesRecord::Write(ByteWriter& out) const {
  out.I32(buffers);
  out.I32(bufferSize);
  out.I32(align);
  out.I32(prefix);
}
