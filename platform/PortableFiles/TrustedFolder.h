// TrustedFolder: reaching a folder that no other local user can change, and keeping hold of it.
//
// The library runs as root beside other users, so a folder it writes its state in (logs, lock
// files, the configuration store, the embedded database) is trusted only when nobody else can
// change any level of its path: every level from "/" down is a real folder owned by root or by
// this process's user and writable by nobody else. A sticky folder such as /tmp may be writable
// by all (its entries can be renamed or removed only by their owners); the level below it must
// then be root's or the user's, as every level must. A symbolic link on the way is followed only
// when root or the user owns it: it lies in a folder already found trusted, so nobody else can
// replace it. The last folder must be a real folder (not a link), belong to the user (or to
// root, where the caller allows) and be writable by nobody else, sticky or not.
//
// The walk is one pass from "/" over open descriptors (each level opened relative to the one
// above, without following links but where the rule allows), and its result is a descriptor of
// the very folder it checked: the caller creates, opens, renames and locks through that
// descriptor (openat and its kin), never through the path again, so a level swapped after the
// check changes nothing.
#ifndef KQ_PLATFORM_PORTABLEFILES_TRUSTEDFOLDER_H_
#define KQ_PLATFORM_PORTABLEFILES_TRUSTEDFOLDER_H_

#pragma GCC visibility push(default)

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace kq {

// How OpenTrustedFolder treats the folder it is asked for.
struct TrustedFolderOptions {
  bool make = false;          // make the folder itself when missing, lastMode
  bool makeParents = false;   // make missing levels above it too, 0755
  mode_t lastMode = 0700;     // mode of the folder itself when made here
  bool rootMayOwnLast = true; // the folder itself may be root's (else this user's only)
};

// Opens the absolute folder `path` as described above and returns an O_PATH descriptor of it
// (close-on-exec; the caller closes it). -1 with the reason in `err` ("folder [/tmp/x] is
// owned by user 1000", "[/tmp/x] is a symbolic link of user 1000", "folder [/srv] is writable
// by other users", "[/tmp/x] is not a folder", ...) when a level is refused, missing (without
// `make`), or cannot be examined; a relative path is refused. "." and ".." components, in the
// path or in a link's target, are followed as the walk's own levels. errno tells ENOENT only
// where a real folder on the way lacks the next level: a link whose target is missing leads
// nowhere ("[/etc/kq] is a symbolic link that leads nowhere: [/mnt/share/kq] does not exist")
// and is refused, whoever owns it, and nothing is made in its target's place.
int OpenTrustedFolder(const std::string& path, const TrustedFolderOptions& options,
                      std::string& err);

// Opens the folder `name` (one entry name) of a folder opened by OpenTrustedFolder (or by this
// call) as one more level of the walk, making it first with `mode` when missing and `make` is
// set: a real folder, never a link, owned by this user or root and writable by nobody else.
// The descriptor (O_RDONLY, so that the folder can be listed as well; close-on-exec) or -1 with
// the reason in `err`; errno tells ENOENT for a missing folder not made. `shown` names the
// folder in `err`.
int OpenTrustedSubfolder(int folderFd, const std::string& name, bool make, mode_t mode,
                         const std::string& shown, std::string& err);

// Opens the entry `name` (one file name) of a folder opened by OpenTrustedFolder, with `flags`
// (O_CREAT with `mode` makes it when missing), never through a link and never waiting (a FIFO
// or device is refused, not waited on): it must be a regular file owned by this user, or by
// root when `rootMayOwn`, that nobody else may write (no 022 bit), as its folder must be: its
// content or its lock is trusted. `shown` names the file in `err` ("[/etc/x.ini] is writable
// by other users", "[/etc/x.ini] is a symbolic link", ...). The descriptor (close-on-exec),
// with its status in `status` when given, or -1 with the reason in `err`; errno tells ENOENT
// for a missing file opened without O_CREAT.
int OpenOwnFileAt(int folderFd, const std::string& name, int flags, mode_t mode, bool rootMayOwn,
                  const std::string& shown, std::string& err, struct stat* status = nullptr);

// The same for a file that is only appended to and never read or locked (a log), opened
// O_WRONLY | O_APPEND | O_CREAT: it must be this user's, and may be writable by others.
int OpenAppendOnlyFileAt(int folderFd, const std::string& name, mode_t mode,
                         const std::string& shown, std::string& err,
                         struct stat* status = nullptr);

// The path through which a program that takes only paths (the database engine) reaches the
// entry `name` of the folder open at `folderFd` without walking the folder's path again:
// "/proc/self/fd/<fd>/<name>". It is valid while `folderFd` stays open.
std::string PathThroughFd(int folderFd, const std::string& name);

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_TRUSTEDFOLDER_H_
