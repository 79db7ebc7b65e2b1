// Maintenance releases recorded in the Hubnode database, the appliance patch commit and the
// remote-cache synchronisation status.
#include <algorithm>
#include <queue>
#include <string>

#include "Configuration/KQClient.h"
#include "Db/Proc/patchApplianceCommit.h"
#include "Db/Proc/patchGetUAStatus.h"
#include "Db/Proc/patchUpdateApplianceEligibility.h"
#include "Db/Proc/patchUpdateUAStatus.h"
#include "Db/Proc/simGetAllCUs.h"
#include "Db/Proc/simGetApplianceOSes.h"
#include "Db/Proc/simGetClientPackageFullVersion.h"
#include "Db/Proc/simGetUPInfo.h"
#include "Db/Proc/simUpdateUPVersion.h"
#include "CacheFileListsLoadXml.h"
#include "Db/SprocWrapper.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

constexpr int kCUQueryFailed = 0x440001D8;

// "a, b, c" from a set (the last ", " dropped when the text is longer than two characters).
std::string JoinSet(const std::set<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += item + ", ";
  if (text.size() > 2) text.erase(text.size() - 2);
  return text;
}

}  // namespace

unsigned int CPatchDataManagerHN::UpdateTableWithCU(const std::string& cuInfo, bool flag) {
  SimUpdateUPVersion record(nullptr);
  record.setValues(cuInfo.c_str(), flag ? 1 : 0);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc != 0) {
    m_event.Debug("UpdateTableWithCU", "Failed to insert UPVersion into table with error [%d:%s]",
                  rc, DBtable::getErrorStr(rc));
    return static_cast<unsigned int>(rc);
  }
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetAllCUsInDB(const FullVersion& version,
                                                tCUsPerMediaVersion& out) {
  static const char* kTag = "GetAllCUsInDB";
  if (m_cuCache.count(version) != 0) {
    out = m_cuCache;
    return KQ_PATCH_OK;
  }
  UpdatePatches::SPVersion sp;
  CPatchInstallCommon::SetUpdatePatchesSPVersion(version, sp);
  std::string input;
  int rc = XMLEncoder::serialize(sp, input);
  if (rc != 0) {
    m_event.Debug(kTag, "Failed to serialze XML using version [%d %s]",
                  version.Get(FullVersion::kRelease),
                  version.formatted_str(FullVersion::kFormatSide).c_str());
    return static_cast<unsigned int>(rc);
  }
  m_event.DebugLvl(kTag, 8, "Input XML is [%s]", input.c_str());
  std::string xml;
  {
    SprocWrapper<SimGetAllCUs, SimGetAllCUs_t> wrapper(kTag, nullptr);
    wrapper.getCursor()->setIsolationType(4);
    wrapper.getCursor()->setValues(input.c_str());
    rc = wrapper.getXMLFromCursor(xml, nullptr, false, true);
    if (rc != 0) {
      m_event.Debug(kTag, "Failed to query existing CUs in cache with error [%d]", rc);
      return static_cast<unsigned int>(rc);
    }
  }
  m_event.DebugLvl(kTag, 8, "Output XML is [%s]", xml.c_str());
  out.clear();
  UpdatePatches::CacheUpdateInfo info;
  rc = XMLDecoder::unSerialize(info, xml, nullptr);
  if (rc != 0) {
    m_event.Debug(kTag, "Failed to unserialize XML [%s]", xml.c_str());
    return static_cast<unsigned int>(rc);
  }
  const CNMessageBase& all = info;
  if (!all.isSet(UpdatePatches::CacheUpdateInfo::kList) ||
      all.getlistobject(UpdatePatches::CacheUpdateInfo::kList)->empty()) {
    m_event.Debug(kTag, "CacheSetup section is empty.");
    return KQ_PATCH_OK;
  }
  using UpdatePatches::MediaSet;
  for (const CNMessageBase& set : *all.getlistobject(UpdatePatches::CacheUpdateInfo::kList)) {
    const CNMessageBase* spMessage = set.getObjectAccessor(MediaSet::kSPVersion);
    if (spMessage == nullptr) {
      m_event.Debug(kTag, "SPVersion section is not set, continuing");
      continue;
    }
    const CNMessageBase* pack = set.getObjectAccessor(MediaSet::kUpdatePack);
    const CNMessageBase* os = set.getObjectAccessor(MediaSet::kOS);
    if (pack == nullptr || os == nullptr) {
      m_event.Debug(kTag, "UpdatePack section is not set, continuing");
      continue;
    }
    FullVersion key = CPatchInstallCommon::GetVersionFromSPVersion(*spMessage);
    CPatchInstallCommon::SetUPVersionFromUpdatePack(*pack, key);
    out[key].insert(static_cast<int>(os->getint64(UpdatePatches::CacheMediaOS::kOSId)));
  }
  m_cuCache = out;
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetDanglingCUsInDB(const FullVersion& version,
                                                     const std::string& cuRoot,
                                                     std::set<unsigned int>& out, int osId) {
  out.clear();
  tCUsPerMediaVersion all;
  const unsigned int rc = GetAllCUsInDB(version, all);
  for (const auto& entry : all) {
    if (entry.second.count(osId) == 0) continue;
    const int number = entry.first.Get(FullVersion::kUPNumber);
    const std::string path = cuRoot + "/CU" + std::to_string(number);
    if (!CPatchInstallCommon::IsFolderExisted(path)) {
      m_event.Debug("GetDanglingCUsInDB",
                    "CU Folder [%s] does not exist, adding it to DB deletion list", path.c_str());
      out.insert(static_cast<unsigned int>(number));
    }
  }
  return rc;
}

unsigned int CPatchDataManagerHN::GetCUDetails(FullVersion& version, int mode) {
  static const char* kTag = "GetCUDetails";
  std::string hubnodeXml;
  {
    SimGetClientPackageFullVersion record(nullptr);
    record.setValues(2, 0);
    record.setIsolationType(4);
    int rc = getOneRow(&record, false, -1, 0);
    if (rc != 0) {
      m_event.Debug(kTag, "Failed to get HN SP with error [%d:%s]", rc, DBtable::getErrorStr(rc));
      return static_cast<unsigned int>(rc);
    }
    if (record.getDataPtr() == nullptr || record.getDataPtr()->o_xmlText == nullptr) {
      m_event.Debug(kTag, "Empty data retrieved when trying to get HN installed SP");
      return KQ_PATCH_E_DB_QUERY;
    }
    hubnodeXml = record.getDataPtr()->o_xmlText;
  }
  m_event.DebugLvl(kTag, 8, "HN SP XML is [%s]", hubnodeXml.c_str());

  const int cuTrans = version.Get(FullVersion::kUPTransactionId);
  const int mediaTrans = version.Get(FullVersion::kTransactionId);
  const unsigned long long larger =
      static_cast<unsigned long long>(static_cast<unsigned int>(std::max(cuTrans, mediaTrans)));
  unsigned long long installed = larger;
  if (CPatchInstallCommon::GetHighestTransactionIdInstalled(installed) != 0) {
    installed = larger;
    m_event.Debug(kTag, "Cannot get highest installed transaction Id, defaulting to [%llu]",
                  installed);
  }
  m_event.Debug(kTag,
                "Looking for Maintenance Release which has transaction Id greater than or equal "
                "to installed one [%llu]",
                installed);

  unsigned int result = KQ_PATCH_OK;
  SimGetUPInfo record(nullptr);
  record.setValues(
      CPatchInstallCommon::ConvertReleaseNumToSimReleaseId(version.Get(FullVersion::kRelease)),
      version.Get(FullVersion::kBuild), version.Get(FullVersion::kSPMajor),
      version.Get(FullVersion::kSPMinor), mediaTrans, version.Get(FullVersion::kUPNumber),
      hubnodeXml.c_str(), static_cast<int>(installed), mode);
  record.setIsolationType(4);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc == 100) {
    m_event.Debug(kTag, "Empty entry found in DB when using current media [%s]",
                  version.formatted_str(FullVersion::kFormatFull).c_str());
    result = static_cast<unsigned int>(rc);
  } else if (rc != 0) {
    m_event.Debug(kTag, "Failed to query CU info with error [%d:%s]", rc, DBtable::getErrorStr(rc));
    result = static_cast<unsigned int>(rc);
  } else if (record.getDataPtr() == nullptr) {
    m_event.Debug(kTag, "Data pointer is empty.");
    result = KQ_PATCH_E_DB_QUERY;
  } else {
    const SimGetUPInfo_t& row = *record.getDataPtr();
    if (mode == 3 && row.oCUNumber != version.Get(FullVersion::kUPNumber)) {
      m_event.Debug(kTag, "Specified CU number [%d] is a not valid one.",
                    version.Get(FullVersion::kUPNumber));
      result = KQ_PATCH_E_DB_QUERY;
    } else {
      version.Set(FullVersion::kUPNumber, row.oCUNumber);
      version.Set(FullVersion::kUPTransactionId, row.oCUTransactionId);
      m_event.Debug(kTag, "CU number [%d], transaction Id [%d] and bIsAvailable [%d] found for "
                          "download.",
                    row.oCUNumber, row.oCUTransactionId, row.oIsCUAvaiableForDownload);
    }
  }
  if (result != KQ_PATCH_OK && !m_event.IsSpecificErrorSet()) {
    const std::string text = version.formatted_str(FullVersion::kFormatFull);
    std::queue<tErrorDetails> details;
    details.push(tErrorDetails(tErrorDetails::eString, &text));
    m_event.SetSpecificError(kCUQueryFailed, static_cast<KQJobStatus>(2), &details);
    m_event.DebugLvl(kTag, 10, "Error is set for query DB.");
  }
  return result;
}

