// The display encoder of the test host: turns an image into the command
// stream of the display-update slot, written from the stream's description
// alone (never from the client's decoder), so that the two check each
// other. It keeps the same model of the client's caches as the server
// does: every slot the client fills is mirrored here by index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace testhost {

using Packet = std::vector<uint8_t>;

// 8-bit R, G, B per pixel, rows top to bottom.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// PPM (P6 or P3) or anything Qt's image reader takes (PNG, ...).
bool LoadImageFile(const std::string& path, RgbImage* image, std::string* error);

// The client's surface bytes for the image: depth 16 gives RGB565
// little-endian (red on top), depth 24 the bytes R, G, B as the client's
// 24-bit surface stores them.
std::vector<uint8_t> SurfaceBytes(const RgbImage& image, int depth);

// A type-11 packet: the first length - tailBytes bytes as one LZ4 block,
// the rest raw. The packet unchanged when compression would not shrink it.
Packet WrapLz4(const Packet& packet, size_t tailBytes = 0);

enum class JpegTiles {
  kNone,       // tiles of many colours go as raw tiles
  kContainer,  // in containers of JPEG-coded tiles (codec 9), kept in tile cache 2
  kFrame,      // as tiles of a JPEG frame at the end of the packet (codec 1)
};

struct PaintOptions {
  int depth = 24;             // 16 or 24
  bool modeOrder = true;      // start with a mode order for the image
  uint32_t modeCacheBytes = 0;  // non-zero: an extended mode order naming this cache size
  bool repeats = true;        // repeat the previous tile
  bool cacheRefs = true;      // tiles the client holds in tile cache 1
  bool palettes = true;       // tiles of up to 16 colours by index
  bool paletteOrders = false;  // new palettes as palette orders instead of tile commands
  bool paletteCache = true;   // palettes the client holds in its palette cache
  JpegTiles jpeg = JpegTiles::kNone;
  int jpegQuality = 95;
  bool alignContainers = true;  // the client's alignment flag
  bool sequence = false;      // number the packets with sequence controls
  bool flush = false;         // end with a flush control
  bool lz4 = false;           // send every packet compressed (type 11)
  size_t lz4TailBytes = 0;
  size_t packetBytes = 65536;  // a packet is closed once it holds this many bytes
};

class DisplayEncoder {
 public:
  DisplayEncoder();

  // The packets that paint the image at the top left of the display.
  std::vector<Packet> Paint(const RgbImage& image, const PaintOptions& options);

  // The model of the client.
  int BytesPerPixel() const { return bytesPerPixel_; }
  uint32_t Cache1Index() const { return cache1_.index; }
  uint32_t Cache2Index() const { return cache2_.index; }
  uint32_t PaletteCacheIndex() const { return paletteCache_.index; }
  // The slots of tile cache 1 whose bytes the encoder knows, with the
  // surface bytes of their tiles, in slot order.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Cache1Contents() const;

  // Commands as the stream spells them, for tests that build packets.
  static Packet ModeOrder(int width, int height, int depth, uint32_t cacheBytes = 0);
  static Packet Order(uint8_t type, uint8_t flags, const std::vector<uint8_t>& body);

 private:
  struct Mirror {
    uint32_t slotBytes = 0;
    uint32_t slotCount = 0;
    uint32_t index = 0;
    std::unordered_map<uint32_t, std::string> contents;  // slot -> known bytes
    std::unordered_map<std::string, uint32_t> where;     // bytes -> slot
    void Reset(uint64_t total, uint32_t slotBytes);
    uint32_t Take();
    void Store(uint32_t slot, const std::string& bytes);
    bool Find(const std::string& bytes, uint32_t* slot) const;
  };
  struct Run {
    enum Kind { kNone, kRepeat, kCache } kind = kNone;
    int count = 0;
    uint32_t firstSlot = 0;
    bool prefixColumn = false;
    bool prefixRow = false;
    int column = 0;
    int row = 0;
  };
  struct PendingTile {
    int column;
    int row;
    std::string bytes;
  };
  class Session;

  void SetMode(int width, int height, int depth, uint32_t cacheBytes);

  int bytesPerPixel_ = 2;
  int width_ = 0;
  int height_ = 0;
  uint64_t cache1Total_ = 0x0C000000;
  Mirror cache1_;
  Mirror cache2_;
  Mirror paletteCache_;
  // The client's drawing position and origin, in pixels.
  int64_t posX_ = 0, posY_ = 0, originX_ = 0, originY_ = 0;
  std::string currentTile_;         // the client's current tile (surface bytes)
  std::vector<std::string> kept_;   // the client's kept palette (surface bytes)
  uint32_t sequence_ = 0;
  bool sequenceStarted_ = false;
};

}  // namespace testhost
