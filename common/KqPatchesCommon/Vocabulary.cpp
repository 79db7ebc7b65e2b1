// The vocabulary tables, their locks and their lookups. The release fillers
// live in ReleaseFillers.cpp.
#include "Vocabulary.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "KqCriticalSection.h"

QU_OSType OSTypesInfo[KQ_NUM_OS_TYPES];
QU_ReleaseInfo ReleasesSupported[KQ_NUM_RELEASES_SUPPORTED];
QU_UpdateType UpdateTypesInfo[KQ_NUM_UPDATE_TYPES];
std::string sFolders900[KQ_NUM_OS_TYPES];
std::string sPrefixes900[KQ_NUM_OS_TYPES];

namespace {

KqCriticalSection csReleaseInfoLock;  // guards ReleasesSupported
KqCriticalSection csOSInfoLock;       // guards the one fill of the OS tables
std::atomic<bool> bvInitialized{false};
std::atomic<bool> bUpdateTypesFilled{false};

// The operating systems: id, name, short name, new-OS flag, old-style folder
// and prefix (empty where the old layout has none).
#define KQ_OS_TYPES(X)                                                          \
  X(0, "Unknown", "Unknown", 0, "", "")                                         \
  X(1, "Windows", "win", 1, "Win32", "Win32")                                   \
  X(2, "Windows64", "win64", 0, "WinIA64", "WinIA64")                           \
  X(3, "WinX64", "winx64", 1, "WinX64", "WinX64")                               \
  X(4, "Netware", "nw", 0, "Netware", "nw")                                     \
  X(5, "Unix", "unix", 0, "Unix", "unix")                                       \
  X(6, "solaris", "sol", 0, "solaris", "sol")                                   \
  X(7, "hp", "hp", 0, "hp", "hp")                                               \
  X(8, "aix", "aix", 0, "aix", "aix")                                           \
  X(9, "linux", "linux", 0, "linux", "linux")                                   \
  X(10, "freebsd", "fbsd", 0, "freebsd", "fbsd")                                \
  X(11, "osf", "osf", 0, "osf", "osf")                                          \
  X(12, "darwin", "dwn", 0, "darwin", "dwn")                                    \
  X(13, "irix", "irix", 0, "irix", "irix")                                      \
  X(14, "aix-ppc", "aix-ppc", 1, "aix-ppc", "aix-ppc")                          \
  X(15, "linux-x86", "linux-x86", 1, "linux-x86", "linux-x86")                  \
  X(16, "linux-x8664", "linux-x8664", 1, "linux-x8664", "linux-x8664")          \
  X(17, "linux-ppc64", "linux-ppc64", 1, "linux-ppc64", "linux-ppc64")          \
  X(18, "linux-s390", "linux-s390", 1, "linux-s390", "linux-s390")              \
  X(19, "linux-ia64", "linux-ia64", 0, "linux-ia64", "linux-ia64")              \
  X(20, "hp-ia64", "hp-ia64", 1, "hp-ia64", "hp-ia64")                          \
  X(21, "hp-risc", "hp-risc", 0, "hp-risc", "hp-risc")                          \
  X(22, "sol-sparc", "sol-sparc", 1, "sol-sparc", "sol-sparc")                  \
  X(23, "sol-x8664", "sol-x8664", 1, "sol-x8664", "sol-x8664")                  \
  X(24, "dwn-x86", "dwn-x86", 0, "dwn-x86", "dwn-x86")                          \
  X(25, "fbsd-x86", "fbsd-x86", 1, "fbsd-x86", "fbsd-x86")                      \
  X(26, "fbsd-x8664", "fbsd-x8664", 1, "fbsd-x8664", "fbsd-x8664")              \
  X(27, "dwn-x8664", "dwn-x8664", 1, "dwn-x8664", "dwn-x8664")                  \
  X(28, "aix-ppc-32", "aix-ppc-32", 0, "aix-ppc-32", "aix-ppc-32")              \
  X(29, "linux-s390-31", "linux-s390-31", 0, "linux-s390-31", "linux-s390-31")  \
  X(30, "sol-sparc-x86", "sol-sparc-x86", 0, "sol-sparc-x86", "sol-sparc-x86")  \
  X(31, "sol-x86", "sol-x86", 0, "sol-x86", "sol-x86")                          \
  X(32, "linux-ppc64-le", "linux-ppc64-le", 1, "linux-ppc64-le", "linux-ppc64-le") \
  X(33, "aix52-32", "aix52-32", 0, "aix52-32", "aix52-32")                      \
  X(34, "linux-arm64", "linux-arm64", 1, "", "")

}  // namespace

