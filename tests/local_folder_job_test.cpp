// The examples' smallest retrieval job (examples/LocalFolderJob.h) over a folder of this machine:
// the generated download center's folder as the copy source.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "KqDbTestEnv.h"
#include "LocalFolderJob.h"
#include "RetrievalCenterEnv.h"

namespace {

class LocalFolderJobTest : public kqtest::RetrievalCenterTest {
 protected:
  struct Outcome {
    unsigned int initialize = 0, pending = 0, getFile = 0;
    unsigned long long files = 0;
  };

  // One job run from the served folder into the cache, as a job process makes it.
  Outcome RunJob() {
    Run& r = NewRun(/*copy=*/true);
    r.policy.m_applianceSources.clear();  // the job serves packages only
    const std::map<int, std::string> folders = {
        {kqtest::kCenterWindowsOs, "Windows/BinaryPayload"}, {kqtest::kCenterUnixOs, "Unix/linux-x8664"}};
    kqexample::LocalFolderJob job(r.jobObject, sink, *dataManager, r.policy, builder, *r.checkPool,
                                  *r.getPool, *r.media, center.Version(0), cache.path(),
                                  center.MediaFolder(0), folders);
    Outcome o;
    o.initialize = job.Initialize();
    if (o.initialize != 0) return o;
    nPatchDownload::tRetrievalEntries packages, packs, updates, unused;
    nPatchDownload::tApplianceEntries appliance;
    o.pending = job.CalculatePendingIncrementalFiles(packages, packs, updates, unused, appliance);
    if (o.pending != 0) return o;
    o.getFile = job.GetIncrementalFile(packages, packs, updates, unused, appliance);
    o.files = job.GetNumFilesDownloaded();
    return o;
  }

  // The regular files of the served folder below the newest feature release's payload folders,
  // relative to the served folder.
  std::vector<std::string> ServedFiles() const {
    namespace fs = std::filesystem;
    std::vector<std::string> out;
    for (int os : {kqtest::kCenterWindowsOs, kqtest::kCenterUnixOs})
      for (const auto& e : fs::recursive_directory_iterator(served + "/" + center.PayloadFolder(0, os)))
        if (e.is_regular_file()) out.push_back(fs::relative(e.path(), served).string());
    return out;
  }
};

TEST_F(LocalFolderJobTest, FetchesWhatTheCacheLacksOrHoldsWithAnotherSizeAndNothingElse) {
  const std::vector<std::string> files = ServedFiles();
  ASSERT_FALSE(files.empty());

  const Outcome first = RunJob();
  EXPECT_EQ(0u, first.initialize);
  EXPECT_EQ(0u, first.pending);
  EXPECT_EQ(0u, first.getFile);
  EXPECT_EQ(files.size(), first.files);
  for (const std::string& f : files)
    EXPECT_EQ(kqtest::ReadFile(served + "/" + f), kqtest::ReadFile(cache.path() + "/" + f)) << f;

  // A second run finds everything in place; a file cut short is fetched again, whole.
  EXPECT_EQ(0u, RunJob().files);
  const std::string& cut = files.front();
  kqtest::WriteFile(cache.path() + "/" + cut, "short");
  const Outcome again = RunJob();
  EXPECT_EQ(0u, again.getFile);
  EXPECT_EQ(1u, again.files);
  EXPECT_EQ(kqtest::ReadFile(served + "/" + cut), kqtest::ReadFile(cache.path() + "/" + cut));
}

}  // namespace
