// Lockable resources of the database layer.
//
// FXLockableResource is the base of the lock objects that record their owner thread (the
// in-process FXCriticalSection here, the named mutex of the lock-file code elsewhere).
// FXCriticalSection is re-entrant for its owner. Lock() reports whether the lock was taken: a
// caller that was refused must not unlock (FXCriticalSectionGuard does this bookkeeping).
// KqSemaphore owns one KqSemaphoreH; KQSimpleDBSem owns one KqSemaphore.
#ifndef KQ_PLATFORM_DATABASE_FXLOCKABLERESOURCE_H_
#define KQ_PLATFORM_DATABASE_FXLOCKABLERESOURCE_H_

#pragma GCC visibility push(default)

#include <memory>

class KqSemaphoreH;

namespace boost {
namespace interprocess {
class interprocess_recursive_mutex;
}  // namespace interprocess
}  // namespace boost

// A span of time as a signed count of 100-nanosecond ticks.
class CTimeInterval {
 public:
  CTimeInterval() = default;
  explicit CTimeInterval(long long ticks) : m_ticks(ticks) {}
  static CTimeInterval FromMilliseconds(long long ms) { return CTimeInterval(ms * 10000); }
  long long Ticks() const { return m_ticks; }
  long long AsMilliseconds() const { return m_ticks / 10000; }

 private:
  long long m_ticks = 0;
};

class FXLockableResource {
 public:
  FXLockableResource() = default;
  FXLockableResource(const FXLockableResource&) = delete;
  FXLockableResource& operator=(const FXLockableResource&) = delete;
  virtual ~FXLockableResource() = default;
  virtual bool TryLock() = 0;
  virtual bool TryLock(CTimeInterval timeout) = 0;
  // true when the calling thread now holds the resource.
  virtual bool Lock() = 0;
  virtual void Unlock() = 0;

  unsigned int GetLockOwner() const { return m_owner; }

 protected:
  void SetLockOwner();
  void ClearLockOwner() { m_owner = 0; }

 private:
  unsigned int m_owner = 0;  // low 32 bits of the owner's thread id; only written
};

// A process-local recursive mutex (boost interprocess_recursive_mutex, kept out of this header).
// A failure to take it is logged and reported by Lock().
class FXCriticalSection : public FXLockableResource {
 public:
  FXCriticalSection();
  ~FXCriticalSection() override;
  bool TryLock() override;
  bool TryLock(CTimeInterval timeout) override;
  bool Lock() override;
  void Unlock() override;

 protected:
  // The raw mutex operations; may throw a std::exception.
  virtual void lockMutex();
  virtual void unlockMutex();

 private:
  std::unique_ptr<boost::interprocess::interprocess_recursive_mutex> m_mutex;
};

// Holds a lockable resource for one scope, and unlocks only what it actually locked.
class FXCriticalSectionGuard {
 public:
  explicit FXCriticalSectionGuard(FXLockableResource& resource)
      : m_resource(resource), m_locked(resource.Lock()) {}
  ~FXCriticalSectionGuard() {
    if (m_locked) m_resource.Unlock();
  }
  FXCriticalSectionGuard(const FXCriticalSectionGuard&) = delete;
  FXCriticalSectionGuard& operator=(const FXCriticalSectionGuard&) = delete;
  bool locked() const { return m_locked; }

 private:
  FXLockableResource& m_resource;
  bool m_locked;
};

// Counting semaphore. Throws "Not enough memory to initialize KqSemaphore" (a const char*)
// when its handle cannot be made.
class KqSemaphore {
 public:
  explicit KqSemaphore(long count);
  ~KqSemaphore();
  KqSemaphore(const KqSemaphore&) = delete;
  KqSemaphore& operator=(const KqSemaphore&) = delete;
  bool wait();
  bool release(long count);

 private:
  KqSemaphoreH* m_handle;
};

// The semaphore type of the row-schema classes; release() gives back exactly one unit.
class KQSimpleDBSem {
 public:
  explicit KQSimpleDBSem(long count) : m_sem(new KqSemaphore(count)) {}
  ~KQSimpleDBSem() { delete m_sem; }
  KQSimpleDBSem(const KQSimpleDBSem&) = delete;
  KQSimpleDBSem& operator=(const KQSimpleDBSem&) = delete;
  bool wait() { return m_sem->wait(); }
  bool release(long) { return m_sem->release(1); }

 private:
  KqSemaphore* m_sem;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_FXLOCKABLERESOURCE_H_