// ---- Fillers ----

void SetOSTypesInfo() {
  // The flag is only set once every row is written, so a caller that sees it
  // set also sees the rows.
  if (bvInitialized.load(std::memory_order_acquire)) return;
  KqCriticalSectionLock lock(&csOSInfoLock);
  if (bvInitialized.load(std::memory_order_relaxed)) return;
  for (QU_OSType& row : OSTypesInfo) row.id = 0;
#define KQ_FILL_OS_ROW(ID, NAME, SHORT, NEW, FOLDER, PREFIX) \
  OSTypesInfo[ID].id = ID;                                  \
  OSTypesInfo[ID].name = NAME;                              \
  OSTypesInfo[ID].shortName = SHORT;                        \
  OSTypesInfo[ID].isNewOS = NEW;                            \
  sFolders900[ID] = FOLDER;                                 \
  sPrefixes900[ID] = PREFIX;
  KQ_OS_TYPES(KQ_FILL_OS_ROW)
#undef KQ_FILL_OS_ROW
  bvInitialized.store(true, std::memory_order_release);
}

void SetUpdateTypesInfo() {
  // Filled once: later calls would rewrite texts that other threads may be
  // reading without a lock.
  static std::once_flag once;
  std::call_once(once, [] {
    UpdateTypesInfo[0].id = 0;
    UpdateTypesInfo[0].name = "ServicePacks";
    UpdateTypesInfo[1].id = 1;
    UpdateTypesInfo[1].name = "Updates";
    bUpdateTypesFilled.store(true, std::memory_order_release);
  });
}

KqCriticalSection* getHNReleaseInfoHN() { return &csReleaseInfoLock; }

// ---- Fill state ----

bool VocabularyFilled(unsigned tables, std::string& missing) {
  missing.clear();
  auto add = [&missing](const char* text) {
    if (!missing.empty()) missing += "; ";
    missing += text;
  };
  if (tables & kVocabReleases) {
    bool any = false;
    {
      KqCriticalSectionLock lock(&csReleaseInfoLock);
      for (const QU_ReleaseInfo& row : ReleasesSupported) any = any || row.id != 0;
    }
    if (!any)
      add("the release table is empty: call SetReleasesSupported (Hubnode) or "
          "SetReleasesSupportedOnClient first");
  }
  if ((tables & kVocabOSTypes) && !bvInitialized.load(std::memory_order_acquire))
    add("the operating-system table is empty: call SetOSTypesInfo first");
  if ((tables & kVocabUpdateTypes) && !bUpdateTypesFilled.load(std::memory_order_acquire))
    add("the update-type table is empty: call SetUpdateTypesInfo first");
  return missing.empty();
}

// ---- Release lookups ----

int GetRelIdFromIndex(int index) {
  KqCriticalSectionLock lock(&csReleaseInfoLock);
  if (index < 0 || index >= KQ_NUM_RELEASES_SUPPORTED) return 0;
  return ReleasesSupported[index].id;
}

std::string GetNameFromIndex(int index) {
  KqCriticalSectionLock lock(&csReleaseInfoLock);
  if (index < 0 || index >= KQ_NUM_RELEASES_SUPPORTED) return std::string();
  return ReleasesSupported[index].name;
}

