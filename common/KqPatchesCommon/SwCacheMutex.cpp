#include "SwCacheMutex.h"

#include <new>

#include "Logging/EvDebug.h"
#include "PortableFiles/PxString.h"

bool FXNamedMutex::TryLock() {
  if (!m_mutex.lock(1)) return false;
  SetLockOwner();
  return true;
}

bool FXNamedMutex::TryLock(CTimeInterval timeout) {
  if (!m_mutex.lock(timeout.AsMilliseconds())) return false;
  SetLockOwner();
  return true;
}

bool FXNamedMutex::Lock() {
  if (!m_mutex.lock()) return false;
  SetLockOwner();
  return true;
}

void FXNamedMutex::Unlock() {
  if (m_mutex.getLockCnt() == 1) ClearLockOwner();
  m_mutex.unlock();
}

FXNamedMutex* checkAndCreateMutex(long long id, long long waitMs) {
  static const char* kTag = "checkAndCreateMutex";
  EvDebug log;
  // The wait is bounded: a shorter one may be asked for, never an endless one.
  if (waitMs < 0 || waitMs > kSwCacheMutexWaitMs) waitMs = kSwCacheMutexWaitMs;
  CPxString name = CPxString::Format("{1}", id);
  name += "_lock";
  FXNamedMutex* mutex = new (std::nothrow) FXNamedMutex(name.str());
  if (!mutex) {
    log.Debug(kTag, "Failed to allocate the memory for lock object");
    return nullptr;
  }
  if (!mutex->TryLock(CTimeInterval::FromMilliseconds(waitMs))) {
    log.Debug(kTag, "failed to obtain the mutex on %s.", name.c_str());
    delete mutex;
    return nullptr;
  }
  log.DebugLvl(kTag, 2, "Successfully got the lock on %s", name.c_str());
  return mutex;
}

bool releaseMutex(FXNamedMutex* mutex, long long id) {
  if (!mutex) return true;
  mutex->Unlock();
  EvDebug().DebugLvl("releaseMutex", 2, "successfully unlocked the mutex on [%lld_lock]", id);
  delete mutex;
  return true;
}
