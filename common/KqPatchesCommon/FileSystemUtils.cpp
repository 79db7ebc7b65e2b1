#include "FileSystemUtils.h"

#include <cerrno>
#include <functional>

#include "InstallUtils/KQInstallCommonUtils.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/PxString.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"

namespace {

constexpr uint32_t kModeDirectory = 0x4000;
constexpr uint32_t kOwnerOrGroupWrite = 0x90;

// Folders a walk keeps open at once (one per level it is in): deeper levels are read by path,
// so that a very deep tree does not run out of descriptors.
constexpr int kHeldFolders = 32;

// One entry of a folder walk, examined without following a link.
struct Entry {
  std::string name;
  std::string path;   // folder + "/" + name
  SPxFileStat st;     // the entry itself (lstat)
  bool realDir;       // a folder, not a link to one: the only kind a walk descends into
  bool listedAsDir;   // a folder or a link to one
  // The open folder holding the entry (null when that level was read by path), and its level.
  const CPxFolderHandle* folder;
  int depth;
};

enum class Next { kContinue, kStop, kFail };

// Whether the folder of the entry `from` is opened below its open parent folder.
bool OpensBelow(const Entry* from) {
  return from != nullptr && from->folder != nullptr && from->depth + 1 < kHeldFolders;
}

// Reads the names of `folder` in bytewise order: through `handle`, which stays open while the
// level is visited, for the top of a walk (opened by path) and for the entry `from` of an open
// folder (opened below it without following a link) while few folders are held open; else by
// path, keeping nothing open (walks that go down by path hold only their top folder).
CPxError ListFolder(const std::string& folder, bool nested, const Entry* from, CPxFolderHandle& handle,
                    std::vector<SPxDirEntry>& names) {
  if (from != nullptr ? !OpensBelow(from) : nested) {
    CPxDirectory dir;
    CPxError e = dir.Open(folder, "*", true);
    if (e.IsError()) return e;
    SPxDirEntry item;
    bool end = false;
    for (e = dir.GetEntry(item, &end); !e.IsError() && !end; e = dir.GetEntry(item, &end)) names.push_back(item);
    return e;
  }
  CPxError e = from != nullptr ? handle.OpenBelow(*from->folder, from->name) : handle.Open(folder);
  if (e.IsError()) return e;
  return CPxDirectory::ReadNames(handle, names);
}

// The common walk: opens `folder` (the entry `from` of the level above, when nested), reads its
// entries in bytewise order, examines each and hands it to `visit`. The failure points are logged
// with `tag` and end the walk with false. An entry that vanished before it could be examined is
// skipped; so is a whole folder below the top (`nested`) that vanished, or was replaced by a
// link, before it could be opened. kStop ends the walk with true.
bool ForEachEntry(const char* tag, const std::string& folder, bool nested, int openLevel,
                  const std::function<Next(const Entry&)>& visit, const Entry* from = nullptr) {
  EvDebug log;
  CPxFolderHandle handle;
  std::vector<SPxDirEntry> names;
  CPxError e = ListFolder(folder, nested, from, handle, names);
  if (e.IsError()) {
    if (nested && (e.GetErrorCode() == ENOENT || (OpensBelow(from) && e.GetErrorCode() == ELOOP))) return true;
    log.DebugLvl(tag, openLevel, "Unable to open directory [%s] with error: [%s]", folder.c_str(), e.c_str());
    return false;
  }
  const CPxFolderHandle* held = handle.IsOpen() ? &handle : nullptr;
  for (const SPxDirEntry& item : names) {
    Entry entry;
    entry.name = item.name;
    entry.path = folder + "/" + item.name;
    entry.folder = held;
    entry.depth = from != nullptr ? from->depth + 1 : 0;
    e = held ? CPxFile::LstatAt(*held, entry.name, entry.st) : CPxFile::Lstat(entry.path, entry.st);
    if (e.IsError() && e.GetErrorCode() == ENOENT) {
      log.DebugLvl(tag, 8, "Entry [%s] disappeared while reading [%s], skipping", entry.name.c_str(), folder.c_str());
    } else if (e.IsError()) {
      log.Debug(tag, "Failed to stat on file [%s] with error [%s]", folder.c_str(), e.c_str());
      return false;
    } else {
      entry.realDir = entry.st.IsDirectory();
      SPxFileStat target;
      entry.listedAsDir =
          entry.realDir ||
          (entry.st.IsLink() &&
           !(held ? CPxFile::StatAt(*held, entry.name, target) : CPxFile::Stat(entry.path, target)).IsError() &&
           target.IsDirectory());
      const Next next = visit(entry);
      if (next == Next::kFail) return false;
      if (next == Next::kStop) return true;
    }
  }
  return true;
}

// Adds up the sizes below `folder`; with stopAtFirstByte it ends as soon as the total is not 0.
bool SumTree(const std::string& folder, bool nested, bool stopAtFirstByte, unsigned long long& total,
             const Entry* from = nullptr) {
  return ForEachEntry(
      "GetDirectorySize", folder, nested, 0,
      [&](const Entry& e) {
        if (e.realDir) {
          if (!SumTree(e.path, true, stopAtFirstByte, total, &e)) return Next::kFail;
        } else {
          total += e.st.size;
        }
        return stopAtFirstByte && total > 0 ? Next::kStop : Next::kContinue;
      },
      from);
}

bool AllFiles(const std::string& folder, const std::string& relative, std::vector<std::string>& files,
              bool recurse, bool nested) {
  std::string readPath = relative.empty() ? folder : folder + "/" + relative;
  UnixPath(readPath);
  return ForEachEntry("GetAllFilesInDir", readPath, nested, 0, [&](const Entry& e) {
    const std::string rel = relative.empty() ? e.name : relative + "/" + e.name;
    if (!e.listedAsDir) {
      files.push_back(rel);
    } else if (recurse && e.realDir) {
      if (!AllFiles(folder, rel, files, true, true)) {
        EvDebug().Debug("[GetAllFilesInDir]", "Could not get files list info for directory %s", rel.c_str());
        return Next::kFail;
      }
    }
    return Next::kContinue;
  });
}

// Lists below `folder`, naming each entry `prefix` + its name.
bool FilesAndFolders(const std::string& folder, const std::string& prefix, std::vector<std::string>& entries,
                     bool nested) {
  return ForEachEntry("GetRecursiveFilesNFol", folder, nested, 0, [&](const Entry& e) {
    entries.push_back(prefix + e.name);
    if (e.realDir && !FilesAndFolders(e.path, prefix + e.name + "/", entries, true)) return Next::kFail;
    return Next::kContinue;
  });
}

bool CopyTree(const char* tag, const std::string& source, const std::string& target, bool move,
              bool clearReadOnly, bool nested) {
  EvDebug log;
  CPxDirectory dir;
  CPxError e = dir.Open(source, "*", true);
  if (e.IsError()) {
    if (nested && e.GetErrorCode() == ENOENT) return true;
    log.Debug(tag, "Unable to open directory [%s] with error: [%s]", source.c_str(), e.c_str());
    return false;
  }
  dir.Close();
  if (!isFilePresent(target.c_str())) {
    log.DebugLvl(tag, 10, "Folder [%s] does not exist, creating it", target.c_str());
    if (!recursiveCreateDir(target.c_str())) {
      log.Debug(tag, "Failed to create folder [%s]", target.c_str());
      return false;
    }
  }
  const bool ok = ForEachEntry(tag, source, nested, 0, [&](const Entry& en) {
    const std::string targetPath = CPxString::Format("{1}{2}{3}", target, "/", en.name).str();
    if (en.realDir) {
      // A link (or a file) where the folder's copy goes is replaced, never written through.
      SPxFileStat existing;
      if (!CPxFile::Lstat(targetPath, existing).IsError() && !existing.IsDirectory()) {
        log.Debug(tag, "Replacing [%s], which is no folder, by a folder", targetPath.c_str());
        e = CPxFile::Delete(targetPath);
        if (e.IsError()) {
          log.Debug(tag, "Cannot delete file [%s] with error [%s]", targetPath.c_str(), e.c_str());
          return Next::kFail;
        }
      }
      return CopyTree(tag, en.path, targetPath, move, clearReadOnly, true) ? Next::kContinue : Next::kFail;
    }
    if (en.st.IsLink()) {
      // A link is copied as a link: whatever it points to is neither read nor touched.
      SPxFileStat existing;
      if (!CPxFile::Lstat(targetPath, existing).IsError() && !existing.IsDirectory()) CPxFile::Delete(targetPath);
      e = CPxFile::CopyLink(en.path.c_str(), targetPath.c_str());
    } else {
      e = CPxFile::Copy(en.path, targetPath);
    }
    if (e.IsError()) {
      log.Debug(tag, "Failed to copy file [%s] to [%s] with error [%s]", en.path.c_str(), targetPath.c_str(), e.c_str());
      return Next::kFail;
    }
    if (move) {
      e = CPxFile::Delete(en.path);
      if (e.IsError()) {
        log.Debug(tag, "Cannot delete file [%s] with error [%s], continuing", en.path.c_str(), e.c_str());
      }
    }
    if (clearReadOnly && !en.st.IsLink() && (en.st.mode & kOwnerOrGroupWrite) == 0) {
      log.DebugLvl("copyOrMoveDirImpl", 8,
                   "File [%s] has read-only bit set, file attribute [%x]. Now trying to clear the RO bit",
                   targetPath.c_str(), en.st.mode);
      e = CPxFile::Chmod(targetPath, en.st.mode | kOwnerOrGroupWrite);
      if (e.IsError()) {
        log.Debug(tag, "Cannot clear the read-only attribute for file [%s] with error [%s], continuing",
                  targetPath.c_str(), e.c_str());
      } else {
        log.DebugLvl("copyOrMoveDirImpl", 8, "Successfuly clear the RO bit for file [%s]", targetPath.c_str());
      }
    }
    return Next::kContinue;
  });
  if (!ok) return false;
  if (move) {
    e = CPxDirectory::Remove(source, false, false);
    if (e.IsError()) log.Debug(tag, "Cannot delete folder [%s] with error [%s], continuing", source.c_str(), e.c_str());
  }
  return true;
}

}  // namespace

