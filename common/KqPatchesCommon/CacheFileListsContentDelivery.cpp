// Download items of the loose updates a remote cache fetches from the content-delivery network
// instead of from the Hubnode.
#include <unistd.h>

#include <string>
#include <vector>

#include "InstallUtils/KQInstallCommonUtils.h"
#include "KQUpdateCache.h"
#include "VersionFiles.h"
#include "Vocabulary.h"

bool KQUpdateCache::GetLooseUpdatesForAkamaiDownload(std::string looseUpdatesFolder, int osId,
                                                     int binarySetId,
                                                     std::vector<int>& packageIds,
                                                     _SPVersion& featureRelease,
                                                     std::vector<UpdatePatches::BinaryV11>* items) {
  static const char* kTag = "GetLooseUpdatesForAkamaiDownload";
  const char* osName = GetOSNameFromId(osId);
  if (items == nullptr || osName == nullptr) {
    m_event.DebugJob(0, kTag, m_jobId, "Invalid input: %s for OS id [%d]",
                     items == nullptr ? "no item list" : "no operating-system name", osId);
    return false;
  }
  std::vector<UpdatePatches::PackageDesc> packages;
  for (int id : packageIds) {
    UpdatePatches::PackageDesc d;
    d.setint64(UpdatePatches::PackageDesc::kPackageId, id);
    packages.push_back(d);
  }
  std::vector<UpdatePatches::File> files;
  std::vector<std::string> applicable;
  if (!GetLooseUpdateFilesCheckSumList(looseUpdatesFolder, osId, binarySetId, &packages, &files,
                                       &applicable)) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to calculate applicable updates list");
    return false;
  }

  const std::string levelPrefix = std::string(osName) + "/" + featureRelease.ToStr(true);
  bool hotfix = false;
  for (const std::string& update : applicable) {
    if (update.find("PreRelease") != std::string::npos) {
      m_event.DebugJob(1, kTag, m_jobId, "Skipping friendly update [%s] for Akamai download",
                       update.c_str());
      continue;
    }
    if (!hotfix && update.find("-HotFix-") != std::string::npos) hotfix = true;
    // An update without a readable checksum file is listed with an empty checksum.
    const std::string checksumFile = looseUpdatesFolder + "/" + update + "/updatesChecksum.txt";
    const std::string checksum = KQInstallCommonUtils::KQInstallAccess(checksumFile, R_OK) == 0
                                     ? getChecksumFromFile(checksumFile)
                                     : std::string();
    UpdatePatches::BinaryV11 item;
    item.setstring(UpdatePatches::BinaryV11::kFileName, update + ".exe");
    item.setstring(UpdatePatches::BinaryV11::kChecksum, checksum);
    item.setstring(UpdatePatches::BinaryV11::kField2, std::to_string(osId));
    item.setstring(UpdatePatches::BinaryV11::kRelativePath,
                   (hotfix ? levelPrefix : std::string(osName)) + "/Updates/" + update + ".exe");
    items->push_back(item);
  }
  return true;
}
