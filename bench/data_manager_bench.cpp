// The data manager's two file readers against the message library's own load of the same
// files: the file list of a maintenance-release pack of 30,000 binaries (goal: at least 0.5)
// and the load of a hotfix configuration of 20,000 entries (goal: at least 0.7). Each ratio is
// load time / reader time.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "Database/DbSession.h"
#include "PackFixture.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchDebug.h"

namespace {

using nPatchDownload::CPatchDataManagerHN;
using nPatchDownload::CPatchDebug;

struct Setup {
  std::string dir;
  std::string packFile, catalogueFile, hotfixFile;
  size_t packBytes = 0, hotfixBytes = 0;
};

// The whole file in one read into a string of its size: the cheapest way to get the text.
std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string text(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
  in.seekg(0);
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

void Write(const std::string& path, const CNMessageBase& m) {
  std::string xml;
  XMLEncoder::serialize(m, xml);
  std::ofstream(path, std::ios::binary) << xml;
}

// A private store, database and log folder; the pack, its catalogue and the hotfix file.
const Setup& Files() {
  static const Setup setup = [] {
    Setup s;
    char templ[] = "/tmp/kq-dm-bench-XXXXXX";
    s.dir = mkdtemp(templ);
    std::ofstream(s.dir + "/config.ini") << "[Database]\nsPath=" << s.dir << "/hub.db\n"
                                         << "[Logging]\nnDebugLevel=1\ndLogFolder=" << s.dir
                                         << "/logs\n[Hubnode]\nnTessaraId=1\n";
    setenv("KQ_CONFIG", (s.dir + "/config.ini").c_str(), 1);
    std::string err;
    std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
    for (int bs = 1; bs <= 40 && session; ++bs)
      kq::db::ExecuteSql(*session, "INSERT INTO PatchUpdateOS VALUES ($1, $1, $2)",
                         {kq::db::Value::Int(bs), kq::db::Value::Int(bs % 34 + 1)}, nullptr, err);

    s.packFile = s.dir + "/CumulativeUpdatePack.xml";
    Write(s.packFile, kqfixture::PackModel::Generate(11, 30000, false).Message());
    UpdatePatches::AvailableCumulativeUpdatePacks catalogue;
    UpdatePatches::AvailableCUs entry;
    UpdatePatches::SPVersion sp;  // release 0 (database id 5), all else 0
    sp.setint64(UpdatePatches::SPVersion::kField6, 5);
    entry.setObjectAccessor(UpdatePatches::AvailableCUs::kSPVersion, sp);
    UpdatePatches::UpdatePack pack;
    pack.setint64(UpdatePatches::UpdatePack::kNumber, 1);
    entry.setlistobject(UpdatePatches::AvailableCUs::kUpdatePacks, {pack});
    catalogue.setlistobject(UpdatePatches::AvailableCumulativeUpdatePacks::kPacks, {entry});
    s.catalogueFile = s.dir + "/CUConfiguration.xml";
    Write(s.catalogueFile, catalogue);

    UpdatePatches::HotfixList hotfixes;
    std::vector<CNMessageBase> entries;
    for (int h = 0; h < 20000; ++h) {
      UpdatePatches::HotfixListEntry e;
      e.setstring(UpdatePatches::HotfixListEntry::kField1, "T" + std::to_string(100000 + h) + ".zip");
      e.setint64(UpdatePatches::HotfixListEntry::kField5, h % 40 + 1);
      e.setstring(UpdatePatches::HotfixListEntry::kField4, std::to_string(2654435761u * (h + 1u)));
      if (h % 3) e.setint64(UpdatePatches::HotfixListEntry::kField6, 5000 + h);
      if (h % 5 == 0) e.setint64(UpdatePatches::HotfixListEntry::kField7, h % 2);
      entries.push_back(e);
    }
    hotfixes.setlistobject(UpdatePatches::HotfixList::kEntries, entries);
    s.hotfixFile = s.dir + "/HotfixConfiguration.xml";
    Write(s.hotfixFile, hotfixes);
    s.packBytes = Slurp(s.packFile).size();
    s.hotfixBytes = Slurp(s.hotfixFile).size();
    return s;
  }();
  return setup;
}

void BM_PackMessageLoad(benchmark::State& state) {
  const Setup& s = Files();
  for (auto _ : state) {
    UpdatePatches::CumulativeUpdatePack pack;
    if (XMLDecoder::unSerialize(pack, Slurp(s.packFile)) != 0) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(pack.fields().data());
  }
}

void BM_GetCUFilesList(benchmark::State& state) {
  const Setup& s = Files();
  CPatchDebug sink;
  int status = 0;
  CPatchDataManagerHN manager(sink, status);
  manager.GetAllCUPacksList(s.catalogueFile, FullVersion(), nullptr, nullptr);
  std::vector<UpdatePatches::BinaryV11> out;
  for (auto _ : state) {
    out.clear();
    if (manager.GetCUFilesList(s.packFile, "CU1/", 1, out, {}) != 0 || out.empty())
      state.SkipWithError("file list failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["files"] = static_cast<double>(out.size());
}

void BM_HotfixMessageLoad(benchmark::State& state) {
  const Setup& s = Files();
  for (auto _ : state) {
    UpdatePatches::HotfixList list;
    if (XMLDecoder::unSerialize(list, Slurp(s.hotfixFile)) != 0) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(list.fields().data());
  }
}

void BM_GetAllUpdatesList(benchmark::State& state) {
  const Setup& s = Files();
  CPatchDebug sink;
  int status = 0;
  CPatchDataManagerHN manager(sink, status);
  FullVersion version;
  version.Set(FullVersion::kTransactionId, 4000);
  unsigned long checksum = 1, count = 0;
  for (auto _ : state) {
    // A new checksum each time: the file is read and filtered again.
    if (manager.GetAllUpdatesList(s.hotfixFile, ++checksum, count, version, true) != 0 ||
        count == 0)
      state.SkipWithError("load failed");
  }
  state.counters["kept"] = static_cast<double>(count);
}

BENCHMARK(BM_PackMessageLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_GetCUFilesList)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_HotfixMessageLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_GetAllUpdatesList)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Setup& s = Files();
  std::printf("pack file: %zu bytes, hotfix file: %zu bytes\n", s.packBytes, s.hotfixBytes);
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("pack file list against the message load (goal >= 0.5)",
                      "BM_PackMessageLoad", "BM_GetCUFilesList");
  reporter.PrintRatio("hotfix load against the message load (goal >= 0.7)",
                      "BM_HotfixMessageLoad", "BM_GetAllUpdatesList");
  benchmark::Shutdown();
  kq::db::CloseThreadSessions();
  kq::RemoveTreeNoFollow(s.dir, nullptr);
  return 0;
}
