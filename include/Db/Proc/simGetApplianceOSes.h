// Procedure record SimGetApplianceOSes: operating systems and MSSQL versions of appliance clients.
#ifndef KQ_INCLUDE_DB_PROC_SIMGETAPPLIANCEOSES_H_
#define KQ_INCLUDE_DB_PROC_SIMGETAPPLIANCEOSES_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetApplianceOSes_COLUMNS(C) \
  C(o_OSNameVersion, s, 256)           \
  C(o_MainOSType, i, 0)
KQDB_PROC(SimGetApplianceOSes, "simGetApplianceOSes", "00010001000200130000", "%d", true,
          (int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETAPPLIANCEOSES_H_
