#include "Database/FXLockableResource.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>
#include <new>

#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/KqSemaphoreH.h"
#include "Logging/EvDebug.h"

void FXLockableResource::SetLockOwner() {
  m_owner = static_cast<unsigned int>(GetCurrentThreadId() & 0xFFFFFFFFu);
}

FXCriticalSection::FXCriticalSection()
    : m_mutex(std::make_unique<boost::interprocess::interprocess_recursive_mutex>()) {}

FXCriticalSection::~FXCriticalSection() = default;

void FXCriticalSection::lockMutex() { m_mutex->lock(); }

void FXCriticalSection::unlockMutex() { m_mutex->unlock(); }

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
  if (!m_mutex->try_lock()) return false;
  SetLockOwner();
  return true;
}

bool FXCriticalSection::TryLock(CTimeInterval timeout) {
  long long ms = timeout.AsMilliseconds();
  const boost::posix_time::ptime deadline = boost::posix_time::microsec_clock::universal_time() +
                                            boost::posix_time::milliseconds(ms < 0 ? 0 : ms);
  if (!m_mutex->timed_lock(deadline)) return false;
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
