// The display command stream at the decoder: what each command consumes,
// which requests it makes, which cache slots it fills, and that nothing is
// read beyond a command's measured bytes.
#include <gtest/gtest.h>
#include <lz4.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "display/Lz4Packet.h"
#include "display/Op2Decoder.h"
#include "display/PaletteTile.h"
#include "display/YuvTile.h"
#include "op2_test_support.h"

namespace {

constexpr uint32_t kCannot = Op2Decoder::kCannotTake;

// Records every request; copies a drawn tile into its record slot as a
// surface of the decoder's pixel size would.
class Recorder : public IOp2Requests {
 public:
  struct Draw {
    int x, y;
    Bytes pixels;
    bool recorded;
  };
  explicit Recorder(const Op2Decoder& decoder) : decoder_(decoder) {}

  void DrawTile(int x, int y, const BYTE* pixels, size_t pixelBytes, BYTE* record,
                size_t recordBytes) override {
    const size_t n = std::min<size_t>(64 * decoder_.BytesPerPixel(), pixelBytes);
    draws.push_back({x, y, Bytes(pixels, pixels + n), record != nullptr});
    if (record) std::memcpy(record, pixels, std::min(recordBytes, n));
    ++requests;
  }
  void DrawTile16(int x, int y, const BYTE* pixels, size_t pixelBytes) override {
    draws16.push_back({x, y, Bytes(pixels, pixels + pixelBytes), false});
    ++requests;
  }
  void CopyRect(int sx, int sy, int l, int t, int r, int b) override {
    copies.push_back({sx, sy, l, t, r, b});
    ++requests;
  }
  void SetPointerShape(const BYTE* record, size_t length) override {
    cursors.emplace_back(record, record + length);
    ++requests;
  }
  void SetPointerPosition(int x, int y) override {
    pointer.push_back({x, y});
    ++requests;
  }
  void SetPalette(const BYTE* entries) override {
    palette.assign(entries, entries + 1024);
    ++requests;
  }
  void SetDesktopGeometry(const int32_t v[4]) override {
    geometry.assign(v, v + 4);
    ++requests;
  }
  void SetMode(int w, int h, int d) override {
    modes.push_back({w, h, d});
    ++requests;
  }
  void FlushSurface() override { ++flushes; }
  int FlushMode() override { return flushMode; }
  void RequestRefresh() override { ++refreshes; }
  void SendClientEvent(uint32_t code, const BYTE* data, uint32_t length) override {
    events.push_back({code, length});
  }
  void SetStreamOverlayFlag(int flag, const BYTE* record, size_t length) override {
    overlay.push_back({flag, int(length)});
    ++requests;
  }
  void PostTextMessage(const char* text) override {
    texts.push_back(text);
    ++requests;
  }
  bool AlignsContainers() override { return align; }

  int requests = 0;
  int flushes = 0;
  int refreshes = 0;
  int flushMode = 0;
  bool align = true;
  std::vector<Draw> draws, draws16;
  std::vector<std::vector<int>> copies, pointer, modes, overlay;
  std::vector<std::vector<uint32_t>> events;
  std::vector<Bytes> cursors;
  Bytes palette;
  std::vector<int32_t> geometry;
  std::vector<std::string> texts;

 private:
  const Op2Decoder& decoder_;
};

// The decoder and its recorder, with the processor's command loop.
struct Stream {
  Op2Decoder decoder;
  Recorder requests{decoder};

