// CSoftwareRetrieval: the base of a software retrieval job (a download or a copy job that
// brings packages, update packs, updates and appliance patches into the software cache).
//
// A concrete job derives from it, constructs it with its collaborators (all owned by the job
// and outliving this object), calls Initialize and then the phases in their fixed order, and
// supplies the pure operations: the supported sides, one components retriever per version
// and patch type, and the Unix appliance files. The progress getters may be called from any
// thread at any time; everything else runs on the job's thread, with side work on the job's
// two pools. The folder-structure objects placed in the media-to-keep, old-media and failed
// appliance maps belong to this object and are destroyed with it; at destruction the queued
// folders are deleted, but only those strictly inside the job's local cache, its local media
// root or the install folder's "Temp" folder, and never through a symbolic link.
//
// The static readers of the Windows appliance configuration "KQApplianceConfig_Windows.xml"
// (CacheFileListsApplianceConfig.cpp) keep no state of their own except the install-client
// library, loaded at most once per process and kept for its life. They run on the caller's
// thread and log through the EvDebug they are given.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CSOFTWARERETRIEVAL_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CSOFTWARERETRIEVAL_H_

#pragma GCC visibility push(default)

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Jobs/IFilesDependencyBuilder.h"
#include "Jobs/IPatchJobObject.h"
#include "Jobs/IPatchThreadPool.h"
#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"
#include "PortableFiles/OwnedEntries.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPolicyProvider.h"
#include "nPatchDownload/IComponentsRetrieval.h"
#include "nPatchDownload/ISoftwareRetrieval.h"
#include "nPatchDownload/RetrievalSide.h"
#include "nPatchDownload/RetrievalTypes.h"

class CPxFolderHandle;
class IMediaAccess;

namespace nPatchDownload {

// Candidate appliance patch files: side {3, version} -> appliance OS name -> entry whose
// pending list holds the files (7/19 below "KQAppliance/").
typedef std::map<tRetrievalSide, tKQApplainceFilesInfo> tApplianceCandidates;

class IPatchDataManager;
class IPatchEvent;

class CSoftwareRetrieval : public ISoftwareRetrieval {
 public:
  CSoftwareRetrieval(IPatchJobObject& jobObject, IPatchEvent& event,
                     IPatchDataManager& dataManager, CPolicyProvider& policy,
                     IFilesDependencyBuilder& dependencyBuilder, IPatchThreadPool& checkFilePool,
                     IPatchThreadPool& getFilePool, IMediaAccess& mediaAccess);
  virtual ~CSoftwareRetrieval();
  CSoftwareRetrieval(const CSoftwareRetrieval&) = delete;
  CSoftwareRetrieval& operator=(const CSoftwareRetrieval&) = delete;

