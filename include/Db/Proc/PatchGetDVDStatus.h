// Procedure record PatchGetDVDStatus: media recorded for a release, build and operating system.
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETDVDSTATUS_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETDVDSTATUS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetDVDStatus_COLUMNS(C) \
  C(oIsDVDInExist, i, 0)             \
  C(oSPMajor, i, 0)                  \
  C(oSPMinor, i, 0)                  \
  C(oRevisionId, i, 0)
KQDB_PROC(PatchGetDVDStatus, "PatchGetDVDStatus", "00010001000200020000", "%d,%d,%d,%d", true,
          (int, int, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETDVDSTATUS_H_
