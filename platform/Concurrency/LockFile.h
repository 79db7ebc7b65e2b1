// LockFile: the files whose flock(2) is a lock between the processes of this host (named
// mutexes, the configuration store's writer lock, the software-cache guards).
//
// flock needs nothing but an open descriptor, so whoever can open a lock file can hold it for
// as long as they like. A lock file is therefore the owner's alone: made 0600, opened without
// following a link, and used only when it is a regular file owned by this process's user (one
// left readable by others is made 0600 again). The caller owns the descriptor; closing it
// releases the lock.
#ifndef KQ_PLATFORM_CONCURRENCY_LOCKFILE_H_
#define KQ_PLATFORM_CONCURRENCY_LOCKFILE_H_

#pragma GCC visibility push(default)

#include <chrono>
#include <string>

namespace kq {

// Opens (making it when missing) the lock file at `path` as above. The descriptor, or -1 with
// the reason in `err`.
int OpenLockFile(const std::string& path, std::string& err);

// The same for the lock file `name` of the folder open at `folderFd` (one checked by
// Configuration/StateFolders.h, say), reached through that descriptor only; `shown` is its path
// for messages.
int OpenLockFileAt(int folderFd, const std::string& name, const std::string& shown,
                   std::string& err);

// Takes an exclusive flock on `fd`, waiting until `deadline` (time_point::max(): without
// limit). 0 when held, else the errno value (ETIMEDOUT when the deadline passed).
int LockFileUntil(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_LOCKFILE_H_
