// The framed writer against the test host.
#include <gtest/gtest.h>

#include "SessionDoubles.h"
#include "transport/PacketHeader.h"
#include "transport/Status.h"

using namespace sessiontest;

namespace {

TEST(Send, FramesCarryLengthKindSlotAndAZeroWord) {
  LoopbackSession s;
  ASSERT_TRUE(s.Open());
  struct Case {
    uint16_t slot;
    uint16_t kind;
    uint32_t length;
  };
  const Case cases[] = {{3, 2, 1}, {PacketHeader::kControlSlot, 5, 4}, {19, 2, 1013}, {0, 7, 1012}, {1, 2, 70000}};
  for (const Case& c : cases) {
    std::vector<uint8_t> payload(c.length);
    for (uint32_t i = 0; i < c.length; ++i) payload[i] = static_cast<uint8_t>(i * 3 + c.slot);
    ASSERT_EQ(s.connection->Send(c.slot, payload.data(), c.length, &c.kind), static_cast<int>(c.length));
    testhost::Frame f;
    ASSERT_EQ(s.peer->ReadFrame(&f, 5000), testhost::ReadResult::kFrame);
    EXPECT_EQ(f.header.length, c.length);
    EXPECT_EQ(f.header.kind, c.kind);
    EXPECT_EQ(f.header.slot, c.slot);
    EXPECT_EQ(f.header.subKind, 0);
    EXPECT_EQ(f.header.index, 0);
    EXPECT_EQ(f.header.reserved, 0);
    EXPECT_EQ(f.payload, payload);
  }
  const uint16_t kind = 2;
  EXPECT_EQ(s.connection->Send(3, nullptr, 5, &kind), 0);
  EXPECT_EQ(s.connection->Send(3, "x", 0, &kind), 0);
}

TEST(Send, APeerThatNeverReadsGetsWholeFramesThenZero) {
  LoopbackSession s;
  ASSERT_TRUE(s.Open());
  std::vector<uint8_t> payload(1024, 0x5A);
  const uint16_t kind = 2;
  int whole = 0;
  int last = 0;
  for (int i = 0; i < 100000; ++i) {
    last = s.connection->Send(4, payload.data(), static_cast<uint32_t>(payload.size()), &kind);
    if (last != static_cast<int>(payload.size())) break;
    ++whole;
  }
  EXPECT_EQ(last, 0);
  EXPECT_GT(whole, 0);
  // Everything that was reported as sent arrives as whole frames.
  s.peer->StartRecording();
  ASSERT_TRUE(s.peer->WaitForFrames(static_cast<size_t>(whole), 10000));
  auto frames = s.peer->Frames();
  ASSERT_EQ(frames.size(), static_cast<size_t>(whole));
  EXPECT_EQ(frames.back().payload, payload);
  EXPECT_EQ(s.connection->Send(4, payload.data(), 10, &kind), 10);
}

// A frame that cannot be finished never answers a short count: the stream
// would be out of step. It answers -1 and the session ends.
TEST(Send, AFrameThatBreaksOffEndsTheSession) {
  DebugCapture log;
  LoopbackSession s;
  ASSERT_TRUE(s.Open());
  s.connection->StopLoop(0);  // no loop is running that would wait for the peer
  std::vector<uint8_t> big(32u << 20, 1);
  const uint16_t kind = 2;
  EXPECT_EQ(s.connection->Send(4, big.data(), static_cast<uint32_t>(big.size()), &kind), -1);
  EXPECT_TRUE(log.Contains("broke off"));
  uint64_t received = 0;
  EXPECT_TRUE(s.peer->WaitClosed(10000, &received));
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, big.size() + PacketHeader::kSize);
}

}  // namespace
