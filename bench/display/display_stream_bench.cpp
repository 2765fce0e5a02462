// Full-screen 1920x1080 updates through the display processor, 24-bit, in
// five kinds of tiles, each against a reference run in the same process:
//   raw, palette, cache hits   memcpy of the same pixel bytes (x_memcpy)
//   JPEG tiles                 TurboJPEG tjDecompress2 on the same JPEGs (x_turbojpeg)
//   LZ4-wrapped raw            LZ4_decompress_safe alone plus the raw update (x_reference)
// A ratio above 1 means faster than the reference.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "op2_test_support.h"
#include "testhost/DisplayEncoder.h"

namespace {

using Clock = std::chrono::steady_clock;
using testhost::Packet;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kDepth = 24;
constexpr double kScreenPixels = double(kWidth) * kHeight;

// Seconds per call of work, measured for at least half a second.
double SecondsPerRun(const std::function<void()>& work) {
  size_t runs = 0;
  const auto start = Clock::now();
  std::chrono::duration<double> elapsed{};
  do {
    work();
    ++runs;
    elapsed = Clock::now() - start;
  } while (elapsed.count() < 0.5);
  return elapsed.count() / double(runs);
}

// Desktop-like content: flat areas, text-like strokes, gradients. Every tile
// has more than 16 colours when `rich` is set.
testhost::RgbImage Screen(bool rich) {
  testhost::RgbImage image{kWidth, kHeight, std::vector<uint8_t>(size_t(kWidth) * kHeight * 3)};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &image.rgb[(size_t(y) * kWidth + x) * 3];
      const int tile = (x / 8) % 37 + (y / 8) % 11;
      if (rich) {
        p[0] = uint8_t(x % 8 * 16 + tile * 5);
        p[1] = uint8_t(y % 8 * 16 + tile * 3);
        p[2] = uint8_t((x + y) % 8 * 8 + tile);
      } else {
        const bool stroke = ((x * 3 + y * (tile % 5 + 1)) % 7) < (tile % 4);
        p[0] = uint8_t(stroke ? 20 * (tile % 13) : 240 - tile);
        p[1] = uint8_t(stroke ? 30 : 235);
        p[2] = uint8_t(stroke ? 11 * tile : 220);
      }
    }
  return image;
}

testhost::PaintOptions Options() {
  testhost::PaintOptions o;
  o.depth = kDepth;
  o.repeats = false;
  o.cacheRefs = false;
  o.packetBytes = 60000;
  return o;
}

// A display processor whose surface has the screen's mode.
struct Display {
  FakeDisplayApi api;
  TestOp2Processor processor{&api};
  Display() { processor.Packet(ModeBytes(kWidth, kHeight, kDepth)); }
  void Feed(const std::vector<Packet>& packets) {
    for (const Packet& p : packets) processor.Packet(p);
  }
};

struct Update {
  std::vector<Packet> packets;
  std::function<double()> reference;  // seconds of the reference run
  const char* counter;
};

double MemcpySeconds() {
  static const double seconds = [] {
    std::vector<uint8_t> from(size_t(kWidth) * kHeight * 3, 1), to(from.size());
    return SecondsPerRun([&] {
      std::memcpy(to.data(), from.data(), from.size());
      benchmark::DoNotOptimize(to.data());
    });
  }();
  return seconds;
}

// The packets of one painting without its mode order, which the display
// received once: replaying them is a full-screen update in a steady mode.
std::vector<Packet> Paint(const testhost::RgbImage& image, const testhost::PaintOptions& options) {
  testhost::DisplayEncoder encoder;
  std::vector<Packet> packets = encoder.Paint(image, options);
  const Packet mode = testhost::DisplayEncoder::ModeOrder(kWidth, kHeight, kDepth);
  if (!packets.empty() && std::equal(mode.begin(), mode.end(), packets[0].begin()))
    packets[0].erase(packets[0].begin(), packets[0].begin() + long(mode.size()));
  return packets;
}

const Update& RawTiles() {
  static const Update update = [] {
    testhost::PaintOptions o = Options();
    o.palettes = false;
    return Update{Paint(Screen(true), o), MemcpySeconds, "x_memcpy"};
  }();
  return update;
}

const Update& PaletteTiles() {
  static const Update update = [] {
    testhost::PaintOptions o = Options();
    o.paletteCache = false;
    return Update{Paint(Screen(false), o), MemcpySeconds, "x_memcpy"};
  }();
  return update;
}

// The second of two paintings of one picture: every tile is in tile cache 1.
struct CacheHits {
  Display display;
  std::vector<Packet> packets;
  CacheHits() {
    const testhost::RgbImage image = Screen(true);
    testhost::DisplayEncoder encoder;
    testhost::PaintOptions first = Options();
    first.palettes = false;
    display.Feed(encoder.Paint(image, first));
    testhost::PaintOptions second = first;
    second.modeOrder = false;
    second.cacheRefs = true;
    packets = encoder.Paint(image, second);
  }
};

CacheHits& Hits() {
  static CacheHits hits;
  return hits;
}

