// Procedure record SetPatchUAContentConfig: stores the content configuration of a remote cache.
#ifndef KQ_INCLUDE_DB_PROC_SETPATCHUACONTENTCONFIG_H_
#define KQ_INCLUDE_DB_PROC_SETPATCHUACONTENTCONFIG_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define SetPatchUAContentConfig_COLUMNS(C) \
  C(rcount, i, 0)
KQDB_PROC(SetPatchUAContentConfig, "SetPatchUAContentConfig", "00010006004400050000", "%d,'%s',%d", true,
          (int, const char*, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_SETPATCHUACONTENTCONFIG_H_
