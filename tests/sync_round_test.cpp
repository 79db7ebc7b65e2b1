// One synchronisation round on generated caches (real files, the checksum pool, the Hubnode's
// release table from its database), with SyncRoundDriver as the request handler on both ends:
// the remote cache answers with what it holds, the Hubnode lists what it should hold for the
// request, the lists are compared and trimmed, the transfer lists are computed, the driver copies
// what they say and the remote cache deletes what it is told to. Round 1 is what the generator's
// models say; a second round must find nothing to do, and a tree beside the caches stays as it
// was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "CacheTreeGenerator.h"
#include "CacheTreeOracle.h"
#include "KQUpdateCache.h"
#include "KqDbTestEnv.h"
#include "KqTestEnv.h"
#include "SyncListFixture.h"
#include "SyncRegistries.h"
#include "SyncRoundDriver.h"
#include "Vocabulary.h"

namespace kqtest {
namespace {

namespace fs = std::filesystem;
using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::CacheOpReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

// Every regular file below root with its bytes, by relative path (links are not followed).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  if (!fs::exists(root)) return out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file() && !it->is_symlink())
      out[fs::relative(it->path(), root).string()] = ReadFile(it->path().string());
  return out;
}

std::string Slash(std::string s) {
  UnixPath(s);
  return s;
}

// The two ways a remote cache answers: for the releases and operating systems asked, or for its
// whole cache (the Hubnode's release in one feature-release folder, with obsolete folders and
// additional-sync files).
struct Variant {
  uint32_t seed;
  bool complete;
};

class SyncRoundTest : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    db_.config().set("Logging", "nDebugLevel", "2");
    db_.config().set("", "sProductVersion", "11.0.0.1");  // the Hubnode release is 16
    // The Hubnode's release table comes from its database (filled once per process).
    for (int major : {9, 10, 11})
      Sql("INSERT INTO simAllVorlanRel (id, release, buildNum) VALUES ($1, $2, 80)",
          {I(major + 5), T(std::to_string(major))});
    SetOSTypesInfo();
    ASSERT_TRUE(SetReleasesSupported());
    ASSERT_EQ(GetRelIdFromIndex(0), 16);
    ASSERT_EQ(GetRelNameFromId(16), "11.0.0");
    SetUpdateTypesInfo();
    const char* shm = "/dev/shm";
    std::string base = (::access(shm, W_OK) == 0 ? std::string(shm) : dir_.path()) + "/kqsyncround.XXXXXX";
    ASSERT_NE(::mkdtemp(&base[0]), nullptr);
    work_ = base;
    CacheOptions o = SyncCacheOptions(GetParam().seed);
    o.mapOddities = true;
    o.missingMediaFile = true;
    hubGen_ = GenerateCache(o);
    hubModel_ = hubGen_.model;
    remoteModel_ = MakeRemoteVariant(hubGen_, GetParam().seed + 100);
    hubManifest_ = WriteCache(hubModel_, hub_ = work_ + "/hub");
    remoteManifest_ = WriteCache(remoteModel_, remote_ = work_ + "/remote");
    driver_ = std::make_unique<SyncRoundDriver>(hub_, remote_, GetParam().complete);
    WriteFile(work_ + "/sentinel/keep/a.txt", "sentinel a");
    WriteFile(work_ + "/sentinel/b.bin", std::string(300, 'b'));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  bool Complete() const { return GetParam().complete; }

  std::map<int, std::vector<int>> Asked() const { return driver_->Asked(); }
  SyncRound RunRound(long long job) {
    SyncRound r = driver_->Run(job);
    EXPECT_TRUE(r.errors.empty()) << ::testing::PrintToString(r.errors);
    return r;
  }

  // ---- What the models say (never the library) ----

  // Lists 4, 5, 6 and 7 of a release and operating system.
  using Lists = std::array<NameSums, 4>;
  using PerPair = std::map<std::pair<int, int>, Lists>;

  static bool Empty(const Lists& l) {
    return l[0].empty() && l[1].empty() && l[2].empty() && l[3].empty();
  }
  static Lists Pack(const EntryList& fr, const EntryList& loose, const EntryList& inst, const EntryList& media) {
    return {NameSums(fr.begin(), fr.end()), NameSums(loose.begin(), loose.end()),
            NameSums(inst.begin(), inst.end()), NameSums(media.begin(), media.end())};
  }
  std::string MediaSide(int os) const {
    return "KQMedia/11.0.0" + std::string(Complete() ? "/" : "") + (Complete() ? SyncRoundDriver::kRecut : "") +
           (os > 4 ? "/Unix" : "/Windows");
  }
  const MediaReleaseRecord& HubMedia() const { return hubModel_.media[Complete() ? 1 : 0]; }

