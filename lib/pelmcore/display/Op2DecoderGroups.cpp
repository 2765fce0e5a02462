// Group commands of the display stream: YCbCr blocks, containers with their
// payload codecs, stream control, the JPEG frame and its tiles.
#include <lz4.h>

#include <cstring>

#include "display/JpegDecoder.h"
#include "display/JpegOutBuffer.h"
#include "display/Op2Decoder.h"
#include "display/Op2Stream.h"
#include "display/TileWriter.h"
#include "display/YuvTile.h"
#include "sys/ByteReader.h"

using namespace op2;

namespace {

// An LZ4 payload names its size in a word whose top byte carries 0xFA.
constexpr uint32_t kLz4Mark = 0xFA;
constexpr int32_t kLz4MinimumSize = 16;

}  // namespace

uint32_t Op2Decoder::DecodeGroup(IOp2Requests& processor, uint16_t word, size_t offset,
                                 ByteReader& in) {
  bool ok = false;
  switch ((word >> 6) & 0x2F) {
    case kGroupYuvBlock: ok = DecodeYuvBlock(processor, word, in); break;
    case kGroupContainer: ok = DecodeContainer(processor, word, offset, in); break;
    case kGroupControl: ok = DecodeControl(processor, word, in); break;
    case kGroupFrame: ok = DecodeFrameReference(offset, in); break;
    case kGroupFrameTiles: ok = DecodeFrameTiles(processor, word, in); break;
    default: return kCannotTake;
  }
  if (!ok || !in.Ok() || in.Position() >= kCannotTake) return kCannotTake;
  return uint32_t(in.Position());
}

bool Op2Decoder::DecodeYuvBlock(IOp2Requests& processor, uint16_t word, ByteReader& in) {
  ReadPrefix(word, in);
  BYTE block[kYuvBlockBytes];
  if ((word & 0xF) == 1) {
    const uint8_t length = in.U8();
    const BYTE* coded = in.Take(length);
    if (!in.Ok() || !RunLengthDecode(block, coded, length, sizeof block)) return false;
  } else if (!in.Bytes(block, sizeof block)) {
    return false;
  }
  YuvBlockToBgr(tile_, block);
  if (bytesPerPixel_ == 2) RecordTile();
  DrawCurrent(processor);
  return true;
}

bool Op2Decoder::DecodeContainer(IOp2Requests& processor, uint16_t word, size_t offset,
                                 ByteReader& in) {
  if (processor.AlignsContainers()) in.Skip((4 - (offset + 2) % 4) % 4);
  const uint32_t length = in.U32();
  const BYTE* bytes = in.Take(length);
  if (!in.Ok()) return false;
  const int kind = word & 0xF;
  if (length <= 16 || (kind != 1 && kind != 4 && kind != 5)) return true;
  ByteReader container(bytes, length);
  const uint32_t payloadLength = container.U32();
  if (payloadLength > length - 4) return false;
  const BYTE* payload = container.Take(payloadLength);
  const size_t recordBytes = (length - payloadLength - 4) / 4 * 4;
  ByteReader records(container.Take(recordBytes), recordBytes);
  return RunContainerRecords(processor, records, payload, payloadLength);
}

bool Op2Decoder::RunContainerRecords(IOp2Requests& processor, ByteReader& records,
                                     const BYTE* payload, size_t payloadLength) {
  Units units;
  while (records.Remaining() >= 4) {
    const int type = records.U8();
    const int a = records.U8();
    const int column = records.U8();
    const int row = records.U8();
    switch (type) {
      case kRecordDecode:
        units = Units();
        if (!DecodePayload(a, payload, payloadLength, &units)) return false;
        break;
      case kRecordPlace:
      case kRecordPlaceAndKeep:
        PlaceUnits(processor, units, type == kRecordPlaceAndKeep, a, column, row);
        break;
      case kRecordOrigin: {
        const uint32_t v = uint32_t(a) | uint32_t(column) << 8 | uint32_t(row) << 16;
        originX_ = v & 0xFFF;
        originY_ = v >> 12;
        break;
      }
      case kRecordRows:
        if (units.codec != kCodecJpegRows) break;
        for (int k = 0; k < a; ++k) {
          const BYTE* rows = units.Next(kRowUnitBytes);
          if (!rows) break;
          processor.DrawTile16(column * kTileSide + 16 * k, row * kTileSide, rows, kRowUnitBytes);
        }
        break;
      default: break;
    }
  }
  return true;
}

