// 8x8 YCbCr blocks to 3-byte tiles, and the run-length code of blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "display/ReversedPixels.h"
#include "display/YuvTile.h"
#include "pelplat/wintypes.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes UniformBlock(int y, int u, int v) {
  Bytes block(kYuvBlockBytes);
  std::memset(block.data(), y, 64);
  std::memset(block.data() + 64, u, 16);
  std::memset(block.data() + 80, v, 16);
  return block;
}

TEST(YuvConversion, Bt601Table) {
  const struct {
    int y, u, v;
    BYTE blue, green, red;
  } cases[] = {
      {16, 128, 128, 0, 0, 0},        // black
      {235, 128, 128, 255, 255, 255},  // white
      {0, 128, 128, 0, 0, 0},          // below black clamps to 0
      {255, 128, 128, 255, 255, 255},  // above white clamps to 255
      {126, 128, 128, 128, 128, 128},  // mid grey
      {81, 90, 240, 0, 0, 255},        // red: blue term below zero
      {145, 54, 34, 1, 255, 0},        // green
      {41, 240, 110, 255, 0, 0},       // blue
      {100, 200, 60, 243, 125, 0},   // red term below zero
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.y << " " << c.u << " " << c.v);
    const Bytes block = UniformBlock(c.y, c.u, c.v);
    BYTE grouped[kBgrTileBytes], raster[kBgrTileBytes];
    YuvBlockToBgr(grouped, block.data());
    YuvRasterBlockToBgr(raster, block.data());
    for (size_t i = 0; i < kBgrTileBytes; i += 3) {
      ASSERT_EQ(grouped[i], c.blue);
      ASSERT_EQ(grouped[i + 1], c.green);
      ASSERT_EQ(grouped[i + 2], c.red);
    }
    EXPECT_EQ(0, std::memcmp(grouped, raster, kBgrTileBytes));
  }
}

TEST(YuvConversion, GroupOrderAndRasterOrderPlaceTheSamePixels) {
  // Luma distinct per pixel and chroma distinct per 2x2 group, written once
  // as the raster block and once regrouped into 2x2-group order.
  Bytes raster(kYuvBlockBytes), grouped(kYuvBlockBytes);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const BYTE luma = BYTE(20 + r * 25 + c * 3);
      raster[r * 8 + c] = luma;
      const int group = (r / 2) * 4 + c / 2;
      grouped[group * 4 + (r % 2) * 2 + c % 2] = luma;
    }
  for (int k = 0; k < 16; ++k) {
    raster[64 + k] = grouped[64 + k] = BYTE(60 + k * 9);
    raster[80 + k] = grouped[80 + k] = BYTE(200 - k * 7);
  }
  BYTE fromGroups[kBgrTileBytes], fromRaster[kBgrTileBytes];
  YuvBlockToBgr(fromGroups, grouped.data());
  YuvRasterBlockToBgr(fromRaster, raster.data());
  EXPECT_EQ(0, std::memcmp(fromGroups, fromRaster, kBgrTileBytes));

  // Group 5 covers rows 2-3 and columns 2-3: its chroma reaches exactly
  // those four pixels.
  Bytes probe = UniformBlock(126, 128, 128);
  probe[64 + 5] = 255;
  BYTE tile[kBgrTileBytes];
  YuvRasterBlockToBgr(tile, probe.data());
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const bool inGroup = (r == 2 || r == 3) && (c == 2 || c == 3);
      EXPECT_EQ(tile[(r * 8 + c) * 3] == 128, !inGroup) << r << "," << c;
    }
}

