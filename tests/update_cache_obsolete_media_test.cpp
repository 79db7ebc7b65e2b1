// Obsolete media after a content-delivery download, on real cache trees beside a sentinel tree
// that links in the cache point at and that no request may touch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PortableFiles/PxDirectory.h"
#include "Vocabulary.h"

namespace {

using UpdatePatches::AkamaiDownloadInfo;
using UpdatePatches::AkamaiDownloadReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::KQApplianceOSInfo;
using UpdatePatches::KQApplianceOSInfoList;
using UpdatePatches::RemClientInfo;
typedef std::map<std::string, std::string> Manifest;

const unsigned int kRefused = 0x80000008u;

FilesForRel Release(int major, int trans, int rev, const std::vector<int>& osIds) {
  UpdatePatches::SPVersion sp;
  sp.setint64(UpdatePatches::SPVersion::kMajor, major);
  sp.setint64(UpdatePatches::SPVersion::kTransactionId, trans);
  sp.setint64(UpdatePatches::SPVersion::kRevisionId, rev);
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, 16);
  rel.setObjectAccessor(FilesForRel::kSPVersion, sp);
  std::vector<CNMessageBase> oses;
  for (int id : osIds) {
    FilesForOS os;
    os.setint64(FilesForOS::kOSId, id);
    oses.push_back(os);
  }
  rel.setlistobject(FilesForRel::kOSList, oses);
  return rel;
}

// Every entry of `all` except those at or below one of `gone` (full paths).
Manifest Without(const Manifest& all, const std::vector<std::string>& gone) {
  Manifest out;
  for (const auto& e : all) {
    bool removed = false;
    for (const std::string& g : gone)
      if (e.first == g || e.first.compare(0, g.size() + 1, g + "/") == 0) removed = true;
    if (!removed) out.insert(e);
  }
  return out;
}

class ObsoleteMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    root_ = config_.root() + "/cache";
    media_ = root_ + "/KQMedia/11.0.0/SP12_4_R3";
    sentinel_ = config_.root() + "/sentinel";
    for (const char* f : {"/Windows/BinaryPayload/w.bin", "/Windows/BinaryPayload32/w.bin",
                          "/Unix/linux-x8664/l.bin", "/Unix/linux-x8664/old.bin",
                          "/Unix/aix-ppc/a.bin"})
      kqtest::WriteFile(media_ + f, "media");
    for (const char* f : {"/KQMedia/11.0.0/SP11_2_R1/x.bin", "/KQMedia/11.0.0/SP13_5_R1/x.bin",
                          "/KQMedia/11.0.0/NotAnSP/x.bin", "/KQAppliance/Windows/w.msi",
                          "/KQAppliance/Unix/u.rpm", "/KQAppliance/MSSQL/s.msi",
                          "/KQAppliance/Other/o.bin"})
      kqtest::WriteFile(root_ + f, "media");
    kqtest::WriteFile(sentinel_ + "/x", "keep");
    kqtest::WriteFile(sentinel_ + "/Unix/u.rpm", "keep");
    kqtest::WriteFile(sentinel_ + "/11.0.0/SP11_2_R1/x.bin", "keep");
    sentinelBefore_ = kqtest::TreeManifest(sentinel_);
  }
  void TearDown() override {
    EXPECT_EQ(sentinelBefore_, kqtest::TreeManifest(sentinel_)) << "sentinel touched";
  }

  // A download of SP12_4_R3 for `osIds` beside SP13_5_R1, keeping Windows and SQL appliances.
  AkamaiDownloadReq Request(const std::vector<int>& osIds, long long mode = 0,
                            const std::string& root = "") {
    AkamaiDownloadInfo download;
    download.setint64(AkamaiDownloadInfo::kDownloadMode, mode);
    download.setlistobject(AkamaiDownloadInfo::kReleases,
                           std::vector<CNMessageBase>{Release(12, 4, 3, osIds),
                                                      Release(13, 5, 1, {3})});
    AkamaiDownloadReq req;
    req.setObjectAccessor(AkamaiDownloadReq::kDownload, download);
    RemClientInfo info;
    info.setstring(RemClientInfo::kCachePath, root.empty() ? root_ : root);
    req.setObjectAccessor(AkamaiDownloadReq::kRemClientInfo, info);
    std::vector<CNMessageBase> types;
    for (int type : {2, 1}) {
      KQApplianceOSInfo os;
      os.setint64(KQApplianceOSInfo::kType, type);
      types.push_back(os);
    }
    KQApplianceOSInfoList list;
    list.setlistobject(KQApplianceOSInfoList::kList, types);
    req.setObjectAccessor(AkamaiDownloadReq::kApplianceOSList, list);
    return req;
  }
  static FullVersion Version() { return FullVersion(_SPVersion(12, 0, 4, 3)); }
  std::set<std::string> Replaced() const { return {media_ + "/Unix/linux-x8664/old.bin"}; }

  kqtest::ScopedConfig config_;
  KQUpdateCache cache_{7, false};
  std::string root_, media_, sentinel_;
  Manifest sentinelBefore_;
};

