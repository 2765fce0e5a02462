#include "qt/QtDoubleBufferSurfaceKeeper.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "display/ReversedPixels.h"
#include "display/SurfaceClip.h"
#include "display/TileTarget.h"
#include "qt/SurfaceBitmap.h"

namespace {

constexpr int kTile = 8;
// Rows below the display that no operation draws.
constexpr int kSpareRows = 6;

// A 2-byte pixel matches the key's low 16 bits, a wider one its low 24.
bool MatchesKey(const BYTE* p, int bytesPerPixel, int key) {
  const uint32_t k = uint32_t(key);
  if (bytesPerPixel == 2) return uint32_t(p[0] | p[1] << 8) == (k & 0xFFFF);
  return uint32_t(p[0] | p[1] << 8 | p[2] << 16) == (k & 0xFFFFFF);
}

struct KeyRun {
  int first = -1;
  int last = -1;
  bool Empty() const { return first < 0; }
};

// The stretch of a row between key pixels, found by halving: a range whose
// end pixels both match is a run as a whole.
KeyRun FindKeyRun(const BYTE* row, int bytesPerPixel, int key, int first, int last) {
  if (MatchesKey(row + first * bytesPerPixel, bytesPerPixel, key) &&
      MatchesKey(row + last * bytesPerPixel, bytesPerPixel, key))
    return {first, last};
  const int count = last - first + 1;
  if (count <= 2) return {};
  const int lowerCount = count / 2;
  const KeyRun lower = FindKeyRun(row, bytesPerPixel, key, first, first + lowerCount - 1);
  const KeyRun upper = FindKeyRun(row, bytesPerPixel, key, first + lowerCount, last);
  if (lower.Empty()) return upper;
  if (upper.Empty()) return lower;
  return {lower.first, upper.last};
}

bool EmptyRect(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

// The three colour bytes of a source pixel, as they come or reversed.
void ColourBytes(const BYTE* s, bool reversed, BYTE out[3]) {
  out[0] = reversed ? s[2] : s[0];
  out[1] = s[1];
  out[2] = reversed ? s[0] : s[2];
}

// The key as 16 pixels of 3 bytes, and which of 16 pixels of a row hold
// it: bit 3 * i of the mask stands for pixel i.
constexpr int kBlockPixels = 16;
constexpr size_t kBlockBytes = kBlockPixels * 3;
constexpr uint64_t kWholeBlock = 0x249249249249ull;

struct KeyBlock {
  explicit KeyBlock(int key) {
    for (size_t i = 0; i < kBlockBytes; ++i) bytes[i] = BYTE(key >> (8 * (i % 3)));
#ifdef __SSE2__
    for (int i = 0; i < 3; ++i)
      lanes[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * i));
#endif
  }

  uint64_t Matches(const BYTE* p) const {
    uint64_t same = 0;
#ifdef __SSE2__
    for (int i = 0; i < 3; ++i) {
      const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      same |= uint64_t(uint16_t(_mm_movemask_epi8(_mm_cmpeq_epi8(row, lanes[i])))) << (16 * i);
    }
#else
    for (size_t i = 0; i < kBlockBytes; ++i) same |= uint64_t(p[i] == bytes[i]) << i;
#endif
    return same & (same >> 1) & (same >> 2) & kWholeBlock;
  }

  // The common case, all 16 pixels the key, in one test.
  bool AllMatch(const BYTE* p) const {
#ifdef __SSE2__
    __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lanes[0]);
    for (int i = 1; i < 3; ++i)
      same = _mm_and_si128(same, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)),
                                                lanes[i]));
    return _mm_movemask_epi8(same) == 0xFFFF;
#else
    return std::memcmp(p, bytes, kBlockBytes) == 0;
#endif
  }

  BYTE bytes[kBlockBytes];
#ifdef __SSE2__
  __m128i lanes[3];
#endif
};

