// The audio/video sync ring: both selection policies with their edge
// values, a full ring, the wrap of its head and a clock written by another
// thread while it is read.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "session/AudioClockRecord.h"
#include "streams/AvSyncRing.h"

namespace {

// A one-byte message holding the low byte of the timestamp.
void Push(AvSyncRing& ring, int64_t timestamp) {
  const uint8_t tag = uint8_t(timestamp);
  ASSERT_TRUE(ring.Push(timestamp, &tag, 1));
}

enum class Flag { kNone, kGiven };

struct Outcome {
  bool returned;
  int64_t timestamp;
  bool onTime;
};

Outcome Take(AvSyncRing& ring, uint64_t clock, uint32_t mode, Flag flag) {
  bool onTime = true;  // must be cleared by the ring
  std::unique_ptr<AvSyncEntry> e = ring.TakeDue(clock, flag == Flag::kGiven ? &onTime : nullptr, mode);
  if (!e) return {false, 0, flag == Flag::kGiven ? onTime : false};
  EXPECT_EQ(e->length, 1u);
  EXPECT_EQ(e->bytes[0], uint8_t(e->timestamp));
  return {true, e->timestamp, flag == Flag::kGiven ? onTime : false};
}

}  // namespace

TEST(AvSyncRing, SelectionFollowsTheClock) {
  const struct {
    const char* name;
    uint32_t mode;
    std::vector<int64_t> queued;
    Flag flag;
    Outcome expected;
    uint32_t left;
  } cases[] = {
      {"window: 50 ahead is on time", 1, {1050}, Flag::kGiven, {true, 1050, true}, 0},
      {"window: 100 ahead is on time", 1, {1100}, Flag::kNone, {true, 1100, false}, 0},
      {"window: 101 ahead waits", 1, {1101}, Flag::kGiven, {false, 0, false}, 1},
      {"window: late frame dropped", 1, {999}, Flag::kNone, {false, 0, false}, 0},
      {"window: late frame released late", 1, {999}, Flag::kGiven, {true, 999, false}, 0},
      {"window: late dropped, next on time", 1, {990, 1010}, Flag::kNone, {true, 1010, false}, 0},
      {"mode 0 is the window", 0, {1050}, Flag::kGiven, {true, 1050, true}, 0},
      {"plan: one at 5 ahead released, flag clear", 2, {1005}, Flag::kGiven, {true, 1005, false}, 0},
      {"plan: one at 5 ahead released", 2, {1005}, Flag::kNone, {true, 1005, false}, 0},
      {"plan: five queued, two dropped", 2, {1005, 1006, 1007, 1008, 1009}, Flag::kNone,
       {true, 1007, false}, 2},
      {"plan: at the clock dropped", 2, {1000}, Flag::kNone, {false, 0, false}, 0},
      {"plan: 8 ahead on time", 2, {1008}, Flag::kGiven, {true, 1008, true}, 0},
      {"plan: a decoder gets a crowded frame", 2, {1005, 1006, 1007, 1008, 1009}, Flag::kGiven,
       {true, 1005, false}, 4},
      {"plan: a decoder gets a late frame", 2, {990, 1020}, Flag::kGiven, {true, 990, false}, 1},
      {"empty ring", 1, {}, Flag::kGiven, {false, 0, false}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AvSyncRing ring;
    for (int64_t t : c.queued) Push(ring, t);
    const Outcome got = Take(ring, 1000, c.mode, c.flag);
    EXPECT_EQ(got.returned, c.expected.returned);
    EXPECT_EQ(got.timestamp, c.expected.timestamp);
    EXPECT_EQ(got.onTime, c.expected.onTime);
    EXPECT_EQ(ring.Count(), c.left);
  }
}

TEST(AvSyncRing, AFullRingRefusesTheNextFrame) {
  AvSyncRing ring;
  for (int i = 0; i < int(AvSyncRing::kCapacity); ++i) Push(ring, 5000 + i);
  EXPECT_EQ(ring.Count(), 1000u);
  const uint8_t byte = 0;
  EXPECT_FALSE(ring.Push(1, &byte, 1));
  EXPECT_EQ(ring.Count(), 1000u);
  EXPECT_EQ(ring.Front()->timestamp, 5000);
  // Selection still runs on what is queued.
  EXPECT_EQ(Take(ring, 4990, 1, Flag::kGiven).timestamp, 5000);
  EXPECT_EQ(ring.Count(), 999u);
}

TEST(AvSyncRing, TheHeadWrapsAfterSlot999) {
  AvSyncRing ring;
  for (int i = 0; i < 999; ++i) {
    Push(ring, i);
    ASSERT_TRUE(ring.PopFront());
  }
  // The head now stands at slot 999: the next two land in 999 and 0.
  Push(ring, 7001);
  Push(ring, 7002);
  Push(ring, 7003);
  EXPECT_EQ(ring.PopFront()->timestamp, 7001);
  EXPECT_EQ(ring.PopFront()->timestamp, 7002);
  EXPECT_EQ(ring.PopFront()->timestamp, 7003);
  EXPECT_FALSE(ring.PopFront());
  EXPECT_EQ(ring.Front(), nullptr);
}

TEST(AvSyncRing, TheClockIsReadWhileTheAudioThreadWritesIt) {
  AudioClockRecord clock;
  clock.SetMode(AudioClockRecord::kPcmFormat);
  std::atomic<bool> done{false};
  std::thread audio([&] {
    for (uint64_t t = 1; t <= 20000; ++t) clock.StorePosition(t);
    clock.ClearPosition();
    done = true;
  });
  AvSyncRing ring;
  uint64_t last = 0;
  while (!done) {
    const uint64_t now = clock.Position();
    if (now == 0) continue;
    EXPECT_GE(now, last);
    last = now;
    const uint8_t byte = 0;
    ring.Push(int64_t(now) + 10, &byte, 1);
    ring.TakeDue(now, nullptr, clock.GetMode());
  }
  audio.join();
  EXPECT_EQ(clock.Position(), 0u);
  EXPECT_EQ(clock.timestampCopy.load(), 0u);
}
