// Draws the 8x8 tiles of one packet straight into the surface's drawing
// targets, one writer per pixel size: whole rows with fixed-size moves, the
// tile-cache record in one copy, the shadow marks and the dirty box as it
// goes. Tiles it cannot draw (inside a keyed video rectangle) are left to
// the keeper.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "display/StreamingCopy.h"
#include "display/SurfaceBufferView.h"
#include "display/TileTarget.h"
#include "pelplat/wintypes.h"

class ISurfaceKeeper;

class TileWriter {
 public:
  static constexpr int kTile = 8;

  // Takes the surface's targets; false when the keeper hands none out.
  bool Begin(ISurfaceKeeper* surface);
  void End() {
    target_ = TileTarget();
    StreamingCopyDone();
  }

  // True when the tile was dealt with (drawn, or nothing to draw); false
  // when the keeper must draw it. pixels: pixelBytes readable; record: null
  // or a slot of recordBytes.
  bool Draw(int x, int y, const BYTE* pixels, size_t pixelBytes, BYTE* record,
            size_t recordBytes) {
    const int b = target_.bytesPerPixel;
    const size_t tileBytes = size_t(kTile) * kTile * size_t(b);
    if (!target_.planeCount) return false;
    if (!pixels || pixelBytes < tileBytes) return true;
    if (x < 0 || y < 0 || x >= target_.width || y >= target_.height) {
      // Not drawn; a tile hanging over the top or left edge still counts
      // for the repaint, as the keeper's own drawing path counts it.
      GrowClipped(x, y);
      return true;
    }
    if (target_.keyed && InsideVideo(x, y)) return false;
    if (recordBytes < tileBytes) record = nullptr;
    switch (b) {
      case 1: DrawSized<1>(x, y, pixels, record); break;
      case 2: DrawSized<2>(x, y, pixels, record); break;
      case 3: DrawSized<3>(x, y, pixels, record); break;
      case 4: DrawSized<4>(x, y, pixels, record); break;
      default: return true;
    }
    return true;
  }

  // Bytes of one tile at the surface's pixel size; 0 without targets.
  size_t TileBytes() const { return size_t(kTile) * kTile * size_t(target_.bytesPerPixel); }

  // The box of the tiles drawn since the last call, {-1...} when none;
  // clipped to the surface.
  RECT TakeDrawnBox() {
    const RECT box = box_;
    box_ = RECT{-1, -1, -1, -1};
    return box;
  }

 private:
  bool InsideVideo(int x, int y) const {
    const RECT& v = target_.video;
    return x >= v.left && int64_t(x) + kTile <= v.right && y >= v.top &&
           int64_t(y) + kTile <= v.bottom;
  }

  template <int B>
  void DrawSized(int x, int y, const BYTE* pixels, BYTE* record) {
    constexpr size_t kRow = size_t(kTile) * B;
    const int rows = std::min(kTile, target_.height - y);
    const int columns = std::min(kTile, target_.width - x);
    const size_t offset = size_t(y) * target_.stride + size_t(x) * B;
#if defined(__SSE2__)
    if (B == 3 && rows == kTile && columns == kTile) {
      DrawWholeThreeByteTile(offset, pixels, record);
      for (int p = 0; p < target_.planeCount; ++p) target_.views[p]->MarkDrawn(x, y, kTile, kTile);
      Grow(x, y, x + kTile, y + kTile);
      return;
    }
#endif
    for (int p = 0; p < target_.planeCount; ++p) {
      BYTE* out = target_.planes[p] + offset;
      if (columns == kTile) {
        for (int r = 0; r < rows; ++r) std::memcpy(out + r * target_.stride, pixels + r * kRow, kRow);
      } else {
        for (int r = 0; r < rows; ++r)
          std::memcpy(out + r * target_.stride, pixels + r * kRow, size_t(columns) * B);
      }
      target_.views[p]->MarkDrawn(x, y, kTile, kTile);
    }
    // Whole rows of 2- and 3-byte tiles are what the tile cache keeps. The
    // ring is far larger than any processor cache: its lines are streamed.
    if ((B == 2 || B == 3) && record && columns == kTile) {
      if (rows == kTile)
        StreamingCopy(record, pixels, kTile * kRow);
      else
        StreamingCopy(record, pixels, size_t(rows) * kRow);
    }
    Grow(x, y, x + columns, y + rows);
  }

#if defined(__SSE2__)
  // A whole 3-byte tile read as twelve 16-byte vectors, at the offsets at
  // which a tile just made in memory was stored: the loads take the stored
  // bytes straight from the stores, where 24-byte rows would straddle two
  // of them and wait until both reach the cache. Two rows a step, each
  // written to every plane and the record.
  void DrawWholeThreeByteTile(size_t offset, const BYTE* pixels, BYTE* record) {
    const auto* in = reinterpret_cast<const __m128i*>(pixels);
    auto* kept = reinterpret_cast<__m128i*>(record);
    // The ring is far larger than any processor cache: its lines are
    // streamed.
    const bool stream = record && (reinterpret_cast<uintptr_t>(record) & 15) == 0;
    if (record && !stream) std::memcpy(record, pixels, kTile * kTile * 3);
    const size_t stride = target_.stride;
    // Rows 2k and 2k + 1 are the 48 bytes of vectors 3k to 3k + 2.
    for (int k = 0; k < 4; ++k) {
      const __m128i a = _mm_loadu_si128(in + 3 * k), b = _mm_loadu_si128(in + 3 * k + 1),
                    c = _mm_loadu_si128(in + 3 * k + 2);
      const __m128i bHigh = _mm_unpackhi_epi64(b, b);
      for (int p = 0; p < target_.planeCount; ++p) {
        BYTE* first = target_.planes[p] + offset + 2 * size_t(k) * stride;
        BYTE* second = first + stride;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first), a);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(first + 16), b);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(second), bHigh);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 8), c);
      }
      if (stream) {
        _mm_stream_si128(kept + 3 * k, a);
        _mm_stream_si128(kept + 3 * k + 1, b);
        _mm_stream_si128(kept + 3 * k + 2, c);
      }
    }
  }
#endif

  void GrowClipped(int x, int y) {
    const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    const int64_t right = std::min<int64_t>(int64_t(x) + kTile, target_.width);
    const int64_t bottom = std::min<int64_t>(int64_t(y) + kTile, target_.height);
    if (left < right && top < bottom) Grow(int(left), int(top), int(right), int(bottom));
  }

  void Grow(int left, int top, int right, int bottom) {
    if (box_.left == -1) {
      box_ = RECT{left, top, right, bottom};
      return;
    }
    box_.left = std::min<LONG>(box_.left, left);
    box_.top = std::min<LONG>(box_.top, top);
    box_.right = std::max<LONG>(box_.right, right);
    box_.bottom = std::max<LONG>(box_.bottom, bottom);
  }

  TileTarget target_;
  RECT box_{-1, -1, -1, -1};
};
