#include "mmredir/VrSessionView.h"

#include <algorithm>
#include <cstring>

namespace {

struct Span {
  int64_t begin = 0;
  int64_t end = 0;
  bool Empty() const { return end <= begin; }
};

Span Clip(int64_t begin, int64_t end, int64_t limit) {
  return {std::max<int64_t>(begin, 0), std::min<int64_t>(end, limit)};
}

bool Usable(const ArgbPicture& picture) {
  return picture.bits && picture.width > 0 && picture.height > 0 &&
         picture.pitch >= int64_t(picture.width) * 4;
}

}  // namespace

void CopyDesktopView(const ArgbPicture& target, const DesktopPicture& desktop, int32_t x, int32_t y,
                     int32_t width, int32_t height) {
  if (!target.bits || target.pitch <= 0 || target.height <= 0) return;
  std::memset(target.bits, 0, size_t(target.pitch) * size_t(target.height));
  if (!Usable(target) || !desktop.bits || desktop.width <= 0 || desktop.height <= 0 ||
      (desktop.bytesPerPixel != 3 && desktop.bytesPerPixel != 4) ||
      desktop.stride < int64_t(desktop.width) * desktop.bytesPerPixel)
    return;
  // Picture columns i with 0 <= i < min(width, picture width) and
  // 0 <= x + i < desktop width; rows alike.
  const Span columns = Clip(std::max<int64_t>(0, -int64_t(x)),
                            std::min<int64_t>({width, target.width, int64_t(desktop.width) - x}),
                            target.width);
  const Span rows = Clip(std::max<int64_t>(0, -int64_t(y)),
                         std::min<int64_t>({height, target.height, int64_t(desktop.height) - y}),
                         target.height);
  if (columns.Empty() || rows.Empty()) return;
  const int bpp = desktop.bytesPerPixel;
  for (int64_t j = rows.begin; j < rows.end; ++j) {
    const uint8_t* source = desktop.bits + (y + j) * desktop.stride + (x + columns.begin) * bpp;
    uint8_t* row = target.bits + j * target.pitch + columns.begin * 4;
    for (int64_t i = columns.begin; i < columns.end; ++i, source += bpp, row += 4) {
      const uint32_t pixel = 0xFF000000u | uint32_t(source[0]) << 16 | uint32_t(source[1]) << 8 | source[2];
      std::memcpy(row, &pixel, 4);
    }
  }
}

void ClearAlphaInRegions(const ArgbPicture& target, const RECT* regions, size_t count) {
  if (!Usable(target) || !regions) return;
  for (size_t n = 0; n < count; ++n) {
    const RECT& r = regions[n];
    const Span columns = Clip(r.left, r.right, target.width);
    const Span rows = Clip(r.top, r.bottom, target.height);
    if (columns.Empty() || rows.Empty()) continue;
    for (int64_t j = rows.begin; j < rows.end; ++j) {
      uint8_t* row = target.bits + j * target.pitch;
      for (int64_t i = columns.begin; i < columns.end; ++i) row[i * 4 + 3] = 0;
    }
  }
}
