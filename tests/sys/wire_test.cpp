// The bounded reader and writer.
#include <gtest/gtest.h>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace {

TEST(ByteReader, LittleEndianFieldsAndOneCheckAtTheEnd) {
  const uint8_t bytes[] = {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC,
                           0x9A, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF};
  ByteReader r(bytes, sizeof bytes);
  EXPECT_EQ(r.U8(), 0x01);
  EXPECT_EQ(r.U16(), 0x1234);
  EXPECT_EQ(r.U32(), 0x12345678u);
  EXPECT_EQ(r.U64(), 0x123456789ABCDEF0ull);
  EXPECT_EQ(r.I16(), -2);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(ByteReader, AGetPastTheEndYieldsZeroConsumesNothingAndStaysBad) {
  const uint8_t bytes[] = {1, 2, 3};
  ByteReader r(bytes, sizeof bytes);
  EXPECT_EQ(r.U16(), 0x0201);
  EXPECT_EQ(r.U32(), 0u);
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.Position(), 2u);
  EXPECT_EQ(r.U8(), 0u);  // bad stays bad, even for a get that would fit
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_FALSE(r.Bytes(out, sizeof out));
  EXPECT_EQ(out[0] | out[1] | out[2] | out[3], 0);
  EXPECT_EQ(r.Take(1), nullptr);

  ByteReader none(nullptr, 100);
  EXPECT_EQ(none.U8(), 0u);
  EXPECT_FALSE(none.Ok());
  ByteReader huge(bytes, sizeof bytes);
  EXPECT_EQ(huge.Take(SIZE_MAX), nullptr);
  EXPECT_FALSE(huge.Ok());
}

TEST(ByteWriter, BoundedPuts) {
  uint8_t out[7] = {};
  ByteWriter w(out, sizeof out);
  w.U16(0xBEEF);
  w.U32(0x01020304);
  EXPECT_TRUE(w.Ok());
  w.U16(0xFFFF);  // one byte left: nothing written
  EXPECT_FALSE(w.Ok());
  w.U8(0x77);
  const uint8_t want[] = {0xEF, 0xBE, 0x04, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(memcmp(out, want, sizeof out), 0);
}


}  // namespace