void Op2Decoder::PlaceUnits(IOp2Requests& processor, Units& units, bool record, int count,
                            int column, int row) {
  BYTE converted[kUnitBytes];
  for (int k = 0; k < count; ++k) {
    // The server counts a slot for every tile of the record, placed or not.
    BYTE* slot = record ? cache2_.Take() : nullptr;
    const BYTE* tile = nullptr;
    switch (units.codec) {
      case kCodecJpegUnits: tile = units.Next(kUnitBytes); break;
      case kCodecJpegTiles: tile = NextJpegTile(units); break;
      case kCodecYuvBlocks:
        if (const BYTE* block = units.Next(kYuvBlockBytes)) {
          YuvBlockToBgr(converted, block);
          tile = converted;
        }
        break;
      case kCodecLz4Blocks:
        if (const BYTE* block = units.Next(kYuvBlockBytes)) {
          YuvRasterBlockToBgr(converted, block);
          tile = converted;
        }
        break;
      default: break;
    }
    if (!tile) continue;
    DrawAt(processor, ClampCoordinate(originX_ + int64_t(column) * kTileSide + 8 * k),
                       ClampCoordinate(originY_ + int64_t(row) * kTileSide), tile, kUnitBytes,
                       slot, slot ? cache2_.SlotSize() : 0);
  }
}

bool Op2Decoder::DecodePayload(int codec, const BYTE* payload, size_t length, Units* units) {
  units->codec = codec;
  int width = 0, height = 0;
  BYTE* out = nullptr;
  switch (codec) {
    case kCodecJpegUnits:
      if (DecodeJpegToTileUnits(payload, length, &width, &height, &out) != 0) return false;
      units->size = size_t(width) * height * 3 / 2;
      break;
    case kCodecJpegTiles:
      // Converted tile by tile as they are placed: no picture-sized copy.
      if (!payload || length == 0 || ReadJpegRawPlanes(payload, length, &jpegPlanes_) != 0)
        return false;
      units->planes = &jpegPlanes_;
      units->size = size_t(jpegPlanes_.width) * size_t(jpegPlanes_.height) * 3;
      return true;
    case kCodecYuvBlocks:
      units->bytes = payload;
      units->size = length;
      return true;
    case kCodecJpegRows: {
      JpegOutBuffer rows;
      if (DecodeJpegToRgb(payload, length, &width, &height, 1, 1, &rows) != 0) return false;
      units->size = rows.GetSize();
      out = static_cast<BYTE*>(std::malloc(units->size ? units->size : 1));
      if (!out) return false;
      if (units->size) std::memcpy(out, rows.GetData(), units->size);
      break;
    }
    case kCodecLz4Blocks: {
      ByteReader in(payload, length);
      const uint32_t word = in.U32();
      // The low 24 bits are a signed size.
      const int32_t size = int32_t(word << 8) >> 8;
      if (!in.Ok() || ((word >> 24) & kLz4Mark) != kLz4Mark || size <= kLz4MinimumSize) return false;
      const size_t codedLength = in.Remaining();
      const BYTE* coded = in.Take(codedLength);
      out = static_cast<BYTE*>(std::malloc(size_t(size)));
      if (!out) return false;
      if (LZ4_decompress_safe(reinterpret_cast<const char*>(coded), reinterpret_cast<char*>(out),
                              int(codedLength), size) != size) {
        std::free(out);
        return false;
      }
      units->size = size_t(size);
      break;
    }
    default: return false;
  }
  units->owned.reset(out);
  units->bytes = out;
  return true;
}

