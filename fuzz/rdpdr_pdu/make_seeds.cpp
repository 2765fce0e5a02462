// Writes the seed corpus of rdpdr_pdu_fuzz: the handshake, and smart-card
// sessions of device control requests (calls encoded with the codec) that
// the scripted service lets succeed, fail, or answer with large replies.
//   rdpdr_pdu_seeds <corpus dir>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzSeeds.h"
#include "ScriptedPcsc.h"
#include "virtchan/smartcard/RdpNdr.h"
#include "virtchan/smartcard/RdpScardStructs.h"
#include "virtchan/smartcard/RdpSmartCardAPI.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace rdpesc;

void Put(Bytes& b, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

Bytes Header(uint16_t packetId) {
  Bytes b;
  Put(b, 0x4472, 2);
  Put(b, packetId, 2);
  return b;
}

// A Device I/O Request for the smart card.
Bytes Request(uint32_t major, uint32_t code = 0, const Bytes& input = {}) {
  static uint32_t completion = 1;
  Bytes b = Header(0x4952);
  Put(b, 1, 4);  // DeviceId
  Put(b, 0, 4);  // FileId
  Put(b, completion++, 4);
  Put(b, major, 4);
  Put(b, 0, 4);  // MinorFunction
  if (major == 14) {
    Put(b, 2048, 4);
    Put(b, uint32_t(input.size()), 4);
    Put(b, code, 4);
    b.resize(b.size() + 20);
    b.insert(b.end(), input.begin(), input.end());
  }
  return b;
}

template <class Call>
Bytes Control(uint32_t code, Call call) {
  Bytes input;
  NdrEncode(call, input);
  return Request(14, code, input);
}

NdrBlob Value(uint32_t v) {
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return NdrBlob::Of(b, 4);
}

REDIR_SCARDCONTEXT Ctx() {
  REDIR_SCARDCONTEXT c;
  c.cbContext = 4;
  c.pbContext = Value(scriptedpcsc::kFirstContext);
  return c;
}

REDIR_SCARDHANDLE Card() {
  REDIR_SCARDHANDLE h;
  h.Context = Ctx();
  h.cbHandle = 4;
  h.pbHandle = Value(scriptedpcsc::kFirstCard);
  return h;
}

// A call on the first context about one reader.
template <class Call, class Text>
void OneReader(Call& call, const Text& reader) {
  call.Context = Ctx();
  call.cReaders = 1;
  call.rgReaderStates.present = true;
  call.rgReaderStates.items.resize(1);
  call.rgReaderStates.items[0].szReader.present = true;
  call.rgReaderStates.items[0].szReader.text = reader;
}

// One of every call, on the context and the card the service hands out
// first.
std::vector<Bytes> CardSession(uint32_t recvLength) {
  using namespace scardioctl;
  std::vector<Bytes> p;
  EstablishContext_Call establish;
  establish.dwScope = 2;
  p.push_back(Control(kEstablishContext, establish));
  ListReaders_Call list;
  list.Context = Ctx();
  list.cchReaders = 0xFFFFFFFF;
  p.push_back(Control(kListReadersA, list));
  p.push_back(Control(kListReadersW, list));
  ListReaderGroups_Call groups;
  groups.Context = Ctx();
  groups.cchGroups = 0xFFFFFFFF;
  p.push_back(Control(kListReaderGroupsW, groups));
  GetStatusChangeA_Call change;
  OneReader(change, std::string("Reader"));
  p.push_back(Control(kGetStatusChangeA, change));
  ConnectA_Call connect;
  connect.szReader = NdrStrA::Of("Reader");
  connect.Common.Context = Ctx();
  connect.Common.dwShareMode = 2;
  connect.Common.dwPreferredProtocols = 3;
  p.push_back(Control(kConnectA, connect));
  Status_Call status;
  status.hCard = Card();
  status.cchReaderLen() = 0xFFFFFFFF;
  p.push_back(Control(kStatusW, status));
  Transmit_Call transmit;
  transmit.hCard = Card();
  transmit.ioSendPci.dwProtocol = 2;
  const uint8_t apdu[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  transmit.cbSendLength = sizeof apdu;
  transmit.pbSendBuffer = NdrBlob::Of(apdu, sizeof apdu);
  transmit.cbRecvLength = recvLength;
  p.push_back(Control(kTransmit, transmit));
  Control_Call control;
  control.hCard = Card();
  control.dwControlCode = 0x00313520;
  control.cbOutBufferSize = recvLength;
  p.push_back(Control(kControl, control));
  GetAttrib_Call attrib;
  attrib.hCard = Card();
  attrib.dwAttrId() = 0x00090303;
  attrib.cbAttrLen() = 0xFFFFFFFF;
  p.push_back(Control(kGetAttrib, attrib));
  HCardAndDisposition_Call begin;
  begin.hCard = Card();
  p.push_back(Control(kBeginTransaction, begin));
  GetTransmitCount_Call count;
  count.hCard = Card();
  p.push_back(Control(kGetTransmitCount, count));
  LocateCardsByATRW_Call locate;
  OneReader(locate, std::u16string(u"Reader"));
  locate.cAtrs = 1;
  locate.rgAtrMasks.present = true;
  locate.rgAtrMasks.items.resize(1);
  locate.rgAtrMasks.items[0].cbAtr = 2;
  locate.rgAtrMasks.items[0].rgbMask.fill(0xFF);
  p.push_back(Control(kLocateCardsByAtrW, locate));
  WriteCacheA_Call write;
  write.szLookupName = NdrStrA::Of("cardid");
  write.Common.Context = Ctx();
  write.Common.CardIdentifier.present = true;
  write.Common.cbDataLen = 3;
  write.Common.pbData = NdrBlob::Of("abc", 3);
  p.push_back(Control(kWriteCacheA, write));
  ReadCacheW_Call read;
  read.szLookupName = NdrStrW::Of(u"cardid");
  read.Common.Context = Ctx();
  read.Common.CardIdentifier.present = true;
  read.Common.cbDataLen = 0xFFFFFFFF;
  p.push_back(Control(kReadCacheW, read));
  p.push_back(Control(kEndTransaction, begin));
  p.push_back(Control(kDisconnect, begin));
  Context_Call context;
  context.Context = Ctx();
  p.push_back(Control(kCancel, context));
  p.push_back(Control(kReleaseContext, context));
  p.push_back(Control(kIsValidContext, context));
  return p;
}

// The script block, then each PDU, each behind its u16 length.
Bytes Input(const Bytes& script, const std::vector<Bytes>& pdus) {
  Bytes out;
  std::vector<Bytes> blocks{script};
  blocks.insert(blocks.end(), pdus.begin(), pdus.end());
  for (const Bytes& p : blocks) {
    Put(out, uint32_t(p.size()), 2);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = std::string(argv[1]) + "/";
  Bytes announce = Header(0x496E);
  Put(announce, 0x000C0001, 4);
  Put(announce, 0x12345678, 4);
  WriteSeed(dir + "handshake", Input({}, {announce, Header(0x5350), Header(0x4343), Request(0), Request(2),
                                         Request(3), Request(14, scardioctl::kAccessStartedEvent)}));
  // An empty script: the service grants everything.
  const std::vector<Bytes> session = CardSession(258);
  WriteSeed(dir + "card-session", Input({}, session));
  // Every call's result byte picks an error.
  WriteSeed(dir + "card-session-failing", Input(Bytes(512, 0xFF), session));
  // Some calls fail, the rest succeed with long replies from sizes up to
  // the wire's largest.
  Bytes script;
  for (int i = 0; i < 64; ++i) script.insert(script.end(), {uint8_t(i % 5 == 4 ? 0xF9 : 0x00), 0xFF, 0xFF, 0x00});
  WriteSeed(dir + "card-session-large", Input(script, CardSession(0xFFFFFFFF)));
  return 0;
}
