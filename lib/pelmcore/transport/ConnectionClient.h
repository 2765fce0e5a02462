// What the connection needs of the session client it feeds: delivery of
// framed packets and notifications, the slot tables the handshake fixed for
// routing, and how each slot wants its packets dispatched. The session
// client implements it; a connection without one calls its plain callback.
#pragma once

#include <cstdint>

class CConnection;
struct PacketBuffer;

class IConnectionClient {
 public:
  // Entries in each of the display and stream slot tables.
  static constexpr int kSlotTableSize = 4;
  // How a slot's packets reach it: on the connection's shared dispatch
  // thread, on a dispatch thread of its own, or on the connection thread.
  enum ThreadMode { kSharedDispatch = 0, kOwnDispatch = 1, kConnectionThread = 2 };

  // A control-slot message, or a notification (103 connected, 104 closed)
  // without data and the code as length.
  virtual int OnControlMessage(const uint8_t* data, int length, CConnection* connection) = 0;
  // 1 when the processor kept the buffer; the buffer's result says how the
  // delivery went.
  virtual uint8_t DeliverSlotPacket(PacketBuffer* buffer, CConnection* connection) = 0;
  virtual int GetSlotThreadMode(uint16_t slot) = 0;
  // 0 asks for TCP_NODELAY.
  virtual int GetParamFlags() = 0;
  // The connection is replaying a recorded session rather than talking to
  // a server.
  virtual void SetReplaying(bool replaying) = 0;
  // The display and stream slot tables (kSlotTableSize ids each), and
  // whether the server numbers displays and streams in the header.
  virtual const uint16_t* DisplaySlotTable() const = 0;
  virtual const uint16_t* StreamSlotTable() const = 0;
  virtual bool RemapsSlots() const = 0;

 protected:
  ~IConnectionClient() = default;
};
