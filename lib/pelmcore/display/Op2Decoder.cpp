// Packets, orders, tile commands, palettes and the caches of the display
// command stream. Group commands are in Op2DecoderGroups.cpp.
#include "display/Op2Decoder.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "display/Lz4Packet.h"
#include "display/Op2Stream.h"
#include "display/PaletteTile.h"
#include "display/ReversedPixels.h"
#include "display/TileWriter.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

using namespace op2;

void IOp2Requests::DrawCurrentTile(Op2Decoder& decoder) {
  size_t recordBytes = 0;
  BYTE* record = decoder.TakeRecordSlot(&recordBytes);
  DrawTile(decoder.TileX(), decoder.TileY(), decoder.CurrentTile(), Op2Decoder::kTileRoom, record,
           recordBytes);
}

const BYTE* Op2Decoder::Units::Next(size_t n) {
  if (!bytes || n > size - offset) return nullptr;
  const BYTE* p = bytes + offset;
  offset += n;
  return p;
}

Op2Decoder::Op2Decoder() { Init(); }

Op2Decoder::~Op2Decoder() = default;

void Op2Decoder::Init() {
  bytesPerPixel_ = 2;
  depth_ = 16;
  positionX_ = positionY_ = originX_ = originY_ = 0;
  width_ = height_ = 0;
  guardArmed_ = true;
  retryCount_ = 0;
  std::memset(palette_, 0, sizeof palette_);
  std::memset(palette256_, 0, sizeof palette256_);
  std::memset(tile_, 0, sizeof tile_);
  colourCount_ = indexWidth_ = 0;
  recordSlot_ = nullptr;
  recordBytes_ = 0;
  packet_ = nullptr;
  packetLength_ = 0;
  unwrapped_.reset();
  frameOffset_ = 0;
  frame_ = Units();
  frameSeen_ = false;
  tracking_ = false;
  lastSequence_ = -1;
  cache1_.Free();
  cache2_.Free();
  paletteCache_.Free();
  cache1_.InitDeferred(kDefaultCacheBytes, uint32_t(TileBytes()));
  cache2_.InitDeferred(kDefaultCacheBytes / 4, uint32_t(TileBytes()));
  paletteCache_.InitDeferred(kPaletteCacheBytes, kPaletteSlotBytes);
}

int Op2Decoder::TileX() const { return ClampCoordinate(originX_ + positionX_); }

int Op2Decoder::TileY() const { return ClampCoordinate(originY_ + positionY_); }

BYTE* Op2Decoder::TakeRecordSlot(size_t* bytes) {
  BYTE* slot = recordSlot_;
  *bytes = slot ? recordBytes_ : 0;
  recordSlot_ = nullptr;
  recordBytes_ = 0;
  return slot;
}

void Op2Decoder::BeginPacket(IOp2Requests& processor, const BYTE** data, size_t* length) {
  frameOffset_ = 0;
  frame_ = Units();
  unwrapped_.reset();
  size_t plainLength = 0;
  if (BYTE* plain = UnwrapLz4Packet(*data, *length, kMaxUnwrappedBytes, &plainLength)) {
    unwrapped_.reset(plain);
    *data = plain;
    *length = plainLength;
  }
  packet_ = *data;
  packetLength_ = *data ? *length : 0;
}

void Op2Decoder::EndPacket(IOp2Requests& processor) {
  if (frameSeen_) processor.FlushSurface();
  frame_ = Units();
  frameOffset_ = 0;
  unwrapped_.reset();
  packet_ = nullptr;
  packetLength_ = 0;
}

uint32_t Op2Decoder::DecodeCommand(IOp2Requests& processor, const BYTE* data, size_t remaining) {
  if (!data || remaining < 2) return kCannotTake;
  size_t offset = 0;
  size_t available = remaining;
  const uintptr_t at = reinterpret_cast<uintptr_t>(data);
  const uintptr_t start = reinterpret_cast<uintptr_t>(packet_);
  if (packet_ && at >= start && at - start < packetLength_) {
    offset = at - start;
    available = std::min(remaining, packetLength_ - offset);
    if (frameOffset_) {
      // The frame at the end of the packet is never read as commands.
      if (offset + 2 > frameOffset_) return remaining < kCannotTake ? uint32_t(remaining) : kCannotTake;
      available = frameOffset_ - offset;
    }
  }
  ByteReader in(data, available);
  const uint16_t word = in.U16();
  if (!(word & 0x8000)) return DecodeOrder(processor, word, in);
  if ((word & kGroupBits) == kGroupBits) return DecodeGroup(processor, word, offset, in);
  return DecodeTileCommand(processor, word, in);
}

