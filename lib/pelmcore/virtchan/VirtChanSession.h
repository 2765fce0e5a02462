// What the virtual channels need of their session: sending one slot message
// on the channel slot and the connection parameters. The processor and
// every channel share one; it passes their sends to the processor's slot
// port while the processor is attached, and the processor cuts it when it
// detaches, so that a channel still running sends nothing into a session
// that is going away.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class CClientConnectionParameter;
class ISlotSessionPort;

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

// The channels' session over a slot port, which it does not own: the
// processor binds its port at attach and cuts it before the port goes.
class ChannelSlotSession : public IVirtChanSession {
 public:
  // Sends go to `port` from now on; null drops them.
  void Bind(ISlotSessionPort* port);
  void SendOnChannelSlot(const void* data, uint32_t length) override;
  // Asked on the slot's dispatch thread, which holds the client's processor
  // lock that a send takes: so without the send lock.
  const CClientConnectionParameter* Parameters() override;
  void Cut() override { Bind(nullptr); }
  uintptr_t DisplayWindowId(int display) override;

 private:
  std::mutex mutex_;
  std::atomic<ISlotSessionPort*> port_{nullptr};
};
