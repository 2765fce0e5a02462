// Discovery answers as the receive thread hands them over: list answers and
// server answers, from a loopback sender, into an engine that never opens a
// socket or starts its thread.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "discovery/ServerFinderCore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CServerFinderCore* engine = nullptr;
  if (!engine) {
    DiscoveryDestinations nowhere{};
    nowhere.listProbe.sin_family = AF_INET;
    nowhere.listProbe.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    nowhere.serverProbe = nowhere.listProbe;
    engine = new CServerFinderCore(nowhere);
  }
  const std::vector<uint8_t> datagram(data, data + size);
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  engine->FeedAnswer(&sender, datagram.data(), datagram.size());
  // Keep the table from filling for good, so later inputs still reach it.
  if (engine->Servers().size() >= CServerFinderCore::kMaxServers) {
    delete engine;
    engine = nullptr;
  }
  return 0;
}