TEST(RunLength, DecodesRunsAndLiteralsAndCutsAtTheEnd) {
  const struct {
    const char* name;
    Bytes coded;
    Bytes expectedStart;
    BYTE rest;  // the value of every byte after expectedStart
  } cases[] = {
      {"one run cut at 96", {0x81, 0x10}, {}, 0x10},
      {"run of 129 cut at 96", {0x80, 0x22}, {}, 0x22},
      {"literal then runs", {0x02, 1, 2, 3, 0xFF, 9, 0x81, 7}, {1, 2, 3, 9, 9}, 7},
      // 94 fives, then a literal of 128 of which two bytes fit and are given
      {"literal cut at the end needs only what it keeps", {0xA3, 5, 0x7F, 1, 2}, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(96, 0xEE);
    ASSERT_TRUE(RunLengthDecode(out.data(), c.coded.data(), c.coded.size(), 96));
    if (c.coded[0] == 0xA3) {
      EXPECT_EQ(Bytes(out.begin(), out.begin() + 94), Bytes(94, 5));
      EXPECT_EQ(out[94], 1);
      EXPECT_EQ(out[95], 2);
      continue;
    }
    for (size_t i = 0; i < 96; ++i)
      ASSERT_EQ(out[i], i < c.expectedStart.size() ? c.expectedStart[i] : c.rest) << i;
  }
}

TEST(RunLength, FailsWhenTheInputEndsFirst) {
  const Bytes cases[] = {
      {},
      {0x81},           // run without its value
      {0x05, 1, 2, 3},  // literal of 6 with 3 bytes
      {0xF0, 1},        // a run of 17, then nothing
  };
  for (const Bytes& coded : cases) {
    SCOPED_TRACE(coded.size());
    std::unique_ptr<BYTE[]> exact(new BYTE[coded.size() + 1]);
    if (!coded.empty()) std::memcpy(exact.get(), coded.data(), coded.size());
    Bytes out(96);
    EXPECT_FALSE(RunLengthDecode(out.data(), exact.get(), coded.size(), 96));
  }
  // Bytes after a complete block are left for the caller.
  const Bytes longer = {0x81, 1, 0x81};
  Bytes out(96);
  EXPECT_TRUE(RunLengthDecode(out.data(), longer.data(), longer.size(), 96));
  EXPECT_FALSE(RunLengthDecode(out.data(), nullptr, 4, 96));
}

}  // namespace

// The shuffle path of pixel reversal must equal the byte-by-byte one at
// every length, including the tails it leaves to the plain loop.
TEST(ReversedPixels, EveryLengthMatchesTheByteByByteReversal) {
  for (size_t pixels = 0; pixels <= 70; ++pixels) {
    SCOPED_TRACE(pixels);
    std::vector<BYTE> in(pixels * 3), out(pixels * 3 + 1, 0xEE);
    for (size_t i = 0; i < in.size(); ++i) in[i] = BYTE(i * 37 + 11);
    ReverseThreeBytePixels(out.data(), in.data(), pixels);
    for (size_t p = 0; p < pixels; ++p)
      for (int k = 0; k < 3; ++k) ASSERT_EQ(out[p * 3 + k], in[p * 3 + 2 - k]) << p;
    EXPECT_EQ(out.back(), 0xEE);
  }
}

// The row and row-pair converters (vector code where the processor has
// it) against the block converter over bands whose samples sweep every value: luma and
// both chroma planes, and the corners where the clamp acts.
TEST(YuvRowToBgr, RowsAndRowPairsEqualTheBlockConverterForEverySampleValue) {
  std::vector<BYTE> luma(128), cb(32), cr(32);
  for (int band = 0; band < 2048 + 4; ++band) {
    for (int i = 0; i < 128; ++i) luma[i] = BYTE(band * 128 + i * 5);
    for (int i = 0; i < 32; ++i) {
      cb[i] = BYTE(band * 32 + i);
      cr[i] = BYTE(band * 7 + i * 37);
    }
    if (band >= 2048) {  // the extremes, in every combination
      const BYTE corner = (band & 1) ? 255 : 0;
      std::fill(luma.begin(), luma.begin() + 64, corner);
      std::fill(luma.begin() + 64, luma.end(), BYTE(255 - corner));
      std::fill(cb.begin(), cb.end(), (band & 2) ? 255 : 0);
      std::fill(cr.begin(), cr.end(), (band & 2) ? 0 : 255);
    }
    BYTE expected[2][192], actual[2][192];
    for (int half = 0; half < 2; ++half) {
      BYTE block[96];
      for (int r = 0; r < 8; ++r) std::memcpy(block + r * 8, &luma[r * 16 + half * 8], 8);
      for (int r = 0; r < 4; ++r) {
        std::memcpy(block + 64 + r * 4, &cb[r * 8 + half * 4], 4);
        std::memcpy(block + 80 + r * 4, &cr[r * 8 + half * 4], 4);
      }
      YuvRasterBlockToBgr(expected[half], block);
    }
    for (int r = 0; r < 8; ++r)
      YuvRowToBgr(actual[0] + r * 24, actual[1] + r * 24, &luma[r * 16], &cb[r / 2 * 8], &cr[r / 2 * 8]);
    ASSERT_EQ(std::memcmp(expected, actual, sizeof expected), 0) << "band " << band;
    BYTE pairs[2][192];
    for (int r = 0; r < 8; r += 2)
      YuvRowPairToBgr(pairs[0] + r * 24, pairs[1] + r * 24, &luma[r * 16], 16, &cb[r / 2 * 8],
                      &cr[r / 2 * 8]);
    ASSERT_EQ(std::memcmp(expected, pairs, sizeof expected), 0) << "pairs, band " << band;
  }
}
