// The pieces that the deletion operations of KQUpdateCache share between their sources
// (UpdateCacheDelete.cpp, UpdateCacheDeleteRequest.cpp): the removal of the files of one list
// from an open folder, the report of a pruning, and the opening of a folder below a held cache
// root. Not part of the library's interface; the caller owns every descriptor it passes.
#ifndef KQ_COMMON_KQPATCHESCOMMON_UPDATECACHEDELETEINTERNAL_H_
#define KQ_COMMON_KQPATCHESCOMMON_UPDATECACHEDELETEINTERNAL_H_

#include <string>
#include <vector>

#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"

namespace kqdelete {

// Removes folder + "/" + name for each file of `files` from the folder open at `folderFd` (shown
// as `folder`; negative: the folder does not exist, and every name that passes the guard counts
// as missing). Missing names are skipped; a refused or failed name is logged and the others are
// still tried; then the folder's empty sub-folders are pruned and false is returned. `removed`
// (when not null) receives, in Unix form, each name that went.
bool DeleteNamedFiles(EvDebug& log, unsigned long long job, int folderFd,
                      const std::string& folder, std::vector<UpdatePatches::File>* files,
                      std::vector<std::string>* removed);

// Logs what one pruning removed ("Deleted empty directory [%s]"), and why it stopped when it
// failed; returns ok.
bool ReportPrune(EvDebug& log, unsigned long long job, bool ok,
                 const std::vector<std::string>& removed, const std::string& why);

// The folder `rel` ("" for the root itself) below the cache root open at `rootFd` (shown as
// `root`), opened level by level without following links (kq::OpenFolderUnder()). Returns the
// descriptor (the caller closes it); -1 with `why` empty when the root or a level is missing
// (nothing there to delete); -1 with `why` set when a link or a non-folder stands in the way or
// a level cannot be opened.
int OpenDeletionFolder(int rootFd, const std::string& root, const std::string& rel,
                       std::string& why);

// The request's remote-cache object (5/8), empty when absent.
UpdatePatches::RemClientInfo RemoteInfo(const UpdatePatches::CacheOpReq& request);
// The File list `field` of `message`.
std::vector<UpdatePatches::File> FilesOf(const CNMessageBase& message, const KqFieldId& field);
// The File list `files` of the request's file-list object `object` (additional-sync or
// appliance), empty when the object is absent.
std::vector<UpdatePatches::File> ObjectFiles(const UpdatePatches::CacheOpReq& request,
                                             const KqFieldId& object, const KqFieldId& files);
// The media files (7/7) of one FilesForOS as File entries named by their relative path.
std::vector<UpdatePatches::File> MediaFilesAsFiles(const CNMessageBase& os);
// `path` with every '\' turned into '/'.
std::string Unix(std::string path);

// `rel` + "/" + `name`, or `name` alone below the root ("").
std::string Below(const std::string& rel, const std::string& name);

}  // namespace kqdelete

#endif  // KQ_COMMON_KQPATCHESCOMMON_UPDATECACHEDELETEINTERNAL_H_
