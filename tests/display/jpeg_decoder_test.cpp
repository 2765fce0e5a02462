// JPEG decoding against TurboJPEG's own decoding of pictures made at test
// time, the tile layouts byte for byte, and pictures that must be refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <turbojpeg.h>

#include "display/JpegDecoder.h"
#include "display/JpegMemorySource.h"
#include "display/JpegOutBuffer.h"
#include "jpeg_fixtures.h"

namespace {

struct FreeDeleter {
  void operator()(BYTE* p) const { std::free(p); }
};
using Owned = std::unique_ptr<BYTE, FreeDeleter>;

// A 16-wide picture in the layout that carries display tiles, made in
// several ways that exercise different parts of the decoder.
struct TileJpeg {
  const char* name;
  int height;
  Bytes jpeg;
};

std::vector<TileJpeg> TileJpegs() {
  std::vector<TileJpeg> out;
  const std::vector<std::string> sample420 = {"-sample", "2x2,1x1,1x1"};
  for (int height : {16, 32, 48, 160}) {
    const Bytes picture = TestPicture(16, height, height);
    out.push_back({"turbojpeg baseline", height, CompressWithTurboJpeg(picture, 16, height, TJSAMP_420)});
    out.push_back({"turbojpeg progressive", height,
                   CompressWithTurboJpeg(picture, 16, height, TJSAMP_420, TJFLAG_PROGRESSIVE)});
  }
  const Bytes picture = TestPicture(16, 64, 9);
  std::vector<std::string> args = sample420;
  args.insert(args.end(), {"-restart", "1B", "-quality", "75"});
  out.push_back({"cjpeg restarts", 64, CompressWithCjpeg(picture, 16, 64, args)});
  args = sample420;
  args.push_back("-optimize");
  out.push_back({"cjpeg optimized", 64, CompressWithCjpeg(picture, 16, 64, args)});
  return out;
}

TEST(JpegRawPlanes, EqualTurboJpegPlanesExactly) {
  for (const TileJpeg& t : TileJpegs()) {
    SCOPED_TRACE(testing::Message() << t.name << " 16x" << t.height);
    const YuvPlanes reference = TurboJpegPlanes(t.jpeg);
    ASSERT_EQ(reference.height, t.height);
    JpegRawPlanes planes;
    ASSERT_EQ(ReadJpegRawPlanes(t.jpeg.data(), t.jpeg.size(), &planes), 0u);
    ASSERT_EQ(planes.width, 16);
    ASSERT_EQ(planes.height, t.height);
    EXPECT_EQ(0, std::memcmp(planes.Y(), reference.y.data(), reference.y.size()));
    EXPECT_EQ(0, std::memcmp(planes.Cb(), reference.cb.data(), reference.cb.size()));
    EXPECT_EQ(0, std::memcmp(planes.Cr(), reference.cr.data(), reference.cr.size()));
  }
}

TEST(JpegTileUnits, RearrangeTurboJpegPlanesByteForByte) {
  for (const TileJpeg& t : TileJpegs()) {
    SCOPED_TRACE(testing::Message() << t.name << " 16x" << t.height);
    const YuvPlanes p = TurboJpegPlanes(t.jpeg);
    int width = -1, height = -1;
    BYTE* raw = nullptr;
    ASSERT_EQ(DecodeJpegToTileUnits(t.jpeg.data(), t.jpeg.size(), &width, &height, &raw), 0u);
    Owned units(raw);
    ASSERT_EQ(width, 16);
    ASSERT_EQ(height, t.height);
    // Two 192-byte tiles per macroblock: (Y[8+r][c], Y[r][8+c], Y[r][c]) and
    // (Cr[r][c], Cb[r][c], Y[8+r][8+c]).
    for (int m = 0; m < t.height / 16; ++m) {
      auto Y = [&](int r, int c) { return p.y[(m * 16 + r) * 16 + c]; };
      auto Cb = [&](int r, int c) { return p.cb[(m * 8 + r) * 8 + c]; };
      auto Cr = [&](int r, int c) { return p.cr[(m * 8 + r) * 8 + c]; };
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const BYTE* first = units.get() + m * 384 + (r * 8 + c) * 3;
          const BYTE* second = first + 192;
          ASSERT_EQ(first[0], Y(8 + r, c));
          ASSERT_EQ(first[1], Y(r, 8 + c));
          ASSERT_EQ(first[2], Y(r, c));
          ASSERT_EQ(second[0], Cr(r, c));
          ASSERT_EQ(second[1], Cb(r, c));
          ASSERT_EQ(second[2], Y(8 + r, 8 + c));
        }
    }
  }
}

