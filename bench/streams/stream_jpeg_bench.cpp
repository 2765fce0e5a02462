// JPEG frames with a target rectangle through the stream slot processor
// at 1280 x 720, decoded and drawn into a real surface, with the worker
// pool off and on; each run also reports its speed as a multiple of
// TurboJPEG decoding the same frames on one thread, timed in turn with it
// (x_turbojpeg above 1 is faster than that), and the program ends with its
// targets.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "BenchTargets.h"
#include "stream_port.h"
#include "pelplat/debugout.h"
#include "streams/AvsSlotDataProcessor.h"
#include "testhost/StreamEncoder.h"

namespace {

namespace hs = testhost::stream;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 8;
// Passes over the frames per iteration: enough that filling and draining
// the pool weighs little.
constexpr int kRounds = 4;
// Frames on their way through the pool at once: fewer than the pool's
// back-pressure threshold, so that none is dropped.
constexpr int kInFlight = 6;

const std::vector<Bytes>& Frames() {
  static const std::vector<Bytes> frames = [] {
    std::vector<Bytes> out;
    for (int f = 0; f < kFrames; ++f) {
      testhost::RgbImage image{kWidth, kHeight, {}};
      image.rgb.reserve(size_t(kWidth) * kHeight * 3);
      for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
          image.rgb.push_back(uint8_t(x / 5 + f * 13));
          image.rgb.push_back(uint8_t(y / 3 + ((x * y) >> 9)));
          image.rgb.push_back(uint8_t((x ^ y) + f));
        }
      out.push_back(hs::JpegOf(image, 80));
    }
    return out;
  }();
  return frames;
}

// One pass of TurboJPEG over the frames, to RGB rows last first, on the
// calling thread.
void TurboJpegPass() {
  static Bytes out(size_t(kWidth) * kHeight * 3);
  tjhandle handle = tjInitDecompress();
  for (int round = 0; round < kRounds; ++round)
    for (const Bytes& jpeg : Frames())
      tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_RGB,
                    TJFLAG_BOTTOMUP);
  benchmark::DoNotOptimize(out.data());
  tjDestroy(handle);
}

// Processor time of every thread of this process, in seconds.
double ProcessSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Wall-clock and processor seconds and page faults of a pass, added to the
// totals.
struct Timing {
  double seconds = 0;
  double cpu = 0;
  long faults = 0;
  template <class Pass>
  void Add(Pass pass) {
    const double cpuBefore = ProcessSeconds();
    const long faultsBefore = MinorFaults();
    const auto start = Clock::now();
    pass();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    cpu += ProcessSeconds() - cpuBefore;
    faults += MinorFaults() - faultsBefore;
  }
};

// The cores this process may run on.
int Cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

double g_ratio[2] = {0, 0};  // pool off, on

// Each iteration times a TurboJPEG pass, then the processor's pass over the
// same frames, so that the load of the machine weighs on both alike.
void BM_StreamSlotJpeg(benchmark::State& state) {
  const bool pool = state.range(0) != 0;
  SetDebugOutputSink([](const std::string&) {});
  std::vector<Bytes> messages;
  for (const Bytes& jpeg : Frames()) messages.push_back(hs::JpegFrame(0, jpeg, hs::Rect{0, 0, kWidth, kHeight}));
  // One repaint a frame drawn, counted, not kept.
  auto port = std::make_shared<StreamPort>(kWidth, kHeight, 24);
  port->keepRepaints = false;
  CClientConnectionParameter parameters;
  parameters.useSound = 1;
  parameters.dataSlicerMode = pool ? 1 : 0;
  port->parameters = &parameters;
  CAvsSlotDataProcessor processor(0);
  processor.AttachPort(3, port);
  uint64_t sent = 0;
  auto pass = [&] {
    for (int round = 0; round < kRounds; ++round)
      for (const Bytes& m : messages) {
        if (sent >= kInFlight) port->WaitRepaints(sent - kInFlight + 1);
        processor.OnSlotData(m.data(), uint32_t(m.size()));
        ++sent;
      }
    port->WaitRepaints(sent);
  };
  // Untimed: the first frames fault in the memory the next ones reuse.
  pass();
  Timing pooled, reference;
  for (auto _ : state) {
    reference.Add(TurboJpegPass);
    pooled.Add(pass);
  }
  const double frames = double(kFrames * kRounds) * double(std::max<int64_t>(1, state.iterations()));
  state.counters["frames_per_s"] = frames / pooled.seconds;
  state.counters["turbojpeg_frames_per_s"] = frames / reference.seconds;
  // Processor time per frame tells the work done from the waiting.
  state.counters["cpu_ms_per_frame"] = 1000 * pooled.cpu / frames;
  state.counters["turbojpeg_cpu_ms_per_frame"] = 1000 * reference.cpu / frames;
  state.counters["page_faults_per_frame"] = double(pooled.faults) / frames;
  g_ratio[pool] = reference.seconds / pooled.seconds;
  state.counters["x_turbojpeg"] = g_ratio[pool];
  SetDebugOutputSink(nullptr);
}

}  // namespace

BENCHMARK(BM_StreamSlotJpeg)->Arg(0)->ArgName("pool")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StreamSlotJpeg)->Arg(1)->ArgName("pool")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    const int cores = Cores();
    // Four workers decode side by side; the drawing stays on one thread.
    const double target = cores >= 4 ? 3.0 : 1.7;
    std::printf("JPEG frames 1280x720, pool on, %d cores / TurboJPEG on one thread: %.2f "
                "(target >= %.1f, %s)\n",
                cores, g_ratio[1], target, Verdict(g_ratio[1] >= target));
    std::printf("JPEG frames 1280x720, pool off / TurboJPEG on one thread: %.2f (no target)\n",
                g_ratio[0]);
  });
}
