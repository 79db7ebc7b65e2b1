// A concrete retrieval job over a generated download center (RetrievalCenterGenerator.h) and its
// manifest-driven components retrievers, for phase tests and whole jobs.
//
// CenterComponentsRetrieval serves one patch type of one feature release. Its side check
// queues CheckFile-pool tasks over the side's manifest files, a few files each: a task CRCs
// each cache file (through the library's CRC) and, when it is absent or differs from the
// manifest, lowers the free space by the file's size and lists the file pending (status
// 0x8000001D instead when the space does not suffice); every file ends in processed, every
// file of the side is in computed. Its retrieval queues one GetFile-pool task per pending file: the task fetches the
// file through the media access into the phase's "CopySoftware" folder, checks its size and
// CRC against the manifest, moves it into the cache and counts one file and its bytes; a
// failed fetch or a mismatch deletes the temporary file, raises 0x44000046 (job status 2,
// remote and local path) when no error is set yet, and leaves the file out of retrieved, so
// the phase marks the side. Seed files are the feature release's "UpdatesInfo.xml".
//
// CenterRetrievalJob supplies the sides of the center (every feature release for packages and
// updates, those with a pack for maintenance releases; Windows and Unix), one retriever per
// version, and the Unix appliance files of the downloaded Unix configuration. Failures are
// injected per operation and side through `fault`; `stopAfterFiles` asks the job object to
// stop once that many files arrived. The center, the collaborators and the job object belong
// to the test and outlive the job; the retrievers belong to the job.
#ifndef KQ_TESTS_SUPPORT_RETRIEVALCENTERJOB_H_
#define KQ_TESTS_SUPPORT_RETRIEVALCENTERJOB_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MediaAccess/IMediaAccess.h"
#include "PortableFiles/PxDirectory.h"
#include "RetrievalCenterGenerator.h"
#include "nPatchDownload/CSoftwareRetrieval.h"

namespace kqtest {

class CenterRetrievalJob;

// Operation names a fault hook is asked with.
constexpr const char* kCenterCheckFile = "CheckFile";
constexpr const char* kCenterGetFile = "GetFile";
constexpr const char* kCenterFetch = "Fetch";  // one file of GetFile (side = the file's side)
constexpr const char* kCenterSeedFiles = "GetSeedFiles";
constexpr const char* kCenterPostGetFile = "PostGetFileOperation";
constexpr const char* kCenterInstallerFiles = "GetInstallerFiles";
constexpr const char* kCenterRootFiles = "DoRootFilesPatching";

class CenterComponentsRetrieval : public nPatchDownload::IComponentsRetrieval {
 public:
  CenterComponentsRetrieval(CenterRetrievalJob& job, int type, int featureRelease,
                            std::set<nPatchDownload::tRetrievalSide> sides,
                            KQInstallCommonUtils::IFolderStruct* localFolders);
  ~CenterComponentsRetrieval() override;

  unsigned int CheckFile(const nPatchDownload::tRetrievalSide& side,
                         nPatchDownload::tGuarded<nPatchDownload::tFileList> pending,
                         nPatchDownload::tGuarded<nPatchDownload::tFileList> processed,
                         nPatchDownload::tFileList& computed,
                         nPatchDownload::tGuarded<unsigned long long> freeSpaceKB,
                         bool& reDownloadExisting,
                         nPatchDownload::tGuarded<std::set<std::string>> sharedFileNames,
                         nPatchDownload::tRetrievalEntry& entry) override;
  unsigned int GetFile(const nPatchDownload::tRetrievalSide& side, const std::string& baseFolder,
                       unsigned long long freeSpaceKB, const nPatchDownload::tFileList& pending,
                       nPatchDownload::tGuarded<nPatchDownload::tFileList> retrieved,
                       nPatchDownload::tGuarded<unsigned long long> filesCount,
                       nPatchDownload::tGuarded<unsigned long long> bytesTotal,
                       nPatchDownload::tRetrievalEntries& packages,
                       nPatchDownload::tRetrievalEntries& maintenanceReleases,
                       nPatchDownload::tRetrievalEntry& entry, bool isCopy) override;
  unsigned int GetSeedFiles(IMediaAccess& media, std::string& first, std::string& second) override;
  const std::set<nPatchDownload::tRetrievalSide>& GetSides() override { return sides_; }
  unsigned int GetInstallerFiles(const std::string& baseFolder, IMediaAccess& media,
                                 int osId) override;
  unsigned int PostGetFileOperation(const nPatchDownload::tRetrievalSide& side,
                                    nPatchDownload::tRetrievalEntries& target) override;
  KQInstallCommonUtils::IFolderStruct* GetLocalFolderStruct() override { return localFolders_; }
  unsigned int DoRootFilesPatching(const nPatchDownload::tRetrievalSide& side) override;
  void AdjustSucceededUpdatesForCopy(nPatchDownload::tSideFolderMap& succeededUpdates) override;

