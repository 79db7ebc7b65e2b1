// KqNamedMutex: a mutex shared by every process of this host that uses the same name.
//
// It is an exclusive flock(2) on the lock file <folder>/<name>.lock, so the kernel frees it
// the moment its holder dies, however it dies. The folder is the configuration value
// "NamedMutex"/"dLockFolder", else $KQ_MUTEX_DIR, else the default state folder "NamedMutex"
// (Configuration/StateFolders.h: under the install folder, else private to the user). Whichever
// it is, it is made (0700) when missing and checked on every use: an absolute path, a real
// folder owned by this user or root and writable by nobody else, else refused with a log line.
// While the configuration store is refused (Configuration/IniStore.h) no mutex is taken.
// Lock files are the owner's alone (0600, Concurrency/LockFile.h): another user cannot open,
// so cannot hold, them. Characters of the name other than letters, digits, '.', '_' and '-' are written as
// %XX in the file name, so a name never reaches outside the folder. Lock files stay behind:
// removing one while others wait on it would let two holders in.
//
// Holds are counted per object: the thread that holds it may lock again and must unlock as
// often. Another thread using the same object waits like any other process; two objects of one
// name exclude each other even in one process. The file is open only while held, with
// O_CLOEXEC; a child made by fork (without exec) while it is held shares the hold until this
// object unlocks it.
#ifndef KQ_PLATFORM_CONCURRENCY_KQNAMEDMUTEX_H_
#define KQ_PLATFORM_CONCURRENCY_KQNAMEDMUTEX_H_

#pragma GCC visibility push(default)

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

class KqNamedMutex {
 public:
  explicit KqNamedMutex(const std::string& name);
  // Releases what this object still holds.
  ~KqNamedMutex();
  KqNamedMutex(const KqNamedMutex&) = delete;
  KqNamedMutex& operator=(const KqNamedMutex&) = delete;

  // Waits at most timeoutMs milliseconds (below 0: without limit; 0: one try).
  // Returns whether the calling thread now holds the mutex. Failures are logged.
  bool lock(long long timeoutMs = -1);
  // Gives up one hold of the calling thread; false (logged) when it holds none.
  bool unlock();
  // Holds of this object now (0 when free).
  int getLockCnt() const;

  const std::string& getName() const { return m_name; }
  const std::string& getLockFilePath() const { return m_path; }

  // The folder that new objects use, as configured now.
  static std::string lockFolder();
  // The lock file's name for a mutex name (without the folder).
  static std::string lockFileName(const std::string& name);

 private:
  bool acquireFile(bool forever, std::chrono::steady_clock::time_point deadline);

  std::string m_name;
  std::string m_folder;
  std::string m_path;

  mutable std::mutex m_mutex;
  std::condition_variable m_free;  // the object's holds ended, or an attempt finished
  unsigned long m_owner;           // thread id of the holder
  int m_count;                     // holds of m_owner
  bool m_acquiring;                // a thread is waiting for the file lock
  int m_fd;                        // the locked file while held, else -1
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_KQNAMEDMUTEX_H_
