// The download center's release information: the release-information file into the local cache
// and PatchSPVersion, the hotfix configuration into a temporary folder (for the pending-updates
// query), and one maintenance-release catalogue per service-pack level into PatchUPVersion.
//
// Paths on the download center are relative to the media access object's source roots; the
// release-information file comes from the download record (flagged fetch), the hotfix
// configuration and the catalogues from the hotfix-configuration record. Names taken from the
// database or the Hubnode's version (version name, build text, level names) become path
// components only when they are plain names.
#include <cctype>
#include <cstdlib>
#include <string>

#include "Configuration/KQGlobalParam.h"
#include "Configuration/KQPlatformInfo.h"
#include "Db/Proc/GetFtpServicePackInfo.h"
#include "Db/Proc/patchUpdateDVDInfo.h"
#include "Db/Tbl/PatchSPVersion.h"
#include "KQUpdates.h"
#include "Logging/EvDebug.h"
#include "MediaAccess/IMediaAccess.h"
#include "Messages/EVGui.h"
#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"
#include "PortableFiles/PxString.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchInstallCommon.h"

using nPatchDownload::CPatchInstallCommon;

namespace {

constexpr int kRow = 0;
constexpr int kNoRow = 100;
constexpr int kIsolation = 4;
// The release and build whose feature releases the download center describes (11.0.0 BUILD80).
constexpr int kCenterRelease = 16;
constexpr int kCenterBuild = 80;
// From this Feature Release on, the new layout names its catalogue and level folder differently.
constexpr int kFirstNewCatalogueRelease = 25;

const char kMediaFolder[] = "KQMedia";
const char kUpdatesFolder[] = "KQUpdates";
const char kOldReleaseInfo[] = "DVDInfo.xml";
const char kNewReleaseInfo[] = "FeatureReleasesInfo.xml";
const char kOldHotfixFile[] = "HotfixConfiguration.xml";
const char kNewHotfixFile[] = "UpdatesInfo.xml";
const char kOldCatalogue[] = "CUConfiguration.xml";
const char kNewCatalogue[] = "MaintenanceReleasesInfo.xml";

// One plain path component: not empty, no separator, no "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name.find_first_of("/\\") == std::string::npos &&
         kq::IsSafeRelativeName(name) && name != "." && name != "..";
}

// A service-pack level name: "SP" or nothing, decimal digits, at most one letter for the minor.
bool IsLevelName(const std::string& name) {
  size_t k = name.compare(0, 2, "SP") == 0 ? 2 : 0;
  const size_t digits = k;
  while (k < name.size() && std::isdigit(static_cast<unsigned char>(name[k]))) ++k;
  if (k == digits) return false;
  if (k < name.size() && std::isalpha(static_cast<unsigned char>(name[k]))) ++k;
  return k == name.size();
}

// The first kLogHeadBytes bytes of text for a log line, every byte outside printable ASCII (line
// ends, control characters, bytes above 126) and the backslash written as "\xNN"; "..." ends
// a text that was cut.
constexpr size_t kLogHeadBytes = 256;
std::string LogHead(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  const size_t n = text.size() < kLogHeadBytes ? text.size() : kLogHeadBytes;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  if (n < text.size()) out += "...";
  return out;
}

}  // namespace

bool KQUpdates::DownloadFilesFromServer(bool& configRetrieved, bool& populate,
                                        FullVersion& hnVersion, std::string& configXml,
                                        std::string& configPath, std::string& serverFolder,
                                        std::string& localFolder) {
  static const char kTag[] = "[DownloadFilesFromServer]";
  if (!OpenInternet()) {
    Log().Debug(kTag, "Failed to Open server connection");
    populate = false;
    return false;
  }
  bool result = true;
  configXml.clear();
  configPath.clear();
  if (CPatchInstallCommon::CreateDirectories(m_mediaAccess->GetMediaConfiguration().GetLocalCache()) !=
      0) {
    Log().Debug(kTag, "Failed to create Software Cache directory");
    result = false;
  } else {
    if (!GetFTPInfoFiles(false, populate)) {
      Log().Debug(kTag, "Failed to download DVDInfo file.");
      result = false;
    }
    if (!GetLatestUploadsInfoFile(configRetrieved, hnVersion, configXml, configPath, serverFolder,
                                  localFolder)) {
      Log().Debug(kTag, "No HotfixConfiguration file is found on downloadcenter or cannot "
                        "download configuartion XML file.");
      result = false;
    }
  }
  // The connection is closed on every way out, also when the cache folder cannot be made.
  CloseInternet();
  return result;
}

