#include "display/SurfaceClip.h"

#include <algorithm>
#include <cstdint>

namespace {

// Clips one axis in 64 bits so that extreme values cannot wrap.
bool ClipAxis(int64_t limit, int64_t start, int64_t length, int* outStart, int* outLength,
              int* skip) {
  int64_t skipped = 0;
  if (start < 0) {
    skipped = -start;
    start = 0;
  }
  const int64_t end = std::min(limit, start + length - skipped);
  if (length <= 0 || start >= limit || end <= start) return false;
  *outStart = int(start);
  *outLength = int(end - start);
  *skip = int(skipped);
  return true;
}

}  // namespace

bool ClipToSurface(int surfaceWidth, int surfaceHeight, int x, int y, int width, int height,
                   ClippedRect* clipped) {
  ClippedRect r;
  if (!ClipAxis(surfaceWidth, x, width, &r.x, &r.width, &r.skipX) ||
      !ClipAxis(surfaceHeight, y, height, &r.y, &r.height, &r.skipY))
    return false;
  *clipped = r;
  return true;
}

bool ClipCopyRect(int surfaceWidth, int surfaceHeight, int* destX, int* destY, int* sourceX,
                  int* sourceY, int* width, int* height) {
  int64_t dx = *destX, dy = *destY, sx = *sourceX, sy = *sourceY, w = *width, h = *height;
  // Whatever falls off one rectangle's top-left edge is dropped from both.
  const int64_t cutX = std::max<int64_t>({0, -dx, -sx});
  const int64_t cutY = std::max<int64_t>({0, -dy, -sy});
  dx += cutX;
  sx += cutX;
  w -= cutX;
  dy += cutY;
  sy += cutY;
  h -= cutY;
  w = std::min({w, surfaceWidth - dx, surfaceWidth - sx});
  h = std::min({h, surfaceHeight - dy, surfaceHeight - sy});
  if (w <= 0 || h <= 0) return false;
  *destX = int(dx);
  *destY = int(dy);
  *sourceX = int(sx);
  *sourceY = int(sy);
  *width = int(w);
  *height = int(h);
  return true;
}