// Copies the source pixels of one row wherever the second buffer's row
// holds the key, a run of matching pixels at a time (3-byte pixels); the
// key row is read 16 pixels at a time.
void CopyKeyRuns(const BYTE* source, const BYTE* keyRow, BYTE* out, int width, const KeyBlock& k) {
  int runStart = -1;
  auto extend = [&](int c) {
    if (runStart < 0) runStart = c;
  };
  auto end = [&](int c) {
    if (runStart < 0) return;
    std::memcpy(out + size_t(runStart) * 3, source + size_t(runStart) * 3,
                size_t(c - runStart) * 3);
    runStart = -1;
  };
  int c = 0;
  for (; c + kBlockPixels <= width; c += kBlockPixels) {
    if (k.AllMatch(keyRow + size_t(c) * 3)) {
      extend(c);
      continue;
    }
    const uint64_t matches = k.Matches(keyRow + size_t(c) * 3);
    if (matches == kWholeBlock) {
      extend(c);
    } else if (matches == 0) {
      end(c);
    } else {
      for (int i = 0; i < kBlockPixels; ++i) {
        if ((matches >> (3 * i)) & 1)
          extend(c + i);
        else
          end(c + i);
      }
    }
  }
  for (; c < width; ++c) {
    if (std::memcmp(keyRow + size_t(c) * 3, k.bytes, 3) == 0)
      extend(c);
    else
      end(c);
  }
  end(width);
}

}  // namespace

CQtDoubleBufferSurfaceKeeper::CQtDoubleBufferSurfaceKeeper(int displayIndex)
    : CAbstractSurfaceKeeper(true), displayIndex_(displayIndex) {}

CQtDoubleBufferSurfaceKeeper::~CQtDoubleBufferSurfaceKeeper() = default;

namespace {

// Three bits of red, three of green, two of blue: every index paints as a
// colour near what a 256-colour desktop would show until the server's own
// palette arrives.
QVector<QRgb> DefaultPalette() {
  QVector<QRgb> table(256);
  for (int i = 0; i < 256; ++i)
    table[i] = qRgb(((i >> 5) & 7) * 255 / 7, ((i >> 2) & 7) * 255 / 7, (i & 3) * 255 / 3);
  return table;
}

}  // namespace

void CQtDoubleBufferSurfaceKeeper::SetPalette(const BYTE* entries, int count) {
  if (!entries || count <= 0) return;
  if (palette_.size() != 256) palette_ = DefaultPalette();
  for (int i = 0; i < count && i < 256; ++i)
    palette_[i] = qRgb(entries[4 * i + 2], entries[4 * i + 1], entries[4 * i]);
  // The images are not shared here (painters copy them only under the
  // frame-buffer lock, which the caller holds), so the table changes in
  // place and the pixel views stay valid.
  if (imageA_.format() == QImage::Format_Indexed8) imageA_.setColorTable(palette_);
  if (imageB_.format() == QImage::Format_Indexed8) imageB_.setColorTable(palette_);
}

QImage::Format CQtDoubleBufferSurfaceKeeper::FormatFor(int storageBits) {
  switch (storageBits) {
    case 8: return QImage::Format_Indexed8;
    case 16: return QImage::Format_RGB16;
    case 24: return QImage::Format_RGB888;
    case 32: return QImage::Format_RGBA8888;
    default: return QImage::Format_Invalid;
  }
}

int CQtDoubleBufferSurfaceKeeper::Create(int width, int height, int depth, int storageBits) {
  const int storage = CheckedStorageBits(width, height, depth, storageBits);
  const QImage::Format format = FormatFor(storage);
  if (format == QImage::Format_Invalid) return 0;
  const int rounded = RoundedWidth(width, 16);
  const int bytesPerPixel = storage / 8;

  const int rows = height + kSpareRows;
  const size_t bytesPerLine = size_t(rounded) * size_t(bytesPerPixel);  // a multiple of 16
  const size_t bytes = bytesPerLine * size_t(rows);

  // Both images and both views are made ready before anything is replaced,
  // so a refused call leaves painters with the previous, intact surface;
  // the kept pixels are cleared only once nothing can fail.
  std::unique_ptr<uchar[]> newA, newB;
  uchar* pixelsA = pixelsA_.get();
  uchar* pixelsB = pixelsB_.get();
  if (bytes > pixelBytes_) {
    newA.reset(new (std::nothrow) uchar[bytes]);
    newB.reset(new (std::nothrow) uchar[bytes]);
    if (!newA || !newB) return 0;
    pixelsA = newA.get();
    pixelsB = newB.get();
  }
  QImage a(pixelsA, rounded, rows, int(bytesPerLine), format);
  QImage b(pixelsB, rounded, rows, int(bytesPerLine), format);
  if (a.isNull() || b.isNull()) return 0;
  if (format == QImage::Format_Indexed8) {
    // An indexed image without a colour table cannot be painted.
    if (palette_.size() != 256) palette_ = DefaultPalette();
    a.setColorTable(palette_);
    b.setColorTable(palette_);
  }
  SurfaceBufferView::Pending pendingA, pendingB;
  if (!view_.Prepare(pixelsA, a.width(), a.height(), bytesPerPixel, &pendingA, true) ||
      !viewB_.Prepare(pixelsB, b.width(), b.height(), bytesPerPixel, &pendingB, true))
    return 0;
  // Zero bytes are colour 0 in every format.
  std::memset(pixelsA, 0, bytes);
  std::memset(pixelsB, 0, bytes);
  view_.Apply(&pendingA);
  viewB_.Apply(&pendingB);
  imageA_ = std::move(a);
  imageB_ = std::move(b);
  if (newA) {
    // The previous images, which used the old pixels, are gone.
    pixelsA_ = std::move(newA);
    pixelsB_ = std::move(newB);
    pixelBytes_ = bytes;
  }
  SetGeometry(rounded, height, depth, storage);
  return 1;
}

