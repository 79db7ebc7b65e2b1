// Reduced install packages: dependency closure, the list file and its reading back.
#include "ReducedPackages.h"

#include <algorithm>

#include "FileSystemUtils.h"
#include "Logging/EvDebug.h"
#include "PackageCache.h"
#include "Vocabulary.h"

namespace {

std::string JoinIds(const std::vector<unsigned>& ids, const char* separator) {
  std::string out;
  for (unsigned id : ids) {
    if (!out.empty()) out += separator;
    out += std::to_string(id);
  }
  return out;
}

// The first operating-system name of a Unix binary set; empty when it has none.
std::string FirstOSName(KQPackageCache& catalogue, int binarySetId) {
  std::vector<std::string> names;
  catalogue.getOSNamesUnderBSIDLst({binarySetId}, names, false);
  return names.empty() ? std::string() : names.front();
}

}  // namespace

int computeReducedPackages(KQPackageCache* catalogue, std::vector<unsigned>& packageIds,
                           std::list<std::string>& files, std::list<std::string>& folders,
                           unsigned long long& totalSize, bool& rebootRequired, int binarySetId,
                           std::string tempFolder, std::string packageName, std::string& errorText,
                           int updatePackNumber) {
  static const char* const kTag = "[computeReducedPackages]";
  if (!catalogue) return 0;
  EvDebug log;
  auto fail = [&]() {
    errorText = catalogue->getErrMsg();
    return 0;
  };
  if (!tempFolder.empty()) catalogue->SetTempPath(tempFolder);
  if (packageName.empty()) packageName = "InstallPkgs";
  SetReleasesSupportedOnClient();

  const bool unix = isUnixBsId(binarySetId);
  if (!unix) {
    if (!catalogue->ReadWinPackageDetails()) {
      log.Debug(kTag, "Failed to read Windows package file details.");
      return fail();
    }
  } else {
    const std::string osName = FirstOSName(*catalogue, binarySetId);
    const int osId = osName.empty() ? -1 : GetOSIdFromName(osName);
    if (osName.empty() || !catalogue->ReadUnixPackageDetails(osId)) {
      log.Debug(kTag, "Failed to read Unix package file details using OSType [%d], name [%s].", osId,
                osName.c_str());
      return fail();
    }
  }

  if (packageIds.empty()) log.Debug(kTag, "SIM package Id list is emtpy.");
  std::vector<unsigned> dependencies;
  for (unsigned id : std::vector<unsigned>(packageIds)) {
    std::list<unsigned> deps;
    bool reboot = false;
    catalogue->GetDependentPackagesRecurs(id, deps, reboot, binarySetId);
    if (reboot) {
      log.Debug(kTag, "Reboot required for pkgId [%d]", static_cast<int>(id));
      rebootRequired = true;
    }
    if (!deps.empty()) {
      std::string text;
      for (unsigned d : deps) text += std::to_string(d) + ",";
      log.Debug(kTag, "PkgId [%d] requires pkgIds [ %s ]", static_cast<int>(id), text.c_str());
      dependencies.insert(dependencies.end(), deps.begin(), deps.end());
    }
  }
  if (dependencies.empty()) log.Debug(kTag, "Dependency package list is emtpy.");
  std::sort(dependencies.begin(), dependencies.end());
  dependencies.erase(std::unique(dependencies.begin(), dependencies.end()), dependencies.end());
  for (unsigned id : dependencies)
    if (std::find(packageIds.begin(), packageIds.end(), id) == packageIds.end()) packageIds.push_back(id);

  const std::string media = catalogue->getDvdLocation(!unix);
  log.Debug(kTag, "Computing Reduced packages For BinarySet %d and Final List of PkgIds [%s]", binarySetId,
            JoinIds(packageIds, ",").c_str());
  log.Debug(kTag, "DVD Location [%s] ", media.c_str());

  if (!catalogue->CreatePkgInfoFile(packageIds, packageName, binarySetId, 3, updatePackNumber)) {
    log.Debug(kTag, "Failed to create package info file.");
    return fail();
  }
  const bool listed = catalogue->ComputeFileList(packageName, media, files, folders, totalSize, 3);
  if (!listed) log.Debug(kTag, "Compute file list returns error.");
  log.DebugLvl(kTag, 2, "List of Files: ");
  for (const std::string& f : files) log.DebugLvl(kTag, 2, "\t%s", f.c_str());
  log.DebugLvl(kTag, 2, "List of Folders: ");
  for (const std::string& f : folders) log.DebugLvl(kTag, 2, "\t%s", f.c_str());
  if (!listed) return fail();
  log.Debug(kTag, "Successfully computed the reduced packages list");
  return 1;
}

int ComputeReducedPackages(std::string cachePath, std::string mediaLocation,
                           std::vector<unsigned>& packageIds, std::list<std::string>& files,
                           std::list<std::string>& folders, unsigned long long& totalSize,
                           bool& rebootRequired, int binarySetId, std::string tempFolder,
                           std::string packageName, std::string& errorText, int updatePackNumber) {
  KQPackageCache catalogue(cachePath, false, 0, true);
  catalogue.setDvdLocation(mediaLocation, !isUnixBsId(binarySetId));
  return computeReducedPackages(&catalogue, packageIds, files, folders, totalSize, rebootRequired,
                                binarySetId, tempFolder, packageName, errorText, updatePackNumber);
}

int ComputeReducedPackagesUNIX(std::string cachePath, std::string mediaLocation,
                               std::vector<unsigned>& packageIds, std::list<std::string>& files,
                               std::list<std::string>& folders, unsigned long long& totalSize,
                               bool& rebootRequired, std::string unixOSName,
                               std::string tempFolder, std::string packageName,
                               std::string& errorText, unsigned* errorCode, int updatePackNumber) {
  static const char* const kTag = "[ComputeReducedPackagesUNIX]";
  EvDebug log;
  KQPackageCache catalogue(cachePath, false, 0, true);
  catalogue.setDvdLocation(mediaLocation, false);
  const long long binarySetId = catalogue.getBSIdFromUnixOSName(unixOSName);
  if (binarySetId < 1) {
    log.Debug(kTag, "No binary set for operating system [%s]", unixOSName.c_str());
    return 0;
  }
  const std::string osName = FirstOSName(catalogue, static_cast<int>(binarySetId));
  if (osName.empty()) {
    log.Debug(kTag, "Binary set [%lld] has no operating system", binarySetId);
    return 0;
  }
  if (IsFileEmpty((mediaLocation + "/" + osName).c_str())) {
    log.Debug(kTag, "Media folder [%s/%s] is missing or empty", mediaLocation.c_str(), osName.c_str());
    if (errorCode) *errorCode = kReducedPackageWithoutMedia;
    return 0;
  }
  return computeReducedPackages(&catalogue, packageIds, files, folders, totalSize, rebootRequired,
                                static_cast<int>(binarySetId), tempFolder, packageName, errorText,
                                updatePackNumber);
}
