// The device redirection channel's PDU entry with the smart card announced,
// its API over a scripted smart-card service (ScriptedPcsc.h), so that
// contexts, cards, status changes, transmits and controls succeed or fail
// as the input says and their replies are encoded from the sizes it gives.
// Input: blocks of u16 length and bytes (the last takes what is left), as
// the packet-entry targets frame them; the first block is the service's
// script, every later one a PDU. Each input gets a channel of its own,
// stopped at its end, so that no state carries over between inputs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "ScriptedPcsc.h"
#include "pelplat/debugout.h"
#include "virtchan/ChannelRDPDR.h"
#include "virtchan/RdpSmartCardDevice.h"
#include "virtchan/smartcard/RdpSmartCardWIndowsAPI.h"

namespace {

// The scripted service never blocks, so the blocking requests run on the
// channel's thread: a thread each would cost far more than the request.
// All but the wait for the service's start, which polls while the service
// fails and is ended by the channel's stop at the end of the input.
bool RunsInline(uint32_t code) { return code != scardioctl::kAccessStartedEvent; }

std::unique_ptr<CRdpSmartCardAPI> MakeScriptedApi() {
  return std::unique_ptr<CRdpSmartCardAPI>(new CRdpSmartCardWIndowsAPI(scriptedpcsc::Service()));
}

bool Setup() {
  CRdpSmartCardDevice::SetApiMaker(MakeScriptedApi);
  CRdpSmartCardDevice::SetInlinePolicy(RunsInline);
  SetDebugOutputSink([](const std::string&) {});
  // A failed transmit is reported on standard output.
  return std::freopen("/dev/null", "w", stdout) != nullptr;
}

// A channel whose smart card is announced, as after the handshake.
std::shared_ptr<ChannelRDPDR> AnnouncedChannel() {
  auto channel =
      std::make_shared<ChannelRDPDR>(1, 0, ChannelRDPDR::kSmartCardOption, std::make_shared<QuietChannelSession>());
  const uint8_t capability[] = {0x72, 0x44, 0x50, 0x53, 0, 0, 0, 0};
  channel->OnReceive(capability, sizeof capability, channel->Session(), channel);
  return channel;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Setup();
  (void)ready;
  std::shared_ptr<ChannelRDPDR> channel;
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& packet, size_t) {
    if (!channel) {
      scriptedpcsc::Begin(packet.data(), packet.size());
      channel = AnnouncedChannel();
      return;
    }
    channel->OnReceive(packet.data(), static_cast<uint32_t>(packet.size()), channel->Session(), channel);
  });
  // Ends every request's thread before the next script begins.
  if (channel) channel->Stop();
  return 0;
}
