// Shared by the benchmarks: a console reporter that remembers each benchmark's real time per
// iteration, so that a benchmark's main can print ratios of two benchmarks of the same run.
#ifndef KQ_BENCH_BENCHRATIO_H_
#define KQ_BENCH_BENCHRATIO_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class KqRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "mean")
        seconds_[BaseName(run.benchmark_name())] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints "<label>: <baseline time / candidate time>" (above 1: the candidate is faster).
  void PrintRatio(const std::string& label, const std::string& baseline,
                  const std::string& candidate) const {
    auto b = seconds_.find(baseline);
    auto c = seconds_.find(candidate);
    if (b == seconds_.end() || c == seconds_.end() || c->second <= 0) {
      std::printf("%s: not measured\n", label.c_str());
      return;
    }
    std::printf("%s: %.3f  (%s / %s)\n", label.c_str(), b->second / c->second, baseline.c_str(),
                candidate.c_str());
  }

 private:
  // "BM_x/real_time" and "BM_x/iterations:3" count as "BM_x".
  static std::string BaseName(const std::string& name) { return name.substr(0, name.find('/')); }

  std::map<std::string, double> seconds_;
};

#endif  // KQ_BENCH_BENCHRATIO_H_
