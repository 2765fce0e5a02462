// JPEG tile decoding of one full 1920x1080 screen of tiles, against
// TurboJPEG's tjDecompress2 decoding the same JPEGs to 3-byte pixels with
// fast upsampling, interleaved in the same run. The counter x_turbojpeg is
// our throughput over TurboJPEG's (above 1 is faster); the program ends
// with the table of targets.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <turbojpeg.h>

#include "BenchTargets.h"
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

// TurboJPEG decoding a picture to 3-byte pixels with the same chroma
// upsampling as the tile decoders (each chroma sample covers its 2x2
// pixels, no interpolation).
struct TurboJpeg {
  tjhandle handle = tjInitDecompress();
  Bytes out = Bytes(size_t(kWidth) * kHeight * 3);
  ~TurboJpeg() { tjDestroy(handle); }
  void DecodeAll() {
    for (const Bytes& jpeg : Jpegs())
      tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_BGR,
                    TJFLAG_FASTUPSAMPLE);
    benchmark::DoNotOptimize(out.data());
  }
};

double SecondsOf(const std::function<bool()>& work, bool* ok) {
  const auto start = Clock::now();
  *ok = work() && *ok;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::map<std::string, double>& Ratios() {
  static std::map<std::string, double> ratios;
  return ratios;
}

// The reference and the decoder alternately, round after round, so that
// both see the same machine load.
template <uint32_t (*Decode)(const unsigned char*, size_t, int*, int*, unsigned char**)>
void BM_Decode(benchmark::State& state, const char* name) {
  TurboJpeg reference;
  double referenceSeconds = 0, decodeSeconds = 0;
  size_t rounds = 0;
  bool ok = true;
  for (auto _ : state) {
    referenceSeconds += SecondsOf([&] { reference.DecodeAll(); return true; }, &ok);
    decodeSeconds += SecondsOf(
        [&] {
          for (const Bytes& jpeg : Jpegs()) {
            int width = 0, height = 0;
            unsigned char* tiles = nullptr;
            if (Decode(jpeg.data(), jpeg.size(), &width, &height, &tiles) != 0) return false;
            benchmark::DoNotOptimize(tiles);
            std::free(tiles);
          }
          return true;
        },
        &ok);
    ++rounds;
  }
  if (!ok) {
    state.SkipWithError("decode failed");
    return;
  }
  // Each picture pixel carries half a display pixel.
  state.counters["display_Mpx_per_s"] =
      double(rounds) * kPictures * kWidth * kHeight / 2 / 1e6 / decodeSeconds;
  state.counters["x_turbojpeg"] = Ratios()[name] = referenceSeconds / decodeSeconds;
}

void BM_TileUnits(benchmark::State& state) { BM_Decode<DecodeJpegToTileUnits>(state, "tile units"); }
void BM_BgrTiles(benchmark::State& state) { BM_Decode<DecodeJpegToBgrTiles>(state, "BGR tiles"); }

}  // namespace

BENCHMARK(BM_TileUnits)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BgrTiles)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
  return RunBenchmarksThenTargets(argc, argv, [] {
    for (const auto& entry : Ratios())
      std::printf("  %s / TurboJPEG with fast upsampling: %.2fx (target >= 1.00x): %s\n",
                  entry.first.c_str(), entry.second, Verdict(entry.second >= 1.0));
  });
}
