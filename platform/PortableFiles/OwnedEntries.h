// Entries of a shared folder that each belong to one live owner: the part files of transfers, the
// work folders of jobs. The owner holds an exclusive flock on a descriptor of its entry for as
// long as it uses the entry; an entry whose lock is free has no owner any more (its process was
// killed or crashed) and anyone may remove it. flock locks belong to an open file description,
// so two threads of one process that each open an entry see each other's locks, and a lock goes
// with the last descriptor of its owner, however the owner ended.
//
// Nobody waits for such a lock: an owner that finds its fresh entry locked takes another name,
// and a remover leaves a locked entry alone.
#ifndef KQ_PLATFORM_PORTABLEFILES_OWNEDENTRIES_H_
#define KQ_PLATFORM_PORTABLEFILES_OWNEDENTRIES_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <functional>
#include <string>

#include "PortableFiles/ScopedFd.h"

namespace kq {

// Takes the owner's lock on `fd`, an open descriptor (not O_PATH) of the entry `name` that the
// caller has just made in the folder open at `folderFd`, and checks that `name` still names that
// very entry. False, with errno EWOULDBLOCK when a remover holds the lock and ENOENT when one
// removed the entry first (it saw the entry before the lock was taken): the caller then makes
// its entry anew under another name. Any other errno is the system's refusal of the lock. Once
// true, the entry is the caller's until `fd` and all its duplicates are closed.
bool HoldAsOwner(int folderFd, const std::string& name, int fd);

// What owned entries are: a regular file or a real folder.
enum class OwnedKind { kFile, kFolder };

// Opens the entry `name` of the folder open at `folderFd` (no link followed, no blocking on a
// FIFO) and, when it is of the kind `kind`, holds it as HoldAsOwner() does. The held descriptor
// (read only), or an invalid one with errno: ELOOP for a link, EINVAL for another kind, else as
// open() or HoldAsOwner() gave it (EWOULDBLOCK: someone holds the entry).
ScopedFd HoldEntry(int folderFd, const std::string& name, OwnedKind kind);

// Removes the entry `name` of the folder open at `folderFd`, as RemoveUnderAt() does, when it is
// of the kind `kind` and nobody holds it; the lock is taken and the name checked first, as
// HoldEntry() does, and kept until the entry is gone. `removed` (when not null) tells whether
// it went. False only when the removal itself failed (the failure in `err` when not null).
bool RemoveIfUnowned(int folderFd, const std::string& folder, const std::string& name,
                     OwnedKind kind, bool* removed, std::string* err);

// Removes, as RemoveIfUnowned() does, each entry of the folder open at `folderFd` of the kind
// `kind` whose name `owned` accepts and whose owner's lock is free. Each lock is taken first,
// Entries of another kind (links included) stay. `folder` is the folder's path, for messages.
// False when the folder cannot be read or a removal failed (the first failure in `err` when not
// null); the other entries are still tried.
bool RemoveUnownedEntries(int folderFd, const std::string& folder, OwnedKind kind,
                          const std::function<bool(const std::string&)>& owned, std::string* err);

// `length` random letters and digits, for names that must not collide with those that other
// threads, processes or hosts (pid namespaces included) choose at the same time.
std::string RandomNameText(size_t length);

// A work folder of one owner among its siblings in a shared folder (each job of a host has one
// in "Temp/CopySoftware"): made under a fresh name, held for the object's life, and removed with
// it; its maker removes the siblings whose owners are gone. The object keeps descriptors
// of the shared folder and of its own, so whatever becomes of their paths later, its removals
// stay inside the folder it made.
class OwnedFolder {
 public:
  OwnedFolder() = default;
  ~OwnedFolder() { Remove(nullptr); }
  OwnedFolder(const OwnedFolder&) = delete;
  OwnedFolder& operator=(const OwnedFolder&) = delete;

  // Opens the folder `shared` below `base` (`base` is followed as the system resolves it; every
  // level of `shared` must be a real folder) and makes and holds the folder `prefix` + random
  // text there. False with `err` set (when not null); a refused link gives errno ELOOP.
  bool Make(const std::string& base, const std::string& shared, const std::string& prefix,
            std::string* err);
  // Removes the entries of the shared folder that `sibling` accepts and that no live owner
  // holds (the own folder is held); as RemoveUnownedEntries().
  bool RemoveUnownedSiblings(const std::function<bool(const std::string&)>& sibling,
                             std::string* err);
  // Removes everything inside the folder; the folder itself stays, and stays held.
  bool Empty(std::string* err);
  // Removes the folder and lets it go; true when none is held.
  bool Remove(std::string* err);

  bool made() const { return held_.valid(); }
  // The folder's path; "" until it is made.
  const std::string& path() const { return path_; }

 private:
  ScopedFd shared_;  // the shared folder (O_PATH)
  ScopedFd held_;    // the own folder, locked
  std::string sharedPath_;
  std::string name_;
  std::string path_;
};

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_OWNEDENTRIES_H_
