// Host identity: product version and release of the client, the active node of a clustered
// Hubnode, the retry switch and the impersonation hooks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Configuration/KQPlatformInfo.h"
#include "HostIdentity.h"
#include "KqTestEnv.h"

namespace {

TEST(HostIdentity, ReleaseNumberIsTheTextBeforeTheFirstDot) {
  kqtest::ScopedConfig cfg;
  std::string release = "unchanged";
  EXPECT_FALSE(GetRelNumOfClient(release));  // no product version at all
  EXPECT_NE(kqtest::ReadFile(cfg.logFile()).find("Failed to get Product version from the registry."),
            std::string::npos);
  cfg.set("", "sProductVersion", "7");
  EXPECT_FALSE(GetRelNumOfClient(release));
  cfg.set("", "sProductVersion", ".5");
  EXPECT_FALSE(GetRelNumOfClient(release));
  EXPECT_EQ(release, "unchanged");
  cfg.set("", "sProductVersion", "7.2");
  ASSERT_TRUE(GetRelNumOfClient(release));
  EXPECT_EQ(release, "7");
}

TEST(HostIdentity, ActiveNodeFallsBackToTheHubnodeClient) {
  kqtest::ScopedConfig cfg;
  unsigned long id = 99;
  EXPECT_TRUE(GetHNActiveNodeClientId(id));
  EXPECT_EQ(id, 2u);

  cfg.set("", "sPhysicalNodeName", "node-b");
  std::string name;
  EXPECT_TRUE(GetPhysicalNodeNameFromReg(name));
  EXPECT_EQ(name, "node-b");
  EXPECT_FALSE(GetHNActiveNodeClientId(id));  // node-b is no known client
  EXPECT_EQ(id, 2u);

  cfg.set("Client12", "sName", "node-b");
  EXPECT_TRUE(GetHNActiveNodeClientId(id));
  EXPECT_EQ(id, 12u);
}

TEST(HostIdentity, HubnodeReleaseComesFromClientTwo) {
  kqtest::ScopedConfig cfg;
  EXPECT_EQ(getHNReleaseID(), 0u);
  cfg.set("", "sProductVersion", "11.0.0.1");
  EXPECT_EQ(getHNReleaseID(), 16u);
  cfg.set("Client2", "nReleaseId", "15");
  EXPECT_EQ(getHNReleaseID(), 15u);
}

TEST(HostIdentity, RetrySwitchIsReadOncePerProcess) {
  // Run in a child so that the process-wide answer starts unset.
  kqtest::ScopedConfig cfg;
  cfg.set("UpdateFlags", "nUseRetryForClientConnectivityCheck", "1");
  pid_t pid = fork();
  if (pid == 0) {
    bool first = isConnectWithRetryRegistrySet();
    KQPlatformInfo().setString("UpdateFlags", "nUseRetryForClientConnectivityCheck", "0");
    bool second = isConnectWithRetryRegistrySet();
    _exit(first && second ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(HostIdentity, ImpersonationHooks) {
  kqtest::ScopedConfig cfg;
  void* token = reinterpret_cast<void*>(1);
  EXPECT_TRUE(doImpersonateUser("root", "", &token));
  EXPECT_EQ(token, nullptr);
  EXPECT_FALSE(doImpersonateUser("no-such-user-kq", "pw", &token));
  // A known account logs on, but this platform cannot switch to it.
  EXPECT_FALSE(doImpersonateUser("root", "pw", &token));
  EXPECT_NE(token, nullptr);
  unsigned code = 17;
  EXPECT_TRUE(LaunchAppGetExitCode("/bin/true", false, &code, nullptr));
  EXPECT_EQ(code, 17u);
  EXPECT_FALSE(KQImpersonateLoggedOnUser(nullptr));
}

}  // namespace

#include "Versions/FullVersion.h"

namespace {

TEST(HostIdentity, InstalledVersionFromTransactionValues) {
  kqtest::ScopedConfig cfg;
  FullVersion v;
  EXPECT_FALSE(GetFullVersionInstalledOnClient(v));
  cfg.set("UpdateBinTransactions", "SPTranID", "4711");
  ASSERT_TRUE(GetFullVersionInstalledOnClient(v));
  EXPECT_EQ(v.Get(FullVersion::kTransactionId), 4711);
  EXPECT_EQ(v.Get(FullVersion::kRevisionId), 0);
  EXPECT_EQ(v.Get(FullVersion::kUPTransactionId), 0);

  cfg.set("UpdateBinTransactions", "UP_Transaction", "5120");
  cfg.set("UpdateBinTransactions", "RevisionId", "0x1F");
  FullVersion w;
  ASSERT_TRUE(GetFullVersionInstalledOnClient(w));
  EXPECT_EQ(w.Get(FullVersion::kRevisionId), 31);
  EXPECT_EQ(w.Get(FullVersion::kUPTransactionId), 5120);

  // A revision that is not wholly a number is absent: the version keeps its own.
  for (const char* junk : {"12abc", "x", " ", "0x", "99999999999"}) {
    cfg.set("UpdateBinTransactions", "RevisionId", junk);
    FullVersion u;
    u.Set(FullVersion::kRevisionId, 5);
    ASSERT_TRUE(GetFullVersionInstalledOnClient(u)) << junk;
    EXPECT_EQ(u.Get(FullVersion::kRevisionId), 5) << junk;
    EXPECT_EQ(u.Get(FullVersion::kTransactionId), 4711) << junk;
  }
}

}  // namespace
