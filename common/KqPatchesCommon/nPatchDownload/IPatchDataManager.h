// IPatchDataManager: what patch jobs and the alert run ask of the Hubnode database, the
// configuration store and the downloaded catalogue files, behind one interface.
//
// Every operation returns an unsigned 32-bit result code (0 success, 0x8000xxxx failure, or
// the database's own code where the operation says so), except SetWinMediaFilesToDel and
// GetUnixApplFiles. No operation throws. An object is made by CreatePatchDataManager and
// destroyed by DestroyPatchDataManager (or, for the Hubnode class, constructed directly); it
// is used by one thread at a time and keeps its caches for its own life only.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_IPATCHDATAMANAGER_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_IPATCHDATAMANAGER_H_

#pragma GCC visibility push(default)

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CMediaConfiguration.h"
#include "nPatchDownload/RetrievalSide.h"

namespace nPatchDownload {

class IPatchEvent;

// Orders media versions by release, build, feature release, recut stamps and update-pack
// number (FullVersion::Compare kind 3).
struct compareMediaVersionWithUP {
  bool operator()(const FullVersion& a, const FullVersion& b) const {
    return FullVersion::Compare(FullVersion::kCompareMediaWithUP, a, b) < 0;
  }
};

// Media version -> operating-system ids, as the maintenance-release queries hand it back.
typedef std::map<FullVersion, std::set<int>, compareMediaVersionWithUP> tCUsPerMediaVersion;

class IPatchDataManager {
 public:
  // Orders update packs by their number (field 1 read as a signed 32-bit value).
  struct tUpdatePackLess {
    bool operator()(const UpdatePatches::UpdatePack& a, const UpdatePatches::UpdatePack& b) const {
      return static_cast<int>(a.getint64(UpdatePatches::UpdatePack::kNumber)) <
             static_cast<int>(b.getint64(UpdatePatches::UpdatePack::kNumber));
    }
  };
  typedef std::set<UpdatePatches::UpdatePack, tUpdatePackLess> tUpdatePackSet;

  virtual ~IPatchDataManager() {}