// ---- orders ----

uint32_t Op2Decoder::DecodeOrder(IOp2Requests& processor, uint16_t word, ByteReader& in) {
  const BYTE* bytes = in.Take(word);
  if (!in.Ok()) return kCannotTake;
  ByteReader body(bytes, word);
  const uint8_t flags = body.U8();
  const uint8_t type = body.U8();
  if (!body.Ok()) return uint32_t(word) + 2;
  switch (type) {
    case kOrderPointerPosition: {
      const int x = body.U16();
      const int y = body.U16();
      if (body.Ok()) processor.SetPointerPosition(x, y);
      break;
    }
    case kOrderPointerShape: OrderPointerShape(processor, body); break;
    case kOrderPalette256: OrderPalette256(processor, body); break;
    case kOrderRawTile: OrderRawTile(processor, flags, body); break;
    case kOrderPaletteTile: OrderPaletteTile(processor, flags, body); break;
    case kOrderRepeat: {
      const int count = body.U8();
      for (int i = 0; body.Ok() && i < count; ++i) {
        AdvanceX();
        DrawCurrent(processor);
      }
      break;
    }
    case kOrderMode: OrderMode(processor, word, body); break;
    case kOrderCopyRect: {
      int v[6];
      for (int& value : v) value = body.U16();
      if (body.Ok()) processor.CopyRect(v[0], v[1], v[2], v[3], v[4], v[5]);
      break;
    }
    case kOrderGeometry: {
      int32_t v[4];
      for (int32_t& value : v) value = body.I32();
      if (body.Ok()) processor.SetDesktopGeometry(v);
      break;
    }
    case kOrderText: OrderText(processor, body); break;
    default: break;  // types the server uses that carry nothing for us
  }
  return uint32_t(word) + 2;
}

void Op2Decoder::OrderPointerShape(IOp2Requests& processor, ByteReader& body) {
  const size_t length = body.Remaining();
  const BYTE* record = body.Take(length);
  ByteReader peek(record, length);
  peek.Skip(4);
  const uint32_t flags = peek.U32();
  if (!peek.Ok()) return;
  size_t need = 8;
  if (!(flags & kCursorHidden)) {
    if ((flags & 3) == 0) {
      need = kMonochromeCursorBytes;
    } else {
      peek.Skip(kCursorDataLengthAt - 8);
      const int16_t dataLength = peek.I16();
      if (!peek.Ok() || dataLength < 0) return;
      need = kCursorDataAt + size_t(dataLength);
    }
  }
  if (length >= need) processor.SetPointerShape(record, length);
}

void Op2Decoder::OrderPalette256(IOp2Requests& processor, ByteReader& body) {
  if (body.Remaining() < 512) return;
  for (int i = 0; i < 256; ++i) {
    const uint16_t c = body.U16();
    BYTE* entry = palette256_ + i * 4;
    entry[0] = BYTE((c & 0x1F) << 3);
    entry[1] = BYTE(((c >> 5) & 0x1F) << 3);
    entry[2] = BYTE(((c >> 10) & 0x1F) << 3);
    entry[3] = 0;
  }
  processor.SetPalette(palette256_);
}

void Op2Decoder::OrderRawTile(IOp2Requests& processor, uint8_t flags, ByteReader& body) {
  if (body.Remaining() < PrefixBytes(flags) + TileBytes()) return;
  ReadPrefix(flags, body);
  const BYTE* pixels = body.Take(TileBytes());
  if (bytesPerPixel_ == 3) {
    ReverseThreeBytePixels(tile_, pixels, size_t(kTileSide) * kTileSide);
  } else {
    std::memcpy(tile_, pixels, TileBytes());
  }
  if (bytesPerPixel_ == 2 || bytesPerPixel_ == 3) RecordTile();
  DrawCurrent(processor);
}

