#include "streams/DJStream.h"

#include <future>
#include <system_error>

#include "display/JpegDecoder.h"
#include "display/JpegOutBuffer.h"
#include "display/SurfaceKeeper.h"
#include "pelplat/synch.h"
#include "streams/MediaTypeGuids.h"
#include "sys/klog.h"

namespace {

constexpr int kPixelBytes = 3;

struct DecodedPicture {
  bool ok = false;
  int width = 0;
  int height = 0;
  JpegOutBuffer pixels;
};

// Decodes on a short-lived thread of its own; the processing thread waits.
// Only a picture of exactly width x height 3-byte pixels counts.
bool DecodeOffThread(const uint8_t* data, uint32_t length, DecodedPicture* picture) {
  try {
    std::future<int> task = std::async(std::launch::async, [&] {
      return DecodeJpegToRgb(data, length, &picture->width, &picture->height, 1, 1,
                             &picture->pixels);
    });
    if (task.get() != 0) return false;
  } catch (const std::system_error&) {
    LogMessageA("CDJStream::ProcessSample: no thread for the decode; the frame is skipped\n");
    return false;
  }
  const uint64_t need = VideoPictureBytes(picture->width, picture->height, kPixelBytes);
  return need != 0 && picture->pixels.GetData() && picture->pixels.GetSize() == need;
}

}  // namespace

int CDJStream::SetFormat(const StreamFormatRecord& record) {
  using namespace mediaguid;
  if (record.majorType == kMediaTypeVideo && record.subtype == kSubtypeRgb24) return 0;
  if (record.majorType == kNull && record.formatType == kNull && record.subtype == kSubtypeMjpg)
    return 0;
  return E_FAIL;
}

int CDJStream::ProcessSample(const uint8_t* data, uint32_t length,
                             const StreamSampleContext& context) {
  if (!port_ || !port_->HasSystemApi() || port_->VideoDrawingSwitch() == 0) return 0;
  DrawFrame(data, length, context);
  KeepRect();
  return 0;
}

void CDJStream::DrawFrame(const uint8_t* data, uint32_t length,
                          const StreamSampleContext& context) {
  if (!data || length == 0) return;
  DecodedPicture decoded;
  int width = context.width, height = context.height;
  const uint8_t* pixels = data;
  if (context.preDecoded) {
    const uint64_t need = VideoPictureBytes(width, height, kPixelBytes);
    if (need == 0 || need > length) return;
  } else {
    if (!DecodeOffThread(data, length, &decoded)) return;
    width = decoded.width;
    height = decoded.height;
    pixels = decoded.pixels.GetData();
  }
  ISurfaceKeeper* surface = port_->LockFrameBuffer(display_);
  if (!surface) return;
  const RECT rect = currentRect_;
  const int64_t w = RectWidth(), h = RectHeight();
  // Decoded rows are stored last row first: the copy is told so by a
  // negative width, the stretch takes that order by default.
  if (width == w && height == h)
    surface->BitBltKeyed(rect.left, rect.top, -width, height, kPixelBytes, pixels, int(surfaceKey_));
  else
    surface->StretchBltKeyed(width, height, rect, kPixelBytes, pixels, int(surfaceKey_));
  port_->InvalidateRect(rect.left < 0 ? 0 : rect.left, rect.top, int(w), int(h), display_);
  port_->UnlockFrameBuffer(surface);
  Sleep(0);
}
