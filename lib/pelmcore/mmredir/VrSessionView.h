// The pixel work of covering a partly hidden video: a copy of the remote
// desktop under the video window into an A8R8G8B8 picture, and holes of
// alpha 0 where the video is to be seen. Both stay inside the buffers they
// are given, whatever the rectangles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"

// A locked picture: `height` rows of `pitch` bytes, `width` 4-byte pixels
// used in each.
struct ArgbPicture {
  uint8_t* bits = nullptr;
  int64_t pitch = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// A display's pixels: `height` rows of `stride` bytes, `width` pixels of
// `bytesPerPixel` bytes (3 or 4), red, green, blue first.
struct DesktopPicture {
  const uint8_t* bits = nullptr;
  int64_t stride = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerPixel = 0;
};

// Fills the picture with 0, then makes its pixel (i, j) the opaque
// 0xFF000000 | R << 16 | G << 8 | B of desktop pixel (x + i, y + j) wherever
// that pixel exists, for i < width and j < height. Pixels of the picture
// with no desktop pixel stay 0 (transparent).
void CopyDesktopView(const ArgbPicture& target, const DesktopPicture& desktop, int32_t x, int32_t y,
                     int32_t width, int32_t height);

// Sets the alpha byte to 0 in every rectangle (left, top, right, bottom,
// exclusive), each clipped to the picture; colours stay.
void ClearAlphaInRegions(const ArgbPicture& target, const RECT* regions, size_t count);
