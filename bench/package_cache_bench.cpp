// Package catalogue benchmarks, each against a baseline measured in the same run:
//  - loading a 10 MB "BinaryInfo.xml" (read, strip line ends, parse into messages, cache, copy
//    into the object) against pugixml's own parse of the same text;
//  - ComputeKQMedia for 300 and for 6,000 packages with the catalogues already parsed, against
//    a plain copy of the same file records;
//  - the recursive reverse dependency walk of a 6,000-package catalogue with a filter of 5,000
//    ids, against a plain copy of the catalogue's package records.
// The ratio counter is baseline time / measured time (higher is better); "ms" is the absolute
// time of one measured call.
// The catalogue load reads its long lists of messages on up to four threads; its "cpu_ms" is
// the processor time of one load on all of them (the baseline parse takes one thread).
#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stack>
#include <sys/resource.h>
#include <unistd.h>

#include "MediaTreeGenerator.h"
#include "PackageCache.h"
#include "Vocabulary.h"

namespace {

using Clock = std::chrono::steady_clock;

// A scratch folder with its own configuration store and logs, removed at exit.
struct Scratch {
  std::string root;
  Scratch() {
    char tmpl[] = "/tmp/kq-pkgbench.XXXXXX";
    root = mkdtemp(tmpl);
    setenv("KQ_CONFIG", (root + "/config.ini").c_str(), 1);
    setenv("KQ_LOG_DIR", (root + "/logs").c_str(), 1);
    SetOSTypesInfo();
  }
  ~Scratch() { std::filesystem::remove_all(root); }
};
Scratch& TheScratch() {
  static Scratch s;
  return s;
}

// Seconds per call of f, over enough calls to fill about 0.3 s.
template <typename F>
double SecondsPerCall(F&& f) {
  f();
  int n = 0;
  auto start = Clock::now();
  do {
    f();
    ++n;
  } while (Clock::now() - start < std::chrono::milliseconds(300));
  return std::chrono::duration<double>(Clock::now() - start).count() / n;
}

// Processor time of the whole process so far, in seconds.
double ProcessSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// A Windows medium whose "BinaryInfo.xml" is about 10 MB.
const std::string& LargeBinaryInfo() {
  static const std::string path = [] {
    kqtest::MediaOptions o = kqtest::LargeMediaOptions(3);
    o.packages = 300;
    size_t size = kqtest::XmlText(kqtest::BinaryInfoMessage(kqtest::GenerateMedia(o).windows.binaryInfo.at("")), false).size();
    o.packages = static_cast<int>(300.0 * (10u << 20) / size);
    kqtest::WriteMedia(kqtest::GenerateMedia(o).windows, TheScratch().root + "/large");
    return TheScratch().root + "/large/BinaryInfo.xml";
  }();
  return path;
}

void BM_LoadBinaryInfo10MB(benchmark::State& state) {
  const std::string& path = LargeBinaryInfo();
  const std::string folder = path.substr(0, path.size() - std::string("BinaryInfo.xml").size());
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  double baseline = SecondsPerCall([&] {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size()));
  });
  // The message decoder alone on the same text, for telling where the time goes. Timed like
  // the load below: freeing the decoded catalogue (a few milliseconds for its many small
  // blocks) is left out of both.
  double decodeOnly = 0;
  for (int k = 0; k < 10; ++k) {
    auto message = std::make_unique<UpdatePatches::BinaryInfo>();
    auto start = Clock::now();
    benchmark::DoNotOptimize(XMLDecoder::unSerialize(*message, text));
    decodeOnly += std::chrono::duration<double>(Clock::now() - start).count() / 10;
  }
  double measured = 0;
  double cpu = 0;
  for (auto _ : state) {
    // A fresh object and an empty process cache each time; freeing them is not timed.
    auto cache = std::make_unique<KQPackageCache>(false);
    cache->clearCachedXML(false, true);
    const double cpuStart = ProcessSeconds();
    auto start = Clock::now();
    bool ok = cache->getXMLDetails(folder, true, true);
    measured += std::chrono::duration<double>(Clock::now() - start).count();
    cpu += ProcessSeconds() - cpuStart;
    if (!ok) state.SkipWithError("load failed");
    state.PauseTiming();
    cache.reset();
    state.ResumeTiming();
  }
  measured /= static_cast<double>(state.iterations());
  state.counters["MB"] = static_cast<double>(text.size()) / (1 << 20);
  state.counters["ratio"] = baseline / measured;
  state.counters["ms"] = measured * 1e3;
  state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations()) * 1e3;
  state.counters["pugixml_ms"] = baseline * 1e3;
  state.counters["decoder_ms"] = decodeOnly * 1e3;
}
BENCHMARK(BM_LoadBinaryInfo10MB)->Unit(benchmark::kMillisecond)->Iterations(10);

