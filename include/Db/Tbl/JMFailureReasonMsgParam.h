// Table record JMFailureReasonMsgParam: The parameters of a failure-reason message, one row each.
#ifndef KQ_INCLUDE_DB_TBL_JMFAILUREREASONMSGPARAM_H_
#define KQ_INCLUDE_DB_TBL_JMFAILUREREASONMSGPARAM_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define JMFailureReasonMsgParam_COLUMNS(C) \
  C(msgId, i, 0)                           \
  C(eventid, i, 0)                         \
  C(position, i, 0)                        \
  C(type, i, 0)                            \
  C(size, i, 0)                            \
  C(data, s, 2047)
KQDB_TABLE(JMFailureReasonMsgParam, "JMFailureReasonMsgParam", "include/Db/Tbl/", "1.4.200.2", "msgId, position", false,
           KQDB_LIST("msgId", "position"), KQDB_FOREIGN_KEYS({"JMFailureReasonMsg", "msgId", "id"}))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_JMFAILUREREASONMSGPARAM_H_
