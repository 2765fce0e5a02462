// Surface keepers: geometry, tiles, key runs, copies, blits, stretches,
// keyed video drawing, shadow copies and clipping of every drawing call.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>

#include "display/AbstractSurfaceKeeper.h"
#include "display/SurfaceClip.h"
#include "display/TileWriter.h"
#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "qt/SurfaceBitmap.h"
#include "surface_test_support.h"

namespace {

std::unique_ptr<ISurfaceKeeper> MakeKeeper(bool qt) {
  if (qt) return std::make_unique<CQtDoubleBufferSurfaceKeeper>(0);
  return std::make_unique<CAbstractSurfaceKeeper>();
}

// ---------------------------------------------------------------- geometry

struct CreateCase {
  bool qt;
  int width, height, depth, storage;
  int result;
  int roundedWidth;
  QImage::Format format;
};

TEST(SurfaceCreate, GeometryAndFormats) {
  const CreateCase cases[] = {
      {true, 1000, 600, 24, 0, 1, 1008, QImage::Format_RGB888},
      {false, 1000, 600, 24, 0, 1, 1000, QImage::Format_Invalid},
      {false, 1001, 10, 16, 0, 1, 1004, QImage::Format_Invalid},
      {true, 1001, 10, 16, 0, 1, 1008, QImage::Format_RGB16},
      {true, 64, 64, 32, 0, 1, 64, QImage::Format_RGBA8888},
      {true, 64, 64, 8, 8, 1, 64, QImage::Format_Indexed8},
      {true, 64, 64, 12, 0, 0, 0, QImage::Format_Invalid},
      {false, 64, 64, 12, 0, 0, 0, QImage::Format_Invalid},
      {true, 64, 64, 0, 0, 0, 0, QImage::Format_Invalid},
      {false, 64, 64, 7, 0, 0, 0, QImage::Format_Invalid},
      {true, 0, 64, 24, 0, 0, 0, QImage::Format_Invalid},
      {false, 64, 0, 24, 0, 0, 0, QImage::Format_Invalid},
      {true, -16, 64, 24, 0, 0, 0, QImage::Format_Invalid},
      {false, 64, -1, 32, 0, 0, 0, QImage::Format_Invalid},
      {true, 64, 64, 24, 32, 0, 0, QImage::Format_Invalid},
      {false, 64, 64, 24, 32, 0, 0, QImage::Format_Invalid},
      {true, 16385, 64, 24, 0, 0, 0, QImage::Format_Invalid},
      {false, 16384, 4097, 8, 0, 0, 0, QImage::Format_Invalid},  // more than 8192 x 8192 pixels
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.qt ? "qt " : "plain ") << c.width << "x" << c.height
                                    << "x" << c.depth << "/" << c.storage);
    auto keeper = MakeKeeper(c.qt);
    ASSERT_EQ(keeper->Create(c.width, c.height, c.depth, c.storage), c.result);
    if (!c.result) {
      EXPECT_EQ(keeper->GetWidth(), 0);
      EXPECT_EQ(ImageOf(*keeper), nullptr);
      continue;
    }
    EXPECT_EQ(keeper->GetWidth(), c.roundedWidth);
    EXPECT_EQ(keeper->GetHeight(), c.height);
    EXPECT_EQ(keeper->GetColorDepth(), c.depth);
    EXPECT_EQ(keeper->GetBitsPerPixel(), c.depth);
    EXPECT_EQ(keeper->GetBytesPerPixel(), c.depth / 8);
    EXPECT_EQ(keeper->GetTileWidth(), 8);
    EXPECT_EQ(keeper->GetTileHeight(), 8);
    if (c.qt) {
      ASSERT_NE(ImageOf(*keeper), nullptr);
      EXPECT_EQ(ImageOf(*keeper)->format(), c.format);
      EXPECT_EQ(ImageOf(*keeper)->width(), c.roundedWidth);
      EXPECT_EQ(ImageOf(*keeper)->height(), c.height + 6);
    } else {
      EXPECT_EQ(ImageOf(*keeper), nullptr);
    }
  }
}

TEST(SurfaceCreate, RefusedCreateLeavesTheSurfaceIntact) {
  CQtDoubleBufferSurfaceKeeper keeper(1);
  ASSERT_EQ(keeper.Create(32, 16, 24, 0), 1);
  const Bytes red = MakeBytes({0xC0, 0x10, 0x20});
  const Bytes tile = SolidPicture(8, 8, red);
  keeper.DrawTile(8, 8, tile.data(), nullptr);
  const QImage* before = ImageOf(keeper);
  const BYTE* bits = before->constBits();

  for (const auto& bad : {std::array<int, 3>{0, 16, 24}, std::array<int, 3>{32, 0, 24},
                          std::array<int, 3>{32, 16, 12}, std::array<int, 3>{-1, 16, 24},
                          std::array<int, 3>{32, 16, 0}})
    EXPECT_EQ(keeper.Create(bad[0], bad[1], bad[2], 0), 0);

  ASSERT_EQ(ImageOf(keeper), before);
  EXPECT_EQ(ImageOf(keeper)->constBits(), bits);
  EXPECT_EQ(keeper.GetWidth(), 32);
  EXPECT_EQ(keeper.GetColorDepth(), 24);
  EXPECT_EQ(VisiblePixel(keeper, 12, 12), red);
  // Drawing still lands in the intact image.
  keeper.DrawTile(0, 0, tile.data(), nullptr);
  EXPECT_EQ(VisiblePixel(keeper, 0, 0), red);
}

TEST(SurfaceCreate, RecreateKeepsTheShadowWithTheNewBuffer) {
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(32, 16, 24, 0), 1);
  ASSERT_TRUE(keeper.BeginShadow());
  ASSERT_EQ(keeper.Create(64, 32, 16, 0), 1);
  EXPECT_TRUE(keeper.HasShadow());
  const Bytes tile = SolidPicture(8, 8, MakeBytes({0x34, 0x12}));
  keeper.DrawTile(48, 16, tile.data(), nullptr);
  EXPECT_EQ(VisiblePixel(keeper, 50, 20), MakeBytes({0, 0}));
  keeper.CommitShadow();
  EXPECT_EQ(VisiblePixel(keeper, 50, 20), MakeBytes({0x34, 0x12}));
}

// The keeper keeps its pixel memory from one Create to the next while it is
// large enough: whatever was drawn before, a new surface starts black in
// the visible image and in the shadow, and draws as a fresh keeper does.
TEST(SurfaceCreate, EveryCreateStartsBlackWhetherItsMemoryIsNewOrKept) {
  const int modes[][3] = {{64, 32, 24}, {64, 32, 24}, {32, 16, 16}, {100, 40, 32},
                          {48, 20, 8},  {64, 32, 24}, {120, 50, 24}};
  for (bool shadow : {false, true}) {
    CQtDoubleBufferSurfaceKeeper keeper;
    for (const auto& m : modes) {
      SCOPED_TRACE(std::to_string(m[0]) + "x" + std::to_string(m[1]) + "x" + std::to_string(m[2]));
      ASSERT_EQ(keeper.Create(m[0], m[1], m[2], 0), 1);
      if (shadow) keeper.BeginShadow();
      const QImage* image = keeper.GetImage();
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(image->height(), m[1] + 6);
      EXPECT_EQ(image->bytesPerLine(), keeper.GetWidth() * (m[2] / 8));
      const Bytes zeros(size_t(image->sizeInBytes()), 0);
      EXPECT_EQ(std::memcmp(image->constBits(), zeros.data(), zeros.size()), 0);
      // What was drawn before and not committed must not come back.
      keeper.CommitShadow();
      EXPECT_EQ(std::memcmp(image->constBits(), zeros.data(), zeros.size()), 0);
      const Bytes tile(size_t(64) * (m[2] / 8), 0x5A);
      for (int y = 0; y < m[1]; y += 8)
        for (int x = 0; x < m[0]; x += 8) keeper.DrawTile(x, y, tile.data(), nullptr);
      keeper.FillTile(0, 0, tile.data());
      keeper.CommitShadow();
      EXPECT_EQ(VisiblePixel(keeper, m[0] - 1, m[1] - 1), Bytes(size_t(m[2] / 8), 0x5A));
    }
  }
}

