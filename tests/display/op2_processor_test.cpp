// The display-update processor on a real surface with a recording system
// API: packet handling, the dirty box, mode changes with the resolution
// guard, shadow drawing and the clipping of copies.
#include <gtest/gtest.h>
#include <lz4.h>

#include <string>
#include <vector>

#include "op2_test_support.h"
#include "pelplat/debugout.h"

namespace {

// Debug lines written while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = SetDebugOutputSink([this](const std::string& line) { lines.push_back(line); });
  }
  ~LogCapture() { SetDebugOutputSink(previous_); }
  std::vector<std::string> lines;

 private:
  DebugOutputSink previous_;
};

Bytes Tile8(uint16_t colour) { return Cat({Word(0x8000 | 2 << 6), {uint8_t(colour), uint8_t(colour >> 8)}}); }

// A one-colour tile at (column, row) in tiles, at 2 bytes a pixel.
Bytes TileAt(int column, int row, uint16_t colour) {
  return Cat({Word(0x8000 | 0x30 | 4 << 6), {uint8_t(column), uint8_t(row), uint8_t(colour), uint8_t(colour >> 8)}});
}

Bytes Mode(int width, int height, int depth) { return ModeBytes(width, height, depth); }

uint16_t PixelAt(FakeDisplayApi& api, int x, int y) {
  const uint8_t* p = api.keeper.GetImage()->constScanLine(y) + x * 2;
  return uint16_t(p[0] | p[1] << 8);
}

struct Session {
  FakeDisplayApi api;
  TestOp2Processor processor{&api};
  Session(int width = 64, int height = 64, int depth = 16) {
    if (width) processor.Packet(Mode(width, height, depth));
    api.invalidated.clear();
  }
};

TEST(Op2Processor, PacketsOfOneByteDecodeNothingAndOneCommandIsDecoded) {
  Session s;
  EXPECT_EQ(s.processor.Packet({0x80}), 0);
  EXPECT_TRUE(s.api.invalidated.empty());
  EXPECT_EQ(s.processor.Packet({0x06, 0x00, 0x00, 0x01, 100, 0, 50, 0}), 0);
  ASSERT_EQ(s.api.pointer.size(), 1u);
  EXPECT_EQ(s.api.pointer[0], (std::vector<int>{100, 50}));
  EXPECT_EQ(s.processor.Packet(TileAt(2, 3, 0x1234)), 0);
  EXPECT_EQ(PixelAt(s.api, 16, 24), 0x1234);
  ASSERT_EQ(s.api.invalidated.size(), 1u);
  EXPECT_EQ(s.api.invalidated[0], (FakeDisplayApi::Rect{16, 24, 8, 8, 0}));
}

TEST(Op2Processor, WithoutASurfaceThePacketIsDropped) {
  FakeDisplayApi api(false);
  TestOp2Processor processor(&api);
  EXPECT_EQ(processor.Packet(Mode(64, 64, 16)), COp2Processor::kNoSurface);
  EXPECT_TRUE(api.resizes.empty());
  EXPECT_EQ(processor.Decoder().Width(), 0);
}

TEST(Op2Processor, DirtyBoxCoversEveryDrawnTileOfThePacket) {
  Session s(256, 128);
  s.processor.Packet(Cat({TileAt(1, 1, 1), TileAt(10, 5, 2), TileAt(3, 12, 3), Tile8(4)}));
  ASSERT_EQ(s.api.invalidated.size(), 1u);
  EXPECT_EQ(s.api.invalidated[0], (FakeDisplayApi::Rect{8, 8, 88 - 8, 104 - 8, 0}));
  EXPECT_EQ(s.api.keeper.Damage().left, -1);  // reported, so taken
  // A tile off the surface changes nothing that needs a repaint.
  s.processor.Packet(TileAt(200, 1, 5));
  EXPECT_EQ(s.api.invalidated.size(), 1u);
}

