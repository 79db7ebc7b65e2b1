// Appliance patches of a retrieval job: which appliance files are missing or changed, fetching
// them, removing the ones the configuration no longer lists, the Unix configuration and
// repodata downloads, the failed appliance lists and the commit of the Windows configuration.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <system_error>

#include "CacheDeletionGuard.h"
#include "InstallUtils/IFolderStruct.h"
#include "MediaAccess/IMediaAccess.h"
#include "MediaAccess/LocalFiles.h"
#include "PortableFiles/OwnedEntries.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalPhaseUtil.h"

namespace nPatchDownload {

namespace {

using UpdatePatches::BinaryV11;

const char kApplianceFolder[] = "KQAppliance";
const char kWindowsConfig[] = "KQApplianceConfig_Windows.xml";
const char kUnixConfig[] = "KQApplianceConfig_Unix.xml";
const char kPlatformInfo[] = "PlatformInfo_Unix.xml";
const char kMiniConfigPrefix[] = "KQApplianceMiniConfig_";
constexpr int kUnixApplianceOS = 16;
constexpr int kUnixSourceType = 0;
constexpr int kSqlSourceType = 1;
constexpr int kWindowsSourceType = 2;
constexpr int kCallerAppliance = 2;

const KQJobStatus kJobFailed = static_cast<KQJobStatus>(2);
const KQJobStatus kJobFailedAppliance = static_cast<KQJobStatus>(3);
const KQJobStatus kJobInterrupted = static_cast<KQJobStatus>(4);

std::string Slashed(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// The folder appliance files are kept under: the local cache root, and for the appliance's
// own job the release folder of its media below it.
std::string ApplianceRoot(const std::string& cacheRoot, unsigned int callerType) {
  if (callerType != kCallerAppliance) return cacheRoot;
  return cacheRoot + "/KQMedia/" +
         std::to_string(CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(16)) + ".0.0";
}

// The listed checksum of a file: decimal, "0x" hexadecimal or octal with a leading 0.
unsigned long long ListedChecksum(const BinaryV11& file) {
  const std::string& text = file.getstringByRef(BinaryV11::kChecksum);
  return std::strtoull(text.c_str(), nullptr, 0);
}

// The file's relative path with "/" separators; false (logged) when it would leave the folder
// it is joined to.
bool SafeName(const BinaryV11& file, std::string& name, IPatchEvent& event, const char* fn) {
  name = Slashed(file.getstringByRef(BinaryV11::kRelativePath));
  if (kq::IsSafeRelativeName(name)) return true;
  event.Debug(fn, "Skipping appliance file [%s]: its name leaves the appliance folder",
              name.c_str());
  return false;
}

// The CRC worked out ahead for path, if there is one.
bool KnownCrc(const tFileChecksums* known, const std::string& path, unsigned long& crc) {
  if (known == nullptr) return false;
  const auto found = known->find(path);
  if (found == known->end()) return false;
  crc = found->second;
  return true;
}

// True when the file below root is missing or differs from its listed checksum. A CRC in
// known is taken as the file's; any other file is read here.
bool IsPending(const std::string& root, const std::string& name, const BinaryV11& file,
               const tFileChecksums* known, IPatchEvent& event, const char* fn) {
  const std::string path = root + "/" + name;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    event.Debug(fn, "File [%s] does not exist, adding it to the download list.", path.c_str());
    return true;
  }
  event.DebugLvl(fn, 8, "Calculating the checksum of file [%s]", path.c_str());
  unsigned long crc = 0;
  if (!KnownCrc(known, path, crc) &&
      CPatchInstallCommon::CalculateCRC(true, path, crc, event) != 0) {
    event.Debug(fn, "Cannot calculate the checksum for [%s], adding it to the download list",
                name.c_str());
    return true;
  }
  const unsigned long long listed = ListedChecksum(file);
  if (listed != crc) {
    event.Debug(fn,
                "Current file [%s] has checksum [%llu] which does not match the checksum [%llu] "
                "in config file, adding it to the download list",
                name.c_str(), static_cast<unsigned long long>(crc), listed);
    return true;
  }
  event.DebugLvl(fn, 2,
                 "File [%s] has the same checksum [%llu] as the one on download center, skipping "
                 "download it",
                 name.c_str(), listed);
  return false;
}

// One answer of a step per path and listed checksum: systems that list a path with the same
// checksum share it, a system that lists another checksum gets its own.
typedef std::pair<std::string, unsigned long long> tListedFile;

// Checks the files of one appliance operating system into its pending list, each file once for
// it. A path is judged once per listed checksum: checked holds whether it is pending, and
// another system that lists the path with the same checksum gets the same answer, so that each
// system that needs a file waits for it (and fails with it).
void CheckFiles(const std::vector<BinaryV11>& files, const std::string& root,
                std::vector<BinaryV11>& pending, std::map<tListedFile, bool>& checked,
                const tFileChecksums* known, IPatchEvent& event, const char* fn) {
  std::set<std::string> listed;
  for (const BinaryV11& file : files) {
    std::string name;
    if (!SafeName(file, name, event, fn)) continue;
    if (!listed.insert(name).second) continue;  // listed twice for this system
    const tListedFile key(name, ListedChecksum(file));
    auto before = checked.find(key);
    if (before != checked.end()) {
      event.DebugLvl(fn, 8,
                     before->second
                         ? "File [%s] was checked already, adding it to the download list"
                         : "File [%s] was checked already, skipping it",
                     name.c_str());
      if (before->second) pending.push_back(file);
      continue;
    }
    const bool isPending = IsPending(root, name, file, known, event, fn);
    checked.emplace(key, isPending);
    if (isPending) pending.push_back(file);
  }
}

bool IsProtectedConfig(const char* name) {
  return strcmp(name, kUnixConfig) == 0 || strcmp(name, kWindowsConfig) == 0 ||
         strcmp(name, kPlatformInfo) == 0 ||
         strncmp(name, kMiniConfigPrefix, sizeof(kMiniConfigPrefix) - 1) == 0;
}

// Adds delta to a counter under its lock; false (logged) when the lock cannot be taken.
bool AddGuarded(std::mutex& lock, unsigned long long& value, unsigned long long delta,
                IPatchEvent& event, const char* fn, const char* what) {
  try {
    std::lock_guard<std::mutex> guard(lock);
    value += delta;
    return true;
  } catch (const std::system_error& e) {
    event.Debug(fn,
                "Exception [%d:%s] caught when trying to acquire the lock for %s downloaded files "
                "count",
                e.code().value(), e.what(), what);
    return false;
  }
}

void RaiseFetchError(IPatchEvent& event, int id, KQJobStatus status, const std::string& remote,
                     const std::string& local) {
  std::queue<tErrorDetails> details;
  details.push(tErrorDetails(tErrorDetails::eString, &remote));
  details.push(tErrorDetails(tErrorDetails::eString, &local));
  event.SetSpecificError(id, status, &details);
}

void RaiseSpaceError(IPatchEvent& event, const std::string& local, long long required,
                     long long freeKB) {
  std::queue<tErrorDetails> details;
  details.push(tErrorDetails(tErrorDetails::eString, &local));
  details.push(tErrorDetails(tErrorDetails::eInt64, &required));
  details.push(tErrorDetails(tErrorDetails::eInt64, &freeKB));
  event.SetSpecificError(0x44000012, kJobFailed, &details);
}

// The part of `path` below `root` ("a/b" for root + "/a/b"); false when path is not below root
// by text or the part is not a plain relative name.
bool PartBelow(const std::string& root, const std::string& path, std::string& rel) {
  if (root.empty() || path.compare(0, root.size(), root) != 0) return false;
  size_t at = root.size();
  if (root.back() != '/' && (at >= path.size() || path[at] != '/')) return false;
  while (at < path.size() && path[at] == '/') ++at;
  rel = path.substr(at);
  return kq::IsSafeRelativeName(rel);
}

unsigned int Win32Code(uint32_t code) {
  return static_cast<unsigned int>(FXErrorUtil::ErrorWin32(code, FX_CODE_LOCATION()).GetErrorCode());
}

// The name of a file on its way to its place: the prefix and 16 hexadecimal digits.
const char kArrivingPrefix[] = ".kqfetch-";
constexpr size_t kArrivingDigits = 16;

// A new name for a file on its way to a place in the same folder.
std::string ArrivingName() {
  std::random_device random;
  char unique[32];
  std::snprintf(unique, sizeof unique, "%s%08x%08x", kArrivingPrefix, random(), random());
  return unique;
}

// True for the name of a file that an unfinished download leaves: an arriving file or a part
// file of the transfer.
bool IsDownloadLeftover(const std::string& name) {
  const size_t prefix = sizeof(kArrivingPrefix) - 1;
  if (name.size() == prefix + kArrivingDigits && name.compare(0, prefix, kArrivingPrefix) == 0)
    return name.find_first_not_of("0123456789abcdef", prefix) == std::string::npos;
  return kqmedia::IsPartFileName(name);
}

// Fetches remote to root + "/" + name through a new name beside it: what arrived replaces the
// local file only when its CRC is the listed checksum. Otherwise it is removed and the local
// file stays as it was (it may be what another system lists under the same name). The new file
// is held (PortableFiles/OwnedEntries.h) from its arrival until it is renamed or removed, so the
// cleanup of another job leaves it alone through its checksum pass. 0, the fetch's or the CRC's
// code, 13 (as a Win32 code) for a checksum that differs, or the file input or output code.
unsigned int FetchAsListed(IMediaAccess& media, IPatchEvent& event, const std::string& remote,
                           const std::string& root, const std::string& name,
                           unsigned long long listed, const char* fn) {
  const size_t slash = name.rfind('/');
  const std::string folderName = slash == std::string::npos ? "" : name.substr(0, slash);
  const std::string localName = name.substr(slash + 1);
  const std::string local = root + "/" + name;
  const std::string folder = folderName.empty() ? root : root + "/" + folderName;
  const std::string arrivingName = ArrivingName();
  const std::string arriving = folder + "/" + arrivingName;
  kq::ScopedFd held;
  unsigned int rc = media.GetFileHeld(remote, arriving, held);
  if (rc != 0) return rc;  // nothing arrived

  // The folder it arrived in, reached as the transfer reached it, and the name still leading
  // to the file held. When either changed meanwhile the file is left to the cleanup of a later
  // job, which removes it once it is let go here.
  CPxFolderHandle top, dir;
  CPxError e = top.Open(root);
  if (!e.IsError()) e = dir.Adopt(kq::OpenFolderUnder(top.nativeHandle(), folderName), folder);
  if (e.IsError()) {
    event.Debug(fn, "Cannot open the folder of downloaded file [%s] with error [%s]",
                arriving.c_str(), e.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  if (!kq::HoldAsOwner(dir.nativeHandle(), arrivingName, held.get())) {
    event.Debug(fn, "Downloaded file [%s] is no longer the file that arrived, error [%s]",
                arriving.c_str(), PxErrnoText(errno).c_str());
    return KQ_PATCH_E_FILE_IO;
  }

  unsigned long crc = 0;
  const unsigned int crcRc =
      CPatchInstallCommon::CalculateCRCAt(true, dir, arrivingName, crc, event);
  if (crcRc != 0 || crc != listed) {
    event.Debug(fn,
                "Downloaded appliance patch file [%s] has checksum [%llu] but [%llu] is listed, "
                "deleting it",
                local.c_str(), static_cast<unsigned long long>(crc), listed);
    rc = crcRc != 0 ? crcRc : Win32Code(13);
  } else {
    e = CPxFile::RenameAt(dir, arrivingName, localName);
    if (e.IsError()) {
      event.Debug(fn, "Cannot move downloaded file [%s] to [%s] with error [%s]",
                  arriving.c_str(), local.c_str(), e.c_str());
      rc = KQ_PATCH_E_FILE_IO;
    }
  }
  // Removed while still held, so that no cleanup meets it without its owner.
  std::string error;
  if (rc != 0 && !kq::RemoveFileUnderAt(dir.nativeHandle(), dir.path(), arrivingName, &error))
    event.Debug(fn, "Cannot delete file [%s] with error [%d:%s]", arriving.c_str(), errno,
                error.c_str());
  return rc;
}

}  // namespace

int CSoftwareRetrieval::GetKQApplianceOSTypeByName(const std::string& name) {
  if (name.compare(0, 7, "Windows") == 0) return kWindowsSourceType;
  if (name.compare(0, 5, "MSSQL") == 0) return kSqlSourceType;
  return kUnixSourceType;
}

int CSoftwareRetrieval::getApplianceOSIdByName(const std::string& name) {
  return strcasecmp(name.c_str(), "rhel-7.3") == 0 ? kUnixApplianceOS : 0;
}

unsigned int CSoftwareRetrieval::calculatePendingApplianceFiles(tApplianceEntries& entries) {
  tKQApplainceFilesInfo info;
  const unsigned int rc = LoadUnixApplianceFilesInfo(info);
  if (rc != 0) return rc;
  calculatePendingUnixOSPatchFiles(info);
  if (!info.empty()) {
    tRetrievalSide side;
    side.osId = kUnixApplianceOS;
    side.mediaVersion = m_policy.GetCandidateVersion();
    entries[side] = info;
  }
  return calculatePendingWindowsOSPatchFiles(entries);
}

void CSoftwareRetrieval::checksumApplianceFilesAhead(const std::vector<const tFileList*>& lists,
                                                     const std::string& root,
                                                     tFileChecksums& known) {
  if (!m_poolsStarted) return;
  std::vector<std::string> paths;
  std::set<std::string> seen;
  for (const tFileList* list : lists) {
    for (const BinaryV11& file : *list) {
      const std::string name = Slashed(file.getstringByRef(BinaryV11::kRelativePath));
      if (kq::IsSafeRelativeName(name) && seen.insert(name).second)
        paths.push_back(root + "/" + name);
    }
  }
  if (paths.empty()) return;

  // Each worker takes the next path until none is left; each slot is written by one task
  // and read here only after the wait.
  struct tSlot {
    unsigned long crc = 0;
    bool read = false;
  };
  std::vector<tSlot> slots(paths.size());
  std::atomic<size_t> next{0};
  auto work = [&paths, &slots, &next] {
    for (size_t i = next++; i < paths.size(); i = next++) {
      try {
        slots[i].read =
            CPatchInstallCommon::CalculateCRCSilently(true, paths[i], slots[i].crc) == 0;
      } catch (...) {
        // Left unread: the check reads the file itself and logs what fails.
      }
    }
  };
  const unsigned int workers = std::max(1u, m_policy.GetCheckFileTPParams().threads);
  for (unsigned int i = 0; i < workers && i < paths.size(); ++i)
    if (m_checkFilePool.QueueWork(work) != 0) break;
  m_checkFilePool.HelpAndWaitForAll(false, false, true);
  for (size_t i = 0; i < paths.size(); ++i)
    if (slots[i].read) known.emplace(paths[i], slots[i].crc);
}

unsigned int CSoftwareRetrieval::calculatePendingUnixOSPatchFiles(tKQApplainceFilesInfo& info) {
  static const char kFn[] = "calculatePendingUnixOSPatchFiles";
  std::vector<const tFileList*> lists;
  for (const auto& os : info) lists.push_back(&os.second.retrieved);
  tFileChecksums known;
  checksumApplianceFilesAhead(lists, m_localCacheRoot, known);
  std::map<tListedFile, bool> checked;
  for (auto& os : info) {
    m_event.DebugLvl(kFn, 8, "Checking files for Appliance OS [%s]", os.first.c_str());
    CheckFiles(os.second.retrieved, m_localCacheRoot, os.second.pending, checked, &known, m_event,
               kFn);
  }
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::calculatePendingWindowsOSPatchFiles(tApplianceEntries& entries) {
  static const char kFn[] = "calculatePendingWindowsOSPatchFiles";
  bool has = false;
  std::set<std::string> windowsNames, sqlNames;
  const bool known = m_dataManager.HasApplianceClient(has, windowsNames, sqlNames) == 0;
  if (!known) {
    m_event.Debug(kFn, "Cannot get appliance clients, skipping appliance patch download");
    windowsNames.clear();
    sqlNames.clear();
  }
  if (!windowsNames.empty()) m_event.Debug(kFn, "Tessara has Windows appliance client.");
  if (!sqlNames.empty()) m_event.Debug(kFn, "Tessara has MSSQL client.");
  // Without the clients every local patch would look unwanted: nothing is removed then.
  return checkApplianceOSPatches(entries, windowsNames, sqlNames, known);
}

unsigned int CSoftwareRetrieval::checkApplianceOSPatches(tApplianceEntries& entries,
                                                         const std::set<std::string>& windowsNames,
                                                         const std::set<std::string>& sqlNames,
                                                         bool cleanStale) {
  static const char kFn[] = "checkApplianceOSPatches";
  const std::string root = ApplianceRoot(m_localCacheRoot, m_policy.GetCallerType());
  const std::string folder = root + "/" + kApplianceFolder;
  const std::string local = folder + "/" + kWindowsConfig;
  // The configuration is written into the appliance folder and stale files are deleted there:
  // neither may happen through a link that leads out of the cache.
  std::string why;
  if (!CacheDeletionGuard::CheckFolderBelow(m_localCacheRoot, folder, why)) {
    m_event.Debug(kFn, "Appliance folder [%s] is not a folder of the software cache: %s, skipping "
                       "appliance patches",
                  folder.c_str(), why.c_str());
    return KQ_PATCH_OK;
  }
  std::string remote;
  unsigned int rc;
  if (m_policy.IsDownload()) {
    remote = std::string(kApplianceFolder) + "/" + kWindowsConfig;
    m_event.Debug(kFn, "Now downloading [%s] to [%s]", remote.c_str(), local.c_str());
    rc = m_mediaAccess.GetFile(remote, local);
  } else {
    remote = kWindowsConfig;
    const std::map<int, std::string>& sources = m_policy.RetrieveApplianceOSes();
    for (int type : {kWindowsSourceType, kSqlSourceType}) {
      auto found = sources.find(type);
      if (found != sources.end() && !found->second.empty()) {
        remote = found->second + "/" + remote;
        break;
      }
    }
    m_event.Debug(kFn, "Now downloading [%s] to [%s]", remote.c_str(), local.c_str());
    rc = m_mediaAccess.GetFile(remote, local, 1);
  }
  if (rc != 0) {
    m_event.Debug(kFn, "Cannot get Appliance configuration file.");
    return KQ_PATCH_OK;
  }

  EvDebug defaultLog;
  EvDebug& log = JobLog(m_event, defaultLog);
  tApplianceCandidates candidates;
  rc = getPatchFilesList(local, windowsNames, sqlNames, candidates, m_policy.GetCandidateVersion(),
                         log, m_policy.GetCallerType() == kCallerAppliance);
  if (rc != 0) {
    m_event.Debug(kFn, "Error happens during checking for patch files");
    return rc;
  }
  std::vector<const tFileList*> lists;
  for (const auto& side : candidates)
    for (const auto& os : side.second) lists.push_back(&os.second.pending);
  tFileChecksums known;
  checksumApplianceFilesAhead(lists, root, known);
  generatePatchList(candidates, entries, root, log, &known);

  std::set<std::string> kept;
  for (const auto& side : candidates) {
    if (side.first.osId < 0 || side.first.osId > 5) continue;  // Windows sides only
    for (const auto& os : side.second) {
      for (const BinaryV11& file : os.second.pending) {
        std::string name;
        if (!SafeName(file, name, m_event, kFn)) continue;
        const std::string path = root + "/" + name;
        m_event.DebugLvl(kFn, 8, "Adding file [%s] to all files set", path.c_str());
        kept.insert(path);
      }
    }
  }
  if (cleanStale) cleanStaleLocalApplianceFiles(kept, folder);
  m_windowsApplianceConfigPath = local;
  return KQ_PATCH_OK;
}

void CSoftwareRetrieval::generatePatchList(tApplianceCandidates& candidates,
                                           tApplianceEntries& entries,
                                           const std::string& localRoot, EvDebug& log,
                                           const tFileChecksums* known) {
  static const char kFn[] = "generatePatchList";
  CPatchDebug sink(log);
  std::map<tListedFile, bool> checked;
  for (auto& side : candidates) {
    log.DebugLvl(kFn, 8, "Checking files for Appliance OS Id [%d]", side.first.osId);
    for (auto& os : side.second) {
      log.DebugLvl(kFn, 8, "Checking on [%s]", os.first.c_str());
      CheckFiles(os.second.pending, localRoot, entries[side.first][os.first].pending, checked,
                 known, sink, kFn);
    }
  }
}

unsigned int CSoftwareRetrieval::cleanStaleLocalApplianceFiles(const std::set<std::string>& kept,
                                                               const std::string& folder) {
  static const char kFn[] = "cleanStaleLocalApplianceFiles";
  // The folder is checked and opened from the cache root down, one folder inside the other and
  // never through a link, as any folder deletions happen in.
  std::string rel, why;
  if (!PartBelow(m_localCacheRoot, folder, rel)) {
    why = "it does not lie below the software cache [" + m_localCacheRoot + "]";
  } else {
    CacheDeletionGuard::CheckFolderBelow(m_localCacheRoot, folder, why);
  }
  if (!why.empty()) {
    m_event.Debug(kFn, "Skipping the cleanup of appliance folder [%s]: %s", folder.c_str(),
                  why.c_str());
    return KQ_PATCH_OK;
  }
  // The root itself may be reached through links; from there down no folder may be one.
  CPxFolderHandle root, dir;
  CPxError e = root.Open(m_localCacheRoot);
  if (!e.IsError()) e = dir.Adopt(kq::OpenFolderUnder(root.nativeHandle(), rel), folder);
  if (e.IsError()) {
    if (e.GetErrorCode() == ELOOP)
      m_event.Debug(kFn, "Appliance folder [%s] is a link, skipping the cleanup", folder.c_str());
    else
      m_event.Debug(kFn, "Unable to open directory [%s] with error: [%s]", folder.c_str(),
                    e.c_str());
    return KQ_PATCH_OK;
  }
  cleanStaleFilesIn(dir, kept, false);
  return KQ_PATCH_OK;
}

void CSoftwareRetrieval::cleanStaleFilesIn(const CPxFolderHandle& dir,
                                           const std::set<std::string>& kept,
                                           bool leftoversOnly) {
  static const char kFn[] = "cleanStaleLocalApplianceFiles";
  std::vector<SPxDirEntry> entries;
  CPxError e = CPxDirectory::ReadNames(dir, entries);
  if (e.IsError()) {
    m_event.Debug(kFn,
                  "Unable to get entry on directory [%s] with error: [%s], skipping cleaning up "
                  "current folder",
                  dir.path().c_str(), e.c_str());
    return;
  }
  for (const SPxDirEntry& entry : entries) {
    const std::string path = dir.path() + "/" + entry.name;
    SPxFileStat st;
    e = CPxFile::LstatAt(dir, entry.name, st);
    if (e.IsError()) {
      m_event.Debug(kFn, "Cannot stat on file [%s] with error [%s], continuing", path.c_str(),
                    e.c_str());
      continue;
    }
    if (st.IsLink()) {
      // Whatever a link leads to is not ours to clean, nor the link itself.
      m_event.Debug(kFn, "Skipping link [%s], continuing", path.c_str());
      continue;
    }
    if (st.IsDirectory()) {
      // Below a "Unix" folder only what unfinished downloads left goes.
      const bool unix = leftoversOnly || entry.name == "Unix";
      if (!leftoversOnly && unix)
        m_event.DebugLvl(kFn, 8, "Skipping cleanup for Unix folder, continuing.");
      else if (!unix)
        m_event.DebugLvl(kFn, 8, "Searching files to delete under [%s].", path.c_str());
      CPxFolderHandle sub;
      e = sub.OpenBelow(dir, entry.name);
      if (e.IsError()) {
        m_event.Debug(kFn, "Unable to open directory [%s] with error: [%s]", path.c_str(),
                      e.c_str());
        continue;
      }
      cleanStaleFilesIn(sub, kept, unix);
      continue;
    }
    if (IsDownloadLeftover(entry.name) && kept.count(path) == 0) {
      cleanLeftoverIn(dir, entry.name);
      continue;
    }
    if (leftoversOnly) continue;
    if (IsProtectedConfig(entry.GetName())) {
      m_event.Debug(kFn, "Skipping file [%s]", path.c_str());
      continue;
    }
    if (kept.count(path) != 0) continue;
    m_event.Debug(kFn, "Local appliance file [%s] does not exist on download center, delete it",
                  path.c_str());
    // Removed from the folder open here, and only as a file: a folder that took the name
    // meanwhile stays.
    std::string error;
    if (!kq::RemoveFileUnderAt(dir.nativeHandle(), dir.path(), entry.name, &error) &&
        !CPxFile::LstatAt(dir, entry.name, st).IsError()) {
      m_event.Debug(kFn, "Cannot delete file [%s] with error [%s], skipping it", path.c_str(),
                    error.c_str());
    } else {
      m_event.DebugLvl(kFn, 8, "Successfully deleted file [%s]", path.c_str());
    }
  }
}

void CSoftwareRetrieval::cleanLeftoverIn(const CPxFolderHandle& dir, const std::string& name) {
  static const char kFn[] = "cleanStaleLocalApplianceFiles";
  const std::string path = dir.path() + "/" + name;
  bool removed = false;
  std::string error;
  if (!kq::RemoveIfUnowned(dir.nativeHandle(), dir.path(), name, kq::OwnedKind::kFile, &removed,
                           &error))
    m_event.Debug(kFn, "Cannot delete file [%s] with error [%s], skipping it", path.c_str(),
                  error.c_str());
  else if (removed)
    m_event.Debug(kFn, "Deleted file [%s] that an unfinished download left", path.c_str());
  else
    m_event.DebugLvl(kFn, 8, "File [%s] belongs to a download in progress, skipping it",
                     path.c_str());
}

unsigned int CSoftwareRetrieval::getOSAppliancePatches(tApplianceEntries& entries) {
  static const char kFn[] = "getOSAppliancePatches";
  const std::string root = ApplianceRoot(m_localCacheRoot, m_policy.GetCallerType());
  const std::string prefix = std::string(kApplianceFolder) + "/";
  const unsigned int diskFull = Win32Code(112);
  unsigned int result = KQ_PATCH_OK;
  std::map<tListedFile, unsigned int> fetched;  // result of the one fetch per listed file

  for (auto& side : entries) {
    for (auto& os : side.second) {
      m_event.DebugLvl(kFn, 8, "Get files for appliance OS [%s]", os.first.c_str());
      tRetrievalEntry& entry = os.second;
      const std::vector<BinaryV11> pending = entry.pending;
      for (const BinaryV11& file : pending) {
        if (m_jobObject.IsInterrupted()) {
          m_event.Debug(kFn, "Job interrupted by Job Manager.");
          m_event.SetSpecificError(0x44000061, kJobInterrupted, nullptr);
          return KQ_PATCH_E_INTERRUPTED;
        }
        std::string name;
        if (!SafeName(file, name, m_event, kFn)) continue;
        const std::string local = root + "/" + name;
        const tListedFile key(name, ListedChecksum(file));
        auto before = fetched.find(key);
        if (before != fetched.end()) {
          // Another appliance operating system lists the same file with the same checksum: its
          // one fetch counts.
          if (before->second == 0)
            entry.retrieved.push_back(file);
          else
            addToFailedApplianceOS(os.first, entry);
          continue;
        }
        std::string remote = name;
        if (m_policy.IsCopy()) {
          if (name.compare(0, prefix.size(), prefix) != 0 || name.size() <= prefix.size()) {
            m_event.Debug(kFn, "Skipping unknown appliance file [%s], continuing", name.c_str());
            continue;
          }
          const std::map<int, std::string>& sources = m_policy.RetrieveApplianceOSes();
          auto source = sources.find(GetKQApplianceOSTypeByName(os.first));
          if (source == sources.end() || source->second.empty()) {
            m_event.Debug(kFn, "File [%s] exists but source folder of [%s] is empty, continuing",
                          name.c_str(), os.first.c_str());
            continue;
          }
          remote = source->second + "/" + name.substr(prefix.size());
        }

        const unsigned int rc =
            FetchAsListed(m_mediaAccess, m_event, remote, root, name, key.second, kFn);
        fetched[key] = rc;
        if (rc == 0) {
          unsigned long freeKB = 0;
          const unsigned int spaceRc = CPatchInstallCommon::GetFreeDiskSpaces(root, freeKB);
          if (spaceRc != 0) return spaceRc;
          const unsigned long long size = CPatchInstallCommon::GetFileSize(local);
          m_event.DebugLvl(kFn, 8, "Current file [%s] size is [%llu]", local.c_str(), size >> 10);
          const unsigned long long required = 4 * (size >> 10);
          if (freeKB >= required) {
            m_event.Debug(kFn, "Successfully downloaded appliance patch file [%s]", local.c_str());
            if (!AddGuarded(m_filesCountLock, m_numFilesDownloaded, 1, m_event, kFn, "setting") ||
                !AddGuarded(m_bytesLock, m_totalBytesDownloaded, size, m_event, kFn, "getting"))
              return KQ_PATCH_E_FEWER_RETRIEVED;
            entry.retrieved.push_back(file);
            continue;
          }
          m_event.Debug(kFn,
                        "Not enough space left: required [%llu]KB but only [%llu]KB left. Delete "
                        "the file [%s]",
                        required, static_cast<unsigned long long>(freeKB), local.c_str());
          std::string error;
          if (!kq::RemoveFileNoFollow(local, &error))
            m_event.Debug(kFn, "Cannot delete file [%s] with error [%d:%s]", local.c_str(), errno,
                          error.c_str());
          addToFailedApplianceOS(os.first, entry);
          RaiseSpaceError(m_event, local, static_cast<long long>(required),
                          static_cast<long long>(freeKB));
          return KQ_PATCH_E_DISK_SPACE;
        }

        m_event.Debug(kFn, "Failed to download appliance patch file [%s] to [%s] for appliance OS "
                           "[%s]",
                      remote.c_str(), local.c_str(), os.first.c_str());
        addToFailedApplianceOS(os.first, entry);
        if (m_policy.IsCopy() && rc == diskFull) {
          unsigned long freeKB = 0;
          CPatchInstallCommon::GetFreeDiskSpaces(root, freeKB);
          const std::string source = m_mediaAccess.GetMediaConfiguration().GetServerName() + "/" +
                                     remote;
          RaiseSpaceError(m_event, local,
                          static_cast<long long>(CPatchInstallCommon::GetFileSize(source)),
                          static_cast<long long>(freeKB));
        } else if (!m_event.IsSpecificErrorSet()) {
          RaiseFetchError(m_event, 0x44000046, kJobFailedAppliance, remote, local);
        }
        // The first failure stays the step's result; later files are still fetched.
        if (result == KQ_PATCH_OK) result = rc;
      }
    }
  }
  return result;
}

void CSoftwareRetrieval::addToFailedApplianceOS(const std::string& name,
                                                const tRetrievalEntry& entry) {
  static const char kFn[] = "addToFailedApplianceOS";
  if (m_failedApplianceOSes.count(name) != 0) {
    m_event.DebugLvl(kFn, 2, "Appliance OS [%s] already in failed list, skipping it", name.c_str());
    return;
  }
  m_event.Debug(kFn, "Add appliance OS [%s] to failed list", name.c_str());
  m_failedApplianceOSes[name] = entry;
}

void CSoftwareRetrieval::addToFailedAppliance(const tRetrievalSide& side) {
  static const char kFn[] = "addToFailedAppliance";
  if (m_failedApplianceSides.count(side) != 0) {
    m_event.DebugLvl(kFn, 2, "Appliance OS Id [%d] already in failed list, skipping it",
                     side.osId);
    return;
  }
  tFolderStructParam params;
  IComponentsRetrieval::fillInFolderStructParams(params, m_policy.GetCandidateVersion(),
                                                 m_localCacheTemplate,
                                                 m_mediaAccess.GetMediaConfiguration().GetLocalCache(),
                                                 "/");
  KQInstallCommonUtils::IFolderStruct* folders = nullptr;
  const unsigned int rc = IComponentsRetrieval::ConstructFolderStructObjects(params, folders, m_event);
  if (rc != 0 || folders == nullptr) {
    m_event.Debug(kFn, "Failed to create folder struct object with error code [%d]",
                  static_cast<int>(rc));
    if (folders != nullptr) KQInstallCommonUtils::DestroyFolderStructReader(folders);
    return;
  }
  m_event.Debug(kFn, "Add Side [%s:%s] to appliance failed list",
                side.mediaVersion.formatted_str(FullVersion::kFormatSide).c_str(),
                CPatchInstallCommon::GetUpdateOSNameFromID(static_cast<unsigned int>(side.osId),
                                                          false));
  m_failedApplianceSides[side] = folders;
}

unsigned int CSoftwareRetrieval::DownloadUnixApplianceConfigFiles(bool& platformInfoUsed) {
  platformInfoUsed = m_policy.GetCandidateVersion().Get(FullVersion::kSPMajor) > 22;
  return platformInfoUsed ? DownloadUnixPlatformInfoConfigFile()
                          : DownloadUnixApplianceConfigFiles_old();
}

namespace {

// The remote path of a Unix appliance source file: below the Unix source folder for copies.
std::string UnixRemote(CPolicyProvider& policy, const std::string& name) {
  if (!policy.IsCopy()) return name;
  const std::map<int, std::string>& sources = policy.RetrieveApplianceOSes();
  auto found = sources.find(kUnixSourceType);
  if (found == sources.end() || found->second.empty()) return name;
  return found->second + "/" + name;
}

unsigned int FetchUnixConfig(IMediaAccess& media, IPatchEvent& event, CPolicyProvider& policy,
                             const std::string& cacheRoot, const char* file, const char* fn) {
  const std::string local = cacheRoot + "/" + kApplianceFolder + "/" + file;
  const std::string remote = UnixRemote(policy, std::string(kApplianceFolder) + "/" + file);
  event.Debug(fn, "Now downloading [%s] to [%s]", remote.c_str(), local.c_str());
  const unsigned int rc = media.GetFile(remote, local, 0);
  if (rc != 0) {
    event.Debug(fn, "Failed to download Appliance configuration file from download center.");
    RaiseFetchError(event, 0x44000046, kJobFailed, remote, local);
  }
  return rc;
}

}  // namespace

unsigned int CSoftwareRetrieval::DownloadUnixPlatformInfoConfigFile() {
  return FetchUnixConfig(m_mediaAccess, m_event, m_policy, m_localCacheRoot, kPlatformInfo,
                         "DownloadUnixPlatformInfoConfigFile");
}

unsigned int CSoftwareRetrieval::DownloadUnixApplianceConfigFiles_old() {
  return FetchUnixConfig(m_mediaAccess, m_event, m_policy, m_localCacheRoot, kUnixConfig,
                         "DownloadUnixApplianceConfigFiles_old");
}

unsigned int CSoftwareRetrieval::downloadAllRepodataFiles(const std::set<std::string>& names) {
  static const char kFn[] = "downloadAllRepodataFiles";
  for (const std::string& raw : names) {
    const std::string name = Slashed(raw);
    if (!kq::IsSafeRelativeName(name)) {
      m_event.Debug(kFn, "Skipping repodata [%s]: its name leaves the software cache", raw.c_str());
      continue;
    }
    const std::string remote = Slashed(UnixRemote(m_policy, name));
    const std::string local = Slashed(m_localCacheRoot + "/" + name);
    m_event.Debug(kFn, "Now downloading repodata [%s] to [%s]", remote.c_str(), local.c_str());
    const unsigned int rc = m_mediaAccess.GetFile(remote, local, 0);
    if (rc != 0) {
      m_event.Debug(kFn, "Failed to download repodata file [%s] from download center.",
                    remote.c_str());
      RaiseFetchError(m_event, 0x44000046, kJobFailed, remote, local);
      return rc;
    }
  }
  m_event.DebugLvl(kFn, 2, "Successfully downloaded all repodata files");
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::CommitAppliancePatches() {
  return m_dataManager.DoAppliancePatchCommit(m_windowsApplianceConfigPath);
}

}  // namespace nPatchDownload
