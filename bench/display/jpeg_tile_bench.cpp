// JPEG tile decoding of one full 1920x1080 screen of tiles, against
// TurboJPEG's tjDecompress2 decoding the same JPEGs in the same run. The
// counter x_turbojpeg is our throughput over TurboJPEG's (above 1 is faster).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include <turbojpeg.h>

#include "display/JpegDecoder.h"

namespace {

typedef std::chrono::steady_clock Clock;
using Bytes = std::vector<unsigned char>;

// 16 x 4096 pictures: 256 macroblocks of two tiles each; 64 of them carry
// the 32400 tiles of a 1920 x 1080 screen (and a few more).
constexpr int kWidth = 16;
constexpr int kHeight = 4096;
constexpr int kPictures = 64;

// Desktop-like content: flat areas, gradients and some text-like detail.
Bytes Picture(int seed) {
  Bytes rgb(size_t(kWidth) * kHeight * 3);
  unsigned state = 12345u + unsigned(seed);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      state = state * 1664525u + 1013904223u;
      unsigned char* p = &rgb[(size_t(y) * kWidth + x) * 3];
      const bool detail = ((y / 64) % 3) == 0;
      const int base = (y / 16 + seed * 7) % 256;
      p[0] = (unsigned char)(detail ? (state >> 24) : base);
      p[1] = (unsigned char)(detail ? ((state >> 16) & 0xFF) : (base + x * 4));
      p[2] = (unsigned char)(detail ? ((x ^ y) * 9) : 200);
    }
  return rgb;
}

const std::vector<Bytes>& Jpegs() {
  static const std::vector<Bytes> jpegs = [] {
    std::vector<Bytes> out;
    tjhandle handle = tjInitCompress();
    for (int i = 0; i < kPictures; ++i) {
      const Bytes rgb = Picture(i);
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      if (tjCompress2(handle, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &jpeg, &size,
                      TJSAMP_420, 85, 0) == 0)
        out.emplace_back(jpeg, jpeg + size);
      tjFree(jpeg);
    }
    tjDestroy(handle);
    return out;
  }();
  return jpegs;
}

// Seconds for TurboJPEG to decode every picture once, to RGB.
double TurboJpegSeconds() {
  static const double seconds = [] {
    tjhandle handle = tjInitDecompress();
    Bytes out(size_t(kWidth) * kHeight * 3);
    size_t rounds = 0;
    const auto start = Clock::now();
    std::chrono::duration<double> elapsed{};
    do {
      for (const Bytes& jpeg : Jpegs())
        tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_RGB, 0);
      benchmark::DoNotOptimize(out.data());
      ++rounds;
      elapsed = Clock::now() - start;
    } while (elapsed.count() < 0.5);
    tjDestroy(handle);
    return elapsed.count() / double(rounds);
  }();
  return seconds;
}

template <uint32_t (*Decode)(const unsigned char*, size_t, int*, int*, unsigned char**)>
void BM_Decode(benchmark::State& state) {
  const double reference = TurboJpegSeconds();
  const auto start = Clock::now();
  for (auto _ : state) {
    for (const Bytes& jpeg : Jpegs()) {
      int width = 0, height = 0;
      unsigned char* tiles = nullptr;
      if (Decode(jpeg.data(), jpeg.size(), &width, &height, &tiles) != 0) {
        state.SkipWithError("decode failed");
        return;
      }
      benchmark::DoNotOptimize(tiles);
      std::free(tiles);
    }
  }
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  const double iterations = double(state.iterations());
  // Each picture pixel carries half a display pixel.
  state.counters["display_Mpx_per_s"] = benchmark::Counter(
      iterations * kPictures * kWidth * kHeight / 2 / 1e6, benchmark::Counter::kIsRate);
  if (iterations > 0) state.counters["x_turbojpeg"] = reference / (elapsed.count() / iterations);
}

void BM_TurboJpegReference(benchmark::State& state) {
  tjhandle handle = tjInitDecompress();
  Bytes out(size_t(kWidth) * kHeight * 3);
  for (auto _ : state)
    for (const Bytes& jpeg : Jpegs())
      tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_RGB, 0);
  tjDestroy(handle);
}

}  // namespace

BENCHMARK(BM_TurboJpegReference)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Decode, DecodeJpegToTileUnits)->Name("BM_TileUnits")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Decode, DecodeJpegToBgrTiles)->Name("BM_BgrTiles")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
