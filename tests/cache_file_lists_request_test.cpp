// The Hubnode's answer to a remote cache's request, on the generated cache: per release and
// operating system the expected lists (worked out by the oracle), the feature-release
// information of the newest release, the package ids gathered across the request, the
// additional-sync list and the appliance files.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CacheFileListsAppliance.h"
#include "CacheTestEnv.h"

namespace kqtest {
namespace {

using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::PackageDesc;
typedef std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo> ApplianceMap;

EntryList Entries(const std::vector<CNMessageBase>& list, bool media) {
  EntryList out;
  for (const CNMessageBase& m : list) {
    if (media)
      out.emplace_back(m.getstring(BinaryV11::kRelativePath), m.getstring(BinaryV11::kChecksum));
    else
      out.emplace_back(m.getstring(File::kName), m.getstring(File::kChecksum));
  }
  return out;
}

FilesForOS AskOS(int osId, const std::vector<int>& ids) {
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, osId);
  if (!ids.empty()) os.setlistint(FilesForOS::kPackageIds, ids);
  return os;
}

FilesForRel AskRelease(int releaseId, const std::vector<FilesForOS>& oses, bool withFeatureRelease) {
  FilesForRel r;
  r.setint64(FilesForRel::kReleaseId, releaseId);
  if (withFeatureRelease) {
    UpdatePatches::SPVersion sp;
    sp.setint64(UpdatePatches::SPVersion::kMajor, 12);
    sp.setint64(UpdatePatches::SPVersion::kTransactionId, 4711);
    sp.setint64(UpdatePatches::SPVersion::kRevisionId, 8);
    r.setObjectAccessor(FilesForRel::kSPVersion, sp);
    r.setstring(FilesForRel::kSPFolderName, "SP12_4711_R8");
  }
  if (!oses.empty()) r.setlistobject(FilesForRel::kOSList, std::vector<CNMessageBase>(oses.begin(), oses.end()));
  return r;
}

std::vector<int> Ints(const std::vector<long long>& v) { return std::vector<int>(v.begin(), v.end()); }

UpdatePatches::KQApplianceOSInfoList ApplianceOSes(const std::vector<std::pair<std::string, int>>& list) {
  UpdatePatches::KQApplianceOSInfoList m;
  auto* l = m.getlistobject(UpdatePatches::KQApplianceOSInfoList::kList);
  for (const auto& [name, type] : list) {
    UpdatePatches::KQApplianceOSInfo i;
    i.setstring(UpdatePatches::KQApplianceOSInfo::kName, name);
    i.setint64(UpdatePatches::KQApplianceOSInfo::kType, type);
    l->push_back(i);
  }
  return m;
}

class RemoteRequestTest : public CacheTreeTest {};

TEST_F(RemoteRequestTest, ReleasesAndOperatingSystemsAreAnsweredFromTheCache) {
  ASSERT_EQ(16, GetRelIdFromIndex(0));
  const std::vector<long long> media = std::vector<long long>(hub_->recutMedia.packages.begin(),
                                                              hub_->recutMedia.packages.end());
  const std::vector<long long> old = CacheOldPackages();
  // Release 16 at its recut feature release: OS 1 and 3 and a Unix system with package ids, one
  // Unix system without, one the cache lacks. Release 15 with feature-release data (not the
  // newest release: ignored), then a release without operating systems.
  const std::vector<FilesForRel> request = {
      AskRelease(16, {AskOS(1, Ints({media[0]})), AskOS(3, Ints({media[1], media[2]})),
                      AskOS(16, Ints({media[3]})), AskOS(22, {}), AskOS(34, {})},
                 true),
      AskRelease(15, {AskOS(3, Ints({old[0], old[2]})), AskOS(16, {})}, true),
      AskRelease(14, {}, false)};
  const MediaReleaseRecord& recut = model().media[1];

  for (bool releaseBuild : {false, true}) {
    SCOPED_TRACE(releaseBuild);
    KQUpdateCache cache(60, releaseBuild);
    std::vector<FilesForRel> ask = request;
    std::vector<PackageDesc> packages = PackageList({old[5]});
    std::vector<FilesForRel> result;
    ASSERT_TRUE(cache.GetCacheFilesFromXML(root(), &ask, nullptr, &packages, &result, "RC1", "", nullptr,
                                           false, "", nullptr, nullptr, ""));
    // Every id of the request, in request order, after the caller's own.
    EXPECT_EQ((std::vector<long long>{old[5], media[0], media[1], media[2], media[3], old[0], old[2]}),
              PackageIds(packages));
    ASSERT_EQ(3u, result.size());
    EXPECT_EQ(16, result[0].getint64(FilesForRel::kReleaseId));
    EXPECT_EQ(15, result[1].getint64(FilesForRel::kReleaseId));
    EXPECT_EQ(14, result[2].getint64(FilesForRel::kReleaseId));
    ASSERT_NE(nullptr, result[0].getObjectAccessor(FilesForRel::kSPVersion));
    EXPECT_EQ(*request[0].getObjectAccessor(FilesForRel::kSPVersion),
              *result[0].getObjectAccessor(FilesForRel::kSPVersion));
    EXPECT_EQ(releaseBuild, result[0].isSet(FilesForRel::kSPFolderName));
    if (releaseBuild) {
      EXPECT_EQ("SP12_4711_R8", result[0].getstring(FilesForRel::kSPFolderName));
    }
    EXPECT_FALSE(result[1].isSet(FilesForRel::kSPVersion));
    EXPECT_FALSE(result[1].isSet(FilesForRel::kSPFolderName));
    EXPECT_FALSE(result[2].isSet(FilesForRel::kOSList));

    // Release 16: the operating systems with media; each list as the oracle works it out for the
    // ids it was built with (its own, or everything gathered before it).
    const auto* r16 = result[0].getlistobject(FilesForRel::kOSList);
    std::map<long long, const CNMessageBase*> byOS;
    for (const CNMessageBase& os : *r16) byOS[os.getint64(FilesForOS::kOSId)] = &os;
    const std::map<int, std::vector<long long>> built = {
        {1, {media[0]}}, {3, {media[1], media[2]}}, {16, {media[3]}},
        {22, {old[5], media[0], media[1], media[2], media[3]}}, {34, {}}};
    std::set<long long> expectedOSes;
    for (const auto& [os, ids] : built) {
      if (os == 34) continue;
      ExpectedLists e = OracleRelease16(manifest(), model(), recut, os, {0, ids});
      ASSERT_TRUE(e.ok) << os;
      if (e.media.empty()) continue;
      expectedOSes.insert(os);
      ASSERT_EQ(1u, byOS.count(os)) << os;
      const FilesForOS got(*byOS[os]);
      EXPECT_EQ(AsSet(OracleRemoteMedia(manifest(), model(), recut, os, e.media)),
                AsSet(Entries(*got.getlistobject(FilesForOS::kMediaFiles), true))) << os;
      // The requested ids, not the extended list the builder worked with.
      const std::vector<int> asked = os == 22 ? std::vector<int>{} : Ints(ids);
      EXPECT_EQ(asked, *got.getlistint(FilesForOS::kPackageIds)) << os;
    }
    EXPECT_GE(expectedOSes.size(), 2u);
    EXPECT_EQ(expectedOSes.size(), byOS.size());
    EXPECT_EQ(0u, byOS.count(34));

    // Release 15: its own ids for OS 3; OS 16 without ids is built for every id gathered so far.
    const auto* r15 = result[1].getlistobject(FilesForRel::kOSList);
    ASSERT_EQ(2u, r15->size());
    const std::vector<std::pair<int, std::vector<long long>>> built15 = {
        {3, {old[0], old[2]}}, {16, {old[5], media[0], media[1], media[2], media[3], old[0], old[2]}}};
    for (size_t i = 0; i < built15.size(); ++i) {
      const FilesForOS got((*r15)[i]);
      EXPECT_EQ(built15[i].first, got.getint64(FilesForOS::kOSId));
      ExpectedLists e = OracleRelease15(manifest(), model(), os15(built15[i].first), {0, built15[i].second});
      EXPECT_EQ(AsSet(e.featureRelease), AsSet(Entries(*got.getlistobject(FilesForOS::kSPFiles), false)));
      EXPECT_EQ(AsSet(e.loose), AsSet(Entries(*got.getlistobject(FilesForOS::kLooseUpdateFiles), false)));
      EXPECT_EQ(AsSet(e.installer), AsSet(Entries(*got.getlistobject(FilesForOS::kInstallerFiles), false)));
    }
  }
}

TEST_F(RemoteRequestTest, AdditionalSyncAndApplianceFilesAreListed) {
  KQUpdateCache cache(61, false);
  const std::string addSync = Scratch("addsync");
  WriteFile(addSync + "/a.txt", "alpha");
  WriteFile(addSync + "/docs/b.txt", "beta");
  std::vector<FilesForRel> ask = {AskRelease(14, {}, false)};
  std::vector<PackageDesc> packages;
  std::vector<FilesForRel> result;
  UpdatePatches::AdditionalSyncFilesList sync;
  ApplianceMap appliance;
  auto oses = ApplianceOSes({{"RHEL8", 0}, {"Windows Server 2019", 2}, {"SQL Server 2019", 1}});
  ASSERT_TRUE(cache.GetCacheFilesFromXML(root(), &ask, nullptr, &packages, &result, "RC1", addSync, &sync,
                                         false, "", &appliance, &oses, ""));
  const EntryList syncList = Entries(*sync.getlistobject(UpdatePatches::AdditionalSyncFilesList::kFiles), false);
  EXPECT_EQ(AsSet(EntryList{{"a.txt", WindowsChecksum("alpha")}, {"docs/b.txt", WindowsChecksum("beta")}}),
            AsSet(syncList));

  // The appliance lists are the extraction's, per type.
  std::map<UpdatePatches::KQApplianceMainOSType, std::vector<File>> direct;
  ASSERT_TRUE(ExtractAppliancePatchesFromCache(path("KQAppliance"), oses, FullVersion(_SPVersion(-1)), "RC1", direct));
  ASSERT_EQ(3u, appliance.size());
  for (const auto& [type, files] : direct) {
    EXPECT_FALSE(files.empty());
    EXPECT_EQ(AsList(files),
              Entries(*appliance[type].getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles), false));
  }
  EXPECT_NE(std::string::npos, Log().find("Getting appliance OS patche files for [RHEL8,Windows Server 2019,SQL Server 2019]"));
}

