#include "session/SystemApiSurfaces.h"

#include "display/SurfaceKeeper.h"
#include "session/ClientSystemApi.h"

uintptr_t SystemApiSurfaces::WindowId(int display) { return api_ ? api_->GetDisplayWindowId(display) : 0; }

ISurfaceKeeper* SystemApiSurfaces::Lock(int display) { return api_ ? api_->LockFrameBuffer(display) : nullptr; }

void SystemApiSurfaces::Unlock(ISurfaceKeeper* surface, int display) {
  if (!surface || !api_) return;
  const RECT box = surface->TakeDamage();
  api_->UnlockFrameBuffer(surface);
  Invalidate(box, display);
}

void SystemApiSurfaces::Repaint(ISurfaceKeeper* surface, int display) {
  if (surface && api_) Invalidate(surface->TakeDamage(), display);
}

void SystemApiSurfaces::Invalidate(const RECT& box, int display) {
  if (box.left != -1) api_->InvalidateRect(box.left, box.top, box.right - box.left, box.bottom - box.top, display);
}

uint32_t SystemApiSurfaces::VideoDrawing() {
  return api_ ? static_cast<uint32_t>(api_->streamOverlayFlag.load()) : 0;
}

void SystemApiSurfaces::SetVideoDrawing(int32_t flag, const uint8_t* record) {
  if (api_) api_->SetStreamOverlayFlag(flag, const_cast<uint8_t*>(record));
}

void SystemApiSurfaces::SetDesktopGeometry(int32_t a, int32_t b, int32_t c, int32_t d) {
  if (api_) api_->SetDesktopGeometry(a, b, c, d);
}

void SystemApiSurfaces::ResizeDisplay(int width, int height, int depth, int display) {
  if (api_) api_->ResizeDisplay(width, height, depth, display);
}

void SystemApiSurfaces::SetCursor(const uint8_t* record, uint32_t length, int display) {
  if (api_) api_->SetCursor(record, length, display);
}

void SystemApiSurfaces::SetPointerPosition(int x, int y, int display) {
  if (api_) api_->SetPointerPosition(x, y, display);
}

void SystemApiSurfaces::PostText(const char* text) {
  if (api_) api_->PostTextMessage(text);
}
