// Comparison of a Hubnode media list with a remote cache's, one release and one OS, with the
// retention of still-needed files, at debug level 2: 300,000 records on each side, 50,000 to
// send and 50,000 to delete. Measured against a plain copy of both lists (the floor; goal: at
// most 4 times it, and under 0.3 s), and beside a straightforward version kept here (ordered
// maps per comparison, a linear search of the needed paths per file to delete) at 10,000 and
// 30,000 records, whose outputs must equal ours element by element.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "BenchScratch.h"
#include "KQUpdateCache.h"
#include "StringUtils.h"
#include "SyncListFixture.h"
#include "Vocabulary.h"

using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

namespace {

struct Lists {
  std::vector<FilesForRel> hub;
  std::vector<FilesForRel> remote;
};

std::string Checksum(size_t i) { return std::to_string(2654435761u * static_cast<unsigned>(i + 1)); }

// n records each; n/6 of the Hubnode's are missing remotely and n/6 of the remote's are extra.
// Every sixth remote record of the common part has its checksum in upper case (same file).
Lists MakeLists(size_t n) {
  const size_t diff = n / 6;
  kqtest::NameSums hub, remote;
  hub.reserve(n);
  remote.reserve(n);
  for (size_t i = 0; i < n - diff; ++i) {
    std::string name = "BinaryPayload/pkg" + std::to_string(i % 700) + "/file" + std::to_string(i) + ".dll";
    hub.emplace_back(name, "0x" + Checksum(i) + "ab");
    remote.emplace_back(name, i % 6 == 0 ? "0x" + Checksum(i) + "AB" : hub.back().second);
  }
  for (size_t i = 0; i < diff; ++i) {
    hub.emplace_back("BinaryPayload/new/n" + std::to_string(i) + ".dll", Checksum(i));
    remote.emplace_back("BinaryPayload/old/o" + std::to_string(i) + ".dll", Checksum(i + n));
  }
  // Interleave so that sends and deletes are spread over the lists.
  std::rotate(hub.begin(), hub.begin() + static_cast<long>(n / 2), hub.end());
  std::rotate(remote.begin(), remote.begin() + static_cast<long>(n / 3), remote.end());
  Lists l;
  l.hub.push_back(kqtest::SyncRel(16, {kqtest::MediaOs(3, hub)}, "SP2_9_R1", 2, 9, 1));
  l.remote.push_back(kqtest::SyncRel(16, {kqtest::MediaOs(3, remote)}, "SP2_9_R1", 2, 9, 1));
  return l;
}

struct Output {
  std::vector<FilesForRel> send, del, drop;
};

void Ours(KQUpdateCache& cache, Lists& l, Output& out) {
  cache.CompareCacheFiles(l.hub, l.remote, out.send, out.del, false, out.drop);
}

// The straightforward comparison of one File list pair through two ordered maps.
void PlainCompareFiles(KQUpdateCache& cache, std::vector<File>& h, std::vector<File>& r,
                       std::vector<File>& send, std::vector<File>& del) {
  cache.ConvertFileVec(h);
  cache.ConvertFileVec(r);
  std::map<std::string, std::string> hubMap, remoteMap;
  for (const File& f : h)
    if (f.getstring(File::kChecksum) != "0")
      hubMap[f.getstring(File::kName)] = ToLowerCase(f.getstring(File::kChecksum).c_str());
  for (const File& f : r) {
    remoteMap[f.getstring(File::kName)] = ToLowerCase(f.getstring(File::kChecksum).c_str());
    if (hubMap.find(f.getstring(File::kName)) == hubMap.end()) del.push_back(f);
  }
  for (const File& f : h) {
    if (f.getstring(File::kChecksum) == "0") continue;
    auto it = remoteMap.find(f.getstring(File::kName));
    if (it == remoteMap.end() || it->second != ToLowerCase(f.getstring(File::kChecksum).c_str()))
      send.push_back(f);
  }
}

// The straightforward whole comparison for this shape (one release, one OS on both sides).
void Plain(KQUpdateCache& cache, Lists& l, Output& out) {
  const CNMessageBase& hubOs = l.hub[0].getlistobject(FilesForRel::kOSList)->front();
  const CNMessageBase& remOs = l.remote[0].getlistobject(FilesForRel::kOSList)->front();
  std::vector<BinaryV11> hubMedia, remMedia;
  for (const auto& m : *hubOs.getlistobject(FilesForOS::kMediaFiles)) hubMedia.emplace_back(m);
  for (const auto& m : *remOs.getlistobject(FilesForOS::kMediaFiles)) remMedia.emplace_back(m);
  std::vector<File> h, r, s, d;
  cache.ConvertBinaryV11ListToFileList(hubMedia, h);
  cache.ConvertBinaryV11ListToFileList(remMedia, r);
  PlainCompareFiles(cache, h, r, s, d);
  std::vector<BinaryV11> sendMedia, delMedia;
  cache.ConvertFileListToBinaryV11List(s, sendMedia);
  cache.ConvertFileListToBinaryV11List(d, delMedia);

  std::list<std::string> needed;
  cache.ToFileNamesRelativeToCachePath(l.hub, needed);
  std::vector<BinaryV11> keptDel;
  for (const BinaryV11& b : delMedia) {
    std::string path = "SP2_9_R1/Windows/" + b.getstring(BinaryV11::kRelativePath);
    WinPath(path);
    if (std::find(needed.begin(), needed.end(), path) == needed.end()) keptDel.push_back(b);
  }
  for (auto* pair : {&sendMedia, &keptDel}) {
    if (pair->empty()) continue;
    FilesForOS os;
    os.setint64(FilesForOS::kOSId, 3);
    os.setlistobject(FilesForOS::kMediaFiles, std::vector<CNMessageBase>(pair->begin(), pair->end()));
    (pair == &sendMedia ? out.send : out.del)
        .push_back(kqtest::SyncRel(16, {os}, "SP2_9_R1", 2, 9, 1));
  }
}

std::map<size_t, Lists>& Data() {
  static std::map<size_t, Lists> data;
  return data;
}

void Register(const std::string& name, size_t n, void (*fn)(KQUpdateCache&, Lists&, Output&)) {
  benchmark::RegisterBenchmark(name.c_str(), [n, fn](benchmark::State& state) {
    KQUpdateCache cache(1, false);
    Lists& l = Data()[n];
    for (auto _ : state) {
      Output out;
      fn(cache, l, out);
      benchmark::DoNotOptimize(out.send.data());
    }
  })->Unit(benchmark::kMillisecond);
}

void PlainCopy(benchmark::State& state) {
  Lists& l = Data()[300000];
  for (auto _ : state) {
    std::vector<CNMessageBase> a =
        *l.hub[0].getlistobject(FilesForRel::kOSList)->front().getlistobject(FilesForOS::kMediaFiles);
    std::vector<CNMessageBase> b =
        *l.remote[0].getlistobject(FilesForRel::kOSList)->front().getlistobject(FilesForOS::kMediaFiles);
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(b.data());
  }
}

bool SameOutputs(size_t n) {
  KQUpdateCache cache(1, false);
  Output a, b;
  Ours(cache, Data()[n], a);
  Plain(cache, Data()[n], b);
  auto media = [](const std::vector<FilesForRel>& rels) {
    return *kqtest::OsList(rels, 16, 3, FilesForOS::kMediaFiles);
  };
  return a.send.size() == 1 && a.del.size() == 1 && b.send.size() == 1 && b.del.size() == 1 &&
         media(a.send) == media(b.send) && media(a.del) == media(b.del) &&
         media(a.send).size() == n / 6 && media(a.del).size() == n / 6;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const ScratchFolder work("kqsyncbench");
  if (work.path.empty()) return 1;
  WriteBenchConfig(work.path, 2);
  SetOSTypesInfo();
  SetUpdateTypesInfo();
  SetReleasesSupportedOnClient();

  for (size_t n : {10000, 30000, 300000}) Data()[n] = MakeLists(n);
  for (size_t n : {10000, 30000})
    std::printf("outputs equal element by element at %zu records: %s\n", n,
                SameOutputs(n) ? "yes" : "NO");

  benchmark::RegisterBenchmark("BM_PlainCopy300k", PlainCopy)->Unit(benchmark::kMillisecond);
  Register("BM_Ours300k", 300000, Ours);
  Register("BM_Ours10k", 10000, Ours);
  Register("BM_Ours30k", 30000, Ours);
  Register("BM_Plain10k", 10000, Plain);
  Register("BM_Plain30k", 30000, Plain);

  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("plain copy / ours at 300k (goal >= 0.25)", "BM_PlainCopy300k", "BM_Ours300k");
  reporter.PrintRatio("straightforward / ours at 10k", "BM_Plain10k", "BM_Ours10k");
  reporter.PrintRatio("straightforward / ours at 30k", "BM_Plain30k", "BM_Ours30k");
  reporter.PrintRatio("straightforward 30k / 10k (growth)", "BM_Plain30k", "BM_Plain10k");
  reporter.PrintRatio("ours 30k / 10k (growth)", "BM_Ours30k", "BM_Ours10k");
  benchmark::Shutdown();
  return 0;
}
