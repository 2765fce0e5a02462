// The device redirection channel's PDU entry with the smart card announced,
// its API over a smart-card library that is not there, so that control
// requests are decoded and answered without a service. Input: PDUs of u16
// length and bytes (the last takes what is left), as the packet-entry
// targets frame them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "virtchan/ChannelRDPDR.h"
#include "virtchan/RdpSmartCardDevice.h"
#include "virtchan/smartcard/RdpSmartCardWIndowsAPI.h"

namespace {

std::unique_ptr<CRdpSmartCardAPI> MakeApiWithoutLibrary() {
  return std::unique_ptr<CRdpSmartCardAPI>(new CRdpSmartCardWIndowsAPI("pellum-fuzz-no-winscard.dll"));
}

// One channel for the whole run, its device announced once; stopped at exit.
struct Holder {
  std::shared_ptr<ChannelRDPDR> channel;
  Holder() {
    CRdpSmartCardDevice::SetApiMaker(MakeApiWithoutLibrary);
    channel = std::make_shared<ChannelRDPDR>(1, 0, ChannelRDPDR::kSmartCardOption,
                                             std::make_shared<QuietChannelSession>());
    const uint8_t capability[] = {0x72, 0x44, 0x50, 0x53, 0, 0, 0, 0};
    channel->OnReceive(capability, sizeof capability, channel->Session(), channel);
  }
  ~Holder() { channel->Stop(); }
};

std::shared_ptr<ChannelRDPDR> Channel() {
  static Holder holder;
  return holder.channel;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::shared_ptr<ChannelRDPDR> channel = Channel();
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& packet, size_t) {
    channel->OnReceive(packet.data(), static_cast<uint32_t>(packet.size()), channel->Session(), channel);
  });
  return 0;
}
