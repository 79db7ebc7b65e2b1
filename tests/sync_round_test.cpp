// One synchronisation round on generated caches, with this test as the request handler: the
// remote cache answers with what it holds, the Hubnode lists what it should hold, the lists are
// compared and trimmed, the transfer lists are computed, and the test copies and deletes what
// they say. A second round must find nothing to do, and a tree beside the caches stays as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CacheTreeGenerator.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PortableFiles/SafePath.h"
#include "SyncListFixture.h"
#include "SyncRegistries.h"
#include "UpdateUtils.h"
#include "Vocabulary.h"

namespace kqtest {
namespace {

namespace fs = std::filesystem;
using UpdatePatches::CacheOpReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

const std::map<int, std::vector<int>> kAsked = {{15, {1, 3, 16, 22, 17}}, {16, {1, 3, 16, 22}}};
constexpr int kClient = 77;

// Every regular file below root with its bytes, by relative path (links are not followed).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file() && !it->is_symlink())
      out[fs::relative(it->path(), root).string()] = ReadFile(it->path().string());
  return out;
}

struct Round {
  std::vector<FilesForRel> send, del, drop;
  unsigned long long sendCount = 0, deleteCount = 0;
};

class SyncRoundTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    config_.set("Logging", "nDebugLevel", "2");
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    SetUpdateTypesInfo();
    const char* shm = "/dev/shm";
    std::string base = (::access(shm, W_OK) == 0 ? std::string(shm) : dir_.path()) + "/kqsyncround.XXXXXX";
    ASSERT_NE(::mkdtemp(&base[0]), nullptr);
    work_ = base;
    CacheOptions o;
    o.seed = GetParam();
    o.updatesPerOS = 12;
    o.mediaPackages = 20;
    o.mediaUpdates = 4;
    o.bigFile = false;
    GeneratedCache hub = GenerateCache(o);
    WriteCache(hub.model, hub_ = work_ + "/hub");
    WriteCache(MakeRemoteVariant(hub, GetParam() + 100), remote_ = work_ + "/remote");
    WriteFile(work_ + "/sentinel/keep/a.txt", "sentinel a");
    WriteFile(work_ + "/sentinel/b.bin", std::string(300, 'b'));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  // The remote cache's answer for the asked releases and operating systems.
  CacheOpReq RemoteAnswer(long long job) {
    CacheOpReq request, answer;
    RemClientInfo info;
    info.setstring(RemClientInfo::kCachePath, remote_);
    request.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    std::vector<CNMessageBase> releases;
    for (const auto& [rel, oses] : kAsked) {
      std::vector<FilesForOS> list;
      for (int os : oses) list.push_back(MediaOs(os, {}));
      releases.push_back(SyncRel(rel, list));
    }
    request.setlistobject(CacheOpReq::kReleases, releases);
    KQUpdateCache cache(static_cast<unsigned long>(job), false);
    EXPECT_TRUE(cache.CalculateCheckSumForCacheFiles(request, answer));
    return answer;
  }

