// Procedure record PatchGetOSes: (version, operating system) sides a client already holds.
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETOSES_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETOSES_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetOSes_COLUMNS(C) \
  C(oRelease, i, 0)             \
  C(oBuild, i, 0)               \
  C(oSPMajor, i, 0)             \
  C(oSPMinor, i, 0)             \
  C(oTransactionId, i, 0)       \
  C(oRevisionId, i, 0)          \
  C(oOSId, i, 0)
KQDB_PROC(PatchGetOSes, "PatchGetOSes", "00010001000200030000", "%d", true,
          (int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETOSES_H_