  // The first command of a packet holding exactly these bytes.
  uint32_t First(const Bytes& packet) {
    const BYTE* data = packet.data();
    size_t length = packet.size();
    decoder.BeginPacket(requests, &data, &length);
    const uint32_t used = decoder.DecodeCommand(requests, data, length);
    decoder.EndPacket(requests);
    return used;
  }
  // The whole packet; the bytes decoded before the loop ended.
  size_t Run(const Bytes& packet) {
    const BYTE* data = packet.data();
    size_t length = packet.size();
    decoder.BeginPacket(requests, &data, &length);
    size_t position = 0;
    while (position + 1 < length) {
      const uint32_t used = decoder.DecodeCommand(requests, data + position, length - position);
      if (used == kCannot) break;
      position += used;
    }
    decoder.EndPacket(requests);
    return position;
  }
  void Mode(int width, int height, int depth) { Run(ModeBytes(width, height, depth)); }
};

Bytes Repeat(const Bytes& unit, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

// A 16 x height JPEG of smooth colours, 4:2:0.
Bytes MakeJpeg(int height, int seed = 1) {
  Bytes rgb(size_t(16) * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t((i * 7 + seed * 31) % 200 + 20);
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  tjCompress2(handle, rgb.data(), 16, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, 0);
  Bytes out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

// A container command: word, padding to four from the packet start (the
// command at offset `at`), N, D, payload, records.
Bytes Container(size_t at, int sub, const Bytes& payload, const Bytes& records, bool align = true) {
  Bytes out = Word(Group(3, sub));
  if (align)
    while ((at + out.size()) % 4) out.push_back(0);
  Put(out, 4 + payload.size() + records.size(), 4);
  Put(out, payload.size(), 4);
  out.insert(out.end(), payload.begin(), payload.end());
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

TEST(Op2DecoderOrders, ConsumeTheirLengthAndActWhenTheBodyFits) {
  Stream s;
  EXPECT_EQ(s.First({0x06, 0x00, 0x00, 0x01, 100, 0, 50, 0}), 8u);
  ASSERT_EQ(s.requests.pointer.size(), 1u);
  EXPECT_EQ(s.requests.pointer[0], (std::vector<int>{100, 50}));

  EXPECT_EQ(s.First({0x00, 0x00}), 2u);
  EXPECT_EQ(s.First({0x01, 0x00, 0x7F}), 3u);
  EXPECT_EQ(s.First(OrderBytes(10, 0, Bytes(9, 1))), 13u);
  EXPECT_EQ(s.First(OrderBytes(14, 0, Bytes(3, 1))), 7u);
  EXPECT_EQ(s.requests.requests, 1);
  // An order longer than the packet cannot be taken.
  EXPECT_EQ(s.First({0x06, 0x00, 0x00, 0x01, 100, 0, 50}), kCannot);
}

TEST(Op2DecoderOrders, BodiesShorterThanTheirTypeNeedsAreIgnored) {
  struct Case {
    uint8_t type;
    uint8_t flags;
    size_t need;
  };
  // At 2 bytes a pixel.
  const Case cases[] = {
      {1, 0, 4},       {3, 0, 512},       {4, 0, 128},     {4, 0x30, 130},
      {5, 0x01, 12},   {5, 0x13, 1 + 8 + 16}, {8, 0, 1},   {9, 0, 6},
      {12, 0, 12},     {15, 0, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    Stream s;
    Bytes body(c.need, 0);
    if (c.type == 9) body = {64, 0, 48, 0, 16, 0};
    if (c.type == 8) body = {1};
    body.pop_back();
    const Bytes shorter = OrderBytes(c.type, c.flags, body);
    EXPECT_EQ(s.First(shorter), shorter.size());
    EXPECT_EQ(s.requests.requests, 0);
    if (c.type == 9) body.push_back(0); else body.push_back(c.type == 8 ? 1 : 0);
    s.First(OrderBytes(c.type, c.flags, body));
    EXPECT_GE(s.requests.requests, 1);
  }
}

TEST(Op2DecoderOrders, TextIsBoundedByTheOrderAndTerminated) {
  Stream s;
  s.First(OrderBytes(48, 0, {'h', 'i', 0, 'x', 'y'}));
  s.First(OrderBytes(48, 0, {'a', 'b', 'c'}));
  s.First(OrderBytes(48, 0, {}));
  EXPECT_EQ(s.requests.texts, (std::vector<std::string>{"hi", "abc", ""}));
}

TEST(Op2DecoderOrders, CursorShapeMustFitItsOrder) {
  auto record = [](uint32_t flags, int dataLength, size_t size) {
    Bytes r(size, 0);
    for (int i = 0; i < 4; ++i) r[4 + i] = uint8_t(flags >> (8 * i));
    if (size >= 22) {
      r[20] = uint8_t(dataLength);
      r[21] = uint8_t(dataLength >> 8);
    }
    return r;
  };
  struct Case {
    Bytes body;
    bool taken;
  };
  const Case cases[] = {
      {record(0x40000000, 0, 8), true},   // hidden: flags only
      {record(0, 0, 272), true},          // monochrome 32 x 32
      {record(0, 0, 271), false},
      {record(2, 100, 122), true},        // 24-bit, 100 bytes of data
      {record(2, 100, 121), false},
      {record(3, -5, 64), false},         // negative data length
      {Bytes(7, 0), false},
  };
  for (const Case& c : cases) {
    Stream s;
    s.First(OrderBytes(2, 0, c.body));
    EXPECT_EQ(s.requests.cursors.size(), c.taken ? 1u : 0u) << c.body.size();
  }
}

TEST(Op2DecoderOrders, Palette256AndGeometryAndCopy) {
  Stream s;
  Bytes colours;
  for (int i = 0; i < 256; ++i) Put(colours, i == 1 ? 0x7FFF : i == 2 ? 0x001F : 0, 2);
  s.First(OrderBytes(3, 0, colours));
  ASSERT_EQ(s.requests.palette.size(), 1024u);
  EXPECT_EQ(Bytes(s.requests.palette.begin() + 4, s.requests.palette.begin() + 12),
            (Bytes{0xF8, 0xF8, 0xF8, 0, 0xF8, 0, 0, 0}));
  Bytes geometry;
  for (int32_t v : {-1920, 0, 3840, 1080}) Put(geometry, uint32_t(v), 4);
  s.First(OrderBytes(15, 0, geometry));
  EXPECT_EQ(s.requests.geometry, (std::vector<int32_t>{-1920, 0, 3840, 1080}));
  Bytes copy;
  for (int v : {1, 2, 30, 40, 10, 20}) Put(copy, v, 2);
  s.First(OrderBytes(12, 0, copy));
  EXPECT_EQ(s.requests.copies[0], (std::vector<int>{1, 2, 30, 40, 10, 20}));
}

TEST(Op2DecoderPalettes, PaletteOrderEntersThePaletteCacheFromFourBytes) {
  Stream s;
  // Two colours at 2 bytes: 4 bytes, stored; one colour: 2 bytes, not.
  s.First(OrderBytes(5, 0x01, Cat({{0x11, 0x22, 0x33, 0x44}, Bytes(8, 0xAA)})));
  EXPECT_EQ(s.decoder.PaletteCache().Index(), 1u);
  EXPECT_EQ(s.decoder.TileCache1().Index(), 1u);
  s.First(OrderBytes(5, 0x00, {0x55, 0x66}));
  EXPECT_EQ(s.decoder.PaletteCache().Index(), 1u);
  EXPECT_EQ(s.decoder.TileCache1().Index(), 2u);
  // Index bits pick colours least significant bit first.
  ASSERT_EQ(s.requests.draws.size(), 2u);
  EXPECT_EQ(Bytes(s.requests.draws[0].pixels.begin(), s.requests.draws[0].pixels.begin() + 4),
            (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(s.requests.draws[1].pixels, Repeat({0x55, 0x66}, 64));
}

TEST(Op2DecoderPalettes, ThreeByteColoursAreStoredReversed) {
  Stream s;
  s.Mode(64, 64, 24);
  s.First(OrderBytes(4, 0, Repeat({1, 2, 3}, 64)));
  s.First(Cat({Word(0x8000 | 3 << 6), {7, 8, 9}}));
  ASSERT_EQ(s.requests.draws.size(), 2u);
  EXPECT_EQ(s.requests.draws[0].pixels, Repeat({3, 2, 1}, 64));
  EXPECT_EQ(s.requests.draws[1].pixels, Repeat({9, 8, 7}, 64));
}

TEST(Op2DecoderPalettes, IndexWidthsExpandLeastSignificantFirst) {
  struct Case {
    int colours;
    Bytes indices;
    std::vector<int> firstPixels;
  };
  const Case cases[] = {
      {2, Bytes(8, 0x02), {0, 1, 0, 0}},
      {3, Bytes(16, 0x1B), {3, 2, 1, 0}},
      {5, Cat({{0x88, 0xC6, 0xFA}, Bytes(21, 0)}), {0, 1, 2, 3, 4, 5, 6, 7}},
      {16, Bytes(32, 0xA5), {5, 10, 5, 10}},
  };
  for (const Case& c : cases) {
    Stream s;
    Bytes colours;
    for (int i = 0; i < c.colours; ++i) Put(colours, 0x100 + i, 2);
    const Bytes body = Cat({colours, c.indices});
    const uint16_t word = uint16_t(0x8000 | body.size() << 6 | (c.colours - 1));
    if (body.size() <= 63) {
      ASSERT_EQ(s.First(Cat({Word(word), body})), body.size() + 2);
    } else {  // the wide palette carries its index width
      const uint16_t wide = uint16_t(0xD000 | (c.colours - 1) << 6 | 4);
      ASSERT_EQ(s.First(Cat({Word(wide), body})), body.size() + 2);
    }
    ASSERT_EQ(s.requests.draws.size(), 1u);
    for (size_t i = 0; i < c.firstPixels.size(); ++i) {
      const int index = c.firstPixels[i] < c.colours ? c.firstPixels[i] : -1;
      const Bytes& p = s.requests.draws[0].pixels;
      if (index >= 0) {
        EXPECT_EQ(p[2 * i] | p[2 * i + 1] << 8, 0x100 + index) << c.colours << " " << i;
      }
    }
  }
}

TEST(Op2DecoderPalettes, KeptAndCachedPalettes) {
  Stream s;
  // Four colours, stored in palette slot 0 and kept.
  s.First(Cat({Word(0x8000 | (8 + 16) << 6 | 3), {1, 0, 2, 0, 3, 0, 4, 0}, Bytes(16, 0xE4)}));
  // Kept palette, two colours: indices 0 and 1.
  s.First(Cat({Word(0x9000 | 8 << 6 | 1), Bytes(8, 0xAA)}));
  // Cached palette from slot 0 with its four colours (index width 2).
  s.First(Cat({Word(0xE000 | 0x800 | 2), {0x00}, Bytes(16, 0x1B)}));
  ASSERT_EQ(s.requests.draws.size(), 3u);
  EXPECT_EQ(Bytes(s.requests.draws[1].pixels.begin(), s.requests.draws[1].pixels.begin() + 4),
            (Bytes{1, 0, 2, 0}));
  EXPECT_EQ(Bytes(s.requests.draws[2].pixels.begin(), s.requests.draws[2].pixels.begin() + 8),
            (Bytes{4, 0, 3, 0, 2, 0, 1, 0}));
  EXPECT_EQ(s.decoder.TileCache1().Index(), 3u);
  EXPECT_EQ(s.decoder.PaletteCache().Index(), 1u);
  // A cached palette whose count asks for more index bytes than the
  // command measured is refused.
  EXPECT_EQ(s.First(Cat({Word(0xE000 | 0x800 | 1), {0x00}, Bytes(8, 0), Bytes(8, 0)})), kCannot);
}

TEST(Op2DecoderCaches, OneColourTileIsRecordedAndReplayedFromTileCache1) {
  Stream s;
  EXPECT_EQ(s.First({0x80, 0x80, 0x34, 0x12}), 4u);
  EXPECT_EQ(s.decoder.TileCache1().Index(), 1u);
  // Cache run: length 2 (u16 start index 0), one tile.
  EXPECT_EQ(s.First({0x80, 0xB0, 0x00, 0x00}), 4u);
  EXPECT_EQ(s.decoder.TileCache1().Index(), 1u);
  ASSERT_EQ(s.requests.draws.size(), 2u);
  EXPECT_EQ(s.requests.draws[0].pixels, Repeat({0x34, 0x12}, 64));
  EXPECT_EQ(s.requests.draws[1].pixels, s.requests.draws[0].pixels);
  EXPECT_TRUE(s.requests.draws[0].recorded);
  EXPECT_FALSE(s.requests.draws[1].recorded);
  EXPECT_EQ(s.requests.draws[1].x, s.requests.draws[0].x + 8);
}

TEST(Op2DecoderCaches, CacheReferencesDrawFromTileCache2) {
  Stream s;
  s.Mode(256, 64, 24);
  // Seven YCbCr blocks placed at row 2 and kept in tile cache 2.
  Bytes blocks;
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 96; ++j) blocks.push_back(uint8_t(i * 30 + (j < 64 ? j : 128)));
  s.Run(Container(0, 1, blocks, {1, 5, 0, 0, 5, 7, 0, 2}));
  EXPECT_EQ(s.decoder.TileCache2().Index(), 7u);
  ASSERT_EQ(s.requests.draws.size(), 7u);
  EXPECT_EQ(s.requests.draws[3].x, 24);
  EXPECT_EQ(s.requests.draws[3].y, 16);
  s.requests.draws.clear();
  // Two tiles from tile cache 2 starting at slot 5.
  EXPECT_EQ(s.First({0x09, 0xC0, 0x05, 0x00}), 4u);
  ASSERT_EQ(s.requests.draws.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    BYTE tile[192];
    YuvBlockToBgr(tile, &blocks[size_t(5 + k) * 96]);
    EXPECT_EQ(s.requests.draws[k].pixels, Bytes(tile, tile + 192));
    EXPECT_FALSE(s.requests.draws[k].recorded);
  }
  EXPECT_EQ(s.requests.draws[1].x, s.requests.draws[0].x + 8);
}

TEST(Op2DecoderCaches, SlotIndexesBeyondTheCacheWrapToZero) {
  Stream s;
  s.First({0x80, 0x80, 0x34, 0x12});
  // Reference with the top index bits set: far beyond the slot count.
  s.First({0xC0, 0xCF, 0xFF, 0xFF});
  ASSERT_EQ(s.requests.draws.size(), 2u);
  EXPECT_EQ(s.requests.draws[1].pixels, s.requests.draws[0].pixels);
}

TEST(Op2DecoderCaches, SizesFromTheWireAreCapped) {
  Stream s;
  // The default caches take memory only when a slot is first used.
  EXPECT_FALSE(s.decoder.TileCache1().Allocated());
  EXPECT_FALSE(s.decoder.TileCache2().Allocated());
  Bytes block(Op2Decoder::kDisplayBlockBytes, 0);
  auto setSize = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) block[0x260 + i] = uint8_t(v >> (8 * i));
  };
  setSize(0xFFFFFFFF);
  s.decoder.ApplyDisplayBlock(block.data());
  EXPECT_EQ(s.decoder.TileCache1().Total(), 0x0C000000u);
  setSize(0);
  s.decoder.ApplyDisplayBlock(block.data());
  EXPECT_EQ(s.decoder.TileCache1().Total(), 0x200000u);
  EXPECT_EQ(s.decoder.TileCache2().Total(), 0x80000u);
  EXPECT_EQ(s.decoder.TileCache1().SlotCount(), 0x200000u / 128);
  // A mode order with a cache size rebuilds with that size, capped.
  Bytes body;
  Put(body, 640, 2);
  Put(body, 480, 2);
  Put(body, 24, 2);
  Put(body, 0xF0000000u, 4);
  body.resize(26, 0);
  s.First(OrderBytes(9, 0, body));
  EXPECT_EQ(s.decoder.TileCache1().Total(), 0x0C000000u);
  EXPECT_EQ(s.decoder.TileCache1().SlotSize(), 192u);
  EXPECT_EQ(s.decoder.TileCache2().Total(), 0x03000000u);
  EXPECT_TRUE(s.decoder.TileCache1().Allocated());
}

TEST(Op2DecoderModes, SizesAndDepthsNoSurfaceTakesAreIgnored) {
  struct Case {
    int width, height, depth;
  };
  for (const Case& c : {Case{0, 480, 16}, Case{640, 0, 16}, Case{640, 480, 0}, Case{640, 480, 7},
                        Case{640, 480, 12}, Case{640, 480, 64}}) {
    Stream s;
    s.Mode(c.width, c.height, c.depth);
    EXPECT_TRUE(s.requests.modes.empty());
    EXPECT_EQ(s.decoder.BytesPerPixel(), 2);
    EXPECT_EQ(s.decoder.TileCache1().SlotSize(), 128u);
  }
}

TEST(Op2DecoderRepeats, RepeatCountsAndPositions) {
  Stream s;
  s.First({0x80, 0x80, 0x34, 0x12});  // at x = 8 (from 0, no prefix)
  // Repeat with a column prefix at 10 and count 3: tiles at 80, 88, 96.
  s.First({0x90, 0xA0, 10, 3});
  // Count 0 draws nothing and leaves x 8 left of the prefix position.
  s.First({0x90, 0xA0, 20, 0});
  s.First({0x40, 0xA0, 1});           // x advanced from 152 to 160
  // Repeat order: x += 8 before each tile.
  s.First(OrderBytes(8, 0, {2}));
  std::vector<int> xs;
  for (const auto& d : s.requests.draws) xs.push_back(d.x);
  EXPECT_EQ(xs, (std::vector<int>{8, 80, 88, 96, 160, 168, 176}));
  for (size_t i = 1; i < s.requests.draws.size(); ++i) EXPECT_FALSE(s.requests.draws[i].recorded);
}

TEST(Op2DecoderGroups, SequenceNumbers) {
  Stream s;
  auto seq = [&](uint32_t n) {
    Bytes p = Word(Group(4, 4));
    Put(p, n, 4);
    return s.First(p);
  };
  EXPECT_EQ(seq(5), 6u);  // ignored while tracking is off
  EXPECT_FALSE(s.decoder.Tracking());
  for (uint32_t n = 0; n <= 7; ++n) EXPECT_EQ(seq(n), 6u);
  EXPECT_EQ(s.decoder.LastSequence(), 7);
  EXPECT_EQ(seq(8), 6u);
  EXPECT_EQ(seq(0), 6u);
  EXPECT_EQ(s.decoder.LastSequence(), 0);
  EXPECT_EQ(s.requests.refreshes, 0);
  EXPECT_EQ(seq(1), 6u);
  EXPECT_EQ(seq(10), kCannot);
  EXPECT_EQ(s.requests.refreshes, 1);
  EXPECT_FALSE(s.decoder.Tracking());
}

TEST(Op2DecoderGroups, ControlsOverlayFlushOriginAndSkips) {
  Stream s;
  EXPECT_EQ(s.First(Cat({Word(Group(4, 1)), {3, 0, 0, 0, 1, 2, 3}})), 9u);
  EXPECT_EQ(s.First(Cat({Word(Group(4, 2)), {0, 0, 0, 0}})), 6u);
  EXPECT_EQ(s.requests.overlay, (std::vector<std::vector<int>>{{1, 3}, {0, 0}}));
  EXPECT_EQ(s.First(Word(Group(4, 3))), 2u);
  EXPECT_EQ(s.requests.flushes, 1);
  s.requests.flushMode = 1;
  s.First(Word(Group(4, 3)));
  EXPECT_EQ(s.requests.flushes, 1);
  EXPECT_EQ(s.First(Cat({Word(Group(4, 5)), {0x10, 0, 0x20, 0, 9, 9, 9, 9}})), 10u);
  s.First({0x80, 0x80, 0x34, 0x12});
  EXPECT_EQ(s.requests.draws.back().x, 16 + 8);
  EXPECT_EQ(s.requests.draws.back().y, 32);
  EXPECT_EQ(s.First(Cat({Word(Group(4, 9)), {2, 0, 0, 0, 7, 7}})), 8u);
  EXPECT_EQ(s.First(Cat({Word(Group(4, 9)), {3, 0, 0, 0, 7, 7}})), kCannot);
  // Groups that do not exist end the packet.
  for (int g : {0, 2, 7, 8, 15, 0x20}) EXPECT_EQ(s.First(Cat({Word(Group(g, 0)), Bytes(16, 0)})), kCannot) << g;
  // Bit 10 is not part of the group number.
  EXPECT_EQ(s.First(Word(uint16_t(Group(4, 3) | 0x400))), 2u);
}

TEST(Op2DecoderGroups, YuvBlocksRawAndRunLength) {
  Stream s;
  s.Mode(64, 64, 16);
  Bytes block(96);
  for (int i = 0; i < 96; ++i) block[i] = uint8_t(16 + i);
  EXPECT_EQ(s.First(Cat({Word(Group(1, 0)), block})), 98u);
  // 96 bytes of 0x80 as one run: 0x81 0x80 (a run of 128, cut at 96).
  EXPECT_EQ(s.First(Cat({Word(Group(1, 1)), {2, 0x81, 0x80}})), 5u);
  BYTE tile[192];
  YuvBlockToBgr(tile, block.data());
  ASSERT_EQ(s.requests.draws.size(), 2u);
  EXPECT_EQ(Bytes(tile, tile + 128), s.requests.draws[0].pixels);
  EXPECT_TRUE(s.requests.draws[0].recorded);  // recorded at 2 bytes a pixel
  // Coded bytes that end before 96 bytes are made.
  EXPECT_EQ(s.First(Cat({Word(Group(1, 1)), {2, 0x05, 1, 2, 3}})), kCannot);
  EXPECT_EQ(s.First(Cat({Word(Group(1, 0)), Bytes(95, 0)})), kCannot);
  s.Mode(64, 64, 24);
  s.First(Cat({Word(Group(1, 0)), block}));
  EXPECT_FALSE(s.requests.draws.back().recorded);
}

TEST(Op2DecoderContainers, AlignmentFollowsTheClientsFlag) {
  for (bool align : {true, false}) {
    Stream s;
    s.requests.align = align;
    s.Mode(256, 64, 24);
    // Two empty orders first: the length word would lie two bytes off a
    // multiple of four without padding.
    const Bytes p = Cat({{0, 0, 0, 0}, Container(4, 5, Bytes(96, 0x80), {1, 5, 0, 0, 2, 1, 3, 1}, align)});
    EXPECT_EQ(s.Run(p), p.size());
    ASSERT_EQ(s.requests.draws.size(), 1u);
    EXPECT_EQ(s.requests.draws[0].x, 24);
    EXPECT_EQ(s.requests.draws[0].y, 8);
  }
}

TEST(Op2DecoderContainers, RecordsPlaceOnlyWhatTheUnitsHold) {
  Stream s;
  s.Mode(512, 256, 24);
  // Payload of one and a half YCbCr blocks: only one tile is placed.
  EXPECT_GT(s.Run(Container(0, 1, Bytes(150, 0x80), {1, 5, 0, 0, 5, 3, 0, 0})), 0u);
  EXPECT_EQ(s.requests.draws.size(), 1u);
  // Type 5 takes a slot per tile even where nothing is placed.
  EXPECT_EQ(s.decoder.TileCache2().Index(), 3u);
  // The origin record moves placed tiles.
  s.requests.draws.clear();
  const uint32_t v = 100 | 200u << 12;
  s.Run(Container(0, 1, Bytes(96, 0x80), {6, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), 1, 5, 0, 0, 2, 1, 1, 1}));
  ASSERT_EQ(s.requests.draws.size(), 1u);
  EXPECT_EQ(s.requests.draws[0].x, 108);
  EXPECT_EQ(s.requests.draws[0].y, 208);
  // Records before any decode place nothing; unknown types are skipped.
  s.requests.draws.clear();
  s.Run(Container(0, 1, Bytes(96, 0x80), {2, 1, 0, 0, 9, 9, 9, 9, 3, 0, 0, 0}));
  EXPECT_TRUE(s.requests.draws.empty());
}

TEST(Op2DecoderContainers, Codec7RowsOnlyThroughType8) {
  Stream s;
  s.Mode(512, 256, 24);
  const Bytes jpeg = MakeJpeg(32);
  // Type 2 after codec 7 places nothing; type 8 draws two 16 x 16 tiles.
  s.Run(Container(0, 4, jpeg, {1, 7, 0, 0, 2, 2, 0, 0, 8, 2, 4, 6}));
  EXPECT_TRUE(s.requests.draws.empty());
  ASSERT_EQ(s.requests.draws16.size(), 2u);
  EXPECT_EQ(s.requests.draws16[0].x, 32);
  EXPECT_EQ(s.requests.draws16[1].x, 48);
  EXPECT_EQ(s.requests.draws16[0].y, 48);
  EXPECT_EQ(s.requests.draws16[0].pixels.size(), 768u);
  // Type 8 without codec 7 draws nothing.
  s.requests.draws16.clear();
  s.Run(Container(0, 4, Bytes(96, 0x80), {1, 5, 0, 0, 8, 1, 0, 0}));
  EXPECT_TRUE(s.requests.draws16.empty());
}

TEST(Op2DecoderContainers, JpegAndLz4Codecs) {
  Stream s;
  s.Mode(512, 256, 24);
  const Bytes jpeg = MakeJpeg(16);
  s.Run(Container(0, 1, jpeg, {1, 9, 0, 0, 2, 4, 0, 0}));
  EXPECT_EQ(s.requests.draws.size(), 4u);
  s.requests.draws.clear();
  s.Run(Container(0, 1, jpeg, {1, 1, 0, 0, 2, 5, 0, 0}));
  EXPECT_EQ(s.requests.draws.size(), 2u);  // one macroblock: two units

  // Codec 10: a marked size word and one LZ4 block of raster blocks.
  Bytes raw(192);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i);
  std::vector<char> coded(LZ4_compressBound(192));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), coded.data(), 192, int(coded.size()));
  auto payload = [&](uint32_t word) {
    Bytes p;
    Put(p, word, 4);
    p.insert(p.end(), coded.begin(), coded.begin() + n);
    return p;
  };
  s.requests.draws.clear();
  s.Run(Container(0, 1, payload(0xFA000000u | 192), {1, 10, 0, 0, 2, 2, 0, 0}));
  ASSERT_EQ(s.requests.draws.size(), 2u);
  BYTE tile[192];
  YuvRasterBlockToBgr(tile, raw.data() + 96);
  EXPECT_EQ(s.requests.draws[1].pixels, Bytes(tile, tile + 192));
  // Unusable words and failed decodes fail the command.
  for (uint32_t word : {0x0A000000u | 192, 0xFA000000u | 16, 0xFAFFFFFFu, 0xFA000000u | 191, 0xFA000000u | 193}) {
    const Bytes c = Container(0, 1, payload(word), {1, 10, 0, 0, 2, 2, 0, 0});
    EXPECT_EQ(s.First(c), kCannot) << std::hex << word;
  }
  EXPECT_EQ(s.First(Container(0, 1, Bytes(40, 1), {1, 9, 0, 0})), kCannot);
  EXPECT_EQ(s.First(Container(0, 1, Bytes(40, 1), {1, 3, 0, 0})), kCannot);
}

TEST(Op2DecoderContainers, LengthsAreChecked) {
  Stream s;
  // Small or of another kind: consumed, nothing decoded.
  EXPECT_EQ(s.First(Cat({Word(Group(3, 1)), {0, 0}, {16, 0, 0, 0}, Bytes(16, 0xFF)})), 24u);
  EXPECT_EQ(s.First(Cat({Word(Group(3, 2)), {0, 0}, {20, 0, 0, 0}, Bytes(20, 0xFF)})), 28u);
  // Payload length beyond the container.
  Bytes bad = Cat({Word(Group(3, 1)), {0, 0}, {20, 0, 0, 0}, {17, 0, 0, 0}, Bytes(16, 0)});
  EXPECT_EQ(s.First(bad), kCannot);
  bad[8] = 16;
  EXPECT_EQ(s.First(bad), 28u);
  bad[8] = 0xFF;
  bad[11] = 0xFF;
  EXPECT_EQ(s.First(bad), kCannot);
}

TEST(Op2DecoderFrames, CommandsStopWhereTheFrameBegins) {
  Stream s;
  s.Mode(256, 256, 24);
  const Bytes jpeg = MakeJpeg(32);
  // The frame's bytes would be pointer orders if they were read as commands.
  const Bytes fake = Repeat({0x06, 0x00, 0x00, 0x01, 1, 0, 1, 0}, 4);
  for (const Bytes& frame : {jpeg, fake}) {
    s.requests.pointer.clear();
    s.requests.draws.clear();
    Bytes ref = Word(Group(5, 0));
    Put(ref, frame.size(), 3);
    const Bytes tiles = Cat({Word(uint16_t(Group(6, 5) | 0x30)), {2, 3}});
    const Bytes packet = Cat({ref, tiles, frame});
    EXPECT_EQ(s.Run(packet), packet.size());
    EXPECT_TRUE(s.requests.pointer.empty());
    EXPECT_TRUE(s.decoder.FrameSeen());
    if (frame == jpeg) {
      // A 16 x 32 frame holds four tiles; six were asked for.
      ASSERT_EQ(s.requests.draws.size(), 4u);
      EXPECT_EQ(s.requests.draws[0].x, 16);
      EXPECT_EQ(s.requests.draws[3].x, 40);
      EXPECT_EQ(s.requests.draws[0].y, 24);
      EXPECT_TRUE(s.requests.draws[0].recorded);
    } else {
      EXPECT_TRUE(s.requests.draws.empty());
    }
  }
  // Every packet end flushes once a frame was seen.
  EXPECT_EQ(s.requests.flushes, 2);
  s.Run({0x00, 0x00});
  EXPECT_EQ(s.requests.flushes, 3);
}

TEST(Op2DecoderFrames, ReferencesBeyondTheCommandAreRefused) {
  Stream s;
  const Bytes tail(10, 0);
  for (uint32_t length : {11u, 15u, 16u, 1000u}) {
    Bytes ref = Word(Group(5, 0));
    Put(ref, length, 3);
    EXPECT_EQ(s.First(Cat({ref, tail})), kCannot) << length;
  }
  Bytes ref = Word(Group(5, 0));
  Put(ref, 10, 3);
  EXPECT_EQ(s.First(Cat({ref, tail})), 5u);
  Bytes none = Word(Group(5, 0));
  Put(none, 0, 3);
  EXPECT_EQ(s.First(none), 5u);
}

TEST(Op2DecoderTileCommands, DecodeOnlyWithinTheirMeasuredLength) {
  Stream s;
  // Kind 0: length 3 holds one colour but the word asks for two colours and
  // eight index bytes.
  EXPECT_EQ(s.First(Cat({Word(0x8000 | 3 << 6 | 1), Bytes(40, 0)})), kCannot);
  // Kind 1 with a length too short for its indices.
  EXPECT_EQ(s.First(Cat({Word(0x9000 | 4 << 6 | 1), Bytes(40, 0)})), kCannot);
  // Repeat and cache run without their bytes.
  EXPECT_EQ(s.First(Cat({Word(0xA000), Bytes(4, 0)})), kCannot);
  EXPECT_EQ(s.First(Cat({Word(0xB000 | 1 << 6), Bytes(4, 0)})), kCannot);
  // Prefix bytes count into the length.
  EXPECT_EQ(s.First(Cat({Word(0xA000 | 0x30 | 2 << 6), {1, 2, 3}})), kCannot);
  EXPECT_EQ(s.First(Cat({Word(0xA000 | 0x30 | 3 << 6), {1, 2, 0}})), 5u);
  // Longer lengths than needed are skipped whole.
  EXPECT_EQ(s.First(Cat({Word(0x8000 | 10 << 6), Bytes(10, 0)})), 12u);
}

TEST(Op2DecoderPackets, CompressedPacketsUnwrapOnlyWhenEveryCheckHolds) {
  const Bytes inner = Repeat({0x06, 0x00, 0x00, 0x01, 7, 0, 9, 0}, 40);
  struct Case {
    const char* name;
    std::function<void(Wrapped&)> change;
    bool unwrapped;
  };
  const Case cases[] = {
      {"as made", [](Wrapped&) {}, true},
      {"another type", [](Wrapped& w) { w.type = 12; }, false},
      {"one byte short", [](Wrapped& w) { w.rest.empty() ? w.block.pop_back() : w.rest.pop_back(); }, false},
      {"one byte over", [](Wrapped& w) { w.rest.push_back(0); }, false},
      {"compressed above decompressed", [](Wrapped& w) { w.decompressed = w.compressed - 1; }, false},
      {"decompresses short", [](Wrapped& w) { w.decompressed += 1; }, false},
      {"decompresses long", [](Wrapped& w) { w.decompressed -= 1; }, false},
      {"beyond the output cap", [](Wrapped& w) { w.decompressed = 0x7FFFFFFF; }, false},
      {"lengths that wrap in 32 bits",
       [](Wrapped& w) {
         w.compressed = 0xFFFFFFF0u;
         w.tail = uint32_t(w.block.size() + w.rest.size() + 16);
         w.decompressed = 0xFFFFFFFFu;
       },
       false},
  };
  for (size_t tail : {size_t(0), size_t(13)}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " tail " + std::to_string(tail));
      Wrapped w = Wrap(inner, tail);
      c.change(w);
      const Bytes packet = w.Packet();
      Op2Decoder decoder;
      Recorder requests(decoder);
      const BYTE* data = packet.data();
      size_t length = packet.size();
      decoder.BeginPacket(requests, &data, &length);
      if (c.unwrapped) {
        ASSERT_EQ(length, inner.size());
        EXPECT_EQ(Bytes(data, data + length), inner);
      } else {
        EXPECT_EQ(length, packet.size());
        EXPECT_EQ(data, packet.data());
      }
      decoder.EndPacket(requests);
    }
  }
  // A header cut short is a plain packet.
  const Bytes cut = {11, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t length = 0;
  EXPECT_EQ(UnwrapLz4Packet(cut.data(), cut.size(), 1 << 20, &length), nullptr);
}

