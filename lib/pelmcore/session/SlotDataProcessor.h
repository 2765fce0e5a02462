// Base of every slot processor: the control processor, the display and
// keyboard processors, the audio, stream and virtual-channel processors. A
// processor is owned by the session client and every call into it holds the
// client's processor lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "pelplat/wintypes.h"
#include "session/SlotHost.h"
#include "session/SlotSessionPort.h"
#include "transport/ConnectionClient.h"

struct PacketBuffer;

class CSlotDataProcessor {
 public:
  static constexpr uint16_t kDetached = 0xFFFF;
  // Thread modes: share the connection's dispatch thread, own dispatch
  // thread, deliver on the connection thread.
  using ThreadMode = IConnectionClient::ThreadMode;
  static constexpr ThreadMode kSharedDispatch = IConnectionClient::kSharedDispatch;
  static constexpr ThreadMode kOwnDispatch = IConnectionClient::kOwnDispatch;
  static constexpr ThreadMode kConnectionThread = IConnectionClient::kConnectionThread;

  CSlotDataProcessor() = default;
  virtual ~CSlotDataProcessor();
  virtual int GetThreadMode();
  virtual int OnData(const uint8_t* data, uint32_t length) = 0;
  // 1 when the processor keeps the buffer; it then gives it back to the pool.
  virtual uint8_t OnPacket(PacketBuffer* buffer);
  virtual int OnClientData(const void* record, uint32_t length) = 0;
  virtual int InjectData(const uint8_t* data, uint32_t length);
  virtual bool WantsOwnDispatch(void* out);
  // Attaches to the host's client at `slot`, or detaches (null host).
  virtual void Attach(uint16_t slot, ISlotHost* host);
  // Attaches at `slot` with the port to the session, or detaches (null
  // port). Attach hands over a port over the host's client.
  virtual void AttachPort(uint16_t slot, std::unique_ptr<ISlotSessionPort> port);
  virtual void OnActivate(int value);
  virtual int SetSlotEntry(const void* data, uint32_t length, int replace);
  virtual int SetParameters(const void* data, uint32_t length, int replace);
  virtual int OnServerDisplayBlock(const void* block);
  virtual void OnWindowMoved(UINT_PTR windowId, UINT_PTR deviceContext);
  virtual void OnDisplayUpdated(UINT_PTR a, UINT_PTR b);
  virtual void CloseAll();

  uint16_t Slot() const { return slot; }
  // The session as the processor sees it; null before the first attach,
  // cut once detached.
  ISlotSessionPort* Session() const { return session.get(); }
  // The copies made by SetSlotEntry and SetParameters (null when none).
  const uint8_t* SlotEntry() const { return slotEntry; }
  uint32_t SlotEntryLength() const { return slotEntryLength; }
  const uint8_t* ParameterBlock() const { return parameterBlock; }
  uint32_t ParameterBlockLength() const { return parameterBlockLength; }

  CSlotDataProcessor(const CSlotDataProcessor&) = delete;
  CSlotDataProcessor& operator=(const CSlotDataProcessor&) = delete;

 protected:
  uint16_t slot = kDetached;
  // Over the host (holding a counted reference to its client) while attached.
  std::unique_ptr<ISlotSessionPort> session;
  std::vector<std::unique_ptr<ISlotSessionPort>> retired;  // earlier attaches' ports
  uint8_t* slotEntry = nullptr;
  uint32_t slotEntryLength = 0;
  uint8_t* parameterBlock = nullptr;
  uint32_t parameterBlockLength = 0;
};
