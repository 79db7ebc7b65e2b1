// Procedure record SimGetAllCUs: maintenance releases recorded per media version (XML text).
#ifndef KQ_INCLUDE_DB_PROC_SIMGETALLCUS_H_
#define KQ_INCLUDE_DB_PROC_SIMGETALLCUS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetAllCUs_COLUMNS(C) \
  C(oCUsForSP, s, 0)
KQDB_PROC(SimGetAllCUs, "simGetAllCUs", "00010001000200020000", "'%s'", true,
          (const char*))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETALLCUS_H_
