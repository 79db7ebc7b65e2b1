// Procedure record GetFtpServicePackInfo: service packs whose maintenance-release information is to be fetched (XML).
#ifndef KQ_INCLUDE_DB_PROC_GETFTPSERVICEPACKINFO_H_
#define KQ_INCLUDE_DB_PROC_GETFTPSERVICEPACKINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define GetFtpServicePackInfo_COLUMNS(C) \
  C(r_ReturnResult, s, 0)
KQDB_PROC(GetFtpServicePackInfo, "GetFtpServicePackInfo", "00010004001400260000", "'%s'", true,
          (const char*))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_GETFTPSERVICEPACKINFO_H_
