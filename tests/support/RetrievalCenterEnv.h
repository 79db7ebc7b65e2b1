// RetrievalCenterEnv: a test base for retrieval jobs over a generated download center.
//
// Each test gets a private database of the run's backend (a test file that includes this header
// must also include "KqDbTestEnv.h" itself, so that CMake registers its PostgreSQL run), a store
// whose "Base"/"dHOME" is a fresh base folder and whose "SoftwareCache"/"dHOME" is a fresh
// cache folder, the Tessara's appliance clients in APP_ApplianceOS, a Hubnode data manager and
// the standard event sink. The center (default options) is made once per process and written
// once into a served folder; a test starts a loopback server over it (Serve) and makes job runs:
// each run has its own media access, pools, job object, policy and CenterRetrievalJob, as a
// job process would, so that a second run starts afresh over the same cache.
#ifndef KQ_TESTS_SUPPORT_RETRIEVALCENTERENV_H_
#define KQ_TESTS_SUPPORT_RETRIEVALCENTERENV_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KqDbTestEnv.h"
#include "LoopbackServer.h"
#include "RetrievalCenterJob.h"
#include "Vocabulary.h"
#include "nPatchDownload/CFilesDependencyBuilder.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchDebug.h"

namespace kqtest {

// The default center and the folder it is written in, for the whole test process.
inline const RetrievalCenter& DefaultRetrievalCenter() {
  static const RetrievalCenter center = MakeRetrievalCenter();
  return center;
}
inline const std::string& DefaultRetrievalCenterFolder() {
  static TempDir folder;  // removed when the process ends
  static const bool written = (WriteRetrievalCenter(DefaultRetrievalCenter(), folder.path()), true);
  (void)written;
  return folder.path();
}

class RetrievalCenterTest : public ::testing::Test {
 protected:
  // Everything one job run owns. Destroyed job first, then the pools, then the media access.
  struct Run {
    nPatchDownload::CPolicyProvider policy;
    CPatchJobObject jobObject;
    std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> media{nullptr, DestroyMediaAccess};
    std::unique_ptr<CPatchThreadPool> checkPool{new CPatchThreadPool()};
    std::unique_ptr<CPatchThreadPool> getPool{new CPatchThreadPool()};
    std::unique_ptr<CenterRetrievalJob> job;
    ~Run() {
      job.reset();
      checkPool.reset();
      getPool.reset();
    }
  };

  RetrievalCenterTest() : center(DefaultRetrievalCenter()), served(DefaultRetrievalCenterFolder()) {}

  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    ScopedConfig& config = db.config();
    config.set("Base", "dHOME", base.path());
    config.set("SoftwareCache", "dHOME", cache.path());
    config.set("MediaAccess", "nRetryWaitMs", "10");
    config.set("Hubnode", "nTessaraId", "4242");
    for (const std::string& name : center.windowsApplianceOses)
      Sql("INSERT INTO APP_ApplianceOS (ClientId, OSNameVersion, MainOSType) VALUES (5, $1, 2)",
          {T(name)});
    for (const std::string& name : center.sqlApplianceOses)
      Sql("INSERT INTO APP_ApplianceOS (ClientId, OSNameVersion, MainOSType) VALUES (6, $1, 1)",
          {T(name)});
    int status = -1;
    dataManager.reset(new nPatchDownload::CPatchDataManagerHN(sink, status));
    ASSERT_EQ(0, status);
  }

  void TearDown() override { runs.clear(); }

  // Starts a loopback server of the protocol over the served center.
  LoopbackServer& Serve(const std::string& protocol = "http") {
    LoopbackServer::Options o;
    o.protocol = protocol;
    o.root = served;
    serverProtocol = protocol;
    server.reset(new LoopbackServer(o));
    EXPECT_TRUE(server->ok()) << server->error();
    return *server;
  }

  // A new job run: a download job from the server (Serve first), or a copy job from the served
  // folder. The candidate version is the newest feature release; pools have `threads` each.
  Run& NewRun(bool copy = false, unsigned threads = 4) {
    runs.emplace_back(new Run());
    Run& r = *runs.back();
    nPatchDownload::CMediaConfiguration record;
    if (copy) {
      record.Reset(nPatchDownload::CMediaConfiguration::eHTTP, cache.path(), served, true, false);
      r.policy.m_policyType = nPatchDownload::CPolicyProvider::ePolicyCopy;
      // Windows and MSSQL appliance files come from the source's appliance folder; the Unix
      // configuration is named from the source's root (no source folder of type 0).
      r.policy.m_applianceSources = {{1, "KQAppliance"}, {2, "KQAppliance"}};
    } else {
      EXPECT_TRUE(server != nullptr) << "Serve() before a download run";
      const std::string site = server ? server->base() : std::string();
      if (serverProtocol == "ftp") {
        record.m_protocol = nPatchDownload::CMediaConfiguration::eFTP;
        record.Reset(cache.path(), site, "kquser", "kqpass", true);
      } else {
        record.Reset(serverProtocol == "https" ? nPatchDownload::CMediaConfiguration::eHTTPS
                                               : nPatchDownload::CMediaConfiguration::eHTTP,
                     cache.path(), site, true, serverProtocol == "https");
      }
      r.policy.m_policyType = 1;
    }
    r.policy.m_candidateVersion = center.Version(0);
    r.policy.m_hubnodeVersion = center.Version(1);
    r.policy.m_checkFileParams.threads = threads;
    r.policy.m_getFileParams.threads = threads;
    IMediaAccess* access = nullptr;
    EXPECT_EQ(0u, CreateMediaAccess(record, record, sink, &access));
    r.media.reset(access);
    r.job.reset(new CenterRetrievalJob(center, cache.path(), r.jobObject, sink, *dataManager,
                                       r.policy, builder, *r.checkPool, *r.getPool, *r.media));
    r.job->stoppable = &r.jobObject;
    return r;
  }

  std::string Log() { return ReadFile(db.config().logFile()); }
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }

  const RetrievalCenter& center;
  const std::string& served;
  ScopedDatabase db;
  TempDir base, cache;
  nPatchDownload::CPatchDebug sink;
  std::unique_ptr<nPatchDownload::CPatchDataManagerHN> dataManager;
  nPatchDownload::CFilesDependencyBuilder builder{7};
  std::unique_ptr<LoopbackServer> server;
  std::string serverProtocol = "http";
  std::vector<std::unique_ptr<Run>> runs;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_RETRIEVALCENTERENV_H_
