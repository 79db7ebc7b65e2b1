// The inventory of an update cache: per supported release and per operating system, the feature
// release (service pack) held, its updates, the additional (loose) updates beside it and what
// their descriptors say.
//
// An inventory is a plain value owned by the caller (usually on its stack); it holds no handles.
// KQUpdateCache fills it from the cache folders (UpdateCacheInventory.cpp) and the update
// descriptors (UpdateCacheDescriptors.cpp), converts it to and from the flat message
// (UpdateCacheMessage.h) and compares, deletes and checks inventories (UpdateCacheDiff.cpp).
#ifndef KQPATCHESCOMMON_UPDATECACHEINVENTORY_H_
#define KQPATCHESCOMMON_UPDATECACHEINVENTORY_H_

#pragma GCC visibility push(default)

// A field below is named "requires" after the record it mirrors; C++20 made that a keyword.
#if __cplusplus > 201703L
#error "UpdateCacheInventory.h needs C++17 (-std=c++17): its field 'requires' is a keyword from C++20 on"
#endif

#include <list>
#include <string>
#include <vector>

#include "Versions/FullVersion.h"

// One update descriptor ("update.ini", "KQUpdatePack_Update.ini" or a per-update ".ini").
struct INIInfoForPatch {
  std::string patchName;       // preset to the update folder's name; "NAME" replaces it
  std::string packages;        // platform names (old format) or ids (new format), each + ","
  std::string rebootPackages;  // "REBOOTPKGS"; in the new format converted to ids, each + ","
  std::string requires;
  std::string obsoletes;
  std::string aliasName;
  unsigned long long spaceNeeded = 0;  // "SPACENEEDED", bytes
  unsigned long long isSPUpdate = 0;   // 1: an update of a feature release; set by the collectors
  std::string activeSP;                // "ActiveSP" or "ServicePackHotFix"
  unsigned int hasJar = 0;             // 1: a HASJAR line says "=Yes"
  unsigned int reserved = 0;           // set to 0 by the readers, otherwise unused
  std::string transactionId;           // "[TransactionID]=", decimal text
  std::string maxMediaTransactionId;   // "[MaxMediaTransactionID]"
};

// What the cache holds for one operating system of one release.
struct UpdatesForOS {
  int osId = 0;            // 0: empty slot
  _SPVersion spVersion;    // major -1: no feature release recorded
  bool valid = true;       // false: the feature release was found corrupt
  std::list<std::string> additionalUpdates;  // loose updates, in listing order
  std::list<std::string> spUpdates;          // updates of the recorded feature release
  std::list<INIInfoForPatch> iniInfos;       // one per update whose descriptor was read
};

constexpr int KQ_INVENTORY_RELEASES = 3;
constexpr int KQ_INVENTORY_OS_SLOTS = 35;

// One release of an inventory; index i matches row i of ReleasesSupported.
struct UpdatesForRelease {
  int relId = 0;  // 0: empty entry
  // Slot i matches row i of OSTypesInfo; releases 1..14 use the first 14 slots only.
  UpdatesForOS osUpdates[KQ_INVENTORY_OS_SLOTS];
  // The operating systems needed for this release; filled by the caller, never by a scan.
  std::vector<int> needOsForVersion;
};

struct UpdatesAtCache {
  UpdatesForRelease releases[KQ_INVENTORY_RELEASES];
};

// What a scan is told about the cache. Only the root is read; the other fields are carried.
struct CacheProp {
  std::string cacheRoot;
  std::string text1;
  std::string text2;
  bool flag = false;
  std::string text3;
  std::string text4;
};

// Build number of a release major version: 9 -> 84, 10 -> 116, 11 -> 80, else 0.
int GetBuildNumberFromReleaseVersion(int major);
// Stamps sp with major relId - 5 and the build of that major.
void SetReleaseVersionBuildFromReleaseId(_SPVersion& sp, int relId);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_UPDATECACHEINVENTORY_H_
