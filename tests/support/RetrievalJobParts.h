// The collaborators that a concrete retrieval job owns, gathered for the tests: a configuration
// store, the install and cache folders, the event sink, a Hubnode data manager, the policy, the
// job object, the dependency builder, both pools and the media access. Job() makes a
// TestRetrievalJob over them; the job is destroyed before the media access it uses.
#ifndef KQ_TESTS_SUPPORT_RETRIEVALJOBPARTS_H_
#define KQ_TESTS_SUPPORT_RETRIEVALJOBPARTS_H_

#include <memory>
#include <string>

#include "KqTestEnv.h"
#include "RetrievalTestJob.h"
#include "nPatchDownload/CFilesDependencyBuilder.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchDebug.h"

namespace kqtest {

struct RetrievalJobParts {
  // Fills the vocabulary tables, points "Base"/"dHOME" at base and makes the data manager.
  RetrievalJobParts();
  ~RetrievalJobParts();

  // A job over a download (or, with copy, a copy) source; its local cache is the cache folder
  // and its local cache template our default hierarchy. Replaces the job made before.
  TestRetrievalJob& Job(const std::string& server, bool copy);

  ScopedConfig config;
  TempDir base, cache;
  nPatchDownload::CPatchDebug sink;
  std::unique_ptr<nPatchDownload::CPatchDataManagerHN> dataManager;
  nPatchDownload::CPolicyProvider policy;
  CPatchJobObject jobObject;
  nPatchDownload::CFilesDependencyBuilder builder{7};
  CPatchThreadPool checkPool, getPool;
  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> media{nullptr, DestroyMediaAccess};
  std::unique_ptr<TestRetrievalJob> job;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_RETRIEVALJOBPARTS_H_