bool KQUpdates::OpenInternet() {
  static const char kTag[] = "[OpenInternet]";
  if (m_mediaAccess == nullptr) {
    Log().Debug(kTag, "Media access object is empty");
    return false;
  }
  const unsigned int rc = m_mediaAccess->Open();
  if (rc != 0) {
    Log().Debug(kTag, "Failed in Open FTP connection with error code [%d], error string [%s]",
                static_cast<int>(rc), m_mediaAccess->GetLastErrorString().c_str());
    return false;
  }
  Log().Debug(kTag, "InternetConnect successful ...");
  return true;
}

bool KQUpdates::CloseInternet() {
  if (m_mediaAccess != nullptr) m_mediaAccess->Close();
  return true;
}

bool KQUpdates::GetFTPInfoFiles(bool newFormat, bool& populate) {
  static const char kTag[] = "[GetFTPInfoFiles]";
  if (m_mediaAccess == nullptr) {
    Log().Debug(kTag, "Media access object is empty");
    populate = false;
    return false;
  }
  const std::string name = newFormat ? kNewReleaseInfo : kOldReleaseInfo;
  const std::string source = std::string(kMediaFolder) + "/" + name;
  const std::string local = m_mediaAccess->GetMediaConfiguration().GetLocalCache() + "/" + name;
  m_dvdInfoFile = local;
  Log().DebugLvl(kTag, 1, "Source path computed for DVDInfo as [%s] [%s] ", source.c_str(),
                 local.c_str());
  if (!DownloadFileFromServer(source, local)) {
    populate = false;
  } else if (newFormat) {
    Log().Debug(kTag, "Found new format config file at [%s]", local.c_str());
    m_visibilityLevel = 0;
    std::string value;
    if (KQGlobalParam().get("Patch Visibility Level", value)) {
      m_visibilityLevel = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
      Log().Debug(kTag, "Local visibility flag is set to [0x%x]",
                  static_cast<unsigned>(m_visibilityLevel));
    }
  }
  return populate;
}

bool KQUpdates::DownloadFileFromServer(const std::string& source, const std::string& local) {
  static const char kTag[] = "[DownloadFileFromServer]";
  if (m_mediaAccess == nullptr) {
    Log().Debug(kTag, "Media access object is empty");
    return false;
  }
  const unsigned int rc = m_mediaAccess->GetFile(source, local, 0);
  if (rc != 0) {
    Log().Debug(kTag, "Cannot download file [%s] to [%s]: error code [%d], error string [%s]",
                source.c_str(), local.c_str(), static_cast<int>(rc),
                m_mediaAccess->GetLastErrorString().c_str());
    return false;
  }
  return true;
}

bool KQUpdates::PopulateFTPSPInfoTable() { return UpdateSPInfoFromXML(); }

bool KQUpdates::UpdateSPInfoFromXML() {
  static const char kTag[] = "UpdateSPInfoFromXML";
  std::string text;
  const unsigned int read = CPatchInstallCommon::ReadWholeFile(
      m_dvdInfoFile, text, CPatchInstallCommon::kMaxReleaseInfoFileBytes);
  if (read != 0) {
    Log().DebugLvl(kTag, 1, "Failed to open DVDInfo.xml file [%s] with error code [%d]",
                   m_dvdInfoFile.c_str(), static_cast<int>(read));
    return false;
  }
  int allowPrivate = 0;
  int value = 0;
  if (KQPlatformInfo().getNumber("UpdateFlags", "bDownloadPrivateBuild", value) && value != 0) {
    Log().Debug(kTag,
                "Registry key [%s\\%s] is set to [%u], allowing downloading private build DVDs.",
                "UpdateFlags", "bDownloadPrivateBuild", static_cast<unsigned>(value));
    allowPrivate = 1;
  }
  PatchUpdateDVDInfo record(nullptr);
  record.setValues(text.c_str(), m_visibilityLevel >= 0 ? 1 : 0, allowPrivate);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc != kRow && rc != kNoRow) {
    Log().DebugLvl(kTag, 1, "Failed to update DVDInfo in DB with error [%d:%s]", rc,
                   DBtable::getErrorStr(rc));
    // The file came from the download center: only its size and a short head go to the log.
    Log().DebugLvl(kTag, 1, "DVDInfo.xml file [%s] holds [%llu] bytes", m_dvdInfoFile.c_str(),
                   CPatchInstallCommon::GetFileSize(m_dvdInfoFile));
    Log().DebugLvl(kTag, 1, "XML Content of DVDInfo.xml is %s", LogHead(text).c_str());
    return false;
  }
  return true;
}

