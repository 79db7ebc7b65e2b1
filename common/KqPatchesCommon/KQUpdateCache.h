// KQUpdateCache: the update-cache object a cache request is served with.
//
// The caller makes one for a request (job id, release-build flag) and calls its operations;
// they keep no state between calls. Every line the object logs carries its job id. The
// checksum operations (UpdateCacheChecksum.cpp) compute file CRC-32 texts and checksum whole
// folders as tasks of the job's checksum pool "CalcChecksumForClient", shared by every object
// of the same job (keyed by the low 32 bits of the job id) and removed when the last user
// releases it. The cache subsystems declare their operations on this class as well.
#ifndef KQ_COMMON_KQPATCHESCOMMON_KQUPDATECACHE_H_
#define KQ_COMMON_KQPATCHESCOMMON_KQUPDATECACHE_H_

#pragma GCC visibility push(default)

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Events/EvEvent.h"
#include "Logging/EvDebug.h"
#include "KQApplianceOSType.h"
#include "Messages/UpdatePatches.h"
#include "PortableFiles/PxError.h"
#include "SyncRequestUtils.h"
#include "UpdateCacheInventory.h"
#include "Versions/FullVersion.h"

class KqThreadPool;
class KQUpdateCache;
class LocalAndRemClientDetails;    // SyncRegistries.h
struct KQSP_UpdatesAtCache;        // UpdateCacheMessage.h
struct __attribute__((visibility("hidden"))) KqPlatformLineLookup;  // UpdateCacheDescriptors.cpp
namespace KQInstallCommonUtils {
class IFolderStruct;
}

// One checksum task of the pool. The walk's template record carries the walked base folder as
// its relative name and the pool; each task record is a copy owned by the task it is given to.
struct CalcChecksumParams {
  std::string relativeName;
  std::string fullPath;
  bool isUnix = false;
  std::atomic<bool>* ok = nullptr;  // shared by the walk's tasks; only ever lowered to false
  unsigned long long jobId = 0;
  KQUpdateCache* owner = nullptr;
  std::mutex* mutex = nullptr;  // guards *out
  std::vector<UpdatePatches::File>* out = nullptr;
  EvDebug* log = nullptr;
  KqThreadPool* pool = nullptr;  // template only
  // Templates of a walk's folder tasks: the first error met listing a folder below the top.
  std::atomic<int>* walkError = nullptr;
  // Further files (relative name, full path) of the same task; in the template, the files
  // gathered for the next task.
  std::vector<std::pair<std::string, std::string>> more;
};

// Walk callback: gathers the files below the template's base folder into checksum tasks of a
// few files each and queues every full one.
CPxError CalcCheckSum(const char* dir, const char* name, bool isDir, void* context);
// Queues the files gathered in the template that no task holds yet (checksums them on the
// calling thread while the pool's queue is long, so that a pool task never waits for room).
void QueueGatheredChecksums(CalcChecksumParams* tpl);
// Pool task: checksums its files and appends their File entries; frees its record.
void CalcCheckSumForFileUsingTP(void* params);

class KQUpdateCache {
 public:
  KQUpdateCache(unsigned long jobId, bool releaseBuild);
  KQUpdateCache(unsigned long value, std::string text, unsigned long jobId, bool releaseBuild);
  ~KQUpdateCache();
  KQUpdateCache(const KQUpdateCache&) = delete;
  KQUpdateCache& operator=(const KQUpdateCache&) = delete;

  void doInit(bool releaseBuild);

  // ---- File checksums (UpdateCacheChecksum.cpp) ----

  // The CRC-32 text of one file: Unix form "0x%08llx" of the CRC's 32-bit complement, Windows
  // form "%llu" of the CRC. False (checksum untouched) when the file cannot be read.
  bool CalculateFileCksumForFile(bool isUnix, std::string path, std::string& checksum);
  // The same, in the form of the operating system (Unix for ids above 4).
  bool CalculateFileCksumForFile(int osId, std::string path, std::string& checksum);
  // Appends one File {name relative to dir, checksum text} per regular file below dir (or
  // dir + "/" + subPath), all levels or the first only, in the order the tasks finish. False
  // when the folder cannot be walked, a file fails or the pool cannot be had or joined; the
  // entries already appended stay.
  bool CalculateFileCksumForDir(std::string dir, std::string subPath, bool isUnix,
                                bool recursive, std::vector<UpdatePatches::File>& out);
  // The same as media entries: 7/19 and 5/14 the name, 1/1 the checksum (what
  // ConvertFileListToBinaryV11List makes of the File list), made by the walk's threads.
  bool CalculateFileCksumForDir(std::string dir, std::string subPath, bool isUnix,
                                bool recursive, std::vector<UpdatePatches::BinaryV11>& out);
  // The job's pool, made on first use and counted; null on failure. Its size is
  // "UpdateFlags"/"nThreadPoolSizeCheck": 5 when absent, zero or negative, at most 64.
  KqThreadPool* GetCheckFileTP(unsigned int jobId);
  // Drops one use of the job's pool; the last one destroys it. False when the job has none.
  bool ReleaseCheckFileTP(unsigned int jobId);

