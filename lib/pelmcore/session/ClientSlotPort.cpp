#include "session/ClientSlotPort.h"

#include <new>

#include "session/SlotHost.h"

namespace {

class ClientSlotPort : public ISlotSessionPort {
 public:
  ClientSlotPort(ISlotHost* client, uint16_t slot) : client_(client), slot_(slot) {}

  SendResult SendOnSlot(const void* data, uint32_t length) override {
    return ClientSendResult(client_->SendOnSlot(slot_, data, length), length);
  }
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override {
    return client_->SendClientEvent(code, data, length);
  }
  const CClientConnectionParameter* Parameters() override { return client_->Parameters(); }
  bool AlignsContainers() override { return client_->AlignsContainers(); }

 private:
  ISlotHost* const client_;
  const uint16_t slot_;
};

}  // namespace

SendResult ClientSendResult(int answer, uint32_t length) {
  // For a three-byte record the two cannot be told apart and count as sent.
  if (answer == kStatusNoConnection && length != uint32_t(kStatusNoConnection)) return {kStatusNoConnection, 0};
  return {kStatusOk, answer > 0 ? uint32_t(answer) : 0u};
}

std::unique_ptr<ISlotSessionPort> MakeClientSlotPort(ISlotHost* client, uint16_t slot) {
  return std::unique_ptr<ISlotSessionPort>(new (std::nothrow) ClientSlotPort(client, slot));
}
