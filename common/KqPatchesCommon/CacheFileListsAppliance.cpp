// Appliance file lists: the Hubnode's lists of what a remote cache must hold (Unix and Windows
// halves and their dispatcher) and a remote cache's list of what it holds.
#include "CacheFileListsAppliance.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <set>
#include <unordered_set>

#include "CacheFileListsLoadXml.h"
#include "FileSystemUtils.h"
#include "InstallUtils/KQInstallCommonUtils.h"
#include "KQUpdateCache.h"
#include "Logging/EvDebug.h"
#include "Messages/MessageXml.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "StringUtils.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"

using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::KQApplianceMainOSType;
using UpdatePatches::KQApplianceOSInfo;
using UpdatePatches::KQApplianceOSInfoList;

namespace {

const char kApplianceName[] = "KQAppliance";
const char kUnixConfig[] = "KQApplianceConfig_Unix.xml";
const char kWindowsConfig[] = "KQApplianceConfig_Windows.xml";
const char kMiniConfigPrefix[] = "KQApplianceMiniConfig_";
// The most of a configuration's text that goes into a log line (it may be as long as the cap
// on configuration files).
constexpr size_t kMaxLoggedConfigTextBytes = 512;
// Listed for the Windows configuration when its own CRC cannot be computed.
constexpr unsigned long kUnreadableConfigChecksum = 4660;  // 0x1234

File MakeFile(const std::string& name, const std::string& checksum) {
  File f;
  f.setstring(File::kName, name);
  f.setstring(File::kChecksum, checksum);
  return f;
}

// The checksum text a list carries for a configuration's checksum: the unsigned number it
// holds (decimal, "0x" hexadecimal or octal with a leading zero) in decimal. A text that is not
// wholly such a number (empty, a sign, blanks, junk, too large) is logged and kept as it
// stands: a "0" would read as a mismatch with every copy the remote cache holds.
std::string ListedChecksum(const std::string& raw, const std::string& name, EvDebug& log,
                           const char* tag) {
  if (!raw.empty() && std::isdigit(static_cast<unsigned char>(raw[0]))) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(raw.c_str(), &end, 0);
    if (errno == 0 && end != nullptr && *end == '\0') return std::to_string(value);
  }
  log.Debug(tag, "Checksum [%s] of file [%s] is not a number, listing it as it stands",
            raw.c_str(), name.c_str());
  return raw;
}

// CRC-32 of a file in the plain form; 0 on success.
unsigned int PlainCrc(const std::string& path, unsigned long& crc, EvDebug& log) {
  nPatchDownload::CPatchDebug events(log);
  return nPatchDownload::CPatchInstallCommon::CalculateCRC(true, path, crc, events);
}

// "KQAppliance" + what follows the first occurrence of folder in path, with '\' separators;
// false when folder does not occur in path.
bool ListedNameBelow(const std::string& folder, const std::string& path, std::string& name) {
  const size_t at = path.find(folder);
  if (folder.empty() || at == std::string::npos) return false;
  name = kApplianceName + path.substr(at + folder.size());
  WinPath(name);
  return true;
}

