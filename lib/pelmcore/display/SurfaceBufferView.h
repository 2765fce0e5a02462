// One pixel buffer as readers and drawers see it: the live bytes that
// painters read, and an optional shadow copy that drawing goes to until it
// is committed, so a whole update becomes visible at once.
#pragma once

#include <cstddef>
#include <memory>

#include "display/DirtyBlockMap.h"
#include "pelplat/wintypes.h"
#include "sys/CxMutex.h"

class SurfaceBufferView {
 public:
  // A new buffer (and its shadow copy, when the view keeps one) made ready
  // before anything of the view changes, so a keeper can swap several
  // views only once all of them are ready.
  struct Pending {
    BYTE* data = nullptr;
    size_t byteCount = 0;
    int width = 0;
    int height = 0;
    int bytesPerPixel = 0;
    std::unique_ptr<BYTE[]> shadow;
    // The view's own shadow is large enough: it is cleared and kept.
    bool clearShadow = false;
  };

  SurfaceBufferView() = default;
  ~SurfaceBufferView() = default;

  // False for an empty or unaddressable buffer or a shadow that could not
  // be made; the view is then unchanged.
  bool Attach(BYTE* data, int width, int height, int bytesPerPixel);
  // zeroed: every byte of data is 0, so a shadow needs no copy of it.
  bool Prepare(BYTE* data, int width, int height, int bytesPerPixel, Pending* pending,
               bool zeroed = false);
  void Apply(Pending* pending);

  // True when a shadow was created by this call.
  bool Begin();
  // True when a shadow was copied into the live buffer. Only what was
  // marked since the shadow was made or last committed is copied: the rest
  // is equal in both already.
  bool Commit();
  bool HasShadow() const { return shadow_ != nullptr; }
  // Every write to the drawing target while a shadow exists is marked here
  // (pixels of the width x height rows given to Attach).
  void MarkDrawn(int x, int y, int width, int height) {
    if (shadow_) dirty_.Mark(x, y, width, height);
  }
  void MarkAllDrawn() {
    if (shadow_) dirty_.MarkAll();
  }

  BYTE* Live() const { return live_; }
  BYTE* Target() const { return shadow_ ? shadow_.get() : live_; }
  size_t ByteCount() const { return byteCount_; }

  SurfaceBufferView(const SurfaceBufferView&) = delete;
  SurfaceBufferView& operator=(const SurfaceBufferView&) = delete;

 private:
  BYTE* live_ = nullptr;
  std::unique_ptr<BYTE[]> shadow_;
  size_t shadowCapacity_ = 0;
  size_t byteCount_ = 0;
  DirtyBlockMap dirty_;
  CxMutex mutex_;
};
