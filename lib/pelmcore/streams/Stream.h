// A media stream of the stream slot. The slot processor creates one from a
// format, feeds it samples, drives its state and window and finally closes
// and deletes it; every kind overrides what it serves.
#pragma once

#include <cstdint>
#include <vector>

#include "pelplat/wintypes.h"
#include "streamshared/StreamRecords.h"

// Handed with every sample. sampleInfo points at a record owned by the
// caller for the duration of the call.
struct StreamSampleContext {
  uint8_t preDecoded = 0;  // the data are 3-byte pixels (width x height)
  int32_t width = 0;
  int32_t height = 0;
  const SampleInfoRecord* sampleInfo = nullptr;
};

class CStream {
 public:
  CStream() = default;
  virtual ~CStream();
  virtual int SetWaveFormat(const WaveFormatRecord& format);
  // 0 accepts the format.
  virtual int SetFormat(const StreamFormatRecord& record) = 0;
  virtual int ProcessSample(const uint8_t* data, uint32_t length,
                            const StreamSampleContext& context) = 0;
  // 0 stop, 1, 2 pause, 3 run.
  virtual int SetState(int state) = 0;
  virtual int NewSegment(const SegmentRecord& segment) = 0;
  virtual int SetAllocator(const AllocatorPropertiesRecord& properties);
  virtual int Close();
  // 1 stop the stream, 2 begin flush, 3 end flush.
  virtual int FilterEvent(int command);
  virtual int DSSetWindowRect(const RECT* rect, UINT_PTR window, int x, int y,
                              uint32_t colourKey);
  virtual int ShowWindow();
  virtual int OnParentPaint(UINT_PTR window, UINT_PTR deviceContext);
  virtual int UpdateWindowRectToScroll(int x, int y);
  virtual int OnUpdateView(const uint8_t* message, uint32_t length);

  // Keeps the first `size` bytes of the record's wire form. -1 for a size
  // of 0, of the size limit or more, or beyond the record's bytes.
  int SetFormatRecord(const StreamFormatRecord& record);
  // Empty until SetFormatRecord kept a copy.
  const std::vector<uint8_t>& FormatRecord() const { return formatRecord_; }
  const RECT& CurrentRect() const { return currentRect_; }

  CStream(const CStream&) = delete;
  CStream& operator=(const CStream&) = delete;

 protected:
  std::vector<uint8_t> formatRecord_;
  void* player_ = nullptr;  // the video filter library's player, for the kinds that use one
  RECT previousRect_{};
  RECT currentRect_{};
};
