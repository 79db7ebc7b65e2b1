// Procedure record GetPatchUAContentConfig: content configuration of a remote cache (XML text).
#ifndef KQ_INCLUDE_DB_PROC_GETPATCHUACONTENTCONFIG_H_
#define KQ_INCLUDE_DB_PROC_GETPATCHUACONTENTCONFIG_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define GetPatchUAContentConfig_COLUMNS(C) \
  C(outputXML, s, 0)
KQDB_PROC(GetPatchUAContentConfig, "GetPatchUAContentConfig", "00010002008600020000", "%d,%d,%d,%d", true,
          (int, int, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_GETPATCHUACONTENTCONFIG_H_
