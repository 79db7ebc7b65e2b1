#include "HostIdentity.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "Configuration/KQClient.h"
#include "Configuration/KQPI.h"
#include "Configuration/KQPlatformInfo.h"
#include "Identity/CLoggedOnUser.h"
#include "Logging/EvDebug.h"
#include "Versions/FullVersion.h"

std::string GetInstanceRegistryKey() {
  return std::string("SOFTWARE\\Dunmarrow_Systems\\Vorlan\\") + KQPI_Focus::getFocus();
}

bool GetProductVersionOfClient(std::string& version) {
  if (KQPlatformInfo().getString("", "sProductVersion", version)) return true;
  EvDebug().DebugLvl("::GetProductVersionOfClient", 1,
                     "Failed to get Product version from the registry.");
  return false;
}

bool GetRelNumOfClient(std::string& release) {
  std::string version;
  if (!GetProductVersionOfClient(version) || version.empty()) return false;
  EvDebug log;
  log.DebugLvl("::GetRelNumOfClient", 2, "Product version from client registry %s",
               version.c_str());
  size_t dot = version.find('.');
  if (dot == std::string::npos || dot == 0) return false;
  release = version.substr(0, dot);
  log.DebugLvl("::GetRelNumOfClient", 2, "Release number of client %s", release.c_str());
  return true;
}

bool GetFullVersionInstalledOnClient(FullVersion& version) {
  const char* tag = "::GetFullVersionInstalledOnClient";
  KQPlatformInfo pi;
  EvDebug log;
  std::string text;
  if (!pi.getString("UpdateBinTransactions", "SPTranID", text) || text.empty()) {
    log.DebugLvl(tag, 0, "Could not find SPTranID in registry");
    return false;
  }
  version.set_formatted_str(FullVersion::kFormatSPTransaction, text);
  text.clear();
  if (!pi.getString("UpdateBinTransactions", "UP_Transaction", text) || text.empty())
    log.DebugLvl(tag, 2, "Could not find UP_Transaction in registry");
  else
    version.set_formatted_str(FullVersion::kFormatUPTransaction, text);
  unsigned int revision = 0;  // a value that is not wholly a number counts as absent
  if (!pi.getNumber("UpdateBinTransactions", "RevisionId", revision))
    log.DebugLvl(tag, 0, "Could not find RevisionId in registry");
  else
    version.Set(FullVersion::kRevisionId, static_cast<int>(revision));
  log.DebugLvl(tag, 2, "Full version installed on client is [%s]",
               version.formatted_str(FullVersion::kFormatFull).c_str());
  return true;
}

bool GetPhysicalNodeNameFromReg(std::string& name) {
  name.clear();
  return KQPlatformInfo().getRegStringFromAbsPath(GetInstanceRegistryKey(), "sPhysicalNodeName",
                                                  name);
}

bool GetHNActiveNodeClientId(unsigned long& clientId) {
  clientId = 2;
  std::string node;
  if (!KQPlatformInfo().getRegStringFromAbsPath(GetInstanceRegistryKey(), "sPhysicalNodeName",
                                                node))
    return true;
  if (node.size() > 511) node.resize(511);
  unsigned long id = 0;
  if (KQClient(node, false, 0).getClientId(id) == 0) {
    EvDebug().Error("GetHNActiveNodeClientId", "Failed to get Hubnode active node's client Id");
    clientId = 2;
    return false;
  }
  clientId = id;
  return true;
}

unsigned getHNReleaseID() { return KQClient(2).getReleaseId(); }

bool isConnectWithRetryRegistrySet() {
  // Read once per process; later changes of the value take effect at the next start.
  static std::once_flag once;
  static bool value = false;
  std::call_once(once, [] {
    unsigned long n = 0;
    EvDebug log;
    if (KQPlatformInfo().getNumber("UpdateFlags", "nUseRetryForClientConnectivityCheck", n) &&
        n != 0) {
      value = true;
      log.DebugLvl("[isConnectWithRetryFlagSet]", 1,
                   "UpdateFlags\\nUseRetryForClientConnectivityCheck registry key is set, client "
                   "connectivity check during install and update job will USE retry.");
    } else {
      log.DebugLvl("[isConnectWithRetryFlagSet]", 2,
                   "UpdateFlags\\nUseRetryForClientConnectivityCheck registry key is not set, "
                   "client connectivity check during install and update job will NOT USE retry.");
    }
  });
  return value;
}

bool KQImpersonateLoggedOnUser(void*) { return false; }

bool LaunchAppGetExitCode(std::string, bool, unsigned*, void*) { return true; }

bool doImpersonateUser(std::string user, std::string password, void** token) {
  CLoggedOnUser logon;
  logon.Init(user, password, true);
  if (token) *token = nullptr;
  EvDebug log;
  if (user.empty() || password.empty()) {
    log.DebugLvl("doImpersonateUser", 2, "User name or Password is empty");
    return true;
  }
  if (logon.Logon() != 0) {
    log.DebugLvl("doImpersonateUser", 0, "CLoggedOnUser::Logon failed for user [%s], error [%d] ",
                 user.c_str(), errno);
    return false;
  }
  void* t = logon.GetToken();
  if (token) *token = t;
  if (KQImpersonateLoggedOnUser(t)) return true;
  log.DebugLvl("doImpersonateUser", 0, "ImpersonateLoggedOnUser failed for user [%s], error: %d\n",
               user.c_str(), errno);
  return false;
}
