// CTimeStamp: an instant as one signed 64-bit count of 100-nanosecond ticks since the Unix
// epoch (1970-01-01 00:00 UTC). The default value 0 stands for "no time given".
#ifndef KQ_PLATFORM_CONCURRENCY_CTIMESTAMP_H_
#define KQ_PLATFORM_CONCURRENCY_CTIMESTAMP_H_

#pragma GCC visibility push(default)

#include <ctime>

class CTimeStamp {
 public:
  static const long long kTicksPerSecond = 10000000LL;

  CTimeStamp() : m_ticks(0) {}
  explicit CTimeStamp(long long ticks) : m_ticks(ticks) {}

  static CTimeStamp Now();
  static CTimeStamp FromTimespec(const timespec& ts);

  long long Ticks() const { return m_ticks; }
  bool IsZero() const { return m_ticks == 0; }

  bool operator==(const CTimeStamp& o) const { return m_ticks == o.m_ticks; }
  bool operator!=(const CTimeStamp& o) const { return m_ticks != o.m_ticks; }
  bool operator<(const CTimeStamp& o) const { return m_ticks < o.m_ticks; }

 private:
  long long m_ticks;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_CTIMESTAMP_H_