  // ---- Update descriptors (UpdateCacheDescriptors.cpp) ----

  // Reads one descriptor into info: fileName when given, else "KQUpdatePack_Update.ini"
  // (updatePack) or "update.ini", in folder + "/Config" (inConfig) or folder. Fields the file
  // does not set keep their values, except hasJar and reserved (0). Old-format platform lines
  // are matched against the platform rows of the database, fetched once per object. False
  // (logged) when the file cannot be read or the platform rows cannot be fetched.
  bool ReadUpdateINIFile(INIInfoForPatch& info, std::string folder, bool inConfig,
                         bool updatePack, std::string fileName);
  // Reads folder + "/" + info.patchName + ".ini", always in the new format. False when it
  // cannot be read (logged unless reduced updates are allowed in the cache).
  bool ReadNewUpdateINIFile(INIInfoForPatch& info, std::string folder);
  // "UpdateFlags"/"nAllowReducedUpdates" present and non-zero.
  bool IsReducedSPAllowedInCache();
  // Old-format platform lines to platform names, from the database rows fetched on the first
  // call that needs them (then kept by the object). Null when they cannot be fetched: logged
  // once, and the database is not asked again for the object's life.
  const KqPlatformLineLookup* PlatformLines();

  // ---- Cache inventory (UpdateCacheInventory.cpp) ----

  // Package main type 1 -> OS ids 1, 2, 3; type 2 -> 5 (the lists are replaced).
  void SetPackageOsTypes();
  const std::map<int, std::vector<int>>& packageOsTypes() const { return m_packageOsTypes; }
  // Appends the update sub-folders of folder (valid update names, "Config" left out).
  bool GetUpdatesOnUnix(const char* folder, std::vector<std::string>* names);
  bool GetUpdatesOnWin(const char* folder, std::vector<std::string>* names);
  // Lists one release, OS and update type: old layout, and the release-15 layout. For type 0,
  // sp receives the highest feature release found.
  bool GetOSUpdatesAtCache(int relId, int osId, int updateType, CacheProp prop, _SPVersion& sp,
                           std::vector<std::string>* names);
  bool GetOSUpdatesInCacheNew(int relId, int osId, int updateType, CacheProp prop,
                              _SPVersion& sp, std::vector<std::string>* names);
  // Resets inv and fills every supported release below 15 (the flag is not read). False only
  // when the release or update-type table is empty.
  bool GetAllUpadtesFromCache(CacheProp prop, UpdatesAtCache* inv, bool flag);
  // Fills the release-15 entries (no reset); false also when a vocabulary table is empty.
  bool GetAllUpdatesInCacheNew(CacheProp prop, UpdatesAtCache* inv);
  void InitCacheInfo(UpdatesAtCache* inv);
  void PrintCacheInfo(UpdatesAtCache* inv);
  bool GetSpaceNeededAtCache(UpdatesAtCache inv, unsigned long long& space);
  bool IsCacheEmpty(UpdatesAtCache* inv);
  // Appends the descriptors of every update of the old-layout entries; unreadable ones are
  // skipped. Always true.
  bool GetINIInfo(UpdatesAtCache* inv, std::string cacheRoot);
  // The same for release 15 and above; false at the first descriptor that cannot be read and
  // may not be skipped. folders may be null.
  bool GetINIInfoNew(UpdatesAtCache* inv, std::string cacheRoot,
                     KQInstallCommonUtils::IFolderStruct* folders);

  // ---- Flat inventory message (UpdateCacheMessage.cpp) ----

  // Inventory to message (releases below 15 only); false when memory runs out, the message
  // then partly filled: FreeCacheMessage must still be called.
  bool CacheStruct_Message(UpdatesAtCache* inv, KQSP_UpdatesAtCache* msg);
  // Message to inventory; the message is read defensively (see UpdateCacheMessage.h).
  bool Message_CacheStruct(KQSP_UpdatesAtCache* msg, UpdatesAtCache* inv);
  // Frees everything CacheStruct_Message allocated and zeroes the message; a second call
  // does nothing.
  bool FreeCacheMessage(KQSP_UpdatesAtCache* msg);

  // ---- Comparison, deletion and checks (UpdateCacheDiff.cpp) ----

