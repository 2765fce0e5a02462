#include "testhost/SmartCardCalls.h"

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>

#include "RdpNdr.h"
#include "RdpScardStructs.h"
#include "RdpSmartCardAPI.h"
#include "testhost/DeviceRedirectionServer.h"

namespace testhost {
namespace smartcard {

namespace {

using namespace rdpesc;
using Bytes = std::vector<uint8_t>;

constexpr char kChannelSlotName[] = "MSVCEXT ";
constexpr uint32_t kServerGroups = 0x17F;
constexpr uint32_t kEcho = 0x5CA4D;
constexpr uint32_t kSmartCardGroup = 0x1;
constexpr uint32_t kScopeSystem = 2;
constexpr uint32_t kShareShared = 2;
constexpr uint32_t kProtocolsT0OrT1 = 3;
constexpr uint32_t kLeaveCard = 0;
constexpr uint32_t kStatePresent = 0x20;
constexpr uint32_t kAnyLength = 0xFFFFFFFF;
constexpr uint32_t kAnswerRoom = 258;
constexpr int kStepMs = 30000;
// A card may connect to its reader a moment after the session starts.
constexpr int kCardWaitTries = 10;
constexpr uint32_t kCardWaitMs = 1000;
// SELECT of the master file, answered by any ISO 7816-4 card.
const Bytes kSelectMasterFile = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

struct ResultName {
  uint32_t code;
  const char* meaning;
};
constexpr ResultName kResultNames[] = {
    {0x00000000, "success"},          {0x80100002, "cancelled"},
    {0x80100006, "not enough memory"}, {0x80100009, "unknown reader"},
    {0x8010000A, "timeout"},          {0x8010000B, "sharing violation"},
    {0x8010000C, "no smart card"},    {0x8010000F, "protocol mismatch"},
    {0x8010001D, "no service"},       {0x8010002E, "no readers available"},
    {0x80100069, "card removed"},     {0x80100066, "card unresponsive"},
};

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string s;
  char two[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(two, sizeof two, "%s%02X", i ? " " : "", bytes[i]);
    s += two;
  }
  return s;
}

std::string Result(uint32_t code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", code);
  std::string s = text;
  for (const ResultName& r : kResultNames)
    if (r.code == code) s += std::string(" (") + r.meaning + ")";
  return s;
}

// The channel groups both sides run; false when the client did not answer.
bool ExchangeCapabilities(HostSession& session, uint16_t slot, channels::CapabilityReply* reply) {
  const size_t from = session.Messages().size();
  if (!session.SendSlot(slot, channels::Capabilities(kEcho, kServerGroups))) return false;
  HostMessage m;
  // Other servers on the slot (the clipboard's) exchange groups too.
  auto isReply = [slot](const HostMessage& message) {
    return message.header.slot == slot && message.code == 0 &&
           channels::ReadMessage(message.body).code == channels::kCapabilities &&
           channels::ReadCapabilityReply(message.body).echo == kEcho;
  };
  if (!session.WaitFor(isReply, kStepMs, &m, from)) return false;
  *reply = channels::ReadCapabilityReply(m.body);
  return reply->ok && reply->echo == kEcho;
}

class Caller {
 public:
  Caller(rdpdr::DeviceServer& server, uint32_t device, std::ostream& out) : server_(server), device_(device), out_(out) {}

  // One call; false after a line when the client did not complete it or
  // its answer does not decode.
  template <class Ret, class Call>
  bool Run(const char* name, uint32_t code, Call call, Ret* ret) {
    Bytes input;
    rdpdr::IoCompletion c;
    if (NdrEncode(call, input) != 0) {
      out_ << "smartcard " << name << ": not encoded" << std::endl;
      return false;
    }
    if (!server_.Control(device_, code, input, &c, kStepMs)) {
      out_ << "smartcard " << name << ": no answer from the client" << std::endl;
      return false;
    }
    if (c.ioStatus != 0 || NdrDecode(c.output.data(), c.output.size(), *ret) != 0) {
      out_ << "smartcard " << name << ": the client answered status " << Result(c.ioStatus) << " with "
           << c.output.size() << " bytes" << std::endl;
      return false;
    }
    return true;
  }

