// Applicable loose updates and update packs: which updates of a cache folder touch a package
// list on a binary set (judged from their install maps), and the files of those updates with
// their checksums.
#include <regex>
#include <unordered_set>

#include "CacheFileListsInternal.h"
#include "FileSystemUtils.h"
#include "InstallUtils/KQInstallCommonUtils.h"
#include "KQUpdateCache.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchInstallCommon.h"

using UpdatePatches::File;
using UpdatePatches::PackageDesc;

namespace {

const char kPackMarker[] = "KQUpdatePack_Cumulative.ini";
const char kUpdatesChecksumFile[] = "updatesChecksum.txt";

// Update-pack folder names: "CU" and a number that does not start with 0, matched whole.
const char kHPKPatternStr[] = "^CU[1-9]+[0-9]*";

const std::regex& PackNamePattern() {
  static const std::regex pattern(kHPKPatternStr, std::regex::ECMAScript);
  return pattern;
}

bool IsPackFolderName(const std::string& name) { return std::regex_match(name, PackNamePattern()); }

std::unordered_set<long long> PackageIdSet(const std::vector<PackageDesc>* packages) {
  std::unordered_set<long long> ids;
  if (packages == nullptr) return ids;
  for (const PackageDesc& p : *packages) ids.insert(p.getint64(PackageDesc::kPackageId));
  return ids;
}

const std::vector<CNMessageBase>& ListOf(const CNMessageBase& m, const KqFieldId& f) {
  return *m.getlistobject(f.index, f.tag);
}

}  // namespace

void KQUpdateCache::LoadApplicableBinFromUpdate(int binarySetId, std::vector<PackageDesc>* packages,
                                                UpdatePatches::SingleUpdate* update,
                                                bool* applicable, std::vector<File>* out,
                                                bool skipStubs) {
  static const char* const kTag = "[LoadApplicableBinFromUpdate]";
  if (update == nullptr || applicable == nullptr || out == nullptr) return;
  const std::unordered_set<long long> ids = PackageIdSet(packages);
  const std::string& updateName = update->getstringByRef(UpdatePatches::SingleUpdate::kName);
  for (const CNMessageBase& set : ListOf(*update, UpdatePatches::SingleUpdate::kBinarySets)) {
    if (binarySetId != 0 && set.getint64(UpdatePatches::BinarySet::kBinarySetId) != binarySetId) continue;
    for (const CNMessageBase& pkg : ListOf(set, UpdatePatches::BinarySet::kPackages)) {
      const long long pkgId = pkg.getint64(UpdatePatches::Package::kPackageId);
      if (!ids.empty() && ids.count(pkgId) == 0) continue;
      for (const CNMessageBase& bin : ListOf(pkg, UpdatePatches::Package::kBinaries)) {
        const std::string& path = bin.getstringByRef(UpdatePatches::Binary::kPath);
        if (!kq::IsSafeRelativeName(path)) {
          m_event.DebugJob(1, kTag, m_jobId, "Leaving out binary [%s] of update [%s]: not a relative name",
                           path.c_str(), updateName.c_str());
          continue;
        }
        *applicable = true;
        if (skipStubs && bin.getstringByRef(UpdatePatches::Binary::kType) == "Stub") {
          m_event.DebugJob(10, kTag, m_jobId, "Ignoring stubbed file [%s] from update [%s] for pkg [%d]",
                           path.c_str(), updateName.c_str(), static_cast<int>(pkgId));
          continue;
        }
        out->push_back(kqlists::MakeFile(kqlists::WithSlashes(path),
                                         bin.getstringByRef(UpdatePatches::Binary::kChecksum)));
        m_event.DebugJob(10, kTag, m_jobId, "Applicable Update [%s] : Pkg [%d]: binary [%s]",
                         updateName.c_str(), static_cast<int>(pkgId), path.c_str());
      }
    }
  }
}