TEST_F(RemoteRequestTest, WithoutAnApplianceFolderTheMapIsLeftAlone) {
  const std::string cacheRoot = Scratch("bare");
  WriteFile(cacheRoot + "/KQMedia/readme.txt", "x");
  KQUpdateCache cache(62, false);
  std::vector<FilesForRel> ask = {AskRelease(16, {}, true)};
  std::vector<PackageDesc> packages;
  std::vector<FilesForRel> result;
  ApplianceMap appliance;
  appliance[UpdatePatches::KQ_APPLIANCE_OS_UNIX].getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles);
  auto oses = ApplianceOSes({{"RHEL8", 0}});
  UpdatePatches::AdditionalSyncFilesList sync;
  ASSERT_TRUE(cache.GetCacheFilesFromXML(cacheRoot, &ask, nullptr, &packages, &result, "RC1", "", &sync, false,
                                         "", &appliance, &oses, ""));
  ASSERT_EQ(1u, result.size());
  EXPECT_TRUE(result[0].isSet(FilesForRel::kSPVersion));
  ASSERT_EQ(1u, appliance.size());
  EXPECT_TRUE(appliance[UpdatePatches::KQ_APPLIANCE_OS_UNIX].getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles)->empty());
  EXPECT_FALSE(sync.isSet(UpdatePatches::AdditionalSyncFilesList::kFiles));
}

