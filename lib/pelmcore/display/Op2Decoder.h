// The command stream of the display-update slot: measures and decodes one
// command at a time and turns it into requests to its processor. Position,
// origin, palette, current tile, caches and sequence tracking persist from
// packet to packet; the frame fields live for one packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "display/JpegDecoder.h"
#include "display/Op2Requests.h"
#include "display/TileCache.h"
#include "pelplat/wintypes.h"

class ByteReader;

class Op2Decoder {
 public:
  // The command cannot be measured or decoded: the rest of the packet goes.
  static constexpr uint32_t kCannotTake = 0x0FFFFFFF;
  static constexpr uint32_t kDefaultCacheBytes = 0x0C000000;
  static constexpr uint32_t kSessionCacheFallback = 0x200000;
  static constexpr uint32_t kPaletteCacheBytes = 204800;
  static constexpr uint32_t kPaletteSlotBytes = 50;
  static constexpr size_t kTileRoom = 3072;
  static constexpr int kTileSide = 8;
  static constexpr int kPaletteColours = 16;
  // Largest unwrapped packet: a decompressed length beyond it is refused.
  static constexpr uint64_t kMaxUnwrappedBytes = uint64_t(64) << 20;
  // Size of the display block that the server's hello reply carries.
  static constexpr size_t kDisplayBlockBytes = 796;
  static constexpr size_t kDisplayBlockCacheSize = 0x260;
  static constexpr uint32_t kResolutionEvent = 0x4E000;

  Op2Decoder();
  ~Op2Decoder();

  void Init();

  // Notes the packet and unwraps a compressed one: *data and *length then
  // name the bytes to decode.
  void BeginPacket(IOp2Requests& processor, const BYTE** data, size_t* length);
  void EndPacket(IOp2Requests& processor);
  // Bytes consumed (word included) or kCannotTake. data lies inside the
  // packet of BeginPacket.
  uint32_t DecodeCommand(IOp2Requests& processor, const BYTE* data, size_t remaining);

  // The mode order: width, height, depth and the optional session fields.
  struct ModeOrder {
    int width = 0;
    int height = 0;
    int depth = 0;
    bool extended = false;
    uint32_t cacheBytes = 0;
    int maxWidth = 0;
    int maxHeight = 0;
  };
  void ApplyMode(IOp2Requests& processor, ModeOrder mode);
  // The session's tile-cache size from the server's display block
  // (kDisplayBlockBytes bytes).
  void ApplyDisplayBlock(const BYTE* block);

  // Drawing position of the current tile, and the slot it is recorded into
  // (taken: the next draw records nothing unless reserved again).
  int TileX() const;
  int TileY() const;
  const BYTE* CurrentTile() const { return tile_; }
  BYTE* TakeRecordSlot(size_t* bytes);

