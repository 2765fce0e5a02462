#include "session/ClientSlotPort.h"

#include <atomic>
#include <shared_mutex>
#include <new>

#include "session/ClientSystemApi.h"
#include "session/SlotHost.h"
#include "session/SystemApiSurfaces.h"

namespace {

// Holds a counted reference to the client from its making until it is cut.
// Sends share the port's lock, so that they never wait for each other and
// cutting waits for those under way; the readers do not take it, as they
// are asked on delivery threads that hold the client's processor lock a
// send takes.
class ClientSlotPort : public ISlotSessionPort {
 public:
  // The client's system API is the surfaces' for the port's life: a surface
  // locked before a cut is unlocked through it after.
  ClientSlotPort(ISlotHost* client, uint16_t slot)
      : client_(client), slot_(slot), surfaces_(client->SystemApi()) {
    client->HoldClient();
  }
  ~ClientSlotPort() override { Cut(); }

  SendResult SendOnSlot(const void* data, uint32_t length) override {
    std::shared_lock<std::shared_mutex> hold(mutex_);
    ISlotHost* client = client_.load();
    if (!client) return {kStatusNoConnection, 0};
    return ClientSendResult(client->SendOnSlot(slot_, data, length), length);
  }
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override {
    std::shared_lock<std::shared_mutex> hold(mutex_);
    ISlotHost* client = client_.load();
    return client ? client->SendClientEvent(code, data, length) : -1;
  }
  const CClientConnectionParameter* Parameters() override {
    ISlotHost* client = client_.load();
    return client ? client->Parameters() : nullptr;
  }
  bool AlignsContainers() override {
    ISlotHost* client = client_.load();
    return !client || client->AlignsContainers();
  }
  AudioClockRecord* AudioClock() override {
    CClientSystemApi* api = Api();
    return api ? &api->audioClock : nullptr;
  }
  IDisplaySurfaces* Surfaces() override { return Api() && surfaces_.Api() ? &surfaces_ : nullptr; }
  bool Over(const ISlotHost* host) const override { return host && client_.load() == host; }

  void Cut() override {
    ISlotHost* client;
    {
      std::lock_guard<std::shared_mutex> hold(mutex_);
      client = client_.exchange(nullptr);
    }
    if (client) client->DropClient();
  }

 private:
  CClientSystemApi* Api() {
    ISlotHost* client = client_.load();
    return client ? client->SystemApi() : nullptr;
  }

  std::shared_mutex mutex_;
  std::atomic<ISlotHost*> client_;
  const uint16_t slot_;
  SystemApiSurfaces surfaces_;
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
