// Feature releases offered by the download center and the media (DVD) and service-pack
// versions recorded in the Hubnode database.
#include <cstdlib>
#include <queue>
#include <string>

#include "Configuration/KQClient.h"
#include "Configuration/KQGlobalParam.h"
#include "Db/Proc/FtpServicePackInfoSelectOps.h"
#include "Db/Proc/PatchGetDVDStatus.h"
#include "Db/Proc/PatchGetLatestDVDForSP.h"
#include "Db/Proc/PatchGetUpdateStatus.h"
#include "Db/Proc/patchUpdateDVDInfo.h"
#include "Db/Proc/simGetSPVersionId.h"
#include "Logging/EvDebug.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

constexpr int kFeatureReleaseQueryFailed = 0x440001A3;
// The release whose feature releases the download center is asked about (release 11).
constexpr int kDownloadCenterReleaseId = 16;
// Build texts are "BUILD" followed by the number.
constexpr size_t kBuildPrefixLength = 5;

// A number whose base follows its prefix ("0x" hexadecimal, "0" octal, else decimal); 0 when
// there are no digits.
int ReadNumber(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 0));
}

int ReleaseIdOf(const FullVersion& v) {
  return CPatchInstallCommon::ConvertReleaseNumToSimReleaseId(v.Get(FullVersion::kRelease));
}

}  // namespace

unsigned int CPatchDataManagerHN::GetLatestServicePackOnDownloadCenter(FullVersion& out,
                                                                       FullVersion& hubnode,
                                                                       unsigned long delayDays,
                                                                       int option) {
  static const char* kTag = "GetLatestServicePackOnDownloadCenter";
  const std::string release =
      std::to_string(CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(kDownloadCenterReleaseId)) +
      ".0.0";
  FtpServicePackInfoSelectOps record(nullptr);
  record.setValues(option, release.c_str(), hubnode.Get(FullVersion::kSPMajor), 0,
                   static_cast<int>(delayDays));
  record.setIsolationType(4);
  int count = 0;
  int rc = getNextRow(&record, &count, -1, 0);
  if (rc != 0 && rc != 100) {
    m_event.Debug(kTag, "Failed to get SPName from PatchSPVersion table for given rules, error "
                        "[%d:%s]",
                  rc, DBtable::getErrorStr(rc));
    std::queue<tErrorDetails> none;
    m_event.SetSpecificError(kFeatureReleaseQueryFailed, static_cast<KQJobStatus>(2), &none);
    return static_cast<unsigned int>(rc);
  }
  FullVersion result;
  if (rc == 100) {
    result = hubnode;
    m_event.Debug(kTag, "No SPName found based on chose option, HN Feature Release [V%d %s] will "
                        "be used.",
                  result.Get(FullVersion::kRelease),
                  result.formatted_str(FullVersion::kFormatFull).c_str());
  } else {
    const FtpServicePackInfoSelectOps_t& row = *record.getDataPtr();
    const std::string releaseText = row.ReleaseStr;
    const int releaseNumber = ReadNumber(releaseText.substr(0, releaseText.find('.')));
    const std::string buildText = row.BuildIdString;
    int build = 0;
    if (buildText.size() < kBuildPrefixLength) {
      m_event.Debug(kTag, "Build text [%s] is too short to hold a build, using build 0",
                    buildText.c_str());
    } else {
      build = ReadNumber(buildText.substr(kBuildPrefixLength));
    }
    _SPVersion servicePack;
    _SPVersion::ParseSPName(row.SPName, &servicePack);
    CPatchInstallCommon::SetMediaVer(result, releaseNumber, build, servicePack);
    result.Set(FullVersion::kTransactionId, row.TransactionId);
    result.Set(FullVersion::kRevisionId, row.RevisionId);
    m_event.Debug(kTag, "Based on chosen options, SPname retrieved from table: [V%d %s]",
                  result.Get(FullVersion::kRelease),
                  result.formatted_str(FullVersion::kFormatFull).c_str());
  }
  out = result;
  return KQ_PATCH_OK;
}

int CPatchDataManagerHN::GetSPAdditionalDelayDays(EvDebug& log, int& days) {
  static const char* kTag = "GetSPAdditionalDelayDays";
  std::string value;
  if (KQGlobalParam().get("PatchSPAdditionalDelayDays", value)) {
    log.Debug(kTag, "\tAdditional Delay Days   : Skipped.");
    days = 0;
    return 0;
  }
  int added = 0;
  std::string guid;
  if (KQClient(2).getGUIDStr(guid) != 0) {
    log.Debug(kTag, "Unable to get HNGuid, continuing with the default delay days plus 3.");
    added = 3;
  } else {
    log.Debug(kTag, "\tHNGUID                  : [%s].", guid.c_str());
    for (char c : guid) added = (added + static_cast<signed char>(c)) % 60;
    if (added < 2) added = 2;
    log.Debug(kTag, "\tAdditional Delay Days   : [%d] Days are added.", added);
  }
  days = days >= 0 ? days + added : added;
  return 0;
}