// ---------------------------------------------------------------- tiles

struct TileCase {
  int x, y;
  int columns, rows;  // drawn
  bool recorded;
};

class TileDrawing : public testing::TestWithParam<int> {};

TEST_P(TileDrawing, ClipsAtEdgesAndRecordsOnlyFullRows) {
  const int depth = GetParam();
  const int bpp = depth / 8;
  // 48 x 20: the last tile column starts at 40, x = 44 is width - 4.
  const TileCase cases[] = {
      {0, 0, 8, 8, true},    {44, 0, 4, 8, false}, {40, 17, 8, 3, true},
      {-8, 0, 0, 0, false},  {0, -1, 0, 0, false}, {48, 0, 0, 0, false},
      {0, 20, 0, 0, false},  {INT_MIN, 0, 0, 0, false},
  };
  for (const TileCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "depth " << depth << " at " << c.x << "," << c.y);
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(48, 20, depth, 0), 1);
    Bytes tile(64 * bpp);
    for (size_t i = 0; i < tile.size(); ++i) tile[i] = BYTE(i + 1);
    Bytes record(64 * bpp, 0xEE);
    keeper.DrawTile(c.x, c.y, tile.data(), record.data());

    for (int y = 0; y < 26; ++y) {
      for (int x = 0; x < 48; ++x) {
        const int64_t tx = int64_t(x) - c.x, ty = int64_t(y) - c.y;
        const bool drawn = tx >= 0 && tx < c.columns && ty >= 0 && ty < c.rows;
        Bytes expected(bpp, 0);
        if (drawn) expected.assign(tile.begin() + (ty * 8 + tx) * bpp,
                                   tile.begin() + (ty * 8 + tx + 1) * bpp);
        ASSERT_EQ(VisiblePixel(keeper, x, y), expected) << x << "," << y;
      }
    }
    const size_t recordedBytes = c.recorded ? size_t(c.rows) * 8 * bpp : 0;
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + recordedBytes, tile.begin()));
    EXPECT_TRUE(std::all_of(record.begin() + recordedBytes, record.end(),
                            [](BYTE b) { return b == 0xEE; }));
  }
}

INSTANTIATE_TEST_SUITE_P(TwoAndThreeBytes, TileDrawing, testing::Values(16, 24));

TEST(TileDrawing, FourByteTilesAreDrawnButNeverRecorded) {
  CAbstractSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(16, 8, 32, 0), 1);
  const Bytes tile = SolidPicture(8, 8, MakeBytes({1, 2, 3, 4}));
  Bytes record(256, 0xEE);
  keeper.DrawTile(8, 0, tile.data(), record.data());
  Bytes read(4);
  ASSERT_EQ(keeper.ReadRect(15, 7, 1, 1, read.data()), 0);
  EXPECT_EQ(read, MakeBytes({1, 2, 3, 4}));
  EXPECT_EQ(record, Bytes(256, 0xEE));
}

TEST(TileDrawing, SixteenByTileOnlyWhollyInsideAndNotAtThirtyTwoBits) {
  const Bytes colour = MakeBytes({7, 8, 9});
  const Bytes tile = SolidPicture(16, 16, colour);
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(32, 32, 24, 0), 1);
  keeper.DrawTile16(16, 16, tile.data());
  EXPECT_EQ(VisiblePixel(keeper, 31, 31), colour);
  EXPECT_EQ(VisiblePixel(keeper, 15, 15), MakeBytes({0, 0, 0}));
  keeper.DrawTile16(24, 0, tile.data());  // would pass the right edge
  keeper.DrawTile16(0, 24, tile.data());  // would pass the bottom
  keeper.DrawTile16(-8, 0, tile.data());
  EXPECT_EQ(VisiblePixel(keeper, 24, 0), MakeBytes({0, 0, 0}));
  EXPECT_EQ(VisiblePixel(keeper, 0, 24), MakeBytes({0, 0, 0}));
  EXPECT_EQ(VisiblePixel(keeper, 0, 0), MakeBytes({0, 0, 0}));

  CQtDoubleBufferSurfaceKeeper wide;
  ASSERT_EQ(wide.Create(32, 32, 32, 0), 1);
  const Bytes tile4 = SolidPicture(16, 16, MakeBytes({1, 1, 1, 1}));
  wide.DrawTile16(0, 0, tile4.data());
  EXPECT_EQ(VisiblePixel(wide, 0, 0), MakeBytes({0, 0, 0, 0}));
}

TEST(TileDrawing, FillTileColourBytesAndClipping) {
  const BYTE colour[4] = {0x11, 0x22, 0x33, 0x44};
  const struct {
    int depth;
    Bytes pixel;
  } cases[] = {{8, MakeBytes({0x11})},
               {16, MakeBytes({0x11, 0x22})},
               {24, MakeBytes({0x11, 0x22, 0x33})},
               {32, MakeBytes({0x11, 0x22, 0x33, 0xFF})}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.depth);
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 12, c.depth, 0), 1);
    keeper.FillTile(12, 8, colour);  // clipped to 4 x 4
    EXPECT_EQ(VisiblePixel(keeper, 15, 11), c.pixel);
    EXPECT_EQ(VisiblePixel(keeper, 12, 8), c.pixel);
    EXPECT_EQ(VisiblePixel(keeper, 11, 8), Bytes(c.pixel.size(), 0));
    EXPECT_EQ(VisiblePixel(keeper, 12, 12), Bytes(c.pixel.size(), 0));  // spare row
  }
}

TEST(TileDrawing, MarkTileStaysInsideItsRows) {
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(32, 16, 16, 0), 1);
  const Bytes grey = SolidPicture(8, 8, MakeBytes({0x55, 0x55}));
  for (int x = 0; x < 32; x += 8) keeper.DrawTile(x, 0, grey.data(), nullptr);
  keeper.MarkTile(8, 0);
  // 12 bytes are six 2-byte pixels.
  EXPECT_EQ(VisiblePixel(keeper, 13, 0), MakeBytes({0xFF, 0xFF}));
  EXPECT_EQ(VisiblePixel(keeper, 14, 0), MakeBytes({0x55, 0x55}));
  EXPECT_EQ(VisiblePixel(keeper, 13, 7), MakeBytes({0x55, 0x55}));
  EXPECT_EQ(VisiblePixel(keeper, 14, 7), MakeBytes({0, 0}));
  EXPECT_EQ(VisiblePixel(keeper, 19, 7), MakeBytes({0, 0}));
  EXPECT_EQ(VisiblePixel(keeper, 20, 7), MakeBytes({0x55, 0x55}));

  // At the right edge of a 1-byte surface the marks end with the row.
  CQtDoubleBufferSurfaceKeeper narrow;
  ASSERT_EQ(narrow.Create(16, 8, 8, 0), 1);
  narrow.MarkTile(8, 0);
  EXPECT_EQ(VisiblePixel(narrow, 15, 0), MakeBytes({0xFF}));
  EXPECT_EQ(VisiblePixel(narrow, 0, 1), MakeBytes({0}));
  narrow.MarkTile(8, 4);  // the eighth row would be a spare row: not drawn
  EXPECT_EQ(VisiblePixel(narrow, 15, 4), MakeBytes({0xFF}));
}

