// The test host's display encoder against the client's processor: random
// pictures must arrive pixel for pixel, with both sides agreeing on every
// cache slot; compressed packets must paint what plain ones paint.
#include <gtest/gtest.h>
#include <lz4.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "op2_test_support.h"
#include "testhost/DisplayEncoder.h"
#include "testhost/DisplayPainter.h"

namespace {

using testhost::DisplayEncoder;
using testhost::JpegTiles;
using testhost::PaintOptions;
using testhost::RgbImage;

// A picture of 8x8 cells drawn from a few kinds, so that every way of
// coding a tile occurs: flat runs, tiles seen before, few colours, noise.
RgbImage RandomPicture(int width, int height, unsigned seed, bool smoothNoise = false) {
  std::mt19937 random(seed);
  auto byte = [&] { return uint8_t(random() & 0xFF); };
  std::vector<std::vector<uint8_t>> patterns(6);
  for (auto& p : patterns) {
    uint8_t colours[3][3] = {{byte(), byte(), byte()}, {byte(), byte(), byte()}, {byte(), byte(), byte()}};
    for (int i = 0; i < 64; ++i) {
      const uint8_t* c = colours[random() % 3];
      p.insert(p.end(), c, c + 3);
    }
  }
  RgbImage image;
  image.width = width;
  image.height = height;
  image.rgb.assign(size_t(width) * height * 3, 0);
  uint8_t flat[3] = {byte(), byte(), byte()};
  for (int cy = 0; cy < (height + 7) / 8; ++cy)
    for (int cx = 0; cx < (width + 7) / 8; ++cx) {
      const unsigned kind = random() % 10;
      if (kind == 0) flat[0] = byte(), flat[1] = byte(), flat[2] = byte();
      std::vector<uint8_t> palette;
      for (int i = 0; i < 3 * int(1 + random() % 16); ++i) palette.push_back(byte());
      const std::vector<uint8_t>& pattern = patterns[random() % patterns.size()];
      const int base = int(random() % 200);
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const int x = cx * 8 + c, y = cy * 8 + r;
          if (x >= width || y >= height) continue;
          uint8_t* out = &image.rgb[(size_t(y) * width + x) * 3];
          if (kind <= 3) {
            std::copy(flat, flat + 3, out);
          } else if (kind <= 5) {
            std::copy(&pattern[(r * 8 + c) * 3], &pattern[(r * 8 + c) * 3] + 3, out);
          } else if (kind <= 7) {
            const size_t i = (random() % (palette.size() / 3)) * 3;
            std::copy(&palette[i], &palette[i] + 3, out);
          } else if (smoothNoise) {
            for (int k = 0; k < 3; ++k) out[k] = uint8_t(base + r * 3 + c * 2 + k * 5 + int(random() % 5));
          } else {
            for (int k = 0; k < 3; ++k) out[k] = byte();
          }
        }
    }
  return image;
}

struct Client {
  FakeDisplayApi api;
  TestOp2Processor processor{&api};
  void Feed(const std::vector<testhost::Packet>& packets) {
    for (const auto& p : packets) ASSERT_EQ(processor.Packet(p), 0);
  }
};

void ExpectSameCaches(const DisplayEncoder& encoder, const Op2Decoder& decoder) {
  EXPECT_EQ(decoder.TileCache1().Index(), encoder.Cache1Index());
  EXPECT_EQ(decoder.TileCache2().Index(), encoder.Cache2Index());
  EXPECT_EQ(decoder.PaletteCache().Index(), encoder.PaletteCacheIndex());
  size_t mismatches = 0;
  for (const auto& slot : encoder.Cache1Contents()) {
    const BYTE* held = decoder.TileCache1().Peek(slot.first);
    if (!held || Bytes(held, held + slot.second.size()) != slot.second) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0u);
}

struct Variant {
  const char* name;
  PaintOptions options;
};

