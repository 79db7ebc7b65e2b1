// Software-cache lock files: the locks that keep the processes of this host from reading an
// item of the software cache while another rewrites it.
//
// Each item has a lock root, <install folder>/Deployment/SwCacheLocks/<item>[/<version>[/<OS>]],
// with the folders "ReadLocks" and "WriteLocks". A lock is a file "P<pid>_J<job>.lock" in one of
// them, holding the item name; its holder deletes it to release the lock. Readers share an item;
// a writer excludes readers and writers.
//
// Locks are for job processes and the "kqd" daemon. A lock file "P<pid>_J<job>.lock" counts
// as live only while process <pid> is alive, job <job> runs (a process of this host carries
// "-jobid <job>" on its command line, or the job table has the job's row), and the holder is
// that job's: its command line carries "-jobid <job>", or it carries no "-jobid" and its process
// name is "kqd" (case ignored). Every other lock file is stale, and the next test of the item
// deletes it, whoever tests, the holder itself included (unless it passes
// ignoreCurrentProcess): a service that takes a lock without "-jobid <job>" on its command line
// and is not "kqd" keeps it only until the next test, and then believes it holds the item while
// a writer rewrites it. A test by a process named "kqd" deletes the locks of every other process
// of that name. (Process ids are reused: a process that took over a dead holder's id fails
// these tests as well.)
//
// The test for live locks and the creation of the own lock file happen under one exclusive
// flock on the guard file "Locks.guard" of the lock root, so two takers never both succeed.
// The guard is waited for at most two minutes (as the named mutexes), so a stuck taker cannot
// block the others for ever. Guard and lock files are the owner's alone (0600; a guard file
// that another user owns is refused) and are never opened through a link.
//
// The lock tree is checked as the other state folders below the install folder are
// (Configuration/StateFolders.h): from "/" down to <install folder>/Deployment/SwCacheLocks,
// then each level of the lock root and the lock folders, every one a real folder of root or
// this user that nobody else may write in. Its folders are then made, listed and cleaned
// through the descriptors checked, never through their paths, so a level swapped for a link
// later changes nothing. A test without `create` is answered from that walk alone: the item is
// free where the walk finds a real folder lacking the next level (no lock was ever taken
// there); a lock tree that is refused, or that the caller cannot reach (another user's 0700
// folders), makes the request fail (4) with a log line naming the folder.
//
// Where a test cannot be made, the lock stays: a holder that exists but cannot be looked at
// (hidden /proc entries, an unreadable /proc) keeps its lock, and a job counts as running while
// /proc or the job table cannot be read. A lock folder that cannot be read makes the request
// fail (4) rather than count as empty.
#ifndef KQPATCHESCOMMON_SWCACHELOCKS_H_
#define KQPATCHESCOMMON_SWCACHELOCKS_H_

#pragma GCC visibility push(default)

#include <string>

class FullVersion;

enum QU_LOCKTYPE { QU_READ_LOCK = 1, QU_WRITE_LOCK = 2 };

// Results of getLockOnSwCache.
enum : unsigned int {
  kSwCacheReadLocked = 1,   // a live read lock exists (only a write request gets this)
  kSwCacheWriteLocked = 2,  // a live write lock exists
  kSwCacheLockFree = 3,     // no conflict; the lock file was created when asked
  kSwCacheLockFailed = 4,   // bad request (type, job id 0, item name) or the file system failed
};

// Tests for conflicting locks on an item and, with `create`, takes the lock: the path of the new
// lock file goes to lockFile. `version` may be null (no version or OS level); the OS level is
// added for 1 <= osId <= 34. The item name must be relative, without "." or ".." components,
// and must not name a lock folder ("ReadLocks", "WriteLocks") or the guard file.
unsigned int getLockOnSwCache(QU_LOCKTYPE type, std::string item, std::string& lockFile,
                              const FullVersion* version, int osId, unsigned long jobId,
                              bool create, bool ignoreCurrentProcess);
// The same without version and OS; with `staging` nothing is done and 3 is returned.
unsigned int getLockOnSwCache(QU_LOCKTYPE type, std::string item, std::string& lockFile,
                              unsigned long jobId, bool create, bool ignoreCurrentProcess,
                              bool staging);

// True when `folder` holds a live lock file; deletes the stale ones it meets before that.
// With ignoreCurrentProcess, the calling process's own running-job locks are passed over.
// `folder` (absolute) is checked from "/" as the lock tree is; one refused holds no live lock.
bool checkForValidLocks(std::string folder, bool ignoreCurrentProcess);

// The longest wait for the guard file of a lock root, in milliseconds: kSwCacheMutexWaitMs
// (two minutes) unless a host asks for less (a negative or longer wait gives the default).
void SetSwCacheLockGuardWait(long long waitMs);

// The lock root of an item: "" when the install folder is unknown or the item name unsafe.
std::string GetSwCacheLockRoot(const std::string& item, const FullVersion* version, int osId);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_SWCACHELOCKS_H_
