// Server control messages on the control slot of a running session, as the
// connection hands them over: a fresh session client per input, never
// connected, with its control processor and the built-in tunnel services.
// Input: one setup byte, then messages of u16 length and bytes, the last one
// taking what is left.
//   setup bits 0-1: 0 a plain session; 1 an encrypted one whose sealed
//   messages (query, query reply, event, 274, encrypted tunnel frame) the
//   harness seals as the host would, so that their bodies are what is
//   fuzzed; 2 an encrypted one taking every message as it stands; 3 the
//   replay of a recorded encrypted session (sealed bodies arrive open).
//   bit 2: no clipboard.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ClientDoubles.h"
#include "SessionFuzzRig.h"
#include "session/ControlSlotDataProcessor.h"
#include "services/Tunnel.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum Mode { kPlain = 0, kSealedByHost = 1, kEncryptedAsIs = 2, kReplay = 3 };

bool IsSealedCode(uint32_t code) {
  switch (code) {
    case CControlSlotDataProcessor::kQuery:
    case CControlSlotDataProcessor::kQueryReply:
    case CControlSlotDataProcessor::kEvent:
    case CControlSlotDataProcessor::kIgnored:
    case CControlSlotDataProcessor::kEncryptedTunnelFrame:
      return true;
    default:
      return false;
  }
}

// The probe the server can ask for runs on a thread of its own and waits
// for answers; the target keeps to one thread, so the call is taken as
// handled without starting it.
void OpenPlayerWithoutProbe(ybx::tunnel::TunnelResult* result, uint32_t kind, const uint8_t* payload,
                            uint32_t length, ITunnelClient*) {
  fuzzrig::ReadAll(payload, length);
  if (kind != ybx::tunnel::kTunnelRequest) return;
  result->status = 0;
  result->flag = 0;
}

// The code, then the body sealed at level 0 with the session key.
Bytes SealedByHost(const Bytes& message) {
  Bytes body(message.begin() + 4, message.end());
  Bytes sealed;
  if (!fuzzrig::FixedKeyHost().SealMessage(body, &sealed)) return message;
  Bytes out(message.begin(), message.begin() + 4);
  out.insert(out.end(), sealed.begin(), sealed.end());
  return out;
}

uint32_t CodeOf(const Bytes& message) {
  return message.size() < 4 ? 0
                            : uint32_t(message[0]) | uint32_t(message[1]) << 8 | uint32_t(message[2]) << 16 |
                                  uint32_t(message[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzzrig::QuietLog();
  const Mode mode = static_cast<Mode>(data[0] & 3);

  clienttest::FakeClipboard clipboard;
  fuzzrig::OfflineSession session;
  if (!(data[0] & 4)) session.api->clipboard = &clipboard;
  session.params.encryptionLevel = mode == kPlain ? 0 : 1;
  session.Init();
  fuzzrig::OfflineClient* client = session.client;
  client->GetTunnelRegistry()->FindSink(".vazi_player")->AddMethod(".open", OpenPlayerWithoutProbe);
  client->SetControlProcessor(new CControlSlotDataProcessor);
  client->SetRunning();
  if (mode != kPlain) client->InstallActiveCipher();
  client->SetReplay(mode == kReplay);

  size_t at = 1;
  while (at < size) {
    Bytes message = fuzzrig::NextMessage(data, size, &at);
    if (mode == kSealedByHost && message.size() >= 4 && IsSealedCode(CodeOf(message)))
      message = SealedByHost(message);
    session.Deliver(message);
  }
  return 0;
}