  // What client lacks of source, for the OSes need lists per release (below 15).
  bool GetCacheDiff(UpdatesAtCache* source, UpdatesAtCache* client, UpdatesAtCache* result,
                    bool copyUnneeded, UpdatesAtCache& need);
  // Deletes what toDelete lists under the cache root of prop, then the folders left empty.
  // False at the first deletion that fails or is refused.
  bool DeleteCache(CacheProp prop, UpdatesAtCache* toDelete);
  // Records the feature release of each needed OS of the releases above 14.
  bool CheckServicePackIntegrity(const char* cacheRoot, UpdatesAtCache& inv);
  // Adds the lines of folder + "/" + fileName with counter 0.
  void GrabManifest(const char* folder, const char* fileName, std::map<std::string, int>& names);
  // The text before the first "_", or the whole name.
  std::string GetOSPrefix(const std::string& name);
  // ---- Package information of a cache (UpdateCachePackageInfo.cpp) ----

  // Per main OS (1 Windows, then 2 Unix) the folders of <root>/KQMedia/<release>/<platform>:
  // the platform itself when its version file ("version.txt", "version") holds a non-zero
  // "UnixTime", then each sub-folder with that stamp (0 when none). An absent platform folder
  // gives an empty entry. 0, packages untouched, when a platform folder cannot be read or the
  // release has no name.
  int GetPackageInfoFromCache(CacheProp cache, int releaseId,
                              UpdatePatches::PackagesAtCache& packages);
  // baseFolder/name and its sub-folders, each with the non-zero stamp of its "timestamp.txt".
  // Not a folder: 1, nothing added. 0 when the folder cannot be read (what was added stays) or
  // name would leave baseFolder.
  int FindTimeStampFilesInDir(std::string baseFolder, std::string name,
                              std::vector<UpdatePatches::PackageInfo>& infos);
  // The binary sets of the OS folder's highest feature release (its first update), else of its
  // first update folder. 0, binarySets untouched, when neither can be read.
  int getBsNameListFromCache(std::string osFolder, int osId,
                             std::vector<UpdatePatches::BinarySet>& binarySets);
  // ---- Package-folder differences by timestamp (UpdateCachePackageFolders.cpp) ----
  // Inventories are PackagesAtCache lists per main OS (2/2: 1 Windows, 2 Unix) of PackageInfo
  // {7/10 folder relative to the package cache, 8/14 stamp}. The top folders "windows",
  // "windows/win32", "windows/winx64" and "unix" (any case) stand for their direct files only;
  // every other folder is taken whole. Nothing on disk is changed.

  // Appends to folders (names as src spells them) and files (lower-cased top folder + "/" +
  // name) what dst lacks or holds with an older stamp (an empty dst lacks everything), adding
  // their bytes, read below base, to size. A folder below one already listed is skipped; names
  // that would leave base are skipped and logged. False only when a top folder cannot be read
  // (what was added stays).
  bool ComputeMissingFolders(UpdatePatches::PackagesAtCache& src, UpdatePatches::PackagesAtCache dst,
                             std::list<std::string>& folders, std::list<std::string>& files,
                             std::string base, unsigned long long& size);
  // The same against a destination made of the paths of first and second (a second path that is
  // no folder below base stands for its parent; "Windows" in a path makes it Windows), each with
  // the stamp of it or its nearest stamped ancestor in stamps.
  bool ComputeMissingRedFolders(UpdatePatches::PackagesAtCache& stamps,
                                UpdatePatches::PackagesAtCache& src, std::list<std::string> first,
                                std::list<std::string> second, std::list<std::string>& folders,
                                std::list<std::string>& files, std::string base,
                                unsigned long long& size);
  // Appends, in '/' form, each remote folder that is no substring of an entry of a or b. 1.
  int ComputeExtraFolders(UpdatePatches::PackagesAtCache& remote, std::list<std::string> a,
                          std::list<std::string> b, std::list<std::string>& extra);
  // True unless some OS entry holds a folder.
  bool IsPackageCacheEmpty(UpdatePatches::PackagesAtCache packages);
  // The stamp of the first folder of that OS named like folder's 7/10 (either separator); 0
  // when none.
  void GetTimeStampOfFolder(UpdatePatches::PackageInfo& folder,
                            UpdatePatches::PackagesAtCache& packages,
                            unsigned long long& timestamp, int osId);
  // The stamp of path or of its nearest ancestor with one; path becomes that ancestor, in '\'
  // form. False (timestamp 0, path unchanged) when none has a stamp.
  bool GetTimeStampOfFolder(std::string& path, UpdatePatches::PackagesAtCache& packages,
                            unsigned long long& timestamp, int osId);
  // Whether folders holds path or a folder path lies below.
  bool checkForTheParent(std::list<std::string>& folders, std::string path);
  // A file adds its size; a folder adds its direct files (names beginning with '.' left out) as
  // name + "/" + file, with their sizes. False when full or its listing cannot be read.
  bool computeLooseFiles(std::string full, std::string name, std::list<std::string>& files,
                         unsigned long long& size);
  // ---- Remote cache checksum answers (CacheFileListsRemote.cpp) ----
  // Answers a cache-operation request with the checksummed lists of the files this cache holds
  // for the releases and operating systems asked (response 7/10; a failing folder's text in
  // 3/3). True unless the release or operating-system table is empty.
  bool CalculateCheckSumForCacheFiles(UpdatePatches::CacheOpReq& request,
                                      UpdatePatches::CacheOpReq& response);
  // The same for every supported release and operating system; with request 8/11 also the
  // feature-release folders of the newest release that the request does not name (14/17) and,
  // with 10/13, the files of the additional-sync folder (11/14). True unless the release or
  // operating-system table is empty.
  bool CalculateCheckSumForComplCacheFiles(UpdatePatches::CacheOpReq& request,
                                           UpdatePatches::CacheOpReq& response);
  // The four lists of one operating-system folder (releases up to 15: feature release, loose
  // updates, installer files; from 16: media). False when a checksum walk fails.
  bool CalculateFileCheckSumForOS(std::string osFolder,
                                  std::vector<UpdatePatches::File>& featureReleaseFiles,
                                  std::vector<UpdatePatches::File>& looseUpdateFiles,
                                  std::vector<UpdatePatches::File>& installerFiles,
                                  std::vector<UpdatePatches::BinaryV11>& mediaFiles, int releaseId,
                                  int osId);
  // The media files of a release-16 "Windows" or "Unix" folder for one operating system;
  // files outside the payload folders that the catalogue does not name are left out, links to
  // folders are not followed.
  bool CalculateFileCksumForV11Media(std::string osFolder, int osId,
                                     std::vector<UpdatePatches::BinaryV11>& mediaFiles);
  // Every file below path, in the Windows form. A missing or empty folder gives true.
  bool CalculateCheckSumForAdditionalSyncFiles(std::string path,
                                               UpdatePatches::AdditionalSyncFilesList& out);
  // Log dumps of file lists (level 1).
  void PrintFilesForRelVec(std::vector<UpdatePatches::FilesForRel>* releases);
  void PrintApplianceFileVec(UpdatePatches::ApplianceFilesInfo files, bool withChecksum);
  void PrintFilesForAddSyncVec(UpdatePatches::AdditionalSyncFilesList files, bool withChecksum);

