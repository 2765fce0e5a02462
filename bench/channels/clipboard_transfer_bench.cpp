// A 50 MB clipboard format going from a local program to the server through
// the clipboard channel: read from the local clipboard (the in-process
// model), cut into 1500-byte chunks as slot messages, and joined again by
// the test host's assembler. Each run also reports its speed as a multiple
// of memcpy of the same bytes in this process (x_memcpy below 1 is slower
// than that).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "pelplat/clipboard.h"
#include "testhost/ClipboardChannel.h"
#include "virtchan/ChannelRDPCLIP.h"

namespace {

namespace clip = pelplat::clipboard;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t kSize = 50u << 20;

// The server's end: every slot message straight into the assembler.
class AssemblingSession : public IVirtChanSession {
 public:
  void SendOnChannelSlot(const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const auto message = testhost::channels::ReadMessage(Bytes(p, p + length));
    ok = ok && message.ok && assembler.Add(message.index, message.payload);
  }
  const CClientConnectionParameter* Parameters() override { return nullptr; }
  void Cut() override {}
  testhost::channels::PduAssembler assembler;
  bool ok = true;
};

Bytes Pattern() {
  Bytes b(kSize);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 31 + (i >> 12));
  return b;
}

double MemcpySeconds(const Bytes& source) {
  Bytes target(source.size());
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

void BM_ClipboardTransfer(benchmark::State& state) {
  auto model = clip::MakeModelClipboardBackend();
  clip::SetClipboardBackend(model.get());
  const Bytes pattern = Pattern();
  const double reference = MemcpySeconds(pattern);
  const UINT format = clip::RegisterClipboardFormatW(u"Bench Format");
  {
    clip::ClipboardWindow program(nullptr);
    program.Open();
    program.Empty();
    program.SetData(format, &pattern);
    program.Close();
  }
  auto session = std::make_shared<AssemblingSession>();
  auto channel = std::make_shared<ChannelRDPCLIP>(1, 0, 0x10, session);
  channel->Open(channel);
  const Bytes request = testhost::cliprdr::FormatDataRequest(format);

  double elapsed = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    channel->OnReceive(request.data(), uint32_t(request.size()), session.get(), channel);
    std::vector<Bytes> pdus = session->assembler.Take(0);
    elapsed += std::chrono::duration<double>(Clock::now() - start).count();
    if (!session->ok || pdus.size() != 1 || pdus[0].size() != kSize + 8 ||
        memcmp(pdus[0].data() + 8, pattern.data(), kSize) != 0) {
      state.SkipWithError("the transfer did not arrive whole");
      break;
    }
  }
  channel->Stop();
  channel.reset();
  clip::SetClipboardBackend(nullptr);
  const double iterations = double(state.iterations());
  state.SetBytesProcessed(int64_t(iterations * kSize));
  if (iterations > 0 && elapsed > 0) state.counters["x_memcpy"] = reference / (elapsed / iterations);
}

}  // namespace

BENCHMARK(BM_ClipboardTransfer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
