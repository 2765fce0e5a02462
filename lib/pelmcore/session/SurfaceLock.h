// A display's surface held under the session's frame-buffer lock for one
// drawing step. What the step adds to the surface's damage is repainted
// when the lock goes (or is released early).
#pragma once

#include "session/SlotSessionPort.h"

class SurfaceLock {
 public:
  // Holds nothing without a port, without windows or without a surface.
  SurfaceLock(ISlotSessionPort* port, int display)
      : surfaces_(port ? port->Surfaces() : nullptr),
        display_(display),
        surface_(surfaces_ ? surfaces_->Lock(display) : nullptr) {}
  ~SurfaceLock() { Release(); }

  ISurfaceKeeper* Surface() const { return surface_; }
  void Release() {
    if (surface_) surfaces_->Unlock(surface_, display_);
    surface_ = nullptr;
  }

  SurfaceLock(const SurfaceLock&) = delete;
  SurfaceLock& operator=(const SurfaceLock&) = delete;

 private:
  IDisplaySurfaces* const surfaces_;
  const int display_;
  ISurfaceKeeper* surface_;
};