// ---------------------------------------------------------------- key runs

// Sets up a double-buffered keeper whose images both hold the video colour
// V, with the video rectangle {8, 8, 40, 24} and the colour key K.
struct KeyedScene {
  int depth;
  Bytes video, key, other, probe;
  int keyValue;
  CQtDoubleBufferSurfaceKeeper keeper;

  explicit KeyedScene(int d) : depth(d) {
    if (depth == 16) {
      video = MakeBytes({0x0F, 0xF0});
      key = MakeBytes({0x34, 0x12});
      other = MakeBytes({0x21, 0x43});
      keyValue = 0x7F001234;  // only the low 16 bits count
    } else {
      video = MakeBytes({0xAA, 0xBB, 0xCC});
      key = MakeBytes({0x01, 0x02, 0x03});
      other = MakeBytes({0x40, 0x50, 0x60});
      keyValue = 0x55030201;  // only the low 24 bits count
    }
    EXPECT_EQ(keeper.Create(48, 32, depth, 0), 1);
    const Bytes fill = SolidPicture(8, 8, video);
    for (int y = 0; y < 32; y += 8)
      for (int x = 0; x < 48; x += 8) keeper.DrawTile(x, y, fill.data(), nullptr);
    keeper.SyncBuffers();
    keeper.SetVideoRect(RECT{8, 8, 40, 24});
    // A keyed blit that finds no key pixel only sets the key.
    const Bytes dummy = MakeBytes({0, 0, 0});
    keeper.BitBltKeyed(0, 0, 1, 1, 3, dummy.data(), keyValue);
  }

  Bytes Tile(const std::vector<std::string>& rows) const {
    return TileFromRows(rows, {{'K', key}, {'O', other}});
  }
};

struct KeyRunCase {
  const char* row;       // K key pixel, O other pixel
  const char* expected;  // T from the tile, V video kept
};

class KeyRuns : public testing::TestWithParam<int> {};

TEST_P(KeyRuns, RowsInsideTheVideoKeepTheirKeyRun) {
  const KeyRunCase cases[] = {
      {"KKOOOOKK", "VVVVVVVV"},  // both ends match: one run over the row
      {"OKKKKKKO", "TTVVVVTT"},  // pixels 1 and 6 resolve in pairs with O
      {"KKKKKKKK", "VVVVVVVV"}, {"OOOOOOOO", "TTTTTTTT"},
      {"OKKOOOOO", "TTTTTTTT"},  // key pixels split across pairs
      {"KKOOOOOO", "VVTTTTTT"}, {"OOOOKKKO", "TTTTVVTT"},
      {"KOOOOOOK", "VVVVVVVV"},
  };
  for (const KeyRunCase& c : cases) {
    SCOPED_TRACE(c.row);
    KeyedScene scene(GetParam());
    const Bytes tile = scene.Tile(std::vector<std::string>(8, c.row));
    Bytes record(tile.size(), 0);
    scene.keeper.DrawTile(16, 8, tile.data(), record.data());
    for (int y = 8; y < 16; ++y)
      for (int i = 0; i < 8; ++i) {
        const Bytes& tilePixel = c.row[i] == 'K' ? scene.key : scene.other;
        EXPECT_EQ(VisiblePixel(scene.keeper, 16 + i, y),
                  c.expected[i] == 'V' ? scene.video : tilePixel)
            << "pixel " << i << " row " << y;
      }
    EXPECT_EQ(record, tile);
  }
}

TEST_P(KeyRuns, SecondImageTakesTilesWholeAndOutsideTilesAreCopied) {
  KeyedScene scene(GetParam());
  const std::vector<std::string> rows = {"OKKKKKKO", "KKOOOOKK", "KKKKKKKK", "OOOOOOOO",
                                         "OKKOOOOO", "KOOOOOOK", "OOOOKKKO", "KKOOOOOO"};
  const Bytes tile = scene.Tile(rows);
  scene.keeper.DrawTile(16, 8, tile.data(), nullptr);  // inside the video
  scene.keeper.DrawTile(0, 24, tile.data(), nullptr);  // outside: copied whole
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(VisiblePixel(scene.keeper, i, 24 + r), rows[r][i] == 'K' ? scene.key : scene.other);

  // A keyed blit draws exactly where the second image holds the key, which
  // shows that the second image took every tile row whole.
  const Bytes probe = SolidPicture(48, 32, MakeBytes({0x80, 0x90, 0xA0}));
  scene.keeper.BitBltKeyed(0, 0, 48, 32, 3, probe.data(), scene.keyValue);
  const Bytes drawn = scene.depth == 16 ? MakeBytes({0x94, 0x84})  // 565 of 80 90 A0
                                        : MakeBytes({0x80, 0x90, 0xA0});
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 8; ++i) {
      if (rows[r][i] != 'K') continue;
      EXPECT_EQ(VisiblePixel(scene.keeper, 16 + i, 8 + r), drawn) << i << "," << r;
      EXPECT_EQ(VisiblePixel(scene.keeper, i, 24 + r), drawn);
    }
  EXPECT_EQ(VisiblePixel(scene.keeper, 16, 8), scene.other);
}

INSTANTIATE_TEST_SUITE_P(TwoAndThreeBytes, KeyRuns, testing::Values(16, 24));

// ---------------------------------------------------------------- keyed blits

struct KeyedBlitCase {
  const char* name;
  int depth;
  int sourceBpp;
  int key;      // -1, or 0 for the scene's key colour
  Bytes keyed;  // what a keyed pixel becomes from source bytes 11 22 33 (44)
  bool everyPixel;
};

TEST(KeyedBlit, ByteOrdersPerSurfaceAndSource) {
  const KeyedBlitCase cases[] = {
      {"3 from 3", 24, 3, 0, MakeBytes({0x11, 0x22, 0x33}), false},
      {"3 from 4", 24, 4, 0, MakeBytes({0x33, 0x22, 0x11}), false},
      {"4 from 3", 32, 3, 0, MakeBytes({0x11, 0x22, 0x33, 0xFF}), false},
      {"4 from 4", 32, 4, 0, MakeBytes({0x33, 0x22, 0x11, 0xFF}), false},
      {"2 from 3", 16, 3, 0, MakeBytes({0x06, 0x11}), false},
      {"2 from 4", 16, 4, 0, MakeBytes({0x06, 0x11}), false},
      // On a 3-byte surface -1 means no key, with the byte order turned.
      {"3 from 3, no key", 24, 3, -1, MakeBytes({0x33, 0x22, 0x11}), true},
      {"3 from 4, no key", 24, 4, -1, MakeBytes({0x11, 0x22, 0x33}), true},
  };
  for (const KeyedBlitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int bpp = c.depth / 8;
    const Bytes background(bpp, 0x5A);
    Bytes key = c.depth == 16 ? MakeBytes({0x34, 0x12}) : MakeBytes({0x01, 0x02, 0x03});
    if (bpp == 4) key.push_back(0x99);  // the fourth byte is not compared
    const int keyValue = c.key == -1 ? -1 : (c.depth == 16 ? 0x1234 : 0x030201);

    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, c.depth, 0), 1);
    keeper.SyncBuffers();
    // Both images: background with key pixels on the diagonal.
    Bytes tile;
    for (int r = 0; r < 8; ++r)
      for (int i = 0; i < 8; ++i) {
        const Bytes& p = r == i ? key : background;
        tile.insert(tile.end(), p.begin(), p.end());
      }
    keeper.DrawTile(0, 0, tile.data(), nullptr);
    keeper.DrawTile(8, 0, tile.data(), nullptr);

    const Bytes source = SolidPicture(16, 8, c.sourceBpp == 3 ? MakeBytes({0x11, 0x22, 0x33})
                                                             : MakeBytes({0x11, 0x22, 0x33, 0x44}));
    keeper.BitBltKeyed(0, 0, 16, 8, c.sourceBpp, source.data(), keyValue);
    EXPECT_EQ(keeper.ColourKey(), keyValue);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x) {
        const bool onKey = (x % 8) == y;
        const Bytes expected = c.everyPixel || onKey ? c.keyed : (onKey ? key : background);
        ASSERT_EQ(VisiblePixel(keeper, x, y), expected) << x << "," << y;
      }
  }
}