unsigned int CPatchDataManagerHN::UpdateDVDInfoTable(const std::string& xml, bool flag) {
  static const char* kTag = "UpdateDVDInfoTable";
  unsigned int value = 0;
  const bool allowed = GetDWORDVal("UpdateFlags", "bDownloadPrivateBuild", value) == 0 &&
                       value != 0;
  if (allowed)
    m_event.Debug(kTag,
                  "Registry key [%s\\%s] is set to [%u], allowing downloading private build DVDs.",
                  "UpdateFlags", "bDownloadPrivateBuild", value);
  PatchUpdateDVDInfo record(nullptr);
  record.setValues(xml.c_str(), flag ? 1 : 0, allowed ? 1 : 0);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc != 0 && rc != 100) {
    m_event.Debug(kTag, "Failed to update DVDInfo in DB with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
    return static_cast<unsigned int>(rc);
  }
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::UpdateSPVersionInfo(const std::string& windowsFile,
                                                      const std::string& unixFile,
                                                      FullVersion& info, int& windowsSpId,
                                                      int& unixSpId, bool) {
  static const char* kTag = "UpdateSPVersionInfo";
  // No id from an earlier call may be taken for one of this call.
  windowsSpId = -1;
  unixSpId = -1;
  FullVersion windows, unix;
  if (!CPatchInstallCommon::GetMediaVersionFromFile(windowsFile, windows)) {
    m_event.Debug(kTag, "Failed to get Feature Release and transaction Id from file [%s]",
                  windowsFile.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  if (!CPatchInstallCommon::GetMediaVersionFromFile(unixFile, unix)) {
    m_event.Debug(kTag, "Failed to get Feature Release and transaction Id from file [%s]",
                  unixFile.c_str());
    return KQ_PATCH_OK;
  }
  const std::string infoText = info.formatted_str(FullVersion::kFormatSide);
  if (FullVersion::Compare(FullVersion::kCompareLevel, windows, info) != 0) {
    m_event.Debug(kTag, "Windows version file [%s] has [%s] which is different from [%s] in info "
                        "file",
                  windowsFile.c_str(), windows.formatted_str(FullVersion::kFormatSide).c_str(),
                  infoText.c_str());
    return KQ_PATCH_E_VERSION_FILES;
  }
  if (FullVersion::Compare(FullVersion::kCompareLevel, unix, info) != 0) {
    m_event.Debug(kTag, "Unix version file [%s] has [%s] which is different from [%s] in info file",
                  unixFile.c_str(), unix.formatted_str(FullVersion::kFormatSide).c_str(),
                  infoText.c_str());
    return KQ_PATCH_E_VERSION_FILES;
  }
  if (FullVersion::Compare(FullVersion::kCompareMedia, windows, unix) != 0) {
    m_event.Debug(kTag, "Windows version file [%s] has [%s] differs from [%s] in Unix version file "
                        "[%s]",
                  windowsFile.c_str(), windows.formatted_str(FullVersion::kFormatSide).c_str(),
                  unix.formatted_str(FullVersion::kFormatSide).c_str(), unixFile.c_str());
    return KQ_PATCH_E_VERSION_FILES;
  }
  if (getSPVersionId(windows, windowsSpId) != 0) return KQ_PATCH_E_DB_QUERY;
  if (FullVersion::Compare(FullVersion::kCompareLevel, info, windows) == 0) {
    m_event.Debug(kTag, "Keep original CU number [%d] for Windows",
                  info.Get(FullVersion::kUPNumber));
    windows.Set(FullVersion::kUPNumber, info.Get(FullVersion::kUPNumber));
  }
  info = windows;
  if (getSPVersionId(unix, unixSpId) != 0) return KQ_PATCH_E_DB_QUERY;
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::getSPVersionId(const FullVersion& version, int& id) {
  const std::string text = version.GetStr(FullVersion::kCUName);
  SimGetSPVersionId record(nullptr);
  record.setValues(ReleaseIdOf(version), version.Get(FullVersion::kBuild),
                   version.Get(FullVersion::kSPMajor), version.Get(FullVersion::kSPMinor),
                   version.Get(FullVersion::kTransactionId), version.Get(FullVersion::kRevisionId),
                   text.c_str(), 0, 0);
  unsigned int rc = fetchOneRow(
      "getSPVersionId", record,
      "get SP version Id using [" + version.formatted_str(FullVersion::kFormatSide) + "]", true);
  if (rc != KQ_PATCH_OK) return rc;
  id = record.getDataPtr()->o_id;
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::IsUpdateExistingInDB(const std::string& name,
                                                       const FullVersion& version, bool& exists,
                                                       int kind) {
  exists = false;
  PatchGetUpdateStatus record(nullptr);
  record.setValues(ReleaseIdOf(version), version.Get(FullVersion::kBuild),
                   version.Get(FullVersion::kSPMajor), version.Get(FullVersion::kSPMinor),
                   version.Get(FullVersion::kTransactionId), name.c_str(), kind);
  unsigned int rc = fetchOneRow("IsUpdateExistingInDB", record,
                                "get update status using SP version [" +
                                    version.formatted_str(FullVersion::kFormatSide) +
                                    "] and name [" + name + "]",
                                true);
  if (rc != KQ_PATCH_OK) return rc;
  exists = record.getDataPtr()->oIsUpdateExist > 0;
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetDVDVersionByMaxMediaTransId(int osId,
                                                                 unsigned long maxTransId,
                                                                 FullVersion& version) {
  static const char* kTag = "GetDVDVersionByMaxMediaTransId";
  version.Set(FullVersion::kSPMajor, -1);
  const int releaseId = ReleaseIdOf(version);
  const int build = version.Get(FullVersion::kBuild);
  const int maxTrans = static_cast<int>(maxTransId);
  m_event.DebugLvl(kTag, 8, "Using release id [%d], build [%d], OS Id [%d] and max media transId "
                            "[%d]",
                   releaseId, build, osId, maxTrans);
  PatchGetDVDStatus record(nullptr);
  record.setValues(releaseId, build, osId, maxTrans);
  unsigned int rc = fetchOneRow(kTag, record,
                                "get DVD status using OS Id [" + std::to_string(osId) +
                                    "] and Max Media Trans Id [" + std::to_string(maxTrans) + "]",
                                true);
  if (rc != KQ_PATCH_OK) return rc;
  const PatchGetDVDStatus_t& row = *record.getDataPtr();
  if (row.oIsDVDInExist == 1) {
    version.Set(FullVersion::kSPMajor, row.oSPMajor);
    version.Set(FullVersion::kSPMinor, row.oSPMinor);
    version.Set(FullVersion::kTransactionId, maxTrans);
    version.Set(FullVersion::kRevisionId, row.oRevisionId);
  }
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetLatestDVDForSP(const std::string& spName,
                                                    FullVersion& version) {
  static const char* kTag = "GetLatestDVDForSP";
  PatchGetLatestDVDForSP record(nullptr);
  record.setValues(spName.c_str());
  int rc = getOneRow(&record, false, -1, 0);
  if (rc != 0 && rc != 100) {
    m_event.Debug(kTag, "Failed to update DVDInfo in DB with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
    return static_cast<unsigned int>(rc);
  }
  if (rc == 100 || record.getDataPtr() == nullptr || record.getDataPtr()->oUpdatedSPXML == nullptr) {
    m_event.Debug(kTag, "Data pointer is empty");
    return KQ_PATCH_E_DB_QUERY;
  }
  const std::string xml = record.getDataPtr()->oUpdatedSPXML;
  UpdatePatches::FullVersion message;
  int decoded = XMLDecoder::unSerialize(message, xml, nullptr);
  if (decoded != 0) {
    m_event.Debug(kTag, "Failed to unserialize XML [%s]", xml.c_str());
    return static_cast<unsigned int>(decoded);
  }
  const CNMessageBase& read = message;  // const: reading never adds the field
  const CNMessageBase* sp = read.getObjectAccessor(UpdatePatches::FullVersion::kSPVersion);
  if (sp == nullptr) {
    m_event.Debug(kTag, "SPVersion is not set in XML [%s]", xml.c_str());
    return static_cast<unsigned int>(rc);
  }
  using UpdatePatches::SPVersion;
  if (sp->isSet(SPVersion::kTransactionId)) {
    const int trans = static_cast<int>(sp->getint64(SPVersion::kTransactionId));
    version.Set(FullVersion::kTransactionId, trans);
    m_event.Debug(kTag, "Set candidate transaction Id to [%d]", trans);
  } else {
    m_event.Debug(kTag, "Transaction Id is not set in XML [%s]", xml.c_str());
  }
  if (sp->isSet(SPVersion::kRevisionId)) {
    const int rev = static_cast<int>(sp->getint64(SPVersion::kRevisionId));
    version.Set(FullVersion::kRevisionId, rev);
    m_event.Debug(kTag, "Set candidate revision Id to [%d]", rev);
  } else {
    m_event.Debug(kTag, "Revision Id is not set in XML [%s]", xml.c_str());
  }
  return static_cast<unsigned int>(rc);
}

}  // namespace nPatchDownload
