// The library's main road on an example cache: builds a small cache under a temporary folder,
// points the configuration store at it, and walks through what the library does with it.
// Each step prints what it found; the program exits non-zero when a step fails.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "Database/DbSession.h"
#include "CacheTreeGenerator.h"
#include "DownloadJob.h"
#include "ExampleSteps.h"
#include "HostIdentity.h"
#include "KQUpdateCache.h"
#include "KQUpdates.h"
#include "Logging/EvDebug.h"
#include "MediaTreeGenerator.h"
#include "PackageCache.h"
#include "RetrievalCenterGenerator.h"
#include "RetrievalCenterJob.h"
#include "ReducedPackages.h"
#include "RetrievalCenterRun.h"
#include "TessaraDownloadCenter.h"
#include "TessaraGenerator.h"
#include "UpdateCacheGenerator.h"
#include "UpdateCacheMessage.h"
#include "UpdateUtils.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalPhaseUtil.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::printf("  FAILED: %s\n", what);
    ++g_failures;
  }
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Step 1: the instance's configuration and who we are.
void ShowIdentity() {
  std::printf("== Identity\n");
  std::string release;
  Check(GetRelNumOfClient(release), "release number of the client");
  std::printf("  release of this client: %s, Hubnode release id: %u\n", release.c_str(),
              getHNReleaseID());
}

// Step 2: a small cache tree, listed, sized, copied and removed through the file utilities.
void WalkTheCache(const std::string& cache) {
  std::printf("== Cache tree at %s\n", cache.c_str());
  std::string media = cache + "/KQMedia/11.0.0/Windows/BinaryPayload/LooseUpdates";
  Check(recursiveCreateDir(media.c_str()), "create the media folders");
  WriteFile(media + "/KQ11_0_0_Update_1_64.exe", std::string(4096, 'u'));
  WriteFile(media + "/KQ11_0_0_Update_2_64.exe", std::string(1024, 'v'));
  WriteFile(cache + "/KQMedia/11.0.0/version.txt", "Version=11.0.0\nBuild=80\n");

  std::list<std::string> releases;
  Check(GetFolderList(cache + "/KQMedia", releases), "list the releases");
  for (const auto& r : releases) std::printf("  release folder: %s\n", r.c_str());

  std::vector<std::string> files;
  Check(GetAllFilesInDir(cache, "KQMedia", files, true), "list the files");
  for (const auto& f : files) std::printf("  file: %s\n", f.c_str());

  unsigned long long size = 0;
  Check(GetDirectorySize(cache.c_str(), size), "size the cache");
  std::printf("  cache size: %llu bytes\n", size);

  std::string copy = cache + "-copy";
  Check(copyDirectory(cache.c_str(), copy.c_str(), true), "copy the cache");
  std::string error;
  Check(DeleteDir(copy, error), "delete the copy");
  std::printf("  copied and removed %s\n", copy.c_str());
}


// ---------------------------------------------------------------------------------------------
// Step: the package catalogue of a generated media tree. The Hubnode database (the embedded
// SQLite file) names the releases; the vocabulary is filled from it; the catalogue of a
// generated Windows and Unix medium is loaded, the dependency closure of a package list is
// resolved and the media files that the list needs are printed with their checksums.
kqtest::GeneratedMedia ResolveMediaFiles(const std::string& root) {
  std::printf("== Package catalogue of a generated media tree\n");
  std::string err;
  std::shared_ptr<kq::db::Session> db = kq::db::ThreadSession(err);
  Check(db != nullptr, "open the Hubnode database");
  if (!db) return {};
  for (int major = 9; major <= 11; ++major) {
    kq::db::ExecuteSql(*db, "INSERT INTO simAllVorlanRel (id, release, buildNum) VALUES ($1, $2, 80)",
                       {kq::db::Value::Int(major + 5), kq::db::Value::Text(std::to_string(major))},
                       nullptr, err);
  }
  SetOSTypesInfo();
  SetUpdateTypesInfo();
  Check(SetReleasesSupported(), "fill the release table from the database");
  for (int i = 0; i < 3; ++i)
    std::printf("  release %s has id %d\n", GetNameFromIndex(i).c_str(), GetRelIdFromIndex(i));

  kqtest::MediaOptions shape;  // a small medium, so that the whole file set fits on a screen
  shape.seed = 2026;
  shape.packages = 40;
  shape.winFilesMin = 1;
  shape.winFilesMax = 3;
  shape.unixFilesMin = 1;
  shape.unixFilesMax = 3;
  kqtest::GeneratedMedia media = kqtest::GenerateMedia(shape);
  const std::string winMedia = root + "/media/Windows", unixMedia = root + "/media/Unix";
  kqtest::WriteMedia(media.windows, winMedia);
  kqtest::WriteMedia(media.unix, unixMedia);
  std::printf("  media written under %s/media (%zu packages)\n", root.c_str(), media.packages.size());

  KQPackageCache catalogue(root + "/cache", false, 1, true);
  catalogue.setDvdLocation(winMedia, true);
  catalogue.setDvdLocation(unixMedia, false);
  Check(catalogue.ReadWinPackageDetails(), "load the Windows catalogues");
  const unsigned top = media.packages.back();
  std::list<unsigned> deps;
  bool reboot = false;
  catalogue.GetDependentPackagesRecurs(top, deps, reboot, 3);
  std::printf("  package %u needs %zu dependency entries (reboot %s)\n", top, deps.size(),
              reboot ? "yes" : "no");
  std::printf("  Unix system \"linux\" is in binary set %lld\n", catalogue.getBSIdFromUnixOSName("linux"));

  std::vector<unsigned> ids{top, media.packages[media.packages.size() / 2]};
  const size_t asked = ids.size();
  std::vector<UpdatePatches::BinaryV11> files;
  Check(ComputeKQMedia(winMedia, 3, 0, 1, ids, files, false), "compute the media file set");
  std::printf("  closure of %zu packages adds %zu:", asked, ids.size() - asked);
  for (size_t i = asked; i < ids.size(); ++i) std::printf(" %u", ids[i]);
  std::printf("\n  media files (checksum, path):\n");
  for (const auto& f : files)
    std::printf("    %12s  %s\n", f.getstring(kqcat::kBvChecksum).c_str(),
                f.getstring(kqcat::kBvRelativePath).c_str());

  std::vector<unsigned> unixIds{top};
  std::vector<UpdatePatches::BinaryV11> unixFiles;
  Check(ComputeKQMedia(unixMedia, GetOSIdFromName("linux-x8664"), 31, 1, unixIds, unixFiles, false),
        "compute the Unix media file set");
  std::printf("  on linux-x8664 the same package needs %zu files, %s first\n", unixFiles.size(),
              unixFiles.empty() ? "none" : unixFiles.front().getstring(kqcat::kBvRelativePath).c_str());
  return media;
}

