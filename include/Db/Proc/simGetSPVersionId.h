// Procedure record SimGetSPVersionId: database id of a service-pack version.
#ifndef KQ_INCLUDE_DB_PROC_SIMGETSPVERSIONID_H_
#define KQ_INCLUDE_DB_PROC_SIMGETSPVERSIONID_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetSPVersionId_COLUMNS(C) \
  C(o_id, i, 0)
KQDB_PROC(SimGetSPVersionId, "simGetSPVersionId", "00010001000200130000", "%d,%d,%d,%d,%d,%d,'%s',%d,%d", true,
          (int, int, int, int, int, int, const char*, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETSPVERSIONID_H_
