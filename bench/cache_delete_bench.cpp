// Deletion on request in a large cache: one request naming a media file for each of 30
// operating systems, in a cache of about 100,000 folders, against one plain walk of that cache
// (every folder opened and listed). Prints the ratio walk time / request time (goal: at least
// 0.5); pruning the cache after every operating system would make it about 1/30.
//
// The cache lives in memory (/dev/shm) when there is one, else under $TMPDIR or /tmp, with its
// own configuration store beside it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "BenchScratch.h"
#include "KQUpdateCache.h"
#include "Vocabulary.h"

namespace {

constexpr int kOses = 30;
constexpr int kTop = 50;      // folders per platform folder
constexpr int kLeaves = 1000;  // folders below each of them, one file in each

std::string g_root;
UpdatePatches::CacheOpReq g_request;
std::vector<std::string> g_requestFiles;  // what the request deletes, put back before each run

std::string Platform(int os) { return IsUnix(os) ? "Unix" : "Windows"; }

void MakeFile(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << "x";
}

void MakeCache() {
  char name[32];
  for (const char* platform : {"Windows", "Unix"})
    for (int t = 0; t < kTop; ++t)
      for (int l = 0; l < kLeaves; ++l) {
        std::snprintf(name, sizeof name, "/p%03d/q%04d", t, l);
        const std::string folder = g_root + "/KQMedia/11.0.0/" + platform + name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/f.bin") << "x";
      }
}

void MakeRequest() {
  UpdatePatches::RemClientInfo info;
  info.setstring(UpdatePatches::RemClientInfo::kCachePath, g_root);
  g_request.setObjectAccessor(UpdatePatches::CacheOpReq::kRemClientInfo, info);
  std::vector<CNMessageBase> oses;
  for (int os = 1; os <= kOses; ++os) {
    const std::string name = "req/os" + std::to_string(os) + "/f.bin";
    UpdatePatches::BinaryV11 file;
    file.setstring(UpdatePatches::BinaryV11::kRelativePath, name);
    UpdatePatches::FilesForOS entry;
    entry.setint64(UpdatePatches::FilesForOS::kOSId, os);
    entry.setlistobject(UpdatePatches::FilesForOS::kMediaFiles, std::vector<CNMessageBase>{file});
    oses.push_back(entry);
    g_requestFiles.push_back(g_root + "/KQMedia/11.0.0/" + Platform(os) + "/" + name);
  }
  UpdatePatches::FilesForRel rel;
  rel.setint64(UpdatePatches::FilesForRel::kReleaseId, 16);
  rel.setlistobject(UpdatePatches::FilesForRel::kOSList, oses);
  g_request.setlistobject(UpdatePatches::CacheOpReq::kReleases, std::vector<CNMessageBase>{rel});
}

size_t Walk(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  size_t entries = 0;
  std::vector<std::string> below;
  while (struct dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    ++entries;
    if (e->d_type == DT_DIR) below.push_back(folder + "/" + e->d_name);
  }
  ::closedir(dir);
  for (const std::string& sub : below) entries += Walk(sub);
  return entries;
}

void BM_PlainWalk(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Walk(g_root));
}

void BM_DeleteRequest(benchmark::State& state) {
  KQUpdateCache cache(1, false);
  for (auto _ : state) {
    state.PauseTiming();
    for (const std::string& file : g_requestFiles) MakeFile(file);
    state.ResumeTiming();
    if (!cache.DeleteLocalCacheContents(g_request)) std::abort();
  }
}

BENCHMARK(BM_PlainWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteRequest)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const ScratchFolder work("kqdelbench");
  if (work.path.empty()) return 1;
  WriteBenchConfig(work.path, 1);
  g_root = work.path + "/cache";
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  MakeCache();
  MakeRequest();
  std::printf("cache: %zu entries below the root; the request names %d operating systems\n",
              Walk(g_root), kOses);

  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("deletion request against a plain walk (goal >= 0.5)", "BM_PlainWalk",
                      "BM_DeleteRequest");
  benchmark::Shutdown();
  return 0;
}
