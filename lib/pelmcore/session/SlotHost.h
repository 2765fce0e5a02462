// What a slot processor needs of the session client it is attached to: a
// counted reference while attached, the system API, and what its slot's
// session port sends and reads. The session client implements it.
#pragma once

#include <cstdint>

class CClientConnectionParameter;
class CClientSystemApi;
class CGenericClient;

class ISlotHost {
 public:
  // The client as the processor's deliveries name it.
  virtual CGenericClient* SlotClient() = 0;
  virtual void HoldClient() = 0;
  // Drops the reference HoldClient took; the client may go with it.
  virtual void DropClient() = 0;
  virtual CClientSystemApi* SystemApi() const = 0;
  // The caller keeps its buffer. Answers the payload bytes sent, 0 when
  // nothing was sent, 3 without a connection.
  virtual int SendOnSlot(uint16_t slot, const void* data, uint32_t length) = 0;
  // Control message 273 with an event record around the data; -1 without a
  // control processor.
  virtual int SendClientEvent(uint32_t code, const void* data, uint32_t length) = 0;
  // Null when the session has none.
  virtual CClientConnectionParameter* Parameters() const = 0;
  // The display stream's containers are aligned (the server's default).
  virtual bool AlignsContainers() = 0;

 protected:
  ~ISlotHost() = default;
};