bool KQUpdates::GetLatestUploadsInfoFile(bool& configRetrieved, FullVersion& hnVersion,
                                         std::string& configXml, std::string& configPath,
                                         std::string& serverFolder, std::string& localFolder) {
  static const char kTag[] = "[GetLatestUploadsInfoFile]";
  Log().DebugLvl(kTag, 1, "Hubnode version: [%d], Build No: [%s]", m_hnVersion, m_hnBuild.c_str());
  // Both become folder names on the download center and nothing else may.
  if (!IsPlainName(m_hnVersionName) || !IsPlainName(m_hnBuild)) {
    Log().Debug(kTag, "Hubnode version name [%s] or build [%s] is empty or not a plain folder "
                      "name, not downloading the hotfix configuration.",
                m_hnVersionName.c_str(), m_hnBuild.c_str());
    return false;
  }
  serverFolder = CPxString::Format("{1}/{2}/{3}", kUpdatesFolder, m_hnVersionName, m_hnBuild).str();
  Log().DebugLvl(kTag, 10, "Server source path computed as [%s]", serverFolder.c_str());

  const bool newLayout = m_visibilityLevel >= 0;
  std::string source;
  if (!newLayout) {
    source = hnVersion.Get(FullVersion::kSPMinor) != 0
                 ? serverFolder + "/" + kOldHotfixFile
                 : serverFolder + "/" + hnVersion.formatted_str(FullVersion::kFormatSPName) +
                       "/" + kOldHotfixFile;
  } else {
    int transId = 0, revId = 0;
    if (!getLatestDVDDetails(kCenterRelease, kCenterBuild, hnVersion.Get(FullVersion::kSPMajor),
                             hnVersion.Get(FullVersion::kSPMinor), transId, revId)) {
      Log().Debug(kTag, "Cannot get detailed DVD info for Hubnode installed FR.");
      return false;
    }
    source = serverFolder + "/" +
             CPxString::Format("SP{1}_{2}_R{3}", hnVersion.Get(FullVersion::kSPMajor), transId,
                               revId)
                 .str() +
             "/" + kNewHotfixFile;
  }

  std::string folder;
  if (CPatchInstallCommon::CreateTempFolder("DownloadConfiguration", folder, Log(), true) != 0 ||
      folder.empty()) {
    Log().Debug(kTag, "Failed to create local temp config folder [%s] for hotfixConfiguration "
                      "download.",
                source.c_str());
    return false;
  }
  localFolder = folder;
  const std::string localFile = folder + "/" + (newLayout ? kNewHotfixFile : kOldHotfixFile);
  Log().Debug(kTag, "Now downloading [%s] from download center", source.c_str());
  bool exists = false;
  if (!retrieveConfigXML(localFile, source, exists, configXml, true)) {
    Log().DebugLvl(kTag, 1, "Failed to download/retrieve hotfix configuration file from server");
    return false;
  }
  if (!exists) {
    Log().Debug(kTag, "Configuration XML file does not exist on server or the download failed.");
    return false;
  }
  configPath = localFile;
  configRetrieved = true;
  return true;
}

bool KQUpdates::retrieveConfigXML(const std::string& localPath, const std::string& sourcePath,
                                  bool& exists, std::string& xml, bool reload) {
  static const char kTag[] = "retrieveConfigXML";
  xml.clear();
  if (localPath.empty()) {
    Log().Debug(kTag, "Input local file name is empty.");
    return false;
  }
  if (sourcePath.empty()) {
    Log().Debug(kTag, "Input source file name [%s] is invalid.", sourcePath.c_str());
    return false;
  }
  if (m_mediaAccess == nullptr) {
    Log().Debug(kTag, "Media access object is empty");
    return false;
  }
  const std::string key = ToLowerCase(sourcePath.c_str());
  KqCriticalSectionLock lock(&m_configLock);
  if (reload) {
    m_configCacheKey.clear();
    m_configCache.clear();
  }
  if (key == m_configCacheKey) {
    Log().DebugLvl(kTag, 2,
                   m_configCache.empty() ? "Config file at [%s] is already loaded but is empty"
                                         : "Config file at [%s] is already loaded and not empty",
                   sourcePath.c_str());
    exists = true;
    return true;
  }
  Log().DebugLvl(kTag, 2, "Reload config file [%s]", sourcePath.c_str());
  m_configCacheKey.clear();
  m_configCache.clear();
  if (m_mediaAccess->GetFile(sourcePath, localPath) != 0) {
    Log().Debug(kTag, "Failed to download config file from [%s].", sourcePath.c_str());
    return false;
  }
  if (!CPatchInstallCommon::IsFileExisted(localPath)) {
    Log().Debug(kTag, "Failed to access local config file [%s]", localPath.c_str());
    return false;
  }
  exists = true;
  const unsigned int read = CPatchInstallCommon::ReadWholeFile(
      localPath, xml, CPatchInstallCommon::kMaxHotfixConfigFileBytes);
  if (read != 0) {
    xml.clear();
    Log().Debug(kTag, "Failed to load file [%s] with error [%d]", localPath.c_str(),
                static_cast<int>(read));
    return false;
  }
  std::string flat;
  flat.reserve(xml.size());
  for (char c : xml)
    if (c != '\n' && c != '\r') flat.push_back(c);
  xml.swap(flat);
  Log().DebugLvl(kTag, 10, "Successfully retrieved XML file content.");
  return true;
}

