// The MJPEG stream kind: each sample is a JPEG picture (or pixels the
// worker pool decoded ahead), drawn into the stream's rectangle of the
// display with a keyed copy, or a keyed stretch when the sizes differ.
#pragma once

#include <memory>

#include "streams/SurfaceVideoStream.h"

class JpegOutBuffer;

class CDJStream : public CSurfaceVideoStream {
 public:
  CDJStream(std::shared_ptr<ISlotSessionPort> port, int displayIndex);
  ~CDJStream() override;

  // RGB24 video, or MJPEG with null major and format types; else E_FAIL.
  int SetFormat(const StreamFormatRecord& record) override;
  int ProcessSample(const uint8_t* data, uint32_t length,
                    const StreamSampleContext& context) override;
  int SetState(int) override { return 0; }
  int NewSegment(const SegmentRecord&) override { return 0; }

 private:
  void DrawFrame(const uint8_t* data, uint32_t length, const StreamSampleContext& context);

  // The decoded pixels, kept from frame to frame so that a picture of the
  // same size reuses the block of the one before.
  std::unique_ptr<JpegOutBuffer> pixels_;
  uint64_t pixelBytes_ = 0;  // the largest picture the block has held
};
