// Table record PatchClientStatus: Job statuses of update jobs with their event messages.
#ifndef KQ_INCLUDE_DB_TBL_PATCHCLIENTSTATUS_H_
#define KQ_INCLUDE_DB_TBL_PATCHCLIENTSTATUS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define PatchClientStatus_COLUMNS(C) \
  C(JobStatus, i, 0)                 \
  C(MessageId, b, 0)                 \
  C(ShortName, s, 201)               \
  C(Category, i, 0)
KQDB_TABLE(PatchClientStatus, "PatchClientStatus", "include/Db/Tbl/", "1.1.80.1", "JobStatus", false,
           KQDB_LIST("JobStatus"), KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_PATCHCLIENTSTATUS_H_