std::vector<Variant> LosslessVariants(int depth) {
  std::vector<Variant> out;
  PaintOptions o;
  o.depth = depth;
  out.push_back({"default", o});
  PaintOptions orders = o;
  orders.paletteOrders = true;
  orders.packetBytes = 700;
  out.push_back({"palette orders, small packets", orders});
  PaintOptions raw = o;
  raw.palettes = raw.repeats = raw.cacheRefs = false;
  out.push_back({"raw tiles only", raw});
  PaintOptions smallCache = o;
  smallCache.modeCacheBytes = 64 * 64 * 3;  // a few dozen slots: the ring wraps
  smallCache.sequence = true;
  smallCache.flush = true;
  out.push_back({"small cache, sequence, flush", smallCache});
  PaintOptions lz4 = o;
  lz4.lz4 = true;
  lz4.lz4TailBytes = 7;
  out.push_back({"compressed", lz4});
  return out;
}

TEST(Op2RoundTrip, RandomPicturesArrivePixelExactWithTheSameCacheSlots) {
  const std::pair<int, int> sizes[] = {{160, 96}, {203, 77}, {64, 8}};
  for (int depth : {16, 24}) {
    for (const Variant& v : LosslessVariants(depth)) {
      for (const auto& size : sizes) {
        SCOPED_TRACE(std::string(v.name) + " depth " + std::to_string(depth) + " " +
                     std::to_string(size.first) + "x" + std::to_string(size.second));
        const RgbImage image = RandomPicture(size.first, size.second, unsigned(size.first * depth));
        DisplayEncoder encoder;
        Client client;
        client.Feed(encoder.Paint(image, v.options));
        EXPECT_EQ(client.api.Visible(image.width, image.height), testhost::SurfaceBytes(image, depth));
        ExpectSameCaches(encoder, client.processor.Decoder());

        // A second picture in the same mode draws on what the caches hold.
        PaintOptions again = v.options;
        again.modeOrder = false;
        const RgbImage second = RandomPicture(size.first, size.second, unsigned(size.second + depth));
        client.Feed(encoder.Paint(second, again));
        EXPECT_EQ(client.api.Visible(image.width, image.height), testhost::SurfaceBytes(second, depth));
        ExpectSameCaches(encoder, client.processor.Decoder());
      }
    }
  }
}

// Our own type-11 wrapping; like a server, the packet as it is when the
// block would not be smaller.
Bytes WrapInTest(const Bytes& packet, size_t tail) {
  const Wrapped w = Wrap(packet, tail);
  return w.compressed > w.decompressed ? packet : w.Packet();
}

TEST(Op2RoundTrip, CompressedPacketsPaintWhatPlainOnesPaint) {
  const RgbImage image = RandomPicture(240, 136, 77, true);
  for (JpegTiles jpeg : {JpegTiles::kNone, JpegTiles::kContainer, JpegTiles::kFrame}) {
    PaintOptions options;
    options.jpeg = jpeg;
    options.packetBytes = 4000;
    // Tiles sent again rather than referenced give the compressor repeats.
    options.cacheRefs = options.repeats = false;
    DisplayEncoder encoder;
    const std::vector<testhost::Packet> packets = encoder.Paint(image, options);
    for (size_t tail : {size_t(0), size_t(1), size_t(300)}) {
      SCOPED_TRACE(std::to_string(int(jpeg)) + " tail " + std::to_string(tail));
      Client plain, wrapped;
      plain.Feed(packets);
      size_t compressed = 0;
      for (const auto& p : packets) {
        const Bytes w = WrapInTest(p, tail);
        compressed += w != p;
        wrapped.processor.Packet(w);
      }
      EXPECT_GT(compressed * 2, packets.size());
      EXPECT_EQ(wrapped.api.Visible(image.width, image.height), plain.api.Visible(image.width, image.height));
      EXPECT_EQ(wrapped.processor.Decoder().TileCache2().Index(), plain.processor.Decoder().TileCache2().Index());
      EXPECT_EQ(wrapped.api.invalidated.size(), plain.api.invalidated.size());
    }
  }
}