// Step: the reduced install package of a few packages on the example Windows medium (binary set
// 3), once the medium carries the payload its catalogue names: the list file is written under
// the temp folder and read back as files and folders with their total size.
void ReducedInstallPackage(const std::string& root, const kqtest::GeneratedMedia& media) {
  std::printf("== Reduced install package of the example medium\n");
  if (media.packages.size() < 4) return;
  const std::string winMedia = root + "/media/Windows";
  for (const auto& [folder, sets] : media.windows.binaryInfo)
    for (const kqtest::BinarySetRecord& set : sets)
      for (const kqtest::PackageFiles& p : set.packages)
        for (const kqtest::MediaFileRecord& f : p.files) {
          if (!f.hasPath || f.relativePath.empty()) continue;
          std::string rel = f.relativePath;
          UnixPath(rel);
          std::filesystem::create_directories(std::filesystem::path(winMedia + "/" + rel).parent_path());
          WriteFile(winMedia + "/" + rel, kqtest::detail::PayloadText(f.relativePath));
        }
  std::vector<unsigned> ids{media.packages[3], media.packages[media.packages.size() - 2]};
  std::list<std::string> files, folders;
  unsigned long long size = 0;
  bool reboot = false;
  std::string error;
  Check(ComputeReducedPackages(root + "/cache", winMedia, ids, files, folders, size, reboot, 3, root + "/tmp",
                               "Example package", error, 0) == 1,
        "compute the reduced install package");
  std::printf("  packages after the closure:");
  for (unsigned id : ids) std::printf(" %u", id);
  std::printf("\n  list file: %s/tmp/Install/Example package-Out.txt\n", root.c_str());
  std::printf("  %zu files, %zu folders, %llu bytes, reboot %s\n", files.size(), folders.size(), size,
              reboot ? "required" : "not required");
  for (const auto& f : files) std::printf("    file   %s\n", f.c_str());
  for (const auto& f : folders) std::printf("    folder %s\n", f.c_str());
  if (!error.empty()) std::printf("  error: %s\n", error.c_str());
}


// ---------------------------------------------------------------------------------------------
// Step: the inventory of a generated update cache (releases 14 and 15, old and new layout).
// The platform rows that old-format descriptors name come from the database. Per release and
// OS it prints the feature release, the update counts and the space the descriptors ask for,
// then sends the release-14 inventory through the flat message and back.
void InventoryUpdateCache(const std::string& root) {
  std::printf("== Inventory of a generated update cache\n");
  std::string err;
  std::shared_ptr<kq::db::Session> db = kq::db::ThreadSession(err);
  Check(db != nullptr, "open the Hubnode database");
  if (!db) return;
  for (const auto& row : kqtest::PlatformRows())
    kq::db::ExecuteSql(*db, "INSERT INTO simPackage (id, Name) VALUES ($1, $2)",
                       {kq::db::Value::Int(row.first), row.second.empty()
                                                           ? kq::db::Value::Null()
                                                           : kq::db::Value::Text(row.second)},
                       nullptr, err);
  kqtest::UpdateCacheOptions shape;
  shape.updates = 120;
  shape.strays = false;
  const std::string cacheRoot = root + "/updates";
  std::filesystem::create_directories(cacheRoot);
  const kqtest::UpdateCacheModel model = kqtest::GenerateUpdateCache(cacheRoot, shape);
  std::printf("  %d updates written under %s\n", model.updateCount, cacheRoot.c_str());

  KQUpdateCache cache(1, true);
  CacheProp prop;
  prop.cacheRoot = cacheRoot;
  UpdatesAtCache inv;
  Check(cache.GetAllUpadtesFromCache(prop, &inv, false), "scan the old layout");
  Check(cache.GetAllUpdatesInCacheNew(prop, &inv), "scan the release-15 layout");
  Check(cache.GetINIInfo(&inv, cacheRoot), "read the old-layout descriptors");
  Check(cache.GetINIInfoNew(&inv, cacheRoot, nullptr), "read the release-15 descriptors");
  for (const UpdatesForRelease& rel : inv.releases) {
    if (rel.relId == 0) continue;
    std::printf("  release %d (%s):\n", rel.relId, GetRelNameFromId(rel.relId).c_str());
    for (const UpdatesForOS& slot : rel.osUpdates) {
      if (slot.spUpdates.empty() && slot.additionalUpdates.empty()) continue;
      unsigned long long space = 0;
      for (const INIInfoForPatch& info : slot.iniInfos) space += info.spaceNeeded;
      std::printf("    %-12s %-6s %3zu feature-release and %3zu additional updates, %llu bytes\n",
                  GetOSNameFromId(slot.osId),
                  slot.spUpdates.empty() ? "-" : slot.spVersion.ToStr(true).c_str(),
                  slot.spUpdates.size(), slot.additionalUpdates.size(), space);
    }
  }
  unsigned long long total = 0;
  cache.GetSpaceNeededAtCache(inv, total);
  std::printf("  space needed by the whole cache: %llu bytes\n", total);

  KQSP_UpdatesAtCache msg = {};
  Check(cache.CacheStruct_Message(&inv, &msg), "convert the inventory to the flat message");
  UpdatesAtCache back;
  Check(cache.Message_CacheStruct(&msg, &back), "read the flat message back");
  cache.FreeCacheMessage(&msg);
  bool same = true;
  for (int o = 0; o < KQSP_OS_ENTRIES; ++o) {
    const UpdatesForOS& a = inv.releases[2].osUpdates[o];
    const UpdatesForOS& b = back.releases[2].osUpdates[o];
    same = same && a.osId == b.osId && a.spVersion == b.spVersion && a.spUpdates == b.spUpdates &&
           a.additionalUpdates == b.additionalUpdates && a.iniInfos.size() == b.iniInfos.size();
  }
  Check(same, "the release-14 inventory survives the flat message");
  std::printf("  release %d through the flat message and back: %s\n", back.releases[2].relId,
              same ? "unchanged" : "CHANGED");
}