BYTE Clamp(int v) { return BYTE(std::min(255, std::max(0, v))); }

TEST(JpegBgrTiles, ConvertTurboJpegPlanesTileByTile) {
  for (const TileJpeg& t : TileJpegs()) {
    SCOPED_TRACE(testing::Message() << t.name << " 16x" << t.height);
    const YuvPlanes p = TurboJpegPlanes(t.jpeg);
    int width = 0, height = 0;
    BYTE* raw = nullptr;
    ASSERT_EQ(DecodeJpegToBgrTiles(t.jpeg.data(), t.jpeg.size(), &width, &height, &raw), 0u);
    Owned tiles(raw);
    ASSERT_EQ(height, t.height);
    for (int band = 0; band < t.height / 8; ++band)
      for (int half = 0; half < 2; ++half)
        for (int r = 0; r < 8; ++r)
          for (int c = 0; c < 8; ++c) {
            const int row = band * 8 + r, column = half * 8 + c;
            const int y = p.y[row * 16 + column];
            const int u = p.cb[(row / 2) * 8 + column / 2] - 128;
            const int v = p.cr[(row / 2) * 8 + column / 2] - 128;
            const int l = 298 * (y - 16);
            const BYTE* px = tiles.get() + (band * 2 + half) * 192 + (r * 8 + c) * 3;
            ASSERT_EQ(px[0], Clamp((l + 516 * u + 128) >> 8));
            ASSERT_EQ(px[1], Clamp((l - 100 * u - 208 * v + 128) >> 8));
            ASSERT_EQ(px[2], Clamp((l + 409 * v + 128) >> 8));
          }
  }
}

TEST(JpegBgrTiles, QuadrantsComeTopLeftTopRightBottomLeftBottomRightBlueFirst) {
  // 16 x 16 in four solid quadrants: red, green / blue, white.
  const BYTE colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  Bytes picture(16 * 16 * 3);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x)
      std::memcpy(&picture[(y * 16 + x) * 3], colours[(y / 8) * 2 + x / 8], 3);
  const Bytes jpeg = CompressWithTurboJpeg(picture, 16, 16, TJSAMP_420, 0, 100);
  int width = 0, height = 0;
  BYTE* raw = nullptr;
  ASSERT_EQ(DecodeJpegToBgrTiles(jpeg.data(), jpeg.size(), &width, &height, &raw), 0u);
  Owned tiles(raw);
  for (int tile = 0; tile < 4; ++tile) {
    // The centre pixel of each tile, far from chroma edges.
    const BYTE* px = tiles.get() + tile * 192 + (4 * 8 + 4) * 3;
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(px[i], colours[tile][2 - i], 12) << "tile " << tile << " byte " << i;
  }
}

TEST(JpegTileUnits, SixteenByThirtyTwoGivesFourUnits) {
  const Bytes jpeg = CompressWithTurboJpeg(TestPicture(16, 32, 1), 16, 32, TJSAMP_420);
  int width = 0, height = 0;
  BYTE* raw = nullptr;
  ASSERT_EQ(DecodeJpegToTileUnits(jpeg.data(), jpeg.size(), &width, &height, &raw), 0u);
  Owned units(raw);
  EXPECT_EQ(width * height * 3 / 2, 4 * 192);
  // Without a place for the units nothing is decoded and nothing fails.
  width = height = 7;
  EXPECT_EQ(DecodeJpegToTileUnits(jpeg.data(), jpeg.size(), &width, &height, nullptr), 0u);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
}