void Op2Decoder::OrderPaletteTile(IOp2Requests& processor, uint8_t flags, ByteReader& body) {
  const int count = (flags & 0xF) + 1;
  const int width = IndexWidthForCount(count);
  const size_t colourBytes = size_t(count) * bytesPerPixel_;
  if (body.Remaining() < PrefixBytes(flags) + colourBytes + IndexBytes(width)) return;
  ReadPrefix(flags, body);
  const BYTE* colours = body.Take(colourBytes);
  const BYTE* indices = body.Take(IndexBytes(width));
  LoadPalette(colours, count);
  paletteCache_.Put(colours, colourBytes);
  indexWidth_ = width;
  ExpandIndices(indices, width);
  if (bytesPerPixel_ > 1) RecordTile();
  DrawCurrent(processor);
}

void Op2Decoder::OrderMode(IOp2Requests& processor, uint16_t length, ByteReader& body) {
  if (length < kModeOrderMinimum) return;
  ModeOrder mode;
  mode.width = body.U16();
  mode.height = body.U16();
  mode.depth = body.U16();
  if (length >= kModeOrderExtended) {
    mode.extended = true;
    mode.cacheBytes = body.U32();
    mode.maxWidth = body.U16();
    mode.maxHeight = body.U16();
  }
  if (body.Ok()) ApplyMode(processor, mode);
}

void Op2Decoder::OrderText(IOp2Requests& processor, ByteReader& body) {
  const size_t length = body.Remaining();
  const char* text = reinterpret_cast<const char*>(body.Take(length));
  // The text ends at its terminator or at the end of the order, whichever
  // comes first.
  const std::string bounded(text, strnlen(text, length));
  processor.PostTextMessage(bounded.c_str());
}

// ---- tile commands ----

uint32_t Op2Decoder::DecodeTileCommand(IOp2Requests& processor, uint16_t word, ByteReader& in) {
  const size_t prefix = PrefixBytes(word);
  const size_t field = (word >> 6) & 63;
  size_t length = 0;
  switch (word & 0x7000) {
    case kTilePalette:
    case kTileKeptPalette:
    case kTileRepeat:
    case kTileCacheRun: length = field; break;
    case kTileCacheRefs: length = prefix + 2; break;
    case kTileWidePalette:
      length = prefix + size_t(bytesPerPixel_) * (field + 1) + IndexBytes(word & 0xF);
      break;
    default:  // cached palette
      length = prefix + ((word & kCachedPaletteSlot) ? 1 : 0) + IndexBytes(word & 0xF);
      break;
  }
  const BYTE* bytes = in.Take(length);
  if (!in.Ok()) return kCannotTake;
  // Decoding sees only the measured bytes; a command that needs more is
  // malformed.
  ByteReader body(bytes, length);
  if (!DecodeTileKind(processor, word, body)) return kCannotTake;
  return uint32_t(length + 2);
}

