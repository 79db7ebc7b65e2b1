// Process-wide vocabulary of the software cache: the releases, operating
// systems and update types that the rest of the library names by small ids.
//
// The tables are exported data and start empty; nothing is read when the
// library loads. SetOSTypesInfo fills the operating-system tables once (later
// calls do nothing); SetReleasesSupported (Hubnode, from the database) or
// SetReleasesSupportedOnClient (client, from the product version) fills the
// release table; SetUpdateTypesInfo fills the update types once. The caller
// fills the tables before it asks the cache anything: the calls that walk
// releases, operating systems or update types check VocabularyFilled first and
// fail, with a level-0 line naming the filler to call, on a table never filled
// (a filled table that lacks one release answers as before, without it).
//
// Release lookups take the release-table lock; it is re-entrant, so a caller
// holding it through getHNReleaseInfoHN may call them. Operating-system and
// update-type lookups take no lock: they read tables that do not change after
// their one fill, and assume the filler ran.
#ifndef KQPATCHESCOMMON_VOCABULARY_H_
#define KQPATCHESCOMMON_VOCABULARY_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

class KqCriticalSection;

// One row of the operating-system table.
struct QU_OSType {
  int id = 0;
  std::string name;       // "linux-x8664"
  std::string shortName;  // "linux-x8664", "win" for "Windows"
  int isNewOS = 0;        // 1: a target the patch jobs still support
};

// One row of the release table.
struct QU_ReleaseInfo {
  std::string name;  // "11.0.0"
  int id = 0;        // release id: major number + 5
};

// One row of the update-type table.
struct QU_UpdateType {
  int id = 0;
  std::string name;  // "ServicePacks", "Updates"
};

constexpr int KQ_NUM_OS_TYPES = 35;
constexpr int KQ_NUM_RELEASES_SUPPORTED = 3;
constexpr int KQ_NUM_UPDATE_TYPES = 2;

extern QU_OSType OSTypesInfo[KQ_NUM_OS_TYPES];
extern QU_ReleaseInfo ReleasesSupported[KQ_NUM_RELEASES_SUPPORTED];
extern QU_UpdateType UpdateTypesInfo[KQ_NUM_UPDATE_TYPES];
extern std::string sFolders900[KQ_NUM_OS_TYPES];   // old-style folder names by OS id
extern std::string sPrefixes900[KQ_NUM_OS_TYPES];  // old-style file-name prefixes by OS id

// ---- Fillers ----
void SetOSTypesInfo();
bool SetReleasesSupported();         // Hubnode: from the release table of the database
void SetReleasesSupportedOnClient(); // client: from the product version; defaults 16, 15, 14
void SetUpdateTypesInfo();
KqCriticalSection* getHNReleaseInfoHN();  // the release table's (re-entrant) lock

// ---- Fill state ----
enum KqVocabularyTable : unsigned {
  kVocabReleases = 1u,     // SetReleasesSupported or SetReleasesSupportedOnClient
  kVocabOSTypes = 2u,      // SetOSTypesInfo
  kVocabUpdateTypes = 4u,  // SetUpdateTypesInfo
};
// True when every table named in `tables` (bits above) holds rows. Otherwise
// false, and `missing` says which tables are empty and which filler to call.
bool VocabularyFilled(unsigned tables, std::string& missing);

// ---- Release lookups (under the release-table lock) ----
int GetRelIdFromIndex(int index);              // 0 outside 0..2
std::string GetNameFromIndex(int index);       // empty outside 0..2
std::string GetRelNameFromId(int releaseId);   // empty when no row has the id
int GetRelIdFromName(const std::string& name); // -1 when no row has the name
int GetIndexForRelId(int releaseId);           // -1 when no row has the id

// ---- Operating-system lookups (no lock) ----
int GetOSIdFromName(const std::string& name);           // exact match; -1 on a miss
const char* GetOSNameFromId(int osId);                  // null on a miss
int GetOsIdFromBSName(const std::string& binarySetName); // first row (1..34) whose name is a prefix; -1
bool isOSShortNameInList(const char* text);             // short name or old-style prefix; rows 0, 5 skipped
bool IsUnix(int osId);                                  // osId > 4
bool isUnixBsId(int binarySetId);                       // binarySetId > 4
std::string GetMainOsName(int osId);                    // "Windows" for 1, else "Unix"
std::string GetCPUFolderName(int osId);                 // "Win32", "WinIA64", "WinX64" or empty
int GetNumOSForRelease(int releaseId);                  // 14 or 35
bool FindOsInList(int osId, const std::vector<int>& ids);

// ---- Update-type lookups (no lock) ----
int GetUtypeIdFromName(const std::string& name);  // -1 on a miss
const char* GetUtypeNameFromId(int typeId);       // null on a miss

// ---- Package ids ----
bool IsThirdPartyPackage(int packageId);          // 6000..7000
bool IsDBRelatedPackage(int packageId);           // 801..899
// True when text is a decimal number above 0 that fits an int; value receives
// it. A text with any non-digit leaves value untouched.
bool IsSIMPkgIDValid(const char* text, int& value);

int GetApptypeForOS(int first, int second);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_VOCABULARY_H_