void KQUpdateCache::LoadApplicableBinFromCumulativeUpdatePack(int binarySetId,
                                                              std::vector<PackageDesc>* packages,
                                                              UpdatePatches::CumulativeUpdatePack* pack,
                                                              bool* applicable, std::vector<File>* out) {
  static const char* const kTag = "[LoadApplicableBinFromCumulativeUpdatePack]";
  if (pack == nullptr || applicable == nullptr || out == nullptr) return;
  const std::string ids = kqlists::PackageIdText(packages);
  m_event.DebugJob(10, kTag, m_jobId, "Client binary set ID = [%d], client package list = [%s]", binarySetId,
                   ids.c_str());
  for (const CNMessageBase& u : ListOf(*pack, UpdatePatches::CumulativeUpdatePack::kUpdates)) {
    UpdatePatches::SingleUpdate update(u);
    const std::string& name = update.getstringByRef(UpdatePatches::SingleUpdate::kName);
    m_event.DebugJob(2, kTag, m_jobId, "Checking the applicable binaries for update = [%s]", name.c_str());
    bool updateApplies = false;
    std::vector<File> binaries;
    LoadApplicableBinFromUpdate(binarySetId, packages, &update, &updateApplies, &binaries, true);
    if (!updateApplies) {
      m_event.DebugJob(1, kTag, m_jobId, "Update [%s] is not applicable for packages = [%s]", name.c_str(),
                       ids.c_str());
      continue;
    }
    *applicable = true;
    out->insert(out->end(), binaries.begin(), binaries.end());
    kqlists::AppendConfigFiles(m_event, m_jobId, kTag, update, UpdatePatches::SingleUpdate::kConfigFiles, "",
                               "Applicable Update [%s], its config file [%s]", name, *out);
  }
  kqlists::AppendConfigFiles(m_event, m_jobId, kTag, *pack, UpdatePatches::CumulativeUpdatePack::kConfigFiles, "",
                             "Update pack config file : [%s] Checksum: [%s]", "", *out);
}

bool KQUpdateCache::GetLooseUpdateFilesCheckSumList(std::string updatesFolder, int osId, int binarySetId,
                                                    std::vector<PackageDesc>* packages,
                                                    std::vector<File>* out,
                                                    std::vector<std::string>* applicableUpdates) {
  static const char* const kTag = "[GetLooseUpdateFilesCheckSumList]";
  UnixPath(updatesFolder);
  if (!isFilePresent(updatesFolder.c_str())) {
    m_event.DebugJob(10, kTag, m_jobId, "Additional updates folder [%s], does not exist. Nothing to do",
                     updatesFolder.c_str());
    return true;
  }
  if (out == nullptr) return false;
  CPxDirectory dir;
  CPxError opened = dir.Open(updatesFolder);
  if (opened.IsError()) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to open loose updates folder [%s], Error:[%d]",
                     updatesFolder.c_str(), opened.GetErrorCode());
    return false;
  }
  std::vector<std::string> folders;
  SPxDirEntry entry;
  bool end = false;
  for (CPxError e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    if (IsADirectory((updatesFolder + "/" + entry.name).c_str())) folders.push_back(entry.name);
  }
  if (folders.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "No loose updates found in [%s]", updatesFolder.c_str());
    return true;
  }

  std::vector<File> collected;
  for (const std::string& folder : folders) {
    UpdatePatches::SingleUpdate map;
    std::vector<File> mapFiles;
    if (!LoadSingleUpdateInstallMap(updatesFolder, osId, folder, &map, &mapFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to load additional update install XML file for [%s]",
                       folder.c_str());
      return false;
    }
    bool applicable = false;
    std::vector<File> binaries;
    LoadApplicableBinFromUpdate(binarySetId, packages, &map, &applicable, &binaries, false);
    if (!applicable) {
      m_event.DebugJob(10, kTag, m_jobId, "Additional Update [%s] is not applicable", folder.c_str());
      continue;
    }
    if (applicableUpdates) applicableUpdates->push_back(folder);
    for (File& f : binaries)
      collected.push_back(kqlists::MakeFile(folder + "/" + f.getstringByRef(File::kName),
                                            f.getstringByRef(File::kChecksum)));
    const std::string& updateName = map.getstringByRef(UpdatePatches::SingleUpdate::kName);
    if (kq::IsSafeRelativeName(updateName)) {
      kqlists::AppendConfigFiles(m_event, m_jobId, kTag, map, UpdatePatches::SingleUpdate::kConfigFiles,
                                 updateName + "/", "Applicable additional update [%s] : config file : [%s]",
                                 updateName, collected);
    } else {
      m_event.DebugJob(1, kTag, m_jobId,
                       "Leaving out the configuration files of update [%s]: its name [%s] is not a relative name",
                       folder.c_str(), updateName.c_str());
    }
    for (File& f : mapFiles)
      collected.push_back(kqlists::MakeFile(folder + "/" + f.getstringByRef(File::kName),
                                            f.getstringByRef(File::kChecksum)));
    std::string checksum;
    const std::string checksumPath = updatesFolder + "/" + folder + "/" + kUpdatesChecksumFile;
    if (CalculateFileCksumForFile(osId, checksumPath, checksum))
      collected.push_back(kqlists::MakeFile(folder + "/" + kUpdatesChecksumFile, checksum));
    else
      m_event.DebugJob(1, kTag, m_jobId, "unable to get checksum updatesCheckum file [%s]", checksumPath.c_str());
  }
  const size_t total = collected.size();
  const size_t unique = kqlists::KeepFirstOfEachName(collected);
  out->insert(out->end(), std::make_move_iterator(collected.begin()), std::make_move_iterator(collected.end()));
  m_event.DebugJob(1, kTag, m_jobId, "Applicable loose update files: Total=[%lu] Unique=[%lu]",
                   static_cast<unsigned long>(total), static_cast<unsigned long>(unique));
  return true;
}

