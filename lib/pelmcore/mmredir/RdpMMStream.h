// One stream of a redirected presentation as the channel and the
// presentation see it: its format, the server's samples and the server's
// playback notifications.
#pragma once

#include <cstdint>
#include <memory>

#include "virtchan/RdpVirtualChannel.h"

class IRdpMMStream {
 public:
  virtual ~IRdpMMStream() = default;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  virtual uint32_t GetStreamId() = 0;
  // S_OK when a local decoder takes the TS_AM_MEDIA_TYPE, else E_NOTIMPL.
  virtual int32_t CheckMediaFormat(uint32_t length, const uint8_t* format) = 0;
  // The first channel handed in carries every acknowledgement.
  virtual int32_t SetChannel(std::shared_ptr<IRdpVirtualChannel> channel) = 0;
  virtual int32_t SetMediaType(uint32_t length, const uint8_t* format) = 0;
  // One TS_MM_DATA_SAMPLE of count bytes; it waits until the source pulls it.
  virtual int32_t OnSample(const uint8_t* sample, uint32_t count) = 0;
  virtual int32_t OnVolume(uint32_t volume, uint32_t muted) = 0;
  virtual int32_t OnRemove() = 0;
  virtual int32_t OnStart(int64_t startOffset, uint32_t seek) = 0;
  virtual int32_t OnPause() = 0;
  virtual int32_t OnStop() = 0;
  virtual int32_t OnReStart() = 0;
  virtual int32_t OnFlush() = 0;
  virtual int32_t OnPreroll() = 0;
  virtual int32_t OnTopology() = 0;
  virtual int32_t OnEndOfStream() = 0;
  virtual int32_t OnClose() = 0;
};
