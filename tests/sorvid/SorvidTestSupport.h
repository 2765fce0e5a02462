// Records and little-endian helpers shared by the video filter library's
// tests.
#pragma once

#include <cstring>
#include <vector>

#include "pelplat/strmif.h"
#include "streamshared/StreamRecords.h"

inline void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = v & 0xFF;
  b[at + 1] = v >> 8;
}

// A video record whose block holds a picture header at `bmiOffset`.
inline StreamFormatRecord VideoRecord(const GUID& subtype, const GUID& formatType, size_t blockSize, int width,
                                      int height, int bits = 24, size_t bmiOffset = 48) {
  StreamFormatRecord r;
  r.majorType = MEDIATYPE_Video;
  r.subtype = subtype;
  r.formatType = formatType;
  r.block.assign(blockSize, 0);
  if (blockSize >= bmiOffset + 16) {
    PutU32(r.block, bmiOffset, 40);
    PutU32(r.block, bmiOffset + 4, static_cast<uint32_t>(width));
    PutU32(r.block, bmiOffset + 8, static_cast<uint32_t>(height));
    PutU16(r.block, bmiOffset + 12, 1);
    PutU16(r.block, bmiOffset + 14, static_cast<uint16_t>(bits));
  }
  r.size = static_cast<uint32_t>(64 + blockSize);
  return r;
}
