// Procedure record PatchUpdateDVDInfo: records the media of a DVDInfo text; no result columns.
#ifndef KQ_INCLUDE_DB_PROC_PATCHUPDATEDVDINFO_H_
#define KQ_INCLUDE_DB_PROC_PATCHUPDATEDVDINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchUpdateDVDInfo_COLUMNS(C)
KQDB_PROC(PatchUpdateDVDInfo, "patchUpdateDVDInfo", "00010001000200070000", "'%s',%d,%d", false,
          (const char*, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHUPDATEDVDINFO_H_
