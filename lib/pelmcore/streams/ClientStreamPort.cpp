#include "streams/ClientStreamPort.h"

#include <new>

#include "session/ClientConnectionParameter.h"
#include "session/ClientSystemApi.h"
#include "session/GenericClient.h"
#include "session/SlotProcessorFactory.h"
#include "streams/AvsSlotDataProcessor.h"

bool ClientStreamPort::ReadSettings(StreamSlotSettings* settings) {
  const CClientConnectionParameter* parameters = client_->Parameters();
  if (!parameters) return false;
  settings->audioVideoSync = parameters->useAudioVideoSynch;
  settings->dataSlicerMode = static_cast<int32_t>(parameters->dataSlicerMode);
  settings->sound = parameters->useSound != 0;
  return true;
}

bool ClientStreamPort::HasSystemApi() { return client_->SystemApi() != nullptr; }

ISurfaceKeeper* ClientStreamPort::LockFrameBuffer(int display) {
  CClientSystemApi* api = client_->SystemApi();
  return api ? api->LockFrameBuffer(display) : nullptr;
}

void ClientStreamPort::UnlockFrameBuffer(ISurfaceKeeper* surface) {
  if (CClientSystemApi* api = client_->SystemApi()) api->UnlockFrameBuffer(surface);
}

void ClientStreamPort::InvalidateRect(int x, int y, int width, int height, int display) {
  if (CClientSystemApi* api = client_->SystemApi()) api->InvalidateRect(x, y, width, height, display);
}

uint32_t ClientStreamPort::VideoDrawingSwitch() {
  CClientSystemApi* api = client_->SystemApi();
  return api ? static_cast<uint32_t>(api->streamOverlayFlag.load()) : 0;
}

const AudioClockRecord* ClientStreamPort::AudioClock() {
  CClientSystemApi* api = client_->SystemApi();
  return api ? &api->audioClock : nullptr;
}

UINT_PTR ClientStreamPort::GetDisplayWindowId(int display) {
  CClientSystemApi* api = client_->SystemApi();
  return api ? api->GetDisplayWindowId(display) : 0;
}

int ClientStreamPort::SendClientEvent(uint32_t code, const void* data, uint32_t length) {
  return client_->SendClientEvent(code, data, length);
}

void RegisterAvsProcessorMaker() {
  RegisterSlotProcessorMaker(slotname::kStream, [](const SlotProcessorContext& context) -> CSlotDataProcessor* {
    return new (std::nothrow) CAvsSlotDataProcessor(context.displayIndex, [](CGenericClient* client) {
      return std::make_shared<ClientStreamPort>(client);
    });
  });
}