  int type() const { return type_; }

 private:
  // Checks one file, the entry `name` of the open cache folder `folder` (not open: missing):
  // when it is absent or differs, lowers the free space and lists it pending, or, without
  // room, marks the entry 0x8000001D.
  void CheckOne(const CenterFile& file, const CPxFolderHandle& folder, const std::string& name,
                nPatchDownload::tGuarded<nPatchDownload::tFileList> pending,
                nPatchDownload::tGuarded<unsigned long long> freeSpaceKB,
                nPatchDownload::tGuarded<std::set<std::string>> sharedFileNames,
                nPatchDownload::tRetrievalEntry& entry);
  // Fetches, checks and moves one file; true when it arrived.
  bool FetchOne(const nPatchDownload::tRetrievalSide& side, const CenterFile& file,
                const std::string& copyFolder, bool isCopy);

  CenterRetrievalJob& job_;
  int type_;
  int fr_;
  std::set<nPatchDownload::tRetrievalSide> sides_;
  KQInstallCommonUtils::IFolderStruct* localFolders_;
};

class CenterRetrievalJob : public nPatchDownload::CSoftwareRetrieval {
 public:
  // cacheRoot: where the center's files land (the local cache of the media access and of the
  // data manager's software cache root).
  CenterRetrievalJob(const RetrievalCenter& center, const std::string& cacheRoot,
                     IPatchJobObject& jobObject, nPatchDownload::IPatchEvent& event,
                     nPatchDownload::IPatchDataManager& dataManager,
                     nPatchDownload::CPolicyProvider& policy,
                     IFilesDependencyBuilder& dependencyBuilder, IPatchThreadPool& checkFilePool,
                     IPatchThreadPool& getFilePool, IMediaAccess& mediaAccess);

  // The sides GetSupportedSides hands out (filled from the center; a test may change them
  // before Initialize), and the code it returns.
  nPatchDownload::tSupportedSidesMap packages, updates, maintenanceReleases;
  unsigned int supportedSidesResult = 0;

  // Injected failures: the code operation `op` (kCenter*) of patch type `type` returns for
  // side (for GetSeedFiles: the first side of the version; for a fetch: the file's side); 0
  // for none. Called from pool threads too.
  std::function<unsigned int(const std::string& op, int type,
                             const nPatchDownload::tRetrievalSide& side)>
      fault;
  // Asks the job object to stop once this many files arrived (0: never).
  unsigned long long stopAfterFiles = 0;
  CPatchJobObject* stoppable = nullptr;  // the job object to stop (the test's)

  // Calls of each operation per type ("PostGetFileOperation/3" -> n), for the tests.
  std::map<std::string, int> Calls() const;
  // Paths fetched by the retrievers (not the frame's own fetches), in arrival order.
  std::vector<std::string> Fetched() const;

