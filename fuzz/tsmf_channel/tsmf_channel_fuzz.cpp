// The multimedia channel's message entry over real presentations and
// redirected streams, with the recording player and media source of the
// tests (tests/mmredir). Input: MS-RDPEV messages of u16 length and bytes
// (the last takes what is left), as the packet-entry targets frame them.
// The presentations an input announced end with it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "TsmfDoubles.h"
#include "mmredir/TsmfChannel.h"

namespace {

struct Holder {
  tsmftest::Journal journal;
  tsmftest::RecordingParts parts{&journal};
  std::shared_ptr<CTsmfChannel> channel;
  Holder() {
    MMPresentationParts made = parts.Parts();
    channel = std::make_shared<CTsmfChannel>(
        1, 0, 0x100, std::make_shared<QuietChannelSession>(),
        [made](const uint8_t* id) -> IMMPresentation* { return new CMMPresentation(id, made); });
  }
};

Holder& Fixture() {
  static Holder* holder = new Holder();  // the presentations' parts outlive every input
  return *holder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Holder& fixture = Fixture();
  std::shared_ptr<CTsmfChannel> channel = fixture.channel;
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& packet, size_t) {
    channel->OnReceive(packet.data(), static_cast<uint32_t>(packet.size()), channel->Session(), channel);
  });
  CTsmfChannel::EndSessionPresentations(channel->Session());
  fixture.journal.Clear();
  return 0;
}
