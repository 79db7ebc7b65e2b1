// Named mutexes between the processes of this host, for short critical sections on the software
// cache: the mutex of id N is named "N_lock".
//
// FXNamedMutex is a lockable resource over one KqNamedMutex (an flock on a lock file, which the
// kernel frees when its holder dies); it records the owning thread while held.
// checkAndCreateMutex hands out a held FXNamedMutex that the caller owns and gives back with
// releaseMutex.
#ifndef KQPATCHESCOMMON_SWCACHEMUTEX_H_
#define KQPATCHESCOMMON_SWCACHEMUTEX_H_

#pragma GCC visibility push(default)

#include <string>

#include "Concurrency/KqNamedMutex.h"
#include "Database/FXLockableResource.h"

class FXNamedMutex : public FXLockableResource {
 public:
  explicit FXNamedMutex(const std::string& name) : m_mutex(name) {}
  ~FXNamedMutex() override = default;

  bool TryLock() override;                       // waits at most 1 ms
  bool TryLock(CTimeInterval timeout) override;  // waits at most the interval
  bool Lock() override;                          // waits without limit
  void Unlock() override;

  const std::string& GetName() const { return m_mutex.getName(); }

 private:
  KqNamedMutex m_mutex;
};

// How long checkAndCreateMutex waits for a mutex held elsewhere: two minutes.
constexpr long long kSwCacheMutexWaitMs = 120000;

// A new, held FXNamedMutex for the id ("<id>_lock"), or null when it could not be had within
// waitMs milliseconds (kSwCacheMutexWaitMs unless the caller asks for less; a negative or
// longer wait is taken as kSwCacheMutexWaitMs).
FXNamedMutex* checkAndCreateMutex(long long id, long long waitMs = kSwCacheMutexWaitMs);

// Unlocks and destroys the mutex (null: nothing happens). Always true; the id is for the log.
bool releaseMutex(FXNamedMutex* mutex, long long id);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_SWCACHEMUTEX_H_
