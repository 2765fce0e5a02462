// The channel fuzz targets' session: it takes every send and has no
// connection parameters.
#pragma once

#include <cstdint>

#include "virtchan/VirtChanSession.h"

class QuietChannelSession : public IVirtChanSession {
 public:
  void SendOnChannelSlot(const void*, uint32_t) override {}
  const CClientConnectionParameter* Parameters() override { return nullptr; }
  void Cut() override {}
};