// ComputeKQMedia over the whole Windows binary set 3 of a generated medium.
void ComputeKQMediaBench(benchmark::State& state, const kqtest::MediaOptions& o,
                         const std::string& folder) {
  kqtest::GeneratedMedia media = kqtest::GenerateMedia(o);
  const std::string root = TheScratch().root + "/" + folder;
  kqtest::WriteMedia(media.windows, root);
  std::vector<unsigned> ids;
  std::vector<UpdatePatches::BinaryV11> files;
  if (!ComputeKQMedia(root, 3, 0, 1, ids, files, false)) {  // parses once
    state.SkipWithError("ComputeKQMedia failed");
    return;
  }
  const std::vector<UpdatePatches::BinaryV11> records = files;
  double baseline = SecondsPerCall([&] {
    std::vector<UpdatePatches::BinaryV11> copy = records;
    benchmark::DoNotOptimize(copy.data());
  });
  double measured = 0;
  for (auto _ : state) {
    ids.clear();
    files.clear();
    auto start = Clock::now();
    bool ok = ComputeKQMedia(root, 3, 0, 1, ids, files, false);
    measured += std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) state.SkipWithError("ComputeKQMedia failed");
  }
  measured /= static_cast<double>(state.iterations());
  state.counters["packages"] = static_cast<double>(ids.size());
  state.counters["files"] = static_cast<double>(files.size());
  state.counters["ratio"] = baseline / measured;
  state.counters["ms"] = measured * 1e3;
  state.counters["baseline_ms"] = baseline * 1e3;
}

void BM_ComputeKQMedia300Packages(benchmark::State& state) {
  kqtest::MediaOptions o;
  o.winFilesMin = 12;
  o.winFilesMax = 22;
  ComputeKQMediaBench(state, o, "media300");
}
BENCHMARK(BM_ComputeKQMedia300Packages)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_ComputeKQMedia6000Packages(benchmark::State& state) {
  kqtest::MediaOptions o;
  o.packages = 6000;
  ComputeKQMediaBench(state, o, "media6000");
}
BENCHMARK(BM_ComputeKQMedia6000Packages)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_ReverseWalk5000Filter(benchmark::State& state) {
  kqtest::MediaOptions o;
  o.packages = 6000;
  kqtest::GeneratedMedia media = kqtest::GenerateMedia(o);
  const std::string root = TheScratch().root + "/reverse";
  kqtest::WriteMedia(media.windows, root);
  KQPackageCache cache(false);
  cache.setDvdLocation(root, true);
  if (!cache.ReadWinPackageDetails()) {
    state.SkipWithError("catalogue not loaded");
    return;
  }
  // The package most others depend on, and a filter of 5,000 package ids.
  std::map<unsigned, int> usedBy;
  for (const kqtest::PkgDetailsRecord& d : media.windows.details)
    for (long long dep : d.dependencies) ++usedBy[static_cast<unsigned>(dep)];
  unsigned root_id = 0;
  int most = -1;
  for (const auto& [id, n] : usedBy)
    if (n > most) most = n, root_id = id;
  std::vector<int> filter;
  for (size_t i = 0; i < media.packages.size() && filter.size() < 5000; ++i)
    filter.push_back(static_cast<int>(media.packages[i]));
  UpdatePatches::PackageDetails parsed;
  {
    std::ifstream in(root + "/WinPackages.xml", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    XMLDecoder::unSerialize(parsed, text);
  }
  const CNMessageBase* group = parsed.getObjectAccessor(4, 7);
  const std::vector<CNMessageBase>* records = group ? group->getlistobject(1, 1) : nullptr;
  if (!records) {
    state.SkipWithError("no package records");
    return;
  }
  double baseline = SecondsPerCall([&] {
    std::vector<CNMessageBase> copy = *records;
    benchmark::DoNotOptimize(copy.data());
  });
  double measured = 0;
  size_t pushed = 0;
  for (auto _ : state) {
    std::stack<unsigned> users;
    bool reboot = false;
    auto start = Clock::now();
    cache.GetReverseDependentPackagesRecurs(root_id, users, filter, reboot, 3);
    measured += std::chrono::duration<double>(Clock::now() - start).count();
    pushed = users.size();
  }
  measured /= static_cast<double>(state.iterations());
  state.counters["records"] = static_cast<double>(records->size());
  state.counters["pushed"] = static_cast<double>(pushed);
  state.counters["ratio"] = baseline / measured;
  state.counters["ms"] = measured * 1e3;
  state.counters["baseline_ms"] = baseline * 1e3;
}
BENCHMARK(BM_ReverseWalk5000Filter)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