TEST(KeyedBlit, MinusOneOnTwoAndFourByteSurfacesIsAKeyOfWhite) {
  for (int depth : {16, 32}) {
    SCOPED_TRACE(depth);
    const int bpp = depth / 8;
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, depth, 0), 1);
    keeper.SyncBuffers();
    Bytes white(bpp, 0xFF);
    if (bpp == 4) white[3] = 0;
    Bytes tile = SolidPicture(8, 8, Bytes(bpp, 0x10));
    std::copy(white.begin(), white.end(), tile.begin());  // pixel (0, 0) white
    keeper.DrawTile(0, 0, tile.data(), nullptr);
    const Bytes source = SolidPicture(8, 8, MakeBytes({0x11, 0x22, 0x33}));
    keeper.BitBltKeyed(0, 0, 8, 8, 3, source.data(), -1);
    EXPECT_EQ(VisiblePixel(keeper, 0, 0),
              bpp == 2 ? MakeBytes({0x06, 0x11}) : MakeBytes({0x11, 0x22, 0x33, 0xFF}));
    EXPECT_EQ(VisiblePixel(keeper, 1, 0), Bytes(bpp, 0x10));
  }
}

TEST(KeyedBlit, RowOrderAndClipping) {
  // Source 4 x 2: top row colour A, bottom row colour B (as seen).
  const Bytes a = MakeBytes({0xA1, 0xA2, 0xA3});
  const Bytes b = MakeBytes({0xB1, 0xB2, 0xB3});
  Bytes topDown = SolidPicture(4, 1, a);
  const Bytes bottomRow = SolidPicture(4, 1, b);
  topDown.insert(topDown.end(), bottomRow.begin(), bottomRow.end());
  const struct {
    int x, y, width;
    int firstX, firstY;  // where the top row's first drawn pixel lands
    int columns, rows;
    bool firstRowIsA;
  } cases[] = {
      {2, 1, 4, 2, 1, 4, 2, true},    // top-down
      {2, 1, -4, 2, 1, 4, 2, false},  // bottom-up: the stored first row is the bottom
      {-2, 0, 4, 0, 0, 2, 2, true},   // two columns cut on the left
      {14, 6, 4, 14, 6, 2, 2, true},  // cut at the right; both rows fit
      {0, 7, 4, 0, 7, 4, 1, true},    // only the top row fits
      {16, 0, 4, 0, 0, 0, 0, true},   // starts beyond the right edge
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " w " << c.width);
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
    keeper.SyncBuffers();  // both images all zero: the key 0 matches everywhere
    keeper.BitBltKeyed(c.x, c.y, c.width, 2, 3, topDown.data(), 0x000000);
    int drawn = 0;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x) {
        const Bytes pixel = VisiblePixel(keeper, x, y);
        if (pixel == MakeBytes({0, 0, 0})) continue;
        ++drawn;
        const bool top = y == c.firstY;
        EXPECT_EQ(pixel, top == c.firstRowIsA ? a : b) << x << "," << y;
        EXPECT_GE(x, c.firstX);
      }
    EXPECT_EQ(drawn, c.columns * c.rows);
  }
}

TEST(KeyedBlit, StretchKeyedOrdersAndRowSign) {
  // 1 x 2 source: rows P and Q in storage order.
  const struct {
    int depth, sourceBpp, sourceWidth;
    Bytes top;  // the pixel drawn in the destination's top row
  } cases[] = {
      // positive width: stored last row first, so the top shows Q
      {24, 3, 1, MakeBytes({0x51, 0x52, 0x53})},
      // negative width: stored first row first
      {24, 3, -1, MakeBytes({0x11, 0x42, 0xF3})},
      {24, 4, -1, MakeBytes({0xF3, 0x42, 0x11})},
      // 565 of the keyed order: with a 4-byte source s2 lands in the top bits
      {16, 4, -1, MakeBytes({0x02, 0xF2})},
      {16, 3, -1, MakeBytes({0x1E, 0x12})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.depth << " from " << c.sourceBpp << " w " << c.sourceWidth);
    const Bytes p = c.sourceBpp == 3 ? MakeBytes({0x11, 0x42, 0xF3}) : MakeBytes({0x11, 0x42, 0xF3, 0x44});
    const Bytes q = c.sourceBpp == 3 ? MakeBytes({0x51, 0x52, 0x53}) : MakeBytes({0x51, 0x52, 0x53, 0x54});
    Bytes source = p;
    source.insert(source.end(), q.begin(), q.end());
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, c.depth, 0), 1);
    keeper.SyncBuffers();
    keeper.StretchBltKeyed(c.sourceWidth, 2, RECT{2, 2, 6, 6}, c.sourceBpp, source.data(), 0);
    EXPECT_EQ(VisiblePixel(keeper, 2, 2), c.top);
    EXPECT_EQ(VisiblePixel(keeper, 5, 3), c.top);
    EXPECT_NE(VisiblePixel(keeper, 5, 4), c.top);
    EXPECT_EQ(VisiblePixel(keeper, 6, 2), Bytes(c.depth / 8, 0));
  }
}

TEST(KeyedBlit, WithoutDoubleBufferingStretchKeyedKeepsItsRowOrder) {
  // 1 x 2 source, stored rows P then Q; a negative width means top-down.
  const Bytes source = MakeBytes({0x41, 0x42, 0x43, 0x51, 0x52, 0x53});
  for (const bool qt : {true, false}) {
    SCOPED_TRACE(qt);
    auto keeper = MakeKeeper(qt);
    ASSERT_EQ(keeper->Create(16, 8, 24, 0), 1);
    keeper->StretchBltKeyed(-1, 2, RECT{0, 0, 2, 2}, 3, source.data(), 0x123456);
    if (qt) {
      EXPECT_EQ(VisiblePixel(*keeper, 1, 0), MakeBytes({0x41, 0x42, 0x43}));
      EXPECT_EQ(VisiblePixel(*keeper, 1, 1), MakeBytes({0x51, 0x52, 0x53}));
      keeper->StretchBltKeyed(1, 2, RECT{0, 0, 2, 2}, 3, source.data(), 0x123456);
      EXPECT_EQ(VisiblePixel(*keeper, 1, 0), MakeBytes({0x51, 0x52, 0x53}));
    }
  }
}

