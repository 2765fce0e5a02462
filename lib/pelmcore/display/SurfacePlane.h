// The drawing target of one surface buffer and the drawing operations that
// do not depend on the keeper: every operation clips to the plane and never
// touches a byte outside it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "display/SurfaceBufferView.h"
#include "pelplat/wintypes.h"

// A source picture of tightly packed rows.
struct SourcePicture {
  int width = 0;
  int height = 0;
  int bytesPerPixel = 0;
  const BYTE* pixels = nullptr;
  bool bottomUp = false;  // rows stored last row first

  const BYTE* Row(int row) const {
    const int stored = bottomUp ? height - 1 - row : row;
    return pixels + size_t(stored) * size_t(width) * size_t(bytesPerPixel);
  }
};

inline uint16_t ToRgb565(BYTE high, BYTE middle, BYTE low) {
  return uint16_t(((high >> 3) << 11) | ((middle >> 2) << 5) | (low >> 3));
}

inline void PutLe16(BYTE* p, uint16_t v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
}

class SurfacePlane {
 public:
  // view: where drawn rectangles are marked for the shadow commit; null
  // for a plane nobody commits.
  SurfacePlane(BYTE* bytes, int width, int height, int bytesPerPixel, int stride,
               SurfaceBufferView* view = nullptr)
      : bytes_(bytes), width_(width), height_(height), bpp_(bytesPerPixel), stride_(stride),
        view_(view) {}

  bool Valid() const { return bytes_ != nullptr && width_ > 0 && height_ > 0; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  int BytesPerPixel() const { return bpp_; }
  BYTE* Pixel(int x, int y) const {
    return bytes_ + size_t(y) * size_t(stride_) + size_t(x) * size_t(bpp_);
  }

  // Rows and row bytes of the 8x8 tile at (x, y) inside the plane; false
  // when the tile does not start inside it.
  bool TileExtent(int x, int y, int* rows, int* rowBytes) const;

  void DrawTile(int x, int y, const BYTE* pixels, BYTE* record) const;
  void DrawTile16(int x, int y, const BYTE* pixels) const;
  void FillTile(int x, int y, const BYTE* colour) const;
  void CopyRect(int destX, int destY, int sourceX, int sourceY, int width, int height) const;
  void MarkTile(int x, int y) const;
  // Unscaled copy with the surface's conversion; the source keeps its own
  // pixel size. Negative origins skip source columns and rows.
  void BitBlt(int x, int y, const SourcePicture& source) const;
  // Nearest-pixel scaling into the destination rectangle.
  void Stretch(const SourcePicture& source, const RECT& destination) const;
  int ReadRect(int x, int y, int width, int height, BYTE* destination) const;
  // Callers that write through Pixel() mark what they wrote.
  void MarkDrawn(int x, int y, int width, int height) const {
    if (view_) view_->MarkDrawn(x, y, width, height);
  }
  // The part of a {left, top, right, bottom} rectangle inside the plane.
  void MarkDrawnRect(const RECT& rect) const;

 private:
  BYTE* bytes_;
  int width_;
  int height_;
  int bpp_;
  int stride_;
  SurfaceBufferView* view_;
};

// Visits the destination pixels of a nearest-pixel scaling of source into
// destination (16.16 steps in 64 bits), clipped to a width x height
// surface: visit(x, y, sourcePixel). Draws nothing for an empty source or
// destination.
template <typename Visit>
void ForEachStretchedPixel(int width, int height, const SourcePicture& source,
                           const RECT& destination, Visit&& visit) {
  const int64_t destWidth = int64_t(destination.right) - destination.left;
  const int64_t destHeight = int64_t(destination.bottom) - destination.top;
  if (source.width <= 0 || source.height <= 0 || !source.pixels || destWidth <= 0 ||
      destHeight <= 0)
    return;
  const int64_t stepX = (int64_t(source.width) << 16) / destWidth;
  const int64_t stepY = (int64_t(source.height) << 16) / destHeight;
  const int64_t firstColumn = destination.left < 0 ? -int64_t(destination.left) : 0;
  const int64_t firstRow = destination.top < 0 ? -int64_t(destination.top) : 0;
  const int64_t endColumn = std::min<int64_t>(destWidth, int64_t(width) - destination.left);
  const int64_t endRow = std::min<int64_t>(destHeight, int64_t(height) - destination.top);
  for (int64_t i = firstRow; i < endRow; ++i) {
    const BYTE* sourceRow = source.Row(int((i * stepY) >> 16));
    const int y = int(destination.top + i);
    for (int64_t j = firstColumn; j < endColumn; ++j)
      visit(int(destination.left + j), y,
            sourceRow + size_t((j * stepX) >> 16) * size_t(source.bytesPerPixel));
  }
}
