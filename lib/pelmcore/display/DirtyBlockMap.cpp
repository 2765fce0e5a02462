#include "display/DirtyBlockMap.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kBlock = 1 << DirtyBlockMap::kBlockShift;

}  // namespace

void DirtyBlockMap::Reset(int width, int height, int bytesPerPixel, size_t stride) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  bytesPerPixel_ = bytesPerPixel;
  stride_ = stride;
  blocksX_ = (width_ + kBlock - 1) >> kBlockShift;
  wordsPerRow_ = (blocksX_ + 63) / 64;
  const int blocksY = (height_ + kBlock - 1) >> kBlockShift;
  bits_.assign(size_t(wordsPerRow_) * size_t(blocksY), 0);
  top_ = 1;
  bottom_ = 0;
  left_ = 0;
  right_ = -1;
}

void DirtyBlockMap::Clear() {
  if (Empty()) return;
  for (int by = top_; by <= bottom_; ++by) {
    uint64_t* row = bits_.data() + size_t(by) * wordsPerRow_;
    std::fill(row + (left_ >> 6), row + (right_ >> 6) + 1, 0);
  }
  top_ = 1;
  bottom_ = 0;
  left_ = 0;
  right_ = -1;
}

void DirtyBlockMap::Mark(int x, int y, int width, int height) {
  // In 64 bits: the caller's sums may pass the int range.
  const int64_t x0 = std::max<int64_t>(x, 0);
  const int64_t y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t(x) + width, width_);
  const int64_t y1 = std::min<int64_t>(int64_t(y) + height, height_);
  if (x0 >= x1 || y0 >= y1) return;
  const int bx0 = int(x0 >> kBlockShift), bx1 = int((x1 - 1) >> kBlockShift);
  const int by0 = int(y0 >> kBlockShift), by1 = int((y1 - 1) >> kBlockShift);
  for (int by = by0; by <= by1; ++by) {
    uint64_t* row = bits_.data() + size_t(by) * wordsPerRow_;
    for (int bx = bx0; bx <= bx1; ++bx) row[bx >> 6] |= uint64_t(1) << (bx & 63);
  }
  if (Empty()) {
    top_ = by0;
    bottom_ = by1;
    left_ = bx0;
    right_ = bx1;
    return;
  }
  top_ = std::min(top_, by0);
  bottom_ = std::max(bottom_, by1);
  left_ = std::min(left_, bx0);
  right_ = std::max(right_, bx1);
}

void DirtyBlockMap::CopyRun(BYTE* destination, const BYTE* source, int blockRow, int first,
                            int last) const {
  const int x = first << kBlockShift;
  const int xEnd = std::min((last + 1) << kBlockShift, width_);
  const int y = blockRow << kBlockShift;
  const int yEnd = std::min(y + kBlock, height_);
  const size_t offset = size_t(y) * stride_ + size_t(x) * bytesPerPixel_;
  const size_t rowBytes = size_t(xEnd - x) * bytesPerPixel_;
  if (rowBytes == stride_) {
    // Whole rows lie one after another: one copy for the band.
    std::memcpy(destination + offset, source + offset, rowBytes * size_t(yEnd - y));
    return;
  }
  for (int r = y; r < yEnd; ++r) {
    const size_t at = offset + size_t(r - y) * stride_;
    std::memcpy(destination + at, source + at, rowBytes);
  }
}

void DirtyBlockMap::CopyMarked(BYTE* destination, const BYTE* source) {
  if (Empty()) return;
  for (int by = top_; by <= bottom_; ++by) {
    const uint64_t* row = bits_.data() + size_t(by) * wordsPerRow_;
    int bx = left_;
    while (bx <= right_) {
      if (!(row[bx >> 6] >> (bx & 63) & 1)) {
        ++bx;
        continue;
      }
      int end = bx;
      while (end + 1 <= right_ && (row[(end + 1) >> 6] >> ((end + 1) & 63) & 1)) ++end;
      CopyRun(destination, source, by, bx, end);
      bx = end + 1;
    }
  }
  Clear();
}
