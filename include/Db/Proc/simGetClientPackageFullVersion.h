// Procedure record SimGetClientPackageFullVersion: installed version of a client (XML text).
#ifndef KQ_INCLUDE_DB_PROC_SIMGETCLIENTPACKAGEFULLVERSION_H_
#define KQ_INCLUDE_DB_PROC_SIMGETCLIENTPACKAGEFULLVERSION_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetClientPackageFullVersion_COLUMNS(C) \
  C(o_xmlText, s, 0)
KQDB_PROC(SimGetClientPackageFullVersion, "simGetClientPackageFullVersion", "00010001000400080000", "%d,%d", true,
          (int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETCLIENTPACKAGEFULLVERSION_H_
