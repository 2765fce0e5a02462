#include "display/AbstractSurfaceKeeper.h"

#include "display/TileTarget.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Large enough for any display, small enough that a size from the wire can
// never ask for an absurd allocation.
constexpr int kMaxSide = 16384;
constexpr int64_t kMaxPixels = int64_t(8192) * 8192;

}  // namespace

CAbstractSurfaceKeeper::CAbstractSurfaceKeeper(bool bottomUp) : bottomUp_(bottomUp) {}

CAbstractSurfaceKeeper::~CAbstractSurfaceKeeper() = default;

int CAbstractSurfaceKeeper::CheckedStorageBits(int width, int height, int depth,
                                               int storageBits) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
      int64_t(width) * height > kMaxPixels)
    return 0;
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32) return 0;
  // Tiles are drawn with the depth's pixel size, so storage of another size
  // would misplace every row.
  if (storageBits != 0 && storageBits != depth) return 0;
  return depth;
}

void CAbstractSurfaceKeeper::SetGeometry(int width, int height, int depth, int storageBits) {
  width_ = width;
  height_ = height;
  depth_ = depth;
  storageBits_ = storageBits;
}

SourcePicture CAbstractSurfaceKeeper::Picture(int width, int height, int bytesPerPixel,
                                              const BYTE* pixels, bool bottomUp) {
  SourcePicture picture;
  if (width == INT32_MIN || height <= 0 || bytesPerPixel <= 0) return picture;
  picture.width = std::abs(width);
  picture.height = height;
  picture.bytesPerPixel = bytesPerPixel;
  picture.pixels = pixels;
  picture.bottomUp = bottomUp;
  return picture;
}

int CAbstractSurfaceKeeper::Create(int width, int height, int depth, int storageBits) {
  const int storage = CheckedStorageBits(width, height, depth, storageBits);
  if (!storage) return 0;
  const int rounded = RoundedWidth(width, 4);
  const int bytesPerPixel = storage / 8;
  const size_t count = size_t(rounded) * size_t(height) * size_t(bytesPerPixel);
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[count]());
  if (!buffer) return 0;
  if (!view_.Attach(buffer.get(), rounded, height, bytesPerPixel)) return 0;
  buffer_ = std::move(buffer);
  SetGeometry(rounded, height, depth, storage);
  return 1;
}

void CAbstractSurfaceKeeper::DrawTile(int x, int y, const BYTE* pixels, BYTE* record) {
  PlaneOf(view_).DrawTile(x, y, pixels, record);
}

bool CAbstractSurfaceKeeper::GetTileTarget(TileTarget* target) {
  if (!view_.Target() || width_ <= 0 || height_ <= 0) return false;
  *target = TileTarget();
  target->planes[0] = view_.Target();
  target->views[0] = &view_;
  target->planeCount = 1;
  target->width = width_;
  target->height = height_;
  target->bytesPerPixel = storageBits_ / 8;
  target->stride = size_t(Stride());
  return true;
}

void CAbstractSurfaceKeeper::DrawTile16(int x, int y, const BYTE* pixels) {
  PlaneOf(view_).DrawTile16(x, y, pixels);
}

void CAbstractSurfaceKeeper::FillTile(int x, int y, const BYTE* colour) {
  PlaneOf(view_).FillTile(x, y, colour);
}

void CAbstractSurfaceKeeper::CopyRect(int destX, int destY, int sourceX, int sourceY, int width,
                                      int height) {
  PlaneOf(view_).CopyRect(destX, destY, sourceX, sourceY, width, height);
}

void CAbstractSurfaceKeeper::MarkTile(int x, int y) { PlaneOf(view_).MarkTile(x, y); }

void CAbstractSurfaceKeeper::BitBlt(int x, int y, int width, int height,
                                    int sourceBytesPerPixel, const BYTE* pixels) {
  PlaneOf(view_).BitBlt(x, y, Picture(width, height, sourceBytesPerPixel, pixels, width < 0));
  CommitShadow();
}

void CAbstractSurfaceKeeper::StretchImage(int sourceWidth, int sourceHeight,
                                          int sourceBytesPerPixel, const BYTE* pixels) {
  const RECT whole{0, 0, width_, height_};
  StretchBlt(sourceWidth, sourceHeight, whole, sourceBytesPerPixel, pixels);
  CommitShadow();
}

void CAbstractSurfaceKeeper::StretchBlt(int sourceWidth, int sourceHeight,
                                        const RECT& destination, int sourceBytesPerPixel,
                                        const BYTE* pixels) {
  if (sourceWidth <= 0) return;
  StretchPicture(Picture(sourceWidth, sourceHeight, sourceBytesPerPixel, pixels, bottomUp_),
                 destination);
}

void CAbstractSurfaceKeeper::StretchPicture(const SourcePicture& source,
                                            const RECT& destination) {
  PlaneOf(view_).Stretch(source, destination);
}

SourcePicture CAbstractSurfaceKeeper::KeyedStretchPicture(int sourceWidth, int sourceHeight,
                                                          int bytesPerPixel,
                                                          const BYTE* pixels) {
  return Picture(sourceWidth, sourceHeight, bytesPerPixel, pixels, sourceWidth > 0);
}

int CAbstractSurfaceKeeper::ReadRect(int x, int y, int width, int height, BYTE* destination) {
  return PlaneOf(view_).ReadRect(x, y, width, height, destination);
}

void CAbstractSurfaceKeeper::BitBltKeyed(int x, int y, int width, int height,
                                         int sourceBytesPerPixel, const BYTE* pixels,
                                         int colourKey) {
  CAbstractSurfaceKeeper::BitBlt(x, y, width, height, sourceBytesPerPixel, pixels);
}

void CAbstractSurfaceKeeper::StretchBltKeyed(int sourceWidth, int sourceHeight,
                                             const RECT& destination, int sourceBytesPerPixel,
                                             const BYTE* pixels, int colourKey) {
  // The keyed form names the row order by the sign of the width; the plain
  // form has no sign, so the order travels in the picture.
  SourcePicture picture =
      KeyedStretchPicture(sourceWidth, sourceHeight, sourceBytesPerPixel, pixels);
  if (sourceWidth > 0) picture.bottomUp = bottomUp_;
  StretchPicture(picture, destination);
}
