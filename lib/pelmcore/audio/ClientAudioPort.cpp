#include "audio/ClientAudioPort.h"

#include <memory>
#include <new>

#include "audio/AudioSlotDataProcessor.h"
#include "session/ClientConnectionParameter.h"
#include "session/ClientSlotPort.h"
#include "session/ClientSystemApi.h"
#include "session/GenericClient.h"
#include "session/SlotProcessorFactory.h"
#include "transport/Status.h"

void ClientAudioPort::OnAttach(uint16_t slot, CGenericClient* client) {
  // The slot first: a sender that sees the client sees its slot.
  slot_.store(slot);
  client_.store(client);
}

SendResult ClientAudioPort::SendOnSlot(const uint8_t* data, uint32_t length) {
  CGenericClient* client = client_.load();
  if (!client) return {kStatusNoConnection, 0};
  return ClientSendResult(client->SendOnSlot(slot_.load(), data, length), length);
}

AudioClockRecord* ClientAudioPort::ClockRecord() {
  CGenericClient* client = client_.load();
  CClientSystemApi* api = client ? client->SystemApi() : nullptr;
  return api ? &api->audioClock : nullptr;
}

bool ClientAudioPort::ThreadPriority(int* value) {
  CGenericClient* client = client_.load();
  const CClientConnectionParameter* parameters = client ? client->Parameters() : nullptr;
  if (!parameters) return false;
  *value = static_cast<int>(parameters->audioThreadPriority);
  return true;
}

void RegisterAudioProcessorMaker() {
  RegisterSlotProcessorMaker(slotname::kAudio, [](const SlotProcessorContext&) -> CSlotDataProcessor* {
    std::unique_ptr<ClientAudioPort> port(new (std::nothrow) ClientAudioPort);
    if (!port) return nullptr;
    return new (std::nothrow) CAudioSlotDataProcessor(std::move(port));
  });
}