  // ---- Expected file lists per release and operating system (CacheFileListsExpected.cpp) ----
  // What a remote cache should hold of a Windows medium besides its media file set: the
  // package catalogue at mediaPath ("WinPackages.xml" and its description, with their checksums)
  // when present and not listed yet. GetCacheFilesFromXMLPerRelOS adds it for releases from 16.
  void AppendWindowsPackageCatalogue(const std::string& mediaPath, int osId,
                                     std::vector<UpdatePatches::BinaryV11>& mediaFiles);
  // The builder: for release ids up to 15, cachePath is the operating system's update folder
  // and the feature-release, loose-update and installer lists are filled (featureRelease
  // receives the highest feature release); from release 16, cachePath leads to the media
  // (featureRelease, when it carries both recut stamps, names a recut folder to read), the
  // package list is extended with its dependencies and everything lands in the media list.
  // installUpdatesJob lists one update pack (updatePackLevel, one folder name) or the loose
  // updates instead of everything. The lists are appended to. False on any failure, also for
  // an operating-system id without a name, null lists or a bad update-pack name.
  bool ReadCacheFilesPerRelOS(std::string cachePath, int releaseId, int osId, int binarySetId,
                              _SPVersion& featureRelease,
                              std::vector<UpdatePatches::PackageDesc>* packages,
                              std::vector<UpdatePatches::File>* featureReleaseFiles,
                              std::vector<UpdatePatches::File>* looseFiles,
                              std::vector<UpdatePatches::File>* installFiles,
                              std::vector<UpdatePatches::BinaryV11>* mediaFiles,
                              bool installUpdatesJob, std::string updatePackLevel);
  // The applicable files of the highest feature release below the folder: "0" checksums
  // dropped, the first entry of each name kept.
  bool GetServicePackFilesCheckSumList(std::string featureReleasesFolder, int osId,
                                       int binarySetId, _SPVersion& featureRelease,
                                       std::vector<UpdatePatches::PackageDesc>* packages,
                                       std::vector<UpdatePatches::File>* out);
  // Places the release's folder below the cache root (cachePath), runs the builder and stores
  // the lists in osFiles (releases up to 15: fields 4 to 7; from 16: field 7 only). A release
  // id without a name lists nothing (true).
  bool GetCacheFilesFromXMLPerRelOS(std::string cachePath, int releaseId, int osId,
                                    int binarySetId, _SPVersion* featureRelease,
                                    std::vector<UpdatePatches::PackageDesc>* packages,
                                    UpdatePatches::FilesForOS* osFiles, bool installUpdatesJob,
                                    std::string updatePackLevel);
  // The same, adding the result as a FilesForOS of the release's entry of releases.
  bool GetCacheFilesFromXMLPerRelOS(std::string cachePath, int releaseId, int osId,
                                    int binarySetId, _SPVersion* featureRelease,
                                    std::vector<UpdatePatches::PackageDesc>* packages,
                                    std::vector<UpdatePatches::FilesForRel>* releases,
                                    bool installUpdatesJob, std::string updatePackLevel);
  void ConvertCacheFilesPerRelOS(int releaseId, int osId,
                                 std::vector<UpdatePatches::File>* featureReleaseFiles,
                                 std::vector<UpdatePatches::File>* looseFiles,
                                 std::vector<UpdatePatches::File>* installFiles,
                                 std::vector<UpdatePatches::BinaryV11>* mediaFiles,
                                 std::vector<UpdatePatches::FilesForRel>* releases);
  // Names a media release's loose-update or update-pack entries below the media folder:
  // "<payload>/LooseUpdates/" + ("Updates/" unless isUpdatePack) + name.
  void PrependLooseUpdateLoc(int osId, std::vector<UpdatePatches::File>* files, bool isUpdatePack);
  // One BinaryV11 per File: 7/19 and 5/14 the name, 1/1 the checksum.
  void ConvertFileListToBinaryV11List(std::vector<UpdatePatches::File>& files,
                                      std::vector<UpdatePatches::BinaryV11>& out);
  void PrintFileCheckSumList(std::vector<UpdatePatches::File>* files);
  void PrintFileCheckSumList(std::vector<UpdatePatches::BinaryV11>* files);

