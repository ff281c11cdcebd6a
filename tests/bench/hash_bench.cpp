#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "core/signer.h"

namespace {

constexpr uint32_t kBulkSize = 1u << 20;

void BM_Sha256Throughput(benchmark::State& state) {
  std::vector<uint8_t> data(kBulkSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + 7);
  uint8_t out[32];
  for (auto _ : state) {
    Sha256Digest(data.data(), kBulkSize, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBulkSize);
}
BENCHMARK(BM_Sha256Throughput);

void BM_HmacSha256RequestText(benchmark::State& state) {
  // The size of a play request's signing text with a long token.
  const std::string message(200, 'r');
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = uint8_t(i * 37 + 11);
  uint8_t out[32];
  for (auto _ : state) {
    HmacSha256(key, sizeof(key), message.data(), uint32_t(message.size()), out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(message.size()));
}
BENCHMARK(BM_HmacSha256RequestText);

void BM_SignRequestBeat(benchmark::State& state) {
  const std::string action = "beat";
  const std::string challenge = "3f9c2a7d41b08e65c1d7a94f02be6c3a";
  const std::string csid = "c5a1e0f4-93b2-4d7e-8a16-2f0c9b7d4e31";
  for (auto _ : state) {
    std::string sig = SignRequest(action, challenge, csid);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_SignRequestBeat);

}  // namespace
