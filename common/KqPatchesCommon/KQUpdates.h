// KQUpdates: the update-alert object of the Hubnode.
//
// A Hubnode program (its alert or scheduler service) makes one object, runs one alert pass and
// destroys it; other programs call its small services (cache statistics, directory sizes,
// service-pack presence, timestamp files, installed packages) directly. The object reads the
// clients of the Tessara from the Hubnode database, decides which need an update (a
// service-pack level below the best of their release) or an upgrade (a release other than the
// Hubnode's once a grace period after the Hubnode's own upgrade has passed), records per
// release which build its clients carry, and keeps the download configuration's media access.
//
// Ownership: the object owns its log, its media access object (made by CreateMediaAccess in
// the constructor, null when that failed), the client records and the highest-service-pack
// entries (heap objects held by pointer, freed by FreeElements and the destructor) and the
// patches database client when the caller set one. Every member is public: the calling
// programs fill the cache inventory, the expected cache space and the skip flag themselves.
// One object is used by one thread at a time; only the configuration cache has its own lock.
#ifndef KQ_COMMON_KQPATCHESCOMMON_KQUPDATES_H_
#define KQ_COMMON_KQPATCHESCOMMON_KQUPDATES_H_

#pragma GCC visibility push(default)

#include <ctime>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "KqCriticalSection.h"
#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPatchDebug.h"

class EvDebug;
class CKqPatchesUpdateDBClient;
class IMediaAccess;

namespace KQUpdatesNS {

// One client of the Tessara as the client inventory reads it.
struct ClientReleaseIdSP {
  int clientId = 0;
  int releaseId = 0;
  _SPVersion sp;  // its major is the client's service-pack number
  time_t installTime = 0;
  int osType = 0;
  int unixFlavour = 0;
  int platType = 0;
  std::string build;
  int baseline = 0;
  int linkedFailoverClient = 0;
};

// The highest service pack seen for a release.
struct ReleaseVsSP {
  int releaseId = 0;
  _SPVersion sp;
};

struct OsVsSPDetails {
  int osType = 0;
  int unixFlavour = 0;
  _SPVersion sp = _SPVersion(0);
  unsigned long long value = 0;
};

struct _UpdateDetails {
  std::string name;
  unsigned long long value = 0;
};

struct OsVsUpdateDetails {
  int osType = 0;
  int unixFlavour = 0;
  std::vector<_UpdateDetails> updates;
};

// Per release: its (OS type, Unix flavour) pairs with their service packs, and the updates
// present per pair.
struct ReleaseVsOsSPDetails {
  int releaseId = 0;
  std::vector<OsVsSPDetails> osSP;
  std::vector<OsVsUpdateDetails> osUpdates;
};

// What GetReleaseSPInfo tells about one client.
struct ClientDetails {
  int clientId = 0;
  int releaseId = 0;
  int spNumber = 0;
};

}  // namespace KQUpdatesNS

// A downloaded information file; kept with the object, filled by nothing in the library.
struct SPInfoFile {
  std::string name;
  std::string localPath;
  std::string serverPath;
  std::string version;
};

// The build text of one client and its release.
struct clientBuildVerInfo {
  int clientId = 0;
  std::string build;
  int releaseId = 0;
};

// The download-center sub-directory (build text) of one release, flagged when the clients of
// the release disagree on it.
struct SiteSubDirInfo {
  std::string subDir;
  bool mismatch = false;
};

class KQUpdates {
 public:
  // Reads the download configuration and makes the media access object (null, and logged,
  // when either fails; the small services still work).
  KQUpdates();
  ~KQUpdates();
  KQUpdates(const KQUpdates&) = delete;
  KQUpdates& operator=(const KQUpdates&) = delete;

  // ---- the object and its shared look-ups
  // Release texts for release ids 9 to 12; any other id leaves the buffer as it was.
  void GetRelString(int releaseId, char* buffer);
  // Deletes the client records and highest-SP entries and forgets the DVD information file.
  void FreeElements();
  // The Hubnode's installed version from the database; false when it cannot be read.
  bool getHNSPInfo(FullVersion& version);
  // The release's name with ".0" or ".0.0" appended ("11" gives "11.0.0"); always true.
  bool getVersionNameForID(int releaseId, std::string& name);

