#include "display/Op2Processor.h"

#include <new>
#include <vector>

#include "display/SurfaceClip.h"
#include "display/SurfaceKeeper.h"
#include "session/SlotProcessorFactory.h"

namespace {

constexpr int kTile = 8;
constexpr int kTile16 = 16;
constexpr uint32_t kCannotTake = Op2Decoder::kCannotTake;

}  // namespace

COp2Processor::COp2Processor(int index) : displayIndex(index) {}

COp2Processor::~COp2Processor() = default;

int COp2Processor::OnData(const uint8_t* data, uint32_t length) {
  if (length != kCannotTake) ++packetCount;
  ProcessPacket(data, length);
  return 0;
}

int COp2Processor::OnClientData(const void*, uint32_t) { return 0; }

void COp2Processor::Attach(uint16_t newSlot, ISlotHost* newHost) {
  CSlotDataProcessor::Attach(newSlot, newHost);
  if (Slot() == kDetached) return;
  // No connection parameter carries a flush mode, so every session runs
  // in mode 0.
  flushMode = 0;
}

int COp2Processor::OnServerDisplayBlock(const void* block) {
  if (block) decoder.ApplyDisplayBlock(static_cast<const BYTE*>(block));
  return 0;
}

int COp2Processor::ProcessPacket(const uint8_t* data, size_t length) {
  IDisplaySurfaces* windows = Windows();
  ISurfaceKeeper* locked = windows ? windows->Lock(displayIndex) : nullptr;
  if (!locked) return kNoSurface;
  surface = locked;
  if (heldDamage.left != -1) {
    locked->AddDamage(heldDamage.left, heldDamage.top, heldDamage.right - heldDamage.left,
                      heldDamage.bottom - heldDamage.top);
    heldDamage = RECT{-1, -1, -1, -1};
  }
  RefreshTileWriter();
  const BYTE* bytes = data;
  decoder.BeginPacket(*this, &bytes, &length);
  size_t position = 0;
  while (bytes && position + 1 < length) {
    if (geometryPending) {
      geometryPending = false;
      windows->SetDesktopGeometry(geometry[0], geometry[1], geometry[2], geometry[3]);
    }
    const uint32_t used = decoder.DecodeCommand(*this, bytes + position, length - position);
    if (used == kCannotTake || used == 0) break;
    position += used;
  }
  decoder.EndPacket(*this);
  MergeWrittenTiles();
  tileWriter = nullptr;
  writer.End();
  // What went to a shadow is shown from the next flush on; until then its
  // damage waits here, where no other painter's unlock takes it.
  if (surface->HasShadow()) heldDamage = surface->TakeDamage();
  surface = nullptr;
  windows->Unlock(locked, displayIndex);
  return 0;
}

void COp2Processor::SetDesktopGeometry(const int32_t values[4]) {
  for (int i = 0; i < 4; ++i) geometry[i] = values[i];
  geometryPending = true;
  geometrySeen = true;
}

int COp2Processor::SurfacePixelBytes() const {
  return surface && surface->GetWidth() > 0 ? surface->GetBitsPerPixel() / 8 : 0;
}

void COp2Processor::GrowDirtyBox(int x, int y, int width, int height) {
  // The surface keeps only what lies on it.
  if (surface) surface->AddDamage(x, y, width, height);
}

void COp2Processor::MergeWrittenTiles() {
  const RECT box = writer.TakeDrawnBox();
  if (box.left == -1 || !surface) return;
  surface->AddDamage(box.left, box.top, box.right - box.left, box.bottom - box.top);
}

void COp2Processor::RefreshTileWriter() {
  MergeWrittenTiles();
  tileWriter = surface && writer.Begin(surface) ? &writer : nullptr;
}

