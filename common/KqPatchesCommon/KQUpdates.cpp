// The update-alert object: construction, destruction and the look-ups its parts share.
#include "KQUpdates.h"

#include <cstring>
#include <new>

#include "Db/Proc/simGetClientPackageFullVersion.h"
#include "Db/TblCommon/simAllVorlanRel.h"
#include "Logging/EvDebug.h"
#include "Messages/MessageXml.h"
#include "Vocabulary.h"

namespace {

constexpr int kRow = 0;
constexpr int kNoRow = 100;
constexpr int kIsolation = 4;
constexpr int kHubnodeClient = 2;

// A FullVersion message's fields into a version; false when a number does not fit its field.
bool VersionFromMessage(const UpdatePatches::FullVersion& message, FullVersion& out) {
  using UpdatePatches::SPVersion;
  using UpdatePatches::UpdatePack;
  static const struct {
    int field;
    KqFieldId id;
  } kSPFields[] = {{FullVersion::kRelease, SPVersion::kField6},
                   {FullVersion::kBuild, SPVersion::kField7},
                   {FullVersion::kSPMajor, SPVersion::kMajor},
                   {FullVersion::kSPMinor, SPVersion::kField2},
                   {FullVersion::kTransactionId, SPVersion::kTransactionId},
                   {FullVersion::kRevisionId, SPVersion::kRevisionId}};
  static const struct {
    int field;
    KqFieldId id;
  } kUPFields[] = {{FullVersion::kUPNumber, UpdatePack::kNumber},
                   {FullVersion::kUPTransactionId, UpdatePack::kField2}};
  FullVersion v;
  auto setAll = [&v](const CNMessageBase* part, const auto& fields) {
    if (part == nullptr) return true;
    for (const auto& f : fields) {
      long long n = part->getint64(f.id);
      if (n < INT32_MIN || n > INT32_MAX || !v.Set(f.field, static_cast<int>(n))) return false;
    }
    return true;
  };
  const CNMessageBase& all = message;
  const CNMessageBase* sp = all.getObjectAccessor(UpdatePatches::FullVersion::kSPVersion);
  const CNMessageBase* up = all.getObjectAccessor(UpdatePatches::FullVersion::kUpdatePack);
  if (!setAll(sp, kSPFields) || !setAll(up, kUPFields)) return false;
  if (up != nullptr && up->isSet(UpdatePack::kField5))
    v.SetStr(FullVersion::kUPFriendlyName, up->getstring(UpdatePack::kField5));
  out = v;
  return true;
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
  SetOSTypesInfo();
}

KQUpdates::~KQUpdates() {
  m_initialized = false;
  delete m_log;
  m_log = nullptr;
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
  int parsed = XMLDecoder::unSerialize(message, row->o_xmlText);
  FullVersion read;
  if (parsed == 0 && !VersionFromMessage(message, read)) parsed = kMsgErrNumber;
  if (parsed != 0) {
    Log().Debug(kTag, "Failed to unserialize xml with error [%d]", parsed);
    return false;
  }
  version = read;
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
