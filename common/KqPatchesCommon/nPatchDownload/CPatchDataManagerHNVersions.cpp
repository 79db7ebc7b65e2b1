// Installed versions of the Tessara's clients and the (version, operating system) sides the
// Hubnode's cache holds.
#include <string>

#include "Db/Proc/GetClientBuildAndReleaseInfo.h"
#include "Db/Proc/PatchGetOSes.h"
#include "Db/Proc/simGetClientPackageFullVersion.h"
#include "Db/Proc/simGetFullVersionAndOSInfo.h"
#include "Db/SprocWrapper.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

using UpdatePatches::FullVersion;  // the message; ::FullVersion is the version record

const int kHubnodeClientId = 2;

// The version a FullVersion message carries: its feature release, and its update pack's
// number, transaction id and name when it has one.
::FullVersion VersionOfMessage(const CNMessageBase& message) {
  const CNMessageBase* sp = message.getObjectAccessor(FullVersion::kSPVersion);
  ::FullVersion v = sp != nullptr ? CPatchInstallCommon::GetVersionFromSPVersion(*sp)
                                  : ::FullVersion();
  const CNMessageBase* up = message.getObjectAccessor(FullVersion::kUpdatePack);
  if (up != nullptr) CPatchInstallCommon::SetUPVersionFromUpdatePack(*up, v);
  return v;
}

}  // namespace