unsigned int CPatchDataManagerHN::HasApplianceClient(bool& has,
                                                     std::set<std::string>& windowsOses,
                                                     std::set<std::string>& sqlVersions) {
  static const char* kTag = "HasApplianceClient";
  has = false;
  SimGetApplianceOSes record(nullptr);
  record.setValues(0);
  record.setIsolationType(4);
  int count = 0;
  for (;;) {
    int rc = getNextRow(&record, &count, -1, 0);
    if (rc == 100) break;
    if (rc != 0) {
      m_event.Debug(kTag, "Failed to open query on appliance clients with error [%s]",
                    DBtable::getErrorStr(rc));
      return static_cast<unsigned int>(rc);
    }
    const SimGetApplianceOSes_t* row = record.getDataPtr();
    if (row == nullptr) {
      m_event.Debug(kTag, "Empty data retrieved");
      return KQ_PATCH_E_DB_QUERY;
    }
    if (row->o_MainOSType == 2) {
      windowsOses.insert(row->o_OSNameVersion);
    } else if (row->o_MainOSType == 1) {
      sqlVersions.insert(row->o_OSNameVersion);
    } else {
      m_event.DebugLvl(kTag, 8, "Skipping non-Windows OS [%d]", row->o_MainOSType);
    }
  }
  m_event.Debug(kTag, "Found Windows Appliance OSes [%s]", JoinSet(windowsOses).c_str());
  m_event.Debug(kTag, "Found MSSQL version [%s]", JoinSet(sqlVersions).c_str());
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::DoAppliancePatchCommit(const std::string& configFile) {
  static const char* kTag = "DoAppliancePatchCommit";
  if (configFile.empty()) {
    m_event.Debug(kTag, "Appliance config file is empty, continuing");
    return KQ_PATCH_OK;
  }
  bool has = false;
  std::set<std::string> windowsOses, sqlVersions;
  if (HasApplianceClient(has, windowsOses, sqlVersions) != 0) {
    m_event.Debug(kTag, "Cannot query DB to see if Appliance client exists, continuing");
    return KQ_PATCH_OK;
  }
  return doAppliancePatchCommitImpl(configFile, windowsOses, sqlVersions);
}

unsigned int CPatchDataManagerHN::DoAppliancePatchCommit(const std::string& configFile,
                                                         const std::set<std::string>& windowsOses,
                                                         const std::set<std::string>& sqlVersions) {
  return doAppliancePatchCommitImpl(configFile, windowsOses, sqlVersions);
}

unsigned int CPatchDataManagerHN::doAppliancePatchCommitImpl(
    const std::string& configFile, const std::set<std::string>& windowsOses,
    const std::set<std::string>& sqlVersions) {
  static const char* kTag = "doAppliancePatchCommitImpl";
  if (configFile.empty()) {
    m_event.Debug(kTag, "Appliance config file is empty, continuing");
    return KQ_PATCH_OK;
  }
  std::string versions;
  for (const std::string& os : windowsOses) versions += os + ",";
  for (const std::string& sql : sqlVersions) versions += sql + ",";
  if (versions.size() > 1) versions.pop_back();
  m_event.Debug(kTag, "Found Windows or MSSQL appliance to commit with version [%s]",
                versions.c_str());
  std::string config;
  if (CPatchInstallCommon::ReadWholeFile(configFile, config, kMaxConfigFileBytes) != 0) {
    m_event.Debug(kTag, "Appliance clients found but cannot read from configuration xml [%s], "
                        "continuing",
                  configFile.c_str());
    return KQ_PATCH_OK;
  }
  unsigned int result = KQ_PATCH_OK;
  {
    PatchApplianceCommit record(nullptr);
    record.setValues(config.c_str(), versions.c_str());
    int rc = getOneRow(&record, false, -1, 0);
    if (rc != 0 && rc != 100) {
      m_event.Debug(kTag, "Failed to commit appliance patches to DB with error [%d:%s]", rc,
                    DBtable::getErrorStr(rc));
      return static_cast<unsigned int>(rc);
    }
    m_event.Debug(kTag, "Successfully commit appliance patches");
  }
  {
    PatchUpdateApplianceEligibility record(nullptr);
    record.setValues();
    int rc = getOneRow(&record, false, -1, 0);
    if (rc != 0 && rc != 100) {
      m_event.Debug(kTag,
                    "Failed to update eligibility flag for appliance patches in DB with error "
                    "[%d:%s]",
                    rc, DBtable::getErrorStr(rc));
      return static_cast<unsigned int>(rc);
    }
    m_event.Debug(kTag, "Successfully updated the eligibility flag for appliance patches");
    result = static_cast<unsigned int>(rc);
  }
  if (!windowsOses.empty() || !sqlVersions.empty()) return result;

  m_event.Debug(kTag, "Neither windows nor MSSQL appliance enabled client is found, deleting "
                      "KQApplianceConfig_Windows.xml file");
  std::string err;
  if (!kq::RemoveFileNoFollow(configFile, &err))
    m_event.Debug(kTag, "Cannot delete file [%s], continuing", configFile.c_str());
  std::string folder = configFile;
  std::replace(folder.begin(), folder.end(), '\\', '/');
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos || slash == 0) {
    m_event.Debug(kTag, "Invalid appliance config file path [%s] found, skipping the deletion",
                  configFile.c_str());
    return result;
  }
  folder.erase(slash);
  if (CPxDirectory::IsEmpty(folder)) {
    m_event.Debug(kTag, "Deleting emtpy appliance folder [%s]", folder.c_str());
    const unsigned int rc = CPatchInstallCommon::DeleteDirectories(folder);
    if (rc != 0) {
      m_event.Debug(kTag, "Cannot delete empty appliance folder [%s], continuing",
                    folder.c_str());
      result = rc;
    }
  } else {
    m_event.DebugLvl(kTag, 8, "Appliance folder [%s] is not empty, skipping the deletion",
                     folder.c_str());
  }
  return result;
}

