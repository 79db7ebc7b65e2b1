// Procedure record SimUpdateUPVersion: records maintenance-release information.
#ifndef KQ_INCLUDE_DB_PROC_SIMUPDATEUPVERSION_H_
#define KQ_INCLUDE_DB_PROC_SIMUPDATEUPVERSION_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimUpdateUPVersion_COLUMNS(C) \
  C(nRowsUpdated, i, 0)
KQDB_PROC(SimUpdateUPVersion, "simUpdateUPVersion", "00010001000200100000", "'%s',%d", true,
          (const char*, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMUPDATEUPVERSION_H_
