// CPatchDataManagerHN: the Hubnode's data manager.
//
// Answers the interface's database operations from the Hubnode database (through the record
// classes, each made on the stack for one query), the download settings and the hotfix
// configuration file. Besides the base's state it keeps, for its own life: the Tessara id read
// at construction, the binary-set to update-OS map (read once), the hotfix configuration
// loaded last and the maintenance releases per media version read last. Made by
// CreatePatchDataManager or directly by its users; one thread at a time.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGERHN_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGERHN_H_

#pragma GCC visibility push(default)

#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Database/DBtable.h"
#include "nPatchDownload/CPatchDataManager.h"

class EvDebug;

namespace nPatchDownload {

class CPatchDataManagerHN : public CPatchDataManager {
 public:
  struct tHotfixEntry;   // the fields of a decoded hotfix entry that a load reads
  struct tHotfixFilter;  // what a load filters the entries for

  // One kept hotfix entry: what the update lists hand out of it, its name and its checksum
  // text, as they stand in tUpdatesConfig::text.
  struct tUpdateFile {
    size_t at;           // offset of the name in the text; the checksum follows it
    size_t nameLength;
    size_t checksumLength;
  };

  // The hotfix configuration loaded last: the file's checksum (0: none loaded), the version and
  // visibility inputs it was filtered for, and the kept entries per update-OS id, in file
  // order. The kept entries' texts sit back to back in one string, so that a reload frees a
  // few blocks rather than every decoded entry.
  struct tUpdatesConfig {
    unsigned long long checksum = 0;
    FullVersion version;
    bool checkVisibility = false;
    int visibilityFlag = 0;  // the local visibility flag the filter used (when checked)
    std::string text;
    std::unordered_map<unsigned int, std::vector<tUpdateFile>> updates;
    void Clear() {
      checksum = 0;
      version = FullVersion();
      checkVisibility = false;
      visibilityFlag = 0;
      std::string().swap(text);
      updates.clear();
    }
  };

  // status: 0, or 0x8000000F when the Hubnode has no Tessara id (the object stays usable).
  CPatchDataManagerHN(IPatchEvent& sink, int& status);
  ~CPatchDataManagerHN() override;

  // Download configuration.
  unsigned int QueryDownloadConfigs(CMediaConfiguration& download,
                                    CMediaConfiguration& hotfixConfig) override;
  unsigned int GetSWCacheRoot(std::string& root) override;
  unsigned int constructHotfixConfig(const std::string& localCache, const std::string& urlPrefix,
                                     bool useToken, CMediaConfiguration& record);

  // Hotfix configuration and update lists.
  unsigned int StoreUpdatesInfo(int count, const std::string& text,
                                unsigned long checksum) override;
  unsigned int GetAllUpdatesList(const std::string& file, unsigned long checksum,
                                 unsigned long& count, const FullVersion& version,
                                 bool checkVisibility) override;
  unsigned int GetUpdatesList(int updateOsId, std::vector<UpdatePatches::BinaryV11>& out,
                              std::set<int> packageIds) override;
  bool PopulateBianrySetIdToNewUpdateOSIdMap();

  // Installed versions and sides.
  unsigned int queryClientVersion(int clientId, FullVersion& out);
  unsigned int GetHubnodeInstalledVersion(FullVersion& version) override;
  unsigned int GetAllowedSPs(std::set<tRetrievalSide>& sides) override;
  unsigned int GetSidesAlreadyExistInDB(std::set<tRetrievalSide>& sides) override;
  unsigned int GetClientReleaseBuildId(int clientId, int releaseId, std::string& build) override;

  // Maintenance releases, appliance commit, sync status.
  unsigned int UpdateTableWithCU(const std::string& cuInfo, bool flag) override;
  unsigned int GetAllCUsInDB(const FullVersion& version, tCUsPerMediaVersion& out) override;
  unsigned int GetDanglingCUsInDB(const FullVersion& version, const std::string& cuRoot,
                                  std::set<unsigned int>& out, int osId) override;
  unsigned int GetCUDetails(FullVersion& version, int mode) override;
  unsigned int HasApplianceClient(bool& has, std::set<std::string>& windowsOses,
                                  std::set<std::string>& sqlVersions) override;
  unsigned int DoAppliancePatchCommit(const std::string& configFile) override;
  unsigned int DoAppliancePatchCommit(const std::string& configFile,
                                      const std::set<std::string>& windowsOses,
                                      const std::set<std::string>& sqlVersions) override;
  unsigned int doAppliancePatchCommitImpl(const std::string& configFile,
                                          const std::set<std::string>& windowsOses,
                                          const std::set<std::string>& sqlVersions);
  unsigned int GetRCSyncStatus(int jobId, int clientId, int& status, int& flag) override;
  unsigned int SetRCSyncStatus(int jobId, int clientId, int* status, int* flag) override;
  unsigned int GetBaseFolder(std::string& folder) override;

  // Feature releases and media records.
  unsigned int GetLatestServicePackOnDownloadCenter(FullVersion& latest,
                                                    FullVersion& hubnodeVersion,
                                                    unsigned long delayDays,
                                                    int option) override;
  static int GetSPAdditionalDelayDays(EvDebug& log, int& days);
  unsigned int UpdateDVDInfoTable(const std::string& xml, bool flag) override;
  unsigned int UpdateSPVersionInfo(const std::string& windowsVersionFile,
                                   const std::string& unixVersionFile, FullVersion& info,
                                   int& windowsSpId, int& unixSpId, bool unused) override;
  unsigned int getSPVersionId(const FullVersion& version, int& id);
  unsigned int IsUpdateExistingInDB(const std::string& name, const FullVersion& version,
                                    bool& exists, int kind) override;
  unsigned int GetDVDVersionByMaxMediaTransId(int osId, unsigned long maxMediaTransactionId,
                                              FullVersion& version) override;
  unsigned int GetLatestDVDForSP(const std::string& spName, FullVersion& version) override;

  // Operations the Hubnode does not need: they do nothing (and succeed).
  unsigned int StoreDVDInfo(std::string&) override { return 0; }
  unsigned int GetCurrentActiveCacheVersion(FullVersion&) override { return 0; }
  void SetWinMediaFilesToDel(std::set<std::string>&, std::set<std::string>&) override {}
  void GetUnixApplFiles(UpdatePatches::ApplianceFilesInfo*) override {}

  int GetTessaraId() const { return m_tessaraId; }

 private:
  // The update-OS id a load keeps the entry under, or 0 when it skips it (with its log line).
  int FilterHotfixEntry(const tHotfixFilter& filter, const tHotfixEntry& fields);

  // One row of a query that must answer one: runs it (isolation type 4 when asked) and
  // returns 0, or logs "Failed to <what> with DB error [...]" / "Empty data retrieved" and
  // returns 0x80000018.
  template <class Record>
  unsigned int fetchOneRow(const char* tag, Record& record, const std::string& what,
                           bool isolation) {
    if (isolation) record.setIsolationType(4);
    int rc = getOneRow(&record, false, -1, 0);
    if (rc != 0) {
      m_event.Debug(tag, "Failed to %s with DB error [%d:%s]", what.c_str(), rc,
                    DBtable::getErrorStr(rc));
      return 0x80000018u;
    }
    if (record.getDataPtr() == nullptr) {
      m_event.Debug(tag, "Empty data retrieved");
      return 0x80000018u;
    }
    return 0;
  }

  int m_tessaraId = 0;
  std::map<int, int> m_updateOSMap;  // binary-set id -> update-OS id
  tUpdatesConfig m_updatesConfig;
  tCUsPerMediaVersion m_cuCache;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGERHN_H_