  int BytesPerPixel() const { return bytesPerPixel_; }
  int Depth() const { return depth_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  bool FrameSeen() const { return frameSeen_; }
  bool Tracking() const { return tracking_; }
  int64_t LastSequence() const { return lastSequence_; }
  int RetryCount() const { return retryCount_; }
  const TileCache& TileCache1() const { return cache1_; }
  const TileCache& TileCache2() const { return cache2_; }
  const TileCache& PaletteCache() const { return paletteCache_; }

  Op2Decoder(const Op2Decoder&) = delete;
  Op2Decoder& operator=(const Op2Decoder&) = delete;

 private:
  struct FreeBytes {
    void operator()(BYTE* p) const { std::free(p); }
  };
  using Block = std::unique_ptr<BYTE, FreeBytes>;
  // Decoded payload of a container or frame: tiles or rows to place.
  struct Units {
    Block owned;
    const BYTE* bytes = nullptr;
    size_t size = 0;
    size_t offset = 0;
    int codec = 0;
    // JPEG tiles are kept as sample planes and converted a pair of tiles
    // at a time as they are placed; bytes is then null.
    const JpegRawPlanes* planes = nullptr;
    // The next n bytes, or null when fewer are left.
    const BYTE* Next(size_t n);
  };

  uint32_t DecodeOrder(IOp2Requests& processor, uint16_t word, ByteReader& in);
  uint32_t DecodeTileCommand(IOp2Requests& processor, uint16_t word, ByteReader& in);
  uint32_t DecodeGroup(IOp2Requests& processor, uint16_t word, size_t offset, ByteReader& in);
  bool DecodeTileKind(IOp2Requests& processor, uint16_t word, ByteReader& body);
  bool DecodeYuvBlock(IOp2Requests& processor, uint16_t word, ByteReader& in);
  bool DecodeContainer(IOp2Requests& processor, uint16_t word, size_t offset, ByteReader& in);
  bool RunContainerRecords(IOp2Requests& processor, ByteReader& records, const BYTE* payload,
                           size_t payloadLength);
  void PlaceUnits(IOp2Requests& processor, Units& units, bool record, int count, int column,
                  int row);
  bool DecodeControl(IOp2Requests& processor, uint16_t word, ByteReader& in);
  bool DecodeFrameReference(size_t offset, ByteReader& in);
  bool DecodeFrameTiles(IOp2Requests& processor, uint16_t word, ByteReader& in);

  void OrderRawTile(IOp2Requests& processor, uint8_t flags, ByteReader& body);
  void OrderPaletteTile(IOp2Requests& processor, uint8_t flags, ByteReader& body);
  void OrderPalette256(IOp2Requests& processor, ByteReader& body);
  void OrderMode(IOp2Requests& processor, uint16_t length, ByteReader& body);
  void OrderText(IOp2Requests& processor, ByteReader& body);
  void OrderPointerShape(IOp2Requests& processor, ByteReader& body);

  // Reads the column and row bytes that bits 4 and 5 select.
  void ReadPrefix(unsigned selector, ByteReader& in);
  void AdvanceX();
  void RetreatX();
  // Palette colours from the wire (3-byte colours reversed).
  void LoadPalette(const BYTE* colours, int count);
  void ExpandIndices(const BYTE* indices, int width);
  void RecordTile();
  // An 8x8 tile through the processor's tile writer, or its DrawTile.
  void DrawAt(IOp2Requests& processor, int x, int y, const BYTE* pixels, size_t pixelBytes,
              BYTE* record, size_t recordBytes);
  // The current tile at the drawing position, into the reserved slot.
  void DrawCurrent(IOp2Requests& processor);
  void DrawFromCache1(IOp2Requests& processor, uint32_t* index);
  bool DecodePayload(int codec, const BYTE* payload, size_t length, Units* units);
  // The next tile of JPEG planes, converted with its neighbour when it is
  // the left one of its pair; null when none is left.
  const BYTE* NextJpegTile(Units& units);
  void RebuildTileCaches(uint32_t total);
  size_t TileBytes() const { return size_t(kTileSide) * kTileSide * bytesPerPixel_; }

  int bytesPerPixel_ = 2;
  int depth_ = 16;
  int64_t positionX_ = 0;
  int64_t positionY_ = 0;
  int64_t originX_ = 0;
  int64_t originY_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool guardArmed_ = true;
  int retryCount_ = 0;

  BYTE palette_[kPaletteColours * 4] = {};
  int colourCount_ = 0;
  int indexWidth_ = 0;
  BYTE palette256_[256 * 4] = {};
  BYTE tile_[kTileRoom] = {};
  BYTE* recordSlot_ = nullptr;
  size_t recordBytes_ = 0;

  const BYTE* packet_ = nullptr;
  size_t packetLength_ = 0;
  Block unwrapped_;
  // Offset of the frame in the packet (0: none) and its decoded units.
  size_t frameOffset_ = 0;
  Units frame_;
  bool frameSeen_ = false;

  bool tracking_ = false;
  int64_t lastSequence_ = -1;

  TileCache cache1_;
  TileCache cache2_;
  TileCache paletteCache_;

  // The planes of the last JPEG container, kept from one to the next, and
  // the pair of tiles converted last.
  JpegRawPlanes jpegPlanes_;
  alignas(16) BYTE jpegPair_[2 * 192] = {};
};