std::string GetRelNameFromId(int releaseId) {
  KqCriticalSectionLock lock(&csReleaseInfoLock);
  for (const QU_ReleaseInfo& row : ReleasesSupported)
    if (row.id == releaseId) return row.name;
  return std::string();
}

int GetRelIdFromName(const std::string& name) {
  KqCriticalSectionLock lock(&csReleaseInfoLock);
  for (const QU_ReleaseInfo& row : ReleasesSupported)
    if (row.name == name) return row.id;
  return -1;
}

int GetIndexForRelId(int releaseId) {
  KqCriticalSectionLock lock(&csReleaseInfoLock);
  for (int i = 0; i < KQ_NUM_RELEASES_SUPPORTED; ++i)
    if (ReleasesSupported[i].id == releaseId) return i;
  return -1;
}

// ---- Operating-system lookups ----

int GetOSIdFromName(const std::string& name) {
  for (const QU_OSType& row : OSTypesInfo)
    if (row.name == name) return row.id;
  return -1;
}

const char* GetOSNameFromId(int osId) {
  for (const QU_OSType& row : OSTypesInfo)
    if (row.id == osId) return row.name.c_str();
  return nullptr;
}

int GetOsIdFromBSName(const std::string& binarySetName) {
  for (int i = 1; i < KQ_NUM_OS_TYPES; ++i) {
    const std::string& name = OSTypesInfo[i].name;
    if (binarySetName.compare(0, name.size(), name) == 0) return OSTypesInfo[i].id;
  }
  return -1;
}

bool isOSShortNameInList(const char* text) {
  // Row 34 has no old-style prefix: an empty text names no system.
  if (text == nullptr || *text == '\0') return false;
  for (int i = 0; i < KQ_NUM_OS_TYPES; ++i) {
    const QU_OSType& row = OSTypesInfo[i];
    if (row.id == 0 || row.id == 5) continue;
    if (row.shortName == text || sPrefixes900[i] == text) return true;
  }
  return false;
}

bool IsUnix(int osId) { return osId > 4; }

bool isUnixBsId(int binarySetId) { return binarySetId > 4; }

std::string GetMainOsName(int osId) { return osId == 1 ? "Windows" : "Unix"; }

std::string GetCPUFolderName(int osId) {
  switch (osId) {
    case 1: return "Win32";
    case 2: return "WinIA64";
    case 3: return "WinX64";
    default: return std::string();
  }
}

int GetNumOSForRelease(int releaseId) {
  return (releaseId != 0 && releaseId <= 14) ? 14 : KQ_NUM_OS_TYPES;
}

bool FindOsInList(int osId, const std::vector<int>& ids) {
  for (int id : ids)
    if (id == osId) return true;
  return false;
}

// ---- Update-type lookups ----

int GetUtypeIdFromName(const std::string& name) {
  for (const QU_UpdateType& row : UpdateTypesInfo)
    if (row.name == name) return row.id;
  return -1;
}

const char* GetUtypeNameFromId(int typeId) {
  for (const QU_UpdateType& row : UpdateTypesInfo)
    if (row.id == typeId) return row.name.c_str();
  return nullptr;
}

// ---- Package ids ----

bool IsThirdPartyPackage(int packageId) { return packageId >= 6000 && packageId <= 7000; }

bool IsDBRelatedPackage(int packageId) { return packageId >= 801 && packageId <= 899; }

bool IsSIMPkgIDValid(const char* text, int& value) {
  if (text == nullptr) return false;
  long long parsed = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + (c - '0');
    if (parsed > INT_MAX) return false;  // does not fit; value untouched
  }
  value = static_cast<int>(parsed);
  return value > 0;
}

int GetApptypeForOS(int first, int second) {
  static const int kAppTypes[] = {19, 17, 21, 29, 74, 36, 63, 64};  // OS ids 6..13
  if (first == 1 && second >= 6 && second <= 13) return kAppTypes[second - 6];
  return first;
}