// JPEG-coded tiles: 16-pixel-wide JPEGs of 4096 rows (1024 tiles each) in
// containers of codec 9, placed row by row across the screen.
struct JpegScreen {
  std::vector<std::vector<uint8_t>> jpegs;
  std::vector<Packet> packets;
  JpegScreen() {
    const testhost::RgbImage screen = Screen(true);
    constexpr int kRows = 4096, kTilesPerJpeg = kRows / 8 * 2;
    const int tiles = (kWidth / 8) * (kHeight / 8);
    tjhandle handle = tjInitCompress();
    for (int first = 0; first < tiles; first += kTilesPerJpeg) {
      std::vector<uint8_t> rgb(size_t(16) * kRows * 3, 0);
      for (int k = 0; k < kTilesPerJpeg && first + k < tiles; ++k) {
        const int t = first + k, tx = t % (kWidth / 8), ty = t / (kWidth / 8);
        for (int r = 0; r < 8; ++r)
          std::memcpy(&rgb[(size_t(k / 2 * 8 + r) * 16 + k % 2 * 8) * 3],
                      &screen.rgb[(size_t(ty * 8 + r) * kWidth + tx * 8) * 3], 24);
      }
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      tjCompress2(handle, rgb.data(), 16, 0, kRows, TJPF_RGB, &jpeg, &size, TJSAMP_420, 85, 0);
      jpegs.emplace_back(jpeg, jpeg + size);
      tjFree(jpeg);
      // Records: runs of tiles along a screen row.
      Bytes records = {1, 9, 0, 0};
      for (int k = 0; k < kTilesPerJpeg && first + k < tiles;) {
        const int t = first + k, tx = t % (kWidth / 8), ty = t / (kWidth / 8);
        const int run = std::min({kWidth / 8 - tx, kTilesPerJpeg - k, tiles - t, 255});
        records.insert(records.end(), {2, uint8_t(run), uint8_t(tx), uint8_t(ty)});
        k += run;
      }
      Packet packet = Word(Group(3, 1));
      Put(packet, 0, 2);  // the length word on a multiple of four
      Put(packet, 4 + jpegs.back().size() + records.size(), 4);
      Put(packet, jpegs.back().size(), 4);
      packet.insert(packet.end(), jpegs.back().begin(), jpegs.back().end());
      packet.insert(packet.end(), records.begin(), records.end());
      packets.push_back(std::move(packet));
    }
    tjDestroy(handle);
  }
};

const JpegScreen& Jpegs() {
  static const JpegScreen screen;
  return screen;
}

double TurboJpegSeconds() {
  static const double seconds = [] {
    tjhandle handle = tjInitDecompress();
    std::vector<uint8_t> out(size_t(16) * 4096 * 3);
    const double s = SecondsPerRun([&] {
      for (const auto& jpeg : Jpegs().jpegs)
        tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), 16, 0, 4096, TJPF_RGB, 0);
      benchmark::DoNotOptimize(out.data());
    });
    tjDestroy(handle);
    return s;
  }();
  return seconds;
}

// The raw update's packets, compressed as type-11 packets.
const std::vector<Packet>& Lz4Raw() {
  static const std::vector<Packet> packets = [] {
    std::vector<Packet> out;
    for (const Packet& p : RawTiles().packets) out.push_back(testhost::WrapLz4(p));
    return out;
  }();
  return packets;
}

double RawUpdateSeconds() {
  static const double seconds = [] {
    Display display;
    return SecondsPerRun([&] { display.Feed(RawTiles().packets); });
  }();
  return seconds;
}

double Lz4ReferenceSeconds() {
  static const double seconds = [] {
    std::vector<char> out(size_t(1) << 20);
    const double lz4 = SecondsPerRun([&] {
      for (const Packet& p : Lz4Raw()) {
        const int z = int(p[4] | p[5] << 8 | p[6] << 16 | uint32_t(p[7]) << 24);
        const int o = int(p[8] | p[9] << 8 | p[10] << 16 | uint32_t(p[11]) << 24);
        if (p[0] != 11 || size_t(o) > out.size()) continue;
        LZ4_decompress_safe(reinterpret_cast<const char*>(p.data() + 16), out.data(), z, o);
      }
      benchmark::DoNotOptimize(out.data());
    });
    return lz4 + RawUpdateSeconds();
  }();
  return seconds;
}

void Run(benchmark::State& state, Display& display, const std::vector<Packet>& packets,
         double referenceSeconds, const char* counter) {
  const auto start = Clock::now();
  for (auto _ : state) display.Feed(packets);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  const double iterations = double(state.iterations());
  state.counters["Mpx_per_s"] =
      benchmark::Counter(iterations * kScreenPixels / 1e6, benchmark::Counter::kIsRate);
  if (iterations > 0) state.counters[counter] = referenceSeconds / (elapsed.count() / iterations);
}

void BM_RawTiles(benchmark::State& state) {
  Display display;
  Run(state, display, RawTiles().packets, MemcpySeconds(), "x_memcpy");
}

void BM_PaletteTiles(benchmark::State& state) {
  Display display;
  Run(state, display, PaletteTiles().packets, MemcpySeconds(), "x_memcpy");
}

void BM_CacheHits(benchmark::State& state) {
  Run(state, Hits().display, Hits().packets, MemcpySeconds(), "x_memcpy");
}

void BM_JpegTiles(benchmark::State& state) {
  Display display;
  Run(state, display, Jpegs().packets, TurboJpegSeconds(), "x_turbojpeg");
}

void BM_Lz4RawTiles(benchmark::State& state) {
  Display display;
  Run(state, display, Lz4Raw(), Lz4ReferenceSeconds(), "x_reference");
}

}  // namespace

BENCHMARK(BM_RawTiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaletteTiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheHits)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegTiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lz4RawTiles)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
