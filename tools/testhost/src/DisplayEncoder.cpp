#include "testhost/DisplayEncoder.h"

#include <lz4.h>
#include <turbojpeg.h>

#include <QImage>
#include <QString>
#include <algorithm>
#include <cstring>

#include "testhost/Wire.h"

namespace testhost {

namespace {

constexpr int kTile = 8;
constexpr uint64_t kDefaultCache = 0x0C000000;
constexpr uint32_t kPaletteCacheBytes = 204800;
constexpr uint32_t kPaletteSlotBytes = 50;
constexpr int kMaxColumn = 255;

// Command words.
constexpr uint16_t kTileCommand = 0x8000;
constexpr uint16_t kKindPalette = 0x0000;
constexpr uint16_t kKindKeptPalette = 0x1000;
constexpr uint16_t kKindRepeat = 0x2000;
constexpr uint16_t kKindCacheRun = 0x3000;
constexpr uint16_t kKindCacheRefs = 0x4000;
constexpr uint16_t kKindWidePalette = 0x5000;
constexpr uint16_t kKindCachedPalette = 0x6000;
constexpr uint16_t kCachedPaletteSlot = 0x0800;
constexpr uint16_t kColumnByte = 0x10;
constexpr uint16_t kRowByte = 0x20;

uint16_t GroupWord(int group, int sub) {
  return uint16_t(0xF000 | (group & 0xF) << 6 | (group & 0x20) << 6 | (sub & 0xF));
}

constexpr uint8_t kOrderRawTile = 4;
constexpr uint8_t kOrderPaletteTile = 5;
constexpr uint8_t kOrderMode = 9;

enum ContainerRecord : uint8_t { kRecordDecode = 1, kRecordKeep = 5, kRecordOrigin = 6 };
constexpr uint8_t kCodecBgrTiles = 9;

int IndexWidth(int colours) {
  if (colours <= 1) return 0;
  if (colours == 2) return 1;
  if (colours <= 4) return 2;
  if (colours <= 8) return 3;
  return 4;
}

// 64 palette indices packed at the given width, least significant first.
std::vector<uint8_t> PackIndices(const std::vector<int>& indices, int width) {
  std::vector<uint8_t> out;
  if (width == 0) return out;
  if (width == 3) {
    for (int group = 0; group < 8; ++group) {
      uint32_t bits = 0;
      for (int i = 0; i < 8; ++i) bits |= uint32_t(indices[group * 8 + i]) << (3 * i);
      wire::Append(out, bits, 3);
    }
    return out;
  }
  const int perByte = 8 / width;
  for (int i = 0; i < 64; i += perByte) {
    uint8_t byte = 0;
    for (int j = 0; j < perByte; ++j) byte |= uint8_t(indices[i + j] << (width * j));
    out.push_back(byte);
  }
  return out;
}

uint8_t Clamp(int v) { return uint8_t(std::min(255, std::max(0, v))); }

// Video-range BT.601 of a 3-byte surface pixel whose first byte the client
// computes as blue and whose third as red.
void ToYuv(const uint8_t* p, int* y, int* u, int* v) {
  const int b = p[0], g = p[1], r = p[2];
  *y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
  *u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
  *v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
}

// A 16-pixel-wide 4:2:0 JPEG from its three planes.
std::vector<uint8_t> CompressPlanes(const std::vector<uint8_t>& y, const std::vector<uint8_t>& cb,
                                    const std::vector<uint8_t>& cr, int height, int quality) {
  std::vector<uint8_t> out;
  tjhandle handle = tjInitCompress();
  if (!handle) return out;
  const unsigned char* planes[3] = {y.data(), cb.data(), cr.data()};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompressFromYUVPlanes(handle, planes, 16, nullptr, height, TJSAMP_420, &jpeg, &size,
                              quality, 0) == 0)
    out.assign(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

// Two display tiles per 16x16 macroblock, carried as its planes.
std::vector<uint8_t> FrameJpeg(const std::vector<std::string>& tiles, int quality) {
  const int blocks = int((tiles.size() + 1) / 2);
  const int height = blocks * 16;
  std::vector<uint8_t> y(size_t(16) * height), cb(size_t(8) * height / 2), cr(cb.size());
  for (int m = 0; m < blocks; ++m) {
    const std::string empty(192, '\0');
    const std::string& first = tiles[2 * m];
    const std::string& second = size_t(2 * m + 1) < tiles.size() ? tiles[2 * m + 1] : empty;
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&first[(r * 8 + c) * 3]);
        const uint8_t* q = reinterpret_cast<const uint8_t*>(&second[(r * 8 + c) * 3]);
        uint8_t* luma = &y[size_t(16 * m) * 16];
        luma[(8 + r) * 16 + c] = p[0];
        luma[r * 16 + 8 + c] = p[1];
        luma[r * 16 + c] = p[2];
        cr[size_t(8 * m + r) * 8 + c] = q[0];
        cb[size_t(8 * m + r) * 8 + c] = q[1];
        luma[(8 + r) * 16 + 8 + c] = q[2];
      }
  }
  return CompressPlanes(y, cb, cr, height, quality);
}

// Tiles side by side in pairs, 8 rows a pair, as colour pictures.
std::vector<uint8_t> TileJpeg(const std::vector<std::string>& tiles, int quality) {
  const int bands = int((tiles.size() + 1) / 2);
  const int height = (bands * 8 + 15) / 16 * 16;
  std::vector<int> ys(size_t(16) * height, 16), us(ys.size(), 128), vs(ys.size(), 128);
  for (size_t t = 0; t < tiles.size(); ++t) {
    const int x0 = int(t % 2) * 8, y0 = int(t / 2) * 8;
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c) {
        const size_t at = size_t(y0 + r) * 16 + x0 + c;
        ToYuv(reinterpret_cast<const uint8_t*>(&tiles[t][(r * 8 + c) * 3]), &ys[at], &us[at], &vs[at]);
      }
  }
  std::vector<uint8_t> y(ys.size()), cb(size_t(8) * height / 2), cr(cb.size());
  for (size_t i = 0; i < ys.size(); ++i) y[i] = Clamp(ys[i]);
  for (int r = 0; r < height / 2; ++r)
    for (int c = 0; c < 8; ++c) {
      int su = 0, sv = 0;
      for (int k = 0; k < 4; ++k) {
        const size_t at = size_t(2 * r + k / 2) * 16 + 2 * c + k % 2;
        su += us[at];
        sv += vs[at];
      }
      cb[size_t(r) * 8 + c] = Clamp((su + 2) / 4);
      cr[size_t(r) * 8 + c] = Clamp((sv + 2) / 4);
    }
  return CompressPlanes(y, cb, cr, height, quality);
}

}  // namespace

