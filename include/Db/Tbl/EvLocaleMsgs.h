// Table record EvLocaleMsgs: Localized event messages.
#ifndef KQ_INCLUDE_DB_TBL_EVLOCALEMSGS_H_
#define KQ_INCLUDE_DB_TBL_EVLOCALEMSGS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define EvLocaleMsgs_COLUMNS(C) \
  C(SubsystemID, i, 0)          \
  C(SubsystemName, s, 256)      \
  C(LocaleID, i, 0)             \
  C(MessageID, b, 0)            \
  C(MessageNum, i, 0)           \
  C(Message, s, 2049)           \
  C(ArgCount, i, 0)             \
  C(hasKBArticle, i, 0)
KQDB_TABLE(EvLocaleMsgs, "EvLocaleMsgs", "include/Db/Tbl/", "1.9.304.2", "LocaleID, MessageID", false,
           KQDB_LIST("LocaleID", "MessageID"), KQDB_NO_FOREIGN_KEYS)

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_EVLOCALEMSGS_H_
