// Throughput of one EncryptPacket + DecryptPacket per payload at each level,
// against raw RC5 ECB (key schedule made once) over the same bytes in the
// same run. Levels 1 to 3 derive a fresh key and schedule for every packet by
// design; the ratio shows what that and the extra passes cost.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "cryptlib/cipherblocks.h"
#include "cryptlib/cryptdata.h"

namespace {

typedef std::chrono::steady_clock Clock;

std::vector<uint8_t> Payload(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 131 + 7);
  return out;
}

// Seconds for one encryption and one decryption of `bytes` (whole blocks)
// with schedules made beforehand.
double RawEcbSeconds(size_t bytes, int rounds) {
  uint8_t key[kCipherKeySize];
  FillRandomBytes(key, sizeof key);
  const Rc5Block encrypt(key, rounds, Rc5Block::kEncrypt);
  const Rc5Block decrypt(key, rounds, Rc5Block::kDecrypt);
  std::vector<uint8_t> data = Payload(bytes);
  const size_t blocks = bytes / 8;
  size_t rounds_done = 0;
  const auto start = Clock::now();
  std::chrono::duration<double> elapsed{};
  do {
    for (int i = 0; i < 64; ++i) {
      encrypt.ProcessRun(data.data(), blocks);
      decrypt.ProcessRun(data.data(), blocks);
    }
    benchmark::DoNotOptimize(data.data());
    rounds_done += 64;
    elapsed = Clock::now() - start;
  } while (elapsed.count() < 0.05);
  return elapsed.count() / static_cast<double>(rounds_done);
}

bool ActivateCipher(CSessionCipher* cipher) {
  ExchangeRecord local;
  RemoteExchangeRecord remote;
  FillRandomBytes(local.bytes, sizeof local.bytes);
  FillRandomBytes(remote.bytes, sizeof remote.bytes);
  return MakeExchangeValue(&local) == 0 && cipher->SetLocalHalf(&local) == 0 &&
         cipher->WrapRandomKey(nullptr, nullptr, 0) == 0 && cipher->SetRemoteHalf(&remote) == 0;
}

void BM_PacketRoundTrip(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  const uint32_t n = static_cast<uint32_t>(state.range(1));
  CSessionCipher cipher;
  if (!ActivateCipher(&cipher)) {
    state.SkipWithError("cipher did not activate");
    return;
  }
  const std::vector<uint8_t> payload = Payload(n);
  const int s = cipher.GetPaddingSize(n, level);
  std::vector<uint8_t> buffer(n + static_cast<size_t>(s));
  const double ecb = RawEcbSeconds(buffer.size() & ~size_t{7}, RoundsForLevel(level));

  const auto start = Clock::now();
  for (auto _ : state) {
    int32_t status = cipher.EncryptPacket(buffer.data(), payload.data(), n, s, level);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    status |= cipher.DecryptPacket(buffer.data(), buffer.data(), &length, level);
    if (status != 0) {
      state.SkipWithError("packet round trip failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  const double iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
  if (iterations > 0) state.counters["x_raw_ecb"] = elapsed.count() / iterations / ecb;
}

void BM_RawRc5Ecb(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  uint8_t key[kCipherKeySize];
  FillRandomBytes(key, sizeof key);
  const Rc5Block encrypt(key, 16, Rc5Block::kEncrypt);
  const Rc5Block decrypt(key, 16, Rc5Block::kDecrypt);
  std::vector<uint8_t> data = Payload(bytes);
  for (auto _ : state) {
    encrypt.ProcessRun(data.data(), bytes / 8);
    decrypt.ProcessRun(data.data(), bytes / 8);
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

}  // namespace

BENCHMARK(BM_PacketRoundTrip)
    ->ArgNames({"level", "bytes"})
    ->ArgsProduct({{0, 1, 2, 3}, {64, 16384}});
BENCHMARK(BM_RawRc5Ecb)->Arg(64)->Arg(16384);

BENCHMARK_MAIN();
