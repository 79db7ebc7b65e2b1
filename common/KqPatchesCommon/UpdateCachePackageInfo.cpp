// What a cache holds, without a full inventory: the media package folders of a release with
// their "UnixTime" stamps, package folders marked by "timestamp.txt", and the binary sets that
// an operating system's feature release or first update covers.
//
// Stamps are read as checked 64-bit decimals: a value that is not one counts as 0 and is logged.
// Folder entries are listed in bytewise name order; names beginning with '.' are left out.
#include <list>
#include <string>
#include <vector>

#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "VersionFiles.h"
#include "Vocabulary.h"

namespace {

// The sub-folders of folder whose names do not begin with '.', bytewise ordered; false when the
// folder cannot be read.
bool VisibleSubFolders(const std::string& folder, std::list<std::string>& names) {
  std::list<std::string> all;
  if (!GetFolderList(folder, all)) return false;
  for (std::string& name : all)
    if (!name.empty() && name[0] != '.') names.push_back(std::move(name));
  return true;
}

UpdatePatches::PackageInfo MakePackageInfo(const std::string& name, long long timestamp) {
  UpdatePatches::PackageInfo info;
  info.setstring(UpdatePatches::PackageInfo::kFolderPath, name);
  info.setint64(UpdatePatches::PackageInfo::kTimestamp, timestamp);
  return info;
}

}  // namespace

int KQUpdateCache::GetPackageInfoFromCache(CacheProp cache, int releaseId,
                                           UpdatePatches::PackagesAtCache& packages) {
  static const char* const kTag = "[GetPackageInfoFromCache]";
  SetPackageOsTypes();
  // A release id without a name is looked for under "KQMedia" with an empty release folder,
  // where no platform folder normally is: two entries without packages.
  const std::string release = GetRelNameFromId(releaseId);
  if (release.empty()) m_event.DebugJob(2, kTag, m_jobId, "No release name for release id [%d]", releaseId);
  std::vector<CNMessageBase> entries;
  for (int mainOs : {1, 2}) {
    const std::string platform = GetMainOsName(mainOs);
    UpdatePatches::PackagesForOS entry;
    entry.setint64(UpdatePatches::PackagesForOS::kOSId, mainOs);
    std::string folder = cache.cacheRoot + "/KQMedia/" + release + "/" + platform;
    StripTrailingBackslash(folder);
    UnixPath(folder);
    if (!IsADirectory(folder.c_str())) {
      m_event.DebugJob(2, kTag, m_jobId, "Platform folder [%s] is not present", folder.c_str());
      entries.push_back(std::move(entry));
      continue;
    }
    const std::string versionFile = folder + "/" + (mainOs == 1 ? "version.txt" : "version");
    long long timestamp = 0;
    std::string value;
    if (ReadAttrFromFile(versionFile, "UnixTime", value, static_cast<unsigned long>(m_jobId)) &&
        !ParseStampValue(value, timestamp)) {
      m_event.DebugJob(1, kTag, m_jobId, "UnixTime value [%s] of [%s] is not a number, using 0",
                       value.c_str(), versionFile.c_str());
      timestamp = 0;
    }
    std::vector<CNMessageBase> infos;
    if (timestamp != 0)
      infos.push_back(MakePackageInfo(platform, timestamp));
    else
      m_event.DebugJob(2, kTag, m_jobId, "Warning: no timestamp for [%s] in [%s]", platform.c_str(),
                       versionFile.c_str());
    std::list<std::string> names;
    if (!VisibleSubFolders(folder, names)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to open directory [%s]", folder.c_str());
      return 0;
    }
    for (const std::string& name : names) infos.push_back(MakePackageInfo(platform + "/" + name, timestamp));
    entry.setlistobject(UpdatePatches::PackagesForOS::kPackages, infos);
    entries.push_back(std::move(entry));
  }
  packages.setlistobject(UpdatePatches::PackagesAtCache::kOSList, entries);
  return 1;
}

int KQUpdateCache::FindTimeStampFilesInDir(std::string baseFolder, std::string name,
                                           std::vector<UpdatePatches::PackageInfo>& infos) {
  static const char* const kTag = "[FindTimeStampFilesInDir]";
  if (!name.empty() && !kq::IsSafeRelativeName(name)) {
    m_event.DebugJob(1, kTag, m_jobId, "Package folder name [%s] leaves [%s]", name.c_str(),
                     baseFolder.c_str());
    return 0;
  }
  const std::string folder = baseFolder + "/" + name;
  if (!IsADirectory(folder.c_str())) return 1;
  std::string reason;
  long long stamp = ExtractTimestamp((folder + "/timestamp.txt").c_str(), &reason);
  if (stamp != 0)
    infos.push_back(MakePackageInfo(name, stamp));
  else
    m_event.DebugJob(2, kTag, m_jobId, "Warning [%s]", reason.c_str());
  std::list<std::string> names;
  if (!VisibleSubFolders(folder, names)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to open directory [%s]", folder.c_str());
    return 0;
  }
  for (const std::string& entry : names) {
    reason.clear();
    stamp = ExtractTimestamp((folder + "/" + entry + "/timestamp.txt").c_str(), &reason);
    if (stamp != 0)
      infos.push_back(MakePackageInfo(name + "/" + entry, stamp));
    else
      m_event.DebugJob(2, kTag, m_jobId, "Error [%s]", reason.c_str());
  }
  return 1;
}

int KQUpdateCache::getBsNameListFromCache(std::string osFolder, int osId,
                                          std::vector<UpdatePatches::BinarySet>& binarySets) {
  static const char* const kTag = "[getBsNameListFromCache]";
  _SPVersion highest;
  UpdatePatches::ServicePack featureRelease;
  std::vector<UpdatePatches::File> mapFiles;
  if (!LoadSPInstallMap(osFolder + "/ServicePacks", osId, highest, &featureRelease, &mapFiles)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to read SP info from cache for osid %d", osId);
    return 0;
  }
  const CNMessageBase* update = nullptr;
  const std::vector<CNMessageBase>* frUpdates =
      featureRelease.getlistobject(UpdatePatches::ServicePack::kUpdates);
  if (highest.GetMajor() != 0 && frUpdates && !frUpdates->empty()) update = &frUpdates->front();

  UpdatePatches::SingleUpdate first;
  if (!update) {
    const std::string updates = osFolder + "/Updates";
    if (IsFolderEmpty(updates.c_str())) {
      m_event.DebugJob(1, kTag, m_jobId,
                       "Updates are not present. Failed to calcuate the binaryset names for os id %d", osId);
      return 0;
    }
    std::list<std::string> names;
    GetFolderList(updates, names);
    if (names.empty()) {
      m_event.DebugJob(1, kTag, m_jobId,
                       "Updates list is empty. Failed to calcuate the binaryset names for os id %d", osId);
      return 0;
    }
    if (!LoadSingleUpdateInstallMap(updates, osId, names.front(), &first, &mapFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to read update %s info from cache for osid %d",
                       names.front().c_str(), osId);
      return 0;
    }
    update = &first;
  }
  std::vector<UpdatePatches::BinarySet> sets;
  if (const auto* list = update->getlistobject(UpdatePatches::SingleUpdate::kBinarySets))
    for (const CNMessageBase& set : *list) sets.emplace_back(set);
  binarySets.swap(sets);
  return 1;
}
