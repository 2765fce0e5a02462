// The callback a stream hands to the video filter library: frames drawn by
// the library's presenter reach the display surface through it. The
// library takes no reference; the stream outlives the player it gave it to.
#pragma once

#include "pelplat/wintypes.h"

class SurfaceBitmap;

class IDSFrameProcessor {
 public:
  virtual HRESULT DrawFrameBits(const BYTE* pixels, void* unused, int width, int height,
                                int bitsPerPixel) = 0;
  // A new bitmap of the display's visible picture, deleted by the caller.
  virtual HRESULT GetSurfaceBitmap(SurfaceBitmap** bitmap) = 0;
  virtual HRESULT PresentFrame(void* sourceSurface, const RECT* source,
                               const RECT* destination) = 0;

 protected:
  ~IDSFrameProcessor() = default;
};
