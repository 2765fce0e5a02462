#include "RdpNdr.h"

namespace rdpesc {

const NdrFaultCode kNdrFaultCodes[] = {
    {NdrFault::kShortBuffer, kRpcBadStubData, "a field runs past the end of the object"},
    {NdrFault::kBadVersion, kRpcWrongEsVersion, "serialization version is not 1"},
    {NdrFault::kBadHeader, kRpcBadStubData, "bad serialization header or object length"},
    {NdrFault::kOutOfRange, kRpcInvalidBound, "count outside its range"},
    {NdrFault::kCountMismatch, kRpcBadStubData, "array conformance differs from its count"},
    {NdrFault::kBadString, kRpcInvalidBound, "bad string offset or length"},
    {NdrFault::kNoTerminator, kRpcBadStubData, "string not terminated where its length ends"},
    {NdrFault::kNoHandle, kEFail, "no decoding handle"},
    {NdrFault::kNoMemory, kOutOfMemory, "output cannot be allocated"},
};
const size_t kNdrFaultCodeCount = sizeof(kNdrFaultCodes) / sizeof(kNdrFaultCodes[0]);

uint32_t CodeOf(NdrFault fault) {
  for (const NdrFaultCode& f : kNdrFaultCodes) {
    if (f.fault == fault) return f.code;
  }
  return kRpcBadStubData;
}

namespace {
constexpr uint8_t kVersion = 1;
constexpr uint8_t kLittleEndian = 0x10;
constexpr uint16_t kCommonHeaderLength = 8;
constexpr uint32_t kFiller = 0xCCCCCCCC;
}  // namespace

uint32_t NdrOpenPickle(const uint8_t* data, size_t length, const uint8_t** body, size_t* bodyLength) {
  ByteReader r(data, length);
  const uint8_t version = r.U8();
  const uint8_t endianness = r.U8();
  const uint16_t headerLength = r.U16();
  r.U32();  // filler
  const uint32_t objectLength = r.U32();
  r.U32();  // filler
  if (!r.Ok()) return CodeOf(NdrFault::kShortBuffer);
  if (version != kVersion) return CodeOf(NdrFault::kBadVersion);
  if (endianness != kLittleEndian || headerLength != kCommonHeaderLength) return CodeOf(NdrFault::kBadHeader);
  if (objectLength > r.Remaining()) return CodeOf(NdrFault::kShortBuffer);
  *body = r.Take(objectLength);
  *bodyLength = objectLength;
  return 0;
}

void NdrWritePickleHeader(ByteWriter& w, uint32_t bodyLength) {
  w.U8(kVersion);
  w.U8(kLittleEndian);
  w.U16(kCommonHeaderLength);
  w.U32(kFiller);
  w.U32(bodyLength);
  w.U32(0);
}

}  // namespace rdpesc
