// The install-aware appliance reader on a machine without the install client: the first call
// reports the failed load, and later calls in the same process do not try again. This test runs
// without the test client's folder on its library path (it does not include InstallClientEnv.h).
#include <gtest/gtest.h>

#include <string>

#include "ApplianceTreeGenerator.h"
#include "KqTestEnv.h"
#include "Logging/EvDebug.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(InstallClientMissing, FirstCallReportsTheLoadAndLaterCallsFailResolving) {
  kqtest::ScopedConfig cfg;
  const kqtest::ApplianceManifest tree = kqtest::WriteApplianceTree(cfg.root(), 7, 12);
  const std::string config = tree.folder + "/" + kqtest::kWindowsApplianceConfig;
  nPatchDownload::tApplianceCandidates candidates;
  EvDebug log;
  const FullVersion version(_SPVersion(20));

  EXPECT_EQ(nPatchDownload::KQ_PATCH_E_INVALID_INPUT,
            nPatchDownload::CSoftwareRetrieval::getPatchFilesList(
                config, tree.tessaraWindows, tree.tessaraSQL, candidates, version, log, true));
  const unsigned second = nPatchDownload::CSoftwareRetrieval::getPatchFilesList(
      config, tree.tessaraWindows, tree.tessaraSQL, candidates, version, log, true);
  EXPECT_NE(0u, second);
  EXPECT_NE(nPatchDownload::KQ_PATCH_E_INVALID_INPUT, second);
  // SQL names alone: the SQL entry point fails the same way.
  EXPECT_NE(0u, nPatchDownload::CSoftwareRetrieval::getPatchFilesList(
                    config, {}, tree.tessaraSQL, candidates, version, log, true));
  EXPECT_TRUE(candidates.empty());

  const std::string text = kqtest::ReadFile(cfg.logFile());
  EXPECT_EQ(1u, Count(text, "Unable to load kqinstallclient with error: "));
  EXPECT_EQ(1u, Count(text, "Unable to obtain addres of GetWinOSVersion with error: "));
  EXPECT_EQ(1u, Count(text, "Unable to obtain addres of GetSQLVersion with error: "));
  EXPECT_EQ(0u, Count(text, "KqInstallClient is loaded"));

  // The plain reader does not need the client.
  EXPECT_EQ(0u, nPatchDownload::CSoftwareRetrieval::getPatchFilesList(
                    config, tree.tessaraWindows, tree.tessaraSQL, candidates, version, log, false));
  EXPECT_FALSE(candidates.empty());
}

}  // namespace