 private:
  rdpdr::DeviceServer& server_;
  const uint32_t device_;
  std::ostream& out_;
};

}  // namespace

bool RunCalls(HostSession& session, const HandshakeReport& report, std::ostream& out) {
  int found = -1;
  for (size_t i = 0; i < report.slotTable.size(); ++i)
    if (report.slotTable[i].name == kChannelSlotName) found = int(i);
  if (found < 0) {
    out << "the client announced no channel slot" << std::endl;
    return false;
  }
  const uint16_t slot = uint16_t(found);
  channels::CapabilityReply reply;
  if (!ExchangeCapabilities(session, slot, &reply) || !(reply.enabledGroups & kSmartCardGroup)) {
    out << "smartcard: the client does not redirect smart cards" << std::endl;
    return false;
  }
  rdpdr::DeviceServer server([&session, slot](const Bytes& payload) { return session.SendSlot(slot, payload); },
                             [&session, slot] {
                               std::vector<Bytes> payloads;
                               for (const HostMessage& m : session.Messages())
                                 if (m.header.slot == slot && m.code == 0) payloads.push_back(m.body);
                               return payloads;
                             });
  if (!server.Open(true, kStepMs) || server.Devices().empty()) {
    out << "smartcard: the client announced no smart-card device" << std::endl;
    return false;
  }
  const rdpdr::Device device = server.Devices()[0];
  out << "smartcard device " << device.id << " \"" << device.dosName << "\"" << std::endl;
  Caller caller(server, device.id, out);

  EstablishContext_Call establish;
  establish.dwScope = kScopeSystem;
  EstablishContext_Return context;
  if (!caller.Run("EstablishContext", scardioctl::kEstablishContext, establish, &context)) return false;
  out << "smartcard EstablishContext: " << Result(context.ReturnCode) << std::endl;
  if (context.ReturnCode != 0) return false;

  // The context is released however the calls in between end.
  auto release = [&] {
    Context_Call call;
    call.Context = context.Context;
    Long_Return released;
    if (!caller.Run("ReleaseContext", scardioctl::kReleaseContext, call, &released)) return false;
    out << "smartcard ReleaseContext: " << Result(released.ReturnCode) << std::endl;
    return released.ReturnCode == 0;
  };

  ListReaders_Call list;
  list.Context = context.Context;
  list.cchReaders = kAnyLength;
  ListReaders_Return readers;
  if (!caller.Run("ListReaders", scardioctl::kListReadersA, list, &readers)) return false;
  std::vector<std::string> names;
  const Bytes& multi = readers.msz.bytes;
  for (size_t at = 0; at < multi.size() && multi[at] != 0;) {
    size_t end = at;
    while (end < multi.size() && multi[end] != 0) ++end;
    names.emplace_back(multi.begin() + long(at), multi.begin() + long(end));
    at = end + 1;
  }
  std::string listed;
  for (const std::string& n : names) listed += (listed.empty() ? " \"" : ", \"") + n + "\"";
  out << "smartcard ListReaders: " << Result(readers.ReturnCode) << listed << std::endl;
  if (readers.ReturnCode != 0 || names.empty()) {
    release();
    return false;
  }
  const std::string& reader = names[0];

  GetStatusChange_Return state;
  uint32_t seen = 0;
  for (int i = 0; i < kCardWaitTries && !(seen & kStatePresent); ++i) {
    GetStatusChangeA_Call change;
    change.Context = context.Context;
    change.dwTimeOut = kCardWaitMs;
    change.cReaders = 1;
    change.rgReaderStates.present = true;
    ReaderStateA s;
    s.szReader = NdrStrA::Of(reader);
    s.Common.dwCurrentState = seen & ~0x2u;
    change.rgReaderStates.items.push_back(s);
    if (!caller.Run("GetStatusChange", scardioctl::kGetStatusChangeA, change, &state)) return false;
    if (state.ReturnCode == 0 && !state.rgReaderStates.items.empty())
      seen = state.rgReaderStates.items[0].dwEventState;
    else if (state.ReturnCode != 0x8010000A)
      break;
  }
  std::string detail;
  if (!state.rgReaderStates.items.empty()) {
    const ReaderState_Return& r = state.rgReaderStates.items[0];
    char word[16];
    snprintf(word, sizeof word, "0x%X", r.dwEventState);
    detail = " \"" + reader + "\" state " + word + ((r.dwEventState & kStatePresent) ? " (card present)" : "");
    if (r.cbAtr) detail += " ATR " + Hex(r.rgbAtr.data(), std::min<size_t>(r.cbAtr, r.rgbAtr.size()));
  }
  out << "smartcard GetStatusChange: " << Result(state.ReturnCode) << detail << std::endl;
  if (!(seen & kStatePresent)) {
    out << "smartcard: no card in \"" << reader << "\"" << std::endl;
    release();
    return false;
  }

  ConnectA_Call connect;
  connect.szReader = NdrStrA::Of(reader);
  connect.Common.Context = context.Context;
  connect.Common.dwShareMode = kShareShared;
  connect.Common.dwPreferredProtocols = kProtocolsT0OrT1;
  Connect_Return card;
  if (!caller.Run("Connect", scardioctl::kConnectA, connect, &card)) return false;
  out << "smartcard Connect: " << Result(card.ReturnCode) << " protocol T" << (card.dwActiveProtocol == 2 ? 1 : 0)
      << std::endl;
  if (card.ReturnCode != 0) {
    release();
    return false;
  }

  Transmit_Call transmit;
  transmit.hCard = card.hCard;
  transmit.ioSendPci.dwProtocol = card.dwActiveProtocol;
  transmit.cbSendLength = uint32_t(kSelectMasterFile.size());
  transmit.pbSendBuffer = NdrBlob::Of(kSelectMasterFile.data(), kSelectMasterFile.size());
  transmit.cbRecvLength = kAnswerRoom;
  Transmit_Return answer;
  if (!caller.Run("Transmit", scardioctl::kTransmit, transmit, &answer)) return false;
  out << "smartcard Transmit " << Hex(kSelectMasterFile.data(), kSelectMasterFile.size()) << ": "
      << Result(answer.ReturnCode) << " answer " << Hex(answer.pbRecvBuffer.bytes.data(), answer.pbRecvBuffer.bytes.size())
      << std::endl;

  HCardAndDisposition_Call disconnect;
  disconnect.hCard = card.hCard;
  disconnect.dwDisposition = kLeaveCard;
  Long_Return left;
  if (!caller.Run("Disconnect", scardioctl::kDisconnect, disconnect, &left)) return false;
  out << "smartcard Disconnect: " << Result(left.ReturnCode) << std::endl;
  return release() && answer.ReturnCode == 0 && left.ReturnCode == 0;
}

}  // namespace smartcard
}  // namespace testhost
