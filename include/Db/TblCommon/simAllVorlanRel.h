// Table record SimAllVorlanRel: Product releases (id, name, build number).
#ifndef KQ_INCLUDE_DB_TBLCOMMON_SIMALLVORLANREL_H_
#define KQ_INCLUDE_DB_TBLCOMMON_SIMALLVORLANREL_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimAllVorlanRel_COLUMNS(C) \
  C(id, i, 0)                      \
  C(release, s, 129)               \
  C(buildNum, i, 0)
KQDB_TABLE_PARTS(SimAllVorlanRel, "simAllVorlanRel", "include/Db/TblCommon/", "1.17.58.4", "id", false,
                 KQDB_LIST("id"), KQDB_NO_FOREIGN_KEYS)

// The one record whose constructor takes a leading integer (handed to DBtable).
class SimAllVorlanRel : public ::kqdb::TableRecord<SimAllVorlanRel_info, SimAllVorlanRel_t2> {
 public:
  explicit SimAllVorlanRel(int flags = 0, DBtran* tran = nullptr) : TableRecord(tran, flags) {}
};

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBLCOMMON_SIMALLVORLANREL_H_
