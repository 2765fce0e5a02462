// The display surfaces of a session over its system API: the frame-buffer
// lock, the windows' repaints and what the display slot tells the windows.
// Repaint is the one place a surface's damage becomes a window's repaint.
#pragma once

#include "pelplat/wintypes.h"
#include "session/SlotSessionPort.h"

class CClientSystemApi;

class SystemApiSurfaces : public IDisplaySurfaces {
 public:
  // The system API outlives the surfaces.
  explicit SystemApiSurfaces(CClientSystemApi* api) : api_(api) {}

  CClientSystemApi* Api() const { return api_; }

  uintptr_t WindowId(int display) override;
  ISurfaceKeeper* Lock(int display) override;
  void Unlock(ISurfaceKeeper* surface, int display) override;
  void Repaint(ISurfaceKeeper* surface, int display) override;
  uint32_t VideoDrawing() override;
  void SetVideoDrawing(int32_t flag, const uint8_t* record) override;
  void SetDesktopGeometry(int32_t a, int32_t b, int32_t c, int32_t d) override;
  void ResizeDisplay(int width, int height, int depth, int display) override;
  void SetCursor(const uint8_t* record, uint32_t length, int display) override;
  void SetPointerPosition(int x, int y, int display) override;
  void PostText(const char* text) override;

 private:
  // {left, top, right, bottom}, all -1 for nothing.
  void Invalidate(const RECT& box, int display);

  CClientSystemApi* const api_;
};
