// What the two stream kinds that draw into a display surface share: the
// surface's colour depth read at construction, the second buffer kept in
// step while the stream lives, the window rectangle with its colour key in
// the surface's pixel format, and the clean-up at close.
#pragma once

#include <cstdint>
#include <memory>

#include "streams/Stream.h"
#include "session/SlotSessionPort.h"

class ISurfaceKeeper;

// The value the surface's keyed drawing compares with its second buffer
// for a COLORREF (0x00BBGGRR): 24 bits, the colour as the surface stores
// it (red, green, blue in memory); 16 bits, the display's RGB565 with red
// on top. False for any other depth.
bool SurfaceColourKey(uint32_t colorref, int depth, uint32_t* key);

// Largest picture side and area the streams draw; larger ones are dropped.
constexpr int64_t kMaxVideoSide = 8192;
constexpr int64_t kMaxVideoPixels = kMaxVideoSide * 4608;

// The bytes of a width x height picture of that pixel size, in 64 bits, or
// 0 when the geometry is not one the streams draw.
uint64_t VideoPictureBytes(int64_t width, int64_t height, int bytesPerPixel);

class CSurfaceVideoStream : public CStream {
 public:
  CSurfaceVideoStream(std::shared_ptr<ISlotSessionPort> port, int displayIndex);
  ~CSurfaceVideoStream() override;

  int Close() override;
  // Keeps the rectangle and the converted key; E_INVALIDARG (nothing
  // changes) when the surface depth has no key format.
  int DSSetWindowRect(const RECT* rect, UINT_PTR window, int x, int y,
                      uint32_t colourKey) override;

  uint32_t SurfaceKey() const { return surfaceKey_; }
  int SurfaceDepth() const { return depth_; }

 protected:
  // Back to single-buffer drawing and no video rectangle.
  void ReleaseSurface();
  int64_t RectWidth() const { return int64_t(currentRect_.right) - currentRect_.left; }
  int64_t RectHeight() const { return int64_t(currentRect_.bottom) - currentRect_.top; }
  void KeepRect() { previousRect_ = currentRect_; }

  std::shared_ptr<ISlotSessionPort> port_;
  uint32_t surfaceKey_ = 0;
  int depth_ = 24;
  const int display_;
};