bool KQUpdateCache::GetCumulativeUpdatePackFilesCheckSumList(std::string updatePackRoot, int osId,
                                                             int binarySetId, std::string packName,
                                                             std::vector<PackageDesc>* packages,
                                                             std::vector<File>* out,
                                                             bool withPackLooseUpdates) {
  static const char* const kTag = "[GetCumulativeUpdatePackFilesCheckSumList]";
  if (out == nullptr) return false;
  if (!kqlists::IsOneFolderName(packName)) {
    m_event.DebugJob(1, kTag, m_jobId, "Refusing update pack name [%s]: not one folder name", packName.c_str());
    return false;
  }
  std::string packFolder = updatePackRoot + "/" + packName;
  UnixPath(packFolder);
  if (KQInstallCommonUtils::KQInstallAccess(packFolder, 0) != 0) {
    m_event.DebugJob(10, kTag, m_jobId, "Cumulative updates packs does not exist at [%s]. Nothing to do",
                     packFolder.c_str());
    return true;
  }
  m_event.DebugJob(1, kTag, m_jobId, "Processing update pack [%s] at [%s]", packName.c_str(),
                   updatePackRoot.c_str());
  UpdatePatches::CumulativeUpdatePack map;
  std::vector<File> mapFiles;
  if (!LoadCumulativeUpdatePackInstallMap(updatePackRoot, osId, packName, &map, &mapFiles)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to load update pack's install XML file for [%s] at [%s] ",
                     packName.c_str(), updatePackRoot.c_str());
    return false;
  }
  bool applicable = false;
  std::vector<File> packList;
  LoadApplicableBinFromCumulativeUpdatePack(binarySetId, packages, &map, &applicable, &packList);
  if (!applicable) {
    m_event.DebugJob(2, kTag, m_jobId, "Update Pack [%s] is not applicable", packName.c_str());
    return true;
  }
  m_event.DebugJob(2, kTag, m_jobId, "There are [%zu] updatepack install map files", mapFiles.size());
  packList.insert(packList.end(), mapFiles.begin(), mapFiles.end());

  if (withPackLooseUpdates) {
    std::string looseFolder = updatePackRoot + "/" + packName + "/Updates";
    UnixPath(looseFolder);
    m_event.DebugJob(1, kTag, m_jobId, "Checking if there are any loose updates available at [%s]",
                     looseFolder.c_str());
    std::vector<File> looseList;
    if (!GetLooseUpdateFilesCheckSumList(looseFolder, osId, binarySetId, packages, &looseList, nullptr)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for loose updates in update pack");
      return false;
    }
    if (!looseList.empty()) {
      m_event.DebugJob(1, kTag, m_jobId,
                       "There are [%zu] applicable binaries from update pack's loose update [%s] for osId [%d] "
                       "client pkgs [%s]",
                       looseList.size(), packName.c_str(), osId, kqlists::PackageIdText(packages).c_str());
    }
    for (const File& f : looseList) {
      std::string name = "Updates/" + f.getstringByRef(File::kName);
      name = IsUnix(osId) ? kqlists::WithSlashes(name) : kqlists::WithBackslashes(name);
      const std::string& checksum = f.getstringByRef(File::kChecksum);
      m_event.DebugJob(10, kTag, m_jobId,
                       "Adding loose update binary [%s] with checksum = [%s] to update pack files list", name.c_str(),
                       checksum.c_str());
      packList.push_back(kqlists::MakeFile(name, checksum));
    }
  }
  for (File& f : packList) f.setstring(File::kName, packName + "/" + f.getstringByRef(File::kName));
  const size_t total = packList.size();
  const size_t unique = kqlists::KeepFirstOfEachName(packList);
  out->insert(out->end(), std::make_move_iterator(packList.begin()), std::make_move_iterator(packList.end()));
  m_event.DebugJob(1, kTag, m_jobId, "Applicable cumulative update pack files: Total=[%lu] Unique=[%lu]",
                   static_cast<unsigned long>(total), static_cast<unsigned long>(unique));
  return true;
}