// ---------------------------------------------------------------------------------------------
// Step: a remote cache asks what it should hold. A generated Hubnode cache (releases 15 and 16,
// appliance patches) answers a request for both releases, four operating systems and three
// appliance operating systems; the sizes of the answer are printed per release, OS and
// appliance type.
void AnswerRemoteRequest(const std::string& root) {
  std::printf("== A remote cache's request answered from a generated Hubnode cache\n");
  kqtest::CacheOptions shape;
  shape.updatesPerOS = 6;
  shape.mediaPackages = 24;
  shape.mediaUpdates = 3;
  shape.bigFile = false;
  shape.applianceRpms = 40;
  shape.missingChecksumFile = false;  // every update of the example has its checksum file
  kqtest::GeneratedCache hub = kqtest::GenerateCache(shape);
  hub.model.oldRelease = GetRelNameFromId(15);  // the folder names of the release table
  hub.model.mediaRelease = GetRelNameFromId(16);
  const std::string cacheRoot = root + "/hubcache";
  const kqtest::CacheManifest written = kqtest::WriteCache(hub.model, cacheRoot);
  std::printf("  %zu files written under %s\n", written.files.size(), cacheRoot.c_str());

  // The remote cache's clients use three packages of each release.
  std::vector<UpdatePatches::FilesForRel> request;
  for (int releaseId : {16, 15}) {
    UpdatePatches::FilesForRel rel;
    rel.setint64(UpdatePatches::FilesForRel::kReleaseId, releaseId);
    std::vector<int> ids;
    for (size_t i = 0; i < 3; ++i)
      ids.push_back(static_cast<int>(releaseId == 16 ? hub.media.packages[i]
                                                     : kqtest::CacheOldPackages()[i]));
    std::vector<CNMessageBase> oses;
    for (int osId : {1, 3, 16, 22}) {
      UpdatePatches::FilesForOS os;
      os.setint64(UpdatePatches::FilesForOS::kOSId, osId);
      os.setlistint(UpdatePatches::FilesForOS::kPackageIds, ids);
      oses.push_back(os);
    }
    rel.setlistobject(UpdatePatches::FilesForRel::kOSList, oses);
    request.push_back(rel);
  }
  UpdatePatches::KQApplianceOSInfoList applianceOS = kqexample::RemoteApplianceOSes();

  KQUpdateCache cache(1, true);
  std::vector<UpdatePatches::PackageDesc> packages;
  std::vector<UpdatePatches::FilesForRel> result;
  std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo> appliance;
  Check(cache.GetCacheFilesFromXML(cacheRoot, &request, nullptr, &packages, &result, "RC1", "",
                                   nullptr, false, "", &appliance, &applianceOS, ""),
        "answer the request");
  for (const UpdatePatches::FilesForRel& rel : result) {
    std::printf("  release %lld:\n", rel.getint64(UpdatePatches::FilesForRel::kReleaseId));
    for (const CNMessageBase& os : *rel.getlistobject(UpdatePatches::FilesForRel::kOSList)) {
      using UpdatePatches::FilesForOS;
      std::printf("    %-12s feature release %4zu, loose updates %4zu, installer %2zu, media %5zu\n",
                  GetOSNameFromId(static_cast<int>(os.getint64(FilesForOS::kOSId))),
                  os.getlistobject(FilesForOS::kSPFiles)->size(),
                  os.getlistobject(FilesForOS::kLooseUpdateFiles)->size(),
                  os.getlistobject(FilesForOS::kInstallerFiles)->size(),
                  os.getlistobject(FilesForOS::kMediaFiles)->size());
    }
  }
  for (const auto& [type, files] : appliance)
    std::printf("  appliance %-8s %zu files\n", KQUpdateCache::GetKQApplianceOSName(type).c_str(),
                files.getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles)->size());
  Check(result.size() == 2 && appliance.size() == 3, "releases and appliance types answered");
}

