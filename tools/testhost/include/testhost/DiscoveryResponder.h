// The discovery module of the test host: a responder on a loopback address
// that answers the client's list probe with a list answer and its server
// probe with a server answer, each sent back to the probe's source.
#pragma once

#include <atomic>
#include <iosfwd>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testhost/Datagram.h"

namespace testhost {

struct DiscoveryEntry {
  std::u16string name;
  std::string address;  // dotted IPv4
};

// The words of a server answer that decide whether the client lists it.
struct ServerState {
  uint32_t busy = 0;
  uint32_t wordA = 1;
  uint32_t wordB = 1;
};

class DiscoveryResponder {
 public:
  static constexpr size_t kListProbeSize = 28;
  static constexpr size_t kServerProbeSize = 128;
  static constexpr uint32_t kListMagic = 0xAA550003u;
  static constexpr size_t kListAnswerMin = 564;
  static constexpr size_t kServerAnswerSize = 324;
  static constexpr size_t kServerNameOffset = 260;
  static constexpr size_t kNameChars = 32;

  DiscoveryResponder() = default;
  ~DiscoveryResponder() { Stop(); }
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  // The server answer's name; empty sends no server answer.
  void SetName(std::u16string name) { name_ = std::move(name); }
  void SetState(ServerState state) { state_ = state; }
  // The list answer's entries; none sends no list answer.
  void SetEntries(std::vector<DiscoveryEntry> entries) { entries_ = std::move(entries); }

  // Binds both sockets on a loopback address (port 0: ephemeral) and
  // answers on threads of its own until Stop.
  bool Start(const char* address = "127.0.0.1", uint16_t listPort = 0, uint16_t serverPort = 0);
  void Stop();
  uint16_t ListPort() const { return list_.Port(); }
  uint16_t ServerPort() const { return server_.Port(); }
  sockaddr_in ListAddress() const { return list_.Address(); }
  sockaddr_in ServerAddress() const { return server_.Address(); }

  // Every datagram received so far on either socket, in arrival order per
  // socket.
  std::vector<std::vector<uint8_t>> ListProbes();
  std::vector<std::vector<uint8_t>> ServerProbes();
  bool WaitForProbes(size_t listCount, size_t serverCount, int timeoutMs);

  // The answers as the responder sends them. A list answer is never shorter
  // than the client takes (zero-padded).
  static std::vector<uint8_t> ListAnswer(const std::vector<DiscoveryEntry>& entries);
  static std::vector<uint8_t> ServerAnswer(const std::u16string& name, ServerState state);

 private:
  void Serve(DatagramPeer& peer, std::vector<std::vector<uint8_t>>& seen, bool listSocket);

  std::u16string name_;
  ServerState state_;
  std::vector<DiscoveryEntry> entries_;
  DatagramPeer list_;
  DatagramPeer server_;
  std::thread listThread_;
  std::thread serverThread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> listProbes_;
  std::vector<std::vector<uint8_t>> serverProbes_;
};

// The command line's discovery mode: answers with the name, listing itself
// at the address, prints "discovery ADDRESS LIST-PORT SERVER-PORT" and runs
// until the input ends. 0, or 1 when the sockets cannot be bound.
int RunDiscoveryResponder(const std::string& address, const std::u16string& name, std::istream& in,
                          std::ostream& out);

}  // namespace testhost