  // Opens the media access, gets the supported sides, starts both pools and makes the
  // components retrievers (packages, maintenance releases, updates). A media access that does
  // not open raises 0x440001E0 (copy job; the server name) or 0x44000205 (download job; the
  // media access's error text), job status 2, and returns its code. 0 when ready.
  virtual unsigned int Initialize();
  // CheckFile phase: resets the progress counters and the shared file-name set, computes the
  // pending appliance files, then, per patch type (packages, maintenance releases, updates),
  // lets each version's retriever check its sides. A side whose check fails keeps the code as
  // its status; sides left unchecked by an interruption get 0x8000001A. 0; 0x8000001A
  // (0x44000061 raised) when the job was asked to stop; 0x8000001D when a side lacks space;
  // else the first failing step's code. The fourth map is not read.
  virtual unsigned int CalculatePendingIncrementalFiles(tRetrievalEntries& packages,
                                                        tRetrievalEntries& maintenanceReleases,
                                                        tRetrievalEntries& updates,
                                                        tRetrievalEntries& unused,
                                                        tApplianceEntries& appliance);
  // GetFile phase: fetches the pending files of every side whose check succeeded (a download
  // job's updates only where the side's package check did not fail), runs the retrievers'
  // post-retrieval step, marks sides that got fewer files than pending 0x8000001F and fetches
  // installer files where updates or maintenance releases arrived; then the appliance patches
  // and, for copy jobs, the maintenance-release packs found among loose updates. The fourth
  // map is not read.
  virtual unsigned int GetIncrementalFile(tRetrievalEntries& packages,
                                          tRetrievalEntries& maintenanceReleases,
                                          tRetrievalEntries& updates, tRetrievalEntries& unused,
                                          tApplianceEntries& appliance);
  // Files fetched and bytes fetched since the last CheckFile phase; 0 when the lock fails.
  virtual unsigned long long GetNumFilesDownloaded();
  // Settles which sides succeeded and which failed, per patch type, from the three entry maps
  // into the six side maps (emptied first), each side with its local folder structure, and
  // records every side's status. A failure of one patch type of a side is carried to the
  // others; sides of operating systems that take no updates are dropped. 0; 0x8000000F when a
  // side's version has no retriever of its type (the maps then hold what was settled so far).
  virtual unsigned int GetRetrievalResult(tRetrievalEntries& packages,
                                          tRetrievalEntries& maintenanceReleases,
                                          tRetrievalEntries& updates,
                                          tSideFolderMap& succeededPackages,
                                          tSideFolderMap& failedPackages,
                                          tSideFolderMap& succeededMaintenanceReleases,
                                          tSideFolderMap& failedMaintenanceReleases,
                                          tSideFolderMap& succeededUpdates,
                                          tSideFolderMap& failedUpdates,
                                          std::map<std::string, tRetrievalEntry>& failedApplianceOSes);
  // Adds the old media queued for removal to the failed ("delete") lists, except media still
  // in a success list and a feature release whose packages succeeded for the same system.
  virtual void AppendSidesToRemove(tSideFolderMap& succeededPackages, tSideFolderMap& failedPackages,
                                   tSideFolderMap& succeededMaintenanceReleases,
                                   tSideFolderMap& failedMaintenanceReleases,
                                   tSideFolderMap& succeededUpdates, tSideFolderMap& failedUpdates);
  // Lets the maintenance-release (or, without any, the updates) retrievers patch the root
  // files of their succeeded sides; a side where that fails moves to every failed list and
  // keeps its first non-zero status. Always 0.
  virtual unsigned int DoRootFilesPatching(tSideFolderMap& succeededPackages,
                                           tSideFolderMap& succeededMaintenanceReleases,
                                           tSideFolderMap& succeededUpdates,
                                           tSideFolderMap& failedPackages,
                                           tSideFolderMap& failedMaintenanceReleases,
                                           tSideFolderMap& failedUpdates);
  // Removes the installer-cache value of the configuration when the policy used it; false
  // only when it exists and cannot be removed.
  virtual bool DeleteInstallerCacheReg();
  // Records the Windows appliance configuration fetched by the CheckFile step in the
  // database (the data manager's code; 0 when there is none).
  virtual unsigned int CommitAppliancePatches();
  virtual unsigned long long GetTotalBytesDownloaded();
  // Fetches the Unix appliance configuration: "PlatformInfo_Unix.xml" when the candidate's
  // service-pack major is above 22 (platformInfoUsed set), else "KQApplianceConfig_Unix.xml".
  virtual unsigned int DownloadUnixApplianceConfigFiles(bool& platformInfoUsed);

  // Fills the retrievers map of a type from its sides: one retriever per version.
  virtual unsigned int CreateComponentsRetrievals(int type, tSupportedSidesMap& sides) = 0;
  virtual unsigned int GetSupportedSides(tSupportedSidesMap& packages, tSupportedSidesMap& updates,
                                         tSupportedSidesMap& maintenanceReleases) = 0;
  // Finds the maintenance-release folders of a side's feature release: sets the lower-bound
  // version from the closest lower pack and, for caller type 3, queues the packs that are
  // neither the candidate nor the newest kept one (and the dangling ones of the database).
  virtual unsigned int processExistingCUs(int osId, const FullVersion& version);
  // Gives, per Unix appliance operating-system name, the candidate files (7/19 below the
  // local cache root, 1/1 the listed checksum) in the entry's retrieved list.
  virtual unsigned int LoadUnixApplianceFilesInfo(tKQApplainceFilesInfo& files) = 0;
  // Walks the local media root for feature-release folders: true with previous set when one
  // below latest exists. For caller type 3 queues the removable old feature releases.
  virtual bool getLatestServicePackDownloaded(const FullVersion& latest, FullVersion& previous);

