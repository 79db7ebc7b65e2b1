// Procedure record PatchApplianceCommit: commits the appliance patch configuration.
#ifndef KQ_INCLUDE_DB_PROC_PATCHAPPLIANCECOMMIT_H_
#define KQ_INCLUDE_DB_PROC_PATCHAPPLIANCECOMMIT_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchApplianceCommit_COLUMNS(C) \
  C(nRowsUpdated, i, 0)
KQDB_PROC(PatchApplianceCommit, "patchApplianceCommit", "00010001000200020000", "'%s','%s'", true,
          (const char*, const char*))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHAPPLIANCECOMMIT_H_
