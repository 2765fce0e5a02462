// Where a connection goes: the parameter block handed to CConnection::Open,
// and the process-wide connection mode that the server text selects.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "pelplat/wintypes.h"
#include "transport/Status.h"

enum ConnectionMode { kConnectionNormal = 0, kConnectionRecord = 1, kConnectionReplay = 2 };

struct ConnectTarget {
  static constexpr int kAddressCount = 8;
  static constexpr size_t kModeFileChars = 260;

  uint32_t framing = 0;    // 1 framed packets, 2 raw datagrams
  uint32_t transport = 0;  // 1 TCP, 2 UDP
  sockaddr_in addresses[kAddressCount] = {};

  // Fills the address list from a server text and a port. "host+file"
  // records to the file, "host=file" replays it from 127.0.0.1. 0, 4098 (no
  // text) or 4100 (the name is unknown). With `stopped`, a name-service
  // lookup gives up as soon as it turns true (4100 then).
  int Resolve(const WCHAR* serverText, uint16_t port, const std::atomic<bool>* stopped = nullptr);
};

// The mode and file name the last Resolve chose, for the whole process.
int GetConnectionMode();
std::u16string GetConnectionModeFile();

// Servers found on the local network answer before the name service. The
// discovery engine installs its table lookup here (null removes it).
typedef bool (*DiscoveredServerLookup)(const WCHAR* name, in_addr* address);
void SetDiscoveredServerLookup(DiscoveredServerLookup lookup);