// One of each command, complete, at b bytes a pixel.
std::vector<Bytes> SampleCommands(int b) {
  const Bytes colour(size_t(b), 0x42);
  Bytes blocks96(96 * 3, 0x80);
  Bytes raw(192);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 3);
  std::vector<char> coded(LZ4_compressBound(192));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), coded.data(), 192, int(coded.size()));
  Bytes lz4Payload;
  Put(lz4Payload, 0xFA000000u | 192, 4);
  lz4Payload.insert(lz4Payload.end(), coded.begin(), coded.begin() + n);
  const Bytes jpeg = MakeJpeg(32, 3);
  Bytes cursor(40, 0);
  cursor[4] = 2;
  cursor[20] = 18;
  Bytes frameRef = Word(Group(5, 0));
  Put(frameRef, jpeg.size(), 3);
  std::vector<Bytes> out = {
      {0x06, 0x00, 0x00, 0x01, 100, 0, 50, 0},
      OrderBytes(2, 0, cursor),
      OrderBytes(3, 0, Bytes(512, 0x11)),
      OrderBytes(4, 0x30, Cat({{3, 4}, Bytes(size_t(64 * b), 0x21)})),
      OrderBytes(5, 0x33, Cat({{5, 6}, Repeat(colour, 4), Bytes(16, 0xE4)})),
      OrderBytes(8, 0, {3}),
      ModeBytes(320, 200, b * 8),
      OrderBytes(12, 0, {0, 0, 0, 0, 8, 0, 8, 0, 40, 0, 40, 0}),
      OrderBytes(15, 0, Bytes(16, 1)),
      OrderBytes(48, 0, {'o', 'k', 0}),
      Cat({Word(uint16_t(0x8000 | 0x30 | (2 + 2 * b + 8) << 6 | 1)), {1, 2}, colour, colour, Bytes(8, 0x5A)}),
      Cat({Word(uint16_t(0x9000 | 0x10 | 9 << 6 | 1)), {7}, Bytes(8, 0x5A)}),
      Cat({Word(uint16_t(0xA000 | 0x20 | 2 << 6)), {3, 4}}),
      Cat({Word(uint16_t(0xB000 | 0x30 | 4 << 6 | 2)), {1, 1, 0, 0}}),
      Cat({Word(uint16_t(0xC000 | 0x10 | 2)), {2, 0, 0}}),
      Cat({Word(uint16_t(0xC000 | 0x8 | 1)), {5, 0}}),
      Cat({Word(uint16_t(0xD000 | 0x20 | 2 << 6 | 2)), {4}, Repeat(colour, 3), Bytes(16, 0x1B)}),
      Cat({Word(uint16_t(0xE000 | 0x800 | 0x10 | 2)), {9, 0}, Bytes(16, 0x1B)}),
      Cat({Word(uint16_t(0xE000 | 1)), Bytes(8, 0x0F)}),
      Cat({Word(Group(1, 0) | 0x30), {1, 1}, Bytes(96, 0x70)}),
      Cat({Word(Group(1, 1)), {4, 0x81, 0x30, 0x00, 0x31}}),
      Container(0, 1, blocks96, {1, 5, 0, 0, 5, 3, 1, 1, 2, 1, 5, 5}),
      Container(0, 1, jpeg, {6, 16, 0, 1, 1, 9, 0, 0, 2, 2, 0, 0, 5, 2, 4, 0}),
      Container(0, 4, jpeg, {1, 7, 0, 0, 8, 2, 0, 0}),
      Container(0, 5, lz4Payload, {1, 10, 0, 0, 2, 2, 3, 3}),
      Cat({Word(Group(4, 1)), {2, 0, 0, 0, 1, 1}}),
      Cat({Word(Group(4, 4)), {0, 0, 0, 0}}),
      Cat({Word(Group(4, 5)), {8, 0, 8, 0, 0, 0, 0, 0}}),
      Cat({Word(Group(4, 11)), {1, 0, 0, 0, 1}}),
      Cat({frameRef, Word(Group(6, 3) | 0x10), {2}, jpeg}),
  };
  return out;
}

