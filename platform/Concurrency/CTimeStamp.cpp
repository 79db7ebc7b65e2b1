#include "Concurrency/CTimeStamp.h"

CTimeStamp CTimeStamp::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts);
}

CTimeStamp CTimeStamp::FromTimespec(const timespec& ts) {
  return CTimeStamp(static_cast<long long>(ts.tv_sec) * kTicksPerSecond + ts.tv_nsec / 100);
}
