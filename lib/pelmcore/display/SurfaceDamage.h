// What changed on a surface since it was last reported: one bounding box in
// surface pixels. The surface owns it; whoever draws adds to it under the
// frame-buffer lock and whoever reports the change takes it.
#pragma once

#include "pelplat/wintypes.h"

class SurfaceDamage {
 public:
  // Adds the part of the rectangle that lies on a surfaceWidth x
  // surfaceHeight surface; nothing when none does.
  void Add(int surfaceWidth, int surfaceHeight, int x, int y, int width, int height);
  bool Empty() const { return box_.left == -1; }
  // {left, top, right, bottom}, all -1 while empty.
  RECT Box() const { return box_; }
  // The box, leaving the damage empty.
  RECT Take();

 private:
  RECT box_{-1, -1, -1, -1};
};
