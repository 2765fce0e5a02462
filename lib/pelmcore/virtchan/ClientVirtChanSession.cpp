// The channels' session port over a real client, and the slot's maker.
#include <atomic>
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
    CGenericClient* client = client_.load();
    if (!client) return;
    // Every send reads the client's current channel slot.
    uint16_t slot = slot_;
    if (CHtClient* ht = dynamic_cast<CHtClient*>(client)) slot = ht->ChannelSlot();
    client->SendOnSlot(slot, data, length);
  }
  // Asked on the slot's dispatch thread, which holds the client's processor
  // lock that a send takes: so without the send lock. The client is cut
  // only after its processors left that thread.
  const CClientConnectionParameter* Parameters() override {
    CGenericClient* client = client_.load();
    return client ? client->Parameters() : nullptr;
  }
  void Cut() override {
    std::lock_guard<std::mutex> hold(mutex_);
    client_ = nullptr;
  }
  uintptr_t DisplayWindowId(int display) override {
    std::lock_guard<std::mutex> hold(mutex_);
    CGenericClient* client = client_.load();
    CClientSystemApi* api = client ? client->SystemApi() : nullptr;
    return api ? api->GetDisplayWindowId(display) : 0;
  }

 private:
  std::mutex mutex_;
  std::atomic<CGenericClient*> client_;
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
