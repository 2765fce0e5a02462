// What the tunnel services need of the session client they serve: sending
// on the control slot, the display's system API and the session's remote-I/O
// object. The session client implements it.
#pragma once

#include <cstdint>
#include <memory>

class CClientSystemApi;
class CSlotDataProcessor;
namespace qmt {
class RemoteIo;
}

class ITunnelClient {
 public:
  // The caller keeps its buffer. Answers the payload bytes sent, 0 when
  // nothing was sent, 3 without a connection.
  virtual int SendOnSlot(uint16_t slot, const void* data, uint32_t length) = 0;
  // The processor at the first display slot; null without one.
  virtual CSlotDataProcessor* GetDisplayProcessor() = 0;
  virtual CClientSystemApi* SystemApi() const = 0;
  // The session's remote-I/O object, made on first use; `recreate` drops
  // the old one first.
  virtual std::shared_ptr<qmt::RemoteIo> GetRemoteIo(bool recreate) = 0;

 protected:
  ~ITunnelClient() = default;
};
