// The records that carry a stream's format, one sample's properties and a
// new segment, read and written field by field. Fields that were 32-bit
// pointers on the sending side stay plain numbers here. The video filter
// library takes the records as they are; their wire code is the core's
// (streams/StreamRecords.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelplat/wintypes.h"

class ByteReader;
class ByteWriter;

void ReadGuid(ByteReader& in, GUID* guid);
void WriteGuid(ByteWriter& out, const GUID& guid);

struct StreamFormatRecord {
  static constexpr uint32_t kHeadSize = 64;
  // A whole record, format block included, stays below this.
  static constexpr uint32_t kSizeLimit = 1000;
  static constexpr uint32_t kTemporalCompression = 1;
  static constexpr uint32_t kFixedSizeSamples = 2;

  uint32_t size = kHeadSize;  // head plus format block
  uint32_t flags = 0;
  uint32_t sampleSize = 0;
  uint32_t reserved = 0;
  GUID majorType{};
  GUID subtype{};
  GUID formatType{};
  std::vector<uint8_t> block;

  // The head, then size - 64 bytes of format block. False (reader bad) when
  // the size is below the head or the bytes are not all there.
  bool Read(ByteReader& in);
  // Writes the head and the block as they stand (the size field as stored).
  void Write(ByteWriter& out) const;
  // The head and block; size is the byte count.
  std::vector<uint8_t> ToBytes() const;
};

struct SampleInfoRecord {
  static constexpr uint32_t kSize = 56;
  static constexpr uint32_t kPropertiesSize = 48;

  uint32_t streamId = 0;
  uint32_t reserved = 0;
  uint32_t cbData = kPropertiesSize;
  uint32_t typeSpecificFlags = 0;
  uint32_t sampleFlags = 0;
  int32_t actual = 0;
  int64_t start = 0;
  int64_t stop = 0;
  uint32_t propertiesStreamId = 0;
  uint32_t mediaTypePointer = 0;  // a 32-bit pointer of the sender, never followed
  uint32_t bufferPointer = 0;     // the same
  int32_t bufferLength = 0;

  bool Read(ByteReader& in);
  void Write(ByteWriter& out) const;
};

struct SegmentRecord {
  static constexpr uint32_t kSize = 24;
  int64_t start = 0;
  int64_t stop = 0;
  double rate = 1.0;

  bool Read(ByteReader& in);
  void Write(ByteWriter& out) const;
};

// The 18-byte head of a wave format and the extra bytes its last field
// counts.
struct WaveFormatRecord {
  static constexpr uint32_t kHeadSize = 18;
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t extraSize = 0;
  std::vector<uint8_t> extra;

  bool Read(ByteReader& in);
  void Write(ByteWriter& out) const;
};

// Buffer count, buffer size, alignment and prefix of a sample allocator.
struct AllocatorPropertiesRecord {
  static constexpr uint32_t kSize = 16;
  int32_t buffers = 0;
  int32_t bufferSize = 0;
  int32_t align = 0;
  int32_t prefix = 0;

  bool Read(ByteReader& in);
  void Write(ByteWriter& out) const;
};
