// A channel as the rest of the program sees it: send one whole application
// message (chunked as the channel's protocol requires) or close it.
#pragma once

#include <cstdint>

class IRdpVirtualChannel {
 public:
  virtual ~IRdpVirtualChannel() = default;
  virtual int32_t Write(uint32_t length, const void* data) = 0;
  virtual int32_t Close() = 0;
};
