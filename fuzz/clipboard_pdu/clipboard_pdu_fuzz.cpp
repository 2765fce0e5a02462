// The clipboard channel's PDU entry with its local clipboard over the
// in-process clipboard model, so that format lists are announced and data
// requests read real local data. Input: PDUs of u16 length and bytes (the
// last takes what is left), as the packet-entry targets frame them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "pelplat/clipboard.h"
#include "virtchan/ChannelRDPCLIP.h"

namespace {

// One channel for the whole run, stopped at exit; the model stays for the
// clipboard thread's last steps.
struct Holder {
  std::shared_ptr<ChannelRDPCLIP> channel;
  Holder() {
    namespace clip = pelplat::clipboard;
    static clip::IClipboardBackend* model = clip::MakeModelClipboardBackend().release();
    clip::SetClipboardBackend(model);
    clip::ClipboardWindow program(nullptr);
    const clip::Bytes html = {'<', 'p', '>'};
    if (program.Open()) {
      program.Empty();
      program.SetData(clip::RegisterClipboardFormatW(u"HTML Format"), &html);
      program.Close();
    }
    channel = std::make_shared<ChannelRDPCLIP>(1, 0, 0x10, std::make_shared<QuietChannelSession>());
    channel->Open(channel);
  }
  ~Holder() { channel->Stop(); }
};

std::shared_ptr<ChannelRDPCLIP> Channel() {
  static Holder holder;
  return holder.channel;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::shared_ptr<ChannelRDPCLIP> channel = Channel();
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& packet, size_t) {
    channel->OnReceive(packet.data(), static_cast<uint32_t>(packet.size()), channel->Session(), channel);
  });
  return 0;
}