TEST(KeyedBlit, StretchKeyedDrawsNothingOnFourBytesOrFromAnEmptySource) {
  const Bytes source = SolidPicture(2, 2, MakeBytes({9, 9, 9, 9}));
  CQtDoubleBufferSurfaceKeeper wide;
  ASSERT_EQ(wide.Create(16, 8, 32, 0), 1);
  wide.SyncBuffers();
  wide.StretchBltKeyed(2, 2, RECT{0, 0, 8, 8}, 4, source.data(), 0);
  EXPECT_EQ(VisiblePixel(wide, 0, 0), Bytes(4, 0));

  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
  keeper.SyncBuffers();
  keeper.StretchBltKeyed(0, 2, RECT{0, 0, 8, 8}, 3, source.data(), 0);
  keeper.StretchBltKeyed(2, 0, RECT{0, 0, 8, 8}, 3, source.data(), 0);
  keeper.StretchBltKeyed(2, 2, RECT{4, 4, 4, 8}, 3, source.data(), 0);  // empty destination
  keeper.StretchBltKeyed(2, 2, RECT{-100, -100, 100, 100}, 3, source.data(), 0);
  EXPECT_EQ(VisiblePixel(keeper, 15, 7), MakeBytes({9, 9, 9}));
}

// ---------------------------------------------------------------- stretch

TEST(Stretch, TwoByTwoToFiveByThreeMatchesTheReference) {
  // Stored rows: "ab" then "cd", the letter in each pixel's first byte.
  const Bytes source = MakeBytes({0x0A, 0, 0, 0x77, 0x0B, 0, 0, 0x77,
                                  0x0C, 0, 0, 0x77, 0x0D, 0, 0, 0x77});
  // 16.16 steps: columns 0 0 0 1 1, rows 0 0 1 (of the picture).
  const struct {
    bool bottomUp;
    const char* rows[3];
  } cases[] = {
      {true, {"cccdd", "cccdd", "aaabb"}},  // the stored first row is the picture's last
      {false, {"aaabb", "aaabb", "cccdd"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bottomUp);
    std::unique_ptr<ISurfaceKeeper> keeper;
    if (c.bottomUp)
      keeper = std::make_unique<CQtDoubleBufferSurfaceKeeper>();
    else
      keeper = std::make_unique<CAbstractSurfaceKeeper>(false);
    ASSERT_EQ(keeper->Create(8, 5, 32, 0), 1);
    keeper->StretchBlt(2, 2, RECT{1, 1, 6, 4}, 4, source.data());
    Bytes all(8 * 5 * 4);
    ASSERT_EQ(keeper->ReadRect(0, 0, 8, 5, all.data()), 0);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 8; ++x) {
        const bool inside = x >= 1 && x < 6 && y >= 1 && y < 4;
        const BYTE first = all[(y * 8 + x) * 4];
        const BYTE expected = inside ? BYTE(0x0A + c.rows[y - 1][x - 1] - 'a') : 0;
        EXPECT_EQ(first, expected) << x << "," << y;
      }
  }
}

TEST(Stretch, ConversionsClippingAndWideSteps) {
  // (surface, source) pairs: 4 from 3 adds 255, 2 from 3 is 565, others draw nothing.
  const struct {
    int depth, sourceBpp;
    Bytes pixel;
  } pairs[] = {
      {32, 3, MakeBytes({0x11, 0x22, 0x33, 0xFF})}, {24, 3, MakeBytes({0x11, 0x22, 0x33})},
      {16, 3, MakeBytes({0x06, 0x11})},             {24, 4, MakeBytes({0, 0, 0})},
      {16, 4, MakeBytes({0, 0})},                   {8, 3, MakeBytes({0})},
  };
  for (const auto& c : pairs) {
    SCOPED_TRACE(testing::Message() << c.depth << " from " << c.sourceBpp);
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, c.depth, 0), 1);
    const Bytes colour = MakeBytes({0x11, 0x22, 0x33, 0x44});
    const Bytes source = SolidPicture(2, 2, Bytes(colour.begin(), colour.begin() + c.sourceBpp));
    keeper.StretchBlt(2, 2, RECT{0, 0, 4, 4}, c.sourceBpp, source.data());
    EXPECT_EQ(VisiblePixel(keeper, 3, 3), c.pixel);
  }

  // Cut on the left and at the bottom: the visible columns 2..4 of a 5-wide
  // stretch of "ab" take source columns 0, 1, 1.
  CAbstractSurfaceKeeper plain;
  ASSERT_EQ(plain.Create(4, 2, 32, 0), 1);
  const Bytes ab = MakeBytes({0xA, 0, 0, 0, 0xB, 0, 0, 0, 0xA, 0, 0, 0, 0xB, 0, 0, 0});
  plain.StretchBlt(2, 2, RECT{-2, 0, 3, 3}, 4, ab.data());
  Bytes row(16);
  ASSERT_EQ(plain.ReadRect(0, 0, 4, 1, row.data()), 0);
  EXPECT_EQ(row[0], 0xA);
  EXPECT_EQ(row[4], 0xB);
  EXPECT_EQ(row[8], 0xB);
  EXPECT_EQ(row[12], 0);

  // source width x 65536 passes 32 bits: column 1 of 2 is source column 35000.
  const int wide = 70000;
  Bytes line(size_t(wide) * 4, 0);
  line[35000 * 4] = 0x5E;
  line[35001 * 4] = 0x5F;
  plain.StretchBlt(wide, 1, RECT{0, 1, 2, 2}, 4, line.data());
  ASSERT_EQ(plain.ReadRect(0, 1, 2, 1, row.data()), 0);
  EXPECT_EQ(row[4], 0x5E);

  // Empty or inverted destinations and sources draw nothing (and divide by
  // nothing); a destination of extreme size is clipped.
  const Bytes one = MakeBytes({1, 1, 1, 1});
  plain.StretchBlt(1, 1, RECT{3, 0, 3, 2}, 4, one.data());
  plain.StretchBlt(1, 1, RECT{4, 2, 3, 0}, 4, one.data());
  plain.StretchBlt(-1, 1, RECT{0, 0, 4, 2}, 4, one.data());
  plain.StretchImage(0, 0, 4, one.data());
  ASSERT_EQ(plain.ReadRect(3, 1, 1, 1, row.data()), 0);
  EXPECT_EQ(row[0], 0);
  plain.StretchBlt(1, 1, RECT{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, 4, one.data());
  ASSERT_EQ(plain.ReadRect(3, 1, 1, 1, row.data()), 0);
  EXPECT_EQ(row[0], 1);
}

// ---------------------------------------------------------------- blits

struct BlitCase {
  const char* name;
  int x, y, width, height;
  int drawX, drawY, columns, rows;  // the clipped area
  int skipX, skipY;                 // picture columns and rows that fell off
};

TEST(BitBlt, ClipsEveryEdge) {
  const BlitCase cases[] = {
      {"inside", 2, 1, 5, 3, 2, 1, 5, 3, 0, 0},
      {"negative x", -3, 2, 5, 3, 0, 2, 2, 3, 3, 0},
      {"negative y", 4, -2, 3, 4, 4, 0, 3, 2, 0, 2},
      {"right edge", 13, 0, 6, 2, 13, 0, 3, 2, 0, 0},
      {"bottom edge", 0, 6, 2, 5, 0, 6, 2, 2, 0, 0},
      {"beyond right", 16, 0, 4, 4, 0, 0, 0, 0, 0, 0},
      {"beyond bottom", 0, 8, 4, 4, 0, 0, 0, 0, 0, 0},
      {"empty", 3, 3, 0, 4, 0, 0, 0, 0, 0, 0},
      {"far left", INT_MIN, 0, 4, 4, 0, 0, 0, 0, 0, 0},
  };
  for (const BlitCase& c : cases) {
    SCOPED_TRACE(c.name);
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
    const int w = std::abs(c.width);
    Bytes picture;
    for (int r = 0; r < c.height; ++r)
      for (int col = 0; col < w; ++col) picture.insert(picture.end(), {BYTE(col), BYTE(r), 0xA0});
    if (picture.empty()) picture.resize(3);
    keeper.BitBlt(c.x, c.y, c.width, c.height, 3, picture.data());
    for (int y = 0; y < 14; ++y)
      for (int x = 0; x < 16; ++x) {
        const int px = x - c.drawX, py = y - c.drawY;
        const bool drawn = px >= 0 && px < c.columns && py >= 0 && py < c.rows;
        const Bytes expected = drawn ? MakeBytes({c.skipX + px, c.skipY + py, 0xA0}) : Bytes(3, 0);
        ASSERT_EQ(VisiblePixel(keeper, x, y), expected) << x << "," << y;
      }
  }
}