  // ---- Applicable loose updates and update packs (CacheFileListsApplicable.cpp) ----
  // An empty (or null) package list accepts every package, binary set 0 every binary set.
  // Names that a map gives and that would leave their folder (absolute, or with "..") are
  // logged and left out.

  // Appends the update's binaries of matching packages (names with '/'); sets *applicable when
  // any binary of a matching package was met (stubs too, which skipStubs leaves out).
  void LoadApplicableBinFromUpdate(int binarySetId,
                                   std::vector<UpdatePatches::PackageDesc>* packages,
                                   UpdatePatches::SingleUpdate* update, bool* applicable,
                                   std::vector<UpdatePatches::File>* out, bool skipStubs);
  // The binaries (stubs left out) and configuration files of the pack's applicable updates,
  // then the pack's own configuration files.
  void LoadApplicableBinFromCumulativeUpdatePack(int binarySetId,
                                                 std::vector<UpdatePatches::PackageDesc>* packages,
                                                 UpdatePatches::CumulativeUpdatePack* pack,
                                                 bool* applicable,
                                                 std::vector<UpdatePatches::File>* out);
  // The files of the applicable updates of an "Updates" folder, named below it, the first
  // entry of each name kept. A missing folder gives true and nothing; an update whose map
  // cannot be loaded fails the call.
  bool GetLooseUpdateFilesCheckSumList(std::string updatesFolder, int osId, int binarySetId,
                                       std::vector<UpdatePatches::PackageDesc>* packages,
                                       std::vector<UpdatePatches::File>* out,
                                       std::vector<std::string>* applicableUpdates);
  // The files of one update pack, named pack name + "/" + their name below it; with
  // withPackLooseUpdates also its own "Updates" folder ('\' inside those names for Windows).
  bool GetCumulativeUpdatePackFilesCheckSumList(std::string updatePackRoot, int osId,
                                                int binarySetId, std::string packName,
                                                std::vector<UpdatePatches::PackageDesc>* packages,
                                                std::vector<UpdatePatches::File>* out,
                                                bool withPackLooseUpdates);
  // Every update pack below the root (folders "CU<n>" with their marker file), in folder
  // order. A missing root gives true; a root that cannot be read fails.
  bool GetAllCumulativeUpdatePackFilesCheckSumList(std::string updatePackRoot, int osId,
                                                   int binarySetId,
                                                   std::vector<UpdatePatches::PackageDesc>* packages,
                                                   std::vector<UpdatePatches::File>* out);

  // ---- Install maps and their ".description" files (CacheFileListsInstallMaps.cpp) ----
  // Each loader decodes one map and appends two entries to mapFiles: the map, checksummed by
  // its ".description" text, and the ".description" file, checksummed in the form of osId.
  // False when the map cannot be read or decoded, or its description cannot be read or
  // checksummed (the map entry then stays appended).

