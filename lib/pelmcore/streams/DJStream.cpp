#include "streams/DJStream.h"
#include "session/SurfaceLock.h"

#include <algorithm>
#include <new>

#include "display/JpegDecoder.h"
#include "display/JpegOutBuffer.h"
#include "display/SurfaceKeeper.h"
#include "pelplat/synch.h"
#include "streams/MediaTypeGuids.h"

namespace {

constexpr int kPixelBytes = 3;

// Decodes on the caller's thread, into the block of the frame before when
// it is large enough. Only a picture of exactly width x height 3-byte
// pixels counts.
bool DecodePicture(const uint8_t* data, uint32_t length, int* width, int* height,
                   JpegOutBuffer* pixels) {
  if (DecodeJpegToRgb(data, length, width, height, 1, 1, pixels) != 0) return false;
  const uint64_t need = VideoPictureBytes(*width, *height, kPixelBytes);
  return need != 0 && pixels->GetData() && pixels->GetSize() == need;
}

// The picture size a JPEG's frame header announces, without decoding;
// false when no frame header comes before the scan or the data end.
bool AnnouncedSize(const uint8_t* data, uint32_t length, uint64_t* width, uint64_t* height) {
  if (length < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  uint64_t at = 2;
  while (at + 4 <= length) {
    if (data[at] != 0xFF) return false;
    const uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const uint32_t segment = uint32_t(data[at + 2]) << 8 | data[at + 3];
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (frame) {
      if (segment < 7 || at + 9 > length) return false;
      *height = uint32_t(data[at + 5]) << 8 | data[at + 6];
      *width = uint32_t(data[at + 7]) << 8 | data[at + 8];
      return true;
    }
    if (marker == 0xDA || marker == 0xD9 || segment < 2) return false;
    at += 2 + segment;
  }
  return false;
}

}  // namespace

CDJStream::CDJStream(std::shared_ptr<ISlotSessionPort> port, int displayIndex)
    : CSurfaceVideoStream(std::move(port), displayIndex) {}

CDJStream::~CDJStream() = default;

int CDJStream::SetFormat(const StreamFormatRecord& record) {
  using namespace mediaguid;
  if (record.majorType == kMediaTypeVideo && record.subtype == kSubtypeRgb24) return 0;
  if (record.majorType == kNull && record.formatType == kNull && record.subtype == kSubtypeMjpg)
    return 0;
  return E_FAIL;
}

int CDJStream::ProcessSample(const uint8_t* data, uint32_t length,
                             const StreamSampleContext& context) {
  IDisplaySurfaces* windows = port_ ? port_->Surfaces() : nullptr;
  if (!windows || windows->VideoDrawing() == 0) return 0;
  DrawFrame(data, length, context);
  KeepRect();
  return 0;
}

void CDJStream::DrawFrame(const uint8_t* data, uint32_t length,
                          const StreamSampleContext& context) {
  if (!data || length == 0) return;
  int width = context.width, height = context.height;
  const uint8_t* pixels = data;
  if (context.preDecoded) {
    const uint64_t need = VideoPictureBytes(width, height, kPixelBytes);
    if (need == 0 || need > length) return;
  } else {
    // The block of the frame before is filled again when the new picture
    // fits it and is not much smaller; anything else (the picture would
    // have to grow the block row by row) gets a block of its own size.
    uint64_t announcedWidth = 0, announcedHeight = 0;
    const uint64_t announced =
        AnnouncedSize(data, length, &announcedWidth, &announcedHeight)
            ? announcedWidth * announcedHeight * kPixelBytes
            : 0;
    if (!pixels_ || announced == 0 || announced > pixelBytes_ || announced * 4 < pixelBytes_) {
      pixels_.reset(new (std::nothrow) JpegOutBuffer);
      pixelBytes_ = 0;
      if (!pixels_) return;
    }
    if (!DecodePicture(data, length, &width, &height, pixels_.get())) return;
    pixelBytes_ = std::max<uint64_t>(pixelBytes_, pixels_->GetSize());
    pixels = pixels_->GetData();
  }
  SurfaceLock lock(port_.get(), display_);
  ISurfaceKeeper* surface = lock.Surface();
  if (!surface) return;
  const RECT rect = currentRect_;
  const int64_t w = RectWidth(), h = RectHeight();
  // Decoded rows are stored last row first: the copy is told so by a
  // negative width, the stretch takes that order by default.
  if (width == w && height == h)
    surface->BitBltKeyed(rect.left, rect.top, -width, height, kPixelBytes, pixels, int(surfaceKey_));
  else
    surface->StretchBltKeyed(width, height, rect, kPixelBytes, pixels, int(surfaceKey_));
  surface->AddDamage(rect.left < 0 ? 0 : rect.left, rect.top, int(w), int(h));
  lock.Release();
  Sleep(0);
}
