// The drawing targets that 8x8 tiles of a packet go to, as a keeper hands
// them out once per packet: a tile writer then draws every tile with plain
// moves instead of asking the keeper tile by tile.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

class SurfaceBufferView;

struct TileTarget {
  // Drawing targets of one layout; two in the Qt keeper's double-buffer
  // mode, which draws every tile into both.
  BYTE* planes[2] = {};
  SurfaceBufferView* views[2] = {};
  int planeCount = 0;
  int width = 0;
  int height = 0;
  int bytesPerPixel = 0;
  size_t stride = 0;
  // Tiles wholly inside this rectangle are drawn by the keeper itself
  // (around the colour key of the video under the desktop).
  bool keyed = false;
  RECT video{0, 0, 0, 0};
};
