// Folder reading, creation, removal and walks of the portable layer.
//
// A CPxDirectory object is one open listing: Open() reads the folder's names that match a
// pattern, sorted bytewise (so nothing depends on the order in which the file system returns
// them), and GetEntry() hands them out one by one. The object owns its listing, is not
// copyable, and needs no explicit Close().
//
//   CPxDirectory dir;
//   CPxError e = dir.Open(folder, "*", true);
//   SPxDirEntry entry; bool end = false;
//   for (e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) ...
//
// Walk() visits a tree and calls back for each entry. No walk ever descends into a symbolic
// link to a folder (it is reported with isDir true, but its contents are not visited).
#ifndef KQ_PLATFORM_PORTABLEFILES_PXDIRECTORY_H_
#define KQ_PLATFORM_PORTABLEFILES_PXDIRECTORY_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PortableFiles/PxError.h"

// One name of a listing (the bare entry name, without the folder).
struct SPxDirEntry {
  std::string name;
  unsigned char type = 0;  // the listing's DT_* type of the entry; 0 (DT_UNKNOWN) when not known
  const char* GetName() const { return name.c_str(); }
};

// One entry of a walk level (see CPxDirectory::ReadWalkLevel).
struct SPxWalkEntry {
  std::string name;
  bool isDir = false;    // a folder or a link to one
  bool descend = false;  // a real folder, which a walk descends into (never a link)
};

// One open folder, through which the entries inside it are listed and opened by name without
// walking the folder's path again for each of them. Open() takes a path (a final link is
// followed, as opening a path does); OpenBelow() opens one entry of an open folder and never
// goes through a link, so a tree walked from a checked folder stays inside it. The handle owns
// its descriptor (closed on destruction), is not copyable, and keeps the path it was opened by for the texts of errors and for callers that need the full path.
class CPxFolderHandle {
 public:
  CPxFolderHandle() = default;
  ~CPxFolderHandle() { Close(); }
  CPxFolderHandle(const CPxFolderHandle&) = delete;
  CPxFolderHandle& operator=(const CPxFolderHandle&) = delete;

  // Opens the folder at `path`; an open folder is closed first. ENOTDIR when it is no folder.
  CPxError Open(const std::string& path);
  // Opens the folder `name` (one entry name, no "/") of the open folder `parent`; its path
  // becomes parent's path + "/" + name. A link is never followed: ELOOP when `name` is one,
  // ENOTDIR when it is no folder.
  CPxError OpenBelow(const CPxFolderHandle& parent, const std::string& name);
  // Takes over `fd`, an open descriptor of a folder, as kq::OpenFolderUnder() returns one;
  // `path` is its path. An open folder is closed first. A negative fd fails with the error
  // number that errno holds (the reason a kq::OpenFolderUnder() call failed; EBADF when 0); a
  // descriptor of anything but a folder fails with ENOTDIR and is closed.
  CPxError Adopt(int fd, const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  const std::string& path() const { return path_; }
  // The descriptor, for the portable layer's calls that work relative to the folder.
  int nativeHandle() const { return fd_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Walk callback: `dir` is the folder holding the entry (the walked path, or a folder below it
// joined with "/"), `name` the bare entry name, `isDir` whether it is a folder (or a link to
// one). Returning an error stops the walk, and Walk() returns that error.
typedef CPxError (*PxWalkCallback)(const char* dir, const char* name, bool isDir, void* context);

class CPxDirectory {
 public:
  CPxDirectory() = default;
  CPxDirectory(const CPxDirectory&) = delete;
  CPxDirectory& operator=(const CPxDirectory&) = delete;

  // Reads the names of `folder` that match the shell pattern (fnmatch; "*" matches every name,
  // hidden ones too). With skipDots, "." and ".." are left out. A listing already open is
  // replaced. Fails when the folder cannot be opened or read.
  CPxError Open(const char* folder, const char* pattern = "*", bool skipDots = true);
  CPxError Open(const std::string& folder, const char* pattern = "*", bool skipDots = true) {
    return Open(folder.c_str(), pattern, skipDots);
  }
  // The next name, in bytewise order; *end becomes true (and `entry` is untouched) once all
  // names were handed out. Fails when no listing is open.
  CPxError GetEntry(SPxDirEntry& entry, bool* end);
  void Close();

  // True when the folder holds no entry other than "." and "..", and also when it cannot be
  // opened (missing, not a folder, unreadable).
  static bool IsEmpty(const char* path);
  static bool IsEmpty(const std::string& path) { return IsEmpty(path.c_str()); }
  // Creates the folder (0755, less the umask); with `recursive` its missing parents too, and an
  // existing folder is then success. Without it, an existing path is an error (EEXIST).
  static CPxError Create(const char* path, bool recursive = true);
  static CPxError Create(const std::string& path, bool recursive = true) { return Create(path.c_str(), recursive); }
  // Removes a folder. recursive: everything below it too (kq::RemoveTreeNoFollow, links are
  // removed as links); with contentsOnly the folder itself stays. Not recursive: only an empty
  // folder goes. A path that does not exist counts as removed; a link is never removed through.
  static CPxError Remove(const char* path, bool recursive = false, bool contentsOnly = false);
  static CPxError Remove(const std::string& path, bool recursive = false, bool contentsOnly = false) {
    return Remove(path.c_str(), recursive, contentsOnly);
  }
  // Visits the entries of `path` in bytewise order, a folder before its contents. depth 0
  // visits only the entries directly inside `path`; -1 every level; n > 0 n levels further.
  // With reportDirectories false folders are still descended into but not passed to the
  // callback. An entry or folder that disappears during the walk is skipped. Fails when `path`
  // cannot be read, a folder below it cannot be read, or the callback fails.
  static CPxError Walk(const char* path, void* context, int depth, bool reportDirectories,
                       PxWalkCallback callback);
  static CPxError Walk(const std::string& path, void* context, int depth, bool reportDirectories,
                       PxWalkCallback callback) {
    return Walk(path.c_str(), context, depth, reportDirectories, callback);
  }
  // One level of a walk, for callers that spread the levels of a tree over threads: the entries
  // of `folder` in bytewise order, typed as Walk() types them. An entry that disappears is left
  // out; with missingIsEmpty, so is the folder itself (an empty level). Fails as Walk() does.
  static CPxError ReadWalkLevel(const std::string& folder, bool missingIsEmpty,
                                std::vector<SPxWalkEntry>& entries);
  // The same level of an open folder (see CPxFolderHandle), read through its handle: the
  // entries are typed without a lookup of the folder's path for each.
  static CPxError ReadWalkLevel(const CPxFolderHandle& folder, std::vector<SPxWalkEntry>& entries);
  // The names of an open folder (see CPxFolderHandle) with the listing's types, in bytewise
  // order, without "." and "..". Fails when the folder cannot be read.
  static CPxError ReadNames(const CPxFolderHandle& folder, std::vector<SPxDirEntry>& entries);
  // Size of the file system holding `path` and the bytes free for an ordinary user (statvfs).
  static CPxError GetSpaceUsage(const char* path, uint64_t& totalBytes, uint64_t& freeBytes);
  static CPxError GetSpaceUsage(const std::string& path, uint64_t& totalBytes, uint64_t& freeBytes) {
    return GetSpaceUsage(path.c_str(), totalBytes, freeBytes);
  }

 private:
  std::vector<std::string> names_;
  std::vector<unsigned char> types_;  // DT_* of names_[i], as the folder reported it
  size_t next_ = 0;
  bool open_ = false;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_PXDIRECTORY_H_
