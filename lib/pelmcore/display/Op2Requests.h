// What the display command decoder asks of the processor that owns it: the
// drawing on the display surface and the few messages that leave the
// display. The decoder reads and measures the stream; everything that
// touches the surface, the windows or the server goes through here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"

class Op2Decoder;
class TileWriter;

class IOp2Requests {
 public:
  virtual ~IOp2Requests() = default;

  // pixels: the tile, pixelBytes of it readable; record: null, or a cache
  // slot of recordBytes that receives the drawn rows. A surface whose pixels
  // are wider than the source allows draws nothing and records nothing.
  virtual void DrawTile(int x, int y, const BYTE* pixels, size_t pixelBytes, BYTE* record,
                        size_t recordBytes) = 0;
  virtual void DrawTile16(int x, int y, const BYTE* pixels, size_t pixelBytes) = 0;
  // The decoder's current tile at its drawing position, into the slot that
  // the decoder reserved for it, if any.
  virtual void DrawCurrentTile(Op2Decoder& decoder);
  // Raw values of the copy order; the receiver clips.
  virtual void CopyRect(int sourceX, int sourceY, int left, int top, int right, int bottom) = 0;
  virtual void SetPointerShape(const BYTE* record, size_t length) = 0;
  virtual void SetPointerPosition(int x, int y) = 0;
  // 256 entries of four bytes.
  virtual void SetPalette(const BYTE* entries) = 0;
  virtual void SetDesktopGeometry(const int32_t values[4]) = 0;
  virtual void SetMode(int width, int height, int depth) = 0;
  virtual void FlushSurface() = 0;
  // The flush control of the stream acts only in modes 0 and 2.
  virtual int FlushMode() = 0;
  virtual void RequestRefresh() = 0;
  virtual void SendClientEvent(uint32_t code, const BYTE* data, uint32_t length) = 0;
  virtual void SetStreamOverlayFlag(int flag, const BYTE* record, size_t length) = 0;
  // A terminated narrow text.
  virtual void PostTextMessage(const char* text) = 0;
  // Whether container lengths are aligned to four bytes from the packet
  // start.
  virtual bool AlignsContainers() = 0;

  // While set, the decoder hands 8x8 tiles to this writer and only those it
  // declines to DrawTile.
  TileWriter* tileWriter = nullptr;
};