// The remote cache's own Unix configuration in the appliance folder, and its repodata archive.
bool retrieveMiniConfigFile(const std::string& applianceFolder,
                            const std::string& remoteCacheName, const FullVersion& /*version*/,
                            std::string& configPath, std::string& archivePath, bool& /*flag*/,
                            EvDebug& log) {
  static const char* kTag = "retrieveMiniConfigFile";
  const std::string prefix = kMiniConfigPrefix + remoteCacheName + "_-_";
  const std::string suffix = ".xml";
  log.DebugLvl(kTag, 8, "Browsing folder [%s]", applianceFolder.c_str());
  CPxDirectory dir;
  CPxError e = dir.Open(applianceFolder, "*", true);
  if (e.IsError()) {
    log.Debug(kTag, "Cannot open folder [%s] with error [%s], continuing", applianceFolder.c_str(),
              e.c_str());
    return false;
  }
  SPxDirEntry entry;
  bool end = false;
  bool found = false;
  for (e = dir.GetEntry(entry, &end); !e.IsError() && !end && !found;
       e = dir.GetEntry(entry, &end)) {
    const std::string& name = entry.name;
    const std::string full = applianceFolder + "/" + name;
    SPxFileStat info;
    CPxError st = CPxFile::Stat(full, info);
    if (st.IsError()) {
      // A dangling link or an entry removed meanwhile: the rest of the folder is still searched.
      log.Debug(kTag, "Cannot stat on [%s] with error [%s], continuing", full.c_str(), st.c_str());
      continue;
    }
    if (!info.IsRegular()) continue;
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      log.DebugLvl(kTag, 2, "Skipping file [%s]", name.c_str());
      continue;
    }
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    log.Debug(kTag, "Found mini config file [%s], try retrieving the repodata", full.c_str());
    const std::string repodata =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    log.Debug(kTag, "Repodata string is [%s] for Remote Cache [%s]", repodata.c_str(),
              remoteCacheName.c_str());
    configPath = full;
    archivePath = applianceFolder + "/Unix/" + repodata + ".tar";
    UnixPath(configPath);
    UnixPath(archivePath);
    found = true;
  }
  if (e.IsError()) {
    log.Debug(kTag, "Cannot get entry on [%s] with error [%s], continuing",
              applianceFolder.c_str(), e.c_str());
  }
  return found;
}

// Appends the CRC entry of one Unix appliance file (configuration or archive) below folder.
bool AppendUnixCrcEntry(const std::string& folder, const std::string& path,
                        const std::string& shownName, std::vector<File>& files, EvDebug& log,
                        bool isConfig) {
  static const char* kTag = "[ExtractUnixOSApplPatchesFromCache]";
  unsigned long crc = 0;
  if (PlainCrc(path, crc, log) != 0) {
    if (isConfig) {
      log.DebugLvl(kTag, 0, "Unable to find checksum of file [%s/%s] ", folder.c_str(),
                   shownName.c_str());
    } else {
      log.DebugLvl(kTag, 0, "Unable to find checksum of  file [%s/%s] at path [%s] ", "Unix",
                   "repodata.tar", folder.c_str());
    }
    return false;
  }
  std::string name;
  if (!ListedNameBelow(folder, path, name)) {
    log.Debug(kTag, isConfig ? "Cannot find valid appliance config path from [%s]"
                             : "Cannot find valid appliance repodata path from [%s]",
              path.c_str());
    return false;
  }
  const std::string checksum = std::to_string(static_cast<unsigned long long>(crc));
  log.DebugLvl(kTag, 2, "Windows checksum: Calculated=[%lld] Converted=[%s]",
               static_cast<long long>(crc), checksum.c_str());
  files.push_back(MakeFile(name, checksum));
  if (isConfig) {
    log.DebugLvl(kTag, 2,
                 "Added file [%s] to the list of UNIX appliance files present at [%s] with "
                 "checksum [%s]",
                 shownName.c_str(), folder.c_str(), checksum.c_str());
  } else {
    log.DebugLvl(kTag, 2,
                 "Added file [%s/%s] to the list of UNIX appliance files present at [%s] with "
                 "checksum [%s]",
                 "Unix", "repodata.tar", folder.c_str(), checksum.c_str());
  }
  return true;
}

}  // namespace

