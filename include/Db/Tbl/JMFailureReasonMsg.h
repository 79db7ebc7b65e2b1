// Table record JMFailureReasonMsg: Failure-reason messages of jobs (serial column id).
#ifndef KQ_INCLUDE_DB_TBL_JMFAILUREREASONMSG_H_
#define KQ_INCLUDE_DB_TBL_JMFAILUREREASONMSG_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define JMFailureReasonMsg_COLUMNS(C) \
  C(id, i, 0)                         \
  C(messageId, i, 0)                  \
  C(paramNum, i, 0)                   \
  C(errorType, i, 0)                  \
  C(tessaraId, i, 0)                  \
  C(jobId, i, 0)                      \
  C(client, s, 511)                   \
  C(subsystem, s, 511)                \
  C(copyId, i, 0)                     \
  C(rcId, i, 0)                       \
  C(reservationId, i, 0)              \
  C(flags, i, 0)                      \
  C(guiAlertColorLevel, i, 0)         \
  C(clientVersion, i, 0)              \
  C(serverVersion, i, 0)              \
  C(Zub, i, 0)                        \
  C(opType, i, 0)                     \
  C(phaseNumber, i, 0)                \
  C(customMessageId, i, 0)            \
  C(failureReasonTime, i, 0)
KQDB_TABLE(JMFailureReasonMsg, "JMFailureReasonMsg", "include/Db/Tbl/", "1.14.294.4", "id", true,
           KQDB_LIST("id"), KQDB_FOREIGN_KEYS({"JMJobStats", "jobId", "jobId"}, {"JMJobStats", "tessaraId", "tessaraId"}))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_JMFAILUREREASONMSG_H_
