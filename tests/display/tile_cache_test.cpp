// Tile caches keep their memory across resets and rebuilds: what the
// server can observe (slot indices, the order slots are taken, the bytes a
// slot reads) must be that of a freshly built cache.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "display/TileCache.h"

namespace {

// Fills count slots taken in order with bytes made from their order.
void Fill(TileCache& cache, int count, int salt) {
  for (int i = 0; i < count; ++i) {
    BYTE* slot = cache.Take();
    ASSERT_NE(slot, nullptr);
    for (uint32_t b = 0; b < cache.SlotSize(); ++b) slot[b] = BYTE(i * 7 + b + salt) | 1;
  }
}

void ExpectSameSlots(TileCache& used, TileCache& fresh) {
  ASSERT_EQ(used.SlotCount(), fresh.SlotCount());
  ASSERT_EQ(used.SlotSize(), fresh.SlotSize());
  EXPECT_EQ(used.Index(), fresh.Index());
  for (uint32_t i = 0; i < fresh.SlotCount(); ++i) {
    uint32_t a = i, b = i;
    const BYTE* x = used.SlotAt(&a);
    const BYTE* y = fresh.SlotAt(&b);
    ASSERT_TRUE(x && y);
    ASSERT_EQ(std::memcmp(x, y, fresh.SlotSize()), 0) << "slot " << i;
    ASSERT_EQ(std::memcmp(used.Peek(i), y, fresh.SlotSize()), 0) << "slot " << i;
  }
}

struct ResetCase {
  const char* name;
  uint32_t total, slotSize;
  int before;                      // slots written before the change
  bool rebuild;                    // Init with newTotal, else Reset
  uint32_t newTotal, newSlotSize;
  int after;                       // slots written after it
  int palettes;                    // Put calls after it
};

TEST(TileCache, AfterResetOrRebuildEverySlotReadsAsInAFreshCache) {
  const ResetCase cases[] = {
      {"reset, nothing written after", 64 << 10, 128, 300, false, 0, 192, 0, 0},
      {"reset to wider slots", 64 << 10, 128, 500, false, 0, 192, 40, 0},
      {"reset to narrower slots", 64 << 10, 192, 341, false, 0, 128, 100, 0},
      {"ring wrapped before the reset", 16 << 10, 128, 1000, false, 0, 128, 3, 0},
      {"ring wraps after the reset", 16 << 10, 128, 1000, false, 0, 128, 200, 0},
      {"smaller rebuild keeps the memory", 256 << 10, 128, 2000, true, 32 << 10, 192, 90, 0},
      {"larger rebuild", 16 << 10, 128, 100, true, 64 << 10, 128, 10, 0},
      {"palette slots", 204800, 50, 4096, false, 0, 50, 0, 30},
      {"stale far beyond the clearing stretch", 1 << 20, 128, 8000, false, 0, 128, 1, 0},
  };
  for (const ResetCase& c : cases) {
    SCOPED_TRACE(c.name);
    TileCache used;
    ASSERT_TRUE(used.Init(c.total, c.slotSize));
    Fill(used, c.before, 3);
    const uint32_t total = c.rebuild ? c.newTotal : c.total;
    if (c.rebuild)
      ASSERT_TRUE(used.Init(total, c.newSlotSize));
    else
      used.Reset(c.newSlotSize);
    TileCache fresh;
    ASSERT_TRUE(fresh.Init(total, c.newSlotSize));
    for (TileCache* cache : {&used, &fresh}) {
      Fill(*cache, c.after, 11);
      const BYTE colours[6] = {9, 8, 7, 6, 5, 4};
      for (int i = 0; i < c.palettes; ++i) cache->Put(colours, 4 + i % 3);
    }
    ExpectSameSlots(used, fresh);
  }
}

TEST(TileCache, DeferredCacheTakesMemoryAtItsFirstUse) {
  TileCache cache;
  cache.InitDeferred(1 << 20, 128);
  EXPECT_FALSE(cache.Allocated());
  EXPECT_EQ(cache.SlotCount(), 8192u);
  EXPECT_NE(cache.Take(), nullptr);
  EXPECT_TRUE(cache.Allocated());
  EXPECT_EQ(cache.Index(), 1u);
}

// The helper thread makes pages resident while the drawing thread writes
// slots in them: no byte written may be lost.
TEST(TileCachePrefault, PagesBecomeResidentWhileSlotsAreWritten) {
  TileCache cache;
  ASSERT_TRUE(cache.Init(TileCache::kMaxTotal / 4, 192));
  cache.Prefault();
  Fill(cache, 100000, 5);
  EXPECT_TRUE(cache.WaitResident(size_t(8) << 20));
  for (uint32_t i = 0; i < 100000; i += 997) {
    uint32_t index = i;
    const BYTE* slot = cache.SlotAt(&index);
    for (uint32_t b = 0; b < 192; ++b) ASSERT_EQ(slot[b], BYTE(BYTE(i * 7 + b + 5) | 1));
  }
  // A cache released while its helper works waits for it.
  TileCache released;
  ASSERT_TRUE(released.Init(TileCache::kMaxTotal, 128));
  released.Prefault();
  released.Free();
  EXPECT_FALSE(released.Allocated());
}

}  // namespace
