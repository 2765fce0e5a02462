// What the tunnel services need of the session client they serve: sending
// on the control slot, a text shown in the first display's window and the
// session's remote-I/O object. The session client implements it.
#pragma once

#include <cstdint>
#include <memory>

namespace qmt {
class RemoteIo;
}

class ITunnelClient {
 public:
  // The caller keeps its buffer. Answers the payload bytes sent, 0 when
  // nothing was sent, 3 without a connection.
  virtual int SendOnSlot(uint16_t slot, const void* data, uint32_t length) = 0;
  // Shows the text in the session window of the first display; false when
  // the session has no display, and so no window to show it in.
  virtual bool PostDisplayText(const char* text) = 0;
  // The session's remote-I/O object, made on first use; `recreate` drops
  // the old one first.
  virtual std::shared_ptr<qmt::RemoteIo> GetRemoteIo(bool recreate) = 0;

 protected:
  ~ITunnelClient() = default;
};
