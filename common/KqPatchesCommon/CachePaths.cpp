// Software-cache path builders.
#include "CachePaths.h"

#include <cstring>

#include "Vocabulary.h"

namespace {

const char kMedia[] = "KQMedia";
const char kMediaStaging[] = "KQMedia-Staging";
const char kUpdates[] = "KQUpdates";
const char kLooseUpdates[] = "LooseUpdates";

const char* MediaRoot(bool staging) { return staging ? kMediaStaging : kMedia; }

const char* PayloadName(int osId) { return osId == 1 ? "BinaryPayload32" : "BinaryPayload"; }

// Operating-system ids that the update tree has no folder of its own for.
bool IsRefusedUpdateOS(int osId) { return osId == 0 || osId == 5; }

// The name of an OS id the update-tree builders may use, or null.
const char* UpdateTreeOSName(int osId) {
  if (IsRefusedUpdateOS(osId)) return nullptr;
  return GetOSNameFromId(osId);
}

}  // namespace

// ---- Media tree ----

const char* GetPackageLocation(std::string& path, const char* releaseName, PushUpdOSType family,
                               const char* base, bool staging, const char* sub) {
  if (base != nullptr) path = base;
  path += "/";
  path += MediaRoot(staging);
  path += "/";
  if (releaseName != nullptr) path += releaseName;
  if (sub != nullptr) {
    path += "/";
    path += sub;
  }
  if (family == PUSH_UPD_OS_WINDOWS) path += "/Windows";
  else if (family == PUSH_UPD_OS_UNIX) path += "/Unix";
  return path.c_str();
}

const char* GetPackageLocation(std::string& path, int releaseId, PushUpdOSType family,
                               const char* base, bool staging, const char* sub) {
  if (releaseId == 0) releaseId = 16;
  const std::string name = GetRelNameFromId(releaseId);
  return GetPackageLocation(path, name.c_str(), family, base, staging, sub);
}

