#include "session/SlotDataProcessor.h"

#include <cstring>
#include <new>

#include "session/ClientSlotPort.h"
#include "transport/PacketPool.h"

namespace {

constexpr int kNoMemory = 4;

// The rule both copies follow: replace, overwrite in place when the length
// matches, or make the first copy.
int StoreCopy(uint8_t** copy, uint32_t* copyLength, const void* data, uint32_t length, int replace) {
  if (!replace && *copy) {
    if (length == *copyLength && data) memcpy(*copy, data, length);
    return 0;
  }
  delete[] *copy;
  *copy = nullptr;
  *copyLength = 0;
  if (!data || length == 0) return 0;
  uint8_t* fresh = new (std::nothrow) uint8_t[length];
  if (!fresh) return kNoMemory;
  memcpy(fresh, data, length);
  *copy = fresh;
  *copyLength = length;
  return 0;
}

}  // namespace

CSlotDataProcessor::~CSlotDataProcessor() {
  delete[] slotEntry;
  delete[] parameterBlock;
}

int CSlotDataProcessor::GetThreadMode() { return kSharedDispatch; }

uint8_t CSlotDataProcessor::OnPacket(PacketBuffer* buffer) {
  OnData(buffer->Payload(), buffer->PayloadLength());
  return 0;
}

int CSlotDataProcessor::InjectData(const uint8_t* data, uint32_t length) {
  return slot != kDetached ? OnData(data, length) : 0;
}

bool CSlotDataProcessor::WantsOwnDispatch(void*) { return false; }

void CSlotDataProcessor::Attach(uint16_t newSlot, ISlotHost* newHost) {
  const bool hosted = newHost && newHost->SlotClient();
  // Detaching again cuts again: a processor made without a client detaches
  // the same way.
  if (hosted && slot != kDetached && session && session->Over(newHost)) return;
  CGenericClient* newClient = hosted ? newHost->SlotClient() : nullptr;
  AttachPort(newClient ? newSlot : kDetached, newClient ? MakeClientSlotPort(newHost, newSlot) : nullptr);
}

void CSlotDataProcessor::AttachPort(uint16_t newSlot, std::unique_ptr<ISlotSessionPort> port) {
  if (port) {
    // A port of an earlier attach stays until the processor goes: a thread
    // of the processor may still be sending through it.
    if (session) retired.push_back(std::move(session));
    session = std::move(port);
    slot = newSlot;
    return;
  }
  // The processor's own threads may still hold the port: it stays, cut.
  if (session) session->Cut();
  slot = kDetached;
}

void CSlotDataProcessor::OnActivate(int) {}

int CSlotDataProcessor::SetSlotEntry(const void* data, uint32_t length, int replace) {
  return StoreCopy(&slotEntry, &slotEntryLength, data, length, replace);
}

int CSlotDataProcessor::SetParameters(const void* data, uint32_t length, int replace) {
  return StoreCopy(&parameterBlock, &parameterBlockLength, data, length, replace);
}

int CSlotDataProcessor::OnServerDisplayBlock(const void*) { return 0; }

void CSlotDataProcessor::OnWindowMoved(UINT_PTR, UINT_PTR) {}

void CSlotDataProcessor::OnDisplayUpdated(UINT_PTR, UINT_PTR) {}

void CSlotDataProcessor::CloseAll() {}