  // The Hubnode's expected lists of the request, from its model and manifest.
  PerPair ModelExpected() const {
    PerPair out;
    for (const auto& [rel, oses] : Asked())
      for (int os : oses) {
        ExpectedLists e;
        if (rel == 15) {
          const UpdatesOSRecord* record = nullptr;
          for (const UpdatesOSRecord& r : hubModel_.updates)
            if (r.osId == os) record = &r;
          if (!record) continue;
          e = OracleRelease15(hubManifest_, hubModel_, *record, Applicability());
        } else {
          e = OracleRelease16(hubManifest_, hubModel_, HubMedia(), os, Applicability());
          e.media = OracleRemoteMedia(hubManifest_, hubModel_, HubMedia(), os, e.media);
        }
        Lists l = Pack(e.featureRelease, e.loose, e.installer, e.media);
        if (!Empty(l)) out[{rel, os}] = l;
      }
    return out;
  }

  // The remote cache's answer, from its model and manifest.
  PerPair ModelAnswer() const {
    PerPair out;
    auto add = [&out](int rel, int os, const AnswerLists& a) {
      if (!a.Empty()) out[{rel, os}] = Pack(a.featureRelease, a.loose, a.installer, a.media);
    };
    if (Complete()) {
      for (int os = 1; os <= 34; ++os)
        if (os != 2 && os != 4 && os != 5) add(16, os, OracleAnswer16(remoteManifest_, remoteModel_, MediaSide(os), os));
      return out;
    }
    for (const auto& [rel, oses] : Asked())
      for (int os : oses)
        add(rel, os, rel == 15 ? OracleAnswer15(remoteManifest_, "KQUpdates/10.0.0/" + remoteModel_.osNames.at(os), os)
                               : OracleAnswer16(remoteManifest_, remoteModel_, MediaSide(os), os));
    return out;
  }

  // The folder below a cache root that the names of list k of a pair are relative to.
  std::string ModelBase(int rel, int os, size_t k) const {
    if (rel >= 16) return MediaSide(os);
    const std::string osRel = "KQUpdates/10.0.0/" + hubModel_.osNames.at(os);
    if (k == 1) return osRel + "/Updates";
    if (k == 0) {
      const FeatureReleaseRecord* highest = nullptr;
      for (const UpdatesOSRecord& r : hubModel_.updates)
        if (r.osId == os) highest = OracleHighest(r.featureReleases);
      return osRel + "/ServicePacks/" + (highest ? highest->folder : "");
    }
    return osRel;
  }

  struct ModelRound {
    std::map<std::tuple<int, int, size_t>, std::set<NameSum>> send, del;
    std::set<std::pair<int, int>> drop;
  };

  // Round 1 as the models have it: compared by name and checksum, a Hubnode file with checksum
  // "0" never sent, media the Hubnode still lists kept, what the Hubnode lacks not sent.
  ModelRound ExpectedRound() const {
    const PerPair hub = ModelExpected(), remote = ModelAnswer();
    ModelRound m;
    std::set<std::string> needed;  // platform folder + name of every media file listed
    for (const auto& [pair, lists] : hub)
      for (const NameSum& e : lists[3]) needed.insert(MediaSide(pair.second) + "/" + Slash(e.first));
    auto deleteUnlessNeeded = [&](int rel, int os, size_t k, const NameSum& e) {
      if (k == 3 && needed.count(MediaSide(os) + "/" + Slash(e.first))) return;
      m.del[{rel, os, k}].insert({Slash(e.first), e.second});
    };
    for (const auto& [pair, lists] : hub) {
      auto r = remote.find(pair);
      for (size_t k = 0; k < 4; ++k) {
        NameSums send;
        if (r == remote.end()) {
          for (const NameSum& e : lists[k])
            if (e.second != "0") send.emplace_back(Slash(e.first), e.second);
        } else {
          auto diff = ReferenceDiff(lists[k], r->second[k]);
          send = diff.first;
          for (const NameSum& e : diff.second) deleteUnlessNeeded(pair.first, pair.second, k, e);
        }
        for (const NameSum& e : send)
          if (k == 2 || hubManifest_.Has(ModelBase(pair.first, pair.second, k) + "/" + e.first))
            m.send[{pair.first, pair.second, k}].insert(e);
      }
    }
    for (const auto& [pair, lists] : remote)
      if (!hub.count(pair)) m.drop.insert(pair);
    return m;
  }