  // <updatesFolder>/<updateName>/Config/UpdateFileInstallMap.xml
  bool LoadSingleUpdateInstallMap(std::string updatesFolder, int osId, std::string updateName,
                                  UpdatePatches::SingleUpdate* map,
                                  std::vector<UpdatePatches::File>* mapFiles);
  // <packRoot>/<packName>/Config/CumulativeUpdatePackInstallMap.xml
  bool LoadCumulativeUpdatePackInstallMap(std::string packRoot, int osId, std::string packName,
                                          UpdatePatches::CumulativeUpdatePack* map,
                                          std::vector<UpdatePatches::File>* mapFiles);
  // The highest "SP*" folder below featureReleasesFolder, reported in highest, and its
  // Config/ServicePackFileInstallMap.xml. A missing folder or one without "SP" entries gives
  // true, major number 0 and nothing appended.
  bool LoadSPInstallMap(std::string featureReleasesFolder, int osId, _SPVersion& highest,
                        UpdatePatches::ServicePack* map,
                        std::vector<UpdatePatches::File>* mapFiles);
  // <installFolder>/InstallFileCheckSum.xml
  bool LoadInstallFileChecksum(std::string installFolder, int osId,
                               UpdatePatches::InstallFiles* map,
                               std::vector<UpdatePatches::File>* mapFiles);
  // The installer files the folder's "InstallFileCheckSum.xml" names, then its two map
  // entries. A missing folder gives true and nothing.
  bool GetInstallFilesCheckSumList(std::string installFolder, int osId,
                                   std::vector<UpdatePatches::File>* out);

  // ---- Appliance files (CacheFileListsAppliance.cpp) ----

  // "Unix", "MSSQL", "Windows", or "" for another type; and back (3 for another name).
  static std::string GetKQApplianceOSName(UpdatePatches::KQApplianceMainOSType type);
  static UpdatePatches::KQApplianceMainOSType GetKQApplianceOSType(const std::string& name);
  // A remote cache's appliance files: every file below path with its Windows-form checksum,
  // named namePrefix + its name relative to path, into out's 1/1. A missing or empty folder
  // gives true and leaves out alone; false when a file cannot be checksummed.
  bool CalculateCheckSumForApplianceFiles(std::string path, const std::string& namePrefix,
                                          UpdatePatches::ApplianceFilesInfo& out);

  // ---- Expected content for a remote-cache request (CacheFileListsRequest.cpp) ----

  // What a remote cache should hold, from this cache (cacheRoot): one result entry per release
  // of the request, in order, with its operating systems that have files (the newest release
  // also carries the request's feature release, and with the release-build flag its folder
  // name); the package ids of the request are appended to packages as they are met. With
  // additionalSyncPath, the files of that folder go to additionalSyncFiles; with appliance
  // operating systems, their appliance files per type to applianceFiles. False when the cache
  // root is missing, a release and OS cannot be listed (result keeps what came before), the
  // appliance files cannot be listed, or request, packages or result is null (applianceFiles
  // too, when appliance operating systems are asked for), or a vocabulary table is empty. The
  // unnamed arguments are not read.
  bool GetCacheFilesFromXML(
      std::string cacheRoot, std::vector<UpdatePatches::FilesForRel>* request, _SPVersion*,
      std::vector<UpdatePatches::PackageDesc>* packages,
      std::vector<UpdatePatches::FilesForRel>* result, const std::string& remoteCacheName,
      std::string additionalSyncPath, UpdatePatches::AdditionalSyncFilesList* additionalSyncFiles,
      bool installUpdatesJob, std::string,
      std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>*
          applianceFiles,
      UpdatePatches::KQApplianceOSInfoList* applianceOS, std::string updatePackLevel);

  // ---- Content-delivery download items (CacheFileListsContentDelivery.cpp) ----

  // Appends one download item per applicable loose update of looseUpdatesFolder for the
  // packages and binary set: 5/14 update + ".exe", 1/1 the update's "updatesChecksum.txt" word
  // ("" when it cannot be read), 2/5 the OS id, 7/19 OS name + "/Updates/" + update + ".exe",
  // with "/" + featureRelease's name after the OS name from the first "-HotFix-" update on.
  // "PreRelease" updates are left out. False (logged) when the updates cannot be listed, items
  // is null or the OS has no name.
  bool GetLooseUpdatesForAkamaiDownload(std::string looseUpdatesFolder, int osId, int binarySetId,
                                        std::vector<int>& packageIds, _SPVersion& featureRelease,
                                        std::vector<UpdatePatches::BinaryV11>* items);

  // ---- Remote-cache comparison (UpdateCacheCompare.cpp) ----
  // Names are compared with '\' taken as '/', case-sensitively; checksums without regard to
  // case. Releases below 16 compare lists 4, 5 and 6, later ones the media list 7. The outputs
  // are appended to.