TEST_F(ObsoleteMediaTest, UnixOnlyDownloadRemovesWhatItNoLongerNames) {
  const Manifest before = kqtest::TreeManifest(root_);
  // The request as it arrives: message XML read back.
  std::string xml;
  ASSERT_EQ(0, XMLEncoder::serialize(Request({16}), xml));
  AkamaiDownloadReq req;
  ASSERT_EQ(0, XMLDecoder::unSerialize(req, xml));
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache(Replaced(), Version(), &req));
  EXPECT_EQ(Without(before, {media_ + "/Windows", media_ + "/Unix/aix-ppc",
                             media_ + "/Unix/linux-x8664/old.bin",
                             root_ + "/KQMedia/11.0.0/SP11_2_R1", root_ + "/KQAppliance/Unix",
                             root_ + "/KQAppliance/Other"}),
            kqtest::TreeManifest(root_));
}

TEST_F(ObsoleteMediaTest, WindowsOnlyDownloadRemovesTheUnixPlatform) {
  const Manifest before = kqtest::TreeManifest(root_);
  AkamaiDownloadReq req = Request({3});
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache({}, Version(), &req));
  EXPECT_EQ(Without(before, {media_ + "/Unix", media_ + "/Windows/BinaryPayload32",
                             root_ + "/KQMedia/11.0.0/SP11_2_R1", root_ + "/KQAppliance/Unix",
                             root_ + "/KQAppliance/Other"}),
            kqtest::TreeManifest(root_));
}

TEST_F(ObsoleteMediaTest, FilesOnlyWhenAskedSoOrWhenNoReleaseMatches) {
  const std::string replaced = media_ + "/Unix/linux-x8664/old.bin";
  const Manifest before = kqtest::TreeManifest(root_);
  const Manifest afterFiles = Without(before, {replaced});

  AkamaiDownloadReq filesOnly = Request({16}, 2);
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache(Replaced(), Version(), &filesOnly));
  EXPECT_EQ(afterFiles, kqtest::TreeManifest(root_));

  // The download names other feature releases only, or none at all: the folders of the media it
  // does not describe are not judged obsolete.
  kqtest::WriteFile(replaced, "media");
  AkamaiDownloadReq other = Request({16});
  other.getObjectAccessor(AkamaiDownloadReq::kDownload)
      ->setlistobject(AkamaiDownloadInfo::kReleases,
                      std::vector<CNMessageBase>{Release(12, 4, 4, {16})});
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache(Replaced(), Version(), &other));
  EXPECT_EQ(afterFiles, kqtest::TreeManifest(root_));

  AkamaiDownloadReq unset = Request({16});
  unset.getObjectAccessor(AkamaiDownloadReq::kDownload)->unset(AkamaiDownloadInfo::kReleases);
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache({}, Version(), &unset));
  EXPECT_EQ(afterFiles, kqtest::TreeManifest(root_));
}

TEST_F(ObsoleteMediaTest, AppliancesStayOnlyForListedTypesAndOnlyInMode0) {
  const Manifest before = kqtest::TreeManifest(root_);
  AkamaiDownloadReq req = Request({16, 3}, 1);
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache({}, Version(), &req));
  EXPECT_EQ(Without(before, {media_ + "/Unix/aix-ppc", media_ + "/Windows/BinaryPayload32",
                             root_ + "/KQMedia/11.0.0/SP11_2_R1"}),
            kqtest::TreeManifest(root_));
}

TEST_F(ObsoleteMediaTest, CacheWithoutReleaseFolderKeepsItsFolders) {
  // The release folder cannot be walked: the walk's failure ends the clean-up before anything
  // planned is removed (and the reader is still released).
  ASSERT_FALSE(CPxDirectory::Remove(root_ + "/KQMedia", true).IsError());
  const Manifest before = kqtest::TreeManifest(root_);
  AkamaiDownloadReq req = Request({16});
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache({}, Version(), &req));
  EXPECT_EQ(before, kqtest::TreeManifest(root_));
}

