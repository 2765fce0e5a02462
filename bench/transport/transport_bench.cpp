// Packets per second from the test host over loopback through the receive
// loop, the dispatch thread and a counting processor, against a plain
// socket read loop over the same stream in the same run. Also counts the
// heap allocations of steady-state reception.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "BenchTargets.h"
#include "SessionDoubles.h"
#include "testhost/Framing.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr uint16_t kDisplaySlot = 1;
constexpr int kFramesPerChunk = 32;
constexpr int kPacketsPerIteration = 256;
constexpr int kWarmUpPackets = 2000;
// Frames the host keeps in flight ahead of the receiver: whole chunks, a
// few short of what the pool keeps idle for the payload's class (400 for
// 1 KiB, 70 for 64 KiB). A server that runs further ahead lengthens the
// dispatch queue past that, and the surplus is allocated and freed.
uint64_t FramesInFlight(uint32_t payload) {
  constexpr int kHeldByReceiver = 4;  // the one being read, the one being delivered, margin
  const int limit = CPacketPool::Global().FreeLimit(CPacketPool::SizeClass(payload));
  return static_cast<uint64_t>((limit - kHeldByReceiver) / kFramesPerChunk * kFramesPerChunk);
}

std::map<int64_t, double> g_plainRate;  // payload size -> packets per second
struct SessionFigures {
  double vsPlain = 0;
  double allocationsPerPacket = 0;
};
std::map<int64_t, SessionFigures> g_sessionFigures;  // payload size -> figures

// The host's side: the same chunk of frames written again and again, never
// more than kFramesInFlight ahead of what the receiver has counted.
class Sender {
 public:
  Sender(testhost::FramedPeer* peer, uint32_t payload, const std::atomic<uint64_t>* received) : peer_(peer) {
    const uint64_t inFlight = FramesInFlight(payload);
    testhost::FrameHeader h;
    h.slot = kDisplaySlot;
    h.length = payload;
    auto header = h.Encode();
    for (int i = 0; i < kFramesPerChunk; ++i) {
      chunk_.insert(chunk_.end(), header.begin(), header.end());
      chunk_.resize(chunk_.size() + payload, static_cast<uint8_t>(i));
    }
    thread_ = std::thread([this, received, inFlight] {
      uint64_t sent = 0;
      while (!stop_) {
        if (sent + kFramesPerChunk > received->load(std::memory_order_relaxed) + inFlight) {
          std::this_thread::yield();
          continue;
        }
        if (!peer_->SendBytes(chunk_.data(), chunk_.size())) break;
        sent += kFramesPerChunk;
      }
    });
  }
  ~Sender() {
    stop_ = true;
    peer_->Close();  // wakes a blocked send
    thread_.join();
  }

 private:
  testhost::FramedPeer* peer_;
  std::vector<uint8_t> chunk_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class CountingProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t, CGenericClient*) override {
    count.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  int OnClientData(const void*, uint32_t) override { return 0; }
  std::atomic<uint64_t> count{0};
};

void WaitCount(const std::atomic<uint64_t>& count, uint64_t target) {
  while (count.load(std::memory_order_relaxed) < target) std::this_thread::yield();
}

void Report(benchmark::State& state, uint64_t packets, double seconds, uint64_t allocations) {
  state.counters["packets/s"] = seconds > 0 ? packets / seconds : 0;
  state.counters["allocs/packet"] = packets ? static_cast<double>(allocations) / packets : 0;
  state.SetBytesProcessed(static_cast<int64_t>(packets) * (state.range(0) + 12));
}

void PlainReadLoop(benchmark::State& state) {
  const uint32_t payload = static_cast<uint32_t>(state.range(0));
  testhost::Listener host;
  host.Listen();
  SOCKET s = SocketOpen(AF_INET, SOCK_STREAM);
  sockaddr_in a = host.Address();
  SocketConnect(s, &a, 5000, nullptr);
  auto peer = host.Accept(5000);
  std::vector<uint8_t> buffer(payload + 12);
  std::atomic<uint64_t> count{0};
  Sender sender(peer.get(), payload, &count);

  // Reads one frame with blocking reads, header first, as a bare client would.
  auto readFrame = [&] {
    size_t want = 12, got = 0;
    while (got < want) {
      ssize_t n = recv(s, buffer.data() + got, want - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
      if (got == 12 && want == 12) want += buffer[0] | (buffer[1] << 8) | (buffer[2] << 16);
    }
    count.fetch_add(1, std::memory_order_relaxed);
    return true;
  };
  for (int i = 0; i < kWarmUpPackets; ++i) readFrame();

  const uint64_t allocationsBefore = g_allocations.load();
  const uint64_t start = count.load();
  const auto began = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (int i = 0; i < kPacketsPerIteration; ++i) readFrame();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const uint64_t packets = count.load() - start;
  Report(state, packets, seconds, g_allocations.load() - allocationsBefore);
  g_plainRate[state.range(0)] = seconds > 0 ? packets / seconds : 0;
  closesocket(s);
}

void SessionReceive(benchmark::State& state) {
  const uint32_t payload = static_cast<uint32_t>(state.range(0));
  sessiontest::LoopbackSession session;
  session.client->SetSlots({kDisplaySlot}, {}, false);
  auto* processor = new CountingProcessor;
  session.client->RegisterSlotProcessor(kDisplaySlot, processor);
  if (!session.Open()) {
    state.SkipWithError("no loopback session");
    return;
  }
  session.StartLoop();
  Sender sender(session.peer.get(), payload, &processor->count);
  WaitCount(processor->count, kWarmUpPackets);

  const uint64_t allocationsBefore = g_allocations.load();
  const uint64_t start = processor->count.load();
  uint64_t target = start;
  const auto began = std::chrono::steady_clock::now();
  for (auto _ : state) {
    target += kPacketsPerIteration;
    WaitCount(processor->count, target);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const uint64_t packets = processor->count.load() - start;
  Report(state, packets, seconds, g_allocations.load() - allocationsBefore);
  const double plain = g_plainRate[state.range(0)];
  if (plain > 0) state.counters["vs_plain"] = (packets / seconds) / plain;
  SessionFigures& figures = g_sessionFigures[state.range(0)];
  figures.vsPlain = plain > 0 && seconds > 0 ? (packets / seconds) / plain : 0;
  figures.allocationsPerPacket = packets ? static_cast<double>(g_allocations.load() - allocationsBefore) / packets : 0;
}

// The plain loop runs first for each size, so the session can be compared
// with it.
BENCHMARK(PlainReadLoop)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(SessionReceive)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    for (const auto& entry : g_sessionFigures) {
      const SessionFigures& f = entry.second;
      std::printf("  %lld-byte packets: session / plain read loop %.2fx (target >= 0.80x): %s; "
                  "%.4f allocations per packet (target 0): %s\n",
                  static_cast<long long>(entry.first), f.vsPlain, Verdict(f.vsPlain >= 0.8), f.allocationsPerPacket,
                  Verdict(f.allocationsPerPacket < 0.001));
    }
  });
}