  // What the remote cache lacks or holds changed (toSend), holds and should not (toDelete), and
  // the release/OS pairs the Hubnode no longer has (pairsToDrop). Unless noRetain, media files
  // the Hubnode list still names are kept out of toDelete. Always true.
  bool CompareCacheFiles(std::vector<UpdatePatches::FilesForRel>& local,
                         std::vector<UpdatePatches::FilesForRel>& remote,
                         std::vector<UpdatePatches::FilesForRel>& toSend,
                         std::vector<UpdatePatches::FilesForRel>& toDelete, bool noRetain,
                         std::vector<UpdatePatches::FilesForRel>& pairsToDrop);
  // One list pair. The names of both lists are turned to '/' in place. A local file with the
  // checksum "0" is never sent, and a remote file of its name is deleted. Always true.
  bool CompareFileCksums(std::vector<UpdatePatches::File>& local,
                         std::vector<UpdatePatches::File>& remote,
                         std::vector<UpdatePatches::File>& toSend,
                         std::vector<UpdatePatches::File>& toDelete);
  // Appliance files; remote names are put under "KQAppliance\" first. Always true.
  bool CompareApplianceFiles(UpdatePatches::ApplianceFilesInfo local,
                             UpdatePatches::ApplianceFilesInfo remote,
                             UpdatePatches::ApplianceFilesInfo& toSend,
                             UpdatePatches::ApplianceFilesInfo& toDelete);
  bool CompareAdditionalSyncFiles(UpdatePatches::AdditionalSyncFilesList local,
                                  UpdatePatches::AdditionalSyncFilesList remote,
                                  UpdatePatches::AdditionalSyncFilesList& toSend,
                                  UpdatePatches::AdditionalSyncFilesList& toDelete);
  // Drops from the media lists of toDelete every file the local list names (same path below
  // the cache). Always true.
  bool RetainFilesNeededForCache(std::vector<UpdatePatches::FilesForRel>& toDelete,
                                 std::vector<UpdatePatches::FilesForRel>& local);
  // Appends [folder "\"] ("Windows" | "Unix") "\" relative path for every media file of the
  // media releases (ids from 16).
  void ToFileNamesRelativeToCachePath(std::vector<UpdatePatches::FilesForRel>& list,
                                      std::list<std::string>& out);
  // Drops from toSend the files the source cache folder of details lacks. With a vocabulary
  // table empty it logs at level 0 and leaves toSend as it is.
  void RemoveNonExistentFiles(LocalAndRemClientDetails& details,
                              std::vector<UpdatePatches::FilesForRel>& toSend);
  // Keeps the feature-release files present in the highest feature release below folder,
  // ordered by name, one per name.
  void GenerateReducedFilesV10(std::string folder, std::vector<CNMessageBase>* files);
  // Keeps the media files present below folder, ordered by relative path, one per path.
  void GenerateReducedFiles(std::string folder, std::vector<CNMessageBase>* files);
  // Logs the counts per release and OS; returns the total number of files.
  unsigned long long CountFilesForRelVec(std::vector<UpdatePatches::FilesForRel>& list);
  void ConvertFileVec(std::vector<UpdatePatches::File>& files);
  void ConvertBinaryV11ListToFileList(std::vector<UpdatePatches::BinaryV11>& media,
                                      std::vector<UpdatePatches::File>& out);

  // ---- Delta and transfer lists, valid sides (UpdateCacheDelta.cpp) ----

  // Stores, for the client and job of details, each side's transfer list of the media files in
  // toSend and the delta lists of files more than one side needs. Returns 1.
  int CalculateDeltaFilesList(std::vector<UpdatePatches::FilesForRel>& toSend,
                              LocalAndRemClientDetails& details);
  // Sets the response's 8/11 to the candidate sides that neither busy list has media files for,
  // and 9/12 to the appliance OSes of details without files in either appliance map. Returns 1.
  int SetValidSides(
      const std::vector<UpdatePatches::FilesForRel>& first,
      const std::vector<UpdatePatches::FilesForRel>& candidates,
      const std::vector<UpdatePatches::FilesForRel>& third,
      const std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>&
          applianceA,
      const std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>&
          applianceB,
      const LocalAndRemClientDetails& details, UpdatePatches::CacheSyncRsp& response);

  // ---- Sync-request utilities (SyncRequestUtils.cpp) ----
  static std::string GetCacheOperationName(CacheOpcode code);
  // ---- Deleting cache contents on request (UpdateCacheDelete.cpp) ----
  // Every name and folder of the request passes CacheDeletionGuard; a refusal is logged at
  // level 0 and fails the step it belongs to.

