#include "testhost/DiscoveryResponder.h"

#include <arpa/inet.h>

#include <chrono>
#include <iostream>

#include "testhost/Wire.h"

namespace testhost {

namespace {

constexpr int kReceivePollMs = 50;
constexpr size_t kRecordSize = 68;

bool IsLoopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

}  // namespace

std::vector<uint8_t> DiscoveryResponder::ListAnswer(const std::vector<DiscoveryEntry>& entries) {
  std::vector<uint8_t> out(12, 0);
  wire::Append(out, kListMagic, 4);
  wire::Append(out, entries.size(), 4);
  for (const DiscoveryEntry& e : entries) {
    wire::AppendWide(out, e.name, kNameChars);
    in_addr a{};
    inet_pton(AF_INET, e.address.c_str(), &a);
    wire::AppendBytes(out, &a, sizeof a);  // network order as it stands
  }
  if (out.size() < kListAnswerMin) out.resize(kListAnswerMin, 0);
  return out;
}

std::vector<uint8_t> DiscoveryResponder::ServerAnswer(const std::u16string& name, ServerState state) {
  std::vector<uint8_t> out;
  wire::AppendText(out, "UCAS", 4);
  wire::Append(out, state.busy, 4);
  wire::Append(out, state.wordA, 4);
  wire::Append(out, state.wordB, 4);
  out.resize(kServerNameOffset, 0);
  wire::AppendWide(out, name, kNameChars);
  return out;
}

bool DiscoveryResponder::Start(const char* address, uint16_t listPort, uint16_t serverPort) {
  Stop();
  if (!list_.Bind(address, listPort) || !server_.Bind(address, serverPort)) return false;
  if (!IsLoopback(list_.Address())) return false;
  stop_ = false;
  listThread_ = std::thread([this] { Serve(list_, listProbes_, true); });
  serverThread_ = std::thread([this] { Serve(server_, serverProbes_, false); });
  return true;
}

void DiscoveryResponder::Stop() {
  stop_ = true;
  if (listThread_.joinable()) listThread_.join();
  if (serverThread_.joinable()) serverThread_.join();
  list_.Close();
  server_.Close();
}

void DiscoveryResponder::Serve(DatagramPeer& peer, std::vector<std::vector<uint8_t>>& seen, bool listSocket) {
  while (!stop_) {
    std::vector<uint8_t> probe;
    sockaddr_in from{};
    if (!peer.Receive(&probe, &from, kReceivePollMs)) continue;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      seen.push_back(probe);
      changed_.notify_all();
    }
    // Answers go back to loopback senders only.
    if (!IsLoopback(from)) continue;
    if (listSocket && probe.size() == kListProbeSize && !entries_.empty()) {
      const std::vector<uint8_t> answer = ListAnswer(entries_);
      peer.SendTo(from, answer.data(), answer.size());
    } else if (!listSocket && probe.size() == kServerProbeSize && !name_.empty()) {
      const std::vector<uint8_t> answer = ServerAnswer(name_, state_);
      peer.SendTo(from, answer.data(), answer.size());
    }
  }
}

std::vector<std::vector<uint8_t>> DiscoveryResponder::ListProbes() {
  std::lock_guard<std::mutex> hold(mutex_);
  return listProbes_;
}

std::vector<std::vector<uint8_t>> DiscoveryResponder::ServerProbes() {
  std::lock_guard<std::mutex> hold(mutex_);
  return serverProbes_;
}

bool DiscoveryResponder::WaitForProbes(size_t listCount, size_t serverCount, int timeoutMs) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    return listProbes_.size() >= listCount && serverProbes_.size() >= serverCount;
  });
}

int RunDiscoveryResponder(const std::string& address, const std::u16string& name, std::istream& in,
                          std::ostream& out) {
  DiscoveryResponder responder;
  responder.SetName(name);
  responder.SetEntries({DiscoveryEntry{name, address}});
  if (!responder.Start(address.c_str())) return 1;
  out << "discovery " << address << " " << responder.ListPort() << " " << responder.ServerPort() << std::endl;
  std::string line;
  while (std::getline(in, line)) {
  }
  return 0;
}

}  // namespace testhost
