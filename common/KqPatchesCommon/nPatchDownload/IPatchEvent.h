// IPatchEvent: the job event sink every patch job class reports through. It lives below media
// access, which reports through it, in platform/Jobs/IPatchEvent.h; this name stays for the
// patch library's users.
#ifndef KQ_COMMON_NPATCHDOWNLOAD_IPATCHEVENT_H_
#define KQ_COMMON_NPATCHDOWNLOAD_IPATCHEVENT_H_

#pragma GCC visibility push(default)

#include "Jobs/IPatchEvent.h"

#pragma GCC visibility pop

#endif  // KQ_COMMON_NPATCHDOWNLOAD_IPATCHEVENT_H_