TEST(BitBlt, NegativeWidthDrawsTheLastStoredRowAtTheTop) {
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
  const Bytes picture = MakeBytes({1, 1, 1, 2, 2, 2, 3, 3, 3});  // 1 x 3, stored rows 1 2 3
  keeper.BitBlt(0, 0, -1, 3, 3, picture.data());
  EXPECT_EQ(VisiblePixel(keeper, 0, 0), MakeBytes({3, 3, 3}));
  EXPECT_EQ(VisiblePixel(keeper, 0, 2), MakeBytes({1, 1, 1}));
  keeper.BitBlt(4, 0, INT_MIN, 3, 3, picture.data());
  EXPECT_EQ(VisiblePixel(keeper, 4, 0), MakeBytes({0, 0, 0}));
}

TEST(BitBlt, ConvertsOnlyWhereAConversionExists) {
  const struct {
    int depth, sourceBpp;
    Bytes pixel;
  } cases[] = {
      {16, 3, MakeBytes({0x06, 0x11})},  {16, 4, MakeBytes({0x06, 0x11})},
      {16, 2, MakeBytes({0, 0})},        {24, 3, MakeBytes({0x11, 0x22, 0x33})},
      {24, 4, MakeBytes({0, 0, 0})},     {24, 2, MakeBytes({0, 0, 0})},
      {32, 4, MakeBytes({0x11, 0x22, 0x33, 0x44})}, {32, 3, MakeBytes({0, 0, 0, 0})},
      {8, 1, MakeBytes({0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.depth << " from " << c.sourceBpp);
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, c.depth, 0), 1);
    const Bytes colour = MakeBytes({0x11, 0x22, 0x33, 0x44});
    const Bytes source = SolidPicture(2, 2, Bytes(colour.begin(), colour.begin() + c.sourceBpp));
    keeper.BitBlt(1, 1, 2, 2, c.sourceBpp, source.data());
    EXPECT_EQ(VisiblePixel(keeper, 2, 2), c.pixel);
  }
}

TEST(BitBlt, DoubleBufferModeSkipsFourByteSurfaces) {
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(16, 8, 32, 0), 1);
  keeper.SyncBuffers();
  const Bytes source = SolidPicture(2, 2, MakeBytes({1, 2, 3, 4}));
  keeper.BitBlt(0, 0, 2, 2, 4, source.data());
  EXPECT_EQ(VisiblePixel(keeper, 0, 0), Bytes(4, 0));
  keeper.SetSingleBuffer();
  keeper.BitBlt(0, 0, 2, 2, 4, source.data());
  EXPECT_EQ(VisiblePixel(keeper, 0, 0), MakeBytes({1, 2, 3, 4}));
}

// ---------------------------------------------------------------- copies

struct CopyCase {
  const char* name;
  int destX, destY, sourceX, sourceY, width, height;
  bool copies;
  int clipped[6];  // dest x, dest y, source x, source y, width, height
};

Bytes PatternPixel(int x, int y) { return MakeBytes({x, y, 0x5A}); }

TEST(CopyRect, ClipsBothRectanglesAndCopiesOverlapsCorrectly) {
  const CopyCase cases[] = {
      {"apart", 0, 0, 8, 4, 4, 4, true, {0, 0, 8, 4, 4, 4}},
      {"overlap down right", 2, 1, 0, 0, 10, 6, true, {2, 1, 0, 0, 10, 6}},
      {"overlap up left", 0, 0, 2, 1, 10, 6, true, {0, 0, 2, 1, 10, 6}},
      {"same row right", 3, 5, 0, 5, 20, 1, true, {3, 5, 0, 5, 20, 1}},
      {"source past right", 0, 0, 28, 0, 8, 4, true, {0, 0, 28, 0, 4, 4}},
      {"dest past bottom", 0, 14, 0, 0, 4, 4, true, {0, 14, 0, 0, 4, 2}},
      {"negative dest x", -3, 0, 4, 0, 6, 2, true, {0, 0, 7, 0, 3, 2}},
      {"negative source y", 0, 2, 0, -1, 4, 4, true, {0, 3, 0, 0, 4, 3}},
      {"right below left", 0, 0, 4, 4, -5, 2, false, {}},
      {"everything", 0, 0, 0, 0, INT_MAX, INT_MAX, true, {0, 0, 0, 0, 32, 16}},
      {"far away", INT_MIN, 0, 0, 0, 10, 10, false, {}},
      {"dest beyond", 40, 0, 0, 0, 4, 4, false, {}},
      {"source beyond", 0, 0, 0, 16, 4, 4, false, {}},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(c.name);
    int dx = c.destX, dy = c.destY, sx = c.sourceX, sy = c.sourceY, w = c.width, h = c.height;
    ASSERT_EQ(ClipCopyRect(32, 16, &dx, &dy, &sx, &sy, &w, &h), c.copies);
    if (c.copies) {
      const int got[6] = {dx, dy, sx, sy, w, h};
      EXPECT_TRUE(std::equal(got, got + 6, c.clipped));
    }

    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(32, 16, 24, 0), 1);
    for (int ty = 0; ty < 16; ty += 8)
      for (int tx = 0; tx < 32; tx += 8) {
        Bytes tile;
        for (int r = 0; r < 8; ++r)
          for (int i = 0; i < 8; ++i) {
            const Bytes p = PatternPixel(tx + i, ty + r);
            tile.insert(tile.end(), p.begin(), p.end());
          }
        keeper.DrawTile(tx, ty, tile.data(), nullptr);
      }
    keeper.CopyRect(c.destX, c.destY, c.sourceX, c.sourceY, c.width, c.height);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 32; ++x) {
        Bytes expected = PatternPixel(x, y);
        const int* r = c.clipped;
        if (c.copies && x >= r[0] && x < r[0] + r[4] && y >= r[1] && y < r[1] + r[5])
          expected = PatternPixel(r[2] + x - r[0], r[3] + y - r[1]);
        ASSERT_EQ(VisiblePixel(keeper, x, y), expected) << x << "," << y;
      }
  }
}

TEST(CopyRect, DoubleBufferModeCopiesInBothImages) {
  KeyedScene scene(24);
  const Bytes keyTile = SolidPicture(8, 8, scene.key);
  scene.keeper.DrawTile(0, 0, keyTile.data(), nullptr);
  scene.keeper.CopyRect(40, 24, 0, 0, 8, 8);
  EXPECT_EQ(VisiblePixel(scene.keeper, 44, 28), scene.key);
  const Bytes probe = SolidPicture(8, 8, MakeBytes({0x61, 0x62, 0x63}));
  scene.keeper.BitBltKeyed(40, 24, 8, 8, 3, probe.data(), scene.keyValue);
  EXPECT_EQ(VisiblePixel(scene.keeper, 44, 28), MakeBytes({0x61, 0x62, 0x63}));
}

// ---------------------------------------------------------------- reading

