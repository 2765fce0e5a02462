#include "session/GenericClient.h"

#include "session/Connection.h"
#include "session/PacketPool.h"
#include "session/SlotDataProcessor.h"
#include "session/Status.h"

namespace {

constexpr uint16_t kEncryptedSlotFlag = 0x80;
constexpr int kCipherLevelShift = 9;

}  // namespace

CGenericClient::CGenericClient() { processorLock.Setup(); }

CGenericClient::~CGenericClient() {
  ReleaseAllProcessors();
  delete[] hello;
  processorLock.Teardown();
}

void CGenericClient::SetContext(void* context) { owner = context; }

int CGenericClient::Disconnect(int sleepFirst) {
  CConnection* current = nullptr;
  {
    CxAutoLock hold(&lock);
    current = connection;
    if (current) current->AddRef();
  }
  if (current) {
    current->StopLoop(sleepFirst);
    current->Release();
  }
  return kStatusOk;
}

void CGenericClient::OnRunEnded() {}

// The connection parameters arrive with Init; without them the answer is 0.
int CGenericClient::GetParamFlags() { return 0; }

uint8_t CGenericClient::DeliverSlotPacket(PacketBuffer* buffer, CConnection*) {
  CxAutoLock hold(&processorLock);
  const uint16_t slot = buffer->Header().slot;
  if (slot >= processorCount || slot >= kMaxSlots) {
    buffer->result = kStatusFailure;
    return 0;
  }
  CSlotDataProcessor* processor = processors[slot];
  buffer->result = kStatusOk;
  if (!processor) return 0;
  if (cipher) {
    const uint16_t flags = GetSlotFlags(slot);
    if (flags & kEncryptedSlotFlag) {
      buffer->result = DecryptSlotPacket(buffer, (flags >> kCipherLevelShift) & 3);
      if (buffer->result != kStatusOk) return 0;
    }
  }
  return processor->OnPacket(buffer, this);
}

int CGenericClient::OnControlMessage(const uint8_t* data, int length, CConnection* from) {
  if (!data && length != 0) {
    CxAutoLock hold(&processorLock);
    if (length == kNotifyConnected) return OnConnected();
    if (length == kNotifyClosed) return OnDisconnected();
    return kStatusFailure;
  }
  int result = kStatusNotConsumed;
  {
    CxAutoLock hold(&processorLock);
    if (controlProcessor) result = controlProcessor->OnData(data, static_cast<uint32_t>(length), this);
  }
  if (result != kStatusNotConsumed) return result;
  if (sessionState == kHandshake) return OnHandshakeMessage(data, length, from);
  return kStatusNotConsumed;
}

int CGenericClient::GetSlotThreadMode(uint16_t slot) {
  if (slot == kControlSlot) return CSlotDataProcessor::kSharedDispatch;
  CxAutoLock hold(&processorLock);
  if (slot >= processorCount || slot >= kMaxSlots || !processors[slot])
    return CSlotDataProcessor::kSharedDispatch;
  return processors[slot]->GetThreadMode();
}

void CGenericClient::SetOptionValue(int flag) { reportFailure = flag; }

int CGenericClient::ReleaseControlProcessor() {
  CSlotDataProcessor* processor;
  {
    CxAutoLock hold(&processorLock);
    processor = controlProcessor;
    controlProcessor = nullptr;
  }
  delete processor;
  return kStatusOk;
}

int CGenericClient::ReleaseSlotProcessor(uint16_t slot) {
  if (slot >= kMaxSlots) return kStatusTaken;
  CSlotDataProcessor* processor;
  {
    CxAutoLock hold(&processorLock);
    processor = processors[slot];
    processors[slot] = nullptr;
  }
  delete processor;
  return kStatusOk;
}

void CGenericClient::ReleaseAllProcessors() {
  // Taken out under the lock, so no delivery is inside a processor when it
  // goes; detached and deleted outside it.
  CSlotDataProcessor* gone[kMaxSlots + 1] = {};
  int n = 0;
  {
    CxAutoLock hold(&processorLock);
    for (int i = 0; i < processorCount && i < kMaxSlots; ++i) {
      if (processors[i]) gone[n++] = processors[i];
      processors[i] = nullptr;
    }
    if (controlProcessor) gone[n++] = controlProcessor;
    controlProcessor = nullptr;
    processorCount = 0;
  }
  for (int i = 0; i < n; ++i) {
    gone[i]->Attach(CSlotDataProcessor::kDetached, nullptr);
    delete gone[i];
  }
}

// The operations below belong to the connection thread, the handshake and
// the system API, which this build does not have yet. Each answers the
// failure its callers expect and does nothing else.

int CGenericClient::Init(CClientSystemApi*, CClientConnectionParameter*) { return kStatusTaken; }

int CGenericClient::Start() { return kStatusTaken; }

int CGenericClient::Stop() { return kStatusTaken; }

int CGenericClient::Run() { return kStatusFailure; }

int CGenericClient::DeliverSlotData(uint16_t, uint8_t*, uint32_t) { return kStatusFailure; }

int CGenericClient::FeedProcessor(uint16_t, const void*, uint32_t) { return kStatusFailure; }

int CGenericClient::FeedControlProcessor(const void*, uint32_t) { return kStatusNotConsumed; }

void CGenericClient::GetStatusText(WCHAR*, uint32_t) {}

int CGenericClient::NotifyProcessors(int) { return kStatusFailure; }

void CGenericClient::StreamSlotCallA(UINT_PTR, UINT_PTR) {}

void CGenericClient::StreamSlotCallB(UINT_PTR, UINT_PTR) {}

void CGenericClient::ReservedOperation() {}

int CGenericClient::SetControlProcessor(CSlotDataProcessor*) { return kStatusTaken; }

int CGenericClient::ConfigureSlotProcessor(uint16_t, const void*, uint32_t, const void*, uint32_t) {
  return kStatusFailure;
}

// Without the session cipher no packet can be decrypted: refusing it ends
// the session rather than handing ciphertext to a processor.
int CGenericClient::DecryptSlotPacket(PacketBuffer*, int) { return kStatusFailure; }
