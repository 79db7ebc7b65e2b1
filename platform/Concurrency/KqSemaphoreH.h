// KqSemaphoreH: a counting semaphore inside one process.
//
// wait() takes one unit, blocking until one is there (or until the timeout runs out);
// release(n) gives n units back and wakes as many waiters. The count never exceeds the
// maximum given at construction (default: no maximum); a release past it is refused whole.
#ifndef KQ_PLATFORM_CONCURRENCY_KQSEMAPHOREH_H_
#define KQ_PLATFORM_CONCURRENCY_KQSEMAPHOREH_H_

#pragma GCC visibility push(default)

#include <condition_variable>
#include <mutex>

class KqSemaphoreH {
 public:
  explicit KqSemaphoreH(long initialCount, long maxCount = -1);
  KqSemaphoreH(const KqSemaphoreH&) = delete;
  KqSemaphoreH& operator=(const KqSemaphoreH&) = delete;

  // timeoutMs < 0 waits without limit, 0 only tries. Returns whether a unit was taken.
  bool wait(long long timeoutMs = -1);
  // false (nothing released) for a count below 1 or one that would pass the maximum.
  bool release(long count = 1);
  long count() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_available;
  long m_count;
  long m_max;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_KQSEMAPHOREH_H_
