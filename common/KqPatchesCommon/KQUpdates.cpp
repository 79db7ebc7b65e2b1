// The update-alert object: construction, destruction and the look-ups its parts share.
#include "KQUpdates.h"

#include <cstring>
#include <new>

#include "Db/Proc/simGetClientPackageFullVersion.h"
#include "Db/TblCommon/simAllVorlanRel.h"
#include "Logging/EvDebug.h"
#include "MediaAccess/IMediaAccess.h"
#include "PatchesUpdateDbClient/CKqPatchesUpdateDBClient.h"
#include "Messages/MessageXml.h"
#include "Vocabulary.h"
#include "nPatchDownload/CMediaConfiguration.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

constexpr int kRow = 0;
constexpr int kNoRow = 100;
constexpr int kIsolation = 4;
constexpr int kHubnodeClient = 2;

// The version a FullVersion message carries: its feature release and its update pack.
FullVersion VersionOfMessage(const CNMessageBase& message) {
  using nPatchDownload::CPatchInstallCommon;
  const CNMessageBase* sp = message.getObjectAccessor(UpdatePatches::FullVersion::kSPVersion);
  FullVersion v = sp != nullptr ? CPatchInstallCommon::GetVersionFromSPVersion(*sp) : FullVersion();
  const CNMessageBase* up = message.getObjectAccessor(UpdatePatches::FullVersion::kUpdatePack);
  if (up != nullptr) CPatchInstallCommon::SetUPVersionFromUpdatePack(*up, v);
  return v;
}

}  // namespace

bool compareFullVersionLessWOTransId(const FullVersion& a, const FullVersion& b) {
  int c = FullVersion::Compare(FullVersion::kCompareLevel, a, b);
  if (c != 0) return c < 0;
  return a.Get(FullVersion::kUPNumber) < b.Get(FullVersion::kUPNumber);
}

KQUpdates::KQUpdates()
    : m_log(new (std::nothrow) EvDebug(static_cast<EvDebugFileInstance*>(nullptr))),
      m_mediaAccess(nullptr),
      m_hnRelease(0),
      m_hnUpgradeTime(0),
      m_initialized(false),
      m_expectedCacheSpace(0),
      m_hnFound(false),
      m_hnVersion(0),
      m_patchesDbClient(nullptr),
      m_skipSiteSubDirs(false),
      m_visibilityLevel(-1) {
  static const char kTag[] = "KQUpdates";
  SetOSTypesInfo();
  int status = 0;
  nPatchDownload::CPatchDataManagerHN dataManager(m_jobLog, status);
  nPatchDownload::CMediaConfiguration download, hotfixConfig;
  if (dataManager.QueryDownloadConfigs(download, hotfixConfig) != 0) {
    m_jobLog.Debug(kTag, "Failed to get correct configuration for current job.");
    return;
  }
  if (CreateMediaAccess(download, hotfixConfig, m_jobLog, &m_mediaAccess) != 0 ||
      m_mediaAccess == nullptr) {
    m_mediaAccess = nullptr;
    m_jobLog.Debug(kTag, "Failed to create media access object");
  }
}

KQUpdates::~KQUpdates() {
  m_initialized = false;
  delete m_log;
  m_log = nullptr;
  delete m_patchesDbClient;
  m_patchesDbClient = nullptr;
  if (m_mediaAccess != nullptr) DestroyMediaAccess(m_mediaAccess);
  m_mediaAccess = nullptr;
  FreeElements();
}

EvDebug& KQUpdates::Log() {
  thread_local EvDebug fallback;
  return m_log != nullptr ? *m_log : fallback;
}

void KQUpdates::GetRelString(int releaseId, char* buffer) {
  static const char* const kTexts[] = {"5.0.0", "5.9.0", "6.1.0", "7.0.0"};
  if (buffer == nullptr || releaseId < 9 || releaseId > 12) return;
  strcpy(buffer, kTexts[releaseId - 9]);
}

void KQUpdates::FreeElements() {
  FreeElementsInList(m_clientRecords);
  FreeElementsInList(m_highestSPList);
  m_clientIndex.clear();
  m_clientIndexSize = 0;
  m_dvdInfoFile.clear();
}

bool KQUpdates::getHNSPInfo(FullVersion& version) {
  static const char kTag[] = "[getHNSPInfo]";
  SimGetClientPackageFullVersion record(nullptr);
  record.setIsolationType(kIsolation);
  record.setValues(kHubnodeClient, 0);
  int rc = getOneRow(&record, false, -1, 0);
  if (rc != kRow && rc != kNoRow) {
    Log().Debug(kTag, "Failed to get HN SP with error [%d:%s]", rc, DBtable::getErrorStr(rc));
    return false;
  }
  const SimGetClientPackageFullVersion_t* row = record.getDataPtr();
  if (rc == kNoRow || row == nullptr || row->o_xmlText == nullptr || row->o_xmlText[0] == '\0') {
    Log().Debug(kTag, "Empty data retrieved");
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  UpdatePatches::FullVersion message;
  const int parsed = XMLDecoder::unSerialize(message, row->o_xmlText);
  if (parsed != 0) {
    Log().Debug(kTag, "Failed to unserialize xml with error [%d]", parsed);
    return false;
  }
  version = VersionOfMessage(message);
  Log().Debug(kTag, "HN SP Info [%s]", version.formatted_str(FullVersion::kFormatFull).c_str());
  return true;
}

bool KQUpdates::getVersionNameForID(int releaseId, std::string& name) {
  SimAllVorlanRel record(0, nullptr);
  record.setOrderBy("id ASC");
  if (record.openCursor() != kRow) return true;
  while (record.fetchCursor(true) == kRow) {
    const SimAllVorlanRel_t* row = record.getDataPtr();
    if (row->id != releaseId) continue;
    name = row->release;
    name += std::strchr(row->release, '.') != nullptr ? ".0" : ".0.0";
  }
  record.closeCursor();
  return true;
}
