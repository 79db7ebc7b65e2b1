// Procedure record PatchUpdateApplianceEligibility: updates the eligibility flags of appliance clients.
#ifndef KQ_INCLUDE_DB_PROC_PATCHUPDATEAPPLIANCEELIGIBILITY_H_
#define KQ_INCLUDE_DB_PROC_PATCHUPDATEAPPLIANCEELIGIBILITY_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchUpdateApplianceEligibility_COLUMNS(C) \
  C(nRowsUpdated, i, 0)
KQDB_PROC(PatchUpdateApplianceEligibility, "patchUpdateApplianceEligibility", "00010001000200020000", "", true,
          ())

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHUPDATEAPPLIANCEELIGIBILITY_H_
