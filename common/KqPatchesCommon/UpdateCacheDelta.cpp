// The delta and transfer lists of a sync job's to-send list, and the sides that need nothing.
#include <memory>
#include <set>
#include <string>
#include <unordered_set>

#include "KQUpdateCache.h"
#include "SyncRegistries.h"
#include "Vocabulary.h"

using UpdatePatches::BinaryV11;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::KQApplianceOSInfo;
using UpdatePatches::KQApplianceOSInfoList;
using UpdatePatches::SPVersion;

namespace {

// The delta maps of one calculation, one per platform, with the names each list holds.
struct PlatformDelta {
  DeltaFileMap lists;
  std::map<FullVersion, std::unordered_set<std::string>, compareFullVersion> names;
};

FullVersion ReleaseVersion(const FilesForRel& rel) {
  const CNMessageBase* sp = rel.getObjectAccessor(FilesForRel::kSPVersion);
  if (sp == nullptr) return FullVersion(_SPVersion());
  return FullVersion(_SPVersion(static_cast<int>(sp->getint64(SPVersion::kMajor)), 0,
                                static_cast<int>(sp->getint64(SPVersion::kTransactionId)),
                                static_cast<int>(sp->getint64(SPVersion::kRevisionId))));
}

void LogList(EvDebug& log, long long jobId, const FileNodeList& list) {
  int n = 0;
  for (const fileNode& node : list)
    log.DebugJob(10, "CalculateDeltaFilesList", jobId, "%d. %s = %d", ++n, node.name.c_str(),
                 node.flag);
}

}  // namespace

int KQUpdateCache::CalculateDeltaFilesList(std::vector<FilesForRel>& toSend,
                                           LocalAndRemClientDetails& details) {
  const long long job = static_cast<long long>(details.m_jobId);
  SideTransferMap transfer;
  PlatformDelta delta[2];  // [0] Windows, [1] Unix
  std::unordered_set<std::string> seen;
  // Made here and handed to the job with the stores: stored sides and delta entries point to
  // them until the job is cleared.
  std::vector<std::unique_ptr<FullVersion>> versions;
  std::vector<std::unique_ptr<KqCriticalSection>> sections;

  for (const FilesForRel& rel : toSend) {
    versions.push_back(std::make_unique<FullVersion>(ReleaseVersion(rel)));
    FullVersion* version = versions.back().get();
    KqCriticalSection* releaseSections[2];  // Windows, Unix
    for (KqCriticalSection*& section : releaseSections) {
      sections.push_back(std::make_unique<KqCriticalSection>());
      section = sections.back().get();
    }
    for (PlatformDelta& d : delta) {
      d.lists.emplace(*version, FileNodeList());
      d.names.emplace(*version, std::unordered_set<std::string>());
    }
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      const int platform = IsUnix(osId) ? 1 : 0;
      FileNodeList& sideList =
          transfer[nPatchDownload::RCSyncSide(details.m_remoteClientText, version, osId)];
      FileNodeList& deltaList = delta[platform].lists.find(*version)->second;
      std::unordered_set<std::string>& deltaNames = delta[platform].names.find(*version)->second;
      for (const CNMessageBase& file : *os.getlistobject(FilesForOS::kMediaFiles)) {
        const std::string& name = file.getstringByRef(BinaryV11::kRelativePath);
        fileNode entry(0, name);
        if (!seen.insert(name).second) {
          entry.flag = 1;
          if (deltaNames.insert(name).second)
            deltaList.emplace_back(0, name, releaseSections[platform]);
        }
        sideList.push_back(std::move(entry));
      }
    }
  }

  // An earlier side of the same version and platform that met a shared file first is marked too.
  for (auto& side : transfer) {
    const PlatformDelta& d = delta[IsUnix(side.first.osId) ? 1 : 0];
    auto names = d.names.find(*side.first.version);
    if (names == d.names.end() || names->second.empty()) continue;
    for (fileNode& node : side.second)
      if (names->second.count(node.name) != 0) node.flag = 1;
  }

  // Logged before the stores: once stored, the versions are the job's and a clear may free them.
  if (m_event.GetDebugLevel() >= 10) {
    for (const auto& side : transfer) {
      m_event.DebugJob(10, "CalculateDeltaFilesList", m_jobId, "Transfer list for %s [%s:%d]  =========",
                       side.first.name.c_str(), side.first.VersionText().c_str(), side.first.osId);
      LogList(m_event, m_jobId, side.second);
    }
    for (const PlatformDelta& d : delta) {
      for (const auto& entry : d.lists) {
        m_event.DebugJob(10, "CalculateDeltaFilesList", m_jobId, "Delta list for [%d] [%s]  =========",
                         details.m_remoteClientId, entry.first.formatted_str(FullVersion::kFormatSide).c_str());
        LogList(m_event, m_jobId, entry.second);
      }
    }
  }
  const int client = details.m_remoteClientId;
  {
    // One lock across the three stores: a reader holding it sees one whole calculation.
    KqCriticalSectionLock lock(&csBaselineListLock);
    KeepForJob(job, std::move(versions), std::move(sections));
    SetDeltaList(client, job, kDeltaOSTypeUnix, delta[1].lists);
    SetDeltaList(client, job, kDeltaOSTypeWindows, delta[0].lists);
    SetTransferList(client, job, transfer);
  }
  return 1;
}

