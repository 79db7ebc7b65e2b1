// Procedure record SimGetUPInfo: the maintenance release to download for a media version.
#ifndef KQ_INCLUDE_DB_PROC_SIMGETUPINFO_H_
#define KQ_INCLUDE_DB_PROC_SIMGETUPINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetUPInfo_COLUMNS(C)     \
  C(oCUNumber, i, 0)                \
  C(oCUTransactionId, i, 0)         \
  C(oIsCUAvaiableForDownload, i, 0) \
  C(oIsCUShownInGUI, i, 0)
KQDB_PROC(SimGetUPInfo, "simGetUPInfo", "00010001000200050000", "%d,%d,%d,%d,%d,%d,'%s',%d,%d", true,
          (int, int, int, int, int, int, const char*, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETUPINFO_H_
