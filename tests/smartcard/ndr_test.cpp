// The smart-card marshalling against golden vectors written by hand from the
// published structure layouts (type serialization version 1, NDR 2.0,
// little-endian), with the ranges of the interface definition.
#include <gtest/gtest.h>

#include "GoldenVectors.h"
#include "RdpNdrHandles.h"

using namespace rdpesc;
using namespace scardsamples;

namespace {

// Replaces the 32-bit value at a position of the NDR data.
std::vector<uint8_t> Patch(std::vector<uint8_t> bytes, size_t bodyOffset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[kPickleHeaderSize + bodyOffset + i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

}  // namespace

TEST(SmartCardNdr, GoldenVectorsDecodeToTheirStructures) {
  for (const Vector& v : Vectors()) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(v.decodeAndCompare(v.bytes), 0u);
  }
}

TEST(SmartCardNdr, StructuresEncodeToTheirGoldenVectors) {
  for (const Vector& v : Vectors()) {
    SCOPED_TRACE(v.name);
    const std::vector<uint8_t> out = v.encode();
    EXPECT_EQ(out, v.bytes);
    // Every reply begins with the common header of type serialization 1.
    ASSERT_GE(out.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
              (std::vector<uint8_t>{0x01, 0x10, 0x08, 0x00, 0xCC, 0xCC, 0xCC, 0xCC}));
  }
}

TEST(SmartCardNdr, EveryPrefixOfEveryVectorIsRefused) {
  for (const Vector& v : Vectors()) {
    SCOPED_TRACE(v.name);
    const size_t size = v.bytes.size();
    for (size_t n = 0; n < size; ++n) {
      // The long vectors: every prefix near either end, a sample between.
      if (size > 4096 && n > 256 && n + 256 < size && n % 997) continue;
      // Each prefix in a buffer of its own, so a read past it shows.
      const std::vector<uint8_t> prefix(v.bytes.begin(), v.bytes.begin() + n);
      const uint32_t e = v.decodeAndCompare(prefix);
      EXPECT_NE(e, 0u) << n;
      EXPECT_NE(e, 0xFFFFFFFFu) << n;
    }
  }
}

TEST(SmartCardNdr, RangesAreEnforcedAtTheirEdges) {
  // Offsets inside the NDR data, from the golden layouts above.
  const std::vector<uint8_t> eleven = Make("", StatusChangeWMax(), NdrBytes()).encode();
  GetStatusChangeW_Call w;
  EXPECT_EQ(NdrDecode(eleven.data(), eleven.size(), w), 0u);
  EXPECT_EQ(NdrDecode(Patch(eleven, 12, 12).data(), eleven.size(), w), kRpcInvalidBound);

  // The last reader of the eleven carries a 36-byte ATR: its cbAtr is at
  // 20 (flat part) + 8 (context) + 4 (conformance) + 10 readers of 52 + 12.
  const size_t atrAt = 20 + 8 + 4 + 10 * 52 + 12;
  EXPECT_EQ(NdrDecode(Patch(eleven, atrAt, 36).data(), eleven.size(), w), 0u);
  EXPECT_EQ(NdrDecode(Patch(eleven, atrAt, 37).data(), eleven.size(), w), kRpcInvalidBound);

  NdrBytes ctx16;
  ctx16.U32(16).U32(R0).U32(16).Fill(16, 1);
  Context_Call c;
  EXPECT_EQ(NdrDecode(ctx16.Pickle().data(), ctx16.Pickle().size(), c), 0u);
  NdrBytes ctx17;
  ctx17.U32(17).U32(R0).U32(17).Fill(17, 1);
  EXPECT_EQ(NdrDecode(ctx17.Pickle().data(), ctx17.Pickle().size(), c), kRpcInvalidBound);

  // The encoder holds to the same ranges: the reader-state return takes ten.
  GetStatusChange_Return r = StatesReturnMax();
  r.cReaders = 11;
  r.rgReaderStates.items.push_back(r.rgReaderStates.items.back());
  std::vector<uint8_t> out;
  EXPECT_EQ(NdrEncode(r, out), kRpcInvalidBound);
  Status_Return s = StatusReturnMax();
  s.cbAtrLen = 33;
  EXPECT_EQ(NdrEncode(s, out), kRpcInvalidBound);
}

TEST(SmartCardNdr, MalformedRecordsGetTheirFaultCodes) {
  const struct {
    const char* what;
    NdrBytes body;
    uint32_t code;
  } cases[] = {
      {"conformance differs from the count", NdrBytes().U32(4).U32(R0).U32(5).Fill(5, 1), kRpcBadStubData},
      {"string offset not 0", NdrBytes().U32(0).U32(0).U32(R0).U32(2).U32(1).U32(1).Bytes({'a', 0}), kRpcInvalidBound},
      {"string longer than its maximum", NdrBytes().U32(0).U32(0).U32(R0).U32(1).U32(0).U32(2).Bytes({'a', 0}), kRpcInvalidBound},
      {"string of no characters", NdrBytes().U32(0).U32(0).U32(R0).U32(1).U32(0).U32(0), kRpcInvalidBound},
      {"string without terminator", NdrBytes().U32(0).U32(0).U32(R0).U32(2).U32(0).U32(2).Bytes({'a', 'b'}), kRpcBadStubData},
      {"string with an inner NUL", NdrBytes().U32(0).U32(0).U32(R0).U32(3).U32(0).U32(3).Bytes({'a', 0, 0}), kRpcBadStubData},
      {"count beyond the data", NdrBytes().U32(16).U32(R0).U32(16).Fill(8, 1), kRpcBadStubData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> bytes = c.body.Pickle();
    if (std::string(c.what).rfind("string", 0) == 0) {
      ContextAndStringA_Call s;
      EXPECT_EQ(NdrDecode(bytes.data(), bytes.size(), s), c.code);
    } else {
      Context_Call s;
      EXPECT_EQ(NdrDecode(bytes.data(), bytes.size(), s), c.code);
    }
  }

  std::vector<uint8_t> good = NdrBytes().U32(0).Pickle();
  Long_Return l;
  EXPECT_EQ(NdrDecode(good.data(), good.size(), l), 0u);
  std::vector<uint8_t> version = good;
  version[0] = 2;
  EXPECT_EQ(NdrDecode(version.data(), version.size(), l), kRpcWrongEsVersion);
  std::vector<uint8_t> bigEndian = good;
  bigEndian[1] = 0x00;
  EXPECT_EQ(NdrDecode(bigEndian.data(), bigEndian.size(), l), kRpcBadStubData);
  std::vector<uint8_t> longer = good;
  longer[8] = 16;
  EXPECT_EQ(NdrDecode(longer.data(), longer.size(), l), kRpcBadStubData);
}

TEST(SmartCardNdr, TheDecodingHandleFreesOnlyWhatItDecoded) {
  CRdpNdrDecodeHandle h;
  h.Open(nullptr, 8);
  Context_Call c;
  EXPECT_EQ(h.Decode(c), kEFail);

  const std::vector<uint8_t> bytes = NdrBytes().U32(4).U32(R0).U32(4).U32(kSampleContext).Pickle();
  h.Open(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ASSERT_EQ(h.Decode(c), 0u);
  EXPECT_EQ(h.DecodedTag(), Context_Call::kTag);
  Status_Call other;
  other.a = 5;
  h.Free(other);  // another structure: nothing happens
  EXPECT_EQ(other.a, 5u);
  EXPECT_EQ(h.DecodedTag(), Context_Call::kTag);
  h.Free(c);
  EXPECT_EQ(c.Context.cbContext, 0u);
  EXPECT_EQ(h.DecodedTag(), 0u);

  // A failed decode leaves the tag alone, so no free follows.
  const uint8_t empty[1] = {0};
  h.Open(empty, 0);
  EXPECT_EQ(h.Decode(c), kRpcBadStubData);
  EXPECT_EQ(h.DecodedTag(), 0u);
  h.Close();

  CRdpNdrEncodeBuffer e;
  e.Open();
  ASSERT_EQ(e.EncodeLongReturn(0x80100004), 0u);
  EXPECT_EQ(std::vector<uint8_t>(e.Buffer(), e.Buffer() + e.Length()), NdrBytes().U32(0x80100004).Pickle());
  e.Close();
  EXPECT_EQ(e.Length(), 0u);
}

TEST(SmartCardNdr, EveryFaultHasOneCode) {
  for (size_t i = 0; i < kNdrFaultCodeCount; ++i) {
    EXPECT_EQ(CodeOf(kNdrFaultCodes[i].fault), kNdrFaultCodes[i].code);
    EXPECT_NE(kNdrFaultCodes[i].code, 0u);
  }
}
