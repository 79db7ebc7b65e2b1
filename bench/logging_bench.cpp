// Logging benchmarks, each against a baseline measured in the same run:
//  - a line that its level filters out, logged through a log object that is kept (as every
//    class keeps one), against reading a level from a relaxed atomic through a call that is not
//    inlined and comparing it: what a filtered line must cost about;
//  - the same kept-object line against a relaxed atomic load and a read of the coarse monotonic
//    clock through a call that is not inlined: the least a check costs that sees another
//    process's level change within a bounded time;
//  - the same line through a new log object per line (as free functions log), against the kept
//    object (for information).
// The ratio is baseline time / measured time (higher is better).
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>

#include "BenchRatio.h"
#include "BenchScratch.h"
#include "Logging/EvDebug.h"

namespace {

constexpr int kDetailLevel = 10;  // above the configured level: every line is filtered out

std::atomic<int> g_level{1};

__attribute__((noinline)) int LevelOf(const std::atomic<int>& level) {
  return level.load(std::memory_order_relaxed);
}

void BM_AtomicLevelCheck(benchmark::State& state) {
  for (auto _ : state) {
    bool shown = kDetailLevel <= LevelOf(g_level);
    benchmark::DoNotOptimize(shown);
  }
}

std::atomic<unsigned long long> g_word{1};

__attribute__((noinline)) long long WordAndCoarseTime(const std::atomic<unsigned long long>& word) {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<long long>(word.load(std::memory_order_relaxed)) + now.tv_nsec;
}

void BM_AtomicLoadAndCoarseClock(benchmark::State& state) {
  for (auto _ : state) {
    long long sum = WordAndCoarseTime(g_word);
    benchmark::DoNotOptimize(sum);
  }
}

void BM_FilteredLineKeptObject(benchmark::State& state) {
  EvDebug log;
  const char* file = "Windows10.0-KB5034441-x64.cab";
  for (auto _ : state) log.DebugLvl("[ComputeKQMedia]", kDetailLevel, "file [%s] size [%d]", file, 4096);
}

void BM_FilteredLineNewObject(benchmark::State& state) {
  const char* file = "Windows10.0-KB5034441-x64.cab";
  for (auto _ : state) EvDebug().DebugLvl("[ComputeKQMedia]", kDetailLevel, "file [%s] size [%d]", file, 4096);
}

BENCHMARK(BM_AtomicLevelCheck)->MinTime(1.0);
BENCHMARK(BM_AtomicLoadAndCoarseClock)->MinTime(1.0);
BENCHMARK(BM_FilteredLineKeptObject)->MinTime(1.0);
BENCHMARK(BM_FilteredLineNewObject)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ScratchFolder scratch("kq-logbench");
  if (scratch.path.empty()) return 1;
  WriteBenchConfig(scratch.path, 1);
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("filtered log line of a kept object against an atomic level check (goal >= 0.2)",
                      "BM_AtomicLevelCheck", "BM_FilteredLineKeptObject");
  reporter.PrintRatio(
      "filtered log line of a kept object against an atomic load and a coarse clock read (goal >= 0.5)",
      "BM_AtomicLoadAndCoarseClock", "BM_FilteredLineKeptObject");
  reporter.PrintRatio("filtered log line of a new object per line against a kept one",
                      "BM_FilteredLineKeptObject", "BM_FilteredLineNewObject");
  benchmark::Shutdown();
  return 0;
}
