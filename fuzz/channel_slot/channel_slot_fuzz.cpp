// The "MSVCEXT " slot processor's message entry, with an echoing channel
// behind every known name so that opens, data, closes and replacements all
// run. Input: messages of u16 length and bytes (the last takes what is
// left), as the packet-entry targets frame them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "virtchan/ChannelMakers.h"
#include "virtchan/VirtChanel.h"
#include "virtchan/VirtChanelsSlotProcessor.h"

namespace {

class EchoChannel : public CCVirtChanel {
 public:
  using CCVirtChanel::CCVirtChanel;

 protected:
  int OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession*,
                const std::shared_ptr<CCVirtChanel>&) override {
    SendChunked(data, length, virtchan::kMultimediaChunk);
    return 0;
  }
};

std::shared_ptr<CCVirtChanel> MakeEcho(const virtchan::ChannelMakeContext& c) {
  return std::make_shared<EchoChannel>(c.serverChannelId, c.index, c.optionWord, c.session);
}

void RegisterOnce() {
  static const bool done = [] {
    for (const char16_t* name : {virtchan::kDeviceChannel, virtchan::kClipboardChannel, virtchan::kMultimediaChannel})
      virtchan::RegisterChannelMaker(name, MakeEcho);
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegisterOnce();
  CVirtChanelsSlotProcessor processor(4, std::make_shared<QuietChannelSession>());
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& packet, size_t) {
    processor.FeedServerData(packet.data(), static_cast<uint32_t>(packet.size()));
  });
  return 0;
}
