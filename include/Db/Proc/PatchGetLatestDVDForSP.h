// Procedure record PatchGetLatestDVDForSP: latest media of a service pack (XML text).
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETLATESTDVDFORSP_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETLATESTDVDFORSP_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetLatestDVDForSP_COLUMNS(C) \
  C(oUpdatedSPXML, s, 0)
KQDB_PROC(PatchGetLatestDVDForSP, "PatchGetLatestDVDForSP", "00010001000200020000", "'%s'", true,
          (const char*))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETLATESTDVDFORSP_H_