bool IsADirectory(const char* path) {
  struct stat sb;
  return path != nullptr && KQInstallCommonUtils::KQInstallmystat(path, &sb) == 0 &&
         (static_cast<uint32_t>(sb.st_mode) & 0xF000u) == kModeDirectory;
}

bool isFilePresent(const char* path) {
  struct stat sb;
  return path != nullptr && KQInstallCommonUtils::KQInstallmystat(path, &sb) == 0;
}

bool IsFileEmpty(const char* path) {
  if (path == nullptr || KQInstallCommonUtils::KQInstallAccess(path, 0) != 0) return true;
  SPxFileStat st;
  CPxError e = CPxFile::Stat(path, st);
  if (e.IsError()) {
    EvDebug().Debug("GetDirectorySize", "Cannot stat on file [%s]", path);
    return false;
  }
  if (st.IsRegular()) return st.size == 0;
  unsigned long long total = 0;
  return SumTree(path, false, true, total) && total == 0;
}

bool IsFolderEmpty(const char* path) {
  if (path == nullptr || KQInstallCommonUtils::KQInstallAccess(path, 0) != 0) return true;
  return CPxDirectory::IsEmpty(path);
}

bool GetRegularFileSize(const char* path, unsigned long long& size) {
  EvDebug log;
  SPxFileStat st;
  CPxError e = CPxFile::Stat(path, st);
  if (e.IsError()) {
    log.Debug("GetRegularFileSize", "Cannot stat on file [%s] with error [%s]", path ? path : "NULL", e.c_str());
    return false;
  }
  if (!st.IsRegular()) {
    log.Debug("GetRegularFileSize", "Current file [%s] is not a regular file", path);
    return false;
  }
  size = st.size;
  return true;
}