TEST(ReadRect, OnlyThirtyTwoBitsAndClipped) {
  CAbstractSurfaceKeeper rgb;
  ASSERT_EQ(rgb.Create(8, 8, 24, 0), 1);
  Bytes out(256);
  EXPECT_EQ(rgb.ReadRect(0, 0, 1, 1, out.data()), -1);

  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(32, 8, 32, 0), 1);
  const Bytes tile = SolidPicture(8, 8, MakeBytes({1, 2, 3, 4}));
  keeper.DrawTile(24, 0, tile.data(), nullptr);
  for (const auto& args : {std::array<int, 4>{-1, 0, 1, 1}, std::array<int, 4>{0, -1, 1, 1},
                           std::array<int, 4>{0, 0, -1, 1}, std::array<int, 4>{0, 0, 1, -1}})
    EXPECT_EQ(keeper.ReadRect(args[0], args[1], args[2], args[3], out.data()), -1);

  std::fill(out.begin(), out.end(), 0xEE);
  ASSERT_EQ(keeper.ReadRect(28, 6, 8, 4, out.data()), 0);  // 4 x 2 remain, packed 16 bytes a row
  for (int i = 0; i < 32; ++i) EXPECT_EQ(out[i], BYTE(1 + i % 4)) << i;
  EXPECT_EQ(out[32], 0xEE);
  EXPECT_EQ(keeper.ReadRect(32, 0, 4, 4, out.data()), 0);
}

// ---------------------------------------------------------------- shadow

TEST(Shadow, DrawingStaysInvisibleUntilCommit) {
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(32, 16, 24, 0), 1);
  EXPECT_FALSE(keeper.HasShadow());
  EXPECT_FALSE(keeper.CommitShadow());
  ASSERT_TRUE(keeper.BeginShadow());
  EXPECT_FALSE(keeper.BeginShadow());
  EXPECT_TRUE(keeper.HasShadow());

  const Bytes colour = MakeBytes({0x21, 0x22, 0x23});
  const Bytes tile = SolidPicture(8, 8, colour);
  keeper.DrawTile(8, 8, tile.data(), nullptr);
  keeper.FillTile(0, 0, colour.data());
  keeper.CopyRect(16, 0, 8, 8, 8, 8);
  keeper.StretchBlt(1, 1, RECT{24, 8, 32, 16}, 3, colour.data());
  for (const auto& at : {std::make_pair(8, 8), std::make_pair(0, 0), std::make_pair(16, 0),
                         std::make_pair(24, 8)})
    EXPECT_EQ(VisiblePixel(keeper, at.first, at.second), MakeBytes({0, 0, 0}));

  EXPECT_TRUE(keeper.CommitShadow());
  for (const auto& at : {std::make_pair(8, 8), std::make_pair(0, 0), std::make_pair(16, 0),
                         std::make_pair(24, 8)})
    EXPECT_EQ(VisiblePixel(keeper, at.first, at.second), colour);

  // A blit commits by itself.
  const Bytes other = MakeBytes({0x31, 0x32, 0x33});
  keeper.BitBlt(0, 8, 1, 1, 3, other.data());
  EXPECT_EQ(VisiblePixel(keeper, 0, 8), other);
}

TEST(Shadow, PlainKeeperReadsItsDrawingTarget) {
  CAbstractSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(8, 8, 32, 0), 1);
  ASSERT_TRUE(keeper.BeginShadow());
  const BYTE colour[4] = {5, 6, 7, 8};
  keeper.FillTile(0, 0, colour);
  BYTE out[4] = {};
  ASSERT_EQ(keeper.ReadRect(0, 0, 1, 1, out), 0);
  EXPECT_EQ(MakeBytes({out[0], out[1], out[2], out[3]}), MakeBytes({5, 6, 7, 255}));
}

// A commit copies only what was drawn since the last one. Whatever the
// drawing, the visible image after each commit must equal that of a keeper
// that draws straight into its visible image.
struct CommitCase {
  const char* name;
  int width, height, depth;
  const char* steps;  // one letter an operation, '|' a commit
};

class ShadowTwin {
 public:
  ShadowTwin(int width, int height, int depth, uint32_t seed) : seed_(seed) {
    EXPECT_EQ(shadowed_.Create(width, height, depth, 0), 1);
    EXPECT_EQ(direct_.Create(width, height, depth, 0), 1);
    EXPECT_TRUE(shadowed_.BeginShadow());
  }

  void Run(char op) {
    const int w = direct_.GetWidth(), h = direct_.GetHeight();
    const int bpp = direct_.GetBitsPerPixel() / 8;
    const int x = Next(w + 8) - 4, y = Next(h + 8) - 4;
    Bytes pixels(size_t(32) * 32 * 4);
    for (BYTE& b : pixels) b = BYTE(Next(4) == 0 ? 0x11 : Next(256));
    for (ISurfaceKeeper* k : {static_cast<ISurfaceKeeper*>(&shadowed_),
                              static_cast<ISurfaceKeeper*>(&direct_)}) {
      switch (op) {
        case 't': k->DrawTile(x, y, pixels.data(), nullptr); break;
        case 'T': k->DrawTile16(x, y, pixels.data()); break;
        case 'f': k->FillTile(x, y, pixels.data()); break;
        case 'm': k->MarkTile(x, y); break;
        case 'c': k->CopyRect(x / 2, y / 2, x / 3, y / 3, w / 3, h / 3); break;
        case 'b': k->BitBlt(x, y, 20, 10, bpp, pixels.data()); break;
        case 's': k->StretchBlt(7, 5, RECT{x, y, x + 30, y + 20}, 3, pixels.data()); break;
        case 'y': k->SyncBuffers(); break;
        case 'v': k->SetVideoRect(RECT{0, 0, w / 2, h}); break;
        case 'k': k->BitBltKeyed(x, y, -12, 9, 3, pixels.data(), 0x111111); break;
        case 'K': k->StretchBltKeyed(9, 6, RECT{x, y, x + 25, y + 17}, 4, pixels.data(), 0x1111); break;
        case '1': k->SetSingleBuffer(); break;
        case '|': k->CommitShadow(); break;
      }
    }
  }

  bool SameImage() {
    return *shadowed_.GetImage() == *direct_.GetImage() &&
           std::memcmp(shadowed_.GetImage()->constBits(), direct_.GetImage()->constBits(),
                       size_t(direct_.GetImage()->sizeInBytes())) == 0;
  }

 private:
  int Next(int range) {
    seed_ = seed_ * 1103515245u + 12345u;
    return int((seed_ >> 8) % uint32_t(range));
  }
  uint32_t seed_;
  CQtDoubleBufferSurfaceKeeper shadowed_;
  CQtDoubleBufferSurfaceKeeper direct_;
};

TEST(Shadow, CommitOfWhatWasDrawnEqualsDrawingTheVisibleImage) {
  const CommitCase cases[] = {
      {"one tile a commit", 64, 48, 24, "t|t|t|t|t|"},
      {"nothing drawn", 64, 48, 24, "||t||"},
      {"edges and odd size", 100, 37, 24, "tttTTf|mmc|ttt|s|b|"},
      {"16-bit", 70, 40, 16, "ttfTc|sb|tm|"},
      {"32-bit", 70, 40, 32, "ttfc|sb|tm|"},
      {"8-bit", 70, 40, 8, "ttfTc|tm|"},
      {"double buffer and video", 96, 64, 24, "tt|yv|ttkt|K|tT|c|1t|"},
      {"double buffer 16-bit", 96, 64, 16, "t|yvtk|tK|f|c|"},
      {"large copies", 300, 200, 24, "tttttttttt|cccc|tc|"},
  };
  for (const CommitCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (uint32_t seed : {1u, 7u, 1234u}) {
      ShadowTwin twin(c.width, c.height, c.depth, seed);
      for (const char* op = c.steps; *op; ++op) {
        twin.Run(*op);
        if (*op == '|') {
          ASSERT_TRUE(twin.SameImage()) << "seed " << seed << " after " << (op - c.steps);
        }
      }
    }
  }
}