bool CQtDoubleBufferSurfaceKeeper::InsideVideo(int x, int y) const {
  return x >= videoRect_.left && int64_t(x) + kTile <= videoRect_.right &&
         y >= videoRect_.top && int64_t(y) + kTile <= videoRect_.bottom;
}

void CQtDoubleBufferSurfaceKeeper::DrawTileAroundKey(const SurfacePlane& plane, int x, int y,
                                                     const BYTE* pixels) const {
  int rows = 0, rowBytes = 0;
  if (!plane.TileExtent(x, y, &rows, &rowBytes)) return;
  const int bytesPerPixel = plane.BytesPerPixel();
  const int fullRow = kTile * bytesPerPixel;
  if (rowBytes != fullRow || (bytesPerPixel != 2 && bytesPerPixel != 3)) {
    plane.DrawTile(x, y, pixels, nullptr);
    return;
  }
  for (int r = 0; r < rows; ++r) {
    const BYTE* row = pixels + r * fullRow;
    BYTE* out = plane.Pixel(x, y + r);
    const KeyRun run = FindKeyRun(row, bytesPerPixel, colourKey_, 0, kTile - 1);
    if (run.Empty()) {
      std::memcpy(out, row, size_t(fullRow));
      continue;
    }
    // The run keeps what is there: video drawn under the desktop's key.
    std::memcpy(out, row, size_t(run.first) * bytesPerPixel);
    const int after = (run.last + 1) * bytesPerPixel;
    std::memcpy(out + after, row + after, size_t(fullRow - after));
  }
  plane.MarkDrawn(x, y, kTile, kTile);
}

void CQtDoubleBufferSurfaceKeeper::DrawTile(int x, int y, const BYTE* pixels, BYTE* record) {
  if (!DrawsIntoB()) return CAbstractSurfaceKeeper::DrawTile(x, y, pixels, record);
  PlaneOf(viewB_).DrawTile(x, y, pixels, record);
  if (InsideVideo(x, y))
    DrawTileAroundKey(PlaneOf(view_), x, y, pixels);
  else
    PlaneOf(view_).DrawTile(x, y, pixels, nullptr);
}

bool CQtDoubleBufferSurfaceKeeper::GetTileTarget(TileTarget* target) {
  if (!CAbstractSurfaceKeeper::GetTileTarget(target)) return false;
  if (!DrawsIntoB()) return true;
  if (!viewB_.Target()) return false;
  // Image B takes every tile as it is; image A too, except around the key
  // inside the video.
  target->planes[1] = viewB_.Target();
  target->views[1] = &viewB_;
  target->planeCount = 2;
  target->keyed = true;
  target->video = videoRect_;
  return true;
}

void CQtDoubleBufferSurfaceKeeper::DrawTile16(int x, int y, const BYTE* pixels) {
  CAbstractSurfaceKeeper::DrawTile16(x, y, pixels);
  if (DrawsIntoB()) PlaneOf(viewB_).DrawTile16(x, y, pixels);
}

void CQtDoubleBufferSurfaceKeeper::FillTile(int x, int y, const BYTE* colour) {
  CAbstractSurfaceKeeper::FillTile(x, y, colour);
  if (DrawsIntoB()) PlaneOf(viewB_).FillTile(x, y, colour);
}

