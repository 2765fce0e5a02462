// The pixel surface of one remote display. Every drawing and reading call
// runs under the system API's frame-buffer lock; a keeper locks nothing but
// the small mutex of its shadow copy.
#pragma once

#include "pelplat/wintypes.h"

class SurfaceBitmap;
struct TileTarget;

class ISurfaceKeeper {
 public:
  virtual ~ISurfaceKeeper() = default;

  // 1 when the surface now has pixels of that geometry, 0 when it was
  // refused; a refused call leaves the previous surface as it was.
  virtual int Create(int width, int height, int depth, int storageBits) = 0;
  // entries: count palette entries of four bytes.
  virtual void SetPalette(const BYTE* entries, int count) = 0;
  // record: null, or room for 8 packed rows that receive the drawn rows.
  virtual void DrawTile(int x, int y, const BYTE* pixels, BYTE* record) = 0;
  virtual void DrawTile16(int x, int y, const BYTE* pixels) = 0;
  virtual void FillTile(int x, int y, const BYTE* colour) = 0;
  virtual void CopyRect(int destX, int destY, int sourceX, int sourceY, int width, int height) = 0;
  virtual void MarkTile(int x, int y) = 0;
  // A negative width means the source rows are stored last row first.
  virtual void BitBlt(int x, int y, int width, int height, int sourceBytesPerPixel,
                      const BYTE* pixels) = 0;
  virtual void StretchImage(int sourceWidth, int sourceHeight, int sourceBytesPerPixel,
                            const BYTE* pixels) = 0;
  virtual void StretchBlt(int sourceWidth, int sourceHeight, const RECT& destination,
                          int sourceBytesPerPixel, const BYTE* pixels) = 0;
  virtual void SetVideoRect(const RECT& rect) = 0;
  virtual int GetTileWidth() = 0;
  virtual int GetTileHeight() = 0;
  virtual int GetColorDepth() = 0;
  virtual int GetBytesPerPixel() = 0;
  virtual int GetBitsPerPixel() = 0;
  virtual int GetHeight() = 0;
  virtual int GetWidth() = 0;
  // 0, or -1 for a negative argument or a surface that is not 32 bits.
  virtual int ReadRect(int x, int y, int width, int height, BYTE* destination) = 0;
  virtual void SyncBuffers() = 0;
  virtual void SetSingleBuffer() = 0;
  virtual void BitBltKeyed(int x, int y, int width, int height, int sourceBytesPerPixel,
                           const BYTE* pixels, int colourKey) = 0;
  virtual void StretchBltKeyed(int sourceWidth, int sourceHeight, const RECT& destination,
                               int sourceBytesPerPixel, const BYTE* pixels, int colourKey) = 0;
  // 0 with a new bitmap the caller deletes, or -1 with nothing stored.
  virtual int GetHBitmap(SurfaceBitmap** bitmap) = 0;
  virtual HRESULT DrawVideoFrame(void* picture, const RECT* source, const RECT* target,
                                 DWORD colourKey) = 0;
  virtual bool BeginShadow() { return false; }
  virtual bool CommitShadow() { return false; }
  virtual bool HasShadow() { return false; }
  // The drawing targets of 8x8 tiles, valid until the surface is created
  // again or its shadow begins; false when tiles must go through DrawTile.
  virtual bool GetTileTarget(TileTarget* target) { return false; }
  virtual bool QueryFeature(int a, int b, int c, int d) = 0;
  // What was drawn since the last TakeDamage, clipped to the surface.
  virtual void AddDamage(int x, int y, int width, int height) = 0;
  // {left, top, right, bottom} of the damage, all -1 when there is none;
  // the damage is empty afterwards.
  virtual RECT TakeDamage() = 0;
  virtual RECT Damage() = 0;
  // The pixels painters see: GetHeight rows of GetWidth pixels of
  // GetBitsPerPixel / 8 bytes, each row padded to a multiple of 4 bytes;
  // null when the surface has none.
  virtual const BYTE* GetImageBits() { return nullptr; }
};