  // ---- client inventory
  bool FindRelSpForAllClients();
  bool SetOsPlattypeInstallTime();
  int GetOsForClient(int clientId);
  int GetPlattypeForClient(int clientId);
  time_t GetInstallTime(int clientId);
  bool AddOsToClientInfo(int clientId, int simOsId);
  void GetOsIdFromSimOrBSId(int simOsId, int& updateOsId, int binarySetId, bool& isUnix, int);
  void GetOsIdFromBSId(unsigned long binarySetId, int& updateOsId, bool& isUnix);
  void GetNewOsIdFromBSId(unsigned long binarySetId, int& updateOsId, bool& isUnix);
  bool GetClientListNeedingUpdate();
  bool GetClientListNeedingUpgrade();
  bool IsSPLesser(const KQUpdatesNS::ClientReleaseIdSP* client,
                  const std::vector<KQUpdatesNS::ReleaseVsSP*>& highest);
  bool IsClientUpgraded(const KQUpdatesNS::ClientReleaseIdSP* client, int hnRelease, time_t now);
  bool ChoseHighestSP_CacheVsClients();
  bool GetReleaseSPInfo(int clientId, KQUpdatesNS::ClientDetails* details);

  // ---- download-center release information
  bool DownloadFilesFromServer(bool& configRetrieved, bool& populate, FullVersion& hnVersion,
                               std::string& configXml, std::string& configPath,
                               std::string& serverFolder, std::string& localFolder);
  bool OpenInternet();
  bool CloseInternet();
  bool GetFTPInfoFiles(bool newFormat, bool& populate);
  bool DownloadFileFromServer(const std::string& source, const std::string& local);
  bool PopulateFTPSPInfoTable();
  bool UpdateSPInfoFromXML();
  bool GetLatestUploadsInfoFile(bool& configRetrieved, FullVersion& hnVersion,
                                std::string& configXml, std::string& configPath,
                                std::string& serverFolder, std::string& localFolder);
  bool retrieveConfigXML(const std::string& localPath, const std::string& sourcePath,
                         bool& exists, std::string& xml, bool reload);
  bool getLatestDVDDetails(int releaseId, int build, int spMajor, int spMinor, int& transactionId,
                           int& revisionId);
  bool PopulateCUInfoTable(FullVersion& hnVersion, const std::string& serverFolder,
                           const std::string& localFolder);
  bool DownloadAndUpdateDBForCU(const std::set<std::string>& levelNames,
                                const std::string& serverFolder, const std::string& localFolder);

  // ---- cache presence, statistics and small services
  bool UpdateCacheStatistics(bool storeExpected);
  unsigned long long GetDirectorySize(const char* path);
  bool CheckIfSPExists(const char* path);
  bool IsSPPresentInCache(int releaseId, int osType, int unixFlavour, const _SPVersion& sp);
  bool IsUpdatePresentInCache(int releaseId, int osType, int unixFlavour,
                              const std::string& updateName);
  void GetOsName(int osType, int unixFlavour, char* buffer);
  int readTimestampFile(const char* path);
  bool DumpFileContentsToString(std::string& out, const char* path);
  std::string MakePrettier(const std::string& text);
  bool IsPackageInstalled(int clientId, int packageId);
  bool InsertSPInfoData();
  bool ParseDVDInfoFile();
  void test();

  // ---- client builds and site sub-directories
  bool getClientBuildAndVersionInfo();
  bool getClientBuildAndVersionInfo(int clientId, clientBuildVerInfo& info);
  bool getSiteSubDirInfoForAllClients();
  bool SetSiteSubDirInfo();
  // 0 found (subDir set), 1 no entry, 2 the clients of the release disagree.
  int getSiteSubDirInfoForVersion(int releaseId, std::string& subDir);
  bool getBuildStringTkn(const std::string& description, std::string& token);

