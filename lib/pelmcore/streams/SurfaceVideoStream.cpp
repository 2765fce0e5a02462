#include "streams/SurfaceVideoStream.h"
#include "session/SurfaceLock.h"

#include "display/SurfaceKeeper.h"

bool SurfaceColourKey(uint32_t colorref, int depth, uint32_t* key) {
  const uint32_t red = colorref & 0xFF, green = (colorref >> 8) & 0xFF, blue = (colorref >> 16) & 0xFF;
  switch (depth) {
    case 24:
      *key = red | green << 8 | blue << 16;
      return true;
    case 16:
      *key = (red >> 3) << 11 | (green >> 2) << 5 | blue >> 3;
      return true;
    default:
      return false;
  }
}

uint64_t VideoPictureBytes(int64_t width, int64_t height, int bytesPerPixel) {
  if (width <= 0 || height <= 0 || width > kMaxVideoSide || height > kMaxVideoSide ||
      width * height > kMaxVideoPixels || bytesPerPixel <= 0)
    return 0;
  return uint64_t(width) * uint64_t(height) * uint64_t(bytesPerPixel);
}

CSurfaceVideoStream::CSurfaceVideoStream(std::shared_ptr<ISlotSessionPort> port, int displayIndex)
    : port_(std::move(port)), display_(displayIndex) {
  SurfaceLock lock(port_.get(), display_);
  if (ISurfaceKeeper* surface = lock.Surface()) {
    depth_ = surface->GetColorDepth();
    // The desktop goes into both buffers from now on, so the key area stays
    // known while video is drawn over it.
    surface->SyncBuffers();
  }
}

CSurfaceVideoStream::~CSurfaceVideoStream() { ReleaseSurface(); }

void CSurfaceVideoStream::ReleaseSurface() {
  {
    SurfaceLock lock(port_.get(), display_);
    if (ISurfaceKeeper* surface = lock.Surface()) {
      surface->SetSingleBuffer();
      surface->SetVideoRect(RECT{0, 0, 0, 0});
    }
  }
  previousRect_ = RECT{0, 0, 0, 0};
  currentRect_ = RECT{0, 0, 0, 0};
}

int CSurfaceVideoStream::Close() {
  ReleaseSurface();
  return 0;
}

int CSurfaceVideoStream::DSSetWindowRect(const RECT* rect, UINT_PTR, int, int, uint32_t colourKey) {
  uint32_t key = 0;
  if (!SurfaceColourKey(colourKey, depth_, &key)) return E_INVALIDARG;
  if (!rect) return 0;
  {
    SurfaceLock lock(port_.get(), display_);
    if (ISurfaceKeeper* surface = lock.Surface()) surface->SetVideoRect(*rect);
  }
  surfaceKey_ = key;
  currentRect_ = *rect;
  return 0;
}