int loadKQApplianceConfigFile(const std::string& path, std::string& content) {
  static const char* kTag = "loadKQApplianceConfigFile";
  EvDebug log;
  CPxFile file;
  // Regular files only: a FIFO or device put in the configuration's place is refused at once,
  // never waited on. The size is judged below, before anything is allocated for it.
  CPxError e = file.OpenRegular(path, UINT64_MAX);
  if (e.IsError()) {
    log.DebugLvl(kTag, 0, "Cannot to open file [%s] with error [%d:%s]", path.c_str(),
                 e.GetErrorCode(), e.c_str());
    return 1;
  }
  int64_t size = 0;
  e = file.Seek(0, CPxFile::kEnd, &size);
  if (e.IsError()) {
    log.Debug(kTag, "Failed to seek file [%s] with error [%d: %s]", path.c_str(), e.GetErrorCode(),
              e.c_str());
    return 1;
  }
  log.DebugLvl(kTag, 2, "Current file [%s] size is [%lld] [%u]", path.c_str(),
               static_cast<long long>(size), static_cast<unsigned>(size));
  e = file.Seek(0, CPxFile::kBegin);
  if (e.IsError()) {
    log.Debug(kTag, "Failed to rewind file [%s] with error [%d: %s]", path.c_str(),
              e.GetErrorCode(), e.c_str());
    return 1;
  }
  // A file above the cap of a configuration file is not given the memory it asks for.
  std::string text;
  bool allocated = size >= 0 && static_cast<uint64_t>(size) <= nPatchDownload::kMaxConfigFileBytes;
  if (allocated) {
    try {
      text.assign(static_cast<size_t>(size) + 1, '\0');
    } catch (const std::bad_alloc&) {
      allocated = false;
    }
  }
  if (!allocated) {
    log.Debug(kTag, "Failed to allocate memory for reading XML file.");
    return 1;
  }
  // The bytes the size promised (a file that shrank meanwhile gives what it still holds).
  size_t got = 0;
  while (got < static_cast<size_t>(size)) {
    size_t n = 0;
    e = file.Read(&text[got], static_cast<size_t>(size) - got, &n);
    if (e.IsError()) {
      log.Debug(kTag, "Failed to read file [%s] with error [%d: %s]", path.c_str(),
                e.GetErrorCode(), e.c_str());
      return 1;
    }
    if (n == 0) break;
    got += n;
  }
  // The text ends at its first zero byte, as a terminated buffer would read.
  content.assign(text.c_str());
  return 0;
}

