// Who and where this library runs: the local client's product version and installed update
// level, the physical node of a clustered Hubnode, the Hubnode's release, one behaviour switch,
// and the hooks for running as another user or launching a program.
#ifndef KQPATCHESCOMMON_HOSTIDENTITY_H_
#define KQPATCHESCOMMON_HOSTIDENTITY_H_

#pragma GCC visibility push(default)

#include <string>

class FullVersion;

bool GetProductVersionOfClient(std::string& version);
bool GetRelNumOfClient(std::string& release);
bool GetFullVersionInstalledOnClient(FullVersion& version);
bool GetPhysicalNodeNameFromReg(std::string& name);
bool GetHNActiveNodeClientId(unsigned long& clientId);
unsigned getHNReleaseID();
bool isConnectWithRetryRegistrySet();
bool doImpersonateUser(std::string user, std::string password, void** token);
bool KQImpersonateLoggedOnUser(void* token);
bool LaunchAppGetExitCode(std::string program, bool flag, unsigned* exitCode, void* opaque);

// The instance's absolute configuration key: SOFTWARE\<maker>\<product>\<instance name>.
std::string GetInstanceRegistryKey();

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_HOSTIDENTITY_H_