  // What the remote cache should hold: every asked OS that has files.
  std::vector<FilesForRel> Expected(KQUpdateCache& cache) {
    std::vector<FilesForRel> out;
    for (const auto& [rel, oses] : kAsked) {
      std::vector<FilesForOS> kept;
      for (int os : oses) {
        FilesForOS files;
        files.setint64(FilesForOS::kOSId, os);
        _SPVersion sp;
        std::vector<UpdatePatches::PackageDesc> packages;
        // The media releases are listed per binary set (all packages of it).
        const int binarySet = rel >= 16 ? (os > 4 ? CacheUnixBinarySet(os) : os) : 0;
        EXPECT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(hub_, rel, os, binarySet, &sp, &packages, &files,
                                                       false, ""))
            << rel << " " << os;
        std::vector<FilesForRel> one = {SyncRel(rel, {files})};
        if (cache.CountFilesForRelVec(one) != 0) kept.push_back(files);
      }
      out.push_back(SyncRel(rel, kept));
    }
    return out;
  }

  // The folder (below a cache root) that the names of one list of an OS entry are relative to.
  std::string Base(const FilesForRel& rel, int os, const KqFieldId& list) {
    const int relId = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
    if (relId >= 16) {
      std::string folder = rel.getstring(FilesForRel::kSPFolderName);
      return "KQMedia/" + GetRelNameFromId(relId) + (folder.empty() ? "" : "/" + folder) +
             (IsUnix(os) ? "/Unix" : "/Windows");
    }
    const std::string osRel = "KQUpdates/" + GetRelNameFromId(relId) + "/" + GetOSNameFromId(os);
    if (list.tag == FilesForOS::kLooseUpdateFiles.tag) return osRel + "/Updates";
    if (list.tag == FilesForOS::kSPFiles.tag) {
      _SPVersion highest;
      EXPECT_TRUE(GetHighestSP(highest, (hub_ + "/" + osRel + "/ServicePacks").c_str()));
      return osRel + "/ServicePacks/SP" + highest.ToStr(false);
    }
    return osRel;
  }

  void Copy(const std::string& base, std::string name) {
    UnixPath(name);
    ASSERT_TRUE(kq::IsSafeRelativeName(name)) << name;
    const fs::path to = remote_ + "/" + base + "/" + name;
    fs::create_directories(to.parent_path());
    fs::copy_file(hub_ + "/" + base + "/" + name, to, fs::copy_options::overwrite_existing);
  }

  void Remove(const std::string& base, std::string name) {
    UnixPath(name);
    std::string err;
    EXPECT_TRUE(kq::RemoveUnder(remote_, base + "/" + name, &err)) << err;
  }

  // One whole round for the job.
  Round RunRound(long long job) {
    Round r;
    EXPECT_EQ(AppendCachedBaselineList(kClient, RemoteAnswer(job), job), 1);
    KQUpdateCache cache(static_cast<unsigned long>(job), false);
    std::vector<FilesForRel> expected = Expected(cache);
    CacheOpReq baseline;
    EXPECT_EQ(GetCachedBaselineForUA(kClient, baseline, job), 1);
    std::vector<FilesForRel> remoteLists;
    for (const CNMessageBase& rel : *baseline.getlistobject(CacheOpReq::kReleases)) remoteLists.emplace_back(rel);
    cache.CompareCacheFiles(expected, remoteLists, r.send, r.del, false, r.drop);

    RemClientInfo info;
    info.setstring(RemClientInfo::kField1, "remote-1");
    info.setint64(RemClientInfo::kField3, kClient);
    LocalAndRemClientDetails details(static_cast<unsigned long long>(job), "", "", hub_, "", "", "",
                                     "", "", &info, false);
    cache.RemoveNonExistentFiles(details, r.send);
    EXPECT_EQ(cache.CalculateDeltaFilesList(r.send, details), 1);
    r.sendCount = cache.CountFilesForRelVec(r.send);
    r.deleteCount = cache.CountFilesForRelVec(r.del);

    // Apply: media files by the sides' transfer lists, the other lists as sent.
    for (const FilesForRel& rel : r.send) {
      FullVersion version;
      if (const CNMessageBase* sp = rel.getObjectAccessor(FilesForRel::kSPVersion))
        version = FullVersion(_SPVersion(static_cast<int>(sp->getint64(UpdatePatches::SPVersion::kMajor)), 0,
                                         static_cast<int>(sp->getint64(UpdatePatches::SPVersion::kTransactionId)),
                                         static_cast<int>(sp->getint64(UpdatePatches::SPVersion::kRevisionId))));
      for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
        const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
        FileNodeList transfer;
        if (!os.getlistobject(FilesForOS::kMediaFiles)->empty()) {
          EXPECT_EQ(GetTransferList(kClient, job, nPatchDownload::RCSyncSide("remote-1", &version, osId), transfer), 1);
          for (const fileNode& n : transfer) Copy(Base(rel, osId, FilesForOS::kMediaFiles), n.name);
        }
        for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles, &FilesForOS::kInstallerFiles})
          for (const CNMessageBase& file : *os.getlistobject(*f))
            Copy(Base(rel, osId, *f), file.getstring(UpdatePatches::File::kName));
      }
    }
    for (const FilesForRel& rel : r.del) {
      for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
        const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
        for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles,
                                   &FilesForOS::kInstallerFiles})
          for (const CNMessageBase& file : *os.getlistobject(*f))
            Remove(Base(rel, osId, *f), file.getstring(UpdatePatches::File::kName));
        for (const CNMessageBase& file : *os.getlistobject(FilesForOS::kMediaFiles))
          Remove(Base(rel, osId, FilesForOS::kMediaFiles), file.getstring(UpdatePatches::BinaryV11::kRelativePath));
      }
    }
    for (const FilesForRel& rel : r.drop) {
      const int relId = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
      for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
        const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
        std::string err;
        const std::string folder = relId >= 16 ? Base(rel, osId, FilesForOS::kMediaFiles)
                                               : "KQUpdates/" + GetRelNameFromId(relId) + "/" + GetOSNameFromId(osId);
        EXPECT_TRUE(kq::RemoveUnder(remote_, folder, &err)) << err;
      }
    }
    EXPECT_EQ(ClearCachedBaselineList(job), 1);
    return r;
  }

  ScopedConfig config_;
  TempDir dir_;
  std::string work_, hub_, remote_;
};

