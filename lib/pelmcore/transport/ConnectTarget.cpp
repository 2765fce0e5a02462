#include "transport/ConnectTarget.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "pelplat/net.h"
#include "pelplat/utf16.h"

namespace {

std::mutex g_modeMutex;
int g_mode = kConnectionNormal;
std::u16string g_modeFile;
std::atomic<DiscoveredServerLookup> g_discoveredLookup{nullptr};

void SetMode(int mode, const std::u16string& file) {
  std::lock_guard<std::mutex> hold(g_modeMutex);
  g_mode = mode;
  g_modeFile = file.substr(0, ConnectTarget::kModeFileChars);
}

sockaddr_in MakeAddress(in_addr address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr = address;
  return a;
}

}  // namespace

int GetConnectionMode() {
  std::lock_guard<std::mutex> hold(g_modeMutex);
  return g_mode;
}

std::u16string GetConnectionModeFile() {
  std::lock_guard<std::mutex> hold(g_modeMutex);
  return g_modeFile;
}

void SetDiscoveredServerLookup(DiscoveredServerLookup lookup) { g_discoveredLookup.store(lookup); }

int ConnectTarget::Resolve(const WCHAR* serverText, uint16_t port, const std::atomic<bool>* stopped) {
  if (!serverText || !*serverText) return kStatusBadArgument;
  std::u16string text(serverText);
  std::u16string host = text;
  const size_t plus = text.find(u'+');
  const size_t equals = text.find(u'=');
  if (plus != std::u16string::npos) {
    host = text.substr(0, plus);
    SetMode(kConnectionRecord, text.substr(plus + 1));
  } else if (equals != std::u16string::npos) {
    host = u"127.0.0.1";
    SetMode(kConnectionReplay, text.substr(equals + 1));
  } else {
    SetMode(kConnectionNormal, std::u16string());
  }

  memset(addresses, 0, sizeof addresses);
  const std::string narrow = Utf16ToUtf8(host);
  if (narrow.empty()) return kStatusOk;

  in_addr address{};
  if (ParseDottedIPv4(narrow.c_str(), &address)) {
    addresses[0] = MakeAddress(address, port);
    return kStatusOk;
  }
  if (DiscoveredServerLookup lookup = g_discoveredLookup.load()) {
    if (lookup(host.c_str(), &address)) {
      addresses[0] = MakeAddress(address, port);
      return kStatusOk;
    }
  }
  in_addr found[kAddressCount];
  const int n = stopped ? ResolveHostIPv4Until(narrow.c_str(), found, kAddressCount, *stopped)
                        : ResolveHostIPv4(narrow.c_str(), found, kAddressCount);
  if (n <= 0) return kStatusUnknownServer;
  for (int i = 0; i < n; ++i) addresses[i] = MakeAddress(found[i], port);
  return kStatusOk;
}
