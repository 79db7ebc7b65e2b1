// Relative paths of the software cache, built from release, operating-system
// and update-type ids. Every result begins with "/" (callers prefix the cache
// root), except the text "Updates" of GetLooseUpdateFolder for old releases.
//
// Two layouts coexist: "KQUpdates/<release>/<os>/<update type>" for release
// ids up to 15, and "KQMedia/<release>/{Windows,Unix}/..." (or
// "KQMedia-Staging") for release ids above 15.
//
// A name that the vocabulary tables do not hold (an operating-system id
// outside the table, an update type before its table is filled) is never
// written into a path: the builders that return bool return false and leave
// the path alone, the others add nothing for it.
#ifndef KQPATCHESCOMMON_CACHEPATHS_H_
#define KQPATCHESCOMMON_CACHEPATHS_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <string>

#include "Versions/FullVersion.h"

// Operating-system family of a package folder.
enum PushUpdOSType { PUSH_UPD_OS_WINDOWS = 1, PUSH_UPD_OS_UNIX = 2 };

// ---- Media tree ----

// Appends "/KQMedia[-Staging]/<release>[/<sub>][/Windows|/Unix]" to path, or
// to base when base is given (path = base first). Returns path.c_str().
const char* GetPackageLocation(std::string& path, const char* releaseName, PushUpdOSType family,
                               const char* base, bool staging, const char* sub);
// As above with the release looked up by id; release id 0 means 16.
const char* GetPackageLocation(std::string& path, int releaseId, PushUpdOSType family,
                               const char* base, bool staging, const char* sub);
// The size of buffer that the unsized form below assumes.
constexpr std::size_t kPackageLocationBufferSize = 4096;
// Builds the location into out, which must hold kPackageLocationBufferSize (4096) bytes, and
// returns out. A location that does not fit leaves out an empty text, never a cut path.
char* GetPackageLocation(char* out, int unused, const char* releaseName, PushUpdOSType family,
                         const char* base, bool staging, const char* sub);
// Builds the location into out (outSize bytes, terminator included) and
// returns out. When it does not fit, out receives an empty text and the
// result is null: a cut path could name a parent folder.
char* GetPackageLocation(char* out, std::size_t outSize, int unused, const char* releaseName,
                         PushUpdOSType family, const char* base, bool staging, const char* sub);

std::string GetCacheReleaseFolder(int releaseId);
std::string GetLooseUpdateFolder(int releaseId, int osId, bool staging, bool platformOnly);
std::string GetLooseUpdateFolderNew(int osId, bool platformOnly);
void GetSeedDir(std::string& path, int releaseId, bool forUnix);
bool FindPkgPath(int releaseId, int osId, std::string& path, bool addSlash, bool addCpu);
void FindPkgPathForOS(std::string& path, int osId, int releaseId);
void FindMiscPkgPath(std::string& path, int osId);
std::string GetBinaryPayloadNameForOS(int osId);

// ---- Update tree (refuse OS ids 0 and 5, and ids without a name) ----

bool FindPathForMainOS(int releaseId, int osId, std::string& path);     // replaces path
bool FindNewPathForMainOS(int releaseId, int osId, std::string& path);  // replaces path
bool FindNewPathForOS(int releaseId, int osId, int updateType, std::string& path);
bool FindPathForOS(int releaseId, int osId, int updateType, std::string& path);
bool FindInstallUpdPathForOS(int releaseId, int osId, std::string& path);
bool FindNewSPPathForOS(int osId, _SPVersion version, std::string& path);
bool FindSPPathForOS(int osId, _SPVersion version, std::string& path);

// ---- Old-style names and path readers ----

bool Use900DirNames(const char* releaseOrPath);  // false for release 7.0.0 or 8.0.0
std::string GetWin32Prefix(const char* releaseOrPath);
std::string GetWinX64Prefix(const char* releaseOrPath, bool unused);
std::string GetWinIA64Prefix(const char* releaseOrPath, bool unused);
std::string ExtractUnixFlavor(const char* path);  // component after "/Unix/", else "nounix"

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_CACHEPATHS_H_
