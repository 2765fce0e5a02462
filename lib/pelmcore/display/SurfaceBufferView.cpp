#include "display/SurfaceBufferView.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

std::unique_ptr<BYTE[]> CopyOf(const BYTE* data, size_t count) {
  std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[count]);
  if (copy) std::memcpy(copy.get(), data, count);
  return copy;
}

}  // namespace

bool SurfaceBufferView::Prepare(BYTE* data, int width, int height, int bytesPerPixel,
                                Pending* pending, bool zeroed) {
  if (!data || width <= 0 || height <= 0 || bytesPerPixel <= 0) return false;
  const uint64_t count = uint64_t(width) * uint64_t(height) * uint64_t(bytesPerPixel);
  if (count > SIZE_MAX) return false;
  pending->data = data;
  pending->byteCount = size_t(count);
  pending->width = width;
  pending->height = height;
  pending->bytesPerPixel = bytesPerPixel;
  pending->shadow.reset();
  pending->clearShadow = false;
  if (!HasShadow()) return true;
  if (zeroed && shadowCapacity_ >= pending->byteCount) {
    pending->clearShadow = true;
    return true;
  }
  if (zeroed)
    pending->shadow.reset(new (std::nothrow) BYTE[pending->byteCount]());
  else
    pending->shadow = CopyOf(data, pending->byteCount);
  return pending->shadow != nullptr;
}

void SurfaceBufferView::Apply(Pending* pending) {
  CxAutoLock guard(mutex_.Record());
  live_ = pending->data;
  byteCount_ = pending->byteCount;
  if (pending->clearShadow) {
    std::memset(shadow_.get(), 0, byteCount_);
  } else {
    shadow_ = std::move(pending->shadow);
    shadowCapacity_ = shadow_ ? byteCount_ : 0;
  }
  dirty_.Reset(pending->width, pending->height, pending->bytesPerPixel,
               size_t(pending->width) * size_t(pending->bytesPerPixel));
}

bool SurfaceBufferView::Attach(BYTE* data, int width, int height, int bytesPerPixel) {
  Pending pending;
  if (!Prepare(data, width, height, bytesPerPixel, &pending)) return false;
  Apply(&pending);
  return true;
}

bool SurfaceBufferView::Begin() {
  CxAutoLock guard(mutex_.Record());
  if (!live_ || shadow_) return false;
  shadow_ = CopyOf(live_, byteCount_);
  shadowCapacity_ = shadow_ ? byteCount_ : 0;
  dirty_.Clear();
  return shadow_ != nullptr;
}

bool SurfaceBufferView::Commit() {
  CxAutoLock guard(mutex_.Record());
  if (!shadow_ || !live_) return false;
  dirty_.CopyMarked(live_, shadow_.get());
  return true;
}