bool KQUpdates::getLatestDVDDetails(int releaseId, int build, int spMajor, int spMinor,
                                    int& transactionId, int& revisionId) {
  static const char kTag[] = "getLatestDVDDetails";
  PatchSPVersion record(nullptr);
  record.setWhere("Release=%d AND Build=%d AND SPMajor=%d AND SPMinor=%d AND nCacheFlags=%d",
                  releaseId, build, spMajor, spMinor, 1);
  record.setOrderBy("TransactionId DESC, RevisionId DESC");
  record.setTop(1);
  record.setIsolationType(kIsolation);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc != kRow) {
    Log().Debug(kTag, "No valid data contains Rel [%d], Build [%d], FRMajor [%d] and FRMinor [%d] "
                      "with correct cache flag",
                releaseId, build, spMajor, spMinor);
    return false;
  }
  const PatchSPVersion_t* row = record.getDataPtr();
  if (row == nullptr) {
    Log().Debug(kTag, "Empty data retrieved");
    return false;
  }
  if (row->TransactionID == 0 || row->RevisionID == 0) {
    Log().Debug(kTag, "Invalid entry for FR [%d]: TransactionId [%d] and RevisionId [%d]", spMajor,
                row->TransactionID, row->RevisionID);
    return false;
  }
  transactionId = row->TransactionID;
  revisionId = row->RevisionID;
  return true;
}

