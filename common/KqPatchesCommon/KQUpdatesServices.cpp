// Small services of KQUpdates for the Hubnode's other programs: cache statistics, directory
// sizes, service-pack and update presence, OS names, timestamp files, alert texts from files,
// and installed packages.
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "Database/DBtable.h"
#include "Database/KQInstalledPackages.h"
#include "KQUpdates.h"
#include "Configuration/KQClient.h"
#include "Configuration/KQPI.h"
#include "Logging/EvDebug.h"
#include "MediaAccess/IMediaAccess.h"
#include "PortableFiles/PxDirectory.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "PortableFiles/PxFile.h"

using KQUpdatesNS::OsVsSPDetails;
using KQUpdatesNS::OsVsUpdateDetails;
using KQUpdatesNS::ReleaseVsOsSPDetails;
using KQUpdatesNS::_UpdateDetails;

namespace {

const char kNewLineToken[] = "MsgNewLine_";
constexpr size_t kChunk = 64 * 1024;

// Walk callback of CheckIfSPExists: anything but a "Config" entry is content.
CPxError findContents(const char* dir, const char* name, bool, void* context) {
  static const char kTag[] = "findContents";
  if (dir == nullptr || name == nullptr || context == nullptr) {
    EvDebug().Debug(kTag, "At lease one input param [%s], [%s] or context is empty.",
                    dir != nullptr ? dir : "NULL", name != nullptr ? name : "NULL");
    return FXErrorUtil::ErrorHResult(0x80000008, FX_CODE_LOCATION(), "Invalid input param detected.");
  }
  if (strcasecmp(name, "Config") != 0) *static_cast<bool*>(context) = true;
  return CPxError::Success();
}

// Whether the path exists (any kind of entry).
bool Exists(const char* path) {
  SPxFileStat info;
  return !CPxFile::Stat(path, info).IsError();
}

}  // namespace

bool KQUpdates::UpdateCacheStatistics(bool storeExpected) {
  static const char kTag[] = "KQUpdates::UpdateCacheStatistics";
  using nPatchDownload::CPatchInstallCommon;
  if (m_mediaAccess == nullptr) {
    Log().Debug(kTag, "Media access object is empty");
    return false;
  }
  // Without the local cache and its measured free space nothing is stored: a free space of 0
  // would read as a full disk.
  const std::string localCache = m_mediaAccess->GetMediaConfiguration().GetLocalCache();
  if (!CPatchInstallCommon::IsFolderExisted(localCache) &&
      CPatchInstallCommon::CreateDirectories(localCache) != 0) {
    Log().Debug(kTag, "Cannot create the local cache [%s], statistics not stored", localCache.c_str());
    return false;
  }
  unsigned long freeKb = 0;
  if (CPatchInstallCommon::GetFreeDiskSpaces(localCache, freeKb) != 0) return false;
  bool result = true;
  ClientProperties properties(0);
  properties.setClientId(KQPI_Hubnode::getTessaraId());
  if (storeExpected) {
    const int rc = properties.setCacheExpectedSpace(m_expectedCacheSpace, 0);
    if (rc != 0) {
      Log().Debug(kTag, "Error [%d] returned from setCacheExpectedSpace.", rc);
      result = false;
    }
  }
  const int rc = properties.setFreeSpaceOnDisk(static_cast<unsigned long long>(freeKb) * 1024, 0);
  if (rc != 0) {
    Log().Debug(kTag, "Error [%d] returned from setFreeSpaceOnDisk.", rc);
    result = false;
  }
  return result;
}

unsigned long long KQUpdates::GetDirectorySize(const char* path) {
  static const char kTag[] = "GetDirectorySize";
  CPxDirectory dir;
  if (path == nullptr || dir.Open(path, "*", false).IsError()) {
    Log().Debug(kTag, "Failed to open directory [%s]", path != nullptr ? path : "NULL");
    return 0;
  }
  unsigned long long total = 0;
  SPxDirEntry entry;
  bool end = false;
  for (CPxError e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    const std::string full = std::string(path) + "/" + entry.name;
    SPxFileStat info;
    if (CPxFile::Stat(full, info).IsError()) {
      Log().Debug(kTag, "Couldn't stat [%s]\n", full.c_str());
      continue;
    }
    total += info.size;
  }
  Log().DebugLvl(kTag, 10, "Directory [%s] has size [%llu]\n", path, total);
  return total;
}

bool KQUpdates::CheckIfSPExists(const char* path) {
  if (path == nullptr) return false;
  bool found = false;
  CPxError e = CPxDirectory::Walk(path, &found, 0, true, findContents);
  if (e.IsError()) {
    Log().Debug("[CheckIfSPExists]", "Error [%s] found at [%s]", e.c_str(), path);
    return false;
  }
  return found;
}

