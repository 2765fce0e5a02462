#include "display/SurfacePlane.h"

#include <algorithm>
#include <cstring>

#include "display/SurfaceClip.h"

namespace {

constexpr int kTile = 8;
constexpr int kMarkBytes = 12;

void ConvertRowTo565(BYTE* out, const BYTE* in, int pixels, int sourceBytesPerPixel) {
  for (int i = 0; i < pixels; ++i, in += sourceBytesPerPixel, out += 2)
    PutLe16(out, ToRgb565(in[0], in[1], in[2]));
}

}  // namespace

bool SurfacePlane::TileExtent(int x, int y, int* rows, int* rowBytes) const {
  if (!Valid() || x < 0 || y < 0 || x >= width_ || y >= height_) return false;
  *rows = std::min(kTile, height_ - y);
  *rowBytes = std::min(kTile, width_ - x) * bpp_;
  return true;
}

void SurfacePlane::DrawTile(int x, int y, const BYTE* pixels, BYTE* record) const {
  int rows = 0, rowBytes = 0;
  if (!pixels || !TileExtent(x, y, &rows, &rowBytes)) return;
  const int fullRow = kTile * bpp_;
  // Only whole rows of 2- and 3-byte tiles are recorded: they are the ones
  // the tile cache keeps.
  const bool recordRows = record && rowBytes == fullRow && (bpp_ == 2 || bpp_ == 3);
  for (int r = 0; r < rows; ++r) {
    const BYTE* row = pixels + size_t(r) * fullRow;
    std::memcpy(Pixel(x, y + r), row, size_t(rowBytes));
    if (recordRows) std::memcpy(record + size_t(r) * fullRow, row, size_t(fullRow));
  }
  MarkDrawn(x, y, kTile, kTile);
}

void SurfacePlane::DrawTile16(int x, int y, const BYTE* pixels) const {
  if (!pixels || !Valid() || bpp_ == 4 || x < 0 || y < 0 || x > width_ - 16 ||
      y > height_ - 16)
    return;
  const size_t rowBytes = size_t(16) * bpp_;
  for (int r = 0; r < 16; ++r) std::memcpy(Pixel(x, y + r), pixels + r * rowBytes, rowBytes);
  MarkDrawn(x, y, 16, 16);
}

void SurfacePlane::FillTile(int x, int y, const BYTE* colour) const {
  int rows = 0, rowBytes = 0;
  if (!colour || !TileExtent(x, y, &rows, &rowBytes)) return;
  BYTE pixel[4] = {colour[0], 0, 0, 0};
  for (int i = 1; i < bpp_; ++i) pixel[i] = i < 3 ? colour[i] : 255;
  for (int r = 0; r < rows; ++r) {
    BYTE* out = Pixel(x, y + r);
    for (int i = 0; i < rowBytes; i += bpp_) std::memcpy(out + i, pixel, size_t(bpp_));
  }
  MarkDrawn(x, y, kTile, kTile);
}

void SurfacePlane::CopyRect(int destX, int destY, int sourceX, int sourceY, int width,
                            int height) const {
  if (!Valid() ||
      !ClipCopyRect(width_, height_, &destX, &destY, &sourceX, &sourceY, &width, &height))
    return;
  const size_t rowBytes = size_t(width) * bpp_;
  // Rows go in the order that never overwrites a source row before it is
  // read; within a row memmove takes care of the overlap.
  const bool topDown = Pixel(destX, destY) < Pixel(sourceX, sourceY);
  for (int i = 0; i < height; ++i) {
    const int r = topDown ? i : height - 1 - i;
    std::memmove(Pixel(destX, destY + r), Pixel(sourceX, sourceY + r), rowBytes);
  }
  MarkDrawn(destX, destY, width, height);
}

void SurfacePlane::MarkTile(int x, int y) const {
  int rows = 0, rowBytes = 0;
  if (!TileExtent(x, y, &rows, &rowBytes)) return;
  const int rowEnd = (width_ - x) * bpp_;
  std::memset(Pixel(x, y), 0xFF, size_t(std::min(kMarkBytes, rowEnd)));
  if (rows == kTile && rowEnd > kMarkBytes)
    std::memset(Pixel(x, y + 7) + kMarkBytes, 0, size_t(std::min(kMarkBytes, rowEnd - kMarkBytes)));
  // Both marks lie within the first 24 bytes of their rows: 24 pixels at
  // the narrowest pixel size.
  MarkDrawn(x, y, 2 * kMarkBytes, kTile);
}

void SurfacePlane::BitBlt(int x, int y, const SourcePicture& source) const {
  ClippedRect clip;
  if (!Valid() || !source.pixels ||
      !ClipToSurface(width_, height_, x, y, source.width, source.height, &clip))
    return;
  const bool to565 = bpp_ == 2 && source.bytesPerPixel >= 3;
  const bool copy = (bpp_ == 3 || bpp_ == 4) && source.bytesPerPixel == bpp_;
  if (!to565 && !copy) return;
  for (int r = 0; r < clip.height; ++r) {
    const BYTE* in = source.Row(clip.skipY + r) + size_t(clip.skipX) * source.bytesPerPixel;
    BYTE* out = Pixel(clip.x, clip.y + r);
    if (to565)
      ConvertRowTo565(out, in, clip.width, source.bytesPerPixel);
    else
      std::memcpy(out, in, size_t(clip.width) * bpp_);
  }
  MarkDrawn(clip.x, clip.y, clip.width, clip.height);
}

void SurfacePlane::MarkDrawnRect(const RECT& rect) const {
  const auto clamp = [](int64_t v, int limit) { return int(std::clamp<int64_t>(v, 0, limit)); };
  const int left = clamp(rect.left, width_), right = clamp(rect.right, width_);
  const int top = clamp(rect.top, height_), bottom = clamp(rect.bottom, height_);
  MarkDrawn(left, top, right - left, bottom - top);
}

void SurfacePlane::Stretch(const SourcePicture& source, const RECT& destination) const {
  if (!Valid()) return;
  MarkDrawnRect(destination);
  const int sourceBpp = source.bytesPerPixel;
  auto visit = [&](auto&& put) {
    ForEachStretchedPixel(width_, height_, source, destination,
                          [&](int x, int y, const BYTE* s) { put(Pixel(x, y), s); });
  };
  if (bpp_ == 4 && sourceBpp == 4) {
    visit([](BYTE* d, const BYTE* s) { std::memcpy(d, s, 4); });
  } else if (bpp_ == 4 && sourceBpp == 3) {
    visit([](BYTE* d, const BYTE* s) {
      std::memcpy(d, s, 3);
      d[3] = 255;
    });
  } else if (bpp_ == 3 && sourceBpp == 3) {
    visit([](BYTE* d, const BYTE* s) { std::memcpy(d, s, 3); });
  } else if (bpp_ == 2 && sourceBpp == 3) {
    visit([](BYTE* d, const BYTE* s) { PutLe16(d, ToRgb565(s[0], s[1], s[2])); });
  }
}

int SurfacePlane::ReadRect(int x, int y, int width, int height, BYTE* destination) const {
  if (x < 0 || y < 0 || width < 0 || height < 0 || bpp_ != 4 || !destination) return -1;
  ClippedRect clip;
  if (!Valid() || !ClipToSurface(width_, height_, x, y, width, height, &clip)) return 0;
  const size_t rowBytes = size_t(clip.width) * 4;
  for (int r = 0; r < clip.height; ++r)
    std::memcpy(destination + r * rowBytes, Pixel(clip.x, clip.y + r), rowBytes);
  return 0;
}
