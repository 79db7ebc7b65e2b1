// The whole-cache checksum answer (CalculateCheckSumForComplCacheFiles, once for the media
// release and once for the update release) on a generated Hubnode cache of about 10^4 files held
// in the page cache, with the checksum pool's default 5 threads, against reading the same files
// with 5 threads and doing nothing else. Prints the ratio baseline time / answer time (goal: at
// least 0.8) and the answer's own time.
//
// "cache_answer_bench --large" does the same on a cache of about 10^5 files. The trees are kept
// between runs below $TMPDIR (see SharedTreeDir). The log level is $KQ_BENCH_LOG_LEVEL (default
// 1, the level the product runs at).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchRatio.h"
#include "CacheTreeGenerator.h"
#include "KQUpdateCache.h"
#include "Vocabulary.h"

namespace {

constexpr unsigned kThreads = 5;

std::string g_root;
std::vector<std::string> g_files;  // the files the answers read
size_t g_bytes = 0;

void ReadAll(unsigned threads) {
  std::atomic<size_t> next(0);
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&next] {
      std::unique_ptr<unsigned char[]> buffer(new unsigned char[1 << 20]);
      for (size_t k = next++; k < g_files.size(); k = next++) {
        int fd = ::open(g_files[k].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        while (::read(fd, buffer.get(), 1 << 20) > 0) {
        }
        ::close(fd);
      }
    });
  }
  for (auto& th : pool) th.join();
}

UpdatePatches::CacheOpReq Request(int releaseId) {
  UpdatePatches::CacheOpReq req;
  UpdatePatches::RemClientInfo info;
  info.setstring(UpdatePatches::RemClientInfo::kCachePath, g_root);
  req.setObjectAccessor(UpdatePatches::CacheOpReq::kRemClientInfo, info);
  UpdatePatches::FilesForRel rel;
  rel.setint64(UpdatePatches::FilesForRel::kReleaseId, releaseId);
  req.getlistobject(UpdatePatches::CacheOpReq::kReleases)->push_back(rel);
  return req;
}

// Both answers; the number of files they list.
size_t AnswerWholeCache(std::vector<std::string>* names) {
  KQUpdateCache cache(1, false);
  size_t count = 0;
  for (int release : {16, 15}) {
    UpdatePatches::CacheOpReq req = Request(release), resp;
    cache.CalculateCheckSumForComplCacheFiles(req, resp);
    for (const CNMessageBase& rel : *resp.getlistobject(UpdatePatches::CacheOpReq::kReleases)) {
      for (const CNMessageBase& os : *rel.getlistobject(2, 2)) {
        std::string base = g_root + (release == 16 ? "/KQMedia/11.0.0/" : "/KQUpdates/10.0.0/");
        const int osId = static_cast<int>(os.getint64(1));
        if (release == 16) base += osId > 4 ? "Unix/" : "Windows/";
        else base += std::string(GetOSNameFromId(osId)) + "/";
        for (int field : {4, 5, 6, 7}) {
          for (const CNMessageBase& f : *os.getlistobject(field, field)) {
            ++count;
            if (!names) continue;
            std::string name = field == 7 ? f.getstring(7, 19) : f.getstring(1, 1);
            std::string prefix = base;
            if (release == 15 && field == 5) prefix += "Updates/";
            if (release == 15 && field == 4) prefix += "ServicePacks/SP10/";
            names->push_back(prefix + name);
          }
        }
      }
    }
  }
  return count;
}

size_t g_expected = 0;

void BM_ReadFiles5Threads(benchmark::State& state) {
  for (auto _ : state) ReadAll(kThreads);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
}

void BM_CalculateCheckSumForComplCacheFiles(benchmark::State& state) {
  for (auto _ : state)
    if (AnswerWholeCache(nullptr) != g_expected) state.SkipWithError("answer changed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
}

BENCHMARK(BM_ReadFiles5Threads)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_CalculateCheckSumForComplCacheFiles)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bool large = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--large") == 0) {
      large = true;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  benchmark::Initialize(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  std::string work = std::string(tmp && *tmp ? tmp : "/tmp") + "/kqbench-answer.XXXXXX";
  if (::mkdtemp(&work[0]) == nullptr) return 1;
  const char* level = std::getenv("KQ_BENCH_LOG_LEVEL");
  {
    std::string text = "[Logging]\nnDebugLevel=" + std::string(level && *level ? level : "1") +
                       "\ndLogFolder=" + work + "/logs\n";
    kqtest::WriteTextFile(work + "/config.ini", text);
  }
  ::setenv("KQ_CONFIG", (work + "/config.ini").c_str(), 1);
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  SetUpdateTypesInfo();

  kqtest::CacheOptions options = large ? kqtest::LargeCacheOptions() : kqtest::CacheOptions();
  kqtest::GeneratedCache hub = kqtest::GenerateCache(options);
  kqtest::CacheManifest manifest =
      kqtest::WriteCacheShared(hub.model, kqtest::SharedTreeDir(large ? "bench-100k" : "bench"));
  g_root = manifest.root;
  g_expected = AnswerWholeCache(&g_files);
  for (const std::string& f : g_files) {
    std::string rel = f.substr(g_root.size() + 1);
    auto it = manifest.files.find(rel);
    if (it != manifest.files.end()) g_bytes += it->second.size;
  }
  ReadAll(kThreads);  // into the page cache
  std::printf("cache: %zu files written, %zu answered (%zu bytes), log level %s\n", manifest.files.size(),
              g_files.size(), g_bytes, level && *level ? level : "1");

  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("whole-cache answer against plain reading, 5 threads (goal >= 0.8)", "BM_ReadFiles5Threads",
                      "BM_CalculateCheckSumForComplCacheFiles");
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(work, ec);
  return 0;
}