TEST_F(RemoteRequestTest, BadInputFailsAndKeepsWhatCameBefore) {
  KQUpdateCache cache(63, false);
  std::vector<FilesForRel> ask = {AskRelease(15, {AskOS(3, {101})}, false), AskRelease(16, {AskOS(99, {5})}, false)};
  std::vector<PackageDesc> packages;
  std::vector<FilesForRel> result;
  ApplianceMap appliance;
  auto oses = ApplianceOSes({{"RHEL8", 0}});
  // An operating system without a name fails its release; the release before it stays.
  EXPECT_FALSE(cache.GetCacheFilesFromXML(root(), &ask, nullptr, &packages, &result, "", "", nullptr, false, "",
                                          nullptr, nullptr, ""));
  ASSERT_EQ(1u, result.size());
  EXPECT_EQ(15, result[0].getint64(FilesForRel::kReleaseId));
  EXPECT_EQ((std::vector<long long>{101, 5}), PackageIds(packages));
  EXPECT_NE(std::string::npos, Log().find("Failed to get cache files from xml for release id [16] and os id [99]"));

  // Missing inputs and a missing cache root fail before anything is done.
  result.clear();
  std::vector<FilesForRel> one = {AskRelease(15, {AskOS(3, {101})}, false)};
  EXPECT_FALSE(cache.GetCacheFilesFromXML(root(), nullptr, nullptr, &packages, &result, "", "", nullptr, false,
                                          "", nullptr, nullptr, ""));
  EXPECT_FALSE(cache.GetCacheFilesFromXML(root(), &one, nullptr, nullptr, &result, "", "", nullptr, false, "",
                                          nullptr, nullptr, ""));
  EXPECT_FALSE(cache.GetCacheFilesFromXML(root(), &one, nullptr, &packages, nullptr, "", "", nullptr, false, "",
                                          nullptr, nullptr, ""));
  EXPECT_FALSE(cache.GetCacheFilesFromXML(root(), &one, nullptr, &packages, &result, "", "", nullptr, false, "",
                                          nullptr, &oses, ""));
  EXPECT_FALSE(cache.GetCacheFilesFromXML(Scratch("none"), &one, nullptr, &packages, &result, "", "", nullptr,
                                          false, "", &appliance, &oses, ""));
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(2u, packages.size());
  EXPECT_TRUE(appliance.empty());
}

}  // namespace
}  // namespace kqtest
