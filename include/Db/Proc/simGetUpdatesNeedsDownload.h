// Procedure record SimGetUpdatesNeedsDownload: per operating system the updates still to be downloaded.
#ifndef KQ_INCLUDE_DB_PROC_SIMGETUPDATESNEEDSDOWNLOAD_H_
#define KQ_INCLUDE_DB_PROC_SIMGETUPDATESNEEDSDOWNLOAD_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetUpdatesNeedsDownload_COLUMNS(C) \
  C(oOSId, i, 0)                              \
  C(oUpdatesList, s, 256)
KQDB_PROC(SimGetUpdatesNeedsDownload, "simGetUpdatesNeedsDownload", "v1.1.2.14.4.1", "%d,%d,%d,'%s',%lld,%d", true,
          (int, int, int, const char*, long long, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETUPDATESNEEDSDOWNLOAD_H_