TEST(JpegRgb, EqualsTurboJpegBottomUp) {
  const struct {
    const char* name;
    int width, height, subsampling, format;
  } cases[] = {
      {"4:2:0 odd size", 37, 23, TJSAMP_420, TJPF_RGB},
      {"4:4:4", 40, 8, TJSAMP_444, TJPF_RGB},
      {"4:2:2 larger than one source piece", 320, 200, TJSAMP_422, TJPF_RGB},
      {"greyscale", 33, 17, TJSAMP_GRAY, TJPF_GRAY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes jpeg = CompressWithTurboJpeg(TestPicture(c.width, c.height, 3), c.width,
                                             c.height, c.subsampling, 0, 95);
    int refWidth = 0, refHeight = 0;
    const Bytes reference = TurboJpegPixelsBottomUp(jpeg, c.format, &refWidth, &refHeight);
    ASSERT_FALSE(reference.empty());
    JpegOutBuffer out;
    int width = 0, height = 0;
    ASSERT_EQ(DecodeJpegToRgb(jpeg.data(), jpeg.size(), &width, &height, 1, 1, &out), 0);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    ASSERT_EQ(out.GetSize(), reference.size());
    EXPECT_EQ(0, std::memcmp(out.GetData(), reference.data(), reference.size()));
  }
}

TEST(JpegRgb, SkipsLongMarkersAcrossSourcePieces) {
  Bytes jpeg = CompressWithTurboJpeg(TestPicture(24, 16, 5), 24, 16, TJSAMP_420);
  int refWidth = 0, refHeight = 0;
  const Bytes reference = TurboJpegPixelsBottomUp(jpeg, TJPF_RGB, &refWidth, &refHeight);
  // A 10000-byte comment right after the start marker is skipped unread.
  Bytes comment = {0xFF, 0xFE, 0x27, 0x10};
  comment.resize(10000 + 2, 'x');
  jpeg.insert(jpeg.begin() + 2, comment.begin(), comment.end());
  JpegOutBuffer out;
  int width = 0, height = 0;
  ASSERT_EQ(DecodeJpegToRgb(jpeg.data(), jpeg.size(), &width, &height, 1, 1, &out), 0);
  ASSERT_EQ(out.GetSize(), reference.size());
  EXPECT_EQ(0, std::memcmp(out.GetData(), reference.data(), reference.size()));

  // A comment that claims more bytes than there are ends the picture.
  Bytes cut = {0xFF, 0xD8, 0xFF, 0xFE, 0xFF, 0x00, 'x', 'y'};
  EXPECT_EQ(DecodeJpegToRgb(cut.data(), cut.size(), &width, &height, 1, 1, &out), -1);
}

TEST(JpegMemorySource, EmptyRangeHasNoDataForTheHeader) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  const BYTE nothing = 0;
  JpegMemorySource(&info, &nothing, 0);
  EXPECT_EQ(jpeg_read_header(&info, TRUE), JPEG_SUSPENDED);
  jpeg_destroy_decompress(&info);
}

TEST(JpegOutBuffer, FillsFromTheEndAndGrows) {
  JpegOutBuffer buffer;
  const BYTE a[3] = {1, 2, 3}, b[3] = {4, 5, 6}, c[2] = {7, 8};
  EXPECT_FALSE(buffer.Clear());
  EXPECT_FALSE(buffer.PrependRow(a, 3));  // no block yet
  EXPECT_FALSE(buffer.Reserve(0));
  ASSERT_TRUE(buffer.Reserve(6));
  ASSERT_TRUE(buffer.Clear());
  EXPECT_EQ(buffer.GetData(), nullptr);
  EXPECT_FALSE(buffer.PrependRow(nullptr, 3));
  EXPECT_FALSE(buffer.PrependRow(a, 0));
  ASSERT_TRUE(buffer.PrependRow(a, 3));
  ASSERT_TRUE(buffer.PrependRow(b, 3));
  ASSERT_TRUE(buffer.PrependRow(c, 2));  // grows to 8, keeping what was written
  ASSERT_EQ(buffer.GetSize(), 8u);
  EXPECT_EQ(Bytes(buffer.GetData(), buffer.GetData() + 8), Bytes({7, 8, 4, 5, 6, 1, 2, 3}));
  EXPECT_TRUE(buffer.Reserve(100));  // a block exists: nothing changes
  EXPECT_EQ(buffer.GetSize(), 8u);
  ASSERT_TRUE(buffer.Clear());
  EXPECT_EQ(buffer.GetData(), nullptr);
}