void CQtDoubleBufferSurfaceKeeper::CopyRect(int destX, int destY, int sourceX, int sourceY,
                                            int width, int height) {
  CAbstractSurfaceKeeper::CopyRect(destX, destY, sourceX, sourceY, width, height);
  if (DrawsIntoB()) PlaneOf(viewB_).CopyRect(destX, destY, sourceX, sourceY, width, height);
}

void CQtDoubleBufferSurfaceKeeper::MarkTile(int x, int y) {
  CAbstractSurfaceKeeper::MarkTile(x, y);
  if (DrawsIntoB()) PlaneOf(viewB_).MarkTile(x, y);
}

void CQtDoubleBufferSurfaceKeeper::BitBlt(int x, int y, int width, int height,
                                          int sourceBytesPerPixel, const BYTE* pixels) {
  if (singleBuffer_)
    return CAbstractSurfaceKeeper::BitBlt(x, y, width, height, sourceBytesPerPixel, pixels);
  const int bytesPerPixel = GetBitsPerPixel() / 8;
  if (bytesPerPixel == 2 || bytesPerPixel == 3) {
    const SourcePicture picture = Picture(width, height, sourceBytesPerPixel, pixels, width < 0);
    PlaneOf(view_).BitBlt(x, y, picture);
    if (DrawsIntoB()) PlaneOf(viewB_).BitBlt(x, y, picture);
  }
  CommitShadow();
}

void CQtDoubleBufferSurfaceKeeper::StretchPicture(const SourcePicture& source,
                                                  const RECT& destination) {
  if (singleBuffer_) return CAbstractSurfaceKeeper::StretchPicture(source, destination);
  const int bytesPerPixel = GetBitsPerPixel() / 8;
  if (source.bytesPerPixel != 3 || (bytesPerPixel != 2 && bytesPerPixel != 3)) return;
  PlaneOf(view_).Stretch(source, destination);
  if (DrawsIntoB()) PlaneOf(viewB_).Stretch(source, destination);
}

void CQtDoubleBufferSurfaceKeeper::SyncBuffers() {
  if (!singleBuffer_) return;
  singleBuffer_ = 0;
  bLags_ = true;
  if (!EmptyRect(videoRect_)) CatchUpB();
}

void CQtDoubleBufferSurfaceKeeper::CatchUpB() {
  if (singleBuffer_ || !bLags_) return;
  bLags_ = false;
  const size_t count = std::min(view_.ByteCount(), viewB_.ByteCount());
  if (view_.Live() && viewB_.Live()) {
    std::memcpy(viewB_.Live(), view_.Live(), count);
    if (view_.HasShadow() || viewB_.HasShadow()) {
      std::memcpy(viewB_.Target(), view_.Target(), count);
      viewB_.MarkAllDrawn();
    }
  }
}

void CQtDoubleBufferSurfaceKeeper::SetVideoRect(const RECT& rect) {
  videoRect_ = rect;
  if (!EmptyRect(videoRect_)) CatchUpB();
}

