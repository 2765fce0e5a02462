// Packets per second from the test host over loopback through the receive
// loop, the dispatch thread and a counting processor, against a plain
// reader that reads bursts into one buffer and cuts frames in place, timed
// in turn in the same process. Also counts the heap allocations of
// steady-state reception.
#include <benchmark/benchmark.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
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
// Bytes a phase carries: long enough that starting and stopping the
// sender weighs little.
constexpr uint64_t kPhaseBytes = 8 << 20;
constexpr int kWarmUpPackets = 2000;
// The reference reads bursts of up to this much.
constexpr uint32_t kBurst = 256 * 1024;
// Frames the host keeps in flight ahead of the receiver: whole chunks, a
// few short of what the pool keeps idle for the payload's class (400 for
// 1 KiB, 70 for 64 KiB). A server that runs further ahead lengthens the
// dispatch queue past that, and the surplus is allocated and freed.
uint64_t FramesInFlight(uint32_t payload) {
  constexpr int kHeldByReceiver = 4;  // the one being read, the one being delivered, margin
  const int limit = CPacketPool::Global().FreeLimit(CPacketPool::SizeClass(payload));
  return static_cast<uint64_t>((limit - kHeldByReceiver) / kFramesPerChunk * kFramesPerChunk);
}

uint64_t FramesPerPhase(uint32_t payload) {
  const uint64_t frames = kPhaseBytes / (payload + 12);
  return std::max<uint64_t>(8, frames / kFramesPerChunk) * kFramesPerChunk;
}

struct Figures {
  double vsPlain = 0;
  double allocationsPerPacket = 0;
};
std::map<int64_t, Figures> g_figures;  // payload size -> figures

// The host's side: the same chunk of frames written again and again, as
// many as it was asked for, never more than the frames in flight ahead of
// what the receiver has counted. It sleeps, never spins, while it waits,
// so that it takes no processor from the receiver it is not feeding.
class Sender {
 public:
  Sender(testhost::FramedPeer* peer, uint32_t payload, const std::atomic<uint64_t>* received)
      : peer_(peer), inFlight_(FramesInFlight(payload)), received_(received) {
    testhost::FrameHeader h;
    h.slot = kDisplaySlot;
    h.length = payload;
    auto header = h.Encode();
    for (int i = 0; i < kFramesPerChunk; ++i) {
      chunk_.insert(chunk_.end(), header.begin(), header.end());
      chunk_.resize(chunk_.size() + payload, static_cast<uint8_t>(i));
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Sender() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    asked_.notify_all();
    peer_->Close();  // wakes a blocked send
    thread_.join();
  }
  // Sends n more frames (a multiple of the chunk).
  void Ask(uint64_t n) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      budget_ += n;
    }
    asked_.notify_all();
  }

 private:
  void Run() {
    uint64_t sent = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> hold(lock_);
        asked_.wait(hold, [&] { return stop_ || budget_ >= kFramesPerChunk; });
        if (stop_) return;
        budget_ -= kFramesPerChunk;
      }
      while (sent + kFramesPerChunk > received_->load(std::memory_order_relaxed) + inFlight_) {
        if (stop_) return;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
      if (!peer_->SendBytes(chunk_.data(), chunk_.size())) return;
      sent += kFramesPerChunk;
    }
  }

  testhost::FramedPeer* peer_;
  const uint64_t inFlight_;
  const std::atomic<uint64_t>* received_;
  std::vector<uint8_t> chunk_;
  std::mutex lock_;
  std::condition_variable asked_;
  uint64_t budget_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Counts packets; whoever waits for a count sleeps until the packet that
// reaches it, so that waiting takes no processor from the session.
class CountingProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t) override {
    const uint64_t now = count.fetch_add(1, std::memory_order_relaxed) + 1;
    if (now == target_.load(std::memory_order_relaxed)) {
      std::lock_guard<std::mutex> hold(lock_);
      reached_.notify_all();
    }
    return 0;
  }
  int OnClientData(const void*, uint32_t) override { return 0; }
  void WaitCount(uint64_t target) {
    std::unique_lock<std::mutex> hold(lock_);
    target_.store(target);
    reached_.wait(hold, [&] { return count.load() >= target; });
  }
  std::atomic<uint64_t> count{0};

 private:
  std::atomic<uint64_t> target_{0};
  std::mutex lock_;
  std::condition_variable reached_;
};

