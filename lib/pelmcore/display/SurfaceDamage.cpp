#include "display/SurfaceDamage.h"

#include "display/SurfaceClip.h"

void SurfaceDamage::Add(int surfaceWidth, int surfaceHeight, int x, int y, int width, int height) {
  ClippedRect r;
  if (!ClipToSurface(surfaceWidth, surfaceHeight, x, y, width, height, &r)) return;
  if (box_.left == -1 || r.x < box_.left) box_.left = r.x;
  if (box_.top == -1 || r.y < box_.top) box_.top = r.y;
  if (box_.right == -1 || box_.right < r.x + r.width) box_.right = r.x + r.width;
  if (box_.bottom == -1 || box_.bottom < r.y + r.height) box_.bottom = r.y + r.height;
}

RECT SurfaceDamage::Take() {
  const RECT box = box_;
  box_ = RECT{-1, -1, -1, -1};
  return box;
}
