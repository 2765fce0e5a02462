// Numbers of the display command stream shared by the decoder's files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace op2 {

// Bits 12-14 all set (with bit 15) make a group command.
constexpr uint16_t kGroupBits = 0x7000;
// Position prefix: a column byte, then a row byte.
constexpr unsigned kPrefixColumn = 0x10;
constexpr unsigned kPrefixRow = 0x20;

enum OrderType : uint8_t {
  kOrderPointerPosition = 1,
  kOrderPointerShape = 2,
  kOrderPalette256 = 3,
  kOrderRawTile = 4,
  kOrderPaletteTile = 5,
  kOrderRepeat = 8,
  kOrderMode = 9,
  kOrderCopyRect = 12,
  kOrderGeometry = 15,
  kOrderText = 48,
};

// Order lengths (after the word) of mode orders: shorter ones are
// ignored, longer ones carry the session's cache size and limits.
constexpr uint16_t kModeOrderMinimum = 8;
constexpr uint16_t kModeOrderExtended = 28;

enum TileKind : uint16_t {
  kTilePalette = 0x0000,
  kTileKeptPalette = 0x1000,
  kTileRepeat = 0x2000,
  kTileCacheRun = 0x3000,
  kTileCacheRefs = 0x4000,
  kTileWidePalette = 0x5000,
  kTileCachedPalette = 0x6000,
};
constexpr uint16_t kCacheRefsFromCache2 = 0x8;
constexpr uint16_t kCachedPaletteSlot = 0x800;

enum Group { kGroupYuvBlock = 1, kGroupContainer = 3, kGroupControl = 4, kGroupFrame = 5, kGroupFrameTiles = 6 };

enum ContainerRecord : uint8_t {
  kRecordDecode = 1,
  kRecordPlace = 2,
  kRecordPlaceAndKeep = 5,
  kRecordOrigin = 6,
  kRecordRows = 8,
};

enum Codec {
  kCodecJpegUnits = 1,
  kCodecYuvBlocks = 5,
  kCodecJpegRows = 7,
  kCodecJpegTiles = 9,
  kCodecLz4Blocks = 10,
};

enum ControlKind { kOverlayOn = 1, kOverlayOff = 2, kFlush = 3, kSequence = 4, kOrigin = 5 };

// Cursor-shape record: flags at 4, data length at 20, data at 22.
constexpr uint32_t kCursorHidden = 0xC0000000u;
constexpr size_t kCursorDataLengthAt = 20;
constexpr size_t kCursorDataAt = 22;
constexpr size_t kMonochromeCursorBytes = 272;

constexpr size_t kResolutionEventBytes = 52;
constexpr int kResolutionRetries = 3;

constexpr size_t kUnitBytes = 192;  // one 8x8 tile of 3-byte pixels
constexpr size_t kRowUnitBytes = 768;

// Positions far outside any surface stop growing, so that no stream of
// repeats can overflow them.
constexpr int64_t kFarCoordinate = int64_t(1) << 30;

inline int ClampCoordinate(int64_t v) {
  return int(std::clamp(v, -kFarCoordinate, kFarCoordinate));
}

inline size_t PrefixBytes(unsigned selector) {
  return ((selector & kPrefixColumn) ? 1 : 0) + ((selector & kPrefixRow) ? 1 : 0);
}

// Index bytes of a 64-pixel tile by index width.
inline size_t IndexBytes(int width) {
  switch (width) {
    case 1: return 8;
    case 2: return 16;
    case 3: return 24;
    case 4: return 32;
    case 8: return 64;
    default: return 0;
  }
}

// One colour needs no index; an empty palette neither.
inline int IndexWidthForCount(int count) {
  if (count <= 1) return 0;
  if (count == 2) return 1;
  if (count <= 4) return 2;
  if (count <= 8) return 3;
  if (count <= 16) return 4;
  return 15;
}

inline bool IsDisplayDepth(int depth) {
  return depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

}  // namespace op2