// Step: a remote cache deletes what the Hubnode names. A generated remote cache (releases 15
// and 16) lists what it holds; the Hubnode names every other file of each list to delete; the
// cache deletes them (DeleteLocalCacheContents) and lists again. Printed per release and OS:
// files held before, named, listed after. The release-16 operating systems of one platform share
// its media folder, so a file one of them names is gone for the other as well.
using FileKeys = std::set<std::string>;

// One key per file of an OS entry: release-16 media files by platform folder and path.
FileKeys KeysOf(long long releaseId, const CNMessageBase& os) {
  using UpdatePatches::FilesForOS;
  const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
  FileKeys keys;
  for (const KqFieldId& list : {FilesForOS::kSPFiles, FilesForOS::kLooseUpdateFiles,
                                FilesForOS::kInstallerFiles})
    for (const CNMessageBase& f : *os.getlistobject(list))
      keys.insert(std::to_string(releaseId) + "/" + std::to_string(osId) + "/" +
                  std::to_string(list.tag) + "/" + f.getstring(UpdatePatches::File::kName));
  for (const CNMessageBase& f : *os.getlistobject(FilesForOS::kMediaFiles))
    keys.insert(std::to_string(releaseId) + (IsUnix(osId) ? "/Unix/" : "/Windows/") +
                f.getstring(UpdatePatches::BinaryV11::kRelativePath));
  return keys;
}

void DeleteOnRequest(const std::string& root) {
  using UpdatePatches::CacheOpReq;
  using UpdatePatches::FilesForOS;
  using UpdatePatches::FilesForRel;
  std::printf("== A remote cache deletes what the Hubnode names\n");
  kqtest::CacheOptions shape;
  shape.updatesPerOS = 4;
  shape.mediaPackages = 8;
  shape.mediaUpdates = 2;
  shape.bigFile = false;
  shape.applianceRpms = 0;
  shape.missingChecksumFile = false;  // every update of the example has its checksum file
  kqtest::GeneratedCache remote = kqtest::GenerateCache(shape);
  remote.model.oldRelease = GetRelNameFromId(15);
  remote.model.mediaRelease = GetRelNameFromId(16);
  // Deletions happen only in the configured software cache ("SoftwareCache"/"dHOME").
  const std::string cacheRoot = root + "/cache/remote";
  kqtest::WriteCache(remote.model, cacheRoot);

  CacheOpReq ask;
  UpdatePatches::RemClientInfo info;
  info.setstring(UpdatePatches::RemClientInfo::kCachePath, cacheRoot);
  ask.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
  std::vector<CNMessageBase> releases;
  for (int releaseId : {15, 16}) {
    FilesForRel rel;
    rel.setint64(FilesForRel::kReleaseId, releaseId);
    std::vector<CNMessageBase> oses;
    for (int osId : {1, 3, 16, 22}) {
      FilesForOS os;
      os.setint64(FilesForOS::kOSId, osId);
      oses.push_back(os);
    }
    rel.setlistobject(FilesForRel::kOSList, oses);
    releases.push_back(rel);
  }
  ask.setlistobject(CacheOpReq::kReleases, releases);

  KQUpdateCache cache(1, false);
  CacheOpReq before, after;
  Check(cache.CalculateCheckSumForCacheFiles(ask, before), "list what the remote cache holds");
  // Every other file of each list goes.
  std::vector<CNMessageBase> named = *before.getlistobject(CacheOpReq::kReleases);
  FileKeys gone;
  for (CNMessageBase& rel : named) {
    for (CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      for (const KqFieldId& list : {FilesForOS::kSPFiles, FilesForOS::kLooseUpdateFiles,
                                    FilesForOS::kInstallerFiles, FilesForOS::kMediaFiles}) {
        std::vector<CNMessageBase>& files = *os.getlistobject(list);
        std::vector<CNMessageBase> kept;
        for (size_t i = 0; i < files.size(); i += 2) kept.push_back(files[i]);
        files = kept;
      }
      const FileKeys keys = KeysOf(rel.getint64(FilesForRel::kReleaseId), os);
      gone.insert(keys.begin(), keys.end());
    }
  }
  CacheOpReq drop = ask;
  drop.setlistobject(CacheOpReq::kReleases, named);
  Check(cache.DeleteLocalCacheContents(drop), "delete the named files");
  Check(cache.CalculateCheckSumForCacheFiles(ask, after), "list what is left");

  bool exact = true;
  const auto& was = *before.getlistobject(CacheOpReq::kReleases);
  const auto& now = *after.getlistobject(CacheOpReq::kReleases);
  for (size_t r = 0; r < was.size(); ++r) {
    const long long releaseId = was[r].getint64(FilesForRel::kReleaseId);
    const auto& wasOses = *was[r].getlistobject(FilesForRel::kOSList);
    const auto& namedOses = *named[r].getlistobject(FilesForRel::kOSList);
    const std::vector<CNMessageBase>* nowOses =
        r < now.size() ? now[r].getlistobject(FilesForRel::kOSList) : nullptr;
    for (size_t o = 0; o < wasOses.size(); ++o) {
      const FileKeys held = KeysOf(releaseId, wasOses[o]);
      const FileKeys left = nowOses && o < nowOses->size() ? KeysOf(releaseId, (*nowOses)[o])
                                                           : FileKeys();
      FileKeys expected;
      for (const std::string& key : held)
        if (!gone.count(key)) expected.insert(key);
      std::printf("  release %lld %-12s held %4zu, named %4zu, listed after %4zu\n", releaseId,
                  GetOSNameFromId(static_cast<int>(wasOses[o].getint64(FilesForOS::kOSId))),
                  held.size(), KeysOf(releaseId, namedOses[o]).size(), left.size());
      if (releaseId < 16) {
        exact = exact && left == expected;
        continue;
      }
      // What a media folder lists also depends on other files of it (a third-party folder is
      // listed while its information file is there), so media files are checked on disk.
      for (const std::string& key : held) {
        const std::string path = cacheRoot + "/KQMedia/" + GetRelNameFromId(16) + key.substr(2);
        exact = exact && std::filesystem::exists(path) == (gone.count(key) == 0);
      }
    }
  }
  Check(exact, "exactly the named files are gone");
}

