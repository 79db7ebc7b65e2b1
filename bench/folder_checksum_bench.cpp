// Folder checksums on the job's pool over a tree of 20,000 files and 1 GiB held in the page
// cache, with the pool's default 5 threads, against (a) reading the same files with 5 threads
// and doing nothing else and (b) "rhash --crc32 -r" over the same tree. Prints the ratios
// baseline time / checksum time (goal against plain reading: at least 0.85).
//
// The run uses its own configuration store in a temporary folder; the log level is taken from
// $KQ_BENCH_LOG_LEVEL (default 1, the level the product runs at; 10 writes three lines a file).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ftw.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchRatio.h"
#include "ChecksumTreeFixture.h"
#include "KQUpdateCache.h"

extern char** environ;

namespace {

constexpr size_t kFiles = 20000;
constexpr size_t kBytes = size_t{1} << 30;
constexpr unsigned kThreads = 5;

std::string g_root;
std::vector<std::string> g_files;

void ReadAll(unsigned threads) {
  std::atomic<size_t> next(0);
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&next] {
      std::unique_ptr<unsigned char[]> buffer(new unsigned char[10 << 20]);
      for (size_t k = next++; k < g_files.size(); k = next++) {
        int fd = ::open(g_files[k].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        while (::read(fd, buffer.get(), 10 << 20) > 0) {
        }
        ::close(fd);
      }
    });
  }
  for (auto& th : pool) th.join();
}

void BM_ReadFiles5Threads(benchmark::State& state) {
  for (auto _ : state) ReadAll(kThreads);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_CalculateFileCksumForDir(benchmark::State& state) {
  KQUpdateCache cache(1, false);
  for (auto _ : state) {
    std::vector<UpdatePatches::File> out;
    out.reserve(kFiles);
    if (!cache.CalculateFileCksumForDir(g_root, "", false, true, out) || out.size() != kFiles)
      state.SkipWithError("checksum failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_RhashCrc32(benchmark::State& state) {
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string root = g_root;
    char* argv[] = {const_cast<char*>("rhash"), const_cast<char*>("--crc32"),
                    const_cast<char*>("-r"), &root[0], nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "rhash", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      state.SkipWithError("rhash failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_ReadFiles5Threads)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();
BENCHMARK(BM_CalculateFileCksumForDir)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();
BENCHMARK(BM_RhashCrc32)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  std::string work = std::string(tmp && *tmp ? tmp : "/tmp") + "/kqbench.XXXXXX";
  if (::mkdtemp(&work[0]) == nullptr) return 1;
  const char* level = std::getenv("KQ_BENCH_LOG_LEVEL");
  std::string config = work + "/config.ini";
  {
    std::string text = "[Logging]\nnDebugLevel=" + std::string(level && *level ? level : "1") +
                       "\ndLogFolder=" + work + "/logs\n";
    int fd = ::open(config.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      return 1;
    ::close(fd);
  }
  ::setenv("KQ_CONFIG", config.c_str(), 1);
  // $KQ_BENCH_TREE names a tree to keep between runs (made there when its marker is missing).
  const char* keep = std::getenv("KQ_BENCH_TREE");
  g_root = keep && *keep ? keep : work + "/tree";
  std::string marker = g_root + ".complete";
  if (keep && *keep && ::access(marker.c_str(), F_OK) == 0) {
    for (size_t k = 0; k < kFiles; ++k) g_files.push_back(kqfixture::ChecksumTreePath(g_root, k));
  } else {
    g_files = kqfixture::MakeChecksumTree(g_root, kFiles, kBytes);
    if (g_files.size() != kFiles) return 1;
    if (keep && *keep) ::close(::open(marker.c_str(), O_WRONLY | O_CREAT, 0644));
  }
  ReadAll(kThreads);  // into the page cache
  std::printf("tree: %zu files, %zu bytes, log level %s\n", g_files.size(), kBytes,
              level && *level ? level : "1");

  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("folder checksum against plain reading, 5 threads (goal >= 0.85)",
                      "BM_ReadFiles5Threads", "BM_CalculateFileCksumForDir");
  reporter.PrintRatio("folder checksum against rhash --crc32 -r (above 1: faster)",
                      "BM_RhashCrc32", "BM_CalculateFileCksumForDir");
  benchmark::Shutdown();
  ::nftw(work.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
