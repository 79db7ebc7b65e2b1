#include "Concurrency/KqSemaphoreH.h"

#include <chrono>
#include <climits>

#include "Logging/EvDebug.h"

KqSemaphoreH::KqSemaphoreH(long initialCount, long maxCount)
    : m_count(initialCount < 0 ? 0 : initialCount), m_max(maxCount) {
  if (m_max >= 0 && m_count > m_max) m_count = m_max;
}

bool KqSemaphoreH::wait(long long timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  auto ready = [this] { return m_count > 0; };
  if (timeoutMs < 0) {
    m_available.wait(lock, ready);
  } else if (!m_available.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return false;
  }
  --m_count;
  return true;
}

bool KqSemaphoreH::release(long count) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    long room = m_max >= 0 ? m_max - m_count : LONG_MAX - m_count;
    if (count < 1 || count > room) {
      EvDebug().Debug("KqSemaphoreH", "Refused to release [%ld] units (count [%ld], maximum [%ld])",
                      count, m_count, m_max);
      return false;
    }
    m_count += count;
  }
  if (count == 1) {
    m_available.notify_one();
  } else {
    m_available.notify_all();
  }
  return true;
}

long KqSemaphoreH::count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_count;
}