bool ExtractUnixOSApplPatchesFromCache(std::string applianceFolder, KQApplianceOSInfo /*osInfo*/,
                                       const std::string& remoteCacheName,
                                       const FullVersion& version, std::vector<File>& files) {
  static const char* kTag = "[ExtractUnixOSApplPatchesFromCache]";
  EvDebug log;
  UnixPath(applianceFolder);
  std::string configPath = applianceFolder + "/" + kUnixConfig;
  std::string archivePath = applianceFolder + "/Unix/repodata.tar";

  bool flag = false;
  if (retrieveMiniConfigFile(applianceFolder, remoteCacheName, version, configPath, archivePath,
                             flag, log)) {
    log.Debug(kTag, "Found mini config file path [%s] and repodata path [%s] for Remote Cache [%s]",
              configPath.c_str(), archivePath.c_str(), remoteCacheName.c_str());
  } else {
    log.Debug(kTag, "Not found mini config file path for Remote Cache [%s], will use old one.",
              remoteCacheName.c_str());
  }
  for (const std::string* path : {&configPath, &archivePath}) {
    if (KQInstallCommonUtils::KQInstallAccess(*path, 0) != 0) {
      log.DebugLvl(kTag, 1,
                   "Cannot calculate UNIX appliance OS pacthes as configuration file [%s] does "
                   "not exists",
                   path->c_str());
      return true;
    }
  }

  log.DebugLvl(kTag, 1, "Finding UNIX appliance OS pacthes from configutration file [%s]",
               configPath.c_str());
  std::string text;
  if (loadKQApplianceConfigFile(configPath, text) != 0) {
    log.DebugLvl(kTag, 0, "Unable to load appliance config file [%s]", configPath.c_str());
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  if (XMLDecoder::initialize() != 0) {
    log.Debug(kTag, "Failed to initialize XMLDecoder");
    return false;
  }
  UpdatePatches::UnixKQApplianceOSPatches config;
  const int rc = XMLDecoder::unSerialize(config, text, nullptr);
  // Shown in brief: its head, size and (once read) entry count. A line that gets no memory is
  // left out.
  try {
    const std::string head = text.substr(0, kMaxLoggedConfigTextBytes);
    if (rc != 0) {
      log.Debug(kTag, "Failed to unserialize XML file [%s] (%zu bytes) with error code [%d]",
                head.c_str(), text.size(), rc);
    } else if (log.GetDebugLevel() >= 10) {
      const UpdatePatches::UnixKQApplianceOSPatches& read = config;
      log.DebugLvl(kTag, 10, "XML File = %s (%zu entries, %zu bytes)", head.c_str(),
                   read.getlistobject(UpdatePatches::UnixKQApplianceOSPatches::kOSList)->size(),
                   text.size());
    }
  } catch (const std::bad_alloc&) {
  }
  if (rc != 0) return false;

  // The files present below "Unix", named from the appliance folder ("Unix/...").
  std::vector<std::string> local;
  if (!GetAllFilesInDir(applianceFolder, "Unix", local, true)) {
    log.DebugLvl(kTag, 0, "Failed to get the list of files present at [%s]",
                 (applianceFolder + "/Unix").c_str());
    local.clear();
  }
  if (!local.empty() && log.GetDebugLevel() >= 10) {
    log.DebugLvl(kTag, 1, "Local cache appliance files size = [%zu]", local.size());
    log.DebugLvl(kTag, 1, "The list of appliance files in cache");
    for (size_t i = 0; i < local.size(); ++i)
      log.DebugLvl(kTag, 1, "[%d] -> [%s]", static_cast<int>(i + 1), local[i].c_str());
  }
  std::unordered_set<std::string> present;
  for (std::string& name : local) {
    UnixPath(name);
    present.insert(std::move(name));
  }

  const std::vector<CNMessageBase>* entries =
      config.getlistobject(UpdatePatches::UnixKQApplianceOSPatches::kOSList);
  for (const CNMessageBase& os : *entries) {
    using UpdatePatches::KQApplianceUnixOSInfo;
    const std::string& osName = os.getstringByRef(KQApplianceUnixOSInfo::kName);
    if (osName.empty() || !os.isSet(KQApplianceUnixOSInfo::kBinaries)) continue;
    log.DebugLvl(kTag, 2, "Processing files for appliance OS [%s]", osName.c_str());
    for (const CNMessageBase& bin : *os.getlistobject(KQApplianceUnixOSInfo::kBinaries)) {
      std::string relative = bin.getstring(BinaryV11::kRelativePath);
      if (relative.empty()) continue;
      std::string listed = std::string(kApplianceName) + "/" + relative;
      WinPath(listed);
      UnixPath(relative);
      if (present.count(relative) == 0) {
        log.DebugLvl(kTag, 10, "Not adding file [%s] to the list of UNIX appliance files",
                     listed.c_str());
        continue;
      }
      files.push_back(MakeFile(
          listed, ListedChecksum(bin.getstringByRef(BinaryV11::kChecksum), listed, log, kTag)));
      log.DebugLvl(kTag, 2, "Added file [%s] to the list of UNIX appliance files", listed.c_str());
    }
  }

  if (!AppendUnixCrcEntry(applianceFolder, configPath, kUnixConfig, files, log, true)) return false;
  return AppendUnixCrcEntry(applianceFolder, archivePath, "repodata.tar", files, log, false);
}

bool ExtractWinOSApplPatchesFromCache(std::string applianceFolder, KQApplianceOSInfo osInfo,
                                      const FullVersion& version, std::vector<File>& files) {
  static const char* kTag = "ExtractWinOSApplPatchesFromCache";
  EvDebug log;
  const std::string configPath = applianceFolder + "/" + kWindowsConfig;
  if (KQInstallCommonUtils::KQInstallAccess(configPath, 0) != 0) {
    log.DebugLvl(kTag, 0,
                 "Windows appliance OS pacthes configuration file [%s] does not exists, ignore "
                 "syncing OS patch files",
                 configPath.c_str());
    return true;
  }
  if (!osInfo.isSet(KQApplianceOSInfo::kType) || !osInfo.isSet(KQApplianceOSInfo::kName)) {
    log.Debug(kTag, "Either OS type or OS name is not set, ignoring syncing OS patch files");
    return true;
  }
  const long long type = osInfo.getint64(KQApplianceOSInfo::kType);
  if (type != UpdatePatches::KQ_APPLIANCE_OS_WINDOWS && type != UpdatePatches::KQ_APPLIANCE_OS_MSSQL) {
    log.Debug(kTag, "OS type is neither Windows nor MSSQL, ignoring syncing OS patch files");
    return true;
  }
  const std::string& name = osInfo.getstringByRef(KQApplianceOSInfo::kName);
  if (name.empty()) {
    log.Debug(kTag, "OS name is empty, ignoring syncing OS patch files");
    return true;
  }

  std::set<std::string> windowsNames;
  std::set<std::string> sqlNames;
  (type == UpdatePatches::KQ_APPLIANCE_OS_WINDOWS ? windowsNames : sqlNames).insert(name);
  nPatchDownload::tApplianceCandidates candidates;
  if (nPatchDownload::CSoftwareRetrieval::getPatchFilesList(configPath, windowsNames, sqlNames,
                                                            candidates, version, log, false) != 0) {
    log.Debug(kTag, "Failed to get Windows appliance OS patch files list");
    return false;
  }
  for (const auto& side : candidates) {
    log.Debug(kTag, "Now adding all appliance files for Side [%s:%s]",
              side.first.mediaVersion.formatted_str(FullVersion::kFormatFull).c_str(),
              nPatchDownload::CPatchInstallCommon::GetUpdateOSNameFromID(side.first.osId, false));
    for (const auto& os : side.second) {
      for (const CNMessageBase& patch : os.second.pending) {
        const std::string& path = patch.getstringByRef(BinaryV11::kRelativePath);
        const std::string checksum =
            ListedChecksum(patch.getstringByRef(BinaryV11::kChecksum), path, log, kTag);
        files.push_back(MakeFile(path, checksum));
        log.Debug(kTag, "   Adding Win Appliance file [%s] with checksum [%s]", path.c_str(),
                  checksum.c_str());
      }
    }
  }
  unsigned long crc = 0;
  if (PlainCrc(configPath, crc, log) != 0) {
    log.Debug(kTag, "Cannot calcualte the checksum of appliance config file at [%s], continuing",
              configPath.c_str());
    crc = kUnreadableConfigChecksum;
  }
  files.push_back(MakeFile(std::string(kApplianceName) + "/" + kWindowsConfig,
                           std::to_string(static_cast<unsigned long long>(crc))));
  return true;
}

bool ExtractAppliancePatchesFromCache(
    std::string applianceFolder, KQApplianceOSInfoList osInfos, const FullVersion& version,
    const std::string& remoteCacheName,
    std::map<KQApplianceMainOSType, std::vector<File>>& filesByType) {
  static const char* kTag = "[GetApplianceOSPatches]";
  EvDebug log;
  if (!osInfos.isSet(KQApplianceOSInfoList::kList)) return true;
  bool unixHandled = false;
  for (const CNMessageBase& entry : *osInfos.getlistobject(KQApplianceOSInfoList::kList)) {
    const KQApplianceOSInfo info(entry);
    if (!info.isSet(KQApplianceOSInfo::kType) || !info.isSet(KQApplianceOSInfo::kName)) {
      log.DebugLvl(kTag, 0, "Ignoring invalid OS info node");
      continue;
    }
    const long long typeValue = info.getint64(KQApplianceOSInfo::kType);
    const std::string& name = info.getstringByRef(KQApplianceOSInfo::kName);
    log.DebugLvl(kTag, 2, "Now checking appliance OS [%s] with type [%d]", name.c_str(),
                 static_cast<int>(typeValue));
    const bool isUnix = typeValue == UpdatePatches::KQ_APPLIANCE_OS_UNIX && !unixHandled;
    const bool isWindows = typeValue == UpdatePatches::KQ_APPLIANCE_OS_WINDOWS ||
                           typeValue == UpdatePatches::KQ_APPLIANCE_OS_MSSQL;
    if (!isUnix && !isWindows) {
      log.Debug(kTag, "Skipping calculating of unsupported Appliance OS type [%d]",
                static_cast<int>(typeValue));
      continue;
    }
    const KQApplianceMainOSType type = static_cast<KQApplianceMainOSType>(typeValue);
    log.DebugLvl(kTag, 2, "Found appliance OS [%s]", KQUpdateCache::GetKQApplianceOSName(type).c_str());
    std::vector<File> found;
    const bool ok =
        isUnix ? ExtractUnixOSApplPatchesFromCache(applianceFolder, info, remoteCacheName, version, found)
               : ExtractWinOSApplPatchesFromCache(applianceFolder, info, version, found);
    if (!ok) {
      log.DebugLvl(kTag, 0, "Failed to caluclate all OS patch files for [%s]", name.c_str());
      return false;
    }
    log.DebugLvl(kTag, 2, "Successfully caluclated all OS patch files for [%s]", name.c_str());
    std::vector<File>& list = filesByType[type];
    list.insert(list.end(), found.begin(), found.end());
    if (isUnix) unixHandled = true;
  }
  return true;
}

std::string KQUpdateCache::GetKQApplianceOSName(KQApplianceMainOSType type) {
  return nPatchDownload::CPatchInstallCommon::GetKQApplianceOSName(type);
}

KQApplianceMainOSType KQUpdateCache::GetKQApplianceOSType(const std::string& name) {
  return nPatchDownload::CPatchInstallCommon::GetKQApplianceOSType(name);
}

bool KQUpdateCache::CalculateCheckSumForApplianceFiles(std::string path,
                                                       const std::string& namePrefix,
                                                       UpdatePatches::ApplianceFilesInfo& out) {
  static const char* kTag = "CalculateCheckSumForApplianceFiles";
  UnixPath(path);
  if (KQInstallCommonUtils::KQInstallAccess(path, 0) != 0 || IsFolderEmpty(path.c_str())) {
    m_event.DebugJob(2, kTag, m_jobId, "Appliance cache path [%s] does not exists or is empty",
                     path.c_str());
    return true;
  }
  m_event.DebugJob(2, kTag, m_jobId, "Calculating checksum for appliance files at path [%s]",
                   path.c_str());
  std::vector<File> list;
  if (!CalculateFileCksumForDir(path, "", false, true, list)) {
    m_event.DebugJob(0, kTag, m_jobId, "Appliance file checksum calculation failed");
    return false;
  }
  for (File& f : list) {
    f.setstring(File::kName, namePrefix + f.getstringByRef(File::kName));
    m_event.DebugJob(8, kTag, m_jobId, "Updating appliance file path to [%s]",
                     f.getstringByRef(File::kName).c_str());
  }
  std::vector<CNMessageBase> entries(list.begin(), list.end());
  out.setlistobject(UpdatePatches::ApplianceFilesInfo::kFiles, entries);
  if (m_event.GetDebugLevel() >= 10) {
    m_event.DebugJob(1, kTag, m_jobId, "List of Appliance files and their checksums");
    PrintApplianceFileVec(out, true);
  }
  return true;
}
