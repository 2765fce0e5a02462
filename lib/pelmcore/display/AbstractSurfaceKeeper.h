// The surface keeper over one plain pixel buffer; also the base of the Qt
// keeper, which reuses its geometry, its view and its drawing.
#pragma once

#include <memory>

#include "display/SurfaceBufferView.h"
#include "display/SurfaceDamage.h"
#include "display/SurfaceKeeper.h"
#include "display/SurfacePlane.h"

class CAbstractSurfaceKeeper : public ISurfaceKeeper {
 public:
  // bottomUp: StretchBlt sources are stored last row first.
  explicit CAbstractSurfaceKeeper(bool bottomUp = false);
  ~CAbstractSurfaceKeeper() override;

  int Create(int width, int height, int depth, int storageBits) override;
  void SetPalette(const BYTE* entries, int count) override {}
  void DrawTile(int x, int y, const BYTE* pixels, BYTE* record) override;
  void DrawTile16(int x, int y, const BYTE* pixels) override;
  void FillTile(int x, int y, const BYTE* colour) override;
  void CopyRect(int destX, int destY, int sourceX, int sourceY, int width, int height) override;
  void MarkTile(int x, int y) override;
  void BitBlt(int x, int y, int width, int height, int sourceBytesPerPixel,
              const BYTE* pixels) override;
  void StretchImage(int sourceWidth, int sourceHeight, int sourceBytesPerPixel,
                    const BYTE* pixels) override;
  void StretchBlt(int sourceWidth, int sourceHeight, const RECT& destination,
                  int sourceBytesPerPixel, const BYTE* pixels) override;
  void SetVideoRect(const RECT& rect) override {}
  int GetTileWidth() override { return tileWidth_; }
  int GetTileHeight() override { return tileHeight_; }
  int GetColorDepth() override { return depth_; }
  int GetBytesPerPixel() override { return depth_ / 8; }
  int GetBitsPerPixel() override { return storageBits_; }
  int GetHeight() override { return height_; }
  int GetWidth() override { return width_; }
  int ReadRect(int x, int y, int width, int height, BYTE* destination) override;
  void SyncBuffers() override {}
  void SetSingleBuffer() override {}
  void BitBltKeyed(int x, int y, int width, int height, int sourceBytesPerPixel,
                   const BYTE* pixels, int colourKey) override;
  void StretchBltKeyed(int sourceWidth, int sourceHeight, const RECT& destination,
                       int sourceBytesPerPixel, const BYTE* pixels, int colourKey) override;
  int GetHBitmap(SurfaceBitmap** bitmap) override { return -1; }
  HRESULT DrawVideoFrame(void* picture, const RECT* source, const RECT* target,
                         DWORD colourKey) override {
    return E_NOTIMPL;
  }
  bool BeginShadow() override { return view_.Begin(); }
  bool CommitShadow() override { return view_.Commit(); }
  bool HasShadow() override { return view_.HasShadow(); }
  bool GetTileTarget(TileTarget* target) override;
  bool QueryFeature(int a, int b, int c, int d) override { return false; }
  void AddDamage(int x, int y, int width, int height) override {
    damage_.Add(width_, height_, x, y, width, height);
  }
  RECT TakeDamage() override { return damage_.Take(); }
  RECT Damage() override { return damage_.Box(); }
  const BYTE* GetImageBits() override { return view_.Live(); }

 protected:
  // Storage bits for a Create call, or 0 when the geometry is refused.
  static int CheckedStorageBits(int width, int height, int depth, int storageBits);
  // Width raised to the next multiple of a power of two.
  static int RoundedWidth(int width, int multiple) { return (width + multiple - 1) & ~(multiple - 1); }
  int Stride() const { return (width_ * (storageBits_ / 8) + 3) & ~3; }
  SurfacePlane PlaneOf(SurfaceBufferView& view) const {
    return SurfacePlane(view.Target(), width_, height_, storageBits_ / 8, Stride(), &view);
  }
  void SetGeometry(int width, int height, int depth, int storageBits);
  // The drawing of StretchBlt once its source is known.
  virtual void StretchPicture(const SourcePicture& source, const RECT& destination);
  // The source of a keyed stretch: a positive width means rows stored last
  // row first, a negative one first row first.
  static SourcePicture KeyedStretchPicture(int sourceWidth, int sourceHeight,
                                           int bytesPerPixel, const BYTE* pixels);
  // A source picture whose rows are stored last row first when bottomUp is
  // set; a negative width counts as its absolute value.
  static SourcePicture Picture(int width, int height, int bytesPerPixel, const BYTE* pixels,
                               bool bottomUp);

  SurfaceBufferView view_;
  const bool bottomUp_;

 private:
  int tileWidth_ = 8;
  int tileHeight_ = 8;
  int depth_ = 0;
  int storageBits_ = 0;
  int height_ = 0;
  int width_ = 0;
  SurfaceDamage damage_;
  std::unique_ptr<BYTE[]> buffer_;
};