bool LoadImageFile(const std::string& path, RgbImage* image, std::string* error) {
  QImage loaded(QString::fromStdString(path));
  if (loaded.isNull()) {
    if (error) *error = "cannot read an image from " + path;
    return false;
  }
  const QImage rgb = loaded.convertToFormat(QImage::Format_RGB888);
  image->width = rgb.width();
  image->height = rgb.height();
  image->rgb.resize(size_t(rgb.width()) * rgb.height() * 3);
  for (int y = 0; y < rgb.height(); ++y)
    std::memcpy(&image->rgb[size_t(y) * rgb.width() * 3], rgb.constScanLine(y), size_t(rgb.width()) * 3);
  return true;
}

std::vector<uint8_t> SurfaceBytes(const RgbImage& image, int depth) {
  std::vector<uint8_t> out;
  const size_t pixels = size_t(image.width) * image.height;
  if ((depth != 16 && depth != 24) || image.rgb.size() < pixels * 3) return out;
  if (depth == 24) return std::vector<uint8_t>(image.rgb.begin(), image.rgb.begin() + pixels * 3);
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = &image.rgb[i * 3];
    wire::Append(out, uint32_t((p[0] >> 3) << 11 | (p[1] >> 2) << 5 | p[2] >> 3), 2);
  }
  return out;
}

