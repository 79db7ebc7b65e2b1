// Readers of the Windows appliance configuration "KQApplianceConfig_Windows.xml": the plain one
// (every patch of the sub-operating systems in the Tessara) and the install-aware one (only
// what the install-client library of this machine says is missing).
#include <strings.h>

#include <list>
#include <memory>
#include <mutex>

#include "CacheFileListsLoadXml.h"
#include "PortableFiles/PxLibrary.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

using UpdatePatches::BinaryV11;
using UpdatePatches::KQApplianceFRSection;
using UpdatePatches::KQApplianceOSPatches;
using UpdatePatches::KQApplianceOSSection;
using UpdatePatches::KQApplianceSubOS;

const char kApplianceFolder[] = "KQAppliance";
// Every appliance patch of this configuration belongs to the Windows x64 side.
constexpr int kApplianceSideOS = 3;

typedef int (*GetWinOSVersionFn)(std::string& clientOSName, std::list<std::string>& updates);
typedef int (*GetSQLVersionFn)(std::string& sqlName, std::string& sqlVersion);

// The install-client library of this machine. One object per process, made and loaded by the
// first install-aware call (under the once flag, so that two jobs starting together load it
// once) and kept until the process ends. A failed load is not retried.
class InstallClient {
 public:
  static InstallClient& Get() {
    static InstallClient client;
    return client;
  }
  // Makes the object and loads the library when no call did so before. True when this call
  // did the load; *error then holds its result.
  bool LoadOnce(CPxError* error) {
    bool loadedHere = false;
    std::call_once(once_, [&] {
      library_.reset(new CPxLibrary());
      *error = library_->Load("KqInstallClient.dll");
      loadedHere = true;
    });
    return loadedHere;
  }
  // Sets *fn to the entry point; 0, or (logged) the error's code when it cannot be had.
  template <class Fn>
  unsigned int Resolve(const char* name, Fn* fn, EvDebug& log, const char* tag) const {
    CPxError e;
    *fn = reinterpret_cast<Fn>(library_->GetSymbol(name, &e));
    if (!e.IsError() && *fn != nullptr) return 0;
    log.Debug(tag, "Unable to obtain addres of %s with error: %s", name, e.c_str());
    return e.IsError() ? static_cast<unsigned int>(e.GetErrorCode()) : KQ_PATCH_E_INVALID_INPUT;
  }

 private:
  std::once_flag once_;
  std::unique_ptr<CPxLibrary> library_;
};

// The side every appliance file of this configuration goes to.
tRetrievalSide ApplianceSide(const FullVersion& version) {
  tRetrievalSide side;
  side.osId = kApplianceSideOS;
  side.mediaVersion = version;
  return side;
}

// Appends a copy of patch whose 7/19 is prefix + "/" + its own 7/19 to the pending list of
// candidates[side][applianceOSName]. A path that would leave the appliance folder (absolute,
// or with a ".." part) is logged and skipped: the retrieval writes the file at that path.
// The new 7/19 is returned in *path; false when the patch was skipped.
bool AppendCandidate(const CNMessageBase& patch, const std::string& prefix,
                     tApplianceCandidates& candidates, const tRetrievalSide& side,
                     const std::string& applianceOSName, EvDebug& log, const char* tag,
                     std::string* path) {
  const std::string& own = patch.getstringByRef(BinaryV11::kRelativePath);
  if (!kq::IsSafeRelativeName(own)) {
    log.Debug(tag, "Skipping patch file [%s] of [%s]: its path leaves the appliance folder",
              own.c_str(), applianceOSName.c_str());
    return false;
  }
  BinaryV11 copy(patch);
  *path = prefix + "/" + own;
  copy.setstring(BinaryV11::kRelativePath, *path);
  candidates[side][applianceOSName].pending.push_back(copy);
  return true;
}

// Appends every patch file of a feature-release section to the candidates of the appliance
// operating system. Always 1.
int fillFilesToList(bool listSet, const std::vector<CNMessageBase>* files,
                    const std::string& sectionName, const std::string& prefix,
                    tApplianceCandidates& candidates, const tRetrievalSide& side,
                    const std::string& applianceOSName, EvDebug& log) {
  static const char* kTag = "fillFilesToList";
  if (!listSet || files == nullptr) {
    log.DebugLvl(kTag, 8, "%s section is empty", sectionName.c_str());
    return 1;
  }
  for (const CNMessageBase& patch : *files) {
    std::string path;
    if (!AppendCandidate(patch, prefix, candidates, side, applianceOSName, log, kTag, &path)) {
      continue;
    }
    log.DebugLvl(kTag, 8, "Adding %s file [%s] of checksum [%s] to the [%s] list of [%s:%s]",
                 sectionName.c_str(), path.c_str(),
                 patch.getstringByRef(BinaryV11::kChecksum).c_str(), applianceOSName.c_str(),
                 side.mediaVersion.formatted_str(FullVersion::kFormatFull).c_str(),
                 CPatchInstallCommon::GetUpdateOSNameFromID(side.osId, false));
  }
  return 1;
}