TEST(Op2DecoderPackets, EveryCommandCutAnywhereIsRefusedCleanly) {
  for (int b : {2, 3}) {
    SCOPED_TRACE(b);
    Stream s;
    s.Mode(320, 200, b * 8);
    FakeDisplayApi api;
    TestOp2Processor processor(&api);
    processor.Packet(ModeBytes(320, 200, b * 8));
    const std::vector<Bytes> commands = SampleCommands(b);
    for (size_t c = 0; c < commands.size(); ++c) {
      const Bytes& command = commands[c];
      const bool frame = c + 1 == commands.size();
      for (size_t cut = 0; cut <= command.size(); ++cut) {
        // Exactly the bytes of the cut, so that any read beyond shows.
        const Bytes packet(command.begin(), command.begin() + cut);
        processor.Packet(packet);
        if (cut < 2) continue;
        const uint32_t used = s.First(packet);
        // The frame reference stands alone while the cut leaves its frame
        // (the last F bytes) behind it.
        const size_t frameLength = command.size() - 8;
        if (frame && cut >= frameLength + 5)
          EXPECT_EQ(used, 5u) << "cut at " << cut;
        else if (cut < command.size())
          EXPECT_EQ(used, kCannot) << "command " << c << " cut at " << cut;
        else
          EXPECT_EQ(used, command.size()) << "command " << c;
      }
    }
  }
}
}  // namespace

// The vector expansion of palette tiles against the pixel-at-a-time one,
// at every pixel size and index width, over random palettes and indices;
// widths without an expansion and 4-byte pixels leave the tile alone.
TEST(Op2DecoderPalettes, VectorExpansionEqualsThePixelAtATimeOne) {
  std::mt19937 random(5);
  for (int b = 1; b <= 4; ++b)
    for (int width = 0; width <= 8; ++width)
      for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(std::to_string(b) + " bytes, width " + std::to_string(width));
        BYTE palette[64], indices[64], fast[3072], slow[3072];
        for (BYTE& v : palette) v = BYTE(random());
        for (BYTE& v : indices) v = BYTE(random());
        for (int i = 0; i < 3072; ++i) fast[i] = slow[i] = BYTE(i * 7);
        ExpandPaletteTile(fast, palette, b, indices, width);
        ExpandPaletteTileScalar(slow, palette, b, indices, width);
        ASSERT_EQ(std::memcmp(fast, slow, sizeof fast), 0);
      }
}
