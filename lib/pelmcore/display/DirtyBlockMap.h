// The parts of a shadow copy that were drawn since its last commit, kept as
// a bitmap of 16x16-pixel blocks, so that a commit copies what changed
// rather than the whole surface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelplat/wintypes.h"

class DirtyBlockMap {
 public:
  static constexpr int kBlockShift = 4;  // 16x16 pixels

  // A width x height surface of rows stride bytes apart; everything clean.
  void Reset(int width, int height, int bytesPerPixel, size_t stride);
  // Everything clean, geometry kept.
  void Clear();
  // Clipped to the surface; an empty rectangle marks nothing.
  void Mark(int x, int y, int width, int height);
  void MarkAll() { Mark(0, 0, width_, height_); }
  bool Empty() const { return top_ > bottom_; }
  // Copies the marked blocks' rows from source to destination (both laid
  // out as the surface) and clears the map.
  void CopyMarked(BYTE* destination, const BYTE* source);

 private:
  void CopyRun(BYTE* destination, const BYTE* source, int blockRow, int first, int last) const;

  int width_ = 0;
  int height_ = 0;
  int bytesPerPixel_ = 0;
  size_t stride_ = 0;
  int blocksX_ = 0;
  int wordsPerRow_ = 0;
  std::vector<uint64_t> bits_;
  // Rows of blocks that hold a mark: top_ > bottom_ while none does.
  int top_ = 1;
  int bottom_ = 0;
  int left_ = 0;
  int right_ = -1;
};
