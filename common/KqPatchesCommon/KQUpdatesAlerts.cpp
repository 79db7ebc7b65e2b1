// The update-alert run: one pass finds the clients needing an update or an upgrade, refreshes
// the download center's release information, builds the alert texts (the Feature Release the
// Hubnode could move to and the updates still to download per operating system) and raises up
// to three alerts. The run writes its lines into a log file of its own, lent to the calling
// thread for the length of the run.
#include <cstring>
#include <set>
#include <string>

#include "Alerts/EvAlertEx.h"
#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/PxSleep.h"
#include "Db/Proc/simGetUpdatesNeedsDownload.h"
#include "FileSystemUtils.h"
#include "KQUpdates.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/PxString.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

constexpr int kNoRow = 100;
constexpr int kIsolation = 4;

const char kNewLine[] = "MsgNewLine_";
const char kSleepMarker[] = "/tmp/kqupdates.sleep";
constexpr unsigned kSleepStepMs = 1000;

// Alerts: (category, type).
constexpr int kClientCategory = 26;
constexpr int kUpdateType = 40;
constexpr int kUpgradeType = 39;
constexpr int kDownloadCategory = 24;
constexpr int kDownloadType = 38;

// " [HPK<n>]" after a version whose maintenance release is above 0, else nothing.
std::string HotfixPackNote(const FullVersion& v, const char* after = "") {
  const int number = v.Get(FullVersion::kUPNumber);
  if (number <= 0) return std::string();
  return CPxString::Format(" [HPK{1}]{2}", number, after).str();
}

// The marker holds the run only when whoever may hold the service left it: a regular file (a
// link is not followed) with one name only, owned by root or by this process's user. (A second
// name is another user's hard link to a file of root's.) Another one is ignored with a line,
// which ends the wait, so the line is written once.
bool SleepMarkerHolds(EvDebug& log) {
  SPxFileStat st;
  if (CPxFile::Lstat(kSleepMarker, st).IsError()) return false;
  if (st.IsRegular() && st.nlink == 1 && (st.uid == 0 || st.uid == GetCurrentUserId()))
    return true;
  log.Debug("Initialize",
            "Ignoring [%s]: not a regular file of one link owned by root or user %lu (owner %lu, "
            "mode %o, links %llu)",
            kSleepMarker, GetCurrentUserId(), static_cast<unsigned long>(st.uid),
            static_cast<unsigned>(st.mode), static_cast<unsigned long long>(st.nlink));
  return false;
}

}  // namespace

bool KQUpdates::Initialize(bool gatherClients) {
  if (m_initialized) return true;
  if (m_log == nullptr) return false;
  while (SleepMarkerHolds(Log())) PXSLEEP_InTeRnAl(kSleepStepMs);
  setHNVersion();
  if (gatherClients) GatherClientInfo();
  getVersionNameForID(m_hnVersion, m_hnVersionName);
  if (m_mediaAccess != nullptr) {
    m_initialized = true;
    return true;
  }
  Log().Debug("Initialize", "Media access object is not initialized.");
  return false;
}

int KQUpdates::AlertIfUpdatesNeeded(bool sendAlerts) {
  static const char kTag[] = "[AlertIfUpdatesNeeded]";
  EvDebugFileInstance runLogFile;
  EvDebug runLog(&runLogFile);
  if (!runLog.initialize(&runLogFile, EvDebug::kUpdateAlertLogId, 0, false, "")) return 1;
  // Lent for this run only: the thread has its default log back on every way out.
  ThLvlEvDebugFileInstance lent(&runLogFile);

  FullVersion hnVersion;
  if (!getHNSPInfo(hnVersion)) {
    // Without the installed version every later step would work on release 0.
    Log().Debug(kTag, "Cannot read the Hubnode's installed version, no alert run");
    return 1;
  }
  FullVersion hnWithMR = hnVersion;
  if (!Initialize(sendAlerts)) return 1;

  if (sendAlerts) {
    Log().Debug(kTag, "Computing the client list which needs to be updated and upgraded.");
    if (!GetClientListNeedingUpdate()) Log().Debug(kTag, "Cannot compute client list needing update");
    if (!GetClientListNeedingUpgrade())
      Log().Debug(kTag, "Cannot compute client list needing upgrade");
    Log().Debug(kTag, "Finished Computing the client list which needs to be updated and upgraded.");
  } else {
    Log().DebugLvl(kTag, 10, "Skippng upgrade/update alert sending step");
  }

  m_alertTexts.clear();
  bool configRetrieved = false;
  bool populate = true;
  std::string configXml, configPath, serverFolder, localFolder;
  if (!DownloadFilesFromServer(configRetrieved, populate, hnVersion, configXml, configPath,
                               serverFolder, localFolder))
    Log().Debug(kTag, "Cannot download or populate info/HotfixConfiguration files from server");
  if (populate) {
    if (!PopulateFTPSPInfoTable()) {
      Log().Debug(kTag, "Cannot populate PatchSPVersion table");
    } else if (!PopulateCUInfoTable(hnVersion, serverFolder, localFolder)) {
      Log().Debug(kTag, "Cannot populate PatchUPVersion table");
    }
  }
  if (!BuildStringForSP(hnVersion, hnWithMR))
    Log().Debug(kTag, "Cannot build alert for Feature Release info.");
  if (sendAlerts) {
    if (configRetrieved &&
        !BuildStringForPendingUpdates(hnVersion, hnWithMR, configXml, configPath))
      Log().Debug(kTag, "Cannot build alert string, continuing");
    if (!m_alertTexts.empty()) SendAlerts(true);
  }
  FreeElements();
  return 0;
}

