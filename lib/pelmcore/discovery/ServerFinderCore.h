// Server discovery: two UDP probes broadcast on the local network, answers
// collected on a receive thread, a table of at most 50 servers (name and IPv4
// address). One engine serves the whole process; the discovery front end
// drives it and is told through IServerFinderListener when the table may
// have changed.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "pelplat/wintypes.h"
#include "sys/CxMutex.h"
#include "sys/_synchro.h"

class CConnection;

// One server: the same 68-byte layout in the table and in a list answer.
struct ServerRecord {
  static constexpr size_t kNameChars = 32;
  static constexpr size_t kWireSize = 68;

  WCHAR name[kNameChars] = {};  // at most 31 characters; empty hides the entry
  uint32_t address = 0;         // network byte order
};

class IServerFinderListener {
 public:
  virtual ~IServerFinderListener() = default;
  // Called on the receive thread after each answer, with the engine's
  // listener lock held.
  virtual void OnServersFound() = 0;
};

// Where the probes go. The program broadcasts; tests name a loopback
// address and ports of their own.
struct DiscoveryDestinations {
  sockaddr_in listProbe;
  sockaddr_in serverProbe;

  // 255.255.255.255, ports 1283 and 40103.
  static DiscoveryDestinations Broadcast();
};

class CServerFinderCore {
 public:
  static constexpr int kMaxServers = 50;
  static constexpr int kSearchAll = 1;
  static constexpr int kBadMode = 5;
  static constexpr int kNotOpen = 6;
  static constexpr DWORD kStopPauseMs = 100;

  static constexpr size_t kListProbeSize = 28;
  static constexpr size_t kServerProbeSize = 128;
  static constexpr uint16_t kListPort = 1283;
  static constexpr uint16_t kServerPort = 40103;
  static constexpr uint32_t kListMagic = 0xAA550003u;
  static constexpr size_t kListHeadSize = 20;
  static constexpr size_t kListMinSize = 564;
  static constexpr size_t kServerAnswerMinSize = 324;
  static constexpr size_t kServerNameOffset = 260;

  CServerFinderCore();
  explicit CServerFinderCore(const DiscoveryDestinations& destinations);
  ~CServerFinderCore();
  CServerFinderCore(const CServerFinderCore&) = delete;
  CServerFinderCore& operator=(const CServerFinderCore&) = delete;

  // The process-wide engine, broadcasting; built on first use. It answers
  // the session's server-name lookup from its table.
  static CServerFinderCore& Global();

  void SetListener(IServerFinderListener* listener);
  void ClearListener();

  // Starts the receive thread when none runs and waits until it has tried
  // to open its socket.
  void StartThread();
  // 0 after sending both probes; 5 for a mode other than 1, 6 without an open
  // socket (nothing sent then). Empties the table.
  int Search(int mode);
  // Ends the receive thread, if any, and waits for it.
  void StopThread();

  // A copy of the table taken under its lock, entries in table order.
  std::vector<ServerRecord> Servers() const;
  // The address of the first entry whose name matches (first 32
  // characters, case-blind).
  bool FindServer(const WCHAR* name, in_addr* address) const;

  // The probes as they go on the wire.
  static std::vector<uint8_t> ListProbe();
  static std::vector<uint8_t> ServerProbe();

  // The answer handler, as the connection calls it on the receive thread.
  static int OnDatagram(int slot, const sockaddr_in* sender, const uint8_t* data, int length,
                        CConnection* connection, void* engine);
  // What the receive thread does with an answer during a search; fuzzing
  // feeds recorded or made-up answers here.
  void FeedAnswer(const sockaddr_in* sender, const uint8_t* data, size_t length) {
    OnAnswer(sender, data, length);
  }

 private:
  void ReceiveThread();
  void OnAnswer(const sockaddr_in* sender, const uint8_t* data, size_t length);
  // Both take the table lock themselves.
  void TakeListAnswer(const uint8_t* data, size_t length);
  void TakeServerAnswer(uint32_t source, const uint8_t* data, size_t length);
  int FindAddressLocked(uint32_t address) const;
  void NotifyListener();
  void StoreConnection(CConnection* connection);
  void DropConnection(CConnection* connection);
  // The stored connection with a reference for the caller, or null.
  CConnection* TakeConnectionRef();

  CxMutex lock_;  // the listener and its call
  CxEvent started_;
  const DiscoveryDestinations destinations_;

  mutable std::mutex tableMutex_;
  int serverCount_ = 0;
  ServerRecord servers_[kMaxServers];

  std::mutex connectionMutex_;
  CConnection* connection_ = nullptr;

  std::atomic<int> searching_{0};
  std::mutex threadMutex_;
  std::thread thread_;
  IServerFinderListener* listener_ = nullptr;
};