// ---------------------------------------------------------------- modes, export

TEST(DoubleBuffer, SyncCopiesTheVisibleImageAndModesSwitch) {
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
  EXPECT_TRUE(keeper.IsSingleBuffer());
  const Bytes keyTile = SolidPicture(8, 8, MakeBytes({1, 2, 3}));
  keeper.DrawTile(0, 0, keyTile.data(), nullptr);  // image A only
  keeper.SyncBuffers();
  EXPECT_FALSE(keeper.IsSingleBuffer());
  const Bytes probe = SolidPicture(16, 8, MakeBytes({9, 9, 9}));
  keeper.BitBltKeyed(0, 0, 16, 8, 3, probe.data(), 0x030201);
  EXPECT_EQ(VisiblePixel(keeper, 7, 7), MakeBytes({9, 9, 9}));    // B had the key
  EXPECT_EQ(VisiblePixel(keeper, 8, 0), MakeBytes({0, 0, 0}));    // B had black

  keeper.SetSingleBuffer();
  EXPECT_TRUE(keeper.IsSingleBuffer());
  // Single-buffer keyed blits are plain blits.
  keeper.BitBltKeyed(8, 0, 1, 1, 3, probe.data(), 0x030201);
  EXPECT_EQ(VisiblePixel(keeper, 8, 0), MakeBytes({9, 9, 9}));
}

// Tiles drawn between the start of double buffering and the first video
// rectangle, by every way tiles are drawn, reach the second image: a tile
// drawn inside the video afterwards goes into it whole, and a keyed blit
// finds the key exactly where the tiles put it.
TEST(DoubleBuffer, TilesBeforeTheVideoRectangleReachTheSecondImage) {
  const Bytes key = MakeBytes({1, 2, 3}), other = MakeBytes({0x40, 0x50, 0x60});
  const Bytes earlier = MakeBytes({0x70, 0x71, 0x72}), probe = MakeBytes({9, 9, 9});
  const std::vector<std::string> diagonal = {"KOOOOOOO", "OKOOOOOO", "OOKOOOOO", "OOOKOOOO",
                                             "OOOOKOOO", "OOOOOKOO", "OOOOOOKO", "OOOOOOOK"};
  const std::vector<std::string> ends(8, "KKOOOOKK");
  const Bytes diagonalTile = TileFromRows(diagonal, {{'K', key}, {'O', other}});
  const Bytes plainTile = SolidPicture(8, 8, earlier);
  const Bytes endsTile = TileFromRows(ends, {{'K', key}, {'O', other}});
  for (const bool throughWriter : {false, true}) {
    SCOPED_TRACE(throughWriter ? "tile writer" : "keeper");
    CQtDoubleBufferSurfaceKeeper keeper;
    ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
    // An earlier video left its key; this one starts without a rectangle.
    const Bytes dot = MakeBytes({0, 0, 0});
    keeper.SyncBuffers();
    keeper.BitBltKeyed(0, 0, 1, 1, 3, dot.data(), 0x030201);
    keeper.SetSingleBuffer();
    keeper.SyncBuffers();
    if (throughWriter) {
      TileWriter writer;
      ASSERT_TRUE(writer.Begin(&keeper));
      EXPECT_TRUE(writer.Draw(0, 0, diagonalTile.data(), diagonalTile.size(), nullptr, 0));
      EXPECT_TRUE(writer.Draw(8, 0, plainTile.data(), plainTile.size(), nullptr, 0));
      writer.End();
    } else {
      keeper.DrawTile(0, 0, diagonalTile.data(), nullptr);
      keeper.DrawTile(8, 0, plainTile.data(), nullptr);
    }
    keeper.SetVideoRect(RECT{0, 0, 16, 8});
    // Inside the video: the second image takes the tile whole, the visible
    // one keeps what it has under each row's key run (here whole rows).
    keeper.DrawTile(8, 0, endsTile.data(), nullptr);
    const Bytes video = SolidPicture(16, 8, probe);
    keeper.BitBltKeyed(0, 0, 16, 8, 3, video.data(), 0x030201);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x) {
        const bool keyed = x < 8 ? diagonal[y][x] == 'K' : ends[y][x - 8] == 'K';
        const Bytes& drawn = x < 8 ? other : earlier;
        ASSERT_EQ(VisiblePixel(keeper, x, y), keyed ? probe : drawn) << x << "," << y;
      }
  }
}

TEST(Export, BitmapOfTheVisibleImageWithoutAlpha) {
  CAbstractSurfaceKeeper plain;
  ASSERT_EQ(plain.Create(8, 8, 32, 0), 1);
  SurfaceBitmap* bitmap = nullptr;
  EXPECT_EQ(plain.GetHBitmap(&bitmap), -1);
  EXPECT_EQ(bitmap, nullptr);

  CQtDoubleBufferSurfaceKeeper empty;
  EXPECT_EQ(empty.GetHBitmap(&bitmap), -1);

  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(16, 8, 24, 0), 1);
  const Bytes tile = SolidPicture(8, 8, MakeBytes({0x10, 0x20, 0x30}));
  keeper.DrawTile(8, 0, tile.data(), nullptr);
  ASSERT_EQ(keeper.GetHBitmap(&bitmap), 0);
  std::unique_ptr<SurfaceBitmap> owned(bitmap);
  EXPECT_EQ(owned->Image().format(), QImage::Format_RGB32);
  EXPECT_EQ(owned->Image().size(), QSize(16, 14));
  EXPECT_EQ(owned->Image().pixel(9, 1), qRgb(0x10, 0x20, 0x30));
  EXPECT_FALSE(owned->Image().hasAlphaChannel());

  EXPECT_EQ(keeper.DrawVideoFrame(nullptr, nullptr, nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(plain.DrawVideoFrame(nullptr, nullptr, nullptr, 0), E_NOTIMPL);
  EXPECT_FALSE(keeper.QueryFeature(1, 2, 3, 4));
}

TEST(SurfaceDamage, GrowsOverWhatLiesOnTheSurfaceUntilTaken) {
  struct Add {
    int x, y, width, height;
    RECT box;  // after this add
  };
  // The surface is 64 x 32.
  const Add adds[] = {
      {70, 0, 8, 8, {-1, -1, -1, -1}},   // off the surface: nothing
      {8, 8, 8, 8, {8, 8, 16, 16}},
      {-4, 20, 8, 20, {0, 8, 16, 32}},  // clipped at the left and bottom edges
      {60, 0, 8, 8, {0, 0, 64, 32}},
  };
  CQtDoubleBufferSurfaceKeeper keeper;
  ASSERT_EQ(keeper.Create(64, 32, 24, 0), 1);
  for (const Add& a : adds) {
    SCOPED_TRACE(testing::Message() << a.x << "," << a.y << " " << a.width << "x" << a.height);
    keeper.AddDamage(a.x, a.y, a.width, a.height);
    const RECT box = keeper.Damage();
    using Box = std::array<LONG, 4>;
    EXPECT_EQ((Box{box.left, box.top, box.right, box.bottom}),
              (Box{a.box.left, a.box.top, a.box.right, a.box.bottom}));
  }
  const RECT taken = keeper.TakeDamage();
  EXPECT_EQ(taken.right, 64);
  EXPECT_EQ(keeper.Damage().left, -1);
}

}  // namespace