bool KQUpdateCache::GetAllCumulativeUpdatePackFilesCheckSumList(std::string updatePackRoot, int osId,
                                                                int binarySetId,
                                                                std::vector<PackageDesc>* packages,
                                                                std::vector<File>* out) {
  static const char* const kTag = "[GetAllCumulativeUpdatePackFilesCheckSumList]";
  if (out == nullptr) return false;
  UnixPath(updatePackRoot);
  if (KQInstallCommonUtils::KQInstallAccess(updatePackRoot, 0) != 0) {
    m_event.DebugJob(10, kTag, m_jobId, "Cumulative updates packs does not exist at [%s]. Nothing to do",
                     updatePackRoot.c_str());
    return true;
  }
  // A root that cannot be read fails the call: an empty answer would have the remote cache
  // delete the packs it holds.
  CPxDirectory dir;
  CPxError opened = dir.Open(updatePackRoot);
  if (opened.IsError()) {
    m_event.DebugJob(1, kTag, m_jobId, "Unable to open directory [%s] with error: [%s]. No Update pack folders found.",
                     updatePackRoot.c_str(), opened.c_str());
    return false;
  }
  std::vector<std::string> packs;
  SPxDirEntry entry;
  bool end = false;
  CPxError e = dir.GetEntry(entry, &end);
  if (e.IsError()) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Unable to get entry on directory [%s] with error: [%s]. No Update pack folders found.",
                     updatePackRoot.c_str(), e.c_str());
    return false;
  }
  for (; !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    const std::string full = updatePackRoot + "/" + entry.name;
    SPxFileStat st;
    CPxError statError = CPxFile::Stat(full, st);
    if (statError.IsError()) {
      m_event.DebugJob(1, kTag, m_jobId, "Cannot stat on file [%s] with error [%s], continuing", full.c_str(),
                       statError.c_str());
      continue;
    }
    if (!st.IsDirectory() || !IsPackFolderName(entry.name)) continue;
    const std::string marker = full + "/Config/" + kPackMarker;
    if (nPatchDownload::CPatchInstallCommon::IsFileExisted(marker)) {
      m_event.DebugJob(10, kTag, m_jobId, "Found HPK directory at [%s]", full.c_str());
      packs.push_back(entry.name);
    } else {
      m_event.DebugJob(1, kTag, m_jobId, "Configuration file [%s] does not exist, skipping current folder",
                       marker.c_str());
    }
  }
  if (e.IsError()) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to get entry in the dir [%s] with error [%s]",
                     updatePackRoot.c_str(), e.c_str());
    return false;
  }
  m_event.DebugJob(10, kTag, m_jobId, "Successfully scanned all HPK folders at [%s]", updatePackRoot.c_str());
  if (packs.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "No Cumulative updates pack found at [%s]", updatePackRoot.c_str());
    return true;
  }
  size_t unique = 0;
  for (const std::string& pack : packs) {
    m_event.DebugJob(1, kTag, m_jobId, "Processing update pack [%s] at [%s]", pack.c_str(), updatePackRoot.c_str());
    std::vector<File> packFiles;
    if (!GetCumulativeUpdatePackFilesCheckSumList(updatePackRoot, osId, binarySetId, pack, packages, &packFiles,
                                                  true)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to process update pack [%s]", pack.c_str());
      return false;
    }
    unique += packFiles.size();
    out->insert(out->end(), std::make_move_iterator(packFiles.begin()), std::make_move_iterator(packFiles.end()));
  }
  m_event.DebugJob(1, kTag, m_jobId, "Applicable cumulative update pack unique files = [%lu]",
                   static_cast<unsigned long>(unique));
  return true;
}
