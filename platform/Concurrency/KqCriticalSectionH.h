// KqCriticalSectionH: a lock inside one process, re-entrant for the thread that holds it.
//
// The holding thread may enter again and must leave as often as it entered; other threads
// wait in enter(true) until then. Only the holder may leave: a leave by any other thread is
// refused (false, logged) and changes nothing. The object owns its mutex and cannot be copied.
#ifndef KQ_PLATFORM_CONCURRENCY_KQCRITICALSECTIONH_H_
#define KQ_PLATFORM_CONCURRENCY_KQCRITICALSECTIONH_H_

#pragma GCC visibility push(default)

#include <pthread.h>

class KqCriticalSectionH {
 public:
  KqCriticalSectionH();
  ~KqCriticalSectionH();
  KqCriticalSectionH(const KqCriticalSectionH&) = delete;
  KqCriticalSectionH& operator=(const KqCriticalSectionH&) = delete;

  // false when the mutex could not be set up; such an object refuses every enter.
  bool isValid() const { return m_valid; }

  // wait true: blocks until the section is this thread's; false: takes it only if free now.
  // Returns whether the calling thread holds it.
  bool enter(bool wait = true);
  // Gives up one hold of the calling thread.
  bool leave();

 private:
  pthread_mutex_t m_mutex;
  bool m_valid;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_KQCRITICALSECTIONH_H_
