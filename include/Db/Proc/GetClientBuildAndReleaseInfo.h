// Procedure record GetClientBuildAndReleaseInfo: release id and build text of one client or all (0).
#ifndef KQ_INCLUDE_DB_PROC_GETCLIENTBUILDANDRELEASEINFO_H_
#define KQ_INCLUDE_DB_PROC_GETCLIENTBUILDANDRELEASEINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define GetClientBuildAndReleaseInfo_COLUMNS(C) \
  C(ClientId_out, i, 0)                         \
  C(releaseId_out, i, 0)                        \
  C(buildStr_out, s, 2049)
KQDB_PROC(GetClientBuildAndReleaseInfo, "GetClientBuildAndReleaseInfo", "00d:0000000000000000", "%d", true,
          (int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_GETCLIENTBUILDANDRELEASEINFO_H_
