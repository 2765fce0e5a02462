#include "streams/DSStream.h"

#include "Sorvid.h"
#include "display/SurfaceKeeper.h"
#include "pelplat/rectspan.h"
#include "pelplat/strmif.h"
#include "session/HelloProbes.h"
#include "session/SurfaceLock.h"

namespace {

HWND__* AsWindow(UINT_PTR window) { return reinterpret_cast<HWND__*>(window); }

}  // namespace

uint32_t CDSStream::SurfaceColourKey(uint32_t c, int depth) {
  if (depth == 24) return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
  if (depth == 16) return (((c >> 19) & 0x1F) << 11) | (((c >> 10) & 0x3F) << 5) | ((c >> 3) & 0x1F);
  return 0;
}

CDSStream::CDSStream(std::shared_ptr<ISlotSessionPort> port, UINT_PTR window, uint32_t colourKey, int displayIndex)
    : port_(std::move(port)), window_(window), colourKey_(colourKey), displayIndex_(displayIndex) {
  {
    SurfaceLock lock(port_.get(), displayIndex_);
    if (ISurfaceKeeper* surface = lock.Surface()) {
      surface->SyncBuffers();
      surfaceDepth_ = surface->GetColorDepth();
    }
  }
  surfaceKey_ = SurfaceColourKey(colourKey_, surfaceDepth_);
}

// A stream deleted without Close still closes its player, so that the
// library keeps no pointer to this object.
CDSStream::~CDSStream() {
  if (player_) Close();
  {
    SurfaceLock lock(port_.get(), displayIndex_);
    if (ISurfaceKeeper* surface = lock.Surface()) surface->SetSingleBuffer();
  }
  port_.reset();
}

int CDSStream::SetFormat(const StreamFormatRecord& record) { return SorvidInit(&record, &player_); }

int CDSStream::ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext& context) {
  return SorvidSetBuffer(player_, data, length, context.sampleInfo);
}

int CDSStream::SetState(int state) { return SorvidSetState(player_, static_cast<uint32_t>(state)); }

int CDSStream::NewSegment(const SegmentRecord& segment) { return SorvidNewSegment(player_, &segment); }

int CDSStream::SetAllocator(const AllocatorPropertiesRecord& p) {
  const ALLOCATOR_PROPERTIES properties{p.buffers, p.bufferSize, p.align, p.prefix};
  const HRESULT hr = SorvidSetAllocator(player_, &properties);
  if (hr != S_OK) return hr;
  return SorvidSelectAndRenderWindowless(player_, AsWindow(window_), colourKey_, this);
}

int CDSStream::Close() {
  const HRESULT hr = SorvidClose(player_);
  player_ = nullptr;
  return hr;
}

int CDSStream::FilterEvent(int command) { return SorvidFilterEvent(player_, command); }

int CDSStream::DSSetWindowRect(const RECT* rect, UINT_PTR, int x, int y, uint32_t) {
  if (rect) videoRect_ = *rect;
  return SorvidWindowRect(player_, rect, 0, x, y);
}

int CDSStream::ShowWindow() { return SorvidShowWindow(player_); }

int CDSStream::OnParentPaint(UINT_PTR window, UINT_PTR deviceContext) {
  return SorvidOnParentPaint(player_, AsWindow(window), reinterpret_cast<HDC__*>(deviceContext));
}

int CDSStream::UpdateWindowRectToScroll(int x, int y) { return SorvidUpdateWindowRectToScroll(player_, x, y); }

HRESULT CDSStream::DrawFrameBits(const BYTE* pixels, void*, int width, int height, int bitsPerPixel) {
  if (!port_ || !pixels || width <= 0 || height <= 0 || (bitsPerPixel != 24 && bitsPerPixel != 32)) return 0;
  SurfaceLock lock(port_.get(), displayIndex_);
  ISurfaceKeeper* surface = lock.Surface();
  if (!surface) return 0;
  const RECT r = videoRect_;
  // The rectangle is the server's: its spans may not fit an int.
  const int64_t w = RectSpan(r.left, r.right), h = RectSpan(r.top, r.bottom);
  if (w == width && h == height)
    surface->BitBltKeyed(r.left, r.top, width, height, bitsPerPixel / 8, pixels, static_cast<int>(surfaceKey_));
  else
    surface->StretchBltKeyed(width, height, r, bitsPerPixel / 8, pixels, static_cast<int>(surfaceKey_));
  surface->AddDamage(r.left, r.top, SaturatedLong(w), SaturatedLong(h));
  return 0;
}

HRESULT CDSStream::GetSurfaceBitmap(SurfaceBitmap** bitmap) {
  SurfaceLock lock(port_.get(), displayIndex_);
  ISurfaceKeeper* surface = lock.Surface();
  return surface ? surface->GetHBitmap(bitmap) : E_NOINTERFACE;
}

HRESULT CDSStream::PresentFrame(void* sourceSurface, const RECT* source, const RECT* destination) {
  SurfaceLock lock(port_.get(), displayIndex_);
  ISurfaceKeeper* surface = lock.Surface();
  if (!surface) return E_NOINTERFACE;
  const HRESULT hr = surface->DrawVideoFrame(sourceSurface, source, &videoRect_, surfaceKey_);
  if (SUCCEEDED(hr) && destination)
    surface->AddDamage(destination->left, destination->top,
                       SaturatedLong(RectSpan(videoRect_.left, videoRect_.right)),
                       SaturatedLong(RectSpan(videoRect_.top, videoRect_.bottom)));
  return hr;
}

void RegisterDirectShowStreams() {
  RegisterStreamKindMaker(StreamKind::kDirectShow, [](const StreamKindArgs& args) -> std::unique_ptr<CStream> {
    return std::make_unique<CDSStream>(args.port, args.window, args.colourKey, args.displayIndex);
  });
  SetHelloProbe(&HelloProbes::detectDsVideoDecoders, &SorvidDetectDsVideoDecoders);
}
