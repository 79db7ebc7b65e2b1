// Procedure record SimGetFullVersionAndOSInfo: installed versions and operating systems of all clients (XML text).
#ifndef KQ_INCLUDE_DB_PROC_SIMGETFULLVERSIONANDOSINFO_H_
#define KQ_INCLUDE_DB_PROC_SIMGETFULLVERSIONANDOSINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SimGetFullVersionAndOSInfo_COLUMNS(C) \
  C(o_xmlText, s, 0)
KQDB_PROC(SimGetFullVersionAndOSInfo, "simGetFullVersionAndOSInfo", "00010001000400050000", "", true,
          ())

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SIMGETFULLVERSIONANDOSINFO_H_