void COp2Processor::CopyRect(int sourceX, int sourceY, int left, int top, int right, int bottom) {
  if (!surface) return;
  int destX = left, destY = top, width = right - left, height = bottom - top;
  // The order's values are raw; only the part of the copy that has both
  // its source and its destination on the surface is carried out.
  if (!ClipCopyRect(surface->GetWidth(), surface->GetHeight(), &destX, &destY, &sourceX, &sourceY,
                    &width, &height))
    return;
  surface->CopyRect(destX, destY, sourceX, sourceY, width, height);
  GrowDirtyBox(destX, destY, width, height);
}

void COp2Processor::SetPointerShape(const BYTE* record, size_t length) {
  if (IDisplaySurfaces* windows = Windows()) windows->SetCursor(record, uint32_t(length), displayIndex);
}

void COp2Processor::SetPointerPosition(int x, int y) {
  if (IDisplaySurfaces* windows = Windows()) windows->SetPointerPosition(x, y, displayIndex);
}

void COp2Processor::SetPalette(const BYTE* entries) {
  if (surface) surface->SetPalette(entries, 256);
}

void COp2Processor::SetMode(int width, int height, int depth) {
  IDisplaySurfaces* windows = Windows();
  if (!windows) return;
  if (!geometrySeen) windows->SetDesktopGeometry(width, height, 0, 0);
  MergeWrittenTiles();
  windows->ResizeDisplay(width, height, depth, displayIndex);
  RefreshTileWriter();
}

void COp2Processor::DrawTile(int x, int y, const BYTE* pixels, size_t pixelBytes, BYTE* record,
                             size_t recordBytes) {
  // The surface reads and records whole tiles of its own pixel size; a
  // source or slot made for narrower pixels (a mode the surface did not
  // take) must not be overrun.
  const size_t tileBytes = size_t(kTile) * kTile * SurfacePixelBytes();
  if (!tileBytes || !pixels || pixelBytes < tileBytes) return;
  if (recordBytes < tileBytes) record = nullptr;
  surface->DrawTile(x, y, pixels, record);
  GrowDirtyBox(x, y, kTile, kTile);
}

void COp2Processor::DrawTile16(int x, int y, const BYTE* pixels, size_t pixelBytes) {
  const size_t tileBytes = size_t(kTile16) * kTile16 * SurfacePixelBytes();
  if (!tileBytes || !pixels || pixelBytes < tileBytes) return;
  surface->DrawTile16(x, y, pixels);
  GrowDirtyBox(x, y, kTile16, kTile16);
}

void COp2Processor::FlushSurface() {
  if (!surface) return;
  surface->BeginShadow();
  surface->CommitShadow();
  ReportDirtyRect();
  // From the first flush on, tiles go to the shadow.
  RefreshTileWriter();
}

void COp2Processor::ReportDirtyRect() {
  MergeWrittenTiles();
  IDisplaySurfaces* windows = Windows();
  if (surface && windows) windows->Repaint(surface, displayIndex);
}

void COp2Processor::RequestRefresh() {
  const BYTE zero[4] = {};
  SendClientEvent(kRefreshEvent, zero, sizeof zero);
}

void COp2Processor::SendClientEvent(uint32_t code, const BYTE* data, uint32_t length) {
  if (session) session->SendClientEvent(code, data, length);
}

void COp2Processor::SetStreamOverlayFlag(int flag, const BYTE* record, size_t) {
  if (IDisplaySurfaces* windows = Windows()) windows->SetVideoDrawing(flag, record);
}

void COp2Processor::PostTextMessage(const char* text) {
  if (IDisplaySurfaces* windows = Windows()) windows->PostText(text);
}

bool COp2Processor::AlignsContainers() {
  // Detached, the server's default, aligned lengths, holds.
  return !session || session->AlignsContainers();
}

void RegisterOp2ProcessorMaker() {
  RegisterSlotProcessorMaker(slotname::kDisplay, [](const SlotProcessorContext& context)
                                                     -> CSlotDataProcessor* {
    return new (std::nothrow) COp2Processor(context.displayIndex);
  });
}
