// Entries held by their owners' locks, and the removal of those nobody holds.
#include "PortableFiles/OwnedEntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "PortableFiles/SafePath.h"

namespace kq {

namespace {

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when `name` in the folder open at `folderFd` is the entry open at `fd`.
bool NamesEntry(int folderFd, const std::string& name, int fd) {
  struct stat held, named;
  if (fstat(fd, &held) != 0) return false;
  if (fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (SameEntry(held, named)) return true;
  errno = ENOENT;
  return false;
}

bool Failed(std::string* err, const std::string& what, int e) {
  if (err != nullptr) *err = what + ", errno [" + std::to_string(e) + "]";
  errno = e;
  return false;
}

// The names of the folder open at `folderFd`, "." and ".." left out; false when it cannot be
// read to its end.
bool ListNames(int folderFd, std::vector<std::string>& names) {
  const int listFd = OpenFolderUnder(folderFd, "");
  if (listFd < 0) return false;
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    const int e = errno;
    close(listFd);
    errno = e;
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
    errno = 0;
  }
  const int e = errno;
  closedir(dir);
  errno = e;
  return e == 0;
}

}  // namespace

bool HoldAsOwner(int folderFd, const std::string& name, int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  // A remover that locked the entry before us has released it only once it was gone.
  return NamesEntry(folderFd, name, fd);
}

ScopedFd HoldEntry(int folderFd, const std::string& name, OwnedKind kind) {
  // Not blocking on a FIFO that took the name; a link is not followed.
  ScopedFd fd(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return fd;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return ScopedFd();
  if (!(kind == OwnedKind::kFile ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode))) {
    errno = EINVAL;
    return ScopedFd();
  }
  if (!HoldAsOwner(folderFd, name, fd.get())) return ScopedFd();
  return fd;
}

bool RemoveIfUnowned(int folderFd, const std::string& folder, const std::string& name,
                     OwnedKind kind, bool* removed, std::string* err) {
  if (removed != nullptr) *removed = false;
  const ScopedFd held = HoldEntry(folderFd, name, kind);
  if (!held.valid()) return true;  // a live owner's, another kind, or gone meanwhile
  if (!RemoveUnderAt(folderFd, folder, name, err)) return false;
  if (removed != nullptr) *removed = true;
  return true;
}

bool RemoveUnownedEntries(int folderFd, const std::string& folder, OwnedKind kind,
                          const std::function<bool(const std::string&)>& owned, std::string* err) {
  std::vector<std::string> names;
  if (!ListNames(folderFd, names))
    return Failed(err, "Error reading the directory [" + folder + "]", errno);
  bool ok = true;
  int firstErrno = 0;
  for (const std::string& name : names) {
    if (!owned(name)) continue;
    if (!RemoveIfUnowned(folderFd, folder, name, kind, nullptr, ok ? err : nullptr)) {
      if (ok) firstErrno = errno;
      ok = false;
    }
  }
  if (!ok) errno = firstErrno;
  return ok;
}

std::string RandomNameText(size_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 gen{
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      std::hash<std::thread::id>{}(std::this_thread::get_id())};
  std::string out(length, 'X');
  for (char& c : out) c = kAlphabet[gen() % (sizeof(kAlphabet) - 1)];
  return out;
}

bool OwnedFolder::Make(const std::string& base, const std::string& shared,
                       const std::string& prefix, std::string* err) {
  if (made() && !Remove(err)) return false;
  ScopedFd baseFd(open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!baseFd.valid()) return Failed(err, "Cannot open the folder [" + base + "]", errno);
  const std::string sharedPath = base + "/" + shared;
  ScopedFd sharedFd(OpenFolderUnder(baseFd.get(), shared, true));
  if (!sharedFd.valid()) {
    const int e = errno;
    return Failed(err,
                  e == ELOOP ? "[" + sharedPath + "] leads through a symbolic link"
                             : "Cannot open the folder [" + sharedPath + "]",
                  e);
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = prefix + RandomNameText(8);
    if (mkdirat(sharedFd.get(), name.c_str(), 0755) != 0) {
      if (errno == EEXIST) continue;
      return Failed(err, "Cannot create the folder [" + sharedPath + "/" + name + "]", errno);
    }
    ScopedFd fd(openat(sharedFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
                                                         O_CLOEXEC));
    if (fd.valid() && HoldAsOwner(sharedFd.get(), name, fd.get())) {
      shared_ = std::move(sharedFd);
      held_ = std::move(fd);
      sharedPath_ = sharedPath;
      name_ = name;
      path_ = sharedPath + "/" + name;
      return true;
    }
    const int e = errno;
    if (e == ENOENT || e == EWOULDBLOCK) continue;  // a remover took the fresh folder
    RemoveUnderAt(sharedFd.get(), sharedPath, name, nullptr);
    return Failed(err, "Cannot lock the folder [" + sharedPath + "/" + name + "]", e);
  }
  return Failed(err, "No unique folder name in [" + sharedPath + "]", EEXIST);
}

bool OwnedFolder::RemoveUnownedSiblings(const std::function<bool(const std::string&)>& sibling,
                                        std::string* err) {
  if (!made()) return Failed(err, "No folder is held", EINVAL);
  return RemoveUnownedEntries(shared_.get(), sharedPath_, OwnedKind::kFolder, sibling, err);
}

bool OwnedFolder::Empty(std::string* err) {
  if (!made()) return Failed(err, "No folder is held", EINVAL);
  std::vector<std::string> names;
  if (!ListNames(held_.get(), names))
    return Failed(err, "Error reading the directory [" + path_ + "]", errno);
  bool ok = true;
  for (const std::string& name : names) {
    if (!RemoveUnderAt(held_.get(), path_, name, ok ? err : nullptr)) ok = false;
  }
  return ok;
}

bool OwnedFolder::Remove(std::string* err) {
  if (!made()) return true;
  // Only the folder made here: a name that came to mean something else meanwhile stays.
  bool ok = true;
  if (NamesEntry(shared_.get(), name_, held_.get()))
    ok = RemoveUnderAt(shared_.get(), sharedPath_, name_, err);
  held_.reset();
  shared_.reset();
  name_.clear();
  path_.clear();
  sharedPath_.clear();
  return ok;
}

}  // namespace kq