  unsigned int CreateComponentsRetrievals(int type, nPatchDownload::tSupportedSidesMap& sides) override;
  unsigned int GetSupportedSides(nPatchDownload::tSupportedSidesMap& p,
                                 nPatchDownload::tSupportedSidesMap& u,
                                 nPatchDownload::tSupportedSidesMap& m) override;
  // The Unix appliance files listed by the downloaded Unix configuration ("PlatformInfo_Unix.xml"
  // above service-pack major 22, else "KQApplianceConfig_Unix.xml"), paths prefixed with
  // "KQAppliance/", in the retrieved list of each Unix appliance operating system. No
  // configuration in the cache: nothing, 0; a configuration that does not decode: 0x8000000F.
  unsigned int LoadUnixApplianceFilesInfo(nPatchDownload::tKQApplainceFilesInfo& files) override;

  // The repodata archives a run fetches (paths below the cache root): those of the center.
  std::set<std::string> repodataNames;

  const RetrievalCenter& center() const { return center_; }
  const std::string& cacheRoot() const { return cacheRoot_; }

  // The frame's state, for the tests and the phases' own suites.
  using CSoftwareRetrieval::m_bytesLock;
  using CSoftwareRetrieval::m_checkFilePool;
  using CSoftwareRetrieval::m_failedApplianceOSes;
  using CSoftwareRetrieval::m_failedApplianceSides;
  using CSoftwareRetrieval::m_filesCountLock;
  using CSoftwareRetrieval::m_foldersToDelete;
  using CSoftwareRetrieval::m_getFilePool;
  using CSoftwareRetrieval::m_localCacheRoot;
  using CSoftwareRetrieval::m_localCacheTemplate;
  using CSoftwareRetrieval::m_localMediaRoot;
  using CSoftwareRetrieval::m_lowerBoundCUVersion;
  using CSoftwareRetrieval::m_mediaToKeep;
  using CSoftwareRetrieval::m_numFilesDownloaded;
  using CSoftwareRetrieval::m_oldMediaToRemove;
  using CSoftwareRetrieval::m_serverTemplate;
  using CSoftwareRetrieval::m_sideStatus;
  using CSoftwareRetrieval::m_totalBytesDownloaded;
  using CSoftwareRetrieval::m_windowsApplianceConfigPath;

 private:
  friend class CenterComponentsRetrieval;
  unsigned int Fault(const char* op, int type, const nPatchDownload::tRetrievalSide& side);
  void Count(const char* op, int type);
  // One file arrived: records it and stops the job once stopAfterFiles arrived.
  void Arrived(const std::string& path);

  const RetrievalCenter& center_;
  std::string cacheRoot_;
  mutable std::mutex lock_;  // guards calls_, fetched_
  std::map<std::string, int> calls_;
  std::vector<std::string> fetched_;
};

// What one whole run of a job gave: each phase's code, the entry maps, the six side maps and
// the progress counters.
struct CenterJobResult {
  unsigned int initialize = 0, unixConfig = 0, repodata = 0, pending = 0, getFile = 0,
               result = 0, rootFiles = 0, commit = 0;
  unsigned int code = 0;  // the first non-zero code above, in phase order
  bool platformInfoUsed = false;
  nPatchDownload::tRetrievalEntries packages, maintenanceReleases, updates, unused;
  nPatchDownload::tApplianceEntries appliance;
  nPatchDownload::tSideFolderMap succeededPackages, failedPackages, succeededPacks, failedPacks,
      succeededUpdates, failedUpdates;
  std::map<std::string, nPatchDownload::tRetrievalEntry> failedApplianceOSes;
  unsigned long long files = 0, bytes = 0;
};

// Runs the phases of a job in the order a job process does: Initialize (nothing more when it
// fails), the Unix appliance configuration and the repodata archives, the CheckFile phase
// (nothing more when it fails), the GetFile phase, the reconciliation, the root-files patching
// and the old media to remove, and, when the GetFile phase succeeded, the appliance commit.
CenterJobResult RunCenterJob(CenterRetrievalJob& job);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_RETRIEVALCENTERJOB_H_
