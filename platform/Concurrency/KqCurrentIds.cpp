#include "Concurrency/KqCurrentIds.h"

#include <sys/syscall.h>
#include <unistd.h>

// Asked of the kernel each time: an id kept in the thread would be wrong in a forked child.
unsigned long GetCurrentThreadId() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

unsigned long GetCurrentProcessId() { return static_cast<unsigned long>(getpid()); }

unsigned long GetCurrentUserId() { return static_cast<unsigned long>(geteuid()); }