bool Op2Decoder::DecodeTileKind(IOp2Requests& processor, uint16_t word, ByteReader& body) {
  ReadPrefix(word, body);
  const int low = word & 0xF;
  const int field = (word >> 6) & 63;
  int width = indexWidth_;
  switch (word & 0x7000) {
    case kTilePalette:
    case kTileWidePalette: {
      const int count = (word & 0x7000) == kTilePalette ? low + 1 : field + 1;
      width = (word & 0x7000) == kTilePalette ? IndexWidthForCount(count) : low;
      const size_t colourBytes = size_t(count) * bytesPerPixel_;
      const BYTE* colours = body.Take(colourBytes);
      if (!body.Ok()) return false;
      LoadPalette(colours, count);
      paletteCache_.Put(colours, colourBytes);
      break;
    }
    case kTileKeptPalette:
      colourCount_ = low + 1;
      width = IndexWidthForCount(colourCount_);
      break;
    case kTileRepeat: {
      const int count = body.U8();
      if (!body.Ok()) return false;
      RetreatX();
      for (int i = 0; i < count; ++i) {
        AdvanceX();
        DrawCurrent(processor);
      }
      return true;
    }
    case kTileCacheRun: {
      uint32_t index = body.U16();
      if (!body.Ok()) return false;
      for (int k = 0; k <= low; ++k, ++index) {
        if (k) AdvanceX();
        DrawFromCache1(processor, &index);
      }
      return true;
    }
    case kTileCacheRefs: {
      uint32_t index = uint32_t(field) << 16 | body.U16();
      if (!body.Ok()) return false;
      for (int k = 0; k <= (word & 7); ++k, ++index) {
        if (k) AdvanceX();
        if (!(word & kCacheRefsFromCache2)) {
          DrawFromCache1(processor, &index);
        } else if (const BYTE* slot = cache2_.SlotAt(&index)) {
          DrawAt(processor, TileX(), TileY(), slot, cache2_.SlotSize(), nullptr, 0);
        }
      }
      return true;
    }
    default: {  // cached palette
      if (!(word & kCachedPaletteSlot)) {
        width = low;
        break;
      }
      uint32_t index = uint32_t((word >> 6) & 0x1F) << 8 | body.U8();
      if (!body.Ok()) return false;
      const BYTE* slot = paletteCache_.SlotAt(&index);
      ByteReader stored(slot, paletteCache_.SlotSize());
      const size_t length = std::min<size_t>(stored.U16(), stored.Remaining());
      const int count = int(length / bytesPerPixel_);
      LoadPalette(stored.Take(length), count);
      width = IndexWidthForCount(count);
      break;
    }
  }
  const BYTE* indices = body.Take(IndexBytes(width));
  if (!body.Ok()) return false;
  indexWidth_ = width;
  ExpandIndices(indices, width);
  RecordTile();
  DrawCurrent(processor);
  return true;
}

// ---- positions, palettes, tiles ----

void Op2Decoder::ReadPrefix(unsigned selector, ByteReader& in) {
  if (selector & kPrefixColumn)
    positionX_ = int64_t(in.U8()) * kTileSide;
  else
    AdvanceX();
  if (selector & kPrefixRow) positionY_ = int64_t(in.U8()) * kTileSide;
}

void Op2Decoder::AdvanceX() { positionX_ = std::min(positionX_ + kTileSide, kFarCoordinate); }

void Op2Decoder::RetreatX() { positionX_ -= kTileSide; }

void Op2Decoder::LoadPalette(const BYTE* colours, int count) {
  colourCount_ = count;
  const int b = bytesPerPixel_;
  const int kept = std::min(count, kPaletteColours);
  if (!colours || kept <= 0 || b <= 0) return;
  if (b == 3)
    ReverseThreeBytePixels(palette_, colours, size_t(kept));
  else
    std::memcpy(palette_, colours, size_t(kept) * size_t(b));
}

void Op2Decoder::ExpandIndices(const BYTE* indices, int width) {
  ExpandPaletteTile(tile_, palette_, bytesPerPixel_, indices, width);
}

void Op2Decoder::RecordTile() {
  recordSlot_ = cache1_.Take();
  recordBytes_ = recordSlot_ ? cache1_.SlotSize() : 0;
}

void Op2Decoder::DrawAt(IOp2Requests& processor, int x, int y, const BYTE* pixels,
                        size_t pixelBytes, BYTE* record, size_t recordBytes) {
  if (processor.tileWriter &&
      processor.tileWriter->Draw(x, y, pixels, pixelBytes, record, recordBytes))
    return;
  processor.DrawTile(x, y, pixels, pixelBytes, record, recordBytes);
}

void Op2Decoder::DrawCurrent(IOp2Requests& processor) {
  if (!processor.tileWriter) return processor.DrawCurrentTile(*this);
  size_t recordBytes = 0;
  BYTE* record = TakeRecordSlot(&recordBytes);
  DrawAt(processor, TileX(), TileY(), tile_, kTileRoom, record, recordBytes);
}

