// What a dispatch thread needs of the connection that queued packets to it:
// a counted reference for as long as the thread lives, the routing of each
// packet on the thread, and the end of the session when a delivery fails.
#pragma once

#include <cstdint>

#include "sys/Atom.h"

struct PacketBuffer;

class CPacketRouter : public CAtom {
 public:
  // 1 when the receiver kept the buffer.
  virtual uint8_t RoutePacket(PacketBuffer* buffer) = 0;
  // Ends the receive loop.
  virtual void StopLoop(int sleepFirst) = 0;
};
