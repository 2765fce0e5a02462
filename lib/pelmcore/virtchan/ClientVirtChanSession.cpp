// The channels' session port over a real client, and the slot's maker.
#include <mutex>
#include <new>

#include "session/ClientSystemApi.h"
#include "session/GenericClient.h"
#include "session/HtClient.h"
#include "session/SlotProcessorFactory.h"
#include "virtchan/ChannelRDPCLIP.h"
#include "virtchan/ChannelRDPDR.h"
#include "virtchan/VirtChanSession.h"
#include "virtchan/VirtChanelsSlotProcessor.h"

namespace {

class ClientVirtChanSession : public IVirtChanSession {
 public:
  ClientVirtChanSession(CGenericClient* client, uint16_t slot) : client_(client), slot_(slot) {}

  void SendOnChannelSlot(const void* data, uint32_t length) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!client_) return;
    // Every send reads the client's current channel slot.
    uint16_t slot = slot_;
    if (CHtClient* ht = dynamic_cast<CHtClient*>(client_)) slot = ht->ChannelSlot();
    client_->SendOnSlot(slot, data, length);
  }
  const CClientConnectionParameter* Parameters() override {
    std::lock_guard<std::mutex> hold(mutex_);
    return client_ ? client_->Parameters() : nullptr;
  }
  void Cut() override {
    std::lock_guard<std::mutex> hold(mutex_);
    client_ = nullptr;
  }
  uintptr_t DisplayWindowId(int display) override {
    std::lock_guard<std::mutex> hold(mutex_);
    CClientSystemApi* api = client_ ? client_->SystemApi() : nullptr;
    return api ? api->GetDisplayWindowId(display) : 0;
  }

 private:
  std::mutex mutex_;
  CGenericClient* client_;
  const uint16_t slot_;
};

}  // namespace

std::shared_ptr<IVirtChanSession> MakeClientVirtChanSession(CGenericClient* client, uint16_t slot) {
  std::shared_ptr<IVirtChanSession> session(new (std::nothrow) ClientVirtChanSession(client, slot));
  return session;
}

void RegisterChannelsProcessorMaker() {
  virtchan::RegisterClipboardChannelMaker();
  virtchan::RegisterDeviceChannelMaker();
  RegisterSlotProcessorMaker(slotname::kChannels, [](const SlotProcessorContext& context) -> CSlotDataProcessor* {
    std::shared_ptr<IVirtChanSession> session = MakeClientVirtChanSession(context.client, context.slotId);
    if (!session) return nullptr;
    return new (std::nothrow) CVirtChanelsSlotProcessor(context.slotId, std::move(session));
  });
}
