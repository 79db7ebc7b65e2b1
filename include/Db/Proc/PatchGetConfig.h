// Procedure record PatchGetConfig: download configuration of the Hubnode.
#ifndef KQ_INCLUDE_DB_PROC_PATCHGETCONFIG_H_
#define KQ_INCLUDE_DB_PROC_PATCHGETCONFIG_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchGetConfig_COLUMNS(C) \
  C(oDownloadProtocol, s, 65)     \
  C(oHNCacheDirectory, s, 4097)   \
  C(oFTPSite, s, 4097)            \
  C(oFTPUsername, s, 4097)        \
  C(oFTPPassword, s, 4097)        \
  C(oFTPUsePassive, i, 0)         \
  C(oHTTPSite, s, 4097)           \
  C(oHTTPUseToken, i, 0)          \
  C(oConfigURLPrefix, s, 4097)    \
  C(oDownloadDelayDays, i, 0)     \
  C(oTessaraID, i, 0)
KQDB_PROC(PatchGetConfig, "PatchGetConfig", "00010001000400070000", "", true,
          ())

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_PATCHGETCONFIG_H_