  // Adds a side {id, version} under version for each given operating-system id, with the
  // id set that ids holds for it; an entry for version is made even when osIds is empty.
  void generateSupportedMap(const FullVersion& version, const std::map<int, std::set<int>>& ids,
                            const std::set<int>& osIds, tSupportedSidesMap& out);
  // Maps each operating-system id to the download source's Unix or Windows root (relative to
  // the server). 0; 0x80000021 when no folder structure is made; 0x80000020 without a root.
  unsigned int generateSourceMapForDownload(const std::set<int>& osIds,
                                            std::map<int, std::string>& out);
  void setSelectedUADetails(const std::list<unsigned long long>& ids, bool flag);
  // Logs the three side lists with "add" or "delete".
  void ShowResultInLogging(const tSideFolderMap& packages, const tSideFolderMap& maintenanceReleases,
                           const tSideFolderMap& updates, bool add);
  // The retrievers of a type: maintenance releases and updates their own, any other the
  // packages map.
  tComponentsRetrievalMap& getSupportedRetrievals(int type);

  // ---- Pending files (CSoftwareRetrievalPending.cpp) ----
  // The CheckFile phase of one patch type.
  unsigned int calculatePendingIncrementalFiles(int type, tRetrievalEntries& entries);
  // Asks the retriever for its seed files (not used further); its code.
  unsigned int updatePackagesAndUpdatesInDB(std::shared_ptr<IComponentsRetrieval> retriever,
                                            const FullVersion& version);
  // Zeroes the progress counters and empties the shared file-name set.
  void resetAllFlags();

  // ---- Retrieval (CSoftwareRetrievalGetFile.cpp) ----
  // The GetFile phase of one patch type into target; packages and maintenanceReleases are
  // handed to the retrievers.
  unsigned int getIncrementalFile(int type, tRetrievalEntries& target, tRetrievalEntries& packages,
                                  tRetrievalEntries& maintenanceReleases);

  // ---- Reconciliation (CSoftwareRetrievalResult.cpp) ----
  // Splits the entries of one patch type into succeeded and failed sides.
  unsigned int getRetrievalResult(int type, tRetrievalEntries& entries, tSideFolderMap& succeeded,
                                  tSideFolderMap& failed);
  // The local folder structure of the retriever of the side's version and type; null (and
  // logged) when there is none.
  KQInstallCommonUtils::IFolderStruct* GetLocalFolderStructBySide(const tRetrievalSide& side,
                                                                  int type);

  // Reads the Windows appliance configuration at configPath and appends its patch files to
  // candidates: every patch of the sub-operating systems named in windowsNames (section
  // "Windows", any case) or sqlNames (other sections), or, installAware, only those the
  // install-client library of this machine says are missing. 0 on success; 0x80000010 when
  // the file cannot be read or decoded; else the install-aware reader's code.
  static unsigned int getPatchFilesList(const std::string& configPath,
                                        const std::set<std::string>& windowsNames,
                                        const std::set<std::string>& sqlNames,
                                        tApplianceCandidates& candidates,
                                        const FullVersion& version, EvDebug& log,
                                        bool installAware);
  // The plain reader over a decoded configuration; always 0.
  static unsigned int getPatchFilesListBasedOnOS(const std::string& configPath,
                                                 const std::set<std::string>& windowsNames,
                                                 const std::set<std::string>& sqlNames,
                                                 tApplianceCandidates& candidates,
                                                 UpdatePatches::KQApplianceOSPatches& config,
                                                 const FullVersion& version, EvDebug& log);
  // The install-aware reader: 0, the library's load or symbol error code, or the failing
  // entry point's own answer.
  static unsigned int getPatchFilesListBasedOnOSUpdInstall(
      const std::string& configPath, const std::set<std::string>& windowsNames,
      const std::set<std::string>& sqlNames, tApplianceCandidates& candidates,
      UpdatePatches::KQApplianceOSPatches& config, const FullVersion& version, EvDebug& log);

