// Codes and offsets of the stream slot's messages, as the client reads
// them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace streammsg {

// A reader over the message standing at offset (bad when the message is
// shorter).
inline ByteReader At(const uint8_t* message, uint32_t length, size_t offset) {
  ByteReader in(message, length);
  in.Skip(offset);
  return in;
}
inline uint32_t U32At(const uint8_t* message, uint32_t length, size_t offset) {
  return At(message, length, offset).U32();
}
inline int64_t I64At(const uint8_t* message, uint32_t length, size_t offset) {
  return static_cast<int64_t>(At(message, length, offset).U64());
}
// n bytes at offset in place, or null when they are not all there.
inline const uint8_t* BytesAt(const uint8_t* message, uint32_t length, size_t offset, size_t n) {
  return At(message, length, offset).Take(n);
}
inline RECT ReadRect(ByteReader& in) {
  RECT r;
  r.left = in.I32();
  r.top = in.I32();
  r.right = in.I32();
  r.bottom = in.I32();
  return r;
}

// Coded messages (first byte 0).
constexpr uint32_t kReserve = 0x30000;
constexpr uint32_t kWindowRect = 0x30100;
constexpr uint32_t kState = 0x30200;
constexpr uint32_t kCommand = 0x30300;
constexpr uint32_t kClose = 0x40200;
constexpr uint32_t kViewUpdate = 0x40300;
constexpr uint32_t kSegment = 0x50000;
constexpr uint32_t kDirectShowSample = 0x50100;
constexpr uint32_t kJpegFrame = 0x50200;
constexpr uint32_t kH264Frame = 0x50300;
constexpr uint32_t kPlayerData = 0x50400;
constexpr uint32_t kPlayerData2 = 0x50500;
constexpr uint32_t kAllocator = 0x80000;
constexpr uint32_t kCreateFromFormat = 0x80100;
constexpr uint32_t kCreateHardware = 0x80200;
constexpr uint32_t kCreatePlayer = 0x80300;

// Frame messages (JPEG and H.264): header, then n data bytes.
constexpr uint32_t kFrameHeader = 56;
constexpr uint32_t kFrameMinimum = 64;
constexpr uint32_t kFrameTimestamp = 16;
constexpr uint32_t kFrameWidth = 24;
constexpr uint32_t kFrameHeight = 28;
constexpr uint32_t kFrameRect = 40;

// Flag-byte messages.
constexpr uint8_t kFlagStream = 0x01;
constexpr uint8_t kFlagStreamAlso = 0x10;
constexpr uint8_t kFlagControl = 0x02;
constexpr uint32_t kFlagHeader = 8;
constexpr uint8_t kTypeAudioFormat = 3;
constexpr uint8_t kTypeData = 7;
constexpr uint8_t kTypeFormat = 10;
constexpr uint8_t kTypeAllocator = 12;
constexpr uint8_t kTypeSegment = 16;
constexpr uint8_t kControlState = 4;
constexpr uint8_t kControlReserve = 13;
constexpr uint8_t kControlClose = 14;
constexpr uint8_t kControlCommand = 15;
// Header size of a sample with its sample-information record.
constexpr uint8_t kSampleHeader = 56;
constexpr uint32_t kSampleInfoAt = 8;
constexpr uint32_t kSampleStartAt = 32;
constexpr uint32_t kSampleDataAt = 64;

// right - left (or bottom - top) of a rectangle from the wire, which may
// lie anywhere.
inline int Span(LONG from, LONG to) { return static_cast<int>(int64_t(to) - from); }

inline void WriteRect(ByteWriter& out, const RECT& r) {
  out.I32(r.left);
  out.I32(r.top);
  out.I32(r.right);
  out.I32(r.bottom);
}

// The first 8 bytes of a flag-byte message (a coded message has flags 0).
struct LegacyHead {
  uint8_t flags = 0;
  uint8_t type = 0;
  uint8_t headerSize = 0;  // control messages: the value
  uint32_t body = 0;       // stream messages: bytes after these 8; control: the stream id

  // False when fewer than 8 bytes were delivered.
  bool Read(const uint8_t* message, uint32_t length) {
    ByteReader in(message, length);
    flags = in.U8();
    type = in.U8();
    in.U8();
    headerSize = in.U8();
    body = in.U32();
    return in.Ok();
  }
};

inline uint8_t FirstByte(const uint8_t* message, uint32_t length) {
  return ByteReader(message, length).U8();
}

// The 56-byte head of a JPEG or H.264 frame message.
struct FrameHeader {
  uint32_t code = 0;
  uint32_t dataLength = 0;
  uint32_t streamId = 0;
  uint32_t field12 = 0;
  int64_t timestamp = 0;
  int32_t width = 0;   // pre-decoded pixels only
  int32_t height = 0;
  uint32_t field32 = 0;
  uint32_t field36 = 0;
  RECT rect{};

  bool Read(ByteReader& in) {
    code = in.U32();
    dataLength = in.U32();
    streamId = in.U32();
    field12 = in.U32();
    timestamp = static_cast<int64_t>(in.U64());
    width = in.I32();
    height = in.I32();
    field32 = in.U32();
    field36 = in.U32();
    rect = ReadRect(in);
    return in.Ok();
  }
  void Write(ByteWriter& out) const {
    out.U32(code);
    out.U32(dataLength);
    out.U32(streamId);
    out.U32(field12);
    out.U64(static_cast<uint64_t>(timestamp));
    out.I32(width);
    out.I32(height);
    out.U32(field32);
    out.U32(field36);
    WriteRect(out, rect);
  }
};

}  // namespace streammsg
