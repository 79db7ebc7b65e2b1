// Procedure record GetPatchMultiCacheInfo: service pack and update pack a client's cache holds.
// KQDB_PROC below makes the row struct GetPatchMultiCacheInfo_t,
// the row-schema class GetPatchMultiCacheInfo_t2 and the record GetPatchMultiCacheInfo.
#ifndef KQ_INCLUDE_DB_PROC_GETPATCHMULTICACHEINFO_H_
#define KQ_INCLUDE_DB_PROC_GETPATCHMULTICACHEINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define GetPatchMultiCacheInfo_COLUMNS(C) \
  C(oUpdateAgentId, i, 0)                 \
  C(oRelease, i, 0)                       \
  C(oOSType, i, 0)                        \
  C(oHighestSP, s, 101)                   \
  C(oIsSPValid, i, 0)                     \
  C(oAddUpdates, s, 0)                    \
  C(oTransactionId, i, 0)                 \
  C(oRevisionId, i, 0)                    \
  C(oUpdatePackNumber, i, 0)              \
  C(oFriendlyName, s, 65)
KQDB_PROC(GetPatchMultiCacheInfo, "GetPatchMultiCacheInfo", "00010005006600080000", "%d,%d,%d,%d,%d", true,
          (int, int, int, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_GETPATCHMULTICACHEINFO_H_
