// A small concrete retrieval job and components retriever for the tests: the job supplies its
// sides from maps the test sets and makes one retriever per version; a retriever owns the
// local folder-structure object of its version (our default cache hierarchy under the job's
// local cache) and fetches its pending files through the media access, counting files and
// bytes under the job's mutexes as a real retriever does.
#ifndef KQ_TESTS_SUPPORT_RETRIEVALTESTJOB_H_
#define KQ_TESTS_SUPPORT_RETRIEVALTESTJOB_H_

#include <map>
#include <memory>
#include <vector>
#include <string>

#include "MediaAccess/IMediaAccess.h"
#include "nPatchDownload/CSoftwareRetrieval.h"

namespace kqtest {

class TestComponentsRetrieval : public nPatchDownload::IComponentsRetrieval {
 public:
  TestComponentsRetrieval(std::set<nPatchDownload::tRetrievalSide> sides,
                          KQInstallCommonUtils::IFolderStruct* localFolders, IMediaAccess& media);
  ~TestComponentsRetrieval() override;

  unsigned int CheckFile(const nPatchDownload::tRetrievalSide&,
                         nPatchDownload::tGuarded<nPatchDownload::tFileList>,
                         nPatchDownload::tGuarded<nPatchDownload::tFileList>,
                         nPatchDownload::tFileList&, nPatchDownload::tGuarded<unsigned long long>,
                         bool&, nPatchDownload::tGuarded<std::set<std::string>>,
                         nPatchDownload::tRetrievalEntry&) override {
    return 0;
  }
  // Fetches every pending file (7/19 relative path) to baseFolder/<path>.
  unsigned int GetFile(const nPatchDownload::tRetrievalSide& side, const std::string& baseFolder,
                       unsigned long long freeSpaceKB, const nPatchDownload::tFileList& pending,
                       nPatchDownload::tGuarded<nPatchDownload::tFileList> retrieved,
                       nPatchDownload::tGuarded<unsigned long long> filesCount,
                       nPatchDownload::tGuarded<unsigned long long> bytesTotal,
                       nPatchDownload::tRetrievalEntries& packages,
                       nPatchDownload::tRetrievalEntries& maintenanceReleases,
                       nPatchDownload::tRetrievalEntry& entry, bool isCopy) override;
  unsigned int GetSeedFiles(IMediaAccess&, std::string&, std::string&) override { return 0; }
  const std::set<nPatchDownload::tRetrievalSide>& GetSides() override { return sides_; }
  unsigned int GetInstallerFiles(const std::string&, IMediaAccess&, int) override { return 0; }
  unsigned int PostGetFileOperation(const nPatchDownload::tRetrievalSide&,
                                    nPatchDownload::tRetrievalEntries&) override {
    return 0;
  }
  KQInstallCommonUtils::IFolderStruct* GetLocalFolderStruct() override { return localFolders_; }
  // Records the side and answers its rootFilesResults entry (0 when it has none).
  unsigned int DoRootFilesPatching(const nPatchDownload::tRetrievalSide& side) override {
    rootFilesCalls.push_back(side);
    auto found = rootFilesResults.find(side);
    return found == rootFilesResults.end() ? 0 : found->second;
  }
  void AdjustSucceededUpdatesForCopy(nPatchDownload::tSideFolderMap&) override {}

  std::map<nPatchDownload::tRetrievalSide, unsigned int> rootFilesResults;
  std::vector<nPatchDownload::tRetrievalSide> rootFilesCalls;

 private:
  std::set<nPatchDownload::tRetrievalSide> sides_;
  KQInstallCommonUtils::IFolderStruct* localFolders_;
  IMediaAccess& media_;
};

class TestRetrievalJob : public nPatchDownload::CSoftwareRetrieval {
 public:
  using CSoftwareRetrieval::CSoftwareRetrieval;

  // What GetSupportedSides hands out, and the code it returns.
  nPatchDownload::tSupportedSidesMap packages, updates, maintenanceReleases;
  unsigned int supportedSidesResult = 0;
  int supportedSidesCalls = 0;

  unsigned int CreateComponentsRetrievals(int type, nPatchDownload::tSupportedSidesMap& sides) override;
  unsigned int GetSupportedSides(nPatchDownload::tSupportedSidesMap& p,
                                 nPatchDownload::tSupportedSidesMap& u,
                                 nPatchDownload::tSupportedSidesMap& m) override;
  // Hands out unixFiles and returns unixFilesResult.
  unsigned int LoadUnixApplianceFilesInfo(nPatchDownload::tKQApplainceFilesInfo& files) override {
    files = unixFiles;
    return unixFilesResult;
  }
  nPatchDownload::tKQApplainceFilesInfo unixFiles;
  unsigned int unixFilesResult = 0;

  // The frame's state, for the tests.
  using CSoftwareRetrieval::initThreadPools;
  using CSoftwareRetrieval::m_failedApplianceSides;
  using CSoftwareRetrieval::m_foldersToDelete;
  using CSoftwareRetrieval::m_localCacheTemplate;
  using CSoftwareRetrieval::m_localMediaRoot;
  using CSoftwareRetrieval::m_mediaToKeep;
  using CSoftwareRetrieval::m_oldMediaToRemove;
  using CSoftwareRetrieval::m_serverTemplate;
  using CSoftwareRetrieval::m_filesCountLock;
  using CSoftwareRetrieval::m_bytesLock;
  using CSoftwareRetrieval::m_numFilesDownloaded;
  using CSoftwareRetrieval::m_totalBytesDownloaded;
  using CSoftwareRetrieval::m_getFilePool;
  using CSoftwareRetrieval::m_localCacheRoot;
  using CSoftwareRetrieval::m_failedApplianceOSes;
  using CSoftwareRetrieval::m_windowsApplianceConfigPath;
  using CSoftwareRetrieval::m_checkFileNames;
  using CSoftwareRetrieval::m_lowerBoundCUVersion;
  using CSoftwareRetrieval::m_sideStatus;
  using CSoftwareRetrieval::m_copyTempFolder;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_RETRIEVALTESTJOB_H_