// ---------------------------------------------------------------- refusals

// Exactly the bytes, on the heap, so that a read past them is caught.
std::unique_ptr<BYTE[]> Exact(const Bytes& bytes) {
  std::unique_ptr<BYTE[]> copy(new BYTE[bytes.size() ? bytes.size() : 1]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

// Decodes with both tile decoders; true when both refused cleanly.
bool TileDecodersRefuse(const Bytes& bytes) {
  const auto data = Exact(bytes);
  bool refused = true;
  for (auto* decode : {DecodeJpegToTileUnits, DecodeJpegToBgrTiles}) {
    int width = -1, height = -1;
    BYTE* out = reinterpret_cast<BYTE*>(&width);
    const uint32_t rc = decode(data.get(), bytes.size(), &width, &height, &out);
    refused = refused && rc == kJpegTileFailure && out == nullptr && width == 0 && height == 0;
    if (rc == 0) std::free(out);
  }
  JpegRawPlanes planes;
  refused = refused && ReadJpegRawPlanes(data.get(), bytes.size(), &planes) == kJpegTileFailure;
  return refused;
}

int RgbDecode(const Bytes& bytes) {
  const auto data = Exact(bytes);
  JpegOutBuffer out;
  int width = 0, height = 0;
  return DecodeJpegToRgb(data.get(), bytes.size(), &width, &height, 1, 1, &out);
}

// Replaces the height and width of the first baseline frame header.
Bytes WithFrameSize(Bytes jpeg, int width, int height) {
  for (size_t i = 0; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = BYTE(height >> 8);
      jpeg[i + 6] = BYTE(height);
      jpeg[i + 7] = BYTE(width >> 8);
      jpeg[i + 8] = BYTE(width);
      break;
    }
  return jpeg;
}

TEST(JpegRefusals, TileDecodersTakeOnlyTheTileLayout) {
  const Bytes p1616 = TestPicture(16, 32, 2);
  const struct {
    const char* name;
    Bytes jpeg;
    bool rgbDecodes;
  } cases[] = {
      {"empty", {}, false},
      {"start marker only", {0xFF, 0xD8}, false},
      {"three bytes of 0xFF", {0xFF, 0xFF, 0xFF}, false},
      {"garbage", TestPicture(10, 10, 4), false},
      {"greyscale", CompressWithTurboJpeg(p1616, 16, 32, TJSAMP_GRAY), true},
      {"4:4:4", CompressWithTurboJpeg(p1616, 16, 32, TJSAMP_444), true},
      {"4:2:2", CompressWithTurboJpeg(p1616, 16, 32, TJSAMP_422), true},
      {"4:4:0", CompressWithTurboJpeg(p1616, 16, 32, TJSAMP_440), true},
      {"8x8", CompressWithTurboJpeg(TestPicture(8, 8, 1), 8, 8, TJSAMP_420), true},
      {"24x16", CompressWithTurboJpeg(TestPicture(24, 16, 1), 24, 16, TJSAMP_420), true},
      {"32x16", CompressWithTurboJpeg(TestPicture(32, 16, 1), 32, 16, TJSAMP_420), true},
      {"16x24", CompressWithTurboJpeg(TestPicture(16, 24, 1), 16, 24, TJSAMP_420), true},
      {"rgb components", CompressWithCjpeg(p1616, 16, 32, {"-rgb"}), true},
      {"cjpeg greyscale", CompressWithCjpeg(p1616, 16, 32, {"-grayscale"}), true},
      {"height beyond the cap",
       WithFrameSize(CompressWithTurboJpeg(p1616, 16, 32, TJSAMP_420), 16, 65504), false},
      {"rgb beyond the cap",
       WithFrameSize(CompressWithTurboJpeg(p1616, 16, 32, TJSAMP_420), 20000, 20000), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(TileDecodersRefuse(c.jpeg));
    EXPECT_EQ(RgbDecode(c.jpeg), c.rgbDecodes ? 0 : -1);
  }
}

TEST(JpegRefusals, RgbChecksItsArgumentsBeforeTheBytes) {
  const Bytes jpeg = CompressWithTurboJpeg(TestPicture(16, 16, 1), 16, 16, TJSAMP_420);
  Bytes marked = {0xFF, 0xFF, 0xFF, 0xFF};
  marked.insert(marked.end(), jpeg.begin(), jpeg.end());
  EXPECT_EQ(RgbDecode(marked), -1);  // refused without asking the library
  EXPECT_EQ(RgbDecode(jpeg), 0);
  int width = 0, height = 0;
  EXPECT_EQ(DecodeJpegToRgb(jpeg.data(), jpeg.size(), &width, &height, 1, 1, nullptr), -1);
  EXPECT_EQ(DecodeJpegToRgb(nullptr, 10, &width, &height, 1, 1, nullptr), -1);
  JpegOutBuffer out;
  EXPECT_EQ(DecodeJpegToRgb(jpeg.data(), 0, &width, &height, 1, 1, &out), -1);
  EXPECT_EQ(DecodeJpegToRgb(jpeg.data(), jpeg.size(), &width, &height, 1, 0, &out), -1);
}

TEST(JpegRefusals, EveryTruncationEndsCleanly) {
  const Bytes jpeg = CompressWithTurboJpeg(TestPicture(16, 32, 6), 16, 32, TJSAMP_420);
  // Before the scan marker the picture cannot be decoded at all; after it
  // a picture cut short is completed by the source's end marker (a scan
  // header cut short may even pass, with warnings only).
  size_t scan = 0;
  for (size_t i = 0; i + 1 < jpeg.size() && !scan; ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) scan = i + 2;
  ASSERT_GT(scan, 0u);
  for (size_t n = 0; n < jpeg.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes cut(jpeg.begin(), jpeg.begin() + n);
    if (n < scan) {
      ASSERT_TRUE(TileDecodersRefuse(cut));
      ASSERT_EQ(RgbDecode(cut), -1);
      continue;
    }
    const auto data = Exact(cut);
    int width = 0, height = 0;
    BYTE* units = nullptr;
    if (DecodeJpegToTileUnits(data.get(), n, &width, &height, &units) == 0) {
      ASSERT_EQ(height, 32);
      std::free(units);
    }
    RgbDecode(cut);
  }
}

}  // namespace

namespace {

// The picture without its segments of one marker (before the scan).
Bytes WithoutSegments(const Bytes& jpeg, BYTE marker) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (jpeg[at + 1] != marker) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + 2 + length);
    at += 2 + length;
  }
  out.insert(out.end(), jpeg.begin() + at, jpeg.end());
  return out;
}

}  // namespace

