#include "Database/KQInstalledPackages.h"

#include <memory>
#include <string>
#include <vector>

#include "Database/DbSession.h"
#include "Logging/EvDebug.h"

int KQInstalledPackages::IsPackageInstalled(int clientId, int packageId, bool& installed) {
  std::string err;
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  int rc = kq::db::kDbFailed;
  if (session)
    rc = kq::db::ExecuteSql(*session,
                            "SELECT 1 FROM simInstalledPackages WHERE ClientId = $1 AND "
                            "simPackageID = $2",
                            {kq::db::Value::Int(clientId), kq::db::Value::Int(packageId)},
                            nullptr, err);
  if (rc == kq::db::kDbFailed) {
    EvDebug().DebugLvl("KQInstalledPackages", 2, "Reading the installed packages of client [%d] "
                       "failed: %s", clientId, err.c_str());
    return kq::db::kDbFailed;
  }
  installed = rc == kq::db::kDbRow;
  return 0;
}
