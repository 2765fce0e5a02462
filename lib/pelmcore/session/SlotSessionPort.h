// What a slot processor needs of the session it is attached to: sending on
// its own slot, the client events of the control slot, the connection
// parameters it reads and the stream layout the server chose. The session
// core implements it over its client, the tests over a recorder.
#pragma once

#include <cstdint>

#include "transport/Status.h"

class CClientConnectionParameter;

class ISlotSessionPort {
 public:
  virtual ~ISlotSessionPort() = default;
  // Sends one record on the processor's slot; the caller keeps its buffer.
  virtual SendResult SendOnSlot(const void* data, uint32_t length) = 0;
  // Control message 273 with an event record around the data; -1 without a
  // control processor.
  virtual int SendClientEvent(uint32_t code, const void* data, uint32_t length) = 0;
  // Null when the session has none.
  virtual const CClientConnectionParameter* Parameters() = 0;
  // The display stream's containers are aligned (the server's default).
  virtual bool AlignsContainers() = 0;
};
