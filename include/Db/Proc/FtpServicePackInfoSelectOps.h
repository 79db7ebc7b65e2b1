// Procedure record FtpServicePackInfoSelectOps: service packs of the download center under the Hubnode's rules.
// KQDB_PROC below makes the row struct FtpServicePackInfoSelectOps_t,
// the row-schema class FtpServicePackInfoSelectOps_t2 and the record FtpServicePackInfoSelectOps.
#ifndef KQ_INCLUDE_DB_PROC_FTPSERVICEPACKINFOSELECTOPS_H_
#define KQ_INCLUDE_DB_PROC_FTPSERVICEPACKINFOSELECTOPS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define FtpServicePackInfoSelectOps_COLUMNS(C) \
  C(SPName, s, 33)                             \
  C(SPMajor, i, 0)                             \
  C(SPMinor, i, 0)                             \
  C(ReleaseStr, s, 33)                         \
  C(BuildIdString, s, 33)                      \
  C(Timestamp, b, 0) /* 64-bit, as the table */ \
  C(bIsDVDPresent, i, 0)                       \
  C(DVDName, s, 33)                            \
  C(bShowInGUI, i, 0)                          \
  C(FriendlyName, s, 257)                      \
  C(TransactionId, i, 0)                       \
  C(RevisionId, i, 0)
KQDB_PROC(FtpServicePackInfoSelectOps, "FtpServicePackInfoSelectOps", "00010005006800080000", "%d,'%s',%d,%d,%d", true,
          (int, const char*, int, int, int))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_PROC_FTPSERVICEPACKINFOSELECTOPS_H_
