// Procedure record PatchUpdateApplianceEligibility: updates the eligibility flags of appliance clients.
#ifndef KQ_INCLUDE_DB_PROC_PATCHUPDATEAPPLIANCEELIGIBILITY_H_
#define KQ_INCLUDE_DB_PROC_PATCHUPDATEAPPLIANCEELIGIBILITY_H_

#include "Db/KqDbRecord.h"

#define PatchUpdateApplianceEligibility_COLUMNS(C) \
  C(nRowsUpdated, i, 0)
KQDB_PROC(PatchUpdateApplianceEligibility, "patchUpdateApplianceEligibility", "00010001000200020000", "", true,
          ())

#endif  // KQ_INCLUDE_DB_PROC_PATCHUPDATEAPPLIANCEELIGIBILITY_H_