// A thread decodes picture after picture with one decompressor: a picture
// that lacks tables must not borrow those of the picture before it.
TEST(JpegReuse, EachPictureSeesOnlyItsOwnTables) {
  const Bytes jpeg = CompressWithTurboJpeg(TestPicture(16, 32, 9), 16, 32, TJSAMP_420);
  const Bytes noQuantTables = WithoutSegments(jpeg, 0xDB);
  ASSERT_LT(noQuantTables.size(), jpeg.size());
  for (int round = 0; round < 300; ++round) {  // across a remaking of the decompressor
    SCOPED_TRACE(round);
    JpegOutBuffer out;
    int width = 0, height = 0;
    ASSERT_EQ(DecodeJpegToRgb(jpeg.data(), jpeg.size(), &width, &height, 1, 1, &out), 0);
    JpegOutBuffer none;
    ASSERT_EQ(DecodeJpegToRgb(noQuantTables.data(), noQuantTables.size(), &width, &height, 1, 1,
                              &none), -1);
    BYTE* units = nullptr;
    ASSERT_EQ(DecodeJpegToTileUnits(jpeg.data(), jpeg.size(), &width, &height, &units), 0u);
    std::free(units);
    ASSERT_EQ(DecodeJpegToBgrTiles(noQuantTables.data(), noQuantTables.size(), &width, &height,
                                   &units),
              kJpegTileFailure);
  }
}