  // 1-2: one configuration value; 0x8000000C (out untouched) when it is missing.
  virtual unsigned int GetStringVal(const std::string& key, const std::string& valueName,
                                    std::string& value) = 0;
  virtual unsigned int GetDWORDVal(const std::string& key, const std::string& valueName,
                                   unsigned int& value) = 0;
  // 3: the download source and the hotfix-configuration source.
  virtual unsigned int QueryDownloadConfigs(CMediaConfiguration& download,
                                            CMediaConfiguration& hotfixConfig) = 0;
  // 4
  virtual unsigned int StoreUpdatesInfo(int count, const std::string& text,
                                        unsigned long checksum) = 0;
  // 5
  virtual unsigned int GetLatestServicePackOnDownloadCenter(FullVersion& latest,
                                                            FullVersion& hubnodeVersion,
                                                            unsigned long delayDays,
                                                            int option) = 0;
  // 6
  virtual unsigned int GetHubnodeInstalledVersion(FullVersion& version) = 0;
  // 7: loads the hotfix configuration file (once per checksum).
  virtual unsigned int GetAllUpdatesList(const std::string& file, unsigned long checksum,
                                         unsigned long& count, const FullVersion& version,
                                         bool checkVisibility) = 0;
  // 8: appends the update files of one update-OS id.
  virtual unsigned int GetUpdatesList(int updateOsId, std::vector<UpdatePatches::BinaryV11>& out,
                                      std::set<int> packageIds) = 0;
  // 9: the maintenance releases of one media version from a catalogue file.
  virtual unsigned int GetAllCUPacksList(const std::string& file, const FullVersion& version,
                                         tUpdatePackSet* packs, std::string* xml) = 0;
  // 10
  virtual unsigned int GetAllowedSPs(std::set<tRetrievalSide>& sides) = 0;
  // 11: the files of one maintenance release from its pack file.
  virtual unsigned int GetCUFilesList(const std::string& file, const std::string& prefix,
                                      int cuNumber, std::vector<UpdatePatches::BinaryV11>& out,
                                      std::set<int> packageIds) = 0;
  // 12
  virtual unsigned int UpdateTableWithCU(const std::string& cuInfo, bool flag) = 0;
  // 13
  virtual unsigned int GetSWCacheRoot(std::string& root) = 0;
  // 14
  virtual unsigned int StoreDVDInfo(std::string& info) = 0;
  // 15
  virtual unsigned int UpdateSPVersionInfo(const std::string& windowsVersionFile,
                                           const std::string& unixVersionFile, FullVersion& info,
                                           int& windowsSpId, int& unixSpId, bool unused) = 0;
  // 16
  virtual unsigned int GetClientReleaseBuildId(int clientId, int releaseId,
                                               std::string& build) = 0;
  // 17
  virtual unsigned int UpdateDVDInfoTable(const std::string& xml, bool flag) = 0;
  // 18
  virtual unsigned int GetCurrentActiveCacheVersion(FullVersion& version) = 0;
  // 19
  virtual unsigned int GetBaseFolder(std::string& folder) = 0;
  // 20
  virtual unsigned int IsUpdateExistingInDB(const std::string& name, const FullVersion& version,
                                            bool& exists, int kind) = 0;
  // 21
  virtual unsigned int GetDVDVersionByMaxMediaTransId(int osId,
                                                      unsigned long maxMediaTransactionId,
                                                      FullVersion& version) = 0;
  // 22
  virtual unsigned int GetSidesAlreadyExistInDB(std::set<tRetrievalSide>& sides) = 0;
  // 23
  virtual unsigned int HasApplianceClient(bool& has, std::set<std::string>& windowsOses,
                                          std::set<std::string>& sqlVersions) = 0;
  // 24
  virtual unsigned int GetCUDetails(FullVersion& version, int mode) = 0;
  // 25
  virtual unsigned int GetAllCUsInDB(const FullVersion& version, tCUsPerMediaVersion& out) = 0;
  // 26
  virtual unsigned int GetDanglingCUsInDB(const FullVersion& version, const std::string& cuRoot,
                                          std::set<unsigned int>& out, int osId) = 0;
  // 27-28
  virtual unsigned int DoAppliancePatchCommit(const std::string& configFile) = 0;
  virtual unsigned int DoAppliancePatchCommit(const std::string& configFile,
                                              const std::set<std::string>& windowsOses,
                                              const std::set<std::string>& sqlVersions) = 0;
  // 29
  virtual unsigned int GetLatestDVDForSP(const std::string& spName, FullVersion& version) = 0;
  // 30
  virtual void SetWinMediaFilesToDel(std::set<std::string>& first,
                                     std::set<std::string>& second) = 0;
  // 31-32: remote-cache sync status per job and client.
  virtual unsigned int GetRCSyncStatus(int jobId, int clientId, int& status, int& flag) = 0;
  virtual unsigned int SetRCSyncStatus(int jobId, int clientId, int* status, int* flag) = 0;
  // 33
  virtual void GetUnixApplFiles(UpdatePatches::ApplianceFilesInfo* files) = 0;
};

}  // namespace nPatchDownload

// The exported factory pair. Type 1 (the Hubnode data manager) is the only type; any other
// returns 0x8000000C and leaves *out untouched. For type 1 the result is the constructor's
// status and the object is handed out even when that status is not 0; the caller destroys
// it with DestroyPatchDataManager (null does nothing).
extern "C" {
__attribute__((visibility("default"))) unsigned int CreatePatchDataManager(
    int type, nPatchDownload::IPatchEvent& sink, nPatchDownload::IPatchDataManager** out);
__attribute__((visibility("default"))) void DestroyPatchDataManager(
    nPatchDownload::IPatchDataManager* manager);
}

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_IPATCHDATAMANAGER_H_
