#include "PatchesUpdateDbClient/CKqPatchesUpdateDBClient.h"

#include "Database/DbSession.h"

int CKqPatchesUpdateDBClient::GetPlatformList(std::vector<KqPlatformRow>& rows) {
  using namespace kq::db;
  rows.clear();
  m_error.clear();
  std::shared_ptr<Session> session = ThreadSession(m_error);
  if (!session) return kDbFailed;
  std::vector<Row> result;
  const int rc = ExecuteSql(*session, "SELECT id, Name FROM simPackage ORDER BY id LIMIT $1",
                            {Value::Int(kMaxPlatforms)}, &result, m_error);
  if (rc == kDbFailed) return kDbFailed;
  for (const Row& r : result) {
    if (r.size() < 2) continue;
    KqPlatformRow row;
    row.id = static_cast<int>(r[0].i);
    row.hasName = r[1].kind != Value::kNull;
    if (row.hasName) row.name = r[1].kind == Value::kText ? r[1].s : std::to_string(r[1].i);
    rows.push_back(std::move(row));
    if (rows.size() == static_cast<size_t>(kMaxPlatforms)) break;
  }
  return 0;
}