// The plain receiver: bursts of up to 256 KiB into one buffer, frames cut
// in place and counted, a partial frame moved to the front.
class PlainReader {
 public:
  explicit PlainReader(SOCKET s) : s_(s), buffer_(kBurst) {}
  bool ReadUntil(uint64_t target) {
    while (count.load(std::memory_order_relaxed) < target) {
      const ssize_t n = recv(s_, buffer_.data() + filled_, buffer_.size() - filled_, 0);
      if (n <= 0) return false;
      filled_ += static_cast<size_t>(n);
      size_t at = 0;
      uint64_t frames = 0;
      while (filled_ - at >= 12) {
        const uint8_t* h = buffer_.data() + at;
        const size_t frame = 12 + (uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 |
                                   uint32_t(h[3]) << 24);
        if (filled_ - at < frame) break;
        at += frame;
        ++frames;
      }
      if (at) std::memmove(buffer_.data(), buffer_.data() + at, filled_ - at);
      filled_ -= at;
      count.fetch_add(frames, std::memory_order_relaxed);
    }
    return true;
  }
  std::atomic<uint64_t> count{0};

 private:
  SOCKET s_;
  std::vector<uint8_t> buffer_;
  size_t filled_ = 0;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration sends a phase of frames to the plain reader, then a phase
// to the session, and times both, so that the load of the machine weighs
// on both alike.
void SessionVsPlain(benchmark::State& state) {
  const uint32_t payload = static_cast<uint32_t>(state.range(0));
  const uint64_t phase = FramesPerPhase(payload);

  testhost::Listener host;
  host.Listen();
  SOCKET s = SocketOpen(AF_INET, SOCK_STREAM);
  sockaddr_in a = host.Address();
  SocketConnect(s, &a, 5000, nullptr);
  auto plainPeer = host.Accept(5000);
  PlainReader plain(s);

  sessiontest::LoopbackSession session;
  session.client->SetSlots({kDisplaySlot}, {}, false);
  auto* processor = new CountingProcessor;
  session.client->RegisterSlotProcessor(kDisplaySlot, processor);
  if (!plainPeer || !session.Open()) {
    state.SkipWithError("no loopback connection");
    closesocket(s);
    return;
  }
  session.StartLoop();

  Sender plainSender(plainPeer.get(), payload, &plain.count);
  Sender sessionSender(session.peer.get(), payload, &processor->count);
  const uint64_t warmUp = (kWarmUpPackets / kFramesPerChunk + 1) * kFramesPerChunk;
  plainSender.Ask(warmUp);
  plain.ReadUntil(warmUp);
  sessionSender.Ask(warmUp);
  processor->WaitCount(warmUp);

  uint64_t plainTarget = plain.count.load(), sessionTarget = processor->count.load();
  double plainSeconds = 0, sessionSeconds = 0;
  uint64_t allocations = 0;
  for (auto _ : state) {
    plainTarget += phase;
    auto start = std::chrono::steady_clock::now();
    plainSender.Ask(phase);
    plain.ReadUntil(plainTarget);
    plainSeconds += SecondsSince(start);

    sessionTarget += phase;
    const uint64_t allocationsBefore = g_allocations.load();
    start = std::chrono::steady_clock::now();
    sessionSender.Ask(phase);
    processor->WaitCount(sessionTarget);
    sessionSeconds += SecondsSince(start);
    allocations += g_allocations.load() - allocationsBefore;
  }
  const double packets = static_cast<double>(phase) * static_cast<double>(state.iterations());
  Figures& f = g_figures[state.range(0)];
  f.vsPlain = sessionSeconds > 0 ? plainSeconds / sessionSeconds : 0;
  f.allocationsPerPacket = packets > 0 ? static_cast<double>(allocations) / packets : 0;
  state.counters["session_packets/s"] = sessionSeconds > 0 ? packets / sessionSeconds : 0;
  state.counters["plain_packets/s"] = plainSeconds > 0 ? packets / plainSeconds : 0;
  state.counters["vs_plain"] = f.vsPlain;
  state.counters["allocs/packet"] = f.allocationsPerPacket;
  state.SetBytesProcessed(static_cast<int64_t>(packets) * (state.range(0) + 12));
  closesocket(s);
}

BENCHMARK(SessionVsPlain)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    for (const auto& entry : g_figures) {
      const Figures& f = entry.second;
      std::printf("  %lld-byte packets: session / plain burst reader %.2fx (target >= 0.80x): %s; "
                  "%.4f allocations per packet (target 0): %s\n",
                  static_cast<long long>(entry.first), f.vsPlain, Verdict(f.vsPlain >= 0.8), f.allocationsPerPacket,
                  Verdict(f.allocationsPerPacket < 0.001));
    }
  });
}
