#include "streams/SurfaceVideoStream.h"

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

CSurfaceVideoStream::CSurfaceVideoStream(std::shared_ptr<StreamSessionPort> port, int displayIndex)
    : port_(std::move(port)), display_(displayIndex) {
  if (!port_) return;
  if (ISurfaceKeeper* surface = port_->LockFrameBuffer(display_)) {
    depth_ = surface->GetColorDepth();
    // The desktop goes into both buffers from now on, so the key area stays
    // known while video is drawn over it.
    surface->SyncBuffers();
    port_->UnlockFrameBuffer(surface);
  }
}

CSurfaceVideoStream::~CSurfaceVideoStream() { ReleaseSurface(); }

void CSurfaceVideoStream::ReleaseSurface() {
  if (port_) {
    if (ISurfaceKeeper* surface = port_->LockFrameBuffer(display_)) {
      surface->SetSingleBuffer();
      surface->SetVideoRect(RECT{0, 0, 0, 0});
      port_->UnlockFrameBuffer(surface);
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
  if (port_) {
    if (ISurfaceKeeper* surface = port_->LockFrameBuffer(display_)) {
      surface->SetVideoRect(*rect);
      port_->UnlockFrameBuffer(surface);
    }
  }
  surfaceKey_ = key;
  currentRect_ = *rect;
  return 0;
}
