// The stream kind that plays a compressed video stream through the video
// filter library: one player per stream, the samples pushed into it, and
// this stream as the frame callback through which the library reaches the
// display surface.
#pragma once

#include <memory>

#include "streams/Stream.h"
#include "streams/StreamKindFactory.h"
#include "streamshared/IDSFrameProcessor.h"

class ISlotSessionPort;

class CDSStream : public CStream, public IDSFrameProcessor {
 public:
  CDSStream(std::shared_ptr<ISlotSessionPort> port, UINT_PTR window, uint32_t colourKey, int displayIndex);
  ~CDSStream() override;

  int SetFormat(const StreamFormatRecord& record) override;
  int ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext& context) override;
  int SetState(int state) override;
  int NewSegment(const SegmentRecord& segment) override;
  int SetAllocator(const AllocatorPropertiesRecord& properties) override;
  int Close() override;
  int FilterEvent(int command) override;
  int DSSetWindowRect(const RECT* rect, UINT_PTR window, int x, int y, uint32_t colourKey) override;
  int ShowWindow() override;
  int OnParentPaint(UINT_PTR window, UINT_PTR deviceContext) override;
  int UpdateWindowRectToScroll(int x, int y) override;

  HRESULT DrawFrameBits(const BYTE* pixels, void* unused, int width, int height, int bitsPerPixel) override;
  HRESULT GetSurfaceBitmap(SurfaceBitmap** bitmap) override;
  HRESULT PresentFrame(void* sourceSurface, const RECT* source, const RECT* destination) override;

  // The colour key as a pixel of a surface of that depth (16 or 24 bits;
  // 0 for any other depth).
  static uint32_t SurfaceColourKey(uint32_t colourRef, int depth);
  uint32_t SurfaceKey() const { return surfaceKey_; }
  int SurfaceDepth() const { return surfaceDepth_; }
  const RECT& VideoRect() const { return videoRect_; }
  void* Player() const { return player_; }

 private:
  std::shared_ptr<ISlotSessionPort> port_;
  UINT_PTR window_;
  uint32_t colourKey_;  // COLORREF
  uint32_t surfaceKey_ = 0;
  int surfaceDepth_ = 24;
  RECT videoRect_{};
  int displayIndex_;
};

// Makes the DirectShow stream kind and installs the library's decoder
// detection as the hello's probe.
void RegisterDirectShowStreams();
