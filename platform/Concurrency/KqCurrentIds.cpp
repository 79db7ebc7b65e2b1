#include "Concurrency/KqCurrentIds.h"

#include <sys/syscall.h>
#include <unistd.h>

unsigned long GetCurrentThreadId() {
  // Cached per thread: the id never changes while the thread lives. A child made by fork
  // starts from the forking thread's copy, so the cache remembers which process filled it.
  thread_local pid_t cachedPid = 0;
  thread_local long cachedTid = 0;
  pid_t pid = getpid();
  if (cachedTid == 0 || cachedPid != pid) {
    cachedTid = syscall(SYS_gettid);
    cachedPid = pid;
  }
  return static_cast<unsigned long>(cachedTid);
}

unsigned long GetCurrentProcessId() { return static_cast<unsigned long>(getpid()); }
