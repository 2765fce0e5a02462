// The copy of a frame-buffer rectangle into the tiles of the tiled display.
// The frame buffer's pixels become red, green, blue and an opaque alpha;
// pixels of the colour key (red 1, green 2, blue 3) become fully
// transparent. The surfaces' storage formats: 8 bits (colour indexes
// into a table), 16 bits (5-6-5, little-endian), 24 bits (red, green,
// blue bytes) and 32 bits (red, green, blue and an unused byte). A 16-bit
// surface cannot hold the key colour itself: the server paints it as the
// 16-bit form of the key (the top five, six and five bits of red, green
// and blue), which is the value 0.
#pragma once

#include <QRect>
#include <QRgb>
#include <QVector>
#include <cstdint>
#include <vector>

class CTile;
class QImage;

struct TovixFrameSource {
  const uint8_t* bits = nullptr;
  int64_t bytesPerLine = 0;
  int bitsPerPixel = 0;
  int width = 0;
  int height = 0;
  QVector<QRgb> colours;  // 8-bit surfaces only
};

// A source over a surface's image and the surface's own geometry; an
// invalid one (no bits) when they do not agree.
TovixFrameSource FrameSourceOf(const QImage& image, int bitsPerPixel, int width, int height);

// One row of tiles after another, every row as long as the first.
typedef std::vector<std::vector<CTile*>> TileGrid;

// Copies the rectangle, clipped to the source and to each tile, into every
// tile it meets and marks those tiles dirty; the others are marked clean.
void CopyToTiles(const TovixFrameSource& source, const QRect& rect, const TileGrid& tiles);
