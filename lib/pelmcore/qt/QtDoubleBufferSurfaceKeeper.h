// The surface keeper of a session display: two QImage buffers. Image A is
// what painters see. While video plays, the desktop is drawn into both
// images and video into A only, at the pixels where B holds the colour key,
// so that desktop updates never paint over the video. Image B is brought
// level with A only once something reads it or a video rectangle is set:
// until then the desktop is drawn into A alone.
#pragma once

#include <QImage>
#include <QVector>
#include <memory>

#include "display/AbstractSurfaceKeeper.h"

class CQtDoubleBufferSurfaceKeeper : public CAbstractSurfaceKeeper {
 public:
  explicit CQtDoubleBufferSurfaceKeeper(int displayIndex = 0);
  ~CQtDoubleBufferSurfaceKeeper() override;

  int Create(int width, int height, int depth, int storageBits) override;
  // 8-bit surfaces hold colour indexes: the entries (blue, green, red,
  // unused) become the colour table they are painted with. Before the
  // server sends one, a 3-3-2 table stands in.
  void SetPalette(const BYTE* entries, int count) override;
  void DrawTile(int x, int y, const BYTE* pixels, BYTE* record) override;
  void DrawTile16(int x, int y, const BYTE* pixels) override;
  void FillTile(int x, int y, const BYTE* colour) override;
  void CopyRect(int destX, int destY, int sourceX, int sourceY, int width, int height) override;
  void MarkTile(int x, int y) override;
  void BitBlt(int x, int y, int width, int height, int sourceBytesPerPixel,
              const BYTE* pixels) override;
  void SetVideoRect(const RECT& rect) override;
  // What painters see, read-only so that no painter can detach the image
  // from the buffer the keeper draws into; null before Create.
  const QImage* GetImage() const { return imageA_.isNull() ? nullptr : &imageA_; }
  void SyncBuffers() override;
  void SetSingleBuffer() override { singleBuffer_ = 1; }
  void BitBltKeyed(int x, int y, int width, int height, int sourceBytesPerPixel,
                   const BYTE* pixels, int colourKey) override;
  void StretchBltKeyed(int sourceWidth, int sourceHeight, const RECT& destination,
                       int sourceBytesPerPixel, const BYTE* pixels, int colourKey) override;
  int GetHBitmap(SurfaceBitmap** bitmap) override;
  bool BeginShadow() override;
  bool GetTileTarget(TileTarget* target) override;
  bool CommitShadow() override;

  int DisplayIndex() const { return displayIndex_; }
  bool IsSingleBuffer() const { return singleBuffer_ != 0; }
  int ColourKey() const { return colourKey_; }

 protected:
  void StretchPicture(const SourcePicture& source, const RECT& destination) override;

 private:
  static QImage::Format FormatFor(int storageBits);
  bool InsideVideo(int x, int y) const;
  // Whether the desktop is drawn into image B as well.
  bool DrawsIntoB() const { return !singleBuffer_ && !bLags_; }
  // Copies image A into B when B lags behind it.
  void CatchUpB();
  void DrawTileAroundKey(const SurfacePlane& plane, int x, int y, const BYTE* pixels) const;

  const int displayIndex_;
  QVector<QRgb> palette_;
  int singleBuffer_ = 1;
  // Double buffering was asked for, but B has not taken the tiles drawn
  // since: A and B differ in nothing else, as everything that draws into A
  // alone (keyed video) first brings B level.
  bool bLags_ = false;
  RECT videoRect_{0, 0, 0, 0};
  // The images' pixels, kept from one Create to the next while they are
  // large enough: a mode change then costs no new pages.
  std::unique_ptr<uchar[]> pixelsA_;
  std::unique_ptr<uchar[]> pixelsB_;
  size_t pixelBytes_ = 0;
  QImage imageA_;
  QImage imageB_;
  SurfaceBufferView viewB_;
  int colourKey_ = -1;
};