TEST_F(ObsoleteMediaTest, HostileRootsTouchNothing) {
  config_.set("SoftwareCache", "dHOME", root_);
  const Manifest all = kqtest::TreeManifest(root_);
  for (const std::string& root :
       {std::string("/"), std::string("relative/cache"), root_ + "/../sentinel", sentinel_,
        std::string("//")}) {
    AkamaiDownloadReq req = Request({16}, 0, root);
    EXPECT_EQ(kRefused, cache_.DeleteObsoleteMediaFromCache({sentinel_ + "/x"}, Version(), &req))
        << root;
  }
  EXPECT_EQ(kRefused, cache_.DeleteObsoleteMediaFromCache(Replaced(), Version(), nullptr));
  EXPECT_EQ(all, kqtest::TreeManifest(root_));
}

TEST_F(ObsoleteMediaTest, ARootThatIsALinkBelowTheConfiguredCacheIsRefused) {
  // The sentinel looks like a cache; a link below the configured cache points at it.
  for (const char* f : {"/KQMedia/11.0.0/SP11_2_R1/x.bin", "/KQMedia/11.0.0/SP12_4_R3/Unix/u/l.bin",
                        "/KQAppliance/Other/o.bin"})
    kqtest::WriteFile(sentinel_ + f, "keep");
  sentinelBefore_ = kqtest::TreeManifest(sentinel_);
  config_.set("SoftwareCache", "dHOME", root_);
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (root_ + "/lnk").c_str()));
  AkamaiDownloadReq req = Request({16}, 0, root_ + "/lnk");
  EXPECT_EQ(kRefused, cache_.DeleteObsoleteMediaFromCache(
                          {root_ + "/lnk/KQMedia/11.0.0/SP11_2_R1/x.bin"}, Version(), &req));
  // The cache reached through a link to it is its own folder and stays usable.
  ASSERT_EQ(0, symlink(root_.c_str(), (config_.root() + "/alias").c_str()));
  req = Request({16}, 0, config_.root() + "/alias");
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache({}, Version(), &req));
  struct stat st;
  EXPECT_NE(0, lstat((root_ + "/KQMedia/11.0.0/SP11_2_R1").c_str(), &st));
}

TEST_F(ObsoleteMediaTest, HostileFilesAndLinksLeaveTheOutsideAlone) {
  // Replaced files outside the root, through "..", through a linked folder, the root itself.
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (media_ + "/Unix/linked").c_str()));
  // An OS folder that is a link: the link goes, its target stays.
  ASSERT_FALSE(CPxDirectory::Remove(media_ + "/Unix/aix-ppc", true).IsError());
  ASSERT_EQ(0, symlink((sentinel_ + "/Unix").c_str(), (media_ + "/Unix/aix-ppc").c_str()));
  const std::set<std::string> files = {sentinel_ + "/x", root_ + "/../sentinel/x",
                                       media_ + "/Unix/linked/x", root_, "relative/x", ""};
  AkamaiDownloadReq req = Request({16, 3});
  EXPECT_EQ(0u, cache_.DeleteObsoleteMediaFromCache(files, Version(), &req));
  EXPECT_FALSE(CPxDirectory::IsEmpty(root_));
  struct stat st;
  EXPECT_NE(0, lstat((media_ + "/Unix/aix-ppc").c_str(), &st));
  EXPECT_EQ(0, lstat((media_ + "/Unix/linked").c_str(), &st));  // named by no OS: left alone
}

TEST_F(ObsoleteMediaTest, LinkedMediaAndApplianceFoldersAreNotEntered) {
  // The appliance and the release folders lead outside: what lies there is never removed, and
  // the refusals are reported.
  ASSERT_FALSE(CPxDirectory::Remove(root_ + "/KQAppliance", true).IsError());
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (root_ + "/KQAppliance").c_str()));
  const std::string elsewhere = config_.root() + "/elsewhere";
  kqtest::WriteFile(elsewhere + "/11.0.0/SP11_2_R1/x.bin", "keep");
  kqtest::WriteFile(elsewhere + "/11.0.0/SP12_4_R3/Unix/aix-ppc/a.bin", "keep");
  const Manifest elsewhereBefore = kqtest::TreeManifest(elsewhere);
  ASSERT_FALSE(CPxDirectory::Remove(root_ + "/KQMedia", true).IsError());
  ASSERT_EQ(0, symlink(elsewhere.c_str(), (root_ + "/KQMedia").c_str()));

  AkamaiDownloadReq req = Request({16, 3});
  EXPECT_EQ(kRefused, cache_.DeleteObsoleteMediaFromCache({}, Version(), &req));
  EXPECT_EQ(elsewhereBefore, kqtest::TreeManifest(elsewhere));
}

}  // namespace
