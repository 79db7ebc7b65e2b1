// Procedure record PatchGetUpdateStatus: whether an update is recorded.
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETUPDATESTATUS_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETUPDATESTATUS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetUpdateStatus_COLUMNS(C) \
  C(oIsUpdateExist, i, 0)
KQDB_PROC(PatchGetUpdateStatus, "PatchGetUpdateStatus", "00010001000200030000", "%d,%d,%d,%d,%d,'%s',%d", true,
          (int, int, int, int, int, const char*, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETUPDATESTATUS_H_
