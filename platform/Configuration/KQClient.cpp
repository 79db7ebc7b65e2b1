#include "Configuration/KQClient.h"

#include <strings.h>

#include <cstdlib>
#include <map>

#include "Configuration/IniStore.h"
#include "Database/DbSession.h"
#include "Configuration/KQPI.h"
#include "Configuration/KQPlatformInfo.h"
#include "Configuration/KQGlobalParam.h"
#include "Logging/EvDebug.h"

namespace {
const unsigned long kHubnodeClient = 2;
const int kNotFound = 2;

std::string ClientSection(unsigned long id) { return "Client" + std::to_string(id); }
}  // namespace

std::string KQPI_Focus::getFocus() {
  const char* env = std::getenv("KQ_INSTANCE");
  return env && *env ? env : "Instance001";
}

unsigned long KQPI_Hubnode::getTessaraId() {
  unsigned long id = 0;
  return KQPlatformInfo().getNumber("Hubnode", "nTessaraId", id) ? id : 0;
}

bool KQGlobalParam::get(const std::string& name, std::string& value) const {
  return KQPlatformInfo().getString("GlobalParams", name, value);
}

bool KQGlobalParam::set(const std::string& name, const std::string& value) {
  return KQPlatformInfo().setString("GlobalParams", name, value);
}

bool KQGlobalParam::getHubnodePatchDirectory(std::string& folder) const {
  std::string v;
  if (!get("HubnodePatchDirectory", v) || v.empty()) return false;
  folder = v;
  return true;
}

KQClient::KQClient(unsigned long clientId) : id_(clientId) {}

KQClient::KQClient(const std::string& name, bool, int) {
  auto data = kqconfig::IniStore::Default().snapshot();
  for (const auto& s : data->sections) {
    if (strncasecmp(s.name.c_str(), "Client", 6) != 0) continue;
    char* end = nullptr;
    unsigned long id = std::strtoul(s.name.c_str() + 6, &end, 10);
    if (end == s.name.c_str() + 6 || *end != '\0') continue;
    const std::string* n = data->find(s.name, "sName");
    if (n && strcasecmp(n->c_str(), name.c_str()) == 0) {
      id_ = id;
      return;
    }
  }
}

std::string KQClient::value(const char* name) const {
  std::string v;
  KQPlatformInfo().getString(ClientSection(id_), name, v);
  return v;
}

int KQClient::getInstallDirectory(std::string& folder, int, void*) const {
  std::string v = value("dHOME");
  if (v.empty() && id_ == kHubnodeClient) {
    KQPlatformInfo().getString("Base", "dHOME", v);
    // A relative install folder would land below whatever the working folder is.
    if (!v.empty() && v[0] != '/') {
      EvDebug().Debug("KQClient", "Refusing the relative install folder [%s] of Base/dHOME",
                      v.c_str());
      return kNotFound;
    }
  }
  if (v.empty()) return kNotFound;
  folder = v;
  return 0;
}

int KQClient::getName(std::string& name) const {
  std::string v = value("sName");
  if (v.empty() && id_ == kHubnodeClient) KQPlatformInfo().getString("", "sPhysicalNodeName", v);
  if (v.empty()) return kNotFound;
  name = v;
  return 0;
}

int KQClient::getGUIDStr(std::string& guid) const {
  std::string v = value("sGUID");
  if (v.empty()) return kNotFound;
  guid = v;
  return 0;
}

unsigned long KQClient::getClientId(unsigned long& clientId) const {
  if (id_ != 0) clientId = id_;
  return id_;
}

unsigned KQClient::getReleaseId() const {
  unsigned id = 0;
  KQPlatformInfo pi;
  if (pi.getNumber(ClientSection(id_), "nReleaseId", id)) return id;
  if (id_ != kHubnodeClient) return 0;
  std::string version;
  if (!pi.getString("", "sProductVersion", version)) return 0;
  char* end = nullptr;
  unsigned long major = std::strtoul(version.c_str(), &end, 10);
  if (end == version.c_str() || major == 0 || major > 1000) return 0;
  return static_cast<unsigned>(major + 5);
}

int ClientProperties::setCacheExpectedSpace(unsigned long long bytes, int) {
  return KQPlatformInfo().setString("ClientProperties" + std::to_string(id_),
                                    "nCacheExpectedSpace", std::to_string(bytes)) ? 0 : 1;
}

int ClientProperties::setFreeSpaceOnDisk(unsigned long long bytes, int) {
  return KQPlatformInfo().setString("ClientProperties" + std::to_string(id_),
                                    "nFreeSpaceOnDisk", std::to_string(bytes)) ? 0 : 1;
}

unsigned long ClientProperties::getBinarySetID() const {
  // Asked once per client by inventories of many clients: the statement is taken from the
  // session as it stands (its one placeholder needs no renumbering).
  static const std::string kSql =
      "SELECT attrVal FROM APP_ClientProp WHERE componentNameId = $1 AND attrName = 'BinarySetID'";
  std::string err;
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  kq::db::Statement* stmt = session ? session->acquire(kSql, err) : nullptr;
  if (stmt == nullptr) return 0;
  long long id = 0;
  if (stmt->bind({kq::db::Value::Int(static_cast<long long>(id_))}, err) &&
      stmt->step(err) == kq::db::kDbRow) {
    bool null = false;
    if (!stmt->readInt64(0, id, null) || null) id = 0;
  }
  session->release(stmt);
  return id > 0 && id <= 0xFFFFFFFFLL ? static_cast<unsigned long>(id) : 0;
}