// The operating-system sections of a configuration; null (logged) when there are none.
const std::vector<CNMessageBase>* OSSections(const KQApplianceOSPatches& config, EvDebug& log,
                                             const char* tag) {
  if (!config.isSet(KQApplianceOSPatches::kOSSections)) {
    log.Debug(tag, "Empty section in OSPatches");
    return nullptr;
  }
  const std::vector<CNMessageBase>* sections =
      config.getlistobject(KQApplianceOSPatches::kOSSections);
  if (sections->empty()) {
    log.Debug(tag, "Empty section in OSPatches");
    return nullptr;
  }
  return sections;
}

}  // namespace

unsigned int CSoftwareRetrieval::getPatchFilesList(const std::string& configPath,
                                                   const std::set<std::string>& windowsNames,
                                                   const std::set<std::string>& sqlNames,
                                                   tApplianceCandidates& candidates,
                                                   const FullVersion& version, EvDebug& log,
                                                   bool installAware) {
  static const char* kTag = "getPatchFilesList";
  KQApplianceOSPatches config;
  if (!loadXMLFromFile(configPath, config, log, kMaxConfigFileBytes)) {
    log.Debug(kTag, "Failed to load appliance config file [%s]", configPath.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  if (installAware) {
    return getPatchFilesListBasedOnOSUpdInstall(configPath, windowsNames, sqlNames, candidates,
                                                config, version, log);
  }
  return getPatchFilesListBasedOnOS(configPath, windowsNames, sqlNames, candidates, config,
                                    version, log);
}

unsigned int CSoftwareRetrieval::getPatchFilesListBasedOnOS(
    const std::string& /*configPath*/, const std::set<std::string>& windowsNames,
    const std::set<std::string>& sqlNames, tApplianceCandidates& candidates,
    KQApplianceOSPatches& config, const FullVersion& version, EvDebug& log) {
  static const char* kTag = "getPatchFilesListBasedOnOS";
  const std::vector<CNMessageBase>* sections = OSSections(config, log, kTag);
  if (sections == nullptr) return KQ_PATCH_OK;
  const tRetrievalSide side = ApplianceSide(version);

  for (const CNMessageBase& section : *sections) {
    if (!section.isSet(KQApplianceOSSection::kName)) {
      log.Debug(kTag, "OS name is not set, continuing");
      continue;
    }
    if (!section.isSet(KQApplianceOSSection::kSubOSSections)) {
      log.Debug(kTag, "Empty subOS section, continuing");
      continue;
    }
    const std::string& sectionName = section.getstringByRef(KQApplianceOSSection::kName);
    log.DebugLvl(kTag, 8, "Checking [%s] section", sectionName.c_str());
    const std::set<std::string>& names =
        strcasecmp(sectionName.c_str(), "Windows") == 0 ? windowsNames : sqlNames;
    for (const CNMessageBase& subOS :
         *section.getlistobject(KQApplianceOSSection::kSubOSSections)) {
      if (!subOS.isSet(KQApplianceSubOS::kName)) {
        log.Debug(kTag, "SubOS name is not set, continuing");
        continue;
      }
      if (!subOS.isSet(KQApplianceSubOS::kFeatureReleases)) {
        log.Debug(kTag, "feature release section is not set, continuing");
        continue;
      }
      const std::string& subOSName = subOS.getstringByRef(KQApplianceSubOS::kName);
      if (names.count(subOSName) == 0) {
        log.Debug(kTag, "SubOS [%s] is not installed in current Tessara, skipping it",
                  subOSName.c_str());
        continue;
      }
      for (const CNMessageBase& fr : *subOS.getlistobject(KQApplianceSubOS::kFeatureReleases)) {
        const bool set = fr.isSet(KQApplianceFRSection::kPatchFiles);
        fillFilesToList(set, set ? fr.getlistobject(KQApplianceFRSection::kPatchFiles) : nullptr,
                        "patchFile", kApplianceFolder, candidates, side, subOSName, log);
      }
    }
  }
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::getPatchFilesListBasedOnOSUpdInstall(
    const std::string& /*configPath*/, const std::set<std::string>& windowsNames,
    const std::set<std::string>& sqlNames, tApplianceCandidates& candidates,
    KQApplianceOSPatches& config, const FullVersion& version, EvDebug& log) {
  static const char* kTag = "getPatchFilesListBasedOnOSUpdInstall";
  bool windowsConsidered = !windowsNames.empty();
  const bool sqlConsidered = !sqlNames.empty();
  if (!windowsConsidered && !sqlConsidered) {
    log.Debug(kTag, "Install option is not enabled for SQL & Win OS.");
    return KQ_PATCH_OK;
  }

  InstallClient& client = InstallClient::Get();
  CPxError loadError;
  if (client.LoadOnce(&loadError)) {
    if (loadError.IsError()) {
      log.Debug(kTag, "Unable to load kqinstallclient with error: %s", loadError.c_str());
      return static_cast<unsigned int>(loadError.GetErrorCode());
    }
    log.Debug(kTag, "KqInstallClient is loaded");
  }

  std::string clientOSName;
  std::list<std::string> installedUpdates;
  if (windowsConsidered) {
    GetWinOSVersionFn fn = nullptr;
    const unsigned int resolved = client.Resolve("GetWinOSVersion", &fn, log, kTag);
    if (resolved != 0) return resolved;
    const int rc = fn(clientOSName, installedUpdates);
    if (rc == 1) {
      log.Debug(kTag, "OS update is NOT required");
      windowsConsidered = false;
    } else if (rc != 0) {
      log.Debug(kTag, "Failed to get Windows OS update info");
      return static_cast<unsigned int>(rc);
    }
  }
  std::string sqlName;
  std::string sqlVersion;
  if (sqlConsidered) {
    GetSQLVersionFn fn = nullptr;
    const unsigned int resolved = client.Resolve("GetSQLVersion", &fn, log, kTag);
    if (resolved != 0) return resolved;
    const int rc = fn(sqlName, sqlVersion);
    if (rc == 1) {
      // SQL updates stay considered: the installed version still filters the patches below.
      log.Debug(kTag, "SQL update is NOT required");
    } else if (rc != 0) {
      log.Debug(kTag, "Failed to get SQL update info");
      return static_cast<unsigned int>(rc);
    }
  }
  if (!windowsConsidered && !sqlConsidered) {
    log.Debug(kTag, "No need to get installed update info of SQL & Win OS.");
    return KQ_PATCH_OK;
  }

  const std::vector<CNMessageBase>* sections = OSSections(config, log, kTag);
  if (sections == nullptr) return KQ_PATCH_OK;
  const tRetrievalSide side = ApplianceSide(version);
  const std::string prefix = kApplianceFolder;

  for (const CNMessageBase& section : *sections) {
    if (!section.isSet(KQApplianceOSSection::kName)) {
      log.Debug(kTag, "OS name is not set, continuing");
      continue;
    }
    const std::string& sectionName = section.getstringByRef(KQApplianceOSSection::kName);
    const bool isWindows = sectionName == "Windows";
    const bool isSQL = sectionName == "MSSQL";
    if (isWindows && !windowsConsidered) {
      log.Debug(kTag, "[%s] is skipped as WinOS update is not required", sectionName.c_str());
      continue;
    }
    if (isSQL && !sqlConsidered) {
      log.Debug(kTag, "[%s] is skipped as SQL update is not required", sectionName.c_str());
      continue;
    }
    if (!section.isSet(KQApplianceOSSection::kSubOSSections)) {
      log.Debug(kTag, "Empty subOS section, continuing");
      continue;
    }
    log.DebugLvl(kTag, 8, "Checking [%s] section", sectionName.c_str());

    for (const CNMessageBase& subOS :
         *section.getlistobject(KQApplianceOSSection::kSubOSSections)) {
      if (!subOS.isSet(KQApplianceSubOS::kName)) {
        log.Debug(kTag, "SubOS name is not set, continuing");
        continue;
      }
      const std::string& subOSName = subOS.getstringByRef(KQApplianceSubOS::kName);
      if ((isWindows && subOSName != clientOSName) || (isSQL && subOSName != sqlName)) {
        log.Debug(kTag, "Windows SubOS name [%s] doesn't match client OS [%s], continuing",
                  subOSName.c_str(), isWindows ? clientOSName.c_str() : sqlName.c_str());
        continue;
      }
      if (!subOS.isSet(KQApplianceSubOS::kFeatureReleases)) {
        log.Debug(kTag, "feature release section is not set, continuing");
        continue;
      }
      for (const CNMessageBase& fr : *subOS.getlistobject(KQApplianceSubOS::kFeatureReleases)) {
        if (!fr.isSet(KQApplianceFRSection::kPatchFiles)) {
          log.Debug(kTag, "patch file list under [%s] is not set, continuing", subOSName.c_str());
          continue;
        }
        for (const CNMessageBase& patch : *fr.getlistobject(KQApplianceFRSection::kPatchFiles)) {
          if (!patch.isSet(BinaryV11::kFileName)) {
            log.Debug(kTag, "Patch name is not set, continuing");
            continue;
          }
          const std::string& patchName = patch.getstringByRef(BinaryV11::kFileName);
          if (isWindows) {
            bool installed = false;
            for (const std::string& u : installedUpdates) installed = installed || u == patchName;
            if (installed) continue;
          } else if (isSQL && compareSQLVersion(patchName, sqlVersion) <= 0) {
            continue;
          }
          std::string path;
          if (!AppendCandidate(patch, prefix, candidates, side, subOSName, log, kTag, &path)) {
            continue;
          }
          log.DebugLvl(kTag, 8,
                       "Adding j.getName() file [%s] of checksum [%s] to the [%s] list of [%s:%s]",
                       path.c_str(), patch.getstringByRef(BinaryV11::kChecksum).c_str(),
                       subOSName.c_str(),
                       side.mediaVersion.formatted_str(FullVersion::kFormatFull).c_str(),
                       CPatchInstallCommon::GetUpdateOSNameFromID(side.osId, false));
        }
      }
    }
  }
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
