// Media-folder scans of a software cache and the deletion plans of old feature releases and
// update packs.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <regex>

#include "CacheDeletionGuard.h"
#include "InstallUtils/IFolderStruct.h"
#include "Logging/EvDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalSide.h"

namespace nPatchDownload {

namespace {

using KQInstallCommonUtils::IFolderStruct;

// Feature-release and update-pack folder names: numbers without leading zeros, any case.
const std::regex& SPFolderPattern() {
  static const std::regex pattern("^SP([1-9][0-9]*|0)_([1-9][0-9]*|0)_R([1-9][0-9]*|0)$",
                                  std::regex::ECMAScript | std::regex::icase);
  return pattern;
}

const std::regex& CUFolderPattern() {
  static const std::regex pattern("^CU([1-9][0-9]*|0)$", std::regex::ECMAScript | std::regex::icase);
  return pattern;
}

// A number of a matched folder name (automatic base); false when it does not fit an int.
bool FolderNumber(const std::string& text, int& value) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

// The start both walk callbacks share: success (and nothing more to do) for an entry that is not
// a folder, the invalid-argument error for a missing argument; otherwise the folder is logged.
bool WalkArgumentsUsable(const char* tag, const char* dir, const char* name, bool isDir,
                         const void* context, CPxError& result) {
  result = CPxError::Success();
  if (!isDir) return false;
  if (dir == nullptr || name == nullptr || context == nullptr) {
    EvDebug().Debug(tag, "At lease one input param [%s], [%s] or context is empty.",
                    dir ? dir : "NULL", name ? name : "NULL");
    result = FXErrorUtil::ErrorHResult(KQ_PATCH_E_INVALIDARG, FX_CODE_LOCATION(),
                                       "Invalid input param detected.");
    return false;
  }
  EvDebug().DebugLvl(tag, 8, "Walking thourgh folder [%s\\%s]", dir, name);
  return true;
}

const FullVersion& AnyVersion() {
  static const FullVersion zero{_SPVersion(0)};
  return zero;
}

}  // namespace

CPxError CPatchInstallCommon::servicePackNameMatch(const char* dir, const char* name, bool isDir,
                                                   void* context) {
  static const char kTag[] = "servicePackNameMatch";
  CPxError result;
  if (!WalkArgumentsUsable(kTag, dir, name, isDir, context, result)) return result;
  EvDebug log;
  std::cmatch parts;
  int major = 0, transId = 0, revId = 0;
  if (!std::regex_match(name, parts, SPFolderPattern()) || !FolderNumber(parts[1].str(), major) ||
      !FolderNumber(parts[2].str(), transId) || !FolderNumber(parts[3].str(), revId)) {
    log.DebugLvl(kTag, 8, "Current folder [%s] is not an SP folder", name);
    return result;
  }
  log.DebugLvl(kTag, 8, "Found matching SP folder [%s]", name);
  tRetrievalVersion& walk = *static_cast<tRetrievalVersion*>(context);
  // The major comes from the matched digits, so "sp12_4_R3" reads as 12 like "SP12_4_R3".
  FullVersion found;
  SetMediaVer(found, walk.reference.Get(FullVersion::kRelease),
              walk.reference.Get(FullVersion::kBuild), _SPVersion(major));
  found.Set(FullVersion::kTransactionId, transId);
  found.Set(FullVersion::kRevisionId, revId);
  log.DebugLvl(kTag, 8, "SP is [%s], transId is [%d] and revId is [%d]",
               found.GetStr(FullVersion::kSPName).c_str(), transId, revId);
  if (FullVersion::Compare(FullVersion::kCompareMedia, found, walk.reference) < 0 &&
      FullVersion::Compare(FullVersion::kCompareMedia, found, walk.previous) > 0) {
    log.DebugLvl(kTag, 8, "Found current SP [%s] and replace old one [%s] for previous SP",
                 found.formatted_str(FullVersion::kFormatSPFolder).c_str(),
                 walk.previous.formatted_str(FullVersion::kFormatSPFolder).c_str());
    walk.previous = found;
  } else if (FullVersion::Compare(FullVersion::kCompareMedia, found, walk.latest) > 0) {
    log.DebugLvl(kTag, 8, "Found current SP [%s] and replace old one [%s] for latest SP",
                 found.formatted_str(FullVersion::kFormatSPFolder).c_str(),
                 walk.latest.formatted_str(FullVersion::kFormatSPFolder).c_str());
    walk.latest = found;
  }
  walk.versions.push_back(found);
  return result;
}

CPxError CPatchInstallCommon::matchCUFolders(const char* dir, const char* name, bool isDir,
                                             void* context) {
  static const char kTag[] = "matchCUFolders";
  CPxError result;
  if (!WalkArgumentsUsable(kTag, dir, name, isDir, context, result)) return result;
  EvDebug log;
  std::cmatch parts;
  int number = 0;
  if (!std::regex_match(name, parts, CUFolderPattern()) || !FolderNumber(parts[1].str(), number)) {
    log.DebugLvl(kTag, 8, "Current folder [%s] is not an CU folder", name);
    return result;
  }
  log.DebugLvl(kTag, 8, "Found matching Maintenance Release folder [%s]", name);
  log.DebugLvl(kTag, 8, "Found CU [%d]", number);
  static_cast<std::set<int>*>(context)->insert(number);
  return result;
}

bool CPatchInstallCommon::constructFSObject(const FullVersion& version, IFolderStruct*& reader,
                                            const std::string& cacheRoot, EvDebug& log) {
  static const char kTag[] = "constructFSObject";
  const std::string xml = IFolderStruct::GetDefaultLocalCacheStruct(1);
  KQInstallCommonUtils::CacheHierarchy hierarchy;
  if (XMLDecoder::unSerialize(hierarchy, xml) != 0) {
    log.Debug(kTag, "Failed to unserialize XML: [%s]", xml.c_str());
    return false;
  }
  std::map<std::string, std::string> keys;
  keys["MEDIAROOT"] = cacheRoot;
  keys["VERSION"] = std::to_string(ConvertSimReleaseIdToReleaseNum(16));
  keys["SPMAJOR"] = version.GetStr(FullVersion::kSPMajor);
  keys["TRANSACTIONID"] = version.GetStr(FullVersion::kTransactionId);
  keys["REVISIONID"] = version.GetStr(FullVersion::kRevisionId);
  keys["CUNUMBER"] = version.GetStr(FullVersion::kUPNumber);
  IFolderStruct* made = nullptr;
  const unsigned int rc =
      KQInstallCommonUtils::CreateFolderStructReader(&made, &log, hierarchy, keys, version, "/");
  if (rc != 0 || made == nullptr) {
    log.Debug(kTag, "Failed in initializing folder structure reader with error [%d]",
              static_cast<int>(rc));
    KQInstallCommonUtils::DestroyFolderStructReader(made);
    return false;
  }
  reader = made;
  return true;
}

bool CPatchInstallCommon::addSPToDelete(const FullVersion& version,
                                        std::vector<std::string>& folders,
                                        std::map<tRetrievalSide, IFolderStruct*>& sides,
                                        const std::string& cacheRoot, EvDebug& log) {
  static const char kTag[] = "addSPToDelete";
  IFolderStruct* reader = nullptr;
  if (!constructFSObject(version, reader, cacheRoot, log)) {
    log.Debug(kTag, "Failed to create folder struct object");
    return false;
  }
  const std::string folder =
      reader->GetPath(KQInstallCommonUtils::eKindFeatureReleaseMedia, "", AnyVersion(), 0);
  if (folder.empty()) {
    log.Debug(kTag, "No feature-release folder for [%s], nothing added to deletion list",
              version.formatted_str(FullVersion::kFormatSide).c_str());
  } else {
    log.Debug(kTag, "Adding folder [%s] to deletion list", folder.c_str());
    folders.push_back(folder);
  }
  log.Debug(kTag, "Adding all OSes of Side [%s] to DB removal list",
            version.formatted_str(FullVersion::kFormatSide).c_str());
  if (!AddAllSubOSesToDelete(version, reader, sides)) {
    log.DebugLvl(kTag, 8, "The folder struct object is not used by anyone, deleting it.");
    KQInstallCommonUtils::DestroyFolderStructReader(reader);
  }
  return true;
}

bool CPatchInstallCommon::AddAllSubOSesToDelete(const FullVersion& version, IFolderStruct* reader,
                                                std::map<tRetrievalSide, IFolderStruct*>& sides) {
  static const char kTag[] = "AddAllSubOSesToDelete";
  EvDebug log;
  if (reader == nullptr) {
    log.Debug(kTag, "Input folder struct object is empty, continuing");
    return false;
  }
  std::map<int, std::string> oses;
  GetAllSupportedOSesMap(oses);
  bool added = false;
  for (const auto& os : oses) {
    const std::string folder =
        reader->GetPath(KQInstallCommonUtils::eKindOSFolder, os.second, AnyVersion(), 0);
    if (folder.empty()) {
      log.Debug(kTag, "Cannot get sub OS binary folder of OS [%s], continuing", os.second.c_str());
      continue;
    }
    if (!IsFolderExisted(folder)) {
      log.DebugLvl(kTag, 8, "OS folder [%s] does not exist, continuing..", folder.c_str());
      continue;
    }
    tRetrievalSide side;
    side.osId = os.first;
    side.mediaVersion = version;
    const std::string text = version.formatted_str(FullVersion::kFormatFull);
    const char* osName = GetUpdateOSNameFromID(static_cast<unsigned int>(os.first), false);
    if (sides.emplace(side, reader).second) {
      log.Debug(kTag, "Adding Side [%s:%s] to DB removal list", text.c_str(), osName);
      added = true;
    } else {
      log.Debug(kTag, "Side [%s:%s] already exists in delete list, skipping it", text.c_str(),
                osName);
    }
  }
  return added;
}

bool CPatchInstallCommon::addCUToDelete(const tRetrievalSide& side,
                                        std::vector<std::string>& folders,
                                        std::map<tRetrievalSide, IFolderStruct*>& sides,
                                        const std::string& cacheRoot,
                                        const std::string& featureReleaseFolder, EvDebug& log) {
  static const char kTag[] = "addCUToDelete";
  const std::string cuFolder =
      featureReleaseFolder + "/CU" + side.mediaVersion.GetStr(FullVersion::kUPNumber);
  if (IsFolderExisted(cuFolder)) {
    log.Debug(kTag, "Adding CU folder [%s] to deletion list", cuFolder.c_str());
    folders.push_back(cuFolder);
  }
  IFolderStruct* reader = nullptr;
  if (!constructFSObject(side.mediaVersion, reader, cacheRoot, log)) {
    log.Debug(kTag, "Failed to create folder struct object");
    return false;
  }
  const std::string text = side.mediaVersion.formatted_str(FullVersion::kFormatFull);
  const char* osName = GetUpdateOSNameFromID(static_cast<unsigned int>(side.osId), false);
  if (sides.emplace(side, reader).second) {
    log.Debug(kTag, "Adding Side [%s:%s] to DB deletion list for CU", text.c_str(), osName);
  } else {
    log.Debug(kTag, "Current CU Side [%s:%s] is already in the DB deletion list", text.c_str(),
              osName);
    KQInstallCommonUtils::DestroyFolderStructReader(reader);
  }
  return true;
}

unsigned int CPatchInstallCommon::DeleteStaleFolders(std::vector<std::string>& folders) {
  static const char kTag[] = "DeleteStaleFolders";
  EvDebug log;
  unsigned int result = KQ_PATCH_OK;
  std::vector<std::string> failed;
  for (const std::string& folder : folders) {
    log.Debug(kTag, "Deleting folder [%s]", folder.c_str());
    std::string why;
    unsigned int rc;
    if (!CacheDeletionGuard::CheckDeletionFolder(folder, why)) {
      log.DebugLvl(kTag, 0, "Refused to delete folder [%s]: %s", folder.c_str(), why.c_str());
      rc = KQ_PATCH_E_INVALIDARG;
    } else {
      rc = DeleteDirectories(folder);
    }
    if (rc == KQ_PATCH_OK) {
      log.DebugLvl(kTag, 8, "Successfully deleted folder [%s]", folder.c_str());
      continue;
    }
    log.Debug(kTag, "Cannot delete folder [%s]", folder.c_str());
    failed.push_back(folder);
    if (result == KQ_PATCH_OK) result = rc;
  }
  folders.swap(failed);
  return result;
}

}  // namespace nPatchDownload