  // ---- Appliance patches (CSoftwareRetrievalAppliance.cpp) ----
  // Files live below the appliance root's "KQAppliance" folder; names from a configuration
  // that would leave it are skipped and logged, and each path is checked and fetched once.

  // CheckFile step: the Unix files (LoadUnixApplianceFilesInfo) to side {16, candidate}, then
  // the Windows and MSSQL files of the appliance clients. The first failure code.
  unsigned int calculatePendingApplianceFiles(tApplianceEntries& entries);
  // Moves each Unix file that is missing or differs from its listed checksum to pending. 0.
  unsigned int calculatePendingUnixOSPatchFiles(tKQApplainceFilesInfo& info);
  // Asks the data manager for the appliance clients and checks their patches. When the
  // clients cannot be read no local file is removed.
  unsigned int calculatePendingWindowsOSPatchFiles(tApplianceEntries& entries);
  // Fetches the Windows configuration (a failed fetch is 0: no appliance patches), lists the
  // patches of the named clients into entries, and, when cleanStale, removes local appliance
  // files the configuration no longer lists.
  unsigned int checkApplianceOSPatches(tApplianceEntries& entries,
                                       const std::set<std::string>& windowsNames,
                                       const std::set<std::string>& sqlNames,
                                       bool cleanStale = true);
  // Appends every candidate missing below localRoot, or whose CRC differs from its listed
  // checksum, to the pending list of the same side and operating system of entries. A file
  // whose CRC is in known is not read again.
  static void generatePatchList(tApplianceCandidates& candidates, tApplianceEntries& entries,
                                const std::string& localRoot, EvDebug& log,
                                const tFileChecksums* known = nullptr);
  // Works out on the CheckFile pool the CRC of every file below root that the lists name,
  // each path once, into known (by full path; only the files that could be read). Names that
  // would leave root are left to the checks, which log them. Nothing when the pools were not
  // started: the checks then read each file themselves.
  void checksumApplianceFilesAhead(const std::vector<const tFileList*>& lists,
                                   const std::string& root, tFileChecksums& known);
  // Deletes the files below folder that are not in kept, except the appliance configurations,
  // the mini configurations and anything under a "Unix" folder. Files of unfinished downloads
  // (arriving and part files) go everywhere, "Unix" folders included, but only once no live
  // download holds them (PortableFiles/OwnedEntries.h). The folder must lie below the local cache
  // root with no link from there down to it (else nothing is cleaned, logged); it is opened from
  // the root one folder at a time, and links are left alone and never followed. Always 0.
  unsigned int cleanStaleLocalApplianceFiles(const std::set<std::string>& kept,
                                             const std::string& folder);
  // GetFile step: fetches every pending appliance file, once per path and listed checksum, under
  // a new name, held from its arrival, that replaces the local file only when its CRC is the
  // listed one; checks the space left (4 times its size); counts files and bytes. 0x8000001A
  // when interrupted, 0x8000001D (file removed, 0x44000012) when space runs short, else the
  // first failed download's code.
  unsigned int getOSAppliancePatches(tApplianceEntries& entries);
  void addToFailedApplianceOS(const std::string& name, const tRetrievalEntry& entry);
  void addToFailedAppliance(const tRetrievalSide& side);
  unsigned int DownloadUnixPlatformInfoConfigFile();
  unsigned int DownloadUnixApplianceConfigFiles_old();
  // Fetches the repodata archives (paths below the local cache root) in name order; the first
  // failure raises 0x44000046 and returns its code.
  unsigned int downloadAllRepodataFiles(const std::set<std::string>& names);
  // "Windows..." 2, "MSSQL..." 1, any other 0 (Unix).
  static int GetKQApplianceOSTypeByName(const std::string& name);
  // "rhel-7.3" (any case) 16, any other 0.
  static int getApplianceOSIdByName(const std::string& name);

  // ---- Old media (CSoftwareRetrievalOldMedia.cpp) ----

