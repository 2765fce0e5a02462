// The packet pool: size classes, free-list limits, class-11 growth, and
// buffers taken and given back by several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "pelplat/debugout.h"
#include "transport/PacketPool.h"

namespace {

TEST(PacketPool, SizeClassTable) {
  struct Case {
    uint64_t payload;
    int sizeClass;
  };
  const Case cases[] = {
      {0, 0},          {292, 0},        {293, 1},        {932, 1},         {933, 2},
      {1956, 2},       {1957, 3},       {4004, 3},       {4005, 4},        {8100, 4},
      {8101, 5},       {49060, 5},      {49061, 6},      {65444, 6},       {65445, 7},
      {130980, 7},     {130981, 8},     {262052, 8},     {262053, 9},      {786340, 9},
      {786341, 10},    {1048484, 10},   {1048485, 11},   {67108712, 11},   {67108713, -1},
      {0xFFFFFFFFull, -1}, {UINT64_MAX, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(CPacketPool::SizeClass(c.payload), c.sizeClass) << c.payload;
}

TEST(PacketPool, ABufferComesBackToItsClassAndIsReused) {
  CPacketPool pool;
  PacketBuffer* b = pool.Acquire(1000, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->sizeClass, 2);
  EXPECT_EQ(b->length, 2016u + 13u);
  EXPECT_GE(b->area, 1000u + 12u);
  EXPECT_EQ(b->filled, 0u);
  EXPECT_EQ(b->data, reinterpret_cast<uint8_t*>(b + 1));
  CPacketPool::Release(b);
  EXPECT_EQ(pool.FreeCount(2), 1);
  PacketBuffer* again = pool.Acquire(1500, PacketBuffer::kTooSmall);
  EXPECT_EQ(again, b);
  EXPECT_EQ(again->flags.load(), PacketBuffer::kTooSmall);
  EXPECT_EQ(pool.FreeCount(2), 0);
  CPacketPool::Release(again);
}

TEST(PacketPool, FreeListsStopAtTheirLimit) {
  CPacketPool pool;
  for (int c : {0, 4, 8}) {
    SCOPED_TRACE(c);
    const uint64_t payload = pool.ClassSize(c) - CPacketPool::kReserve;
    std::vector<PacketBuffer*> taken;
    for (int i = 0; i <= pool.FreeLimit(c); ++i) taken.push_back(pool.Acquire(payload, 0));
    for (PacketBuffer* b : taken) CPacketPool::Release(b);
    EXPECT_EQ(pool.FreeCount(c), pool.FreeLimit(c));
  }
  EXPECT_EQ(pool.FreeLimit(0), 400);
  EXPECT_EQ(pool.FreeLimit(4), 70);
  EXPECT_EQ(pool.FreeLimit(8), 35);
  pool.Purge();
  for (int c = 0; c < CPacketPool::kClassCount; ++c) EXPECT_EQ(pool.FreeCount(c), 0);
}

TEST(PacketPool, TheLargestClassGrowsAndDropsWhatItOutgrew) {
  CPacketPool pool;
  const uint64_t twoMiB = 2u << 20, threeMiB = 3u << 20;
  PacketBuffer* two = pool.Acquire(twoMiB, 0);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->sizeClass, 11);
  EXPECT_EQ(pool.ClassSize(11), ((twoMiB + 60) & ~4095ull) + 4096);
  PacketBuffer* older = pool.Acquire(1100000, 0);  // made while the class was 2 MiB
  CPacketPool::Release(two);
  EXPECT_EQ(pool.FreeCount(11), 1);

  PacketBuffer* three = pool.Acquire(threeMiB, 0);
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(pool.FreeCount(11), 0);  // the 2 MiB buffer was freed, not handed out
  EXPECT_EQ(pool.ClassSize(11), ((threeMiB + 60) & ~4095ull) + 4096);
  EXPECT_GE(three->area, threeMiB + 12);

  CPacketPool::Release(older);  // smaller than the class now: freed
  EXPECT_EQ(pool.FreeCount(11), 0);
  CPacketPool::Release(three);
  EXPECT_EQ(pool.FreeCount(11), 1);
  PacketBuffer* reused = pool.Acquire(2500000, 0);
  EXPECT_EQ(reused, three);
  CPacketPool::Release(reused);
}

TEST(PacketPool, OutsideTheClassesAndNotPooledBuffersAreFreed) {
  CPacketPool pool;
  PacketBuffer* huge = pool.Acquire(67108713, 0);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(huge->sizeClass, -1);
  EXPECT_GE(huge->area, 67108713u + 12u);
  CPacketPool::Release(huge);
  PacketBuffer* own = pool.Acquire(100, PacketBuffer::kNotPooled);
  CPacketPool::Release(own);
  for (int c = 0; c < CPacketPool::kClassCount; ++c) EXPECT_EQ(pool.FreeCount(c), 0);
}

TEST(PacketPool, ASecondReleaseIsIgnored) {
  std::vector<std::string> lines;
  auto previous = SetDebugOutputSink([&](const std::string& l) { lines.push_back(l); });
  CPacketPool pool;
  PacketBuffer* b = pool.Acquire(10, 0);
  CPacketPool::Release(b);
  CPacketPool::Release(b);
  SetDebugOutputSink(previous);
  EXPECT_EQ(pool.FreeCount(0), 1);
  PacketBuffer* first = pool.Acquire(10, 0);
  PacketBuffer* second = pool.Acquire(10, 0);
  EXPECT_NE(first, second);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("released twice"), std::string::npos);
  CPacketPool::Release(first);
  CPacketPool::Release(second);
}

// Every thread stamps each buffer it holds; a buffer handed to two holders
// at once shows up as a foreign stamp.
TEST(PacketPool, ManyThreadsTakeAndGiveBack) {
  CPacketPool pool;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      std::vector<PacketBuffer*> held;
      for (int i = 0; i < kRounds; ++i) {
        if (held.size() < 8 && (random() & 1)) {
          PacketBuffer* b = pool.Acquire(random() % 9000, 0);
          if (!b) continue;
          b->data[0] = static_cast<uint8_t>(t);
          b->socketIndex = t;
          held.push_back(b);
        } else if (!held.empty()) {
          PacketBuffer* b = held.back();
          held.pop_back();
          if (b->data[0] != t || b->socketIndex != t) ++clashes;
          CPacketPool::Release(b);
        }
      }
      for (PacketBuffer* b : held) CPacketPool::Release(b);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(clashes.load(), 0);
  for (int c = 0; c < CPacketPool::kClassCount; ++c) EXPECT_LE(pool.FreeCount(c), pool.FreeLimit(c));
}

}  // namespace
