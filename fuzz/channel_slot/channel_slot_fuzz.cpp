// The "MSVCEXT " slot processor's message entry with the program's own
// channels behind it: device redirection (its smart card over a library
// that is not there), clipboard redirection (over the in-process clipboard
// model) and multimedia redirection (with the recording player and media
// source of tests/mmredir). A fresh processor per input.
// Input: a setup byte (bit 0 multimedia redirection on, bit 1 clipboard
// sharing off), then messages of u16 length and bytes (the last takes what
// is left). A message's first byte picks what it becomes, so that most
// mutations still reach a channel:
//   0 open:  index, name choice (RDPDR, CLIPRDR, TSMF, else the rest as
//            UTF-16 units), server channel id = index + 1
//   1 data:  index, then the channel's PDU
//   2 close: index, a byte whose bit 0 gives a wrong server channel id
//   3 capability exchange: index, u16 magic, u32 echo, u32 server mask
//   else:    the rest as a whole slot message, header and all
// Every made message carries its payload's exact length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "QuietChannelSession.h"
#include "TsmfDoubles.h"
#include "mmredir/TsmfChannel.h"
#include "pelplat/clipboard.h"
#include "session/ClientConnectionParameter.h"
#include "virtchan/ChannelMakers.h"
#include "virtchan/ChannelRDPCLIP.h"
#include "virtchan/ChannelRDPDR.h"
#include "virtchan/RdpSmartCardDevice.h"
#include "virtchan/VirtChanWire.h"
#include "virtchan/VirtChanelsSlotProcessor.h"
#include "virtchan/smartcard/RdpSmartCardWIndowsAPI.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SessionWithSettings : public QuietChannelSession {
 public:
  explicit SessionWithSettings(uint8_t setup) {
    parameters_.useWmpChannelRedirection = setup & 1;
    parameters_.clipboardShare = (setup & 2) ? 0 : 1;
  }
  const CClientConnectionParameter* Parameters() override { return &parameters_; }

 private:
  CClientConnectionParameter parameters_;
};

// The makers the program registers, once; the parts and the clipboard
// model outlive every input.
struct Fixture {
  tsmftest::Journal journal;
  tsmftest::RecordingParts parts{&journal};
  Fixture() {
    namespace clip = pelplat::clipboard;
    clip::SetClipboardBackend(clip::MakeModelClipboardBackend().release());
    CRdpSmartCardDevice::SetApiMaker([] {
      return std::unique_ptr<CRdpSmartCardAPI>(new CRdpSmartCardWIndowsAPI("pellum-fuzz-no-winscard.dll"));
    });
    virtchan::RegisterDeviceChannelMaker();
    virtchan::RegisterClipboardChannelMaker();
    RegisterTsmfChannelMaker(parts.Parts());
  }
};

Fixture& Registered() {
  static Fixture* fixture = new Fixture;
  return *fixture;
}

Bytes Message(uint16_t code, uint16_t index, const Bytes& payload) {
  Bytes m(virtchan::kHeaderSize);
  virtchan::WriteChannelHeader(m.data(), virtchan::ChannelHeader{code, index, uint32_t(payload.size())});
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

void PutU16(Bytes* out, uint16_t v) {
  out->push_back(uint8_t(v));
  out->push_back(uint8_t(v >> 8));
}

void PutU32(Bytes* out, uint32_t v) {
  PutU16(out, uint16_t(v));
  PutU16(out, uint16_t(v >> 16));
}

Bytes OpenPayload(uint16_t index, const uint8_t* rest, size_t n) {
  Bytes p;
  PutU32(&p, 0);
  PutU32(&p, index + 1u);
  const char16_t* const kNames[] = {virtchan::kDeviceChannel, virtchan::kClipboardChannel,
                                    virtchan::kMultimediaChannel};
  const uint8_t choice = n > 0 ? rest[0] % 4 : 0;
  if (choice < 3) {
    for (const char16_t* c = kNames[choice]; *c; ++c) PutU16(&p, *c);
    PutU16(&p, 0);
  } else {
    p.insert(p.end(), rest + 1, rest + n);  // a name of the input's own
  }
  return p;
}

Bytes Build(const Bytes& packet) {
  if (packet.size() < 2) return packet;
  const uint8_t op = packet[0];
  const uint16_t index = packet[1] % 16;  // 14 and 15 are past the table
  const uint8_t* rest = packet.data() + 2;
  const size_t n = packet.size() - 2;
  switch (op % 5) {
    case 0:
      return Message(virtchan::kChannelOpen, index, OpenPayload(index, rest, n));
    case 1:
      return Message(virtchan::kChannelData, index, Bytes(rest, rest + n));
    case 2: {
      Bytes p;
      PutU32(&p, index + 1u + ((n > 0 && (rest[0] & 1)) ? 1 : 0));
      return Message(virtchan::kChannelClose, index, p);
    }
    case 3: {
      Bytes p;
      const bool good = n == 0 || !(rest[0] & 1);
      PutU16(&p, good ? virtchan::kCapabilityMagic : 0xCA02);
      PutU16(&p, 0);
      p.insert(p.end(), rest + (n > 0 ? 1 : 0), rest + n);  // echo and server mask, as many bytes as there are
      return Message(virtchan::kCapabilities, index, p);
    }
    default:
      return Bytes(rest, rest + n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Fixture& fixture = Registered();
  auto session = std::make_shared<SessionWithSettings>(data[0]);
  {
    CVirtChanelsSlotProcessor processor(4, session);
    ForEachFuzzPacket(data, size, 1, [&](const Bytes& packet, size_t) {
      // Each message in a buffer of its own size, so that a read beyond it shows.
      const Bytes message = Build(packet);
      std::unique_ptr<uint8_t[]> copy(new uint8_t[message.empty() ? 1 : message.size()]);
      std::copy(message.begin(), message.end(), copy.get());
      processor.FeedServerData(copy.get(), uint32_t(message.size()));
    });
  }  // every channel stopped
  CTsmfChannel::EndSessionPresentations(session.get());
  fixture.journal.Clear();
  return 0;
}