// Tiles of up to 16 colours travel losslessly next to JPEG-coded ones;
// those come back close to what was sent.
TEST(Op2RoundTrip, JpegTilesArriveCloseAndTheRestExact) {
  const RgbImage image = RandomPicture(200, 120, 5, true);
  const Bytes expected = testhost::SurfaceBytes(image, 24);
  for (JpegTiles jpeg : {JpegTiles::kContainer, JpegTiles::kFrame}) {
    SCOPED_TRACE(int(jpeg));
    PaintOptions options;
    options.jpeg = jpeg;
    options.jpegQuality = 98;
    DisplayEncoder encoder;
    Client client;
    client.Feed(encoder.Paint(image, options));
    const Bytes shown = client.api.Visible(image.width, image.height);
    ASSERT_EQ(shown.size(), expected.size());
    int64_t errors = 0, worst = 0;
    size_t lossyTiles = 0, exactTiles = 0;
    for (int ty = 0; ty * 8 < image.height; ++ty)
      for (int tx = 0; tx * 8 < image.width; ++tx) {
        int64_t tileError = 0;
        std::vector<uint32_t> colours;
        for (int r = 0; r < 8 && ty * 8 + r < image.height; ++r)
          for (int c = 0; c < 8 && tx * 8 + c < image.width; ++c) {
            const size_t at = (size_t(ty * 8 + r) * image.width + tx * 8 + c) * 3;
            const uint32_t colour = uint32_t(expected[at]) | expected[at + 1] << 8 | expected[at + 2] << 16;
            if (std::find(colours.begin(), colours.end(), colour) == colours.end()) colours.push_back(colour);
            for (int k = 0; k < 3; ++k) tileError += std::abs(int(shown[at + k]) - int(expected[at + k]));
          }
        if (colours.size() <= 16) {
          ++exactTiles;
          EXPECT_EQ(tileError, 0) << tx << "," << ty;
        } else {
          ++lossyTiles;
          errors += tileError;
          worst = std::max(worst, tileError);
        }
      }
    ASSERT_GT(lossyTiles, 10u);
    ASSERT_GT(exactTiles, 10u);
    // Mean error per colour byte of the JPEG-coded tiles.
    EXPECT_LT(double(errors) / double(lossyTiles * 192), 6.0);
    EXPECT_EQ(client.processor.Decoder().TileCache2().Index(), encoder.Cache2Index());
    EXPECT_EQ(client.processor.Decoder().FrameSeen(), jpeg == JpegTiles::kFrame);
  }
}

TEST(Op2RoundTrip, PicturesFromFilesAndPaintSettings) {
  const RgbImage image = RandomPicture(21, 13, 9);
  const std::string path = testing::TempDir() + "op2_picture.ppm";
  {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n21 13\n255\n";
    out.write(reinterpret_cast<const char*>(image.rgb.data()), std::streamsize(image.rgb.size()));
  }
  RgbImage loaded;
  std::string error;
  ASSERT_TRUE(testhost::LoadImageFile(path, &loaded, &error)) << error;
  EXPECT_EQ(loaded.width, 21);
  EXPECT_EQ(loaded.height, 13);
  EXPECT_EQ(loaded.rgb, image.rgb);
  std::remove(path.c_str());
  EXPECT_FALSE(testhost::LoadImageFile(path, &loaded, &error));

  PaintOptions options;
  EXPECT_TRUE(testhost::ParsePaintSettings("16,frame,lz4", &options));
  EXPECT_EQ(options.depth, 16);
  EXPECT_EQ(options.jpeg, JpegTiles::kFrame);
  EXPECT_TRUE(options.lz4);
  EXPECT_FALSE(testhost::ParsePaintSettings("32", &options));
}

}  // namespace
