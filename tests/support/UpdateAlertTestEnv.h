// UpdateAlertTestEnv: a generated Tessara in a private database of the run's backend, and its
// download center (TessaraDownloadCenter.h) served over http on 127.0.0.1 and named by the
// download configuration, for the update-alert object's download-center and alert-run suites.
#ifndef KQ_TESTS_SUPPORT_UPDATEALERTTESTENV_H_
#define KQ_TESTS_SUPPORT_UPDATEALERTTESTENV_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "KqDbTestEnv.h"
#include "LoopbackServer.h"
#include "TessaraDownloadCenter.h"
#include "TessaraGenerator.h"

namespace kqtest {

// Records updates as downloaded for one level of the Hubnode's release.
inline void WriteRecordedUpdates(const std::vector<std::string>& names, int major, int trans) {
  for (const std::string& n : names)
    Sql("INSERT INTO PatchUpdateInfo (Release, Build, SPMajor, SPMinor, TransactionId, "
        "UpdateName, Kind) VALUES (16, 80, $1, 0, $2, $3, 1)",
        {I(major), I(trans), T(n)});
}

class UpdateAlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    center = MakeDownloadCenter();
    WriteDownloadCenter(center, served.path());
    LoopbackServer::Options o;
    o.root = served.path();
    server = std::make_unique<LoopbackServer>(o);
    ASSERT_TRUE(server->ok()) << server->error();
    tessara = MakeTessara(TessaraOptions());
    tessara.downloadPort = server->port();
    WriteTessara(tessara, root());
    WriteRecordedUpdates(center.recorded, DownloadCenterModel::kHubMajor,
                         DownloadCenterModel::kHubTrans);
  }

  const std::string& root() { return db.config().root(); }
  std::string Log(const std::string& name = "KqPatches") { return ReadFile(db.config().logFile(name)); }
  long long Count(const std::string& table) { return Sql("SELECT COUNT(*) FROM " + table)[0][0].i; }
  // Requests for a path below the served folder ("cfg/KQUpdates/...").
  int Requested(const std::string& path) { return server->CountRequests(path); }
  // The folder of the hotfix configuration and the catalogues on the download center.
  std::string CenterFolder() { return served.path() + "/cfg/KQUpdates/11.0.0/BUILD80"; }

  ScopedDatabase db;
  TempDir served;
  std::unique_ptr<LoopbackServer> server;
  TessaraModel tessara;
  DownloadCenterModel center;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_UPDATEALERTTESTENV_H_
