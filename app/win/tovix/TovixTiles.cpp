#include "tovix/TovixTiles.h"

#include <QImage>
#include <algorithm>
#include <cstring>

#include "tovix/CTile.h"

namespace {

constexpr uint8_t kKey[3] = {1, 2, 3};
// The key in a 5-6-5 pixel: the top bits of 1, 2 and 3.
constexpr uint16_t kKey16 = uint16_t(((kKey[0] >> 3) << 11) | ((kKey[1] >> 2) << 5) | (kKey[2] >> 3));

// The pixel at p as red, green, blue, alpha bytes.
void ConvertPixel(const TovixFrameSource& source, const uint8_t* p, uint8_t out[4]) {
  bool key = false;
  switch (source.bitsPerPixel) {
    case 8: {
      const QRgb c = p[0] < source.colours.size() ? source.colours[p[0]] : qRgb(0, 0, 0);
      out[0] = uint8_t(qRed(c));
      out[1] = uint8_t(qGreen(c));
      out[2] = uint8_t(qBlue(c));
      key = out[0] == kKey[0] && out[1] == kKey[1] && out[2] == kKey[2];
      break;
    }
    case 16: {
      const uint16_t v = uint16_t(p[0] | (p[1] << 8));
      const uint8_t r = uint8_t(v >> 11), g = uint8_t((v >> 5) & 0x3F), b = uint8_t(v & 0x1F);
      out[0] = uint8_t((r << 3) | (r >> 2));
      out[1] = uint8_t((g << 2) | (g >> 4));
      out[2] = uint8_t((b << 3) | (b >> 2));
      key = v == kKey16;
      break;
    }
    default:
      memcpy(out, p, 3);
      key = memcmp(p, kKey, 3) == 0;
      break;
  }
  if (key) {
    memset(out, 0, 4);
  } else {
    out[3] = 255;
  }
}

}  // namespace

TovixFrameSource FrameSourceOf(const QImage& image, int bitsPerPixel, int width, int height) {
  TovixFrameSource source;
  if (image.isNull() || image.depth() != bitsPerPixel) return source;
  if (bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 24 && bitsPerPixel != 32) return source;
  source.bits = image.constBits();
  source.bytesPerLine = image.bytesPerLine();
  source.bitsPerPixel = bitsPerPixel;
  source.width = std::max(0, std::min(width, image.width()));
  source.height = std::max(0, std::min(height, image.height()));
  if (bitsPerPixel == 8) source.colours = image.colorTable();
  return source;
}

void CopyToTiles(const TovixFrameSource& source, const QRect& rect, const TileGrid& tiles) {
  if (tiles.empty()) return;
  const size_t columns = tiles.front().size();
  const int64_t bytesPerPixel = source.bitsPerPixel / 8;
  const int64_t x = rect.x(), y = rect.y(), w = rect.width(), h = rect.height();
  for (const std::vector<CTile*>& row : tiles) {
    for (size_t c = 0; c < columns && c < row.size(); ++c) {
      CTile* tile = row[c];
      tile->setDirty(false);
      const int64_t tx = int64_t(tile->pos().x()), ty = int64_t(tile->pos().y());
      if (x + w - 1 < tx || x >= tx + CTile::kSize || y + h - 1 < ty || y >= ty + CTile::kSize) continue;
      if (!source.bits || bytesPerPixel == 0) continue;
      const int64_t x0 = std::max(tx, x), x1 = std::min({int64_t(source.width), tx + CTile::kSize, x + w});
      const int64_t y0 = std::max(ty, y), y1 = std::min({int64_t(source.height), ty + CTile::kSize, y + h});
      QImage& image = tile->image();
      for (int64_t py = y0; py < y1; ++py) {
        const uint8_t* in = source.bits + py * source.bytesPerLine + x0 * bytesPerPixel;
        uint8_t* out = image.scanLine(int(py - ty)) + (x0 - tx) * 4;
        for (int64_t px = x0; px < x1; ++px, in += bytesPerPixel, out += 4) ConvertPixel(source, in, out);
      }
      tile->setDirty(true);
    }
  }
}
