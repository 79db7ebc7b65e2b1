// Small helpers the request handler uses around a remote-cache synchronisation: the Hubnode-level
// feature-release folder of a sync request, whether a request carries package files, media file
// counts, the names of the cache operation codes, and the feature-release folders a client cache
// is to delete.
//
// Free functions without state; they log on the process's default log at level 2 (the folder
// path builder at level 10). Requests are vectors of FilesForRel: 1/1 release id, 2/2 FilesForOS
// list (7/7 media files), 4/4 feature-release folder name, 5/8 the Hubnode-level flag.
#ifndef KQ_COMMON_KQPATCHESCOMMON_SYNCREQUESTUTILS_H_
#define KQ_COMMON_KQPATCHESCOMMON_SYNCREQUESTUTILS_H_

#pragma GCC visibility push(default)

#include <string>
#include <utility>
#include <vector>

#include "Messages/UpdatePatches.h"

// The cache operations of a cache-operation request, by code. The table in
// SyncRequestUtils.cpp gives each its logged name.
#define KQ_CACHE_OPCODES(X)                                             \
  X(CACHE_OP_GET_CACHE_INFO, 0, "GetCacheInfo")                          \
  X(CACHE_OP_ADD_TO_CACHE, 1, "AddToCache")                              \
  X(CACHE_OP_DELETE_FROM_CACHE, 2, "DeleteFromCache")                    \
  X(CACHE_OP_GET_CACHE_INI_INFO, 3, "GetCacheINIInfo")                   \
  X(CACHE_OP_CHECK_SP_INTEGRITY, 4, "CheckSPIntegrity")                  \
  X(CACHE_OP_GET_CACHE_INFO_NEW, 5, "GetCacheInfoNew")                   \
  X(CACHE_OP_SYNC_CACHE_NEW, 6, "SyncCacheNew")                          \
  X(CACHE_OP_DELETE_CACHE_FILES_NEW, 7, "DeleteCacheFilesNew")           \
  X(CACHE_OP_GET_CACHE_BASELINE_NEW, 8, "GetCacheBaselineNew")           \
  X(CACHE_OP_DELETE_PACKAGE_CACHE_FILES, 9, "DeletePackageCacheFiles")   \
  X(CACHE_OP_DELETE_OBSOLETE_SP_MEDIA, 10, "DeleteObsoleteServicePackMedia") \
  X(CACHE_OP_CLEAR_CACHED_BASELINE, 11, "ClearCachedBaseline")           \
  X(CACHE_OP_AKAMAI_DOWNLOAD, 12, "AkamaiDownload")

#define KQ_CACHE_OPCODE_ENUM(name, code, text) name = code,
enum CacheOpcode : int { KQ_CACHE_OPCODES(KQ_CACHE_OPCODE_ENUM) };
#undef KQ_CACHE_OPCODE_ENUM

// The folder name (4/4) of the first entry of the Hubnode's release whose flag 5/8 is set; ""
// when there is none.
std::string GetHNLevelSPFolderNameFromSyncRequest(
    const std::vector<UpdatePatches::FilesForRel>& request);
// Sets 5/8 to 1 in every entry of the Hubnode's release whose folder name equals folderName.
int SetHNLevelSPFlagInFilesToSync(std::vector<UpdatePatches::FilesForRel>& request,
                                  const std::string& folderName);
// True when a flagged entry (fields 4 and 5 set, 5/8 non-zero) carries package files.
bool CheckIfSyncHasHNSPLevelPackageFiles(const std::vector<UpdatePatches::FilesForRel>& request);
// True when a media file of any FilesForOS of the release is no loose update (its name 5/14
// does not contain "LooseUpdates").
bool CheckIfSyncHasPackageFiles(const UpdatePatches::FilesForRel& release);
// (package files, loose-update files) of the media list 7/7.
std::pair<unsigned long long, unsigned long long> GetPackageAndUpdatesFileCount(
    const CNMessageBase& os);
// Appends, per folder name, cachePath + "/KQMedia/" + release name + "/" + name in the path form
// of the operating system. Names that are not one plain folder name ("", ".", "..", or holding
// '/' or '\') are logged and skipped: the client deletes these paths. Returns 1.
int addClientCacheReleasePathToValidSPDirNames(std::string cachePath, int releaseId, int osId,
                                               std::vector<std::string> folderNames,
                                               std::vector<std::string>& out);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_SYNCREQUESTUTILS_H_
