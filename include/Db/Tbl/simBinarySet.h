// Table record SimBinarySet: Binary sets.
#ifndef KQ_INCLUDE_DB_TBL_SIMBINARYSET_H_
#define KQ_INCLUDE_DB_TBL_SIMBINARYSET_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimBinarySet_COLUMNS(C) \
  C(id, i, 0)                   \
  C(name, s, 129)               \
  C(processorID, i, 0)          \
  C(processorName, s, 129)      \
  C(procDisplayName, s, 129)
KQDB_TABLE(SimBinarySet, "simBinarySet", "include/Db/Tbl/", "1.7.208.2", "id", false,
           KQDB_LIST("id"), KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_SIMBINARYSET_H_