// Step: the file lists of a generated Hubnode cache. Per release and operating system, the
// size of the remote answer (what the cache holds) and of the expected list (what a remote cache
// serving every package should hold, from the install maps).
void FileListsOfAGeneratedCache(const std::string& root) {
  std::printf("== File lists of a generated Hubnode cache\n");
  kqtest::CacheOptions shape;
  shape.updatesPerOS = 10;
  shape.mediaPackages = 15;
  shape.mediaUpdates = 4;
  shape.bigFile = false;
  shape.applianceRpms = 0;
  shape.missingChecksumFile = false;  // every update of the example has its checksum file
  kqtest::GeneratedCache hub = kqtest::GenerateCache(shape);
  hub.model.oldRelease = GetRelNameFromId(15);  // the folder names of the release table
  hub.model.mediaRelease = GetRelNameFromId(16);
  const std::string cacheRoot = root + "/hubcache-lists";
  const kqtest::CacheManifest written = kqtest::WriteCache(hub.model, cacheRoot);
  std::printf("  %zu files written under %s\n", written.files.size(), cacheRoot.c_str());
  KQUpdateCache cache(2, true);
  auto count = [](const CNMessageBase& os) {
    size_t n = 0;
    for (int field : {4, 5, 6, 7}) n += os.getlistobject(field, field)->size();
    return n;
  };
  for (int release : {16, 15}) {
    UpdatePatches::CacheOpReq req, resp;
    UpdatePatches::RemClientInfo info;
    info.setstring(UpdatePatches::RemClientInfo::kCachePath, cacheRoot);
    req.setObjectAccessor(UpdatePatches::CacheOpReq::kRemClientInfo, info);
    UpdatePatches::FilesForRel asked;
    asked.setint64(UpdatePatches::FilesForRel::kReleaseId, release);
    for (int os : {1, 3, 16, 22}) {
      UpdatePatches::FilesForOS f;
      f.setint64(UpdatePatches::FilesForOS::kOSId, os);
      asked.getlistobject(UpdatePatches::FilesForRel::kOSList)->push_back(f);
    }
    req.getlistobject(UpdatePatches::CacheOpReq::kReleases)->push_back(asked);
    Check(cache.CalculateCheckSumForCacheFiles(req, resp), "answer the cache-operation request");
    for (const CNMessageBase& rel : *resp.getlistobject(UpdatePatches::CacheOpReq::kReleases)) {
      for (const CNMessageBase& os : *rel.getlistobject(UpdatePatches::FilesForRel::kOSList)) {
        const int osId = static_cast<int>(os.getint64(UpdatePatches::FilesForOS::kOSId));
        _SPVersion fr;
        std::vector<UpdatePatches::PackageDesc> packages;
        UpdatePatches::FilesForOS expected;
        const int binarySet = osId > 4 ? kqtest::CacheUnixBinarySet(osId) : osId;
        Check(cache.GetCacheFilesFromXMLPerRelOS(cacheRoot, release, osId, binarySet, &fr, &packages, &expected,
                                                 false, ""),
              "build the expected list");
        std::printf("  release %d (%s) %-12s holds %4zu files, a remote cache should hold %4zu\n", release,
                    GetRelNameFromId(release).c_str(), GetOSNameFromId(osId), count(os), count(expected));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Step: remote-cache synchronisation (examples/sync_round.cpp is the round, call by call). A
// generated Hubnode cache and a remote cache that differs from it in every way a
// synchronisation meets (files missing, changed, added; a release/OS pair the Hubnode lacks;
// additional-sync and appliance files) run one round: the remote cache answers what it holds,
// the Hubnode compares it with what it should hold, the files to send are copied and the remote
// cache deletes the rest through DeleteLocalCacheContents. A second round then finds nothing.
// "11.0.0 Windows, ..." for the release/OS pairs of a list (with wholePairs, every pair; else
// only those that name a file).
std::string PairNames(const std::vector<UpdatePatches::FilesForRel>& list, bool wholePairs) {
  using UpdatePatches::FilesForOS;
  std::string text;
  for (const UpdatePatches::FilesForRel& rel : list)
    for (const CNMessageBase& os : *rel.getlistobject(UpdatePatches::FilesForRel::kOSList)) {
      size_t files = 0;
      for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles, &FilesForOS::kInstallerFiles,
                                 &FilesForOS::kMediaFiles})
        files += os.getlistobject(*f)->size();
      if (files == 0 && !wholePairs) continue;
      const int release = static_cast<int>(rel.getint64(UpdatePatches::FilesForRel::kReleaseId));
      const char* name = GetOSNameFromId(static_cast<int>(os.getint64(FilesForOS::kOSId)));
      text += std::string(text.empty() ? "" : ", ") + GetRelNameFromId(release) + " " + (name ? name : "?");
    }
  return text.empty() ? "none" : text;
}

void SynchroniseRemoteCache(const std::string& root) {
  std::printf("== Remote-cache synchronisation on generated caches\n");
  kqtest::CacheOptions shape = kqtest::SyncCacheOptions();
  shape.missingChecksumFile = false;
  kqtest::GeneratedCache hub = kqtest::GenerateCache(shape);
  hub.model.oldRelease = GetRelNameFromId(15);  // the folder names of the release table
  hub.model.mediaRelease = GetRelNameFromId(16);
  const kqtest::CacheModel remote = kqtest::MakeRemoteVariant(hub, 101);
  // The remote cache deletes only below its configured cache folder ("SoftwareCache"/"dHOME").
  const std::string hubRoot = root + "/sync-hub", remoteRoot = root + "/cache/sync-remote";
  kqtest::WriteCache(hub.model, hubRoot);
  kqtest::WriteCache(remote, remoteRoot);
  std::printf("  Hubnode cache %s, remote cache %s\n", hubRoot.c_str(), remoteRoot.c_str());
  for (long long round : {1, 2}) {
    const kqexample::SyncRoundResult r = kqexample::RunSyncRound(hubRoot, remoteRoot, round, 77, "RC1");
    using UpdatePatches::AdditionalSyncFilesList;
    using UpdatePatches::ApplianceFilesInfo;
    const size_t addSend = r.addSend.getlistobject(AdditionalSyncFilesList::kFiles)->size();
    const size_t addDel = r.addDel.getlistobject(AdditionalSyncFilesList::kFiles)->size();
    const size_t applSend = r.applSend.getlistobject(ApplianceFilesInfo::kFiles)->size();
    const size_t applDel = r.applDel.getlistobject(ApplianceFilesInfo::kFiles)->size();
    std::printf("  round %lld (job %lld):\n"
                "    cache files: %llu sent (to %s), %llu deleted (from %s)\n"
                "    release/OS pairs the Hubnode no longer has, dropped whole: %s\n"
                "    additional-sync files: %zu sent, %zu deleted; appliance files: %zu sent, %zu deleted\n",
                round, round, r.sendCount, PairNames(r.send, false).c_str(), r.deleteCount,
                PairNames(r.del, false).c_str(), PairNames(r.drop, true).c_str(), addSend, addDel, applSend, applDel);
    for (const std::string& e : r.errors) Check(false, e.c_str());
    if (round == 2)
      Check(r.sendCount == 0 && r.deleteCount == 0 && r.drop.empty() && addSend + addDel + applSend + applDel == 0,
            "the second round finds nothing to do");
  }
}

// ---------------------------------------------------------------------------------------------
// Step: one update-alert run over a generated Tessara and its download center, which
// scripts/demo.sh serves over http on 127.0.0.1 (KQ_DEMO_CENTER_ROOT, KQ_DEMO_CENTER_PORT).
// The alerts are recorded in the Hubnode database; they are printed from there.
void RunUpdateAlerts(const std::string& root) {
  std::printf("== Update-alert run\n");
  const char* served = std::getenv("KQ_DEMO_CENTER_ROOT");
  const char* port = std::getenv("KQ_DEMO_CENTER_PORT");
  if (served == nullptr || port == nullptr) {
    std::printf("  skipped: scripts/demo.sh serves the download center this step needs\n");
    return;
  }
  // A Hubnode database of its own: the Tessara brings its own releases.
  KQPlatformInfo().setString("Database", "sPath", root + "/tessara.db");
  try {
    kqtest::WriteDownloadCenter(kqtest::MakeDownloadCenter(), served);
    kqtest::TessaraOptions options;
    options.clientCount = 60;
    kqtest::TessaraModel tessara = kqtest::MakeTessara(options);
    tessara.downloadPort = std::atoi(port);
    kqtest::WriteTessara(tessara, root + "/tessara");
  } catch (const std::exception& e) {
    Check(false, e.what());
    return;
  }
  int rc = 1;
  {
    KQUpdates updates;
    rc = updates.AlertIfUpdatesNeeded(true);
  }
  Check(rc == 0, "one alert run");
  std::string err;
  std::shared_ptr<kq::db::Session> db = kq::db::ThreadSession(err);
  std::vector<kq::db::Row> alerts, texts;
  if (!db || kq::db::ExecuteSql(*db, "SELECT id, Category, Type, ClientIds FROM EvAlert ORDER BY id",
                                {}, &alerts, err) == kq::db::kDbFailed) {
    Check(false, "read the recorded alerts");
    return;
  }
  Check(alerts.size() == 3, "three alerts recorded");
  for (const kq::db::Row& a : alerts) {
    // The alert kinds by category and type.
    const char* kind = a[1].i == 26 && a[2].i == 40   ? "clients needing an update"
                       : a[1].i == 26 && a[2].i == 39 ? "clients needing an upgrade"
                       : a[1].i == 24 && a[2].i == 38 ? "downloads available"
                                                      : "unknown kind";
    // One alert object sends all three: the download alert still carries the last id list set.
    const bool download = a[1].i == 24 && a[2].i == 38;
    std::printf("  alert %lld: %s (category %lld, type %lld); client ids%s: %s\n", a[0].i, kind, a[1].i,
                a[2].i, download ? " (left from the alert before)" : "", a[3].s.empty() ? "none" : a[3].s.c_str());
    kq::db::ExecuteSql(*db, "SELECT Text FROM EvAlertText WHERE AlertId = $1 ORDER BY Seq", {a[0]},
                       &texts, err);
    std::string text;
    for (const kq::db::Row& t : texts) text += t[0].s;
    for (size_t at; (at = text.find("MsgNewLine_")) != std::string::npos;)
      text.replace(at, 11, "\n    ");
    if (!text.empty()) std::printf("    %s\n", text.c_str());
  }
}


// ---------------------------------------------------------------------------------------------
// Step: a software download job into the example cache. A generated download center (release
// 11, two feature releases, Windows and Unix sides, appliance patches) is served over http on
// 127.0.0.1 by scripts/demo.sh, below "retrieval/" of the served folder. A job with the
// manifest-driven retrievers of the tests runs its phases over the Hubnode database (the
// embedded file) and prints, per patch type, the sides that succeeded and failed and the
// files and bytes it fetched; a second run over the filled cache fetches no data file.
struct RetrievalRunOutcome {
  bool ran = false;
  unsigned long long files = 0, bytes = 0;
};

std::string SideList(const nPatchDownload::tSideFolderMap& sides) {
  std::string text;
  for (const auto& side : sides)
    text += std::string(text.empty() ? "" : ", ") + nPatchDownload::SideOSName(side.first) + " " +
            nPatchDownload::SideVersionText(side.first.mediaVersion);
  return text.empty() ? "none" : text;
}

// Files and bytes (by the manifest) of what arrived for the entries' sides.
std::pair<size_t, unsigned long long> Fetched(const kqtest::RetrievalCenter& center,
                                              const std::vector<UpdatePatches::BinaryV11>& files) {
  std::pair<size_t, unsigned long long> total{0, 0};
  for (const UpdatePatches::BinaryV11& file : files) {
    const kqtest::CenterFile* known =
        center.Find(file.getstring(UpdatePatches::BinaryV11::kRelativePath));
    ++total.first;
    total.second += known != nullptr ? known->size : 0;
  }
  return total;
}

RetrievalRunOutcome RunRetrievalJob(const kqtest::RetrievalCenter& center, const std::string& cache,
                                    const std::string& site, nPatchDownload::IPatchDataManager& data,
                                    nPatchDownload::CPatchDebug& sink) {
  const kqexample::DownloadJobResult r = kqexample::RunDownloadJob(center, cache, site, data, sink);
  if (r.code == 0)
    std::printf("    job succeeded; %llu files, %llu bytes fetched in all\n", r.files, r.bytes);
  else
    std::printf("    job failed in %s with 0x%08X (%s); %llu files, %llu bytes fetched in all\n",
                r.failedPhase.c_str(), r.code, nPatchDownload::PatchResultText(r.code), r.files, r.bytes);
  const struct {
    const char* name;
    const nPatchDownload::tRetrievalEntries* entries;
    const nPatchDownload::tSideFolderMap* succeeded;
    const nPatchDownload::tSideFolderMap* failed;
  } types[] = {{"packages", &r.packages, &r.succeededPackages, &r.failedPackages},
               {"maintenance releases", &r.maintenanceReleases, &r.succeededPacks, &r.failedPacks},
               {"updates", &r.updates, &r.succeededUpdates, &r.failedUpdates}};
  // The appliance patches' share is what the job counted beyond the three types.
  std::pair<unsigned long long, unsigned long long> appliance{r.files, r.bytes};
  for (const auto& type : types) {
    std::vector<UpdatePatches::BinaryV11> arrived;
    for (const auto& side : *type.entries)
      arrived.insert(arrived.end(), side.second.retrieved.begin(), side.second.retrieved.end());
    const auto fetched = Fetched(center, arrived);
    appliance.first -= std::min<unsigned long long>(appliance.first, fetched.first);
    appliance.second -= std::min(appliance.second, fetched.second);
    std::printf("    %s: %zu files, %llu bytes fetched\n", type.name, fetched.first, fetched.second);
    std::printf("      succeeded: %s\n", SideList(*type.succeeded).c_str());
    std::printf("      failed:    %s\n", SideList(*type.failed).c_str());
  }
  std::string oses;
  for (const auto& side : r.appliance)
    for (const auto& os : side.second) oses += std::string(oses.empty() ? "" : ", ") + os.first;
  std::string failed;
  for (const auto& os : r.failedApplianceOSes)
    failed += std::string(failed.empty() ? "" : ", ") + os.first;
  std::printf("    appliance patches: %llu files, %llu bytes fetched\n", appliance.first,
              appliance.second);
  std::printf("      checked:   %s\n", oses.empty() ? "none" : oses.c_str());
  std::printf("      failed:    %s\n", failed.empty() ? "none" : failed.c_str());
  Check(r.code == 0, "the download job succeeds");
  RetrievalRunOutcome outcome;
  outcome.ran = r.code == 0;
  outcome.files = r.files;
  outcome.bytes = r.bytes;
  return outcome;
}

void RetrieveSoftware(const std::string& root) {
  std::printf("== Software download job into the example cache\n");
  const char* servedRoot = std::getenv("KQ_DEMO_CENTER_ROOT");
  const char* port = std::getenv("KQ_DEMO_CENTER_PORT");
  if (servedRoot == nullptr || port == nullptr) {
    std::printf("  skipped: scripts/demo.sh serves the download center this step needs\n");
    return;
  }
  KQPlatformInfo config;
  config.setString("Database", "sPath", root + "/hubnode.db");
  config.setString("Hubnode", "nTessaraId", "4242");
  const std::string cache = root + "/cache";
  const kqtest::RetrievalCenter center = kqtest::MakeRetrievalCenter();
  try {
    kqtest::WriteRetrievalCenter(center, std::string(servedRoot) + "/retrieval");
  } catch (const std::exception& e) {
    Check(false, e.what());
    return;
  }
  const std::string site = std::string("http://127.0.0.1:") + port + "/retrieval";
  std::printf("  download center: %zu files, %llu bytes at %s\n", center.files.size(),
              static_cast<unsigned long long>(center.Bytes(0) + center.Bytes(1) + center.Bytes(2) +
                                              center.Bytes(3) + center.Bytes(101)),
              site.c_str());
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  // The appliance clients of the Tessara, whose patches the job brings.
  std::string err;
  Check(kqtest::AddCenterApplianceClients(center, err), "record the appliance clients");
  std::shared_ptr<kq::db::Session> db = kq::db::ThreadSession(err);
  Check(db != nullptr, "open the Hubnode database");
  if (!db) return;
  nPatchDownload::CPatchDebug sink;
  int status = -1;
  nPatchDownload::CPatchDataManagerHN data(sink, status);
  Check(status == 0, "open the Hubnode data manager");
  if (status != 0) return;

  std::printf("  first run:\n");
  const RetrievalRunOutcome first = RunRetrievalJob(center, cache, site, data, sink);
  const kqtest::CenterCacheState state = kqtest::CompareCacheWithCenter(center, cache);
  std::printf("  the cache holds %zu of the center's %zu files as listed (%zu differ, %zu partial)\n",
              state.equal.size(), center.files.size(), state.differ.size(), state.partial.size());
  // Below feature-release major 22 the job reads the Unix appliance configuration from
  // "KQApplianceConfig_Unix.xml"; the center's "PlatformInfo_Unix.xml" is then not fetched.
  for (const std::string& name : state.missing) {
    const bool newForm = name.size() >= 21 && name.compare(name.size() - 21, 21, "PlatformInfo_Unix.xml") == 0;
    std::printf("    not fetched: %s%s\n", name.c_str(),
                newForm ? " (the candidate's feature release is below major 22: the job reads the"
                          " Unix appliance files from KQApplianceConfig_Unix.xml instead)"
                        : "");
  }
  Check(state.differ.empty() && state.partial.empty(), "every fetched file equals its record");
  std::vector<kq::db::Row> committed;
  kq::db::ExecuteSql(*db, "SELECT OSNameVersion FROM PatchApplianceVersion ORDER BY OSNameVersion",
                     {}, &committed, err);
  std::string names;
  for (const kq::db::Row& row : committed) names += std::string(names.empty() ? "" : ", ") + row[0].s;
  std::printf("  appliance patches committed for: %s\n", names.empty() ? "none" : names.c_str());
  std::printf("  second run:\n");
  const RetrievalRunOutcome second = RunRetrievalJob(center, cache, site, data, sink);
  Check(first.ran && first.files > 0, "the first run fetches the data files");
  Check(second.ran && second.files == 0, "the second run fetches no data file");
}

}  // namespace

// Usage: kq_example [--keep]. The example works in a fresh folder below /tmp (about 175 MB)
// and removes it when it ends, unless --keep is given or KQ_EXAMPLE_KEEP is set to a non-empty
// value other than "0": then it names the folder and its log for inspection.
int main(int argc, char** argv) {
  bool keep = false;
  if (const char* env = std::getenv("KQ_EXAMPLE_KEEP")) keep = *env != '\0' && std::string(env) != "0";
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--keep]\n", argv[0]);
      return 2;
    }
  }
  char tmpl[] = "/tmp/kq-example.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  // Set before any thread starts: the configuration store of this run.
  setenv("KQ_CONFIG", (root + "/config.ini").c_str(), 1);
  KQPlatformInfo config;
  config.setString("Logging", "dLogFolder", root + "/logs");
  config.setString("", "sProductVersion", "11.0.0.1234");
  config.setString("Base", "dHOME", root + "/home");
  config.setString("SoftwareCache", "dHOME", root + "/cache");

  ShowIdentity();
  WalkTheCache(root + "/cache");
  config.setString("Database", "sPath", root + "/hubnode.db");
  const kqtest::GeneratedMedia media = ResolveMediaFiles(root);
  ReducedInstallPackage(root, media);
  InventoryUpdateCache(root);
  AnswerRemoteRequest(root);
  DeleteOnRequest(root);
  FileListsOfAGeneratedCache(root);
  RunUpdateAlerts(root);
  RetrieveSoftware(root);
  SynchroniseRemoteCache(root);

  if (keep) {
    std::printf("== Example folder kept for inspection: %s (log: %s)\n", root.c_str(),
                EvDebug().logFilePath().c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    if (ec) std::printf("  FAILED: remove the example folder %s: %s\n", root.c_str(), ec.message().c_str());
    g_failures += ec ? 1 : 0;
    std::printf("== Example folder %s removed (run with --keep or KQ_EXAMPLE_KEEP=1 to keep it)\n",
                root.c_str());
  }
  std::printf(g_failures ? "%d step(s) failed\n" : "all steps passed\n", g_failures);
  return g_failures ? 1 : 0;
}
