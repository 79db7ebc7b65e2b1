// Procedure record PatchGetUAStatus: remote-cache synchronisation status of a job and client.
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETUASTATUS_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETUASTATUS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetUAStatus_COLUMNS(C) \
  C(oStatus, i, 0)                  \
  C(oFlag, i, 0)
KQDB_PROC(PatchGetUAStatus, "patchGetUAStatus", "00010001000200010000", "%d,%d", true,
          (int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETUASTATUS_H_
