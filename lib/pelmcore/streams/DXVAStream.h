// The hardware-decoded stream kind (format kind 2): the server sends ready
// DXVA2 compressed buffers for every H.264 or VC-1 picture; the stream hands
// them to the adapter's decoder, puts H.264 pictures back into display
// order and draws each shown picture into its display's surface. Built
// without a session, the same class answers the start-up profile probe.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/dxva2api.h"
#include "streams/Stream.h"
#include "session/SlotSessionPort.h"
#include "sys/CxMutex.h"

// Intel graphics' own H.264 and VC-1 VLD profiles.
PELPLAT_GUID(kIntelH264VldProfile, 0x604f8e68, 0x4951, 0x4c54, 0x88, 0xfe, 0xab, 0xd2, 0x5c, 0x15, 0xb3, 0xd6);
PELPLAT_GUID(kIntelVc1VldProfile, 0xbcc5db6d, 0xa2b6, 0x4af0, 0xac, 0xe4, 0xad, 0xb1, 0xf7, 0x87, 0xbc, 0x89);

class CDXVAStream : public CStream {
 public:
  static constexpr HRESULT kNoDecoder = 0x1005;
  static constexpr HRESULT kNoConfiguration = 0x1004;
  static constexpr uint32_t kFormatRecordSize = 248;
  static constexpr uint32_t kDescriptionSize = 184;
  static constexpr uint32_t kMaxBufferRecords = 4;
  static constexpr uint32_t kMaxSurfaces = 128;
  static constexpr uint32_t kVendorIntel = 0x8086;
  static constexpr uint32_t kVendorNvidia = 0x10DE;

  // A stream drawing into `displayIndex` of the session behind `port`.
  CDXVAStream(std::shared_ptr<ISlotSessionPort> port, HWND window, HRESULT* status, int displayIndex);
  // A probe: no session, nothing drawn.
  CDXVAStream(HWND window, HRESULT* status, int displayIndex);
  ~CDXVAStream() override;

  int SetWaveFormat(const WaveFormatRecord&) override { return -1; }
  int SetFormat(const StreamFormatRecord& record) override;
  int ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext& context) override;
  int SetState(int) override { return E_NOTIMPL; }
  int NewSegment(const SegmentRecord&) override { return E_NOTIMPL; }
  int SetAllocator(const AllocatorPropertiesRecord&) override { return -1; }
  int Close() override;
  int FilterEvent(int) override { return -1; }
  int DSSetWindowRect(const RECT*, UINT_PTR, int, int, uint32_t) override { return E_NOTIMPL; }
  int ShowWindow() override { return -1; }
  int OnParentPaint(UINT_PTR, UINT_PTR) override { return 0; }
  int UpdateWindowRectToScroll(int, int) override { return 0; }

  // The capability mask of the profiles the adapter lists.
  uint32_t ProbeProfiles();
  // The mask announced in the hello: a probe stream on the desktop window.
  static uint32_t ProbeDxvaProfiles();
  // The profile a decoder is created with for a record made for another vendor.
  static GUID TranslateProfile(const GUID& requested, uint32_t recordVendor, uint32_t adapterVendor);

  CDXVAStream(const CDXVAStream&) = delete;
  CDXVAStream& operator=(const CDXVAStream&) = delete;

  // One buffer record of a frame record, its contents still in the frame.
  struct BufferRecord {
    uint32_t type = 0;
    uint32_t dataOffset = 0;
    uint32_t dataSize = 0;
    uint32_t firstMBaddress = 0;
    uint32_t numMBsInBuffer = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;
    uint32_t reservedBits = 0;
    const uint8_t* data = nullptr;
  };
  struct FrameRecord {
    RECT rect{};
    int32_t colourKey = -1;
    uint32_t count = 0;
    std::array<BufferRecord, kMaxBufferRecords> buffers;
    // The first picture-parameters record, or null.
    const BufferRecord* PictureParameters() const;
  };
  // False for more than four buffer records or any of them past `length`.
  static bool ParseFrameRecord(const uint8_t* data, uint32_t length, FrameRecord* frame);

 private:
  enum class Routine { kNone, kH264, kVc1 };
  struct QueueEntry {
    int32_t queued = 0;
    int32_t free = 1;
    int32_t surfaceIndex = -1;
    int32_t key = -1;
  };
  struct Description;

  HRESULT SetupDevice(HWND window);
  HRESULT CreateDecoder(const GUID& profile, const uint8_t* description);
  HRESULT RecreateDecoder();
  void ReleaseDecoderResources();
  void ReleaseDevice();

  HRESULT DecodeH264(const FrameRecord& frame);
  HRESULT DecodeVC1(const FrameRecord& frame);
  HRESULT CheckDevice();
  HRESULT BeginFrameWithRetries(uint32_t surfaceIndex);
  // Fills the decoder's buffers and executes. False when the buffers could
  // not be filled (Execute was not called); `result` says why.
  bool SubmitBuffers(const FrameRecord& frame, HRESULT* result);
  void EndOpenFrames();
  HRESULT DrawSurface(IDirect3DSurface9* surface, const RECT& rect, int32_t colourKey);

  void RebuildQueue();
  bool QueuePicture(uint32_t surfaceIndex, int32_t key, uint32_t numRefFrames);
  int TakeNextPicture();  // entry index, or -1
  void FreeEntry(int entry);

  std::shared_ptr<ISlotSessionPort> port_;
  int displayIndex_ = 0;
  bool syncedBuffers_ = false;
  CxMutex lock_;
  UINT resetToken_ = 0;
  pelplat::Ref<IDirect3D9> d3d_;
  pelplat::Ref<IDirect3DDevice9> device_;
  pelplat::Ref<IDirect3DDeviceManager9> manager_;
  pelplat::Ref<IDirectXVideoDecoderService> service_;
  pelplat::Ref<IDirectXVideoDecoder> decoder_;
  std::vector<pelplat::Ref<IDirect3DSurface9>> surfaces_;
  uint32_t adapterVendor_ = 0;
  HANDLE deviceHandle_ = nullptr;
  GUID profile_{};
  std::vector<uint8_t> description_;
  pelplat::Ref<IDirect3DSurface9> conversionTarget_;
  pelplat::Ref<IDirect3DSurface9> readBack_;
  Routine routine_ = Routine::kNone;
  std::array<uint8_t, 44> lastVc1Params_{};
  uint32_t openFrames_ = 0;  // BeginFrame calls not yet ended

  CxMutex queueLock_;
  std::vector<QueueEntry> queue_;
  uint32_t reorderDepth_ = 0;
  uint32_t queuedCount_ = 0;
  int32_t lastOutputKey_ = -1;
};

// Registers the stream kind and installs the hello's DXVA profile probe.
void RegisterDxvaStreamKind();