Packet WrapLz4(const Packet& packet, size_t tailBytes) {
  const size_t tail = std::min(tailBytes, packet.size());
  const int plain = int(packet.size() - tail);
  std::vector<char> block(size_t(LZ4_compressBound(plain)) + 1);
  const int compressed = LZ4_compress_default(reinterpret_cast<const char*>(packet.data()),
                                              block.data(), plain, int(block.size()));
  if (compressed <= 0 || compressed > plain) return packet;
  Packet out;
  wire::Append(out, 11, 4);
  wire::Append(out, uint32_t(compressed), 4);
  wire::Append(out, uint32_t(plain), 4);
  wire::Append(out, uint32_t(tail), 4);
  wire::AppendBytes(out, block.data(), size_t(compressed));
  wire::AppendBytes(out, packet.data() + plain, tail);
  return out;
}

Packet DisplayEncoder::Order(uint8_t type, uint8_t flags, const std::vector<uint8_t>& body) {
  Packet out;
  wire::Append(out, body.size() + 2, 2);
  out.push_back(flags);
  out.push_back(type);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Packet DisplayEncoder::ModeOrder(int width, int height, int depth, uint32_t cacheBytes) {
  std::vector<uint8_t> body;
  wire::Append(body, uint32_t(width), 2);
  wire::Append(body, uint32_t(height), 2);
  wire::Append(body, uint32_t(depth), 2);
  if (cacheBytes) {
    wire::Append(body, cacheBytes, 4);
    wire::Append(body, 0, 2);  // no limits on the size
    wire::Append(body, 0, 2);
    body.resize(26, 0);        // an extended order is 28 bytes after its word
  }
  return Order(kOrderMode, 0, body);
}

// ---- the model of the client's caches ----

void DisplayEncoder::Mirror::Reset(uint64_t total, uint32_t bytes) {
  slotBytes = bytes;
  slotCount = bytes ? uint32_t(total / bytes) : 0;
  index = 0;
  contents.clear();
  where.clear();
}

uint32_t DisplayEncoder::Mirror::Take() {
  const uint32_t slot = index;
  if (slotCount && ++index >= slotCount) index = 0;
  auto it = contents.find(slot);
  if (it != contents.end()) {
    auto back = where.find(it->second);
    if (back != where.end() && back->second == slot) where.erase(back);
    contents.erase(it);
  }
  return slot;
}

void DisplayEncoder::Mirror::Store(uint32_t slot, const std::string& bytes) {
  contents[slot] = bytes;
  where[bytes] = slot;
}

bool DisplayEncoder::Mirror::Find(const std::string& bytes, uint32_t* slot) const {
  auto it = where.find(bytes);
  if (it == where.end()) return false;
  *slot = it->second;
  return true;
}

DisplayEncoder::DisplayEncoder() { SetMode(0, 0, 16, 0); }

void DisplayEncoder::SetMode(int width, int height, int depth, uint32_t cacheBytes) {
  bytesPerPixel_ = depth / 8;
  width_ = width;
  height_ = height;
  if (cacheBytes) cache1Total_ = std::min<uint64_t>(cacheBytes, kDefaultCache);
  const uint32_t tileBytes = uint32_t(kTile * kTile * bytesPerPixel_);
  cache1_.Reset(cache1Total_, tileBytes);
  cache2_.Reset(cache1Total_ / 4, tileBytes);
  paletteCache_.Reset(kPaletteCacheBytes, kPaletteSlotBytes);
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> DisplayEncoder::Cache1Contents() const {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  for (const auto& entry : cache1_.contents)
    out.emplace_back(entry.first, std::vector<uint8_t>(entry.second.begin(), entry.second.end()));
  std::sort(out.begin(), out.end());
  return out;
}

// ---- one painting ----

class DisplayEncoder::Session {
 public:
  Session(DisplayEncoder& model, const PaintOptions& options) : m_(model), o_(options) {}

  std::vector<Packet> Paint(const RgbImage& image);

 private:
  int B() const { return m_.bytesPerPixel_; }
  std::string WireColour(const std::string& colour) const {
    return B() == 3 ? std::string(colour.rbegin(), colour.rend()) : colour;
  }
  void Emit(const std::vector<uint8_t>& bytes) { packet_.insert(packet_.end(), bytes.begin(), bytes.end()); }
  void Word(uint16_t word) { wire::Append(packet_, word, 2); }

  void StartPacket();
  void ClosePacket();
  void Tile(int x, int y, const std::string& bytes, bool whole);
  // The selector bits and bytes that put the client's next tile at (x, y),
  // with the client's position moved as the command will move it.
  uint16_t Prefix(int x, int y, std::vector<uint8_t>* bytes);
  void MakeReachable(int x, int y);
  void FlushRun();
  bool Adjacent(int x, int y) const { return y == runY_ && x == runX_ + kTile * run_.count; }
  void Record(const std::string& bytes, bool whole, bool recorded);
  void PaletteTile(int x, int y, const std::string& bytes, bool whole,
                   const std::vector<std::string>& colours, const std::vector<int>& indices);
  void RawTile(int x, int y, const std::string& bytes, bool whole);
  void FlushContainer();
  void FrameTile(int x, int y, const std::string& bytes);

  DisplayEncoder& m_;
  const PaintOptions& o_;
  std::vector<Packet> packets_;
  Packet packet_;
  size_t frameWordAt_ = 0;
  std::vector<std::string> frameTiles_;
  std::vector<PendingTile> containerTiles_;
  Run run_;
  int runX_ = 0, runY_ = 0;
};

std::vector<Packet> DisplayEncoder::Paint(const RgbImage& image, const PaintOptions& options) {
  return Session(*this, options).Paint(image);
}

std::vector<Packet> DisplayEncoder::Session::Paint(const RgbImage& image) {
  const int depth = o_.modeOrder ? o_.depth : B() * 8;
  const std::vector<uint8_t> surface = SurfaceBytes(image, depth);
  if (surface.empty()) return {};
  StartPacket();
  if (o_.modeOrder) {
    Emit(ModeOrder(image.width, image.height, depth, o_.modeCacheBytes));
    m_.SetMode(image.width, image.height, depth, o_.modeCacheBytes);
  }
  const int b = B();
  for (int ty = 0; ty * kTile < image.height; ++ty) {
    for (int tx = 0; tx * kTile < image.width; ++tx) {
      const int x = tx * kTile, y = ty * kTile;
      std::string tile(size_t(kTile) * kTile * b, '\0');
      for (int r = 0; r < kTile && y + r < image.height; ++r) {
        const int columns = std::min(kTile, image.width - x);
        std::memcpy(&tile[size_t(r) * kTile * b], &surface[(size_t(y + r) * image.width + x) * b],
                    size_t(columns) * b);
      }
      const bool whole = x + kTile <= image.width && y + kTile <= image.height;
      Tile(x, y, tile, whole);
      if (packet_.size() >= o_.packetBytes) {
        ClosePacket();
        StartPacket();
      }
    }
  }
  FlushRun();
  if (o_.flush) Word(GroupWord(4, 3));
  ClosePacket();
  return std::move(packets_);
}

void DisplayEncoder::Session::StartPacket() {
  packet_.clear();
  frameTiles_.clear();
  if (o_.sequence) {
    if (!m_.sequenceStarted_) m_.sequence_ = 0;
    m_.sequenceStarted_ = true;
    Word(GroupWord(4, 4));
    wire::Append(packet_, m_.sequence_++, 4);
  }
  if (o_.jpeg == JpegTiles::kFrame) {
    // Room for the frame reference, which must precede the frame's tiles;
    // its length is known when the packet closes (0: no frame).
    frameWordAt_ = packet_.size();
    Word(GroupWord(5, 0));
    wire::Append(packet_, 0, 3);
  }
}

void DisplayEncoder::Session::ClosePacket() {
  FlushRun();
  FlushContainer();
  if (!frameTiles_.empty()) {
    const std::vector<uint8_t> jpeg = FrameJpeg(frameTiles_, o_.jpegQuality);
    for (int i = 0; i < 3; ++i) packet_[frameWordAt_ + 2 + i] = uint8_t(jpeg.size() >> (8 * i));
    Emit(jpeg);
  }
  if (packet_.empty()) return;
  packets_.push_back(o_.lz4 ? WrapLz4(packet_, o_.lz4TailBytes) : packet_);
}

void DisplayEncoder::Session::MakeReachable(int x, int y) {
  const int64_t column = (x - m_.originX_) / kTile, row = (y - m_.originY_) / kTile;
  if (x >= m_.originX_ && y >= m_.originY_ && column <= kMaxColumn && row <= kMaxColumn) return;
  // Positions reach 255 tiles from the origin; beyond, the origin moves.
  m_.originX_ = x - x % 1024;
  m_.originY_ = y - y % 1024;
  Word(GroupWord(4, 5));
  wire::Append(packet_, uint64_t(m_.originX_), 2);
  wire::Append(packet_, uint64_t(m_.originY_), 2);
  wire::Append(packet_, 0, 4);
}

uint16_t DisplayEncoder::Session::Prefix(int x, int y, std::vector<uint8_t>* bytes) {
  MakeReachable(x, y);
  uint16_t selector = 0;
  const int64_t wantX = x - m_.originX_, wantY = y - m_.originY_;
  if (m_.posX_ + kTile != wantX) {
    selector |= kColumnByte;
    bytes->push_back(uint8_t(wantX / kTile));
  }
  if (m_.posY_ != wantY) {
    selector |= kRowByte;
    bytes->push_back(uint8_t(wantY / kTile));
  }
  m_.posX_ = wantX;
  m_.posY_ = wantY;
  return selector;
}

void DisplayEncoder::Session::Record(const std::string& bytes, bool whole, bool recorded) {
  if (!recorded) return;
  const uint32_t slot = m_.cache1_.Take();
  // The client keeps only whole tiles of 2- and 3-byte pixels.
  if (whole && (B() == 2 || B() == 3)) m_.cache1_.Store(slot, bytes);
}

void DisplayEncoder::Session::Tile(int x, int y, const std::string& bytes, bool whole) {
  if (o_.repeats && bytes == m_.currentTile_) {
    if (run_.kind == Run::kRepeat && Adjacent(x, y) && run_.count < 255) {
      ++run_.count;
      return;
    }
    FlushRun();
    run_ = Run{Run::kRepeat, 1};
    runX_ = x;
    runY_ = y;
    return;
  }
  uint32_t slot = 0;
  if (o_.cacheRefs && m_.cache1_.Find(bytes, &slot)) {
    const int limit = run_.firstSlot <= 0xFFFF ? 16 : 8;
    if (run_.kind == Run::kCache && Adjacent(x, y) && run_.count < limit &&
        slot == run_.firstSlot + uint32_t(run_.count)) {
      ++run_.count;
    } else {
      FlushRun();
      run_ = Run{Run::kCache, 1, slot};
      runX_ = x;
      runY_ = y;
    }
    m_.currentTile_ = bytes;
    return;
  }
  FlushRun();
  std::vector<std::string> colours;
  std::vector<int> indices;
  for (size_t i = 0; i < bytes.size(); i += size_t(B())) {
    const std::string colour = bytes.substr(i, size_t(B()));
    auto it = std::find(colours.begin(), colours.end(), colour);
    indices.push_back(int(it - colours.begin()));
    if (it == colours.end()) colours.push_back(colour);
  }
  if (o_.palettes && colours.size() <= 16) return PaletteTile(x, y, bytes, whole, colours, indices);
  if (B() == 3 && o_.jpeg == JpegTiles::kContainer) {
    containerTiles_.push_back({x, y, bytes});
    if (containerTiles_.size() >= 64) FlushContainer();
    return;
  }
  if (B() == 3 && o_.jpeg == JpegTiles::kFrame) return FrameTile(x, y, bytes);
  RawTile(x, y, bytes, whole);
}

void DisplayEncoder::Session::FlushRun() {
  if (run_.kind == Run::kNone) return;
  std::vector<uint8_t> prefix;
  const uint16_t selector = Prefix(runX_, runY_, &prefix);
  if (run_.kind == Run::kRepeat) {
    // The prefix names the first repeated tile; the count runs from there.
    Word(uint16_t(kTileCommand | kKindRepeat | (prefix.size() + 1) << 6 | selector));
    Emit(prefix);
    packet_.push_back(uint8_t(run_.count));
  } else if (run_.firstSlot <= 0xFFFF) {
    Word(uint16_t(kTileCommand | kKindCacheRun | (prefix.size() + 2) << 6 | selector |
                  (run_.count - 1)));
    Emit(prefix);
    wire::Append(packet_, run_.firstSlot, 2);
  } else {
    Word(uint16_t(kTileCommand | kKindCacheRefs | ((run_.firstSlot >> 16) & 63) << 6 | selector |
                  (run_.count - 1)));
    Emit(prefix);
    wire::Append(packet_, run_.firstSlot & 0xFFFF, 2);
  }
  m_.posX_ += int64_t(kTile) * (run_.count - 1);
  run_ = Run();
}

void DisplayEncoder::Session::PaletteTile(int x, int y, const std::string& bytes, bool whole,
                                          const std::vector<std::string>& colours,
                                          const std::vector<int>& indices) {
  std::vector<uint8_t> prefix;
  const uint16_t selector = Prefix(x, y, &prefix);
  bool recorded = true;
  // Colours the client kept from the last palette it loaded.
  std::vector<int> kept;
  int keptCount = 0;
  for (const std::string& colour : colours) {
    auto it = std::find(m_.kept_.begin(), m_.kept_.end(), colour);
    kept.push_back(it == m_.kept_.end() ? -1 : int(it - m_.kept_.begin()));
    keptCount = std::max(keptCount, kept.back() + 1);
  }
  std::string wireColours;
  for (const std::string& colour : colours) wireColours += WireColour(colour);
  const int count = int(colours.size());
  const int width = IndexWidth(count);
  const std::vector<uint8_t> packed = PackIndices(indices, width);
  uint32_t slot = 0;
  if (std::find(kept.begin(), kept.end(), -1) == kept.end()) {
    std::vector<int> mapped;
    for (int index : indices) mapped.push_back(kept[size_t(index)]);
    const std::vector<uint8_t> keptIndices = PackIndices(mapped, IndexWidth(keptCount));
    Word(uint16_t(kTileCommand | kKindKeptPalette | (prefix.size() + keptIndices.size()) << 6 |
                  selector | (keptCount - 1)));
    Emit(prefix);
    Emit(keptIndices);
  } else if (o_.paletteCache && m_.paletteCache_.Find(wireColours, &slot)) {
    Word(uint16_t(kTileCommand | kKindCachedPalette | kCachedPaletteSlot | (slot >> 8) << 6 |
                  selector | width));
    Emit(prefix);
    packet_.push_back(uint8_t(slot));
    Emit(packed);
    m_.kept_ = colours;
  } else {
    const size_t length = prefix.size() + wireColours.size() + packed.size();
    if (o_.paletteOrders) {
      std::vector<uint8_t> body(prefix);
      wire::AppendBytes(body, wireColours.data(), wireColours.size());
      body.insert(body.end(), packed.begin(), packed.end());
      Emit(Order(kOrderPaletteTile, uint8_t(selector | (count - 1)), body));
      recorded = B() > 1;
    } else {
      if (length <= 63)
        Word(uint16_t(kTileCommand | kKindPalette | length << 6 | selector | (count - 1)));
      else
        Word(uint16_t(kTileCommand | kKindWidePalette | (count - 1) << 6 | selector | width));
      Emit(prefix);
      wire::AppendBytes(packet_, wireColours.data(), wireColours.size());
      Emit(packed);
    }
    if (wireColours.size() >= 4 && wireColours.size() <= kPaletteSlotBytes - 2)
      m_.paletteCache_.Store(m_.paletteCache_.Take(), wireColours);
    m_.kept_ = colours;
  }
  Record(bytes, whole, recorded);
  m_.currentTile_ = bytes;
}

void DisplayEncoder::Session::RawTile(int x, int y, const std::string& bytes, bool whole) {
  std::vector<uint8_t> body;
  const uint16_t selector = Prefix(x, y, &body);
  for (size_t i = 0; i < bytes.size(); i += size_t(B())) {
    const std::string colour = WireColour(bytes.substr(i, size_t(B())));
    wire::AppendBytes(body, colour.data(), colour.size());
  }
  Emit(Order(kOrderRawTile, uint8_t(selector), body));
  Record(bytes, whole, B() == 2 || B() == 3);
  m_.currentTile_ = bytes;
}

void DisplayEncoder::Session::FlushContainer() {
  if (containerTiles_.empty()) return;
  std::vector<std::string> tiles;
  for (const PendingTile& t : containerTiles_) tiles.push_back(t.bytes);
  const std::vector<uint8_t> jpeg = TileJpeg(tiles, o_.jpegQuality);
  std::vector<uint8_t> records = {kRecordDecode, kCodecBgrTiles, 0, 0};
  for (const PendingTile& t : containerTiles_) {
    int64_t column = (t.column - m_.originX_) / kTile, row = (t.row - m_.originY_) / kTile;
    if (t.column < m_.originX_ || t.row < m_.originY_ || column > kMaxColumn || row > kMaxColumn) {
      m_.originX_ = t.column - t.column % 1024;
      m_.originY_ = t.row - t.row % 1024;
      const uint32_t v = uint32_t(m_.originX_) | uint32_t(m_.originY_) << 12;
      records.insert(records.end(), {kRecordOrigin, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)});
      column = (t.column - m_.originX_) / kTile;
      row = (t.row - m_.originY_) / kTile;
    }
    records.insert(records.end(), {kRecordKeep, 1, uint8_t(column), uint8_t(row)});
    m_.cache2_.Take();
  }
  containerTiles_.clear();
  const uint32_t length = uint32_t(4 + jpeg.size() + records.size());
  Word(GroupWord(3, 1));
  // The length word lies on a multiple of four from the packet start.
  if (o_.alignContainers)
    while (packet_.size() % 4) packet_.push_back(0);
  wire::Append(packet_, length, 4);
  wire::Append(packet_, jpeg.size(), 4);
  Emit(jpeg);
  Emit(records);
}

void DisplayEncoder::Session::FrameTile(int x, int y, const std::string& bytes) {
  std::vector<uint8_t> prefix;
  const uint16_t selector = Prefix(x, y, &prefix);
  Word(uint16_t(GroupWord(6, 0) | selector));
  Emit(prefix);
  frameTiles_.push_back(bytes);
  m_.cache2_.Take();
}

}  // namespace testhost