bool KQUpdates::BuildStringForSP(FullVersion& hnVersion, FullVersion& hnWithMR) {
  static const char kTag[] = "BuildStringForSP";
  std::string text = "Current Feature Release installed on Hubnode: [" +
                     hnVersion.formatted_str(FullVersion::kFormatDisplay) + "]" +
                     HotfixPackNote(hnVersion) + kNewLine;
  hnWithMR = hnVersion;

  EvDebugFileInstance dataManagerLog;
  nPatchDownload::CPatchDebug events(dataManagerLog, "AutoInstallServer", 0);
  int status = 0;
  nPatchDownload::CPatchDataManagerHN dataManager(events, status);
  if (status != 0) {
    Log().Debug(kTag, "Failed to create patch data manager object with error [%d]", status);
    return false;
  }
  int delayDays = 0;
  nPatchDownload::CPatchDataManagerHN::GetSPAdditionalDelayDays(Log(), delayDays);
  Log().Debug(kTag, "Query DB using Release [V%dB%d_%s] and delay days [%d]",
              hnVersion.Get(FullVersion::kRelease), hnVersion.Get(FullVersion::kBuild),
              hnVersion.formatted_str(FullVersion::kFormatFull).c_str(), delayDays);

  FullVersion latest;
  FullVersion hubnode = hnVersion;
  if (dataManager.GetLatestServicePackOnDownloadCenter(
          latest, hubnode, static_cast<unsigned long>(delayDays), 4) != 0) {
    Log().Debug(kTag, "Failed to get latest Feature Release in DB");
    return false;
  }
  Log().Debug(kTag, "Latest Feature Release is [V%dB%d_%s]", latest.Get(FullVersion::kRelease),
              latest.Get(FullVersion::kBuild),
              latest.formatted_str(FullVersion::kFormatFull).c_str());
  if (dataManager.GetCUDetails(latest, 1) != 0) {
    Log().Debug(kTag, "Failed to query HotfixPack version using latest Release");
    return false;
  }
  Log().Debug(kTag, "Maintenance Release is [UP%d_%d]", latest.Get(FullVersion::kUPNumber),
              latest.Get(FullVersion::kUPTransactionId));
  if (dataManager.GetCUDetails(hnWithMR, 2) != 0) {
    Log().Debug(kTag, "Failed to query Maintenance Release version using Hubnoed installed "
                      "Feature Release");
    return false;
  }
  Log().Debug(kTag, "Maintenance Release for Hubnode installed Feature Release is [%d]",
              hnWithMR.Get(FullVersion::kUPNumber));
  if (compareFullVersionLessWOTransId(latest, hnVersion)) {
    Log().Debug(kTag, "Version [%s] in database is lower than Version [%s] installed on Hubnode, "
                      "using Hubnode version",
                latest.formatted_str(FullVersion::kFormatFull).c_str(),
                hnVersion.formatted_str(FullVersion::kFormatFull).c_str());
    latest = hnVersion;
  }
  text += "Latest Feature Release available on Download Center: [" +
          latest.formatted_str(FullVersion::kFormatDisplay) + "]" + HotfixPackNote(latest) +
          kNewLine + kNewLine;
  Log().DebugLvl(kTag, 10, "1. Feature Release Alert String is: [%s]", text.c_str());
  if (compareFullVersionLessWOTransId(hnVersion, latest)) {
    Log().DebugLvl(kTag, 10, "Adding Feature Release alert since Hubnode has [%s] and "
                             "downloadcenter has [%s]",
                   hnVersion.formatted_str(FullVersion::kFormatFull).c_str(),
                   latest.formatted_str(FullVersion::kFormatFull).c_str());
    m_featureReleaseAlertText = text;
  } else {
    Log().DebugLvl(kTag, 10, "Hubnode has latest Feature Release [%s] as downloadcenter, not "
                             "sending Feature Release alert",
                   hnVersion.formatted_str(FullVersion::kFormatFull).c_str());
  }
  return true;
}

