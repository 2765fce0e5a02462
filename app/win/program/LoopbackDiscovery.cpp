#include "program/LoopbackDiscovery.h"

#include <arpa/inet.h>

#include <cstdio>
#include <vector>

#include "pelplat/net.h"
#include "pelplat/winerror.h"
#include "discovery/ServerFinderCore.h"
#include "ui/main/ServerFinderEngine.h"

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// The one adapter the engine binds its socket to.
DWORD LoopbackAdapterOnly(std::vector<NetAdapter>& out) {
  NetAdapter adapter;
  adapter.name = "lo";
  adapter.type = MIB_IF_TYPE_ETHERNET;
  adapter.firstAddress.s_addr = htonl(INADDR_LOOPBACK);
  out = {adapter};
  return ERROR_SUCCESS;
}

DWORD NoAdapters(std::vector<NetAdapter>& out) {
  out.clear();
  return ERROR_SUCCESS;
}

// Owns the engine the front end drives.
class OwnedEngine : public CoreServerFinderEngine {
 public:
  explicit OwnedEngine(std::unique_ptr<CServerFinderCore> core)
      : CoreServerFinderEngine(*core), core_(std::move(core)) {}

 private:
  std::unique_ptr<CServerFinderCore> core_;
};

}  // namespace

std::unique_ptr<IServerFinderEngine> MakeLoopbackDiscoveryEngine(const char* value) {
  if (value == nullptr) return nullptr;
  unsigned listPort = 0, serverPort = 0;
  char extra = 0;
  const bool valid = sscanf(value, "%u:%u%c", &listPort, &serverPort, &extra) == 2 && listPort > 0 &&
                     listPort < 65536 && serverPort > 0 && serverPort < 65536;
  SetAdapterListProvider(valid ? LoopbackAdapterOnly : NoAdapters);
  DiscoveryDestinations destinations{Loopback(static_cast<uint16_t>(listPort)),
                                     Loopback(static_cast<uint16_t>(serverPort))};
  return std::make_unique<OwnedEngine>(std::make_unique<CServerFinderCore>(destinations));
}
