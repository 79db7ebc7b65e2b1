#include "Alerts/EvAlertEx.h"

#include <unistd.h>

#include <memory>

#include "Database/DbSession.h"
#include "Logging/EvDebug.h"

namespace {

using kq::db::Value;

std::string IdsText(const std::vector<int>& ids) {
  std::string text;
  for (size_t k = 0; k < ids.size(); ++k) {
    if (k != 0) text += ',';
    text += std::to_string(ids[k]);
  }
  return text;
}

bool Exec(kq::db::Session& s, const std::string& sql, const std::vector<Value>& args,
          std::vector<kq::db::Row>* rows, std::string& err) {
  return kq::db::ExecuteSql(s, sql, args, rows, err) != kq::db::kDbFailed;
}

}  // namespace

int EvAlertEx::sendAlert(int category, int type, int flags) {
  static const char kTag[] = "EvAlertEx::sendAlert";
  std::string err;
  std::shared_ptr<kq::db::Session> s = kq::db::ThreadSession(err);
  if (!s || !s->begin(true, err)) {
    EvDebug().Debug(kTag, "Alert (%d, %d) not recorded: %s", category, type, err.c_str());
    return kq::db::kDbFailed;
  }
  std::vector<kq::db::Row> rows;
  bool ok = Exec(*s, "SELECT COALESCE(MAX(id), 0) + 1 FROM EvAlert", {}, &rows, err);
  const long long id = ok && !rows.empty() && rows[0][0].kind == Value::kInt ? rows[0][0].i : 0;
  ok = ok && id > 0 &&
       Exec(*s,
            "INSERT INTO EvAlert (id, Category, Type, Flags, ReleaseText, UpgradeTime, ClientIds, "
            "RaisedTime, ProcessId) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
            {Value::Int(id), Value::Int(category), Value::Int(type), Value::Int(flags),
             Value::Text(m_release), Value::Int(static_cast<long long>(m_upgradeTime)),
             Value::Text(IdsText(m_clientIds)), Value::Int(static_cast<long long>(time(nullptr))),
             Value::Int(static_cast<long long>(::getpid()))},
            nullptr, err);
  for (size_t k = 0; ok && k < m_texts.size(); ++k)
    ok = Exec(*s, "INSERT INTO EvAlertText (AlertId, Seq, Text) VALUES ($1, $2, $3)",
              {Value::Int(id), Value::Int(static_cast<long long>(k)), Value::Text(m_texts[k])},
              nullptr, err);
  if (ok && s->commit(err)) return 0;
  s->rollback();
  if (err.empty()) err = "no alert id could be assigned";
  EvDebug().Debug(kTag, "Alert (%d, %d) not recorded: %s", category, type, err.c_str());
  return kq::db::kDbFailed;
}
