// Procedure record PatchUpdateUAStatus: stores the remote-cache synchronisation status; no result columns.
#ifndef KQ_INCLUDE_DB_PROC_PATCHUPDATEUASTATUS_H_
#define KQ_INCLUDE_DB_PROC_PATCHUPDATEUASTATUS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchUpdateUAStatus_COLUMNS(C)
KQDB_PROC(PatchUpdateUAStatus, "patchUpdateUAStatus", "00010001000200010000", "%d,%d,%d,%d", false,
          (int, int, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHUPDATEUASTATUS_H_