bool GetDirectorySize(const char* path, unsigned long long& size) {
  EvDebug log;
  SPxFileStat st;
  if (path == nullptr || CPxFile::Stat(path, st).IsError()) {
    log.Debug("GetDirectorySize", "Cannot stat on file [%s]", path ? path : "NULL");
    return false;
  }
  if (st.IsRegular()) {
    size = st.size;
    log.DebugLvl("GetDirectorySize", 8, "Regular file [%s] has size [%llu]", path, size);
    return true;
  }
  unsigned long long total = 0;
  if (!SumTree(path, false, false, total)) return false;
  size = total;
  return true;
}

bool GetItemList(std::string folder, std::list<std::string>& names, const int& kind) {
  return ForEachEntry("GetItemList", folder, false, 2, [&](const Entry& e) {
    if ((kind == 1 && e.listedAsDir) || (kind == 2 && !e.listedAsDir)) names.push_back(e.name);
    return Next::kContinue;
  });
}

bool GetFolderList(std::string folder, std::list<std::string>& names) { return GetItemList(folder, names, 1); }
bool GetFileList(std::string folder, std::list<std::string>& names) { return GetItemList(folder, names, 2); }

bool GetAllFilesInDir(std::string folder, std::string relative, std::vector<std::string>& files, bool recurse) {
  UnixPath(folder);
  return AllFiles(folder, relative, files, recurse, false);
}

bool GetRecursiveFilesNFol(std::string folder, std::vector<std::string>& entries) {
  if (!IsADirectory(folder.c_str())) return true;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return FilesAndFolders(folder, "", entries, false);
}

bool recursiveCreateDir(const char* path) {
  if (path == nullptr) return false;
  const std::string p(path);
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string parent = p.substr(0, slash);
  if (!parent.empty() && KQInstallCommonUtils::KQInstallAccess(parent, 0) != 0 && !recursiveCreateDir(parent.c_str())) {
    return false;
  }
  if (KQInstallCommonUtils::KQInstallAccess(p, 0) == 0) return true;
  CPxError e = CPxDirectory::Create(p, false);
  if (!e.IsError()) return true;
  EvDebug log;
  if (IsADirectory(path)) {
    log.Debug("[recursiveCreateDir]", "Directory [%s] is already created", path);
    return true;
  }
  log.Debug("[recursiveCreateDir]", "Failed to create directory [%s] with errno [%d]", path, e.GetErrorCode());
  return false;
}

