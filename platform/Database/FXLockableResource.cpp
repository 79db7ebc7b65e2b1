#include "Database/FXLockableResource.h"

#include <chrono>
#include <new>
#include <system_error>

#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/KqSemaphoreH.h"
#include "Logging/EvDebug.h"

void FXLockableResource::SetLockOwner() {
  m_owner = static_cast<unsigned int>(GetCurrentThreadId() & 0xFFFFFFFFu);
}

bool FXCriticalSection::Lock() {
  try {
    lockMutex();
  } catch (const std::exception& e) {
    EvDebug().Debug("FXCriticalSection::Lock", "Failed to lock the critical section [%s]",
                    e.what());
    return false;
  }
  SetLockOwner();
  return true;
}

bool FXCriticalSection::TryLock() {
  if (!m_mutex.try_lock()) return false;
  SetLockOwner();
  return true;
}

bool FXCriticalSection::TryLock(CTimeInterval timeout) {
  long long ms = timeout.AsMilliseconds();
  if (!m_mutex.try_lock_for(std::chrono::milliseconds(ms < 0 ? 0 : ms))) return false;
  SetLockOwner();
  return true;
}

void FXCriticalSection::Unlock() {
  ClearLockOwner();
  unlockMutex();
}

KqSemaphore::KqSemaphore(long count) : m_handle(new (std::nothrow) KqSemaphoreH(count)) {
  if (m_handle == nullptr) throw "Not enough memory to initialize KqSemaphore";
}

KqSemaphore::~KqSemaphore() { delete m_handle; }

bool KqSemaphore::wait() { return m_handle->wait(-1); }

bool KqSemaphore::release(long count) { return m_handle->release(count); }