bool KQUpdates::IsSPPresentInCache(int releaseId, int osType, int unixFlavour, const _SPVersion& sp) {
  for (const ReleaseVsOsSPDetails& r : m_cacheInventory) {
    if (r.releaseId != releaseId) continue;
    for (const OsVsSPDetails& os : r.osSP)
      if (os.osType == osType && os.unixFlavour == unixFlavour && os.sp == sp) return true;
  }
  return false;
}

bool KQUpdates::IsUpdatePresentInCache(int releaseId, int osType, int unixFlavour,
                                       const std::string& updateName) {
  for (const ReleaseVsOsSPDetails& r : m_cacheInventory) {
    if (r.releaseId != releaseId) continue;
    for (const OsVsUpdateDetails& os : r.osUpdates) {
      if (os.osType != osType || os.unixFlavour != unixFlavour) continue;
      for (const _UpdateDetails& u : os.updates)
        if (u.name == updateName) return true;
    }
  }
  return false;
}

void KQUpdates::GetOsName(int osType, int unixFlavour, char* buffer) {
  const char* name = UpdateOsPairName(osType, unixFlavour);
  if (name != nullptr && buffer != nullptr) strcpy(buffer, name);
}

int KQUpdates::readTimestampFile(const char* path) {
  static const char kTag[] = "KQUpdates::readTimestampFile";
  if (path == nullptr || !Exists(path)) return 0;
  CPxFile file;
  CPxError e = file.Open(path);
  if (e.IsError()) {
    Log().Debug(kTag, "Could not open file [%s], errno [%d]", path, e.GetErrorCode());
    return 0;
  }
  // The first decimal integer: blanks, an optional sign, digits. A value beyond the int range
  // is no timestamp.
  enum { kBlanks, kSign, kDigits } state = kBlanks;
  bool negative = false;
  long long value = 0;
  char buffer[4096];
  size_t got = 0;
  while (!file.Read(buffer, sizeof buffer, &got).IsError() && got > 0) {
    for (size_t i = 0; i < got; ++i) {
      const char c = buffer[i];
      if (state == kBlanks && (c == ' ' || (c >= '\t' && c <= '\r'))) continue;
      if (state == kBlanks && (c == '-' || c == '+')) {
        negative = c == '-';
        state = kSign;
        continue;
      }
      if (c < '0' || c > '9') return state == kDigits ? static_cast<int>(negative ? -value : value) : 0;
      state = kDigits;
      value = value * 10 + (c - '0');
      if (value > static_cast<long long>(INT_MAX) + (negative ? 1 : 0)) {
        Log().Debug(kTag, "Timestamp in [%s] is out of range", path);
        return 0;
      }
    }
  }
  return state == kDigits ? static_cast<int>(negative ? -value : value) : 0;
}

bool KQUpdates::DumpFileContentsToString(std::string& out, const char* path) {
  static const char kTag[] = "[DumpFileContentsToString]";
  if (path == nullptr || !Exists(path)) {
    Log().Debug(kTag, "File %s is not present", path != nullptr ? path : "NULL");
    return false;
  }
  CPxFile file;
  if (file.Open(path).IsError()) {
    Log().Debug(kTag, "Couldn't open file %s", path);
    return false;
  }
  // Every line and its end become the line and the token; the text after the last line break
  // is one more line, empty when the file ends with a break.
  std::string chunk(kChunk, '\0');
  size_t got = 0;
  while (!file.Read(&chunk[0], chunk.size(), &got).IsError() && got > 0) {
    size_t start = 0;
    for (const char* nl; (nl = static_cast<const char*>(std::memchr(chunk.data() + start, '\n',
                                                                      got - start))) != nullptr;) {
      const size_t at = static_cast<size_t>(nl - chunk.data());
      out.append(chunk, start, at - start);
      out += kNewLineToken;
      start = at + 1;
    }
    out.append(chunk, start, got - start);
  }
  out += kNewLineToken;
  return true;
}

std::string KQUpdates::MakePrettier(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      out += c;
      ++i;
      continue;
    }
    while (i < text.size() && (text[i] == '\r' || text[i] == '\n' || text[i] == ' ')) ++i;
    out += " | ";
  }
  return out;
}

bool KQUpdates::IsPackageInstalled(int clientId, int packageId) {
  static const char kTag[] = "[GetPackageInstallState]";
  DBtran tran(false);
  const int rc = tran.startTran();
  if (rc != 0) {
    Log().DebugLvl(kTag, 0,
                   "Failed to start transaction [Error=%d]. Not getting state of given packages "
                   "for client [%d]",
                   rc, clientId);
    return false;
  }
  bool installed = false;
  if (KQInstalledPackages::IsPackageInstalled(clientId, packageId, installed) != 0)
    Log().DebugLvl(kTag, 0, "Failed to fetch packages installed for client id [%d]", clientId);
  tran.commitTran();
  return installed;
}

bool KQUpdates::InsertSPInfoData() { return true; }

bool KQUpdates::ParseDVDInfoFile() { return true; }

void KQUpdates::test() {}