const BYTE* Op2Decoder::NextJpegTile(Units& units) {
  static_assert(sizeof jpegPair_ == 2 * kUnitBytes, "a pair of 3-byte tiles");
  if (!units.planes || kUnitBytes > units.size - std::min(units.size, units.offset)) return nullptr;
  const size_t tile = units.offset / kUnitBytes;
  const int band = int(tile / 2);
  if (band >= units.planes->height / kTileSide) return nullptr;
  if (tile % 2 == 0) PackBgrTilePair(*units.planes, band, jpegPair_, jpegPair_ + kUnitBytes);
  units.offset += kUnitBytes;
  return jpegPair_ + (tile % 2) * kUnitBytes;
}

bool Op2Decoder::DecodeControl(IOp2Requests& processor, uint16_t word, ByteReader& in) {
  switch (word & 0xF) {
    case kOverlayOn:
    case kOverlayOff: {
      const uint32_t length = in.U32();
      const BYTE* record = in.Take(length);
      if (!in.Ok()) return false;
      processor.SetStreamOverlayFlag((word & 0xF) == kOverlayOn ? 1 : 0, record, length);
      return true;
    }
    case kFlush: {
      const int mode = processor.FlushMode();
      if (!frameSeen_ && (mode == 0 || mode == 2)) processor.FlushSurface();
      return true;
    }
    case kSequence: {
      const uint32_t n = in.U32();
      if (!in.Ok()) return false;
      if (!tracking_) {
        if (n == 0) {
          tracking_ = true;
          lastSequence_ = 0;
        }
        return true;
      }
      if (int64_t(n) == lastSequence_ + 1 || n == 0) {
        lastSequence_ = n;
        return true;
      }
      // Updates were lost: the picture is only whole again after a full
      // refresh.
      tracking_ = false;
      processor.RequestRefresh();
      return false;
    }
    case kOrigin: {
      const uint16_t x = in.U16();
      const uint16_t y = in.U16();
      in.Skip(4);
      if (!in.Ok()) return false;
      originX_ = x;
      originY_ = y;
      return true;
    }
    default:
      in.Skip(in.U32());
      return in.Ok();
  }
}

bool Op2Decoder::DecodeFrameReference(size_t offset, ByteReader& in) {
  const uint32_t b0 = in.U8(), b1 = in.U8(), b2 = in.U8();
  if (!in.Ok()) return false;
  const size_t length = b0 | b1 << 8 | b2 << 16;
  if (length == 0) return true;
  frameSeen_ = true;
  // The frame must lie after this command, inside the packet.
  const size_t commandEnd = offset + in.Position();
  if (!packet_ || length > packetLength_ || packetLength_ - length < commandEnd) return false;
  frameOffset_ = packetLength_ - length;
  frame_ = Units();
  ByteReader packet(packet_, packetLength_);
  packet.Skip(frameOffset_);
  const BYTE* frame = packet.Take(length);
  if (!packet.Ok()) return true;
  int width = 0, height = 0;
  BYTE* units = nullptr;
  if (DecodeJpegToTileUnits(frame, length, &width, &height, &units) == 0) {
    frame_.owned.reset(units);
    frame_.bytes = units;
    frame_.size = size_t(width) * height * 3 / 2;
    frame_.codec = kCodecJpegUnits;
  }
  return true;
}

bool Op2Decoder::DecodeFrameTiles(IOp2Requests& processor, uint16_t word, ByteReader& in) {
  ReadPrefix(word, in);
  if (!in.Ok()) return false;
  for (int k = 0; k <= (word & 0xF); ++k) {
    if (k) AdvanceX();
    if (!frame_.bytes) continue;
    const BYTE* tile = frame_.Next(kUnitBytes);
    if (!tile) break;
    BYTE* slot = cache2_.Take();
    DrawAt(processor, TileX(), TileY(), tile, kUnitBytes, slot, slot ? cache2_.SlotSize() : 0);
  }
  return true;
}