char* GetPackageLocation(char* out, std::size_t outSize, int /*unused*/, const char* releaseName,
                         PushUpdOSType family, const char* base, bool staging, const char* sub) {
  if (out == nullptr || outSize == 0) return nullptr;
  std::string path;
  GetPackageLocation(path, releaseName, family, base, staging, sub);
  if (path.size() >= outSize) {
    out[0] = '\0';
    return nullptr;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return out;
}

char* GetPackageLocation(char* out, int unused, const char* releaseName, PushUpdOSType family,
                         const char* base, bool staging, const char* sub) {
  if (out == nullptr) return nullptr;
  GetPackageLocation(out, kPackageLocationBufferSize, unused, releaseName, family, base, staging,
                     sub);
  return out;
}

std::string GetCacheReleaseFolder(int releaseId) {
  return std::string("/") + kMedia + "/" + GetRelNameFromId(releaseId);
}

std::string GetLooseUpdateFolder(int releaseId, int osId, bool staging, bool platformOnly) {
  if (releaseId <= 15) return "Updates";
  std::string folder = std::string("/") + MediaRoot(staging) + "/" + GetRelNameFromId(releaseId) + "/";
  if (IsUnix(osId)) {
    const char* osName = GetOSNameFromId(osId);
    if (osName == nullptr) return std::string();
    folder += "Unix/";
    folder += osName;
  } else {
    folder += "Windows";
    if (!platformOnly) folder += std::string("/") + PayloadName(osId);
  }
  if (!platformOnly) folder += std::string("/") + kLooseUpdates;
  return folder;
}

std::string GetLooseUpdateFolderNew(int osId, bool platformOnly) {
  if (IsUnix(osId)) {
    const char* osName = GetOSNameFromId(osId);
    if (osName == nullptr) return std::string();
    std::string folder = std::string("/") + osName;
    if (!platformOnly) folder += std::string("/") + kLooseUpdates;
    return folder;
  }
  if (platformOnly) return "/";
  return std::string("/") + PayloadName(osId) + "/" + kLooseUpdates;
}

void GetSeedDir(std::string& path, int releaseId, bool unix) {
  GetPackageLocation(path, releaseId, unix ? PUSH_UPD_OS_UNIX : PUSH_UPD_OS_WINDOWS, nullptr, false,
                     nullptr);
}

bool FindPkgPath(int releaseId, int osId, std::string& path, bool addSlash, bool addCpu) {
  const bool unix = IsUnix(osId);
  GetPackageLocation(path, releaseId, unix ? PUSH_UPD_OS_UNIX : PUSH_UPD_OS_WINDOWS, nullptr, false,
                     nullptr);
  if (unix) return true;
  if (addSlash) path += "/";
  if (addCpu) path += GetCPUFolderName(osId) + "/";
  return true;
}

void FindPkgPathForOS(std::string& path, int osId, int releaseId) {
  GetPackageLocation(path, releaseId, osId == 1 ? PUSH_UPD_OS_WINDOWS : PUSH_UPD_OS_UNIX, nullptr,
                     false, nullptr);
}

void FindMiscPkgPath(std::string& path, int osId) {
  path += "/AdditionalPackages";
  if (IsUnix(osId)) path += "/Unix";
  else path += "/" + GetCPUFolderName(osId) + "/";
}

std::string GetBinaryPayloadNameForOS(int osId) {
  if (osId == 1 || osId == 3) return PayloadName(osId);
  const char* osName = GetOSNameFromId(osId);
  return osName != nullptr ? osName : std::string();
}

// ---- Update tree ----

bool FindPathForMainOS(int releaseId, int osId, std::string& path) {
  const char* osName = UpdateTreeOSName(osId);
  if (osName == nullptr) return false;
  path = std::string("/") + kUpdates + "/" + GetRelNameFromId(releaseId) + "/" +
         (IsUnix(osId) ? "Unix" : osName);
  return true;
}

bool FindNewPathForMainOS(int releaseId, int osId, std::string& path) {
  const char* osName = UpdateTreeOSName(osId);
  if (osName == nullptr) return false;
  path = std::string("/") + kUpdates + "/" + GetRelNameFromId(releaseId) + "/" + osName;
  return true;
}

bool FindNewPathForOS(int releaseId, int osId, int updateType, std::string& path) {
  const char* osName = UpdateTreeOSName(osId);
  const char* typeName = GetUtypeNameFromId(updateType);
  if (osName == nullptr || typeName == nullptr) return false;
  path += std::string("/") + kUpdates + "/" + GetRelNameFromId(releaseId) + "/" + osName + "/" +
          typeName;
  return true;
}

bool FindPathForOS(int releaseId, int osId, int updateType, std::string& path) {
  const char* osName = UpdateTreeOSName(osId);
  const char* typeName = GetUtypeNameFromId(updateType);
  // An unfilled update-type row has no name: the path would end at the OS folder.
  if (osName == nullptr || typeName == nullptr || *typeName == '\0') return false;
  const bool unix = IsUnix(osId);
  path += std::string("/") + kUpdates + "/" + GetRelNameFromId(releaseId) + "/" +
          (unix ? "Unix" : osName) + "/" + typeName;
  if (unix && updateType == 1) path += std::string("/") + osName;
  return true;
}

bool FindInstallUpdPathForOS(int releaseId, int osId, std::string& path) {
  const char* osName = UpdateTreeOSName(osId);
  if (osName == nullptr) return false;
  if (releaseId > 15) path += GetLooseUpdateFolder(releaseId, osId, false, false);
  else path += std::string("/") + kUpdates + "/" + GetRelNameFromId(releaseId) + "/" + osName;
  return true;
}

bool FindNewSPPathForOS(int osId, _SPVersion version, std::string& path) {
  if (UpdateTreeOSName(osId) == nullptr) return false;
  path += "/SP" + version.ToStr(false);
  return true;
}

bool FindSPPathForOS(int osId, _SPVersion version, std::string& path) {
  const char* osName = UpdateTreeOSName(osId);
  if (osName == nullptr) return false;
  path += "/SP" + version.ToStr(false) + "/Updates";
  if (IsUnix(osId)) path += std::string("/") + osName;
  return true;
}

// ---- Old-style names and path readers ----

namespace {

// True when s begins with a release component "7.0.0" or "8.0.0".
bool NamesRelease7or8(const char* s) {
  return (std::strncmp(s, "7.0.0", 5) == 0 || std::strncmp(s, "8.0.0", 5) == 0) &&
         (s[5] == '\0' || s[5] == '/');
}

std::string OldOrNewPrefix(const char* releaseOrPath, int osId) {
  if (releaseOrPath == nullptr || Use900DirNames(releaseOrPath)) return sPrefixes900[osId];
  return OSTypesInfo[osId].shortName;
}

}  // namespace

bool Use900DirNames(const char* releaseOrPath) {
  if (releaseOrPath == nullptr) return true;
  if (NamesRelease7or8(releaseOrPath)) return false;
  // The character after each '/' is stepped over before the next '/' is
  // searched for, so a component right after "//" is not examined.
  for (const char* p = std::strchr(releaseOrPath, '/'); p != nullptr;) {
    if (NamesRelease7or8(p + 1)) return false;
    if (p[1] == '\0') break;
    p = std::strchr(p + 2, '/');
  }
  return true;
}

std::string GetWin32Prefix(const char* releaseOrPath) { return OldOrNewPrefix(releaseOrPath, 1); }

std::string GetWinX64Prefix(const char* releaseOrPath, bool /*unused*/) {
  return OldOrNewPrefix(releaseOrPath, 3);
}

std::string GetWinIA64Prefix(const char* releaseOrPath, bool /*unused*/) {
  return OldOrNewPrefix(releaseOrPath, 2);
}

std::string ExtractUnixFlavor(const char* path) {
  if (path == nullptr) return "nounix";
  const std::string text(path);
  static const char kUnixComponent[] = "/Unix/";
  const std::size_t kLen = sizeof(kUnixComponent) - 1;
  for (std::size_t pos = text.find(kUnixComponent); pos != std::string::npos;
       pos = text.find(kUnixComponent, pos + kLen)) {
    const std::size_t start = pos + kLen;
    if (start == text.size()) continue;
    const std::size_t end = text.find('/', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  return "nounix";
}
