#include "SyncRequestUtils.h"

#include "CacheFileListsInternal.h"
#include "HostIdentity.h"
#include "KQUpdateCache.h"
#include "Logging/EvDebug.h"
#include "StringUtils.h"
#include "Vocabulary.h"

using UpdatePatches::BinaryV11;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

namespace {

bool IsHubnodeRelease(const FilesForRel& rel) {
  // Looked up again for every entry: the Hubnode's release may change under a long request.
  return rel.getint64(FilesForRel::kReleaseId) == static_cast<long long>(getHNReleaseID());
}

bool IsLooseUpdateFile(const CNMessageBase& file) {
  return file.getstringByRef(BinaryV11::kFileName).find("LooseUpdates") != std::string::npos;
}

}  // namespace

std::string GetHNLevelSPFolderNameFromSyncRequest(const std::vector<FilesForRel>& request) {
  static const char kTag[] = "[GetHNLevelSPFolderNameFromSyncRequest]";
  EvDebug log;
  for (const FilesForRel& rel : request) {
    if (!IsHubnodeRelease(rel)) continue;
    if (!rel.isSet(FilesForRel::kField5) || !rel.isSet(FilesForRel::kSPFolderName)) continue;
    if (rel.getint64(FilesForRel::kField5) == 0) continue;
    std::string name = rel.getstring(FilesForRel::kSPFolderName);
    log.DebugLvl(kTag, 2, "HN Level SP folder name in sync request [%s]", name.c_str());
    return name;
  }
  log.DebugLvl(kTag, 2, "HN Level SP folder name is not set in  sync request.");
  return std::string();
}

int SetHNLevelSPFlagInFilesToSync(std::vector<FilesForRel>& request,
                                  const std::string& folderName) {
  static const char kTag[] = "[SetHNLevelSPInFilesToSync]";
  EvDebug log;
  for (FilesForRel& rel : request) {
    if (!IsHubnodeRelease(rel) || !rel.isSet(FilesForRel::kSPFolderName)) continue;
    if (rel.getstringByRef(FilesForRel::kSPFolderName) != folderName) continue;
    rel.setint64(FilesForRel::kField5, 1);
    log.DebugLvl(kTag, 2, "Successully set HN Level SP flag for [%s]", folderName.c_str());
  }
  return 1;
}

bool CheckIfSyncHasPackageFiles(const FilesForRel& release) {
  for (const CNMessageBase& os : *release.getlistobject(FilesForRel::kOSList)) {
    for (const CNMessageBase& file : *os.getlistobject(FilesForOS::kMediaFiles)) {
      if (!IsLooseUpdateFile(file)) return true;
    }
  }
  return false;
}

bool CheckIfSyncHasHNSPLevelPackageFiles(const std::vector<FilesForRel>& request) {
  for (const FilesForRel& rel : request) {
    if (!rel.isSet(FilesForRel::kSPFolderName) || !rel.isSet(FilesForRel::kField5)) continue;
    if (rel.getint64(FilesForRel::kField5) != 0 && CheckIfSyncHasPackageFiles(rel)) return true;
  }
  return false;
}

std::pair<unsigned long long, unsigned long long> GetPackageAndUpdatesFileCount(
    const CNMessageBase& os) {
  std::pair<unsigned long long, unsigned long long> counts(0, 0);
  for (const CNMessageBase& file : *os.getlistobject(FilesForOS::kMediaFiles)) {
    if (IsLooseUpdateFile(file))
      ++counts.second;
    else
      ++counts.first;
  }
  return counts;
}

std::string KQUpdateCache::GetCacheOperationName(CacheOpcode code) {
  switch (code) {
#define KQ_CACHE_OPCODE_NAME(name, value, text) \
  case name:                                    \
    return text;
    KQ_CACHE_OPCODES(KQ_CACHE_OPCODE_NAME)
#undef KQ_CACHE_OPCODE_NAME
  }
  return "Unknown Operation";
}

int addClientCacheReleasePathToValidSPDirNames(std::string cachePath, int releaseId, int osId,
                                               std::vector<std::string> folderNames,
                                               std::vector<std::string>& out) {
  static const char kTag[] = "[addClientCacheReleasePathToValidSPDirNames]";
  EvDebug log;
  for (const std::string& name : folderNames) {
    log.DebugLvl(kTag, 10, "Processing directory [%s]", name.c_str());
    if (!kqlists::IsOneFolderName(name)) {
      log.DebugLvl(kTag, 0, "Skipping feature release folder name [%s]: not one folder name",
                   name.c_str());
      continue;
    }
    std::string path = cachePath + "/" + "KQMedia" + "/" + GetRelNameFromId(releaseId) + "/" + name;
    if (IsUnix(osId))
      UnixPath(path);
    else
      WinPath(path);
    out.push_back(path);
    log.DebugLvl(kTag, 10, "Feature Release path [%s] to delete", path.c_str());
  }
  return 1;
}
