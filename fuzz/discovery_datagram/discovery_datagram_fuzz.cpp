// Datagrams as server discovery reads them: the engine's receive thread
// with its real connection (a datagram socket bound to the one adapter the
// adapter seam lists, 127.0.0.1), the datagram reader and the answer
// handler, during a search. The test host's datagram peer takes the probes
// (and so learns where to answer) and sends the input's datagrams. One
// engine for the whole run; each input starts a new search.
// Input: datagrams of a u16 length and their bytes, the last one taking
// what is left; empty ones included.
#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "FuzzPackets.h"
#include "pelplat/debugout.h"
#include "pelplat/net.h"
#include "discovery/ServerFinderCore.h"
#include "testhost/Datagram.h"

namespace {

// What a search may take before the next input: the socket's receive
// buffer holds this much with room to spare, so nothing is dropped.
constexpr size_t kMaxDatagrams = 32;
constexpr size_t kMaxBytes = 60000;
constexpr int kWaitMs = 10000;

DWORD OneLoopbackAdapter(std::vector<NetAdapter>& out) {
  NetAdapter adapter;
  adapter.name = "eth0";
  adapter.type = MIB_IF_TYPE_ETHERNET;
  inet_pton(AF_INET, "127.0.0.1", &adapter.firstAddress);
  out = {adapter};
  return 0;
}

// Counts the answers the engine has taken. While closed it holds the
// receive thread at the first answer, so that the input's datagrams are all
// queued before the reader looks at them: each read then sees the size of
// the datagram it takes.
class AnswerCounter : public IServerFinderListener {
 public:
  void OnServersFound() override {
    std::unique_lock<std::mutex> hold(mutex_);
    ++answers_;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::milliseconds(kWaitMs), [&] { return open_; });
  }
  void Close() {
    std::lock_guard<std::mutex> hold(mutex_);
    answers_ = 0;
    open_ = false;
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitFor(size_t n) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::milliseconds(kWaitMs), [&] { return answers_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t answers_ = 0;
  bool open_ = true;
};

struct Rig {
  testhost::DatagramPeer peer;
  AnswerCounter counter;
  CServerFinderCore* engine = nullptr;
};

Rig& TheRig() {
  static Rig* rig = [] {
    // A line for every datagram would slow the run many times over.
    SetDebugOutputSink([](const std::string&) {});
    SetAdapterListProvider(OneLoopbackAdapter);
    auto* r = new Rig;
    if (!r->peer.Bind("127.0.0.1")) abort();
    r->engine = new CServerFinderCore(DiscoveryDestinations{r->peer.Address(), r->peer.Address()});
    r->engine->SetListener(&r->counter);
    r->engine->StartThread();
    return r;
  }();
  return *rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = TheRig();
  if (rig.engine->Search(CServerFinderCore::kSearchAll) != 0) abort();
  // Both probes come from the engine's socket.
  sockaddr_in engine{};
  std::vector<uint8_t> probe;
  for (int i = 0; i < 2; ++i) {
    if (!rig.peer.Receive(&probe, &engine, kWaitMs)) abort();
  }

  // The gate: a one-byte answer that holds the receive thread.
  rig.counter.Close();
  const uint8_t gate = 0;
  if (!rig.peer.SendTo(engine, &gate, 1)) abort();
  rig.counter.WaitFor(1);

  size_t sent = 0, answers = 1, bytes = 0;
  ForEachFuzzPacket(data, size, 0, [&](const std::vector<uint8_t>& datagram, size_t) {
    if (sent == kMaxDatagrams || bytes + datagram.size() > kMaxBytes) return;
    if (!rig.peer.SendTo(engine, datagram.data(), datagram.size())) return;
    ++sent;
    bytes += datagram.size();
    if (!datagram.empty()) ++answers;
  });
  rig.counter.Open();
  rig.counter.WaitFor(answers);
  return 0;
}
