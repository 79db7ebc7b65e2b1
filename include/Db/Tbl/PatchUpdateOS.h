// Table record PatchUpdateOS: Binary sets and their operating-system ids, old style and new style.
#ifndef KQ_INCLUDE_DB_TBL_PATCHUPDATEOS_H_
#define KQ_INCLUDE_DB_TBL_PATCHUPDATEOS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchUpdateOS_COLUMNS(C) \
  C(BinarySetID, i, 0)           \
  C(UpdateOSID, i, 0)            \
  C(NewUpdateOSID, i, 0)
KQDB_TABLE(PatchUpdateOS, "PatchUpdateOS", "include/Db/Tbl/", "1.2.204.1", "BinarySetID", false,
           KQDB_LIST("BinarySetID"), KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_PATCHUPDATEOS_H_
