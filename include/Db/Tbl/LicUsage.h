// Table record LicUsage: Licence usage rows per client (serial column id).
#ifndef KQ_INCLUDE_DB_TBL_LICUSAGE_H_
#define KQ_INCLUDE_DB_TBL_LICUSAGE_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define LicUsage_COLUMNS(C)  \
  C(id, i, 0)                \
  C(Name, s, 511)            \
  C(CId, i, 0)               \
  C(LicType, i, 0)           \
  C(AppType, i, 0)           \
  C(OpType, s, 26)           \
  C(OpTimeUTC, t, 0)         \
  C(TokensUsed, i, 0)        \
  C(Eval, i, 0)              \
  C(ExpiryDateUTC, t, 0)     \
  C(ReleaseId, i, 0)         \
  C(EncryptedField, s, 2049) \
  C(SimOSID, i, 0)           \
  C(Build, s, 33)            \
  C(InstallFlag, i, 0)       \
  C(UserID, i, 0)            \
  C(UsedCapacity, f, 0)
KQDB_TABLE(LicUsage, "LicUsage", "include/Db/Tbl/", "1.7.274.5", "id", true,
           KQDB_LIST("id"), KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_LICUSAGE_H_