  // The library's lists of a round in the models' form.
  static std::map<std::tuple<int, int, size_t>, std::set<NameSum>> AsModel(const std::vector<FilesForRel>& rels) {
    std::map<std::tuple<int, int, size_t>, std::set<NameSum>> out;
    const KqFieldId* fields[] = {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles, &FilesForOS::kInstallerFiles,
                                 &FilesForOS::kMediaFiles};
    for (const FilesForRel& rel : rels)
      for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList))
        for (size_t k = 0; k < 4; ++k) {
          const auto& list = *os.getlistobject(*fields[k]);
          for (const NameSum& e : k == 3 ? MediaNames(list) : FileNames(list))
            out[{static_cast<int>(rel.getint64(FilesForRel::kReleaseId)), static_cast<int>(os.getint64(FilesForOS::kOSId)), k}]
                .insert({Slash(e.first), e.second});
        }
    return out;
  }

  static std::set<NameSum> Names(const CNMessageBase& m, const KqFieldId& list) {
    std::set<NameSum> out;
    for (const NameSum& e : FileNames(*m.getlistobject(list))) out.insert({Slash(e.first), e.second});
    return out;
  }

  // Every name a round still sends or deletes, for the failure message.
  static std::string Leftovers(const SyncRound& r) {
    std::string out;
    auto lists = [&out](const std::vector<FilesForRel>& rels, const char* what) {
      for (const auto& rel : rels)
        for (const auto& os : *rel.getlistobject(FilesForRel::kOSList)) {
          const std::string head = std::string(what) + " " + std::to_string(rel.getint64(FilesForRel::kReleaseId)) +
                                   "/" + std::to_string(os.getint64(FilesForOS::kOSId)) + ": ";
          for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles, &FilesForOS::kInstallerFiles})
            for (const auto& e : FileNames(*os.getlistobject(*f))) out += head + e.first + "\n";
          for (const auto& e : MediaNames(*os.getlistobject(FilesForOS::kMediaFiles))) out += head + e.first + " " + e.second + "\n";
        }
    };
    lists(r.send, "send");
    lists(r.del, "delete");
    lists(r.drop, "drop");
    for (const auto& e : FileNames(*r.addSend.getlistobject(AdditionalSyncFilesList::kFiles))) out += "send add " + e.first + "\n";
    for (const auto& e : FileNames(*r.addDel.getlistobject(AdditionalSyncFilesList::kFiles))) out += "delete add " + e.first + "\n";
    for (const auto& e : FileNames(*r.applSend.getlistobject(ApplianceFilesInfo::kFiles))) out += "send appl " + e.first + "\n";
    for (const auto& e : FileNames(*r.applDel.getlistobject(ApplianceFilesInfo::kFiles))) out += "delete appl " + e.first + "\n";
    for (const auto& o : r.obsolete) out += "obsolete " + o + "\n";
    return out;
  }

  ScopedDatabase db_;
  TempDir dir_;
  std::string work_, hub_, remote_;
  GeneratedCache hubGen_;
  CacheModel hubModel_, remoteModel_;
  CacheManifest hubManifest_, remoteManifest_;
  std::unique_ptr<SyncRoundDriver> driver_;
};

