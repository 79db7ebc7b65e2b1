// PXSLEEP_InTeRnAl: the portable library's sleep of the calling thread, in milliseconds.
#ifndef KQ_PLATFORM_CONCURRENCY_PXSLEEP_H_
#define KQ_PLATFORM_CONCURRENCY_PXSLEEP_H_

#include <chrono>
#include <thread>

inline void PXSLEEP_InTeRnAl(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

#endif  // KQ_PLATFORM_CONCURRENCY_PXSLEEP_H_
