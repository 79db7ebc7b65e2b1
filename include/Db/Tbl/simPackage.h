// Table record SimPackage: Packages of the product.
#ifndef KQ_INCLUDE_DB_TBL_SIMPACKAGE_H_
#define KQ_INCLUDE_DB_TBL_SIMPACKAGE_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimPackage_COLUMNS(C) \
  C(id, i, 0)                 \
  C(Name, s, 257)             \
  C(DisplayName, s, 257)      \
  C(Rank, i, 0)               \
  C(Hierarchy, s, 257)        \
  C(DescriptionID, b, 0)      \
  C(InstallableFromGUI, i, 0) \
  C(SortID, i, 0)             \
  C(flag, i, 0)
KQDB_TABLE(SimPackage, "simPackage", "include/Db/Tbl/", "1.115.200.4", "id", false,
           KQDB_LIST("id"), KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_SIMPACKAGE_H_
