// Procedure record PatchGetClientsWithVersionInfo: every client with its release, service pack and platform data.
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETCLIENTSWITHVERSIONINFO_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETCLIENTSWITHVERSIONINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetClientsWithVersionInfo_COLUMNS(C) \
  C(ClientId, i, 0)                               \
  C(HighestSP, i, 0)                              \
  C(MissingPatches, s, 2049)                      \
  C(baseline, i, 0)                               \
  C(ReleaseId, i, 0)                              \
  C(build, s, 2049)                               \
  C(v11InstallTime, i, 0)                         \
  C(osType, i, 0)                                 \
  C(platType, i, 0)                               \
  C(linkedFailoverClient, i, 0)
KQDB_PROC(PatchGetClientsWithVersionInfo, "PatchGetClientsWithVersionInfo", "00010001000200030000", "", true,
          ())

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETCLIENTSWITHVERSIONINFO_H_
