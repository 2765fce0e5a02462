// H.264 byte formats: the AVC decoder configuration record and NAL unit
// lengths (ISO/IEC 14496-15) against the Annex B byte stream with start
// codes. Every read is checked against the bytes given.
#pragma once

#include <cstdint>
#include <vector>

namespace avc {

// Bytes the record's SPS and PPS take as Annex B (each unit + 4); 0 for a
// record under 12 bytes or one whose units run past its end.
uint32_t AvcConfigToAnnexBSize(const uint8_t* record, uint32_t size);
// Every SPS, then every PPS, behind 00 00 00 01; empty when the size above
// is 0. lengthSize gets (byte 4 & 3) + 1, or 0 for a record too short.
std::vector<uint8_t> AvcConfigToAnnexB(const uint8_t* record, uint32_t size, uint32_t* lengthSize);

struct ParameterSets {
  std::vector<uint8_t> sps, pps, spsExtension;  // each from its header byte on
};
// The first SPS, PPS and SPS extension before the first coded slice; true
// when an SPS or a PPS was found.
bool FindAnnexBParameterSets(const uint8_t* bytes, uint32_t size, ParameterSets* sets);

// Rewrites 4-byte big-endian unit lengths in place as 00 00 00 01; stops at
// a length that is negative or runs past the end. Other length sizes are
// left as they are.
void AvcToAnnexB(uint8_t* bytes, uint32_t length, uint32_t lengthSize);

// Offset of the next 00 00 01 at or after `from`, or size when none.
uint32_t FindStartCode(const uint8_t* bytes, uint32_t size, uint32_t from);

}  // namespace avc
