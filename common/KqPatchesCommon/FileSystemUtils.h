// File-system utilities: path tests, sizes, listings, creation, copy, move and removal of
// folder trees. Declared here, included by UpdateUtils.h.
//
// Rules common to all of them:
//  * Listings are in bytewise name order (never the file system's order).
//  * Child paths are folder + "/" + entry name.
//  * A symbolic link is never descended into, and nothing is ever deleted or modified through
//    one: removal unlinks a link and leaves its target alone. For listings, a link to a folder
//    counts as a folder (but its contents are not visited), any other link as a file; sizes
//    count a link's own size, never its target's; copies recreate a link as a link.
//  * An entry that disappears while a folder is walked (another process removed it) is skipped.
//  * Failures are logged on the default process log, tagged with the function name.
// All functions are thread-safe and keep no state.
#ifndef KQPATCHESCOMMON_FILESYSTEMUTILS_H_
#define KQPATCHESCOMMON_FILESYSTEMUTILS_H_

#pragma GCC visibility push(default)

#include <list>
#include <string>
#include <vector>

// ---- Path tests and sizes ---------------------------------------------------------------------
// True when the path exists and is a folder (a link to a folder counts); false for null.
bool IsADirectory(const char* path);
// True when the status of the path can be read (any kind of entry); false for null.
bool isFilePresent(const char* path);
// True when the path is missing, or is a file or tree whose sizes add up to 0 bytes. Stops at
// the first non-empty entry. False when a folder cannot be read.
bool IsFileEmpty(const char* path);
// True when the path is missing or not a readable folder, or the folder holds nothing.
bool IsFolderEmpty(const char* path);
// The size of a regular file; false (logged) when it cannot be read or is not a regular file.
bool GetRegularFileSize(const char* path, unsigned long long& size);
// A regular file's size, or the total size of everything below a folder, recursively. False when
// the path or a folder below it cannot be read; `size` is then left untouched.
bool GetDirectorySize(const char* path, unsigned long long& size);

// ---- Listings (results are appended; the outputs are not cleared) ---------------------------
// kind 1: the names of the sub-folders; kind 2: the names of everything else.
bool GetItemList(std::string folder, std::list<std::string>& names, const int& kind);
bool GetFolderList(std::string folder, std::list<std::string>& names);  // kind 1
bool GetFileList(std::string folder, std::list<std::string>& names);    // kind 2
// The non-folder entries of folder (or folder + "/" + relative), named relative + "/" + name
// (the bare name when relative is empty); with `recurse` the sub-folders' too, depth first.
// Both paths are taken in "/" form.
bool GetAllFilesInDir(std::string folder, std::string relative, std::vector<std::string>& files,
                      bool recurse);
// Every file and folder below `folder`, as paths relative to it, depth first, a folder before
// its contents. A path that is not a folder lists nothing and gives true.
bool GetRecursiveFilesNFol(std::string folder, std::vector<std::string>& entries);

// ---- Creation, removal, copy and move -------------------------------------------------------
// Creates the folder (0755) and its missing parents. False for a path without any "/".
bool recursiveCreateDir(const char* path);
// Removes the path with everything below it. True when removed or missing; false when any
// entry could not be removed (`error` then holds "Failed to remove [<path>], errno [<n>]").
bool DeleteDir(std::string path);
bool DeleteDir(std::string path, std::string& error);
// Removes a folder tree; 0 on success or when missing, else the error code (text in `error`).
int RemoveDir(const char* path, std::string& error);
// Removes the path (removeSelf) or only what is inside the folder; 1 on success, 0 when the path
// cannot be read or any entry could not be removed (`error` then says which).
int RemoveDirUnix(const char* path, std::string& error, bool removeSelf);
// Copies the tree at `source` into `target` (created when missing); files keep their permission
// bits, and with clearReadOnly a copy with neither owner- nor group-write gets both. False at
// the first file that cannot be copied (the rest is then not copied).
bool copyDirectory(const char* source, const char* target, bool clearReadOnly);
// Moves the tree: a rename when possible, else copy and delete the source files.
bool MoveDirectory(const char* source, const char* target);
bool copyOrMoveDirImpl(const char* source, const char* target, bool move, bool clearReadOnly);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_FILESYSTEMUTILS_H_
