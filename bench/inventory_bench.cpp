// Full inventory of a generated cache of about 10,000 updates (both scans and both descriptor
// collectors, with the platform rows read from an embedded database once per scan) against a
// plain walk that lists the same folders and reads the same descriptors whole. Prints the ratio
// walk time / inventory time (goal at log level 1: at least 0.5), at log level 1 and at 10.
//
// The cache lives in memory (/dev/shm) when there is one, else under $TMPDIR or /tmp, with its
// own configuration store and database beside it.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "BenchScratch.h"
#include "Database/DbSession.h"
#include "KQUpdateCache.h"
#include "UpdateCacheGenerator.h"

namespace {

std::string g_work;
kqtest::UpdateCacheModel g_model;
std::vector<std::string> g_folders;      // listed by the walk
std::vector<std::string> g_files;        // read whole by the walk ("Updates.txt", descriptors)

void WriteConfig(int level) { WriteBenchConfig(g_work, level, "[Database]\nsPath=" + g_work + "/hubnode.db\n"); }

// What the inventory lists and reads, as the plain walk will: per OS of each release, the
// feature-release folder and the highest feature release's update folder (old layout) or
// manifest (release 15), the additional-update folder, and every update's descriptor.
void PlanWalk() {
  const std::string root = g_model.root;
  for (int r : {2, 1}) {
    const kqtest::ModelRelease& rel = g_model.releases[r];
    const std::string base = root + "/KQUpdates/" + (r == 2 ? "9.0.0" : "10.0.0");
    for (int o = 1; o < KQ_INVENTORY_OS_SLOTS; ++o) {
      const kqtest::ModelSlot& slot = rel.slots[o];
      if (slot.osId == 0) continue;
      const std::string osName = OSTypesInfo[o].name;
      const bool folded = r == 2 && o > 4;
      const std::string osDir = base + "/" + (folded ? "Unix" : osName);
      g_folders.push_back(osDir + "/ServicePacks");
      const std::string spDir = osDir + "/ServicePacks/SP" + slot.sp.ToStr(false);
      const std::string addDir = osDir + "/Updates" + (folded ? "/" + osName : "");
      g_folders.push_back(addDir);
      if (slot.spUpdates.empty()) continue;
      if (r == 2) g_folders.push_back(spDir + "/Updates" + (folded ? "/" + osName : ""));
      else g_files.push_back(spDir + "/Config/Updates.txt");
      for (const std::string& name : slot.spUpdates)
        g_files.push_back(r == 2 ? spDir + "/Updates" + (folded ? "/" + osName : "") + "/" +
                                       name + "/Config/update.ini"
                                 : spDir + "/UpdateINI/" + name + ".ini");
    }
    for (int o = 1; o < KQ_INVENTORY_OS_SLOTS; ++o) {
      const kqtest::ModelSlot& slot = rel.slots[o];
      const bool folded = r == 2 && o > 4;
      const std::string osName = OSTypesInfo[o].name;
      for (const std::string& name : slot.additional)
        g_files.push_back(base + "/" + (folded ? "Unix/Updates/" + osName : osName + "/Updates") +
                          "/" + name + "/Config/update.ini");
    }
  }
}

void PlainWalk() {
  size_t entries = 0, bytes = 0;
  for (const std::string& folder : g_folders) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) continue;
    while (struct dirent* e = ::readdir(dir)) entries += e->d_name[0] != '.';
    ::closedir(dir);
  }
  std::string text;
  char buffer[16384];
  for (const std::string& file : g_files) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    text.clear();
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(fd);
    bytes += text.size();
  }
  benchmark::DoNotOptimize(entries + bytes);
}

void Inventory() {
  KQUpdateCache cache(1, true);
  CacheProp prop;
  prop.cacheRoot = g_model.root;
  UpdatesAtCache inv;
  cache.GetAllUpadtesFromCache(prop, &inv, false);
  cache.GetAllUpdatesInCacheNew(prop, &inv);
  cache.GetINIInfo(&inv, g_model.root);
  if (!cache.GetINIInfoNew(&inv, g_model.root, nullptr)) std::abort();
  unsigned long long space = 0;
  cache.GetSpaceNeededAtCache(inv, space);
  benchmark::DoNotOptimize(space);
}

void BM_PlainWalk(benchmark::State& state) {
  for (auto _ : state) PlainWalk();
}
void BM_InventoryLevel1(benchmark::State& state) {
  WriteConfig(1);
  for (auto _ : state) Inventory();
}
void BM_InventoryLevel10(benchmark::State& state) {
  WriteConfig(10);
  for (auto _ : state) Inventory();
  WriteConfig(1);
}
BENCHMARK(BM_PlainWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InventoryLevel1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InventoryLevel10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const ScratchFolder work("kqinvbench");
  if (work.path.empty()) return 1;
  g_work = work.path;
  WriteConfig(1);
  SetOSTypesInfo();
  SetUpdateTypesInfo();
  SetReleasesSupportedOnClient();
  {
    std::string err;
    auto session = kq::db::ThreadSession(err);
    if (!session) return 1;
    for (const auto& row : kqtest::PlatformRows())
      kq::db::ExecuteSql(*session, "INSERT INTO simPackage (id, Name) VALUES ($1, $2)",
                         {kq::db::Value::Int(row.first),
                          row.second.empty() ? kq::db::Value::Null() : kq::db::Value::Text(row.second)},
                         nullptr, err);
  }
  std::filesystem::create_directories(g_work + "/cache");
  g_model = kqtest::GenerateUpdateCache(g_work + "/cache", kqtest::UpdateCacheOptions());
  PlanWalk();
  std::printf("cache: %d updates, %zu folders listed and %zu files read by the walk\n",
              g_model.updateCount, g_folders.size(), g_files.size());

  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("inventory against a plain walk, log level 1 (goal >= 0.5)", "BM_PlainWalk",
                      "BM_InventoryLevel1");
  reporter.PrintRatio("inventory against a plain walk, log level 10", "BM_PlainWalk",
                      "BM_InventoryLevel10");
  benchmark::Shutdown();
  kq::db::CloseThreadSessions();
  return 0;
}