void Op2Decoder::DrawFromCache1(IOp2Requests& processor, uint32_t* index) {
  const BYTE* slot = cache1_.SlotAt(index);
  if (!slot) return;
  // The slot becomes the current tile (later repeats draw it); the sizes
  // of tiles get copies of a size known here.
  const size_t bytes = std::min<size_t>(cache1_.SlotSize(), kTileRoom);
  switch (bytes) {
    case 128: std::memcpy(tile_, slot, 128); break;
    case 192: std::memcpy(tile_, slot, 192); break;
    default: std::memcpy(tile_, slot, bytes); break;
  }
  recordSlot_ = nullptr;
  // Drawn from the slot itself when it holds a whole tile of the surface.
  TileWriter* writer = processor.tileWriter;
  if (writer && writer->TileBytes() <= bytes)
    DrawAt(processor, TileX(), TileY(), slot, bytes, nullptr, 0);
  else
    DrawCurrent(processor);
}

// ---- mode changes and caches ----

void Op2Decoder::ApplyMode(IOp2Requests& processor, ModeOrder mode) {
  // A size or depth that no surface can take would leave the caches with
  // slots of no size; the order is dropped as a whole.
  if (mode.width <= 0 || mode.height <= 0 || !IsDisplayDepth(mode.depth)) return;
  depth_ = mode.depth;
  bytesPerPixel_ = mode.depth / 8;
  int w = mode.width;
  int h = mode.height;
  if (mode.extended) {
    if (mode.maxWidth && mode.maxWidth < w) w = mode.maxWidth;
    if (mode.maxHeight && mode.maxHeight < h) h = mode.maxHeight;
  }
  if (width_ && height_) {
    if (guardArmed_ && (w != width_ || h != height_)) {
      BYTE event[kResolutionEventBytes] = {};
      ByteWriter out(event, sizeof event);
      out.U32(uint32_t(width_));
      out.U32(uint32_t(height_));
      out.U32(uint32_t(mode.depth));
      processor.SendClientEvent(kResolutionEvent, event, kResolutionEventBytes);
      if (++retryCount_ <= kResolutionRetries) {
        LogMessageA("Wrong resolution %d %d, required %d %d retry connect", w, h, width_, height_);
        return;
      }
      LogMessageA("Wrong resolution %d %d ACCEPTED", w, h);
    }
    guardArmed_ = false;
  }
  width_ = w;
  height_ = h;
  const uint32_t tileBytes = uint32_t(TileBytes());
  const uint32_t cacheBytes = std::min(mode.cacheBytes, TileCache::kMaxTotal);
  if (cacheBytes && cacheBytes != cache1_.Total()) {
    RebuildTileCaches(cacheBytes);
  } else {
    cache1_.Reset(tileBytes);
    cache2_.Reset(tileBytes);
  }
  paletteCache_.Reset(kPaletteSlotBytes);
  // The screen that follows a mode order fills the tile caches: their pages
  // are made resident before the tiles come.
  cache1_.Prefault();
  cache2_.Prefault();
  processor.SetMode(w, h, mode.depth);
}

void Op2Decoder::RebuildTileCaches(uint32_t total) {
  const uint32_t tileBytes = uint32_t(TileBytes());
  total = std::min(total, TileCache::kMaxTotal);
  // The caches keep their memory when it is large enough.
  if (cache1_.Init(total, tileBytes) && cache2_.Init(total / 4, tileBytes)) return;
  // Without memory for the new size the old caches serve on, emptied as
  // the server expects after a change.
  LogMessageA("Op2Decoder::RebuildTileCaches: no memory for %u bytes", total);
  cache1_.Reset(tileBytes);
  cache2_.Reset(tileBytes);
}

void Op2Decoder::ApplyDisplayBlock(const BYTE* block) {
  ByteReader in(block, kDisplayBlockBytes);
  in.Skip(kDisplayBlockCacheSize);
  const uint32_t size = in.U32();
  if (!in.Ok() || size == kDefaultCacheBytes) return;
  RebuildTileCaches(size ? size : kSessionCacheFallback);
  if (!paletteCache_.Init(kPaletteCacheBytes, kPaletteSlotBytes))
    paletteCache_.Reset(kPaletteSlotBytes);
}
