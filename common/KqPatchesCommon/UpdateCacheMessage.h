// The flat form of a cache inventory, for programs that exchange it without library types:
// fixed arrays, counted arrays of NUL-terminated strings and plain integers.
//
// Ownership: the caller owns the KQSP_UpdatesAtCache itself and hands it over zero-filled.
// Every array and string reachable from it is allocated with array new by
// KQUpdateCache::CacheStruct_Message and released only by KQUpdateCache::FreeCacheMessage,
// which zeroes the message again. Only releases below 15 travel in this form, with room for
// 14 operating systems each.
#ifndef KQPATCHESCOMMON_UPDATECACHEMESSAGE_H_
#define KQPATCHESCOMMON_UPDATECACHEMESSAGE_H_

#pragma GCC visibility push(default)

// A field below is named "requires" after the record it mirrors; C++20 made that a keyword.
#if __cplusplus > 201703L
#error "UpdateCacheMessage.h needs C++17 (-std=c++17): its field 'requires' is a keyword from C++20 on"
#endif

constexpr int KQSP_OS_ENTRIES = 14;
constexpr int KQSP_RELEASE_ENTRIES = 3;
// Longest feature-release version text ("20", "12a") the message may carry.
constexpr int KQSP_MAX_VERSION_TEXT = 13;

struct KQSP_UpdateName {
  KQSP_UpdateName() : name(nullptr) {}
  char* name;
};

struct KQSP_INIInfoForPatch {
  KQSP_INIInfoForPatch()
      : patchName(nullptr), packages(nullptr), rebootPackages(nullptr), requires(nullptr),
        obsoletes(nullptr), aliasName(nullptr), spaceNeeded(0), isSPUpdate(0) {}
  char* patchName;
  char* packages;
  char* rebootPackages;
  char* requires;
  char* obsoletes;
  char* aliasName;
  unsigned long long spaceNeeded;
  int isSPUpdate;  // 1: an update of a feature release, 0: an additional update
};

struct KQSP_UpdatesForOS {
  int osId;
  char* spVersion;  // version text without "SP"; null when no feature release is recorded
  int valid;        // 1 or 0; written only with spVersion
  int numAdditionalUpdates;
  KQSP_UpdateName* additionalUpdates;
  int numSPUpdates;
  KQSP_UpdateName* spUpdates;
  int numINIInfos;
  KQSP_INIInfoForPatch* iniInfos;
};

struct KQSP_UpdatesForRelease {
  int relId;  // 0: empty entry
  KQSP_UpdatesForOS osInfo[KQSP_OS_ENTRIES];
  int numNeedOs;
  int* needOs;
};

struct KQSP_UpdatesAtCache {
  KQSP_UpdatesForRelease releases[KQSP_RELEASE_ENTRIES];
};

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_UPDATECACHEMESSAGE_H_