  // Enters a local folder-structure object per installed side into mediaToKeep (which then
  // owns it). True when the installed sides cannot be read (nothing added), else false.
  static bool populateMediaToKeep(tSideFolderMap& mediaToKeep, const std::string& mediaRoot,
                                  IPatchEvent& event, IPatchDataManager& dataManager);
  // True when a release's media must stay: it is not older than the Hubnode's, or some side of
  // mediaToKeep (then added to kept) has its version under type.
  static bool IsSPAllowed(const FullVersion& release, const tSideFolderMap& mediaToKeep,
                          std::set<tRetrievalSide>& kept, FullVersion::CompareType type,
                          const FullVersion& hubnodeVersion);
  // Gives candidate the transaction and revision ids of the first side of sides at its level.
  static bool GetLatestInstalledDVDForSP(FullVersion& candidate, const tSideFolderMap& sides);

 protected:
  // Starts the CheckFile pool (no media access) and the GetFile pool (with it).
  unsigned int initThreadPools();
  bool m_poolsStarted = false;  // initThreadPools succeeded: work may go to the pools

  tSideFolderMap m_mediaToKeep;  // installed media that must stay
  IPatchJobObject& m_jobObject;
  IPatchEvent& m_event;
  IPatchDataManager& m_dataManager;
  CPolicyProvider& m_policy;
  IFilesDependencyBuilder& m_dependencyBuilder;  // kept for the concrete jobs
  IPatchThreadPool& m_checkFilePool;
  IPatchThreadPool& m_getFilePool;
  IMediaAccess& m_mediaAccess;
  tComponentsRetrievalMap m_packagesRetrievals;
  tComponentsRetrievalMap m_cuRetrievals;
  tComponentsRetrievalMap m_updatesRetrievals;
  std::mutex m_filesCountLock;  // guards m_numFilesDownloaded
  std::mutex m_bytesLock;       // guards m_totalBytesDownloaded
  unsigned long long m_numFilesDownloaded = 0;
  unsigned long long m_totalBytesDownloaded = 0;
  std::string m_jobText1;        // set and read by concrete jobs
  std::string m_jobText2;        // set and read by concrete jobs
  std::string m_localCacheRoot;  // appliance files are kept under it
  std::string m_localMediaRoot;  // the feature-release folders of the cache
  std::string m_jobText5;        // set and read by concrete jobs
  std::string m_jobText6;        // set and read by concrete jobs
  FullVersion m_jobVersion;           // set and read by concrete jobs
  FullVersion m_lowerBoundCUVersion;  // lowest maintenance release to keep
  std::string m_serverTemplate;       // folder hierarchy of the download source
  std::string m_localCacheTemplate;   // folder hierarchy of the local cache
  tSideFolderMap m_oldMediaToRemove;
  tSideFolderMap m_failedApplianceSides;
  std::vector<std::string> m_foldersToDelete;  // deleted at destruction, in order
  std::set<std::string> m_checkFileNames;      // shared by the side checks of one phase
  std::map<std::string, tRetrievalEntry> m_failedApplianceOSes;
  std::string m_windowsApplianceConfigPath;
  std::list<unsigned long long> m_selectedUpdateIds;
  bool m_selectedUpdatesFlag = false;
  std::map<tRetrievalSide, unsigned int> m_sideStatus;  // final status of every side
  // The scratch folder of this job's transfers: the concrete job hands it to its retrievers
  // for what they stage before it goes into the cache (an archive before it is extracted, a
  // file before it is checked); the frame itself puts nothing there. It lies below the install
  // folder's "Temp/CopySoftware", is made by the GetFile phase, emptied at each patch type and
  // removed when the object is destroyed; empty until the phase runs.
  std::string m_copyTempFolder;

 private:
  void DeleteQueuedFolders();
  // Makes or empties m_copyTempFolder; 0 or the failing step's code.
  unsigned int prepareCopyTempFolder(EvDebug& log);
  // The cleanup of one open appliance folder; files go from that folder, never by a path. With
  // leftoversOnly (below a "Unix" folder) only files of unfinished downloads go.
  void cleanStaleFilesIn(const CPxFolderHandle& dir, const std::set<std::string>& kept,
                         bool leftoversOnly);
  // Removes the file `name` of an unfinished download from dir unless a live download holds it.
  void cleanLeftoverIn(const CPxFolderHandle& dir, const std::string& name);
  kq::OwnedFolder m_copyTemp;  // m_copyTempFolder, held while the job lives
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CSOFTWARERETRIEVAL_H_