void CQtDoubleBufferSurfaceKeeper::BitBltKeyed(int x, int y, int width, int height,
                                               int sourceBytesPerPixel, const BYTE* pixels,
                                               int colourKey) {
  colourKey_ = colourKey;
  if (singleBuffer_) return BitBlt(x, y, width, height, sourceBytesPerPixel, pixels);
  CatchUpB();
  const SourcePicture source = Picture(width, height, sourceBytesPerPixel, pixels, width < 0);
  const SurfacePlane a = PlaneOf(view_);
  const SurfacePlane b = PlaneOf(viewB_);
  const int bytesPerPixel = a.BytesPerPixel();
  ClippedRect clip;
  if (source.pixels && (source.bytesPerPixel == 3 || source.bytesPerPixel == 4) &&
      bytesPerPixel >= 2 && a.Valid() && b.Valid() &&
      ClipToSurface(a.Width(), a.Height(), x, y, source.width, source.height, &clip)) {
    // On a 3-byte surface a key of -1 means no key at all; those pixels
    // arrive in the opposite byte order.
    const bool unkeyed = bytesPerPixel == 3 && colourKey == -1;
    // 3-byte pixels onto a 3-byte surface keep their order: the key's runs
    // are copied whole.
    const bool runs = !unkeyed && bytesPerPixel == 3 && source.bytesPerPixel == 3;
    // Unkeyed 3-byte pixels go row by row, turned as they are copied.
    const bool turnedRows = unkeyed && source.bytesPerPixel == 3;
    const KeyBlock key(colourKey);
    for (int r = 0; runs && r < clip.height; ++r)
      CopyKeyRuns(source.Row(clip.skipY + r) + size_t(clip.skipX) * 3, b.Pixel(clip.x, clip.y + r),
                  a.Pixel(clip.x, clip.y + r), clip.width, key);
    for (int r = 0; turnedRows && r < clip.height; ++r)
      ReverseThreeBytePixels(a.Pixel(clip.x, clip.y + r),
                             source.Row(clip.skipY + r) + size_t(clip.skipX) * 3,
                             size_t(clip.width));
    for (int r = 0; !runs && !turnedRows && r < clip.height; ++r) {
      const BYTE* s = source.Row(clip.skipY + r) + size_t(clip.skipX) * source.bytesPerPixel;
      for (int c = 0; c < clip.width; ++c, s += source.bytesPerPixel) {
        BYTE* out = a.Pixel(clip.x + c, clip.y + r);
        if (unkeyed) {
          ColourBytes(s, source.bytesPerPixel == 3, out);
          continue;
        }
        if (!MatchesKey(b.Pixel(clip.x + c, clip.y + r), bytesPerPixel, colourKey)) continue;
        if (bytesPerPixel == 2) {
          PutLe16(out, ToRgb565(s[0], s[1], s[2]));
          continue;
        }
        ColourBytes(s, source.bytesPerPixel == 4, out);
        if (bytesPerPixel == 4) out[3] = 255;
      }
    }
    a.MarkDrawn(clip.x, clip.y, clip.width, clip.height);
  }
  CommitShadow();
}

void CQtDoubleBufferSurfaceKeeper::StretchBltKeyed(int sourceWidth, int sourceHeight,
                                                   const RECT& destination,
                                                   int sourceBytesPerPixel, const BYTE* pixels,
                                                   int colourKey) {
  colourKey_ = colourKey;
  if (singleBuffer_)
    return CAbstractSurfaceKeeper::StretchBltKeyed(sourceWidth, sourceHeight, destination,
                                                   sourceBytesPerPixel, pixels, colourKey);
  if (sourceWidth == 0 || sourceHeight == 0) return;
  CatchUpB();
  const SourcePicture source =
      KeyedStretchPicture(sourceWidth, sourceHeight, sourceBytesPerPixel, pixels);
  const SurfacePlane a = PlaneOf(view_);
  const SurfacePlane b = PlaneOf(viewB_);
  const int bytesPerPixel = a.BytesPerPixel();
  if ((bytesPerPixel == 2 || bytesPerPixel == 3) &&
      (source.bytesPerPixel == 3 || source.bytesPerPixel == 4) && a.Valid() && b.Valid()) {
    ForEachStretchedPixel(a.Width(), a.Height(), source, destination,
                          [&](int x, int y, const BYTE* s) {
                            if (!MatchesKey(b.Pixel(x, y), bytesPerPixel, colourKey)) return;
                            BYTE keyed[3];
                            ColourBytes(s, source.bytesPerPixel == 4, keyed);
                            if (bytesPerPixel == 2)
                              PutLe16(a.Pixel(x, y), ToRgb565(keyed[0], keyed[1], keyed[2]));
                            else
                              std::memcpy(a.Pixel(x, y), keyed, 3);
                          });
    a.MarkDrawnRect(destination);
  }
  CommitShadow();
}

int CQtDoubleBufferSurfaceKeeper::GetHBitmap(SurfaceBitmap** bitmap) {
  if (!bitmap || imageA_.isNull()) return -1;
  *bitmap = new SurfaceBitmap(imageA_.convertToFormat(QImage::Format_RGB32));
  return 0;
}

bool CQtDoubleBufferSurfaceKeeper::BeginShadow() {
  const bool created = view_.Begin();
  viewB_.Begin();
  return created;
}

bool CQtDoubleBufferSurfaceKeeper::CommitShadow() {
  const bool committedA = view_.Commit();
  const bool committedB = viewB_.Commit();
  return committedA || committedB;
}
