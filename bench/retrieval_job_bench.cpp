// A second run of a software download job over a filled cache of 20,000 files and 1 GiB: the
// job finds nothing to fetch, so its time goes into checking every file of every side on the
// CheckFile pool (and fetching the configuration files again over loopback http). The baseline
// is KQUpdateCache::CalculateFileCksumForDir over the same tree with as many threads. Prints
// the ratio checksum time / second-run time (goal: at least 0.7).
//
// The job is the tests' concrete job with its manifest-driven retrievers over the generated
// download center (tests/support/RetrievalCenterJob.h); the loopback server serves only the
// center's configuration files, the cache holds every file. The tree goes to /dev/shm when it
// has room, else to $TMPDIR or /tmp, and is removed at the end. The run uses its own
// configuration store and embedded database there.
#include <ftw.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "LoopbackServer.h"
#include "RetrievalCenterGenerator.h"
#include "RetrievalCenterJob.h"
#include "RetrievalCenterRun.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchDebug.h"

namespace {

constexpr size_t kFiles = 20000;
constexpr uint64_t kBytes = uint64_t{1} << 30;
constexpr unsigned kThreads = 5;  // the checksum pool's default size

// What every run shares, made once in main.
struct Setup {
  std::string work, cache, served;
  kqtest::RetrievalCenter center;
  std::unique_ptr<kqtest::LoopbackServer> server;
  std::unique_ptr<nPatchDownload::CPatchDebug> sink;
  std::unique_ptr<nPatchDownload::CPatchDataManagerHN> dataManager;
};
Setup* g_setup = nullptr;

// One whole job run, as a job process makes it.
kqtest::CenterJobResult RunJob() {
  return kqtest::RunCenterDownloadJob(g_setup->center, g_setup->cache, g_setup->server->base(),
                                      *g_setup->dataManager, *g_setup->sink, kThreads);
}

void BM_CalculateFileCksumForDir(benchmark::State& state) {
  KQUpdateCache cache(1, false);
  for (auto _ : state) {
    std::vector<UpdatePatches::File> out;
    out.reserve(g_setup->center.files.size());
    if (!cache.CalculateFileCksumForDir(g_setup->cache, "", false, true, out) ||
        out.size() < g_setup->center.files.size())
      state.SkipWithError("checksum failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_RetrievalJobSecondRun(benchmark::State& state) {
  for (auto _ : state) {
    const kqtest::CenterJobResult r = RunJob();
    if (r.code != 0 || r.files != 0) state.SkipWithError("the second run did not find the cache full");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_CalculateFileCksumForDir)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();
BENCHMARK(BM_RetrievalJobSecondRun)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// /dev/shm when it has room for the tree twice over, else $TMPDIR or /tmp.
std::string WorkParent() {
  struct statvfs fs;
  if (::statvfs("/dev/shm", &fs) == 0 &&
      static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize > 2 * kBytes + (uint64_t{256} << 20))
    return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

int Bench(int argc, char** argv, Setup& s) {
  const std::string config = s.work + "/config.ini";
  kqtest::WriteFile(config, "[Logging]\nnDebugLevel=1\ndLogFolder=" + s.work + "/logs\n" +
                                "[Base]\ndHOME=" + s.work + "/home\n" +
                                "[SoftwareCache]\ndHOME=" + s.cache + "\n" +
                                "[Database]\nsPath=" + s.work + "/hubnode.db\n" +
                                "[Hubnode]\nnTessaraId=4242\n" +
                                "[UpdateFlags]\nnThreadPoolSizeCheck=" +
                                std::to_string(kThreads) + "\n");
  ::setenv("KQ_CONFIG", config.c_str(), 1);
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();

  kqtest::RetrievalCenterOptions shape;
  shape.files = kFiles;
  shape.totalBytes = kBytes;
  s.center = kqtest::MakeRetrievalCenter(shape);
  kqtest::WriteRetrievalCenter(s.center, s.cache);
  kqtest::WriteCenterFilesInto(s.center, s.served,
                               [](const kqtest::CenterFile& f) { return f.type == kqtest::kCenterConfig; });
  kqtest::LoopbackServer::Options o;
  o.root = s.served;
  o.timeoutSec = 3600;
  s.server.reset(new kqtest::LoopbackServer(o));
  if (!s.server->ok()) {
    std::fprintf(stderr, "loopback server: %s\n", s.server->error().c_str());
    return 1;
  }

  // The Tessara's appliance clients, whose patches the job checks.
  std::string err;
  if (!kqtest::AddCenterApplianceClients(s.center, err)) {
    std::fprintf(stderr, "appliance clients: %s\n", err.c_str());
    return 1;
  }
  s.sink.reset(new nPatchDownload::CPatchDebug());
  int status = -1;
  s.dataManager.reset(new nPatchDownload::CPatchDataManagerHN(*s.sink, status));
  if (status != 0) return 1;

  // The first run fetches the configuration files and records the appliance commit; every
  // measured run after it is a second run.
  const kqtest::CenterJobResult first = RunJob();
  if (first.code != 0 || first.files != 0) {
    std::fprintf(stderr, "first run: code 0x%x, %llu files fetched\n", first.code, first.files);
    return 1;
  }
  uint64_t bytes = 0;
  for (const kqtest::CenterFile& f : s.center.files) bytes += f.size;
  std::printf("cache %s: %zu files, %llu bytes; %u threads each\n", s.cache.c_str(),
              s.center.files.size(), static_cast<unsigned long long>(bytes), kThreads);

  benchmark::Initialize(&argc, argv);
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("second run of a download job against the folder checksum (goal >= 0.7)",
                      "BM_CalculateFileCksumForDir", "BM_RetrievalJobSecondRun");
  benchmark::Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Setup s;
  s.work = WorkParent() + "/kqbench.XXXXXX";
  if (::mkdtemp(&s.work[0]) == nullptr) return 1;
  s.cache = s.work + "/cache";
  s.served = s.work + "/served";
  g_setup = &s;
  int rc = 1;
  try {
    rc = Bench(argc, argv, s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  s.dataManager.reset();
  s.server.reset();
  ::nftw(s.work.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return rc;
}
