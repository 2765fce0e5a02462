// A key press from the input record to its key frame on the socket (the
// GUI thread's call, which ends once the socket has the frame) and on to
// the host's read, as median and 99th percentile; and pointer moves fed
// every millisecond, counted per pacing period as the host receives them.
// Prints each target with its figure and whether it is met.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchTargets.h"
#include "ClientDoubles.h"
#include "SessionDoubles.h"
#include "support/FakeSystemApi.h"
#include "input/VirtHidSlotDataProcessor.h"
#include "session/HtClient.h"
#include "session/SlotProcessorFactory.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 15000;
constexpr int kKeyScan = 0x1E;
constexpr int kKeyRelease = 0x80;
constexpr uint16_t kPointerKind = CVirtHidSlotDataProcessor::kPointerFrameKind;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
  return values[at];
}

// A plain session of the real client with its keyboard and pointer
// processor, running against the test host.
class LiveSession {
 public:
  bool Start() {
    RegisterVirtHidProcessorMaker();
    host_.Serve();
    clienttest::PlainParameters(&params_, host_.Port());
    if (client_->Init(api_, &params_) != 0 || client_->Start() != 0) return false;
    if (!api_->runEvent.Wait(kWaitMs) || api_->ConnectionState() != 5) return false;
    host_.Join();
    if (!host_.ok) return false;
    // An answered echo: the connection thread is past the handshake and the
    // input sink is in place.
    if (!host_.session->SendEcho({1})) return false;
    return host_.session->WaitFor(
        [](const testhost::HostMessage& m) { return m.code == testhost::code::kEchoReply; }, kWaitMs);
  }
  ~LiveSession() {
    client_->Stop();
    client_->ReleaseAllProcessors();
    client_->Release();
    api_->Stop();
    api_->Release();
    RegisterSlotProcessorMaker(slotname::kKeyboard, nullptr);
  }
  testsupport::FakeSystemApi* Api() { return api_; }
  testhost::HostSession& Host() { return *host_.session; }
  uint16_t HidSlot() const { return client_->HidSlot(); }
  size_t MessageCount() { return host_.session->Messages().size(); }

 private:
  inputtest::Host host_;
  testsupport::FakeSystemApi* api_ = new testsupport::FakeSystemApi;
  CClientConnectionParameter params_;
  CHtClient* client_ = new CHtClient;
};

struct Figures {
  double toSocketMedian = 0, toSocketP99 = 0, toHostMedian = 0, toHostP99 = 0;
  double movesPerPeriod = -1;
  DWORD periodMs = 0;
} g_figures;

void KeyToWire(benchmark::State& state) {
  LiveSession session;
  if (!session.Start()) {
    state.SkipWithError("no session");
    return;
  }
  const uint16_t hid = session.HidSlot();
  std::vector<double> toSocket, toHost;
  size_t from = session.MessageCount();
  int press = 0;
  for (auto _ : state) {
    const int scan = (press++ & 1) ? kKeyScan | kKeyRelease : kKeyScan;
    const Clock::time_point began = Clock::now();
    session.Api()->ForwardKeyInput(scan, 0);
    const Clock::time_point written = Clock::now();
    testhost::HostMessage m;
    if (!session.Host().WaitFor([&](const testhost::HostMessage& x) { return x.header.slot == hid; }, kWaitMs, &m,
                                from)) {
      state.SkipWithError("the key frame did not arrive");
      return;
    }
    const Clock::time_point arrived = Clock::now();
    ++from;  // one frame per key
    toSocket.push_back(Micros(written - began));
    toHost.push_back(Micros(arrived - began));
  }
  g_figures.toSocketMedian = Percentile(toSocket, 0.5);
  g_figures.toSocketP99 = Percentile(toSocket, 0.99);
  g_figures.toHostMedian = Percentile(toHost, 0.5);
  g_figures.toHostP99 = Percentile(toHost, 0.99);
  state.counters["to_socket_median_us"] = g_figures.toSocketMedian;
  state.counters["to_socket_p99_us"] = g_figures.toSocketP99;
  state.counters["to_host_median_us"] = g_figures.toHostMedian;
  state.counters["to_host_p99_us"] = g_figures.toHostP99;
}

// Moves every millisecond for the run's time; the host should see one
// pointer frame per period.
void PointerPacing(benchmark::State& state) {
  LiveSession session;
  if (!session.Start()) {
    state.SkipWithError("no session");
    return;
  }
  const uint16_t hid = session.HidSlot();
  auto pointerFrames = [&] {
    size_t n = 0;
    for (const testhost::HostMessage& m : session.Host().Messages())
      if (m.header.slot == hid && m.body.size() >= 4 && (m.body[2] | (m.body[3] << 8)) == kPointerKind) ++n;
    return n;
  };
  const size_t before = pointerFrames();
  const Clock::time_point began = Clock::now();
  int x = 0;
  for (auto _ : state) {
    session.Api()->ForwardPointerInput(x % 1000, x % 700, 0, 0, 0, 1, 0);
    ++x;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
  // The last period's move goes out when that period ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const size_t frames = pointerFrames() - before;
  g_figures.periodMs = CVirtHidSlotDataProcessor::kConfiguredPeriodMs;
  const double periods = ms / g_figures.periodMs;
  g_figures.movesPerPeriod = periods > 0 ? frames / periods : 0;
  state.counters["moves_fed"] = x;
  state.counters["frames_sent"] = static_cast<double>(frames);
  state.counters["moves_per_period"] = g_figures.movesPerPeriod;
}

BENCHMARK(KeyToWire)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PointerPacing)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    std::printf("  key press to key frame on the socket: median %.1f us, p99 %.1f us (target p99 < 1000 us): %s\n",
                g_figures.toSocketMedian, g_figures.toSocketP99, Verdict(g_figures.toSocketP99 < 1000));
    std::printf("  (to the host's read: median %.1f us, p99 %.1f us)\n", g_figures.toHostMedian, g_figures.toHostP99);
    if (g_figures.movesPerPeriod >= 0)
      std::printf("  pointer moves per %u ms period: %.3f (target 1): %s\n", static_cast<unsigned>(g_figures.periodMs),
                  g_figures.movesPerPeriod, Verdict(g_figures.movesPerPeriod > 0.9 && g_figures.movesPerPeriod < 1.1));
  });
}