TEST(Op2Processor, CopiesAreClippedAndReportOnlyWhatWasCopied) {
  struct Case {
    const char* name;
    int sx, sy, left, top, right, bottom;
    FakeDisplayApi::Rect reported;  // width 0: nothing copied
  };
  // The surface is 64 x 64; the source tile at (0, 0) is colour 0x1111.
  const Case cases[] = {
      {"inside", 0, 0, 16, 16, 24, 24, {16, 16, 8, 8, 0}},
      {"right below left", 0, 0, 24, 16, 16, 24, {0, 0, 0, 0, 0}},
      {"past the right edge", 0, 0, 60, 8, 68, 16, {60, 8, 4, 8, 0}},
      {"source past the bottom", 0, 60, 8, 8, 16, 16, {8, 8, 8, 4, 0}},
      {"far outside", 0, 0, 65000, 65000, 65535, 65535, {0, 0, 0, 0, 0}},
      {"source far outside", 65000, 0, 0, 0, 8, 8, {0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.processor.Packet(TileAt(0, 0, 0x1111));
    s.api.invalidated.clear();
    Bytes body;
    for (int v : {c.sx, c.sy, c.left, c.top, c.right, c.bottom}) Put(body, uint32_t(v), 2);
    s.processor.Packet(OrderBytes(12, 0, body));
    if (c.reported.width == 0) {
      EXPECT_TRUE(s.api.invalidated.empty());
      continue;
    }
    ASSERT_EQ(s.api.invalidated.size(), 1u);
    EXPECT_EQ(s.api.invalidated[0], c.reported);
    const auto& r = c.reported;
    const uint16_t expected = c.sy == 0 ? 0x1111 : 0;
    EXPECT_EQ(PixelAt(s.api, r.x, r.y), expected);
    EXPECT_EQ(PixelAt(s.api, r.x + r.width - 1, r.y + r.height - 1),
              c.sy == 0 && r.height == 8 && r.width <= 8 ? 0x1111 : 0);
  }
}

TEST(Op2Processor, ModeOrderSetsGeometryUntilTheServerSendsItsOwn) {
  Session s(0);
  s.processor.Packet(Mode(800, 600, 24));
  ASSERT_EQ(s.api.geometries.size(), 1u);
  EXPECT_EQ(s.api.geometries[0], (std::vector<int32_t>{800, 600, 0, 0}));
  ASSERT_EQ(s.api.resizes.size(), 1u);
  EXPECT_EQ(s.api.resizes[0].depth, 24);
  EXPECT_EQ(s.api.keeper.GetColorDepth(), 24);

  // A geometry order as the last command reaches the system API only when
  // the next packet starts.
  Bytes values;
  for (int32_t v : {-800, 0, 1600, 600}) Put(values, uint32_t(v), 4);
  s.processor.Packet(OrderBytes(15, 0, values));
  EXPECT_EQ(s.api.geometries.size(), 1u);
  s.processor.Packet({0x00, 0x00});
  ASSERT_EQ(s.api.geometries.size(), 2u);
  EXPECT_EQ(s.api.geometries[1], (std::vector<int32_t>{-800, 0, 1600, 600}));
  s.processor.Packet(Mode(800, 600, 24));
  EXPECT_EQ(s.api.geometries.size(), 2u);
}

TEST(Op2Processor, ResolutionGuardRefusesTheFirstChangeThreeTimes) {
  LogCapture log;
  Session s(0);
  s.processor.Packet(Mode(1024, 768, 16));
  for (int i = 0; i < 4; ++i) s.processor.Packet(Mode(1280, 1024, 16));
  ASSERT_EQ(s.processor.events.size(), 4u);
  Bytes expected;
  for (uint32_t v : {1024u, 768u, 16u}) Put(expected, v, 4);
  expected.resize(52, 0);
  for (const auto& e : s.processor.events) {
    EXPECT_EQ(e.code, 0x4E000u);
    EXPECT_EQ(e.data, expected);
  }
  ASSERT_EQ(s.api.resizes.size(), 2u);
  EXPECT_EQ(s.api.resizes[1].width, 1280);
  EXPECT_EQ(s.api.keeper.GetHeight(), 1024);
  int retries = 0, accepted = 0;
  for (const std::string& line : log.lines) {
    retries += line.find("Wrong resolution 1280 1024, required 1024 768 retry connect") != std::string::npos;
    accepted += line.find("Wrong resolution 1280 1024 ACCEPTED") != std::string::npos;
  }
  EXPECT_EQ(retries, 3);
  EXPECT_EQ(accepted, 1);
  // The guard served once: later changes go through at once.
  s.processor.Packet(Mode(640, 480, 16));
  EXPECT_EQ(s.api.resizes.size(), 3u);
  EXPECT_EQ(s.processor.events.size(), 4u);
}

TEST(Op2Processor, ModeEqualToTheCurrentSizeDisarmsTheGuard) {
  Session s(0);
  s.processor.Packet(Mode(1024, 768, 16));
  s.processor.Packet(Mode(1024, 768, 16));
  s.processor.Packet(Mode(1280, 1024, 24));
  EXPECT_TRUE(s.processor.events.empty());
  ASSERT_EQ(s.api.resizes.size(), 3u);
  EXPECT_EQ(s.api.keeper.GetColorDepth(), 24);
}

TEST(Op2Processor, TilesForNarrowerPixelsThanTheSurfacesAreNotOverrun) {
  // The handshake made a 24-bit surface while the decoder still counts 2
  // bytes a pixel: its 128-byte cache slots must not be read or recorded
  // as 192-byte tiles.
  FakeDisplayApi api;
  api.keeper.Create(64, 64, 24, 0);
  TestOp2Processor processor(&api);
  Bytes block(796, 0);
  block[0x261] = 0x01;  // 256 bytes: two slots of 128, tile cache 2 none
  processor.OnServerDisplayBlock(block.data());
  EXPECT_EQ(processor.Decoder().TileCache1().SlotCount(), 2u);
  for (int i = 0; i < 3; ++i) processor.Packet(OrderBytes(4, 0, Bytes(128, uint8_t(i + 1))));
  EXPECT_EQ(processor.Decoder().TileCache1().Index(), 1u);
  processor.Packet({0x81, 0xB0, 0x01, 0x00});
  processor.Packet({0x09, 0xC0, 0x00, 0x00});

  // 3-byte tiles of a container on a 32-bit surface.
  FakeDisplayApi wide;
  TestOp2Processor onWide(&wide);
  onWide.Packet(Mode(64, 64, 32));
  wide.invalidated.clear();
  Bytes container = Word(Group(3, 1));
  Put(container, 0, 2);
  Put(container, 4 + 96 + 8, 4);
  Put(container, 96, 4);
  container.resize(container.size() + 96, 0x80);
  container.insert(container.end(), {1, 5, 0, 0, 2, 1, 0, 0});
  onWide.Packet(container);
  EXPECT_TRUE(wide.invalidated.empty());
}

TEST(Op2Processor, FlushControlSwitchesToShadowDrawing) {
  Session s;
  s.processor.Packet(TileAt(0, 0, 0x1111));
  s.processor.Packet(Word(Group(4, 3)));
  EXPECT_TRUE(s.api.keeper.HasShadow());
  s.api.invalidated.clear();
  // Drawn into the shadow: nothing visible, nothing reported at the end.
  s.processor.Packet(TileAt(1, 1, 0x2222));
  EXPECT_EQ(PixelAt(s.api, 8, 8), 0);
  EXPECT_TRUE(s.api.invalidated.empty());
  s.processor.Packet(Word(Group(4, 3)));
  EXPECT_EQ(PixelAt(s.api, 8, 8), 0x2222);
  ASSERT_EQ(s.api.invalidated.size(), 1u);
  EXPECT_EQ(s.api.invalidated[0], (FakeDisplayApi::Rect{8, 8, 8, 8, 0}));
}

// Another painter's unlock between packets repaints only its own damage:
// what waits in the shadow is shown by the flush.
TEST(Op2Processor, ShadowDamageWaitsForTheFlushNotForAnotherPaintersUnlock) {
  Session s;
  s.processor.Packet(Word(Group(4, 3)));
  s.processor.Packet(TileAt(1, 1, 0x2222));
  s.api.invalidated.clear();
  IDisplaySurfaces& surfaces = s.processor.surfaces;
  ISurfaceKeeper* surface = surfaces.Lock(0);
  ASSERT_EQ(surface, &s.api.keeper);
  surface->AddDamage(40, 40, 4, 4);
  surfaces.Unlock(surface, 0);
  EXPECT_EQ(s.api.invalidated, (std::vector<FakeDisplayApi::Rect>{{40, 40, 4, 4, 0}}));
  s.processor.Packet(Word(Group(4, 3)));
  EXPECT_EQ(s.api.invalidated, (std::vector<FakeDisplayApi::Rect>{{40, 40, 4, 4, 0}, {8, 8, 8, 8, 0}}));
}

TEST(Op2Processor, SequenceGapEndsThePacketAndAsksForARefresh) {
  Session s;
  auto seq = [](uint32_t n) {
    Bytes b = Word(Group(4, 4));
    Put(b, n, 4);
    return b;
  };
  s.processor.Packet(Cat({seq(0), seq(1), TileAt(0, 0, 1)}));
  EXPECT_TRUE(s.processor.events.empty());
  s.processor.Packet(Cat({seq(3), TileAt(1, 0, 2)}));
  ASSERT_EQ(s.processor.events.size(), 1u);
  EXPECT_EQ(s.processor.events[0].code, 0x4A000u);
  EXPECT_EQ(s.processor.events[0].data, Bytes(4, 0));
  EXPECT_EQ(PixelAt(s.api, 8, 0), 0);
  EXPECT_EQ(PixelAt(s.api, 0, 0), 1);
}

TEST(Op2Processor, CompressedPacketOffByOneIsDecodedAsItStands) {
  Session s;
  const Bytes inner = Cat({TileAt(0, 0, 0x0F0F), TileAt(1, 0, 0x0F0F), TileAt(2, 0, 0x0F0F), TileAt(3, 0, 0x0F0F)});
  Bytes packet = Wrap(inner, 0).Packet();
  packet.push_back(0);  // one byte more than the header accounts for
  s.processor.Packet(packet);
  EXPECT_EQ(PixelAt(s.api, 0, 0), 0);
  packet.pop_back();
  s.processor.Packet(packet);
  EXPECT_EQ(PixelAt(s.api, 24, 7), 0x0F0F);
}

TEST(Op2Processor, PointerOverlayAndTextReachTheSystemApi) {
  Session s;
  Bytes cursor(8, 0);
  cursor[7] = 0x80;  // hidden
  s.processor.Packet(Cat({OrderBytes(2, 0, cursor), OrderBytes(48, 0, {'{', '}', 0}),
                          Word(Group(4, 1)), {1, 0, 0, 0, 9}, Word(Group(4, 2)), {0, 0, 0, 0}}));
  ASSERT_EQ(s.api.cursors.size(), 1u);
  EXPECT_EQ(s.api.cursors[0], cursor);
  EXPECT_EQ(s.api.texts, (std::vector<std::string>{"{}"}));
  EXPECT_EQ(s.api.overlayFlags, (std::vector<int32_t>{1, 0}));
}

}  // namespace