TEST_P(SyncRoundTest, SecondRoundFindsNothingToDo) {
  const auto sentinel = Snapshot(work_ + "/sentinel");
  const auto hubBefore = Snapshot(hub_);

  const ModelRound model = ExpectedRound();
  SyncRound first = RunRound(1);
  EXPECT_GT(first.sendCount, 0u);
  EXPECT_GT(first.deleteCount, 0u);

  // Round 1 is what the models say, and the models meet the differences the remote cache was
  // made with.
  ASSERT_FALSE(model.send.empty());
  ASSERT_FALSE(model.del.empty());
  const auto sends = [&model](int rel, int os, size_t k) {
    std::set<std::string> out;
    auto it = model.send.find({rel, os, k});
    if (it != model.send.end())
      for (const NameSum& e : it->second) out.insert(e.first);
    return out;
  };
  EXPECT_TRUE(sends(16, 16, 3).count("README.txt"));  // one file of two sides
  EXPECT_TRUE(sends(16, 22, 3).count("README.txt"));
  if (!Complete() && remoteManifest_.Has("KQUpdates/10.0.0/Windows/Updates/U0001/Config/Update.ini")) {
    EXPECT_TRUE(sends(15, 1, 1).count("U0001/Config/update.ini"));
    EXPECT_TRUE(model.del.at({15, 1, 1}).count({"U0001/Config/Update.ini",
                                                 remoteManifest_.ChecksumOf("KQUpdates/10.0.0/Windows/Updates/U0001/Config/Update.ini", false)}));
  }
  EXPECT_EQ(model.drop.empty(), false);
  EXPECT_EQ(AsModel(first.send), model.send);
  EXPECT_EQ(AsModel(first.del), model.del);
  std::set<std::pair<int, int>> dropped;
  for (const FilesForRel& rel : first.drop)
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList))
      dropped.insert({static_cast<int>(rel.getint64(FilesForRel::kReleaseId)), static_cast<int>(os.getint64(FilesForOS::kOSId))});
  EXPECT_EQ(dropped, model.drop);
  {
    EntryList hubSync = OracleFilesBelow(hubManifest_, "AddSync", false);
    EntryList remoteSync = OracleFilesBelow(remoteManifest_, "AddSync", false);
    const auto diff = ReferenceDiff(NameSums(hubSync.begin(), hubSync.end()), NameSums(remoteSync.begin(), remoteSync.end()));
    EXPECT_EQ(Names(first.addSend, AdditionalSyncFilesList::kFiles), std::set<NameSum>(diff.first.begin(), diff.first.end()));
    EXPECT_EQ(Names(first.addDel, AdditionalSyncFilesList::kFiles), std::set<NameSum>(diff.second.begin(), diff.second.end()));
  }
  std::set<std::string> applSend, applDel;
  for (const NameSum& e : Names(first.applSend, ApplianceFilesInfo::kFiles)) applSend.insert(e.first);
  for (const NameSum& e : Names(first.applDel, ApplianceFilesInfo::kFiles)) applDel.insert(e.first);
  EXPECT_TRUE(applSend.count("KQAppliance/Windows/2019/KB5001001.msu"));
  EXPECT_TRUE(applSend.count("KQAppliance/Unix/Packages/pkg0-1.0-0.rpm"));
  EXPECT_TRUE(applDel.count("KQAppliance/Windows/stale.msu"));
  if (Complete()) {
    EXPECT_EQ(std::set<std::string>(first.obsolete.begin(), first.obsolete.end()),
              (std::set<std::string>{"SP11_4000_R2", "Unix", "Windows"}));
  }

  // The remote tree is then the models': every file sent is there as on the Hubnode, every file
  // deleted is gone, and so are the obsolete folders.
  for (const auto& [key, files] : model.send)
    for (const NameSum& e : files) {
      const std::string rel = ModelBase(std::get<0>(key), std::get<1>(key), std::get<2>(key)) + "/" + e.first;
      EXPECT_EQ(ReadFile(remote_ + "/" + rel), ReadFile(hub_ + "/" + rel)) << rel;
    }
  for (const auto& [key, files] : model.del)
    for (const NameSum& e : files) {
      const std::string rel = ModelBase(std::get<0>(key), std::get<1>(key), std::get<2>(key)) + "/" + e.first;
      EXPECT_FALSE(fs::exists(remote_ + "/" + rel)) << rel;
    }
  for (const std::string& folder : first.obsolete) EXPECT_FALSE(fs::exists(remote_ + "/KQMedia/11.0.0/" + folder));
  if (!Complete()) {
    EXPECT_FALSE(fs::exists(remote_ + "/KQUpdates/10.0.0/linux-ppc64/Updates"));
  }
  EXPECT_FALSE(fs::exists(remote_ + "/" + hubGen_.missingMediaFile));

  SyncRound second = RunRound(2);
  EXPECT_EQ(second.sendCount, 0u) << Leftovers(second);
  EXPECT_EQ(second.deleteCount, 0u) << Leftovers(second);
  EXPECT_TRUE(second.drop.empty()) << Leftovers(second);
  EXPECT_TRUE(second.obsolete.empty()) << Leftovers(second);
  EXPECT_TRUE(second.addSend.getlistobject(AdditionalSyncFilesList::kFiles)->empty()) << Leftovers(second);
  EXPECT_TRUE(second.addDel.getlistobject(AdditionalSyncFilesList::kFiles)->empty()) << Leftovers(second);
  EXPECT_TRUE(second.applSend.getlistobject(ApplianceFilesInfo::kFiles)->empty()) << Leftovers(second);
  EXPECT_TRUE(second.applDel.getlistobject(ApplianceFilesInfo::kFiles)->empty()) << Leftovers(second);

  EXPECT_EQ(Snapshot(work_ + "/sentinel"), sentinel);
  EXPECT_EQ(Snapshot(hub_), hubBefore);
  FileNodeList none;
  FullVersion v;
  EXPECT_EQ(GetTransferList(SyncRoundDriver::kClient, 1, nPatchDownload::RCSyncSide(SyncRoundDriver::kRemoteName, &v, 3), none), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SyncRoundTest,
                         ::testing::Values(Variant{1, false}, Variant{2, false}, Variant{3, false},
                                           Variant{1, true}, Variant{2, true}, Variant{3, true}),
                         [](const ::testing::TestParamInfo<Variant>& p) {
                           return std::string(p.param.complete ? "Complete" : "Asked") +
                                  std::to_string(p.param.seed);
                         });

}  // namespace
}  // namespace kqtest
