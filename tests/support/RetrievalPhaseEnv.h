// Test base for the phase suites of a retrieval job: a private database with a Hubnode data
// manager (from DataManagerTest), the job's collaborators as a concrete job owns them, and
// TestRetrievalJob objects over a source folder of this machine (download or copy job).
#ifndef KQ_TESTS_SUPPORT_RETRIEVALPHASEENV_H_
#define KQ_TESTS_SUPPORT_RETRIEVALPHASEENV_H_

#include <memory>
#include <queue>
#include <string>

#include "DataManagerTestEnv.h"
#include "InstallUtils/IFolderStruct.h"
#include "KqTestEnv.h"
#include "RetrievalTestJob.h"
#include "Vocabulary.h"
#include "nPatchDownload/CFilesDependencyBuilder.h"

namespace kqtest {

class RetrievalPhaseTest : public DataManagerTest {
 protected:
  RetrievalPhaseTest() {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    db.config().set("Base", "dHOME", base.path());
    db.config().set("MediaAccess", "nRetryWaitMs", "10");
    policy.m_candidateVersion = Version(20);
  }
  ~RetrievalPhaseTest() override { Drop(); }

  // Release 11, build 80, feature release SP<major>_<trans>_R<rev>, pack cu.
  static FullVersion Version(int major, int trans = 4711, int rev = 3, int cu = 0) {
    _SPVersion sp(major, 0, trans, rev);
    sp.SetRelease(11);
    sp.SetBuild(80);
    return FullVersion(sp, _UPVersion(cu));
  }
  static nPatchDownload::tRetrievalSide Side(int osId, const FullVersion& version) {
    nPatchDownload::tRetrievalSide side;
    side.osId = osId;
    side.mediaVersion = version;
    return side;
  }

  // A job fetching from the folder `server` into cacheRoot (the cache folder when empty).
  TestRetrievalJob& Job(const std::string& server, bool copy, const std::string& cacheRoot = "") {
    Drop();
    const std::string root = cacheRoot.empty() ? cache.path() : cacheRoot;
    nPatchDownload::CMediaConfiguration record;
    record.Reset(nPatchDownload::CMediaConfiguration::eHTTP, root, server, true, false);
    policy.m_policyType = copy ? nPatchDownload::CPolicyProvider::ePolicyCopy : 1;
    IMediaAccess* access = nullptr;
    EXPECT_EQ(0u, CreateMediaAccess(record, record, *sink, &access));
    media.reset(access);
    job = std::make_unique<TestRetrievalJob>(jobObject, *sink, *manager, policy, builder, checkPool,
                                             getPool, *media);
    job->m_localCacheTemplate = KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1);
    job->m_localCacheRoot = root;
    return *job;
  }

  // A fresh event sink and data manager (no job error yet); the job goes first.
  void Restart() {
    Drop();
    Renew();
  }

  // The job's specific error: its id, status and details.
  int Error(int& status, std::queue<nPatchDownload::tErrorDetails>* details = nullptr) {
    int id = 0;
    KQJobStatus st{};
    std::queue<nPatchDownload::tErrorDetails> d;
    sink->GetErrorDetails(id, st, d);
    status = static_cast<int>(st);
    if (details) *details = d;
    return id;
  }

  TempDir base, cache, source, outside;
  nPatchDownload::CPolicyProvider policy;
  CPatchJobObject jobObject;
  nPatchDownload::CFilesDependencyBuilder builder{7};
  CPatchThreadPool checkPool, getPool;
  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> media{nullptr, DestroyMediaAccess};
  std::unique_ptr<TestRetrievalJob> job;

 private:
  void Drop() {
    job.reset();  // before the media access it uses
    media.reset();
  }
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_RETRIEVALPHASEENV_H_
