// Identifiers of the calling thread and process.
//
// GetCurrentThreadId() is the kernel's id of the calling thread (as shown under /proc/<pid>/task),
// unique on the host while the thread lives; GetCurrentProcessId() is the process id. Both are
// returned widened to 64 bits; owners that keep only 32 bits lose nothing on Linux.
// GetCurrentUserId() is the effective user id, the owner of what the process makes.
#ifndef KQ_PLATFORM_CONCURRENCY_KQCURRENTIDS_H_
#define KQ_PLATFORM_CONCURRENCY_KQCURRENTIDS_H_

#pragma GCC visibility push(default)

unsigned long GetCurrentThreadId();
unsigned long GetCurrentProcessId();
unsigned long GetCurrentUserId();

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_KQCURRENTIDS_H_
