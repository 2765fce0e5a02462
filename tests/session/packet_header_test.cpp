// The frame header's byte layout.
#include <gtest/gtest.h>

#include "transport/PacketHeader.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace {

TEST(PacketHeader, ByteLayout) {
  const uint8_t wire[] = {0x05, 0x00, 0x01, 0x00, 0x02, 0x00, 0xFA, 0xFA, 0x10, 0xAA, 0x34, 0x12};
  PacketHeader h;
  ASSERT_TRUE(PacketHeader::Read(wire, sizeof wire, &h));
  EXPECT_EQ(h.length, 0x10005u);
  EXPECT_EQ(h.kind, 2);
  EXPECT_EQ(h.slot, PacketHeader::kControlSlot);
  EXPECT_EQ(h.subKind, 0x10);
  EXPECT_EQ(h.index, 0xAA);
  EXPECT_EQ(h.reserved, 0x1234);
  uint8_t back[12];
  ASSERT_TRUE(h.Write(back, sizeof back));
  EXPECT_EQ(memcmp(back, wire, sizeof wire), 0);
  EXPECT_FALSE(PacketHeader::Read(wire, 11, &h));
  EXPECT_FALSE(h.Write(back, 11));
}

TEST(PacketHeader, IndexNumbers) {
  struct Case {
    uint8_t byte;
    uint8_t index;
  };
  for (Case c : {Case{0xAA, 0}, Case{0x00, 0}, Case{0x02, 2}, Case{0x1A, 10}, Case{0xF3, 3}, Case{0x0F, 15}}) {
    PacketHeader h;
    h.index = c.byte;
    EXPECT_EQ(h.IndexNumber(), c.index) << int(c.byte);
  }
}

}  // namespace
