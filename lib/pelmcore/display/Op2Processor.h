// The processor of the display-update slot "HPVCARD " for one display: it
// decodes each packet into the display's surface under the system API's
// frame-buffer lock, inline on the dispatch thread that delivers it, and
// reports what changed so that the session window repaints.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/Op2Decoder.h"
#include "display/Op2Requests.h"
#include "display/TileWriter.h"
#include "pelplat/wintypes.h"
#include "session/SlotDataProcessor.h"

class ISurfaceKeeper;

class COp2Processor : public CSlotDataProcessor, public IOp2Requests {
 public:
  static constexpr uint32_t kRefreshEvent = 0x4A000;
  static constexpr int kNoSurface = 9999;

  explicit COp2Processor(int displayIndex);
  ~COp2Processor() override;

  int OnData(const uint8_t* data, uint32_t length) override;
  int OnClientData(const void* record, uint32_t length) override;
  void Attach(uint16_t slot, ISlotHost* host) override;
  int OnServerDisplayBlock(const void* block) override;
  void SetDesktopGeometry(const int32_t values[4]) override;
  void CopyRect(int sourceX, int sourceY, int left, int top, int right, int bottom) override;
  void SetPointerShape(const BYTE* record, size_t length) override;
  void SetPointerPosition(int x, int y) override;
  void SetPalette(const BYTE* entries) override;
  void SetMode(int width, int height, int depth) override;
  void DrawTile(int x, int y, const BYTE* pixels, size_t pixelBytes, BYTE* record,
                size_t recordBytes) override;
  void DrawTile16(int x, int y, const BYTE* pixels, size_t pixelBytes) override;

  // 0, or kNoSurface when the display has no surface (the packet is
  // dropped).
  int ProcessPacket(const uint8_t* data, size_t length);
  void FlushSurface() override;
  // Repaints the surface's damage; only while a packet is decoded (the
  // surface is locked).
  void ReportDirtyRect();
  void RequestRefresh() override;
  int FlushMode() override { return flushMode; }
  void SendClientEvent(uint32_t code, const BYTE* data, uint32_t length) override;
  void SetStreamOverlayFlag(int flag, const BYTE* record, size_t length) override;
  void PostTextMessage(const char* text) override;
  bool AlignsContainers() override;

  int DisplayIndex() const { return displayIndex; }
  const Op2Decoder& Decoder() const { return decoder; }
  uint64_t PacketCount() const { return packetCount; }

 private:
  // The session's display surfaces; null without windows.
  IDisplaySurfaces* Windows() const { return session ? session->Surfaces() : nullptr; }
  void GrowDirtyBox(int x, int y, int width, int height);
  // The tile writer's box into the surface's damage.
  void MergeWrittenTiles();
  // The writer follows the surface's targets after they changed.
  void RefreshTileWriter();
  // Bytes of one pixel as the surface stores it; 0 without pixels.
  int SurfacePixelBytes() const;

  const int displayIndex;
  Op2Decoder decoder;
  ISurfaceKeeper* surface = nullptr;  // only while a packet is decoded
  // Damage drawn to the surface's shadow and not yet flushed.
  RECT heldDamage{-1, -1, -1, -1};
  TileWriter writer;
  int32_t geometry[4] = {};
  bool geometryPending = false;
  bool geometrySeen = false;
  int32_t flushMode = 0;
  uint64_t packetCount = 0;
};

// Makes the session client create a COp2Processor for every display slot.
void RegisterOp2ProcessorMaker();
