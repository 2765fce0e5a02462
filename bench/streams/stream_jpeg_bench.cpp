// JPEG frames with a target rectangle through the stream slot processor
// at 1280 x 720, decoded and drawn into a real surface, with the worker
// pool off and on; each run also reports its speed as a multiple of
// TurboJPEG decoding the same frames on one thread in this process
// (x_turbojpeg above 1 is faster than that).
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "fake_stream_port.h"
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

// Seconds for TurboJPEG to decode every frame once, to RGB, bottom-up.
double TurboJpegSeconds() {
  static const double seconds = [] {
    const std::vector<Bytes>& frames = Frames();
    tjhandle handle = tjInitDecompress();
    Bytes out(size_t(kWidth) * kHeight * 3);
    size_t rounds = 0;
    const auto start = Clock::now();
    std::chrono::duration<double> elapsed{};
    do {
      for (const Bytes& jpeg : frames)
        tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_RGB,
                      TJFLAG_BOTTOMUP);
      benchmark::DoNotOptimize(out.data());
      ++rounds;
      elapsed = Clock::now() - start;
    } while (elapsed.count() < 0.5);
    tjDestroy(handle);
    return elapsed.count() / double(rounds);
  }();
  return seconds;
}

// Counts the frames drawn (one dirty rectangle each).
class CountingPort : public FakeStreamPort {
 public:
  void InvalidateRect(int, int, int, int, int) override {
    std::lock_guard<std::mutex> hold(lock_);
    ++drawn_;
    changed_.notify_all();
  }
  void WaitDrawn(uint64_t n) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return drawn_ >= n; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  uint64_t drawn_ = 0;
};

void BM_TurboJpegReference(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(TurboJpegSeconds());
  state.counters["frames_per_s"] = kFrames / TurboJpegSeconds();
}

void BM_StreamSlotJpeg(benchmark::State& state) {
  const bool pool = state.range(0) != 0;
  SetDebugOutputSink([](const std::string&) {});
  const double reference = TurboJpegSeconds();
  std::vector<Bytes> messages;
  for (const Bytes& jpeg : Frames()) messages.push_back(hs::JpegFrame(0, jpeg, hs::Rect{0, 0, kWidth, kHeight}));
  auto port = std::make_shared<CountingPort>();
  port->keeper.Create(kWidth, kHeight, 24, 0);
  port->settings.dataSlicerMode = pool ? 1 : 0;
  CAvsSlotDataProcessor processor(0);
  processor.AttachPort(3, port);
  uint64_t sent = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    for (const Bytes& m : messages) {
      if (sent >= kInFlight) port->WaitDrawn(sent - kInFlight + 1);
      processor.OnSlotData(m.data(), uint32_t(m.size()));
      ++sent;
    }
  }
  port->WaitDrawn(sent);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  const double iterations = double(state.iterations());
  state.counters["frames_per_s"] = benchmark::Counter(iterations * kFrames, benchmark::Counter::kIsRate);
  if (iterations > 0) state.counters["x_turbojpeg"] = reference / (elapsed.count() / iterations);
  SetDebugOutputSink(nullptr);
}

}  // namespace

BENCHMARK(BM_TurboJpegReference)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamSlotJpeg)->Arg(0)->ArgName("pool")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StreamSlotJpeg)->Arg(1)->ArgName("pool")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