TEST_P(SyncRoundTest, SecondRoundFindsNothingToDo) {
  const auto sentinel = Snapshot(work_ + "/sentinel");
  const auto hubBefore = Snapshot(hub_);

  Round first = RunRound(1);
  EXPECT_GT(first.sendCount, 0u);
  EXPECT_GT(first.deleteCount, 0u);
  ASSERT_EQ(first.drop.size(), 1u);  // release 15 "linux-ppc64", which the Hubnode lacks
  EXPECT_NE(OsList(first.drop, 15, 17, FilesForOS::kSPFiles), nullptr);
  EXPECT_FALSE(fs::exists(remote_ + "/KQUpdates/10.0.0/linux-ppc64"));

  Round second = RunRound(2);
  // What the second round still sends is already on the remote cache byte for byte: the
  // Hubnode's lists name it with a checksum its own file does not have (install maps and media
  // catalogues that disagree with the files), so no copy can settle it.
  for (const auto& rel : second.send)
    for (const auto& os : *rel.getlistobject(FilesForRel::kOSList)) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles,
                                 &FilesForOS::kInstallerFiles, &FilesForOS::kMediaFiles}) {
        const bool media = f == &FilesForOS::kMediaFiles;
        for (const auto& e : media ? MediaNames(*os.getlistobject(*f)) : FileNames(*os.getlistobject(*f))) {
          std::string name = e.first;
          UnixPath(name);
          const std::string rel2 = Base(rel, osId, *f) + "/" + name;
          EXPECT_EQ(ReadFile(remote_ + "/" + rel2), ReadFile(hub_ + "/" + rel2)) << rel2;
          EXPECT_TRUE(fs::exists(remote_ + "/" + rel2)) << rel2;
        }
      }
    }
  EXPECT_EQ(second.deleteCount, 0u);
  EXPECT_TRUE(second.drop.empty());

  EXPECT_EQ(Snapshot(work_ + "/sentinel"), sentinel);
  EXPECT_EQ(Snapshot(hub_), hubBefore);
  FileNodeList none;
  FullVersion v;
  EXPECT_EQ(GetTransferList(kClient, 1, nPatchDownload::RCSyncSide("remote-1", &v, 3), none), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SyncRoundTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
}  // namespace kqtest
