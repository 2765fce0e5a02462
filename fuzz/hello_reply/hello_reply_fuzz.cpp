// The server's handshake replies as the session client reads them: reply
// 258 and, once the client has accepted it and sent its second hello,
// reply 260. A fresh client per input, never connected: its hellos (257,
// 259) only have their bytes read. The display slots get the real display
// processor, so that the display block of a full encrypted 260 reaches the
// decoder that reads it.
// Input: one setup byte, reply 258 behind its u16 length, then reply 260
// (all that is left).
//   bit 0: an encrypted session (the public-key exchange).
//   bit 1: (encrypted) 258 keeps its own key record; otherwise the harness
//          puts the host's public key there, so that the session key is
//          one the host holds.
//   bit 2: (encrypted) 260 as it stands; otherwise the harness seals its
//          body with the session key as the host would, so that the body
//          is what is fuzzed.
//   bit 3: a second display.
//   bit 4: the replay of a recorded session (260 arrives open).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "SessionFuzzRig.h"
#include "display/Op2Processor.h"
#include "session/HelloRecord.h"
#include "session/SlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"
#include "transport/Status.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kCodeSize = 4;
constexpr size_t kKeyRecordAt = 28;
constexpr int kSealedLevel = hello::kSealedLevel;

// Stands for the keyboard processor: it reads the display block to its
// end.
class BlockReadingProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t* data, uint32_t length) override {
    fuzzrig::ReadAll(data, length);
    return 0;
  }
  int OnClientData(const void*, uint32_t) override { return 0; }
  int OnServerDisplayBlock(const void* block) override {
    fuzzrig::ReadAll(block, hello::kDisplayBlockSize);
    return 0;
  }
};

void RegisterProcessorMakers() {
  static const bool once = [] {
    auto make = [](const SlotProcessorContext&) -> CSlotDataProcessor* { return new BlockReadingProcessor; };
    RegisterOp2ProcessorMaker();
    RegisterSlotProcessorMaker(slotname::kKeyboard, make);
    return true;
  }();
  (void)once;
}

uint16_t HelloFlags(const fuzzrig::OfflineClient& client) {
  return GetU16At(client.Hello(), client.HelloSize(), hello::kFlagsOffset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzzrig::QuietLog();
  RegisterProcessorMakers();
  testhost::HostCipher& host = fuzzrig::FixedKeyHost();
  const bool encrypted = data[0] & 1;
  const bool keepKey = data[0] & 2;
  const bool sealByHost = !(data[0] & 4);
  const bool replaying = data[0] & 16;

  size_t at = 1;
  Bytes reply258 = fuzzrig::NextMessage(data, size, &at);
  Bytes reply260(data + at, data + size);

  fuzzrig::OfflineSession session;
  session.params.encryptionLevel = encrypted ? 1 : 0;
  if (data[0] & 8) {
    session.params.extraDisplayCount = 1;
    session.params.display2Size.width = 800;
    session.params.display2Size.height = 600;
  }
  session.Init();
  fuzzrig::OfflineClient* client = session.client;
  client->SetReplay(replaying);
  // What the connection tells the client once it is connected: the hello
  // is built and sent.
  client->OnControlMessage(nullptr, kNotifyConnected, nullptr);

  if (encrypted && !keepKey && reply258.size() >= kKeyRecordAt + PublicKeyRecord::kSize) {
    const Bytes key = host.PublicKeyRecord();
    memcpy(reply258.data() + kKeyRecordAt, key.data(), key.size());
  }
  session.Deliver(reply258);

  if (client->Handshake() == CHtClient::kAwaitReply260) {
    if (encrypted && sealByHost && !replaying && reply260.size() >= kCodeSize + 8) {
      const bool variant = (HelloFlags(*client) & hello::kFlagsBase) != 0;
      host.SealBlock(reply260.data() + kCodeSize, reply260.size() - kCodeSize, variant, kSealedLevel, nullptr);
    }
    session.Deliver(reply260);
  }
  return 0;
}
