#include "Concurrency/KqCriticalSectionH.h"

#include <cerrno>
#include <cstring>

#include "Logging/EvDebug.h"

namespace {

const char kTag[] = "KqCriticalSectionH";

void LogFailure(const char* what, int rc) {
  char text[128];
  EvDebug().Debug(kTag, "%s failed: [%d] [%s]", what, rc, strerror_r(rc, text, sizeof text));
}

}  // namespace

KqCriticalSectionH::KqCriticalSectionH() : m_valid(false) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return;
  int rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(&m_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    LogFailure("Creating the mutex", rc);
    return;
  }
  m_valid = true;
}

KqCriticalSectionH::~KqCriticalSectionH() {
  if (m_valid) pthread_mutex_destroy(&m_mutex);
}

bool KqCriticalSectionH::enter(bool wait) {
  if (!m_valid) return false;
  int rc = wait ? pthread_mutex_lock(&m_mutex) : pthread_mutex_trylock(&m_mutex);
  if (rc == 0) return true;
  if (rc != EBUSY) LogFailure("Entering the critical section", rc);
  return false;
}

bool KqCriticalSectionH::leave() {
  if (!m_valid) return false;
  // A recursive mutex refuses an unlock by a thread that does not hold it (EPERM).
  int rc = pthread_mutex_unlock(&m_mutex);
  if (rc == 0) return true;
  LogFailure("Leaving the critical section", rc);
  return false;
}
