// Datagrams as server discovery takes them from its connection: the
// engine's datagram entry (the callback its connection calls on the receive
// thread) during a search, with the table readers after each input. The
// connection is stored through its connected notification but never opened,
// so a search runs and its probes go nowhere; no socket, no wait. One engine
// for the whole run; each input starts a new search.
// Input: datagrams of a u16 length and their bytes, the last one taking
// what is left; an empty one stands for a failed read. The senders take
// turns among four loopback addresses, so answers from several servers meet.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "FuzzPackets.h"
#include "discovery/ServerFinderCore.h"
#include "transport/Connection.h"
#include "transport/PacketHeader.h"
#include "transport/Status.h"

namespace {

class AnswerCounter : public IServerFinderListener {
 public:
  void OnServersFound() override { ++answers; }
  size_t answers = 0;
};

struct Rig {
  AnswerCounter counter;
  CServerFinderCore* engine = nullptr;
  CConnection* connection = nullptr;
};

Rig& TheRig() {
  static Rig* rig = [] {
    auto* r = new Rig;
    DiscoveryDestinations nowhere{};
    nowhere.listProbe.sin_family = AF_INET;
    nowhere.listProbe.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    nowhere.serverProbe = nowhere.listProbe;
    r->engine = new CServerFinderCore(nowhere);
    r->engine->SetListener(&r->counter);
    r->connection = new CConnection(&CServerFinderCore::OnDatagram, r->engine);
    CServerFinderCore::OnDatagram(-1, nullptr, nullptr, kNotifyConnected, r->connection, r->engine);
    return r;
  }();
  return *rig;
}

sockaddr_in Sender(size_t turn) {
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_port = htons(40103);
  sender.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + turn % 4);
  return sender;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = TheRig();
  if (rig.engine->Search(CServerFinderCore::kSearchAll) != kStatusOk) abort();
  size_t turn = 0;
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& datagram, size_t) {
    const sockaddr_in sender = Sender(turn++);
    if (datagram.empty()) {
      CServerFinderCore::OnDatagram(PacketHeader::kControlSlot, &sender, nullptr, -1, rig.connection, rig.engine);
      return;
    }
    // In a buffer of its own size, so that a read beyond it shows.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[datagram.size()]);
    std::copy(datagram.begin(), datagram.end(), bytes.get());
    CServerFinderCore::OnDatagram(PacketHeader::kControlSlot, &sender, bytes.get(), int(datagram.size()),
                                  rig.connection, rig.engine);
  });
  // What the session's server-name lookup and the front end read.
  const std::vector<ServerRecord> servers = rig.engine->Servers();
  if (servers.size() > size_t(CServerFinderCore::kMaxServers)) abort();
  in_addr address{};
  for (const ServerRecord& server : servers) rig.engine->FindServer(server.name, &address);
  return 0;
}
