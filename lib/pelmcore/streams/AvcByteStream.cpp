#include "streams/AvcByteStream.h"

#include <cstring>

#include "sys/ByteReader.h"

namespace avc {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// Walks the record's units (SPS then PPS) and calls take(unit, length) for
// each; false when a unit runs past the end.
template <class Take>
bool WalkConfig(const uint8_t* record, uint32_t size, Take take) {
  if (!record || size < 12) return false;
  ByteReader in(record, size);
  in.Skip(5);
  for (int kind = 0; kind < 2; ++kind) {
    const uint32_t count = kind == 0 ? (in.U8() & 0x1F) : in.U8();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* big = in.Take(2);
      const uint32_t length = big ? (static_cast<uint32_t>(big[0]) << 8 | big[1]) : 0;
      const uint8_t* unit = in.Take(length);
      if (!in.Ok()) return false;
      take(unit, length);
    }
  }
  return in.Ok();
}

}  // namespace

uint32_t AvcConfigToAnnexBSize(const uint8_t* record, uint32_t size) {
  uint64_t total = 0;
  if (!WalkConfig(record, size, [&](const uint8_t*, uint32_t length) { total += length + 4; })) return 0;
  return static_cast<uint32_t>(total);
}

std::vector<uint8_t> AvcConfigToAnnexB(const uint8_t* record, uint32_t size, uint32_t* lengthSize) {
  std::vector<uint8_t> out;
  *lengthSize = record && size >= 5 ? (record[4] & 3) + 1 : 0;
  if (AvcConfigToAnnexBSize(record, size) == 0) return out;
  WalkConfig(record, size, [&](const uint8_t* unit, uint32_t length) {
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), unit, unit + length);
  });
  return out;
}

uint32_t FindStartCode(const uint8_t* bytes, uint32_t size, uint32_t from) {
  if (!bytes || size < 3) return size;
  uint32_t i = from;
  // Four bytes at a time: a start code needs a zero in the first two.
  while (i + 4 <= size) {
    uint32_t word;
    std::memcpy(&word, bytes + i, 4);
    if (((word - 0x01010101u) & ~word & 0x80808080u) == 0) {
      i += 4;  // no zero byte: no code begins in these four
      continue;
    }
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i;
    ++i;
  }
  for (; i + 3 <= size; ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i;
  return size;
}

bool FindAnnexBParameterSets(const uint8_t* bytes, uint32_t size, ParameterSets* sets) {
  *sets = ParameterSets();
  if (!bytes) return false;
  uint32_t code = FindStartCode(bytes, size, 0);
  while (code < size) {
    const uint32_t begin = code + 3;
    const uint32_t next = FindStartCode(bytes, size, begin);
    uint32_t end = next;
    while (end > begin && next < size && bytes[end - 1] == 0) --end;  // zeros before the next code
    if (end - begin >= 2) {
      const uint8_t type = bytes[begin] & 0x1F;
      if (type >= 1 && type <= 5) break;
      std::vector<uint8_t>* slot = type == 7 ? &sets->sps : type == 8 ? &sets->pps : type == 13 ? &sets->spsExtension
                                                                                             : nullptr;
      if (slot && slot->empty()) slot->assign(bytes + begin, bytes + end);
    }
    code = next;
  }
  return !sets->sps.empty() || !sets->pps.empty();
}

void AvcToAnnexB(uint8_t* bytes, uint32_t length, uint32_t lengthSize) {
  if (!bytes || lengthSize != 4) return;
  uint64_t at = 0;
  while (at + 4 <= length) {
    const uint32_t unit = static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
                          static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
    if (static_cast<int32_t>(unit) < 0 || unit > length - at - 4) return;
    std::memcpy(bytes + at, kStartCode, 4);
    at += 4 + static_cast<uint64_t>(unit);
  }
}

}  // namespace avc
