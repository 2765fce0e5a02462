// What the virtual channels need of their session: sending one slot message
// on the session's current "MSVCEXT " slot and the connection parameters.
// The session core implements it over its client; tests over a recorder.
// The processor and every channel share one, and the processor cuts it off
// when it detaches, so that a channel still running sends nothing into a
// session that is going away.
#pragma once

#include <cstdint>
#include <memory>

class CClientConnectionParameter;
class CGenericClient;

class IVirtChanSession {
 public:
  virtual ~IVirtChanSession() = default;
  // The caller keeps its buffer. Failures are not reported.
  virtual void SendOnChannelSlot(const void* data, uint32_t length) = 0;
  // Null when the session has none.
  virtual const CClientConnectionParameter* Parameters() = 0;
  // Sends after this are dropped; waits for a send under way.
  virtual void Cut() = 0;
  // The native id of the session window of a display, 0 when there is none
  // (or the port has been cut).
  virtual uintptr_t DisplayWindowId(int /*display*/) { return 0; }
};

// The session port over a real client; `slot` is used when the client does
// not name its channel slot itself.
std::shared_ptr<IVirtChanSession> MakeClientVirtChanSession(CGenericClient* client, uint16_t slot);
