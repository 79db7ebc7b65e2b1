// The grammar of update and service-pack names, and the readers that list
// valid names or take service-pack versions out of names, folders and texts.
//
// Update name: <os short name>_<middle>_<last>, plus ".exe" on a remote site.
// Fields are non-empty and hold no '_', blank, tab, CR, LF, '/' or '\'; at
// most 32, 512 and 32 bytes; the first must name an operating system (its
// short name or old-style prefix). At least 12 bytes in the local cache, 16
// on a remote site.
//
// Service-pack name: "SP" <major digits> <minor>, plus ".exe" on a remote
// site (only what precedes the first ".exe" is examined). Major and minor hold
// at most 32 bytes each; a major of exactly "0" is refused; the minor holds no
// '/' or '\'. At least 3 bytes in the local cache, 7 on a remote site. The
// version parser (_SPVersion::ParseSPName) reads the names valid in the local
// cache except those whose major does not fit a 32-bit number, so every reader
// below takes a name's version as written ("SP01", "SP5ab") and leaves its
// record untouched for a name that is no service pack (the folder readers log
// a valid name whose major they cannot hold).
//
// These names become folder names that are later deleted, hence the refusal
// of path separators. The validator logs each rejection once on the default
// log and never fails loudly.
#ifndef KQPATCHESCOMMON_UPDATENAMES_H_
#define KQPATCHESCOMMON_UPDATENAMES_H_

#pragma GCC visibility push(default)

#include <list>
#include <string>
#include <vector>

#include "Versions/FullVersion.h"

enum UPDATETYPE { UPDATETYPE_SERVICEPACK = 0, UPDATETYPE_UPDATE = 1 };
enum UPDATE_FILE_LOC { UPDATE_FILE_LOC_REMOTE = 0, UPDATE_FILE_LOC_LOCAL = 1 };

// Longest valid update name in the local cache: 32 + 1 + 512 + 1 + 32.
constexpr std::size_t KQ_MAX_UPDATE_NAME_LEN = 578;

bool isUpdateFileStrValid(const char* name, UPDATETYPE type, UPDATE_FILE_LOC location);

// The first valid update name of folder (bytewise order), up to and including
// its second '_'. False, prefix untouched, when the folder cannot be listed or
// holds no valid update name.
bool GetUnixUpdatePrefix(const char* folder, std::string& prefix);
// Appends the valid update names listed in folder + "/Updates.txt", one a
// line. A missing manifest counts as empty. Always true.
bool GetSPUpdatesNew(const char* folder, std::vector<std::string>* names);
bool GetSPUpdatesNew(const char* folder, std::list<std::string>& names);
// The greatest version among the entries of folder whose name begins with
// "SP" (a default version when there is none). False, highest untouched, when
// the folder cannot be listed.
bool GetHighestSP(_SPVersion& highest, const char* folder);
// Takes major and minor from the text after "ServicePack" ("Updates for
// ServicePack 12 [Missing for 3 clients]"); 0 and none without it. Sets
// *missing when the text says the version is missing. Always true.
bool parseUpdateStr(std::string text, _SPVersion& sp, bool* missing);
// Finds the first service-pack folder (in bytewise order) for a media location
// and OS; folders whose names are no service pack are passed over.
bool getServicePackNumber(std::string mediaLocation, int osId, _SPVersion& sp);
// "SP20_4711_R8": name SP20, transaction id 4711, revision 8 (numbers read
// with base detection, so "0123" is octal). Missing parts give 0; a name
// before the first '_' that is no service pack changes nothing.
void GetSPversionFromSPFolderName(std::string folderName, _SPVersion& sp);
// Leading numbers compared first (a's minus b's), then the rests without case.
int CompareFirstLevelVersion(const char* a, const char* b);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_UPDATENAMES_H_