  // Deletes the files the request names per release and operating system (7/10), then the
  // additional-sync (11/14) and appliance (12/15) files, whose failures are only logged. False
  // at the first failing release/OS step (files already gone stay gone), and before any deletion
  // when the request names releases while the release or operating-system table is empty.
  bool DeleteLocalCacheContents(UpdatePatches::CacheOpReq request);
  // Deletes the additional-sync files below the remote cache's additional-sync folder (9/18).
  bool DeleteLocalCacheAdditionalSyncContents(UpdatePatches::CacheOpReq request);
  // Deletes the appliance files below root + "/KQAppliance": Windows and database files first,
  // then the Unix ones unless "Tapewright"/"sTallowmereUpgradeInProgress" is "yes", flagged
  // by "sSWCacheSyncInProgress" while they go (left set when the deletion fails).
  bool DeleteLocalCacheApplianceContents(UpdatePatches::CacheOpReq request);
  // Removes each obsolete feature-release folder of 14/17 (root/KQMedia/<release>/<folder>
  // only); every path is tried, false when any one failed or was refused.
  bool DeleteLocalObsoleteSPMediaCacheContents(UpdatePatches::CacheOpReq request);
  // Renames the highest "CU<k>" folder of the loose-update folder to "CU<n>", n the request's
  // update-pack number, when CU<n> is missing and k differs from n (rename(2) only).
  bool RenameUpdatePackDirOnClientCache(UpdatePatches::CacheOpReq* request);
  // Removes folder/name for each file (missing ones skipped); the rest is still tried after a
  // failure, which makes the result false. Names that would leave the folder are refused.
  bool DeleteFilesFromVec(std::string folder, std::vector<UpdatePatches::File>* files);
  // Removes the empty sub-folders below folder (an entry of any size keeps its folder; links
  // and names beginning with '.' are not entered); the folder itself stays.
  bool DeleteFolderIfEmpty(std::string folder);

  // ---- Obsolete media after a content-delivery download (UpdateCacheObsoleteMedia.cpp) ----

  // Deletes the files the download replaced (files, whole paths below the request's cache root
  // 5/8 2/5), then, unless the download object's tag 7 is 2, every operating-system, platform,
  // feature-release and appliance folder of the cache that the release of the request matching
  // version no longer names (nothing when no release matches). 0, or the first failing
  // folder's code; 0x80000008 without a request or for a refused cache root; 0 when no
  // folder-structure reader can be made.
  unsigned int DeleteObsoleteMediaFromCache(const std::set<std::string>& files,
                                            const FullVersion& version,
                                            UpdatePatches::AkamaiDownloadReq* request);

  unsigned long long jobId() const { return m_jobId; }
  bool releaseBuild() const { return m_releaseBuild; }
  EvDebug& log() { return m_event; }
  EvEvent& event() { return m_event; }

  // True when the vocabulary tables named in `tables` (KqVocabularyTable bits) hold rows; else
  // logs at level 0 under tag which filler was never called, and returns false.
  bool VocabularyReady(unsigned tables, const char* tag);

 private:
  // DeleteFilesFromVec() and DeleteFolderIfEmpty() for the folder open at `folderFd` (shown as
  // `folder`): every name is walked from that descriptor, never from the folder's path. A
  // negative `folderFd` stands for a folder that does not exist (nothing to delete or prune).
  bool DeleteFilesFromVecAt(int folderFd, const std::string& folder,
                            std::vector<UpdatePatches::File>* files);
  bool DeleteFolderIfEmptyAt(int folderFd, const std::string& folder);
  // The body of both CalculateFileCksumForDir forms: entries go to `files`, or to `media`.
  bool ChecksumTree(const std::string& dir, const std::string& subPath, bool isUnix, bool recursive,
                    std::vector<UpdatePatches::File>* files, std::vector<UpdatePatches::BinaryV11>* media);
  // Applies the key table of "update.ini" (updateIni) or of a per-update ".ini" to content.
  bool ParseDescriptor(INIInfoForPatch& info, const std::string& content, const std::string& path,
                       bool updateIni);
  // The scan of GetAllUpadtesFromCache (old layout) or GetAllUpdatesInCacheNew (release 15).
  bool ScanReleases(CacheProp& prop, UpdatesAtCache* inv, bool newLayout);
  // The folder holding the additional updates of a slot of release relId; false when the OS
  // has none.
  bool AdditionalUpdatesFolder(int relId, const UpdatesForOS& slot, const std::string& cacheRoot,
                               KQInstallCommonUtils::IFolderStruct* folders, std::string& folder);

  unsigned long long m_value = 0;  // set only by the second constructor
  std::string m_text;              // set only by the second constructor
  unsigned long long m_jobId = 0;
  std::map<int, std::vector<int>> m_packageOsTypes;
  EvEvent m_event;  // the object's log and event text; lines carry m_jobId
  // Old-format platform lines to platform names, built from the database on first need.
  std::shared_ptr<const KqPlatformLineLookup> m_platformLines;
  bool m_platformLinesFailed = false;  // the platform rows could not be fetched
  bool m_releaseBuild = false;
};

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_KQUPDATECACHE_H_