bool KQUpdates::PopulateCUInfoTable(FullVersion& hnVersion, const std::string& serverFolder,
                                    const std::string& localFolder) {
  static const char kTag[] = "PopulateCUInfoTable";
  if (serverFolder.empty() || localFolder.empty()) {
    Log().Debug(kTag, "Either download center folder [%s] or local folder [%s] is empty, skipping "
                      "populating CU info",
                serverFolder.c_str(), localFolder.c_str());
    return false;
  }
  EVGui::GetFTPServicePackInfoReq request;
  request.setstring(EVGui::GetFTPServicePackInfoReq::kField1,
                    CPxString::Format("{1}.0.0", CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(
                                                     kCenterRelease))
                        .str());
  std::string input;
  if (XMLEncoder::serialize(request, input) != 0) {
    Log().Debug(kTag, "Failed to serialize XML");
    return false;
  }
  Log().DebugLvl(kTag, 10, "Input XML is [%s]", input.c_str());

  std::string output;
  {
    GetFtpServicePackInfo record(nullptr);
    record.setIsolationType(kIsolation);
    record.setValues(input.c_str());
    const int rc = getOneRow(&record, false, -1, 0);
    if (rc != kRow && rc != kNoRow) {
      Log().Debug(kTag, "Failed to query database with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
      return false;
    }
    const GetFtpServicePackInfo_t* row = record.getDataPtr();
    if (rc == kNoRow || row == nullptr || row->r_ReturnResult == nullptr ||
        row->r_ReturnResult[0] == '\0') {
      Log().Debug(kTag, "Empty data pointer retrieved");
      return false;
    }
    output = row->r_ReturnResult;
  }
  EVGui::RegisterSubsystem();
  EVGui::GetFTPServicePackInfoResp response;
  if (XMLDecoder::unSerialize(response, output) != 0) {
    Log().Debug(kTag, "Failed to unserialize XML [%s]", output.c_str());
    return false;
  }
  Log().DebugLvl(kTag, 10, "Output XML is [%s]", output.c_str());

  std::set<std::string> names = {hnVersion.formatted_str(FullVersion::kFormatSPName)};
  const CNMessageBase& read = response;
  if (!read.isSet(EVGui::GetFTPServicePackInfoResp::kSPCUInfos)) {
    Log().Debug(kTag, "SPCUList section is empty, only checking for Hubnode level [%s]",
                names.begin()->c_str());
  } else {
    for (const CNMessageBase& info :
         *read.getlistobject(EVGui::GetFTPServicePackInfoResp::kSPCUInfos)) {
      if (!info.isSet(EVGui::SPCUInfo::kName) || info.getstring(EVGui::SPCUInfo::kName).empty()) {
        Log().Debug(kTag, "SPName section is not set, continuing");
        continue;
      }
      const std::string name = info.getstring(EVGui::SPCUInfo::kName);
      names.insert(name);
      Log().DebugLvl(kTag, 10, "Inserting [%s] into spName list", name.c_str());
    }
  }
  return DownloadAndUpdateDBForCU(names, serverFolder, localFolder);
}

bool KQUpdates::DownloadAndUpdateDBForCU(const std::set<std::string>& levelNames,
                                         const std::string& serverFolder,
                                         const std::string& localFolder) {
  static const char kTag[] = "DownloadAndUpdateDBForCU";
  if (levelNames.empty() || serverFolder.empty()) {
    Log().Debug(kTag, "Empty input param [%llu], [%llu] detected.",
                static_cast<unsigned long long>(levelNames.size()),
                static_cast<unsigned long long>(serverFolder.size()));
    return false;
  }
  if (m_mediaAccess == nullptr) {
    Log().Debug(kTag, "Media access object is empty");
    return false;
  }
  nPatchDownload::CPatchDebug events;
  int status = 0;
  nPatchDownload::CPatchDataManagerHN dataManager(events, status);
  if (status != 0) {
    Log().Debug(kTag, "Failed to create patch data manager object with error [%d]", status);
    return false;
  }
  const bool newLayout = m_visibilityLevel >= 0;
  bool result = true;
  for (const std::string& name : levelNames) {
    // The name becomes a folder on the download center and under the local folder.
    if (!IsLevelName(name)) {
      Log().Debug(kTag, "Level name [%s] is not a service-pack level, skipping it", name.c_str());
      continue;
    }
    const bool prefixed = name.compare(0, 2, "SP") == 0;
    const std::string level = prefixed ? name : "SP" + name;
    // Automatic base, as the level names were always read: "SP010" is 8.
    const int featureRelease =
        static_cast<int>(std::strtol(name.c_str() + (prefixed ? 2 : 0), nullptr, 0));

    std::string levelFolder = level;
    std::string catalogue = kOldCatalogue;
    if (newLayout && featureRelease >= kFirstNewCatalogueRelease) {
      Log().Debug(kTag, "Use new info file for Maintenance Release for FR [%d]", featureRelease);
      catalogue = kNewCatalogue;
      int transId = 0, revId = 0;
      if (!getLatestDVDDetails(kCenterRelease, kCenterBuild, featureRelease, 0, transId, revId)) {
        Log().Debug(kTag, "Cannot get DVD details for FR [%d], continuing", featureRelease);
        continue;
      }
      levelFolder = CPxString::Format("SP{1}_{2}_R{3}", featureRelease, transId, revId).str();
      Log().DebugLvl(kTag, 2, "Complete folder retrieved is [%s] for FR [%d]",
                     levelFolder.c_str(), featureRelease);
    }
    const std::string source = serverFolder + "/" + levelFolder + "/" + catalogue;
    const std::string local = localFolder + "/" + levelFolder + "/" + catalogue;
    Log().DebugLvl(kTag, 10, "Starting to download file [%s] to [%s]", source.c_str(),
                   local.c_str());
    if (m_mediaAccess->GetFile(source, local) != 0) {
      Log().Debug(kTag, "Cannot download CUConfig file [%s] to [%s], continuing", source.c_str(),
                  local.c_str());
      continue;
    }
    Log().DebugLvl(kTag, 10, "Successfully downloaded [%s] to [%s]", source.c_str(),
                   local.c_str());
    std::string text;
    const unsigned int read =
        CPatchInstallCommon::ReadWholeFile(local, text, nPatchDownload::kMaxCatalogueFileBytes);
    if (read != 0) {
      Log().Debug(kTag, "Cannot open file [%s] with error [%d], continuing", local.c_str(),
                  static_cast<int>(read));
      continue;
    }
    UpdatePatches::RegisterSubsystem();
    UpdatePatches::AvailableCumulativeUpdatePacks packs;
    if (XMLDecoder::unSerialize(packs, text) != 0) {
      Log().Debug(kTag, "Cannot unserialize cumulative updatepack configuration XML for [%s].",
                  local.c_str());
      continue;
    }
    if (dataManager.UpdateTableWithCU(text, newLayout) != 0) {
      Log().Debug(kTag, "Failed to update CU info using XML [%s]", text.c_str());
      result = false;
      break;
    }
  }
  return result;
}
