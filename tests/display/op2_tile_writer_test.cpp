// The processor draws tiles through a writer that goes straight to the
// surface's drawing targets, and a flush copies only what was drawn. Both
// must give what the keeper's own tile drawing and a commit of the whole
// shadow give: the same pictures after every packet, the same repaint
// rectangles, the same cache slots.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "display/TileTarget.h"
#include "op2_test_support.h"
#include "testhost/DisplayEncoder.h"

namespace {

using testhost::DisplayEncoder;
using testhost::JpegTiles;
using testhost::PaintOptions;
using testhost::RgbImage;

// Draws every tile through DrawTile and commits the whole shadow.
class ReferenceKeeper : public CQtDoubleBufferSurfaceKeeper {
 public:
  bool GetTileTarget(TileTarget*) override { return false; }
  bool CommitShadow() override {
    view_.MarkAllDrawn();
    return CQtDoubleBufferSurfaceKeeper::CommitShadow();
  }
};

class ReferenceApi : public FakeDisplayApi {
 public:
  ReferenceApi() : FakeDisplayApi(false) { surfaces[0] = &reference; }
  int ResizeDisplay(int width, int height, int depth, int display) override {
    resizes.push_back({width, height, depth, display});
    reference.Create(width, height, depth, 0);
    return 0;
  }
  ReferenceKeeper reference;
};

RgbImage Picture(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  RgbImage image{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &image.rgb[(size_t(y) * width + x) * 3];
      const unsigned cell = (x / 8 * 7 + y / 8 * 3 + seed) % 4;
      for (int k = 0; k < 3; ++k)
        p[k] = uint8_t(cell == 0 ? random() : cell == 1 ? 60 * k : cell == 2 ? x + y * k : 200);
    }
  return image;
}

Bytes FrameReference() {
  Bytes p = Word(Group(5, 0));
  Put(p, 4, 3);
  p.insert(p.end(), {0xFF, 0xD8, 0xFF, 0xD9});
  return p;
}

Bytes Control(int kind) { return Word(Group(4, kind)); }

Bytes Bytes32(const std::vector<uint8_t>& v) { return Bytes(v.begin(), v.end()); }

struct WriterCase {
  const char* name;
  int width, height, depth;
  // The packets, made from an encoder that keeps the client's caches.
  std::function<std::vector<Bytes>(DisplayEncoder&)> packets;
  // Called on both surfaces after the first packet.
  std::function<void(ISurfaceKeeper&)> surfaceSetup = nullptr;
};

std::vector<Bytes> Paint(DisplayEncoder& encoder, int w, int h, unsigned seed, PaintOptions o,
                         bool mode = true) {
  o.modeOrder = mode;
  std::vector<Bytes> out;
  for (const auto& p : encoder.Paint(Picture(w, h, seed), o)) out.push_back(Bytes32(p));
  return out;
}

std::vector<Bytes> Join(std::initializer_list<std::vector<Bytes>> parts) {
  std::vector<Bytes> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

PaintOptions WithDepth(int depth) {
  PaintOptions o;
  o.depth = depth;
  o.packetBytes = 3000;
  return o;
}

TEST(Op2TileWriter, DrawsAndFlushesAsTheKeeperAndAWholeCommitDo) {
  const WriterCase cases[] = {
      {"24-bit, every kind of tile, odd size", 100, 61, 24,
       [](DisplayEncoder& e) {
         return Join({Paint(e, 100, 61, 1, WithDepth(24)), Paint(e, 100, 61, 2, WithDepth(24), false)});
       }},
      {"16-bit", 90, 40, 16,
       [](DisplayEncoder& e) {
         return Join({Paint(e, 90, 40, 3, WithDepth(16)), Paint(e, 90, 40, 3, WithDepth(16), false)});
       }},
      {"a frame reference, then every packet flushes", 96, 64, 24,
       [](DisplayEncoder& e) {
         return Join({Paint(e, 96, 64, 4, WithDepth(24)), {FrameReference()},
                      Paint(e, 96, 64, 5, WithDepth(24), false),
                      Paint(e, 96, 64, 6, WithDepth(24), false)});
       }},
      {"flush controls", 96, 64, 16,
       [](DisplayEncoder& e) {
         PaintOptions o = WithDepth(16);
         o.flush = true;
         return Join({Paint(e, 96, 64, 7, o), {Control(3)}, Paint(e, 96, 64, 8, o, false)});
       }},
      {"JPEG frames and containers", 128, 80, 24,
       [](DisplayEncoder& e) {
         PaintOptions frames = WithDepth(24), containers = WithDepth(24);
         frames.jpeg = JpegTiles::kFrame;
         containers.jpeg = JpegTiles::kContainer;
         return Join({Paint(e, 128, 80, 9, containers), Paint(e, 128, 80, 10, frames, false),
                      Paint(e, 128, 80, 11, containers, false)});
       }},
      {"double buffer with video under the desktop", 96, 64, 24,
       [](DisplayEncoder& e) {
         return Join({Paint(e, 96, 64, 12, WithDepth(24)), Paint(e, 96, 64, 13, WithDepth(24), false),
                      {FrameReference()}, Paint(e, 96, 64, 14, WithDepth(24), false)});
       },
       [](ISurfaceKeeper& k) {
         k.SyncBuffers();
         k.SetVideoRect(RECT{16, 8, 72, 48});
         Bytes key;
         for (int i = 0; i < 56 * 40; ++i) key.insert(key.end(), {0x11, 0x22, 0x33});
         k.BitBltKeyed(16, 8, 56, 40, 3, key.data(), -1);
       }},
      {"mode changes within the stream", 64, 48, 24,
       [](DisplayEncoder& e) {
         return Join({Paint(e, 64, 48, 15, WithDepth(24)), {FrameReference()},
                      Paint(e, 64, 48, 16, WithDepth(16), true), Paint(e, 64, 48, 17, WithDepth(24), true)});
       }},
      {"8-bit and 32-bit surfaces", 64, 48, 24,
       [](DisplayEncoder& e) {
         return Join({{ModeBytes(64, 48, 24)}, {ModeBytes(64, 48, 8)}, Paint(e, 64, 48, 18, WithDepth(16), false),
                      {ModeBytes(64, 48, 32)}, Paint(e, 64, 48, 19, WithDepth(16), false)});
       }},
  };
  for (const WriterCase& c : cases) {
    SCOPED_TRACE(c.name);
    DisplayEncoder encoder;
    const std::vector<Bytes> packets = c.packets(encoder);
    FakeDisplayApi api;
    ReferenceApi referenceApi;
    TestOp2Processor processor(&api), reference(&referenceApi);
    for (size_t i = 0; i < packets.size(); ++i) {
      processor.Packet(packets[i]);
      reference.Packet(packets[i]);
      if (i == 0 && c.surfaceSetup) {
        c.surfaceSetup(api.keeper);
        c.surfaceSetup(referenceApi.reference);
      }
      const QImage* image = api.keeper.GetImage();
      const QImage* expected = referenceApi.reference.GetImage();
      ASSERT_TRUE(image && expected);
      ASSERT_EQ(image->sizeInBytes(), expected->sizeInBytes());
      ASSERT_EQ(std::memcmp(image->constBits(), expected->constBits(), size_t(image->sizeInBytes())), 0)
          << "packet " << i;
      ASSERT_EQ(api.invalidated, referenceApi.invalidated) << "packet " << i;
    }
    for (auto cache : {&Op2Decoder::TileCache1, &Op2Decoder::TileCache2}) {
      const TileCache& mine = (processor.Decoder().*cache)();
      const TileCache& theirs = (reference.Decoder().*cache)();
      ASSERT_EQ(mine.Index(), theirs.Index());
      for (uint32_t slot = 0; slot < mine.Index(); ++slot)
        ASSERT_EQ(std::memcmp(mine.Peek(slot), theirs.Peek(slot), mine.SlotSize()), 0) << slot;
    }
  }
}

}  // namespace