  // ---- the alert run
  bool Initialize(bool gatherClients);
  int AlertIfUpdatesNeeded(bool sendAlerts);
  bool BuildStringForSP(FullVersion& hnVersion, FullVersion& hnWithMR);
  bool BuildStringForPendingUpdates(FullVersion& hnVersion, FullVersion& hnWithMR,
                                    std::string& configXml, std::string& configPath);
  void SendAlerts(bool includeDownloadAlert);
  bool setHNVersion();
  void GatherClientInfo();

  // ---- fields
  EvDebug* m_log;
  IMediaAccess* m_mediaAccess;
  std::vector<KQUpdatesNS::ReleaseVsOsSPDetails> m_cacheInventory;
  std::vector<KQUpdatesNS::ReleaseVsOsSPDetails> m_clientReleaseOsList;
  std::vector<SPInfoFile> m_infoFiles;
  std::vector<int> m_updateClientIds;
  std::vector<int> m_upgradeClientIds;
  std::vector<std::string> m_alertTexts;
  std::vector<KQUpdatesNS::ReleaseVsSP*> m_highestSPList;
  std::vector<KQUpdatesNS::ClientReleaseIdSP*> m_clientRecords;
  int m_hnRelease;
  time_t m_hnUpgradeTime;
  bool m_initialized;
  unsigned long long m_expectedCacheSpace;
  bool m_hnFound;
  int m_hnVersion;
  std::string m_hnVersionName;
  std::string m_hnBuild;
  std::string m_dvdInfoFile;
  std::vector<clientBuildVerInfo> m_clientBuilds;
  std::map<int, SiteSubDirInfo> m_siteSubDirs;
  CKqPatchesUpdateDBClient* m_patchesDbClient;
  bool m_skipSiteSubDirs;
  KqCriticalSection m_configLock;  // guards the two configuration-cache fields below
  std::unordered_map<unsigned int, std::list<UpdatePatches::HotfixListEntry>> m_configCache;
  std::string m_configCacheKey;
  nPatchDownload::CPatchDebug m_jobLog;
  std::string m_featureReleaseAlertText;
  int m_visibilityLevel;

 private:
  // The client records of one id, through an index over m_clientRecords that is rebuilt
  // whenever the records it was built from changed.
  std::vector<KQUpdatesNS::ClientReleaseIdSP*> ClientRecordsOf(int clientId);
  void IndexClientRecords();
  // The log, or a default one when the owned log could not be made.
  EvDebug& Log();

  // Positions in m_clientRecords per client id, and the record count they were taken from.
  std::unordered_map<int, std::vector<size_t>> m_clientIndex;
  size_t m_clientIndexSize = 0;
};

// Whether a comes before b: FullVersion::Compare kind 0, a tie broken by the maintenance-release
// number.
bool compareFullVersionLessWOTransId(const FullVersion& a, const FullVersion& b);

// The client's record keeps the smaller of its service pack and the candidate (lowered by one
// when lowerByOne is set and it is above 0); a client without a record gets one.
void AddToList(int clientId, int releaseId, _SPVersion sp,
               std::vector<KQUpdatesNS::ClientReleaseIdSP*>& clients, bool lowerByOne);
// The release's entry keeps the greater service pack; a release without one gets an entry.
void AddToList(int releaseId, _SPVersion sp, std::vector<KQUpdatesNS::ReleaseVsSP*>& highest);
// Delete every element and empty the list.
void FreeElementsInList(std::vector<char*>& buffers);
void FreeElementsInList(std::vector<KQUpdatesNS::ClientReleaseIdSP*>& clients);
void FreeElementsInList(std::vector<KQUpdatesNS::ReleaseVsSP*>& highest);
bool FindReleaseInList(int releaseId, const std::vector<KQUpdatesNS::ReleaseVsOsSPDetails>& list);
void AddOsToList(int releaseId, int osType, int unixFlavour,
                 std::vector<KQUpdatesNS::ReleaseVsOsSPDetails>& list);

// The (OS type, Unix flavour) of an update-OS id: the table of known ids, else the id itself
// with flavour 0.
void ConvertUpdateOsId(int updateOsId, int& osType, int& unixFlavour);
// The name of an (OS type, Unix flavour) pair; null for an unnamed pair.
const char* UpdateOsPairName(int osType, int unixFlavour);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_KQUPDATES_H_