bool KQUpdates::BuildStringForPendingUpdates(FullVersion& hnVersion, FullVersion& hnWithMR,
                                             std::string& configXml, std::string& configPath) {
  static const char kTag[] = "BuildStringForPendingUpdates";
  const std::string title = "Maintenance Release available for Feature Release installed on "
                            "Hubnode: ";
  const std::string next = std::string("]") + kNewLine;

  unsigned long crc = static_cast<unsigned long>(-1);
  if (nPatchDownload::CPatchInstallCommon::CalculateCRC(true, configPath, crc, m_jobLog) != 0) {
    crc = static_cast<unsigned long>(-1);
    Log().Debug(kTag, "Cannot calculate checksum for [%s], continuing", configPath.c_str());
  }
  // The low 32 bits as a signed number: -1 when no checksum was computed.
  const long long checksum = static_cast<int>(static_cast<unsigned int>(crc));

  SimGetUpdatesNeedsDownload record(nullptr);
  record.setIsolationType(kIsolation);
  record.setValues(hnVersion.Get(FullVersion::kSPMajor), hnVersion.Get(FullVersion::kSPMinor),
                   hnVersion.Get(FullVersion::kTransactionId), configXml.c_str(), checksum,
                   m_visibilityLevel >= 0 ? 1 : 0);

  bool first = true;
  std::set<int> seen;
  std::string all;
  int count = 0;
  int rc;
  while ((rc = getNextRow(&record, &count, -1, 0)) == 0) {
    const SimGetUpdatesNeedsDownload_t* row = record.getDataPtr();
    if (row == nullptr) {
      Log().Debug(kTag, "Data retrieved is empty");
      return false;
    }
    if (row->oUpdatesList[0] == '\0') {
      Log().DebugLvl(kTag, 10, "Pending download updates entry for OS Id [%d] is empty",
                     row->oOSId);
      continue;
    }
    const char* osName = GetOSNameFromId(row->oOSId);
    if (osName == nullptr) {
      Log().Debug(kTag, "Empty OS name retrieved from OSId [%d], skipping current OS", row->oOSId);
      continue;
    }
    std::string head = first ? title + kNewLine : std::string();
    if (seen.insert(row->oOSId).second) {
      if (!first) head += next;
      head += osName;
      head += " :";
      head += HotfixPackNote(hnWithMR, " + ");
    }
    if (!head.empty()) head += "[";
    std::string piece = head + row->oUpdatesList;
    if (first) piece = m_featureReleaseAlertText + piece;
    m_alertTexts.push_back(piece);
    all += piece;
    first = false;
    if (!head.empty()) Log().DebugLvl(kTag, 10, "Title: [%s]", head.c_str());
    Log().DebugLvl(kTag, 10, "Updates: [%s]", piece.c_str());
  }
  if (first && !m_featureReleaseAlertText.empty()) m_alertTexts.push_back(m_featureReleaseAlertText);
  if (rc == kNoRow) {
    if (!first) {
      m_alertTexts.push_back(next);
      all += next;
    }
    Log().DebugLvl(kTag, 10, "2. Updates pending download alert string is: [%s]", all.c_str());
    return true;
  }
  Log().Debug(kTag, "Failed to get data from DB with error [%d:%s]", rc, DBtable::getErrorStr(rc));
  return false;
}

void KQUpdates::SendAlerts(bool includeDownloadAlert) {
  static const char kTag[] = "SendAlerts";
  EvAlertEx alert;
  char release[96];
  std::memset(release, 0, sizeof release);
  GetRelString(m_hnRelease, release);
  alert.setTessaraRelease(release);
  alert.setHNupgradeTime(m_hnUpgradeTime);
  if (!m_updateClientIds.empty()) {
    alert.setClientIdsList(m_updateClientIds);
    alert.sendAlert(kClientCategory, kUpdateType, 0);
    Log().DebugLvl(kTag, 10, "Sending update client Id list alert, size [%zu]",
                   m_updateClientIds.size());
  }
  if (!m_upgradeClientIds.empty()) {
    alert.setClientIdsList(m_upgradeClientIds);
    alert.sendAlert(kClientCategory, kUpgradeType, 0);
    Log().Debug(kTag, "Sending upgrade client Id list alert, size [%zu]", m_upgradeClientIds.size());
  }
  if (includeDownloadAlert && !m_alertTexts.empty()) {
    alert.setUpdatesList(m_alertTexts);
    alert.sendAlert(kDownloadCategory, kDownloadType, 0);
    Log().Debug(kTag, "Sending download alert, size [%zu]", m_alertTexts.size());
  }
}