namespace {

// True when some release of list has rel's id and folder name and, for osId, media files.
bool HasMediaFor(const std::vector<FilesForRel>& list, const FilesForRel& rel, long long osId) {
  const long long relId = rel.getint64(FilesForRel::kReleaseId);
  const std::string& folder = rel.getstringByRef(FilesForRel::kSPFolderName);
  for (const FilesForRel& other : list) {
    if (other.getint64(FilesForRel::kReleaseId) != relId) continue;
    if (other.getstringByRef(FilesForRel::kSPFolderName) != folder) continue;
    for (const CNMessageBase& os : *other.getlistobject(FilesForRel::kOSList)) {
      if (os.getint64(FilesForOS::kOSId) == osId &&
          !os.getlistobject(FilesForOS::kMediaFiles)->empty())
        return true;
    }
  }
  return false;
}

bool HasApplianceFiles(
    const std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>& map,
    long long type) {
  auto it = map.find(static_cast<UpdatePatches::KQApplianceMainOSType>(type));
  return it != map.end() &&
         !it->second.getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles)->empty();
}

}  // namespace

int KQUpdateCache::SetValidSides(
    const std::vector<FilesForRel>& first, const std::vector<FilesForRel>& candidates,
    const std::vector<FilesForRel>& third,
    const std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>&
        applianceA,
    const std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>&
        applianceB,
    const LocalAndRemClientDetails& details, UpdatePatches::CacheSyncRsp& response) {
  static const char kTag[] = "SetValidSides";
  std::vector<CNMessageBase> validReleases;
  for (const FilesForRel& rel : candidates) {
    std::vector<CNMessageBase> valid;
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      const long long osId = os.getint64(FilesForOS::kOSId);
      if (HasMediaFor(first, rel, osId) || HasMediaFor(third, rel, osId)) continue;
      m_event.DebugJob(1, kTag, m_jobId, "Added [%s] OS [%d] to valid side",
                       rel.getstringByRef(FilesForRel::kSPFolderName).c_str(),
                       static_cast<int>(osId));
      valid.push_back(os);
    }
    if (valid.empty()) continue;
    FilesForRel out;
    out.setint64(FilesForRel::kReleaseId, rel.getint64(FilesForRel::kReleaseId));
    out.setstring(FilesForRel::kSPFolderName, rel.getstringByRef(FilesForRel::kSPFolderName));
    out.setlistobject(FilesForRel::kOSList, valid);
    if (const CNMessageBase* sp = rel.getObjectAccessor(FilesForRel::kSPVersion))
      out.setObjectAccessor(FilesForRel::kSPVersion, *sp);
    validReleases.push_back(std::move(out));
  }
  if (!validReleases.empty()) response.setlistobject(UpdatePatches::CacheSyncRsp::kValidSides, validReleases);

  std::vector<CNMessageBase> validAppliance;
  if (details.m_applianceOSList != nullptr) {
    for (const CNMessageBase& os : *details.m_applianceOSList->getlistobject(KQApplianceOSInfoList::kList)) {
      const long long type = os.getint64(KQApplianceOSInfo::kType);
      if (HasApplianceFiles(applianceA, type) || HasApplianceFiles(applianceB, type)) continue;
      m_event.DebugJob(1, kTag, m_jobId, "Added Appliance OS [%s] wint MainOSType [%d] to valid list",
                       os.getstringByRef(KQApplianceOSInfo::kName).c_str(), static_cast<int>(type));
      validAppliance.push_back(os);
    }
  }
  if (!validAppliance.empty()) {
    KQApplianceOSInfoList list;
    list.setlistobject(KQApplianceOSInfoList::kList, validAppliance);
    response.setObjectAccessor(UpdatePatches::CacheSyncRsp::kApplianceOSList, list);
  }
  return 1;
}
