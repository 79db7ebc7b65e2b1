// CRC-32 of a 256 MiB buffer in memory against the cheapest full pass over the same bytes, a
// plain 64-bit sum. Prints the ratio sum time / CRC time (goal: at least 0.5).
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>

#include "BenchRatio.h"
#include "CRCCoder.h"

namespace {

constexpr size_t kBytes = size_t{256} << 20;

const unsigned char* Buffer() {
  static std::unique_ptr<unsigned char[]> buffer = [] {
    std::unique_ptr<unsigned char[]> b(new unsigned char[kBytes]);
    std::mt19937_64 gen(42);
    for (size_t k = 0; k < kBytes; k += 8) {
      uint64_t v = gen();
      std::memcpy(b.get() + k, &v, 8);
    }
    return b;
  }();
  return buffer.get();
}

void BM_Sum64(benchmark::State& state) {
  const unsigned char* data = Buffer();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (size_t k = 0; k < kBytes; k += 8) {
      uint64_t v;
      std::memcpy(&v, data + k, 8);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_Crc32(benchmark::State& state) {
  const unsigned char* data = Buffer();
  for (auto _ : state) {
    uint32_t crc = KqCrc32(0, data, kBytes);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_Sum64)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Buffer();
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("CRC-32 against a 64-bit sum (goal >= 0.5)", "BM_Sum64", "BM_Crc32");
  benchmark::Shutdown();
  return 0;
}