unsigned int CPatchDataManagerHN::GetRCSyncStatus(int jobId, int clientId, int& status,
                                                  int& flag) {
  static const char* kTag = "GetRCSyncStatus";
  PatchGetUAStatus record(nullptr);
  record.setValues(jobId, clientId);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc == 100) {
    m_event.DebugLvl(kTag, 2, "DB entry for job Id [%d] and client Id [%d] does not exist", jobId,
                     clientId);
    return 100;
  }
  if (rc != 0) {
    m_event.Debug(kTag, "Failed to get UA status in DB with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
    return static_cast<unsigned int>(rc);
  }
  if (record.getDataPtr() == nullptr) {
    m_event.Debug(kTag, "Empty data retrieved.");
    return KQ_PATCH_E_DB_QUERY;
  }
  status = record.getDataPtr()->oStatus;
  flag = record.getDataPtr()->oFlag;
  m_event.DebugLvl(kTag, 8, "Status [%d] and flag [%d] retrieved for jobId [%d] and clientId [%d]",
                   status, flag, jobId, clientId);
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::SetRCSyncStatus(int jobId, int clientId, int* status,
                                                  int* flag) {
  const int statusValue = status != nullptr ? *status : 0;
  const int flagValue = flag != nullptr ? *flag : 0;
  PatchUpdateUAStatus record(nullptr);
  record.setValues(jobId, clientId, statusValue, flagValue);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc == 0 || rc == 100) {
    m_event.DebugLvl("SetRCSyncStatus", 8,
                     "Successfully set status [%d] and flag [%d] for jobId [%d] and clientId [%d]",
                     statusValue, flagValue, jobId, clientId);
  } else {
    m_event.Debug("SetRCSyncStatus", "Failed to set UA status in DB with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
  }
  return static_cast<unsigned int>(rc);
}

unsigned int CPatchDataManagerHN::GetBaseFolder(std::string& folder) {
  int rc = KQClient(2).getInstallDirectory(folder, 0, nullptr);
  if (rc != 0) {
    m_event.Debug("GetBaseFolder", "Failed to get install directory with error code [%d]", rc);
    return static_cast<unsigned int>(rc);
  }
  folder += "/";
  folder += "Base";
  m_event.DebugLvl("GetBaseFolder", 8, "Base folder is [%s]", folder.c_str());
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
