// The first decoded stream kind the slot tries: it takes no format, so the
// creation probe always moves on to the next kind.
#pragma once

#include "streams/Stream.h"

class CVideoStream : public virtual CStream {
 public:
  CVideoStream() = default;
  int SetFormat(const StreamFormatRecord&) override { return -1; }
  int ProcessSample(const uint8_t*, uint32_t, const StreamSampleContext&) override { return -1; }
  int SetState(int) override { return -1; }
  int NewSegment(const SegmentRecord&) override { return -1; }
};
