// The audio slot's Vorbis decoding as a ratio to Tremor's ov_read on the same
// stream in the same run, and the latency from a data packet's arrival to
// its bytes reaching the device (median and 99th percentile). The stream is
// made with oggenc when the program starts; the device is the virtual-clock
// backend, so no sound card is needed.
#include <benchmark/benchmark.h>
#include <tremor/ivorbisfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "AudioSlotSupport.h"
#include "audio/AudioMessages.h"
#include "audio/AudioSlotDataProcessor.h"
#include "pelplat/wavebackend.h"

namespace {

using Clock = std::chrono::steady_clock;

Bytes g_ogg;
size_t g_headers = 0;
double g_ovReadSeconds = 0;  // per stream

void PutLe16(std::ofstream& f, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) f.put(static_cast<char>(v >> (8 * i)));
}

bool MakeStream() {
  char dirTemplate[] = "/tmp/pellum-bench-XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const int rate = 44100, frames = rate * 10;
  {
    std::ofstream f(dir + "/in.wav", std::ios::binary);
    f.write("RIFF", 4);
    PutLe16(f, 36 + frames * 4, 4);
    f.write("WAVEfmt ", 8);
    PutLe16(f, 16, 4);
    PutLe16(f, 1, 2);
    PutLe16(f, 2, 2);
    PutLe16(f, rate, 4);
    PutLe16(f, rate * 4, 4);
    PutLe16(f, 4, 2);
    PutLe16(f, 16, 2);
    f.write("data", 4);
    PutLe16(f, frames * 4, 4);
    for (int i = 0; i < frames; ++i) {
      PutLe16(f, static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(6.2831853 * 440 * i / rate))), 2);
      PutLe16(f, static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(6.2831853 * 660 * i / rate))), 2);
    }
  }
  if (std::system(("oggenc -Q -o " + dir + "/out.ogg " + dir + "/in.wav").c_str()) != 0) return false;
  std::ifstream f(dir + "/out.ogg", std::ios::binary);
  g_ogg.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  std::system(("rm -rf " + dir).c_str());
  while (g_headers + 27 <= g_ogg.size() && ReadLe64(g_ogg, g_headers + 6) == 0) {
    const size_t segments = g_ogg[g_headers + 26];
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += g_ogg[g_headers + 27 + i];
    g_headers += 27 + segments + body;
  }
  return g_headers > 0;
}

struct Memory {
  size_t at;
};

size_t ReadMemory(void* p, size_t size, size_t n, void* source) {
  auto* m = static_cast<Memory*>(source);
  const size_t want = std::min(size * n, g_ogg.size() - m->at);
  memcpy(p, g_ogg.data() + m->at, want);
  m->at += want;
  return size ? want / size : 0;
}

void BM_OvRead(benchmark::State& state) {
  std::vector<char> out(4096);
  size_t bytes = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    Memory m{0};
    ov_callbacks io{};
    io.read_func = ReadMemory;
    OggVorbis_File vf;
    ov_open_callbacks(&m, &vf, nullptr, 0, io);
    int section = 0;
    long n;
    while ((n = ov_read(&vf, out.data(), static_cast<int>(out.size()), &section)) > 0) bytes += n;
    ov_clear(&vf);
  }
  g_ovReadSeconds = std::chrono::duration<double>(Clock::now() - start).count() / state.iterations();
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_OvRead)->Unit(benchmark::kMillisecond);

struct Slot {
  Slot() {
    backend.KeepBytes(false);
    pelplat::wave::SetBackend(&backend);
    processor = std::make_unique<CAudioSlotDataProcessor>();
    AttachFakePort(*processor);
  }
  ~Slot() {
    processor.reset();
    pelplat::wave::SetBackend(nullptr);
  }
  void Send(const Bytes& payload) {
    Deliver(*processor, payload);
    ++sent;
  }
  void Drain() {
    while (processor->Processed() < sent) std::this_thread::yield();
    backend.Advance(uint64_t(1) << 40);  // give the device's buffers back
  }
  pelplat::wave::VirtualWaveBackend backend;
  std::unique_ptr<CAudioSlotDataProcessor> processor;
  uint32_t sent = 0;
};

void BM_VorbisThroughSlot(benchmark::State& state) {
  Slot slot;
  slot.Send(AudioMessage(audiomsg::kPlaybackState, Le32(3)));
  const size_t piece = 4000;
  std::vector<Bytes> messages;
  for (size_t at = g_headers; at < g_ogg.size(); at += piece) {
    const size_t n = std::min(piece, g_ogg.size() - at);
    messages.push_back(AudioMessage(audiomsg::kData, Bytes(g_ogg.begin() + long(at), g_ogg.begin() + long(at + n))));
  }
  const Bytes format = AudioMessage(audiomsg::kFormat, Bytes(g_ogg.begin(), g_ogg.begin() + long(g_headers)));
  const auto start = Clock::now();
  for (auto _ : state) {
    slot.Send(format);
    for (const Bytes& m : messages) slot.Send(m);
    slot.Drain();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count() / state.iterations();
  if (g_ovReadSeconds > 0) state.counters["time_vs_ov_read"] = seconds / g_ovReadSeconds;
}
BENCHMARK(BM_VorbisThroughSlot)->Unit(benchmark::kMillisecond);

// One positioned PCM packet of 10 ms at a time: from its arrival at the
// packet entry to the device's sink taking its frames.
void BM_PacketToDeviceLatency(benchmark::State& state) {
  Slot slot;
  slot.Send(AudioMessage(audiomsg::kFormat, WaveFormatBytes(1, 2, 44100, 16)));
  slot.Send(AudioMessage(audiomsg::kPlaybackState, Le32(3)));
  slot.Drain();
  Bytes position;
  PutLe(&position, 0, 8);
  const Bytes packet = AudioMessage(audiomsg::kPositionedData, Cat(position, Bytes(1764, 1)));
  std::vector<double> micros;
  for (auto _ : state) {
    const uint64_t before = slot.backend.FramesWritten();
    const auto start = Clock::now();
    slot.Send(packet);
    while (slot.backend.FramesWritten() == before) {
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    slot.Drain();
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_PacketToDeviceLatency)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (!MakeStream()) {
    fprintf(stderr, "audio_bench: oggenc could not make the stream\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
