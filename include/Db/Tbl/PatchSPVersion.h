// Table record PatchSPVersion: Feature releases and service packs known from the download center (serial column id).
#ifndef KQ_INCLUDE_DB_TBL_PATCHSPVERSION_H_
#define KQ_INCLUDE_DB_TBL_PATCHSPVERSION_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchSPVersion_COLUMNS(C) \
  C(id, i, 0)                     \
  C(ReleaseStr, s, 33)            \
  C(BuildIdString, s, 33)         \
  C(DVDName, s, 33)               \
  C(Build, i, 0)                  \
  C(Release, i, 0)                \
  C(SPMajor, i, 0)                \
  C(SPMinor, i, 0)                \
  C(TransactionID, i, 0)          \
  C(SPName, s, 33)                \
  C(FriendlyName, s, 257)         \
  C(Timestamp, b, 0)              \
  C(bIsDVDPresent, i, 0)          \
  C(bShowInGUI, i, 0)             \
  C(nCacheFlags, i, 0)            \
  C(nLTSFlag, i, 0)               \
  C(RevisionID, i, 0)             \
  C(nBootstrapperDelayDays, i, 0) \
  C(nGUIDownloadDelayDays, i, 0)
KQDB_TABLE(PatchSPVersion, "PatchSPVersion", "include/Db/Tbl/", "1.1.2.10", "id", true,
           KQDB_NO_KEYS, KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_PATCHSPVERSION_H_
