// PXSLEEP_InTeRnAl: the portable library's sleep of the calling thread, in milliseconds.
#ifndef KQ_PLATFORM_CONCURRENCY_PXSLEEP_H_
#define KQ_PLATFORM_CONCURRENCY_PXSLEEP_H_

#pragma GCC visibility push(default)

#include <chrono>
#include <thread>

inline void PXSLEEP_InTeRnAl(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_PXSLEEP_H_