unsigned int CPatchDataManagerHN::queryClientVersion(int clientId, ::FullVersion& out) {
  static const char* kTag = "queryClientVersion";
  SimGetClientPackageFullVersion record(nullptr);
  record.setValues(clientId, 0);
  record.setIsolationType(4);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc != 0) return static_cast<unsigned int>(rc);
  const SimGetClientPackageFullVersion_t* row = record.getDataPtr();
  if (row == nullptr || row->o_xmlText == nullptr) {
    m_event.Debug(kTag, "Empty data retrieved");
    return KQ_PATCH_E_DB_QUERY;
  }
  const std::string xml = row->o_xmlText;
  FullVersion message;
  if (XMLDecoder::unSerialize(message, xml, nullptr) != 0) {
    m_event.Debug(kTag, "Failed to unserialize XML [%s]", xml.c_str());
    return KQ_PATCH_E_DB_QUERY;
  }
  const CNMessageBase& read = message;  // const: reading never adds the field
  const CNMessageBase* sp = read.getObjectAccessor(FullVersion::kSPVersion);
  if (sp == nullptr) {
    m_event.Debug(kTag, "SPVersion field is not set in the XML: [%s]", xml.c_str());
    return KQ_PATCH_E_DB_QUERY;
  }
  const CNMessageBase* up = read.getObjectAccessor(FullVersion::kUpdatePack);
  if (up == nullptr) {
    m_event.Debug(kTag, "CumulativeUpdatePackVersion field is not set in the XML: [%s]",
                  xml.c_str());
    return KQ_PATCH_E_DB_QUERY;
  }
  out = CPatchInstallCommon::GetVersionFromSPVersion(*sp);
  out.Set(::FullVersion::kUPNumber,
          static_cast<int>(up->getint64(UpdatePatches::UpdatePack::kNumber)));
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetHubnodeInstalledVersion(::FullVersion& out) {
  static const char* kTag = "GetHubnodeInstalledVersion";
  SimGetClientPackageFullVersion record(nullptr);
  record.setValues(kHubnodeClientId, 0);
  record.setIsolationType(4);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc != 0) {
    m_event.Debug(kTag, "Failed to query Hubnode installed version with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
    return static_cast<unsigned int>(rc);
  }
  const SimGetClientPackageFullVersion_t* row = record.getDataPtr();
  if (row == nullptr || row->o_xmlText == nullptr) {
    m_event.Debug(kTag, "Empty data pointer retrieved.");
    return KQ_PATCH_E_DB_QUERY;
  }
  const std::string xml = row->o_xmlText;
  m_event.DebugLvl(kTag, 8, "XML is [%s]", xml.c_str());
  FullVersion message;
  if (XMLDecoder::unSerialize(message, xml, nullptr) != 0) {
    m_event.Debug(kTag, "Failed to serialize XML string [%s]", xml.c_str());
    return KQ_PATCH_E_DB_QUERY;
  }
  const ::FullVersion v = VersionOfMessage(message);
  m_event.DebugLvl(kTag, 8,
                   "Version Retrived: Rel[%d], Build[%d], SPMajor[%d], SPMinor[%d], TransId[%d], "
                   "RevId[%d], CUNum[%d]",
                   v.Get(0), v.Get(1), v.Get(2), v.Get(3), v.Get(5), v.Get(6), v.Get(8));
  out = v;
  m_event.Debug(kTag,
                "Hubnode Feature Release Info: ReleaseId [%d], Build Id [%d], Highest SP major "
                "[%d] minor [%d] transaction ID [%d] Revision ID [%d] CU [%d_%d]",
                v.Get(0), v.Get(1), v.Get(2), v.Get(3), v.Get(5), v.Get(6), v.Get(8), v.Get(9));
  m_event.DebugLvl(kTag, 8, "V%dB%d %s", v.Get(0), v.Get(1),
                   v.formatted_str(::FullVersion::kFormatFull).c_str());
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetAllowedSPs(std::set<tRetrievalSide>& out) {
  static const char* kTag = "GetAllowedSPs";
  std::string xml;
  {
    SprocWrapper<SimGetFullVersionAndOSInfo, SimGetFullVersionAndOSInfo_t> wrapper(kTag, nullptr);
    wrapper.getCursor()->setIsolationType(4);
    wrapper.getCursor()->setValues();
    int rc = wrapper.getXMLFromCursor(xml, nullptr, false, true);
    if (rc != 0) {
      m_event.Debug(kTag, "Failed to query Installed versions info with error [%d:%s]", rc,
                    wrapper.getErrorString().c_str());
      return static_cast<unsigned int>(rc);
    }
  }
  m_event.Debug(kTag, "Output XML is [%s]", xml.c_str());
  if (xml.empty()) {
    m_event.Debug(kTag, "Empty data pointer retrieved.");
    return KQ_PATCH_E_DB_QUERY;
  }
  UpdatePatches::InstalledVerOs installed;
  if (XMLDecoder::unSerialize(installed, xml, nullptr) != 0) {
    m_event.Debug(kTag, "Failed to serialize XML string [%s]", xml.c_str());
    return KQ_PATCH_E_DB_QUERY;
  }
  const CNMessageBase& all = installed;
  if (!all.isSet(UpdatePatches::InstalledVerOs::kList)) {
    m_event.Debug(kTag, "There is no Available veros");
    m_cuPackConfig.Clear();
    return KQ_PATCH_OK;
  }
  for (const CNMessageBase& entry : *all.getlistobject(UpdatePatches::InstalledVerOs::kList)) {
    const CNMessageBase* message = entry.getObjectAccessor(UpdatePatches::InstalledVersions::kVersion);
    if (message == nullptr) {
      m_event.Debug(kTag, "fullVersion is not set for current CUs, skipping it");
      continue;
    }
    const ::FullVersion v = VersionOfMessage(*message);
    m_event.DebugLvl(kTag, 2,
                     "Installed ServicePack Info: ReleaseId [%d], Build Id [%d], Highest SP major "
                     "[%d] minor [%d] transaction ID [%d] Revision ID [%d] CU [%d_%d]",
                     v.Get(0), v.Get(1), v.Get(2), v.Get(3), v.Get(5), v.Get(6), v.Get(8),
                     v.Get(9));
    if (!entry.isSet(UpdatePatches::InstalledVersions::kList)) {
      // The versions after it still need their media protected: go on with them.
      m_event.Debug(kTag, "No os entries found, exiting");
      continue;
    }
    for (const CNMessageBase& os : *entry.getlistobject(UpdatePatches::InstalledVersions::kList)) {
      if (!os.isSet(UpdatePatches::OSInfo::kField1)) {
        m_event.Debug(kTag, "OS ID is not set in XML [%s], continuing", xml.c_str());
        continue;
      }
      tRetrievalSide side;
      side.osId = static_cast<int>(os.getint64(UpdatePatches::OSInfo::kField1));
      side.mediaVersion = v;
      out.insert(side);
      m_event.DebugLvl(kTag, 8, "Side [%s:%s] installed",
                       v.formatted_str(::FullVersion::kFormatSide).c_str(),
                       CPatchInstallCommon::GetUpdateOSNameFromID(side.osId, false));
    }
  }
  m_event.DebugLvl(kTag, 2, "Successfully retrived installed Releases Information");
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetSidesAlreadyExistInDB(std::set<tRetrievalSide>& out) {
  static const char* kTag = "GetSidesAlreadyExistInDB";
  PatchGetOSes record(nullptr);
  record.setValues(kHubnodeClientId);
  int count = 0;
  for (;;) {
    int rc = getNextRow(&record, &count, -1, 0);
    if (rc == 100) {
      m_event.DebugLvl(kTag, 8, "No more data retrieved.");
      return KQ_PATCH_OK;
    }
    if (rc != 0) {
      m_event.Debug(kTag, "Failed to %s with DB error [%d:%s]",
                    "get already downloaded OSes using client Id [%d]", rc,
                    DBtable::getErrorStr(rc));
      return KQ_PATCH_E_DB_QUERY;
    }
    const PatchGetOSes_t* row = record.getDataPtr();
    if (row == nullptr) {
      m_event.Debug(kTag, "Empty data retrieved");
      return KQ_PATCH_E_DB_QUERY;
    }
    tRetrievalSide side;
    side.osId = row->oOSId;
    side.mediaVersion.Set(::FullVersion::kRelease,
                          CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(row->oRelease));
    side.mediaVersion.Set(::FullVersion::kBuild, row->oBuild);
    side.mediaVersion.Set(::FullVersion::kSPMajor, row->oSPMajor);
    side.mediaVersion.Set(::FullVersion::kSPMinor, row->oSPMinor);
    side.mediaVersion.Set(::FullVersion::kTransactionId, row->oTransactionId);
    side.mediaVersion.Set(::FullVersion::kRevisionId, row->oRevisionId);
    out.insert(side);
    m_event.DebugLvl(kTag, 8, "Get Side [%s:%s] existing in DB",
                     side.mediaVersion.formatted_str(::FullVersion::kFormatSide).c_str(),
                     CPatchInstallCommon::GetUpdateOSNameFromID(side.osId, false));
  }
}

unsigned int CPatchDataManagerHN::GetClientReleaseBuildId(int clientId, int,
                                                          std::string& build) {
  GetClientBuildAndReleaseInfo record(nullptr);
  record.setValues(clientId);
  unsigned int rc = fetchOneRow("GetClientReleaseBuildId", record,
                                "get info for client Id [" + std::to_string(clientId) + "]", true);
  if (rc != KQ_PATCH_OK) return rc;
  build = record.getDataPtr()->buildStr_out;
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