bool DeleteDir(std::string path) {
  std::string error;
  return DeleteDir(path, error);
}

bool DeleteDir(std::string path, std::string& error) {
  error.clear();
  SPxFileStat st;
  CPxError e = CPxFile::Lstat(path, st);
  if (e.IsError() && e.GetErrorCode() == ENOENT) return true;
  return RemoveDirUnix(path.c_str(), error, true) > 0;
}

int RemoveDir(const char* path, std::string& error) {
  EvDebug log;
  SPxFileStat st;
  CPxError e = CPxFile::Lstat(path, st);
  if (e.IsError() && e.GetErrorCode() == ENOENT) {
    log.DebugLvl("RemoveDir", 10, "Folder [%s] does not exist", path);
    return 0;
  }
  e = CPxDirectory::Remove(path, true, false);
  if (e.IsError()) {
    log.Debug("RemoveDir", "Cannot delete folder [%s] with error [%d:%s]", path ? path : "NULL", e.GetErrorCode(),
              e.c_str());
    error = e.AsString();
    return e.GetErrorCode();
  }
  return 0;
}

int RemoveDirUnix(const char* path, std::string& error, bool removeSelf) {
  SPxFileStat st;
  if (path == nullptr || CPxFile::Lstat(path, st).IsError()) return 0;
  EvDebug log;
  std::string err;
  bool ok;
  if (st.IsLink() && !removeSelf) {
    // The contents of a link are someone else's folder: refused, and the link stays.
    error = std::string("Refusing to empty [") + path + "]: it is a symbolic link";
    log.Debug("[RemoveDirUnix]", "%s", error.c_str());
    return 0;
  }
  if (!st.IsDirectory()) {
    ok = kq::RemoveFileNoFollow(path, &err);
    if (!ok) log.Debug("[RemoveDirUnix]", "Error deleting [%s], errno [%d]", path, errno);
  } else {
    ok = removeSelf ? kq::RemoveTreeNoFollow(path, &err) : kq::RemoveContentsNoFollow(path, &err);
  }
  if (!ok) {
    // A failed removal is a level-1 line; an entry that could not be examined or listed, level 0.
    log.DebugLvl("[RemoveDirUnix]", err.rfind("Failed to remove", 0) == 0 ? 1 : 0, "%s", err.c_str());
    error = err;
    return 0;
  }
  return 1;
}

bool copyOrMoveDirImpl(const char* source, const char* target, bool move, bool clearReadOnly) {
  const char* tag = move ? "[MoveDirectory]" : "[copyDirectory]";
  EvDebug log;
  if (source == nullptr || target == nullptr || *source == '\0' || *target == '\0') {
    log.Debug(tag, "Source [%s] or target [%s] is empty", source ? source : "NULL", target ? target : "NULL");
    return false;
  }
  if (kq::IsSameOrInside(source, target)) {
    log.Debug(tag, "Cannot copy folder [%s] into itself [%s]", source, target);
    return false;
  }
  if (move) {
    // Within one file system a rename does the whole move at once; it fails (and the copy below
    // takes over) across file systems or when the target already holds something.
    const std::string t(target);
    const size_t slash = t.rfind('/');
    if (slash != std::string::npos && slash > 0 && !isFilePresent(t.substr(0, slash).c_str())) {
      recursiveCreateDir(t.substr(0, slash).c_str());
    }
    SPxFileStat st;
    const bool known = !CPxFile::Lstat(source, st).IsError();
    const bool isLink = known && st.IsLink();
    if (known && (st.IsDirectory() || isLink) && !CPxFile::Rename(source, target).IsError()) {
      log.DebugLvl(tag, 8, "Renamed [%s] to [%s]", source, target);
      return true;
    }
    if (isLink) {
      // A link is moved as a link: what it points to is neither copied nor deleted.
      CPxError e = CPxFile::CopyLink(source, target);
      if (!e.IsError()) e = CPxFile::Delete(source);
      if (e.IsError()) log.Debug(tag, "Failed to move the link [%s] to [%s] with error [%s]", source, target, e.c_str());
      return !e.IsError();
    }
  }
  return CopyTree(tag, source, target, move, clearReadOnly, false);
}

bool copyDirectory(const char* source, const char* target, bool clearReadOnly) {
  return copyOrMoveDirImpl(source, target, false, clearReadOnly);
}

bool MoveDirectory(const char* source, const char* target) {
  return copyOrMoveDirImpl(source, target, true, false);
}
