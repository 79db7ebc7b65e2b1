#include "SyncRegistries.h"

#include <memory>
#include <utility>
#include <vector>

#include "Logging/EvDebug.h"
#include "Vocabulary.h"

using UpdatePatches::AkamaiDownloadResp;
using UpdatePatches::AkamaiDownloadStatusResp;
using UpdatePatches::CacheOpReq;
using UpdatePatches::RemClientInfo;

namespace {

// What a job owns until it is cleared: the versions and critical sections its stored sides and
// delta entries point to, and the delta maps later stores replaced (their lists may still be in
// a caller's hands).
struct JobOwned {
  std::vector<std::unique_ptr<FullVersion>> versions;
  std::vector<std::unique_ptr<KqCriticalSection>> sections;
  std::list<DeltaFileMap> retiredDeltaMaps;
};

}  // namespace

// Definition order matters: each lock before the registries it guards, so that it is destroyed
// after them at exit.
KqCriticalSection csBaselineListLock;
std::map<JobClientStruct, CacheOpReq> g_UABaselineRespList;
std::map<JobClientStruct, SideTransferMap> RCSideFileTransferList;
std::map<JobClientStruct, DeltaFileMap> deltaFileListWin;
std::map<JobClientStruct, DeltaFileMap> deltaFileListUnix;
static std::map<long long, JobOwned> g_jobOwned;  // guarded by csBaselineListLock
KqCriticalSection csAkamaiDownloadStatusLock;
std::map<JobClientStruct, AkamaiDownloadResp> g_AkamaiDownloadStatus;

namespace nPatchDownload {

namespace {
const FullVersion& OrEmpty(const FullVersion* v) {
  static const FullVersion kEmpty;
  return v != nullptr ? *v : kEmpty;
}
}  // namespace

bool RCSyncSide::operator<(const RCSyncSide& o) const {
  int c = FullVersion::Compare(FullVersion::kCompareMediaWithUP, OrEmpty(version),
                               OrEmpty(o.version));
  if (c != 0) return c < 0;
  if (osId != o.osId) return osId < o.osId;
  return name < o.name;
}

std::string RCSyncSide::VersionText() const {
  return OrEmpty(version).formatted_str(FullVersion::kFormatSide);
}

}  // namespace nPatchDownload

namespace {

// The registry operations log on the default log with their name as tag.
EvDebug Log() { return EvDebug(); }

template <typename Map>
void EraseJob(Map& map, long long jobId, const char* tag, const char* what) {
  for (auto it = map.begin(); it != map.end();) {
    if (it->first.jobId != jobId) {
      ++it;
      continue;
    }
    if (what != nullptr)
      Log().DebugLvl(tag, 2, "%s for client =  [%d], jobId [%lld]", what, it->first.clientId,
                     jobId);
    it = map.erase(it);
  }
}

}  // namespace

int SetDeltaList(int clientId, long long jobId, int osType, const DeltaFileMap& map) {
  KqCriticalSectionLock lock(&csBaselineListLock);
  std::map<JobClientStruct, DeltaFileMap>* registry =
      osType == kDeltaOSTypeWindows ? &deltaFileListWin
      : osType == kDeltaOSTypeUnix  ? &deltaFileListUnix
                                    : nullptr;
  if (registry != nullptr) {
    DeltaFileMap& slot = (*registry)[JobClientStruct(jobId, clientId)];
    if (!slot.empty()) {
      // Lists handed out by GetDeltaList stay valid until the job is cleared.
      JobOwned& owned = g_jobOwned[jobId];
      owned.retiredDeltaMaps.emplace_back();
      owned.retiredDeltaMaps.back().swap(slot);
    }
    slot = map;
  }
  Log().DebugLvl("SetDeltaList", 2, "Set delta list for client = [%d] ostype [%d], jobId [%lld]",
                 clientId, osType, jobId);
  return 1;
}

FileNodeList* GetDeltaList(int clientId, const FullVersion& version, int osId, long long jobId) {
  static const char kTag[] = "GetDeltaList";
  KqCriticalSectionLock lock(&csBaselineListLock);
  const bool isUnix = IsUnix(osId);
  std::map<JobClientStruct, DeltaFileMap>& registry = isUnix ? deltaFileListUnix : deltaFileListWin;
  auto it = registry.find(JobClientStruct(jobId, clientId));
  if (it == registry.end() || it->second.empty()) {
    Log().DebugLvl(kTag, 2,
                   isUnix ? "No unix delta list found for client = [%d], jobId [%lld]"
                        : "No windows delta list found for client = [%d], jobId [%lld]",
                   clientId, jobId);
    return nullptr;
  }
  auto v = it->second.find(version);
  if (v == it->second.end()) {
    Log().DebugLvl(kTag, 2, "No delta list found for client = [%d], jobId [%lld]", clientId, jobId);
    return nullptr;
  }
  Log().DebugLvl(kTag, 2, "Delta list found for client = [%d], jobId [%lld]", clientId, jobId);
  return &v->second;
}

int SetTransferList(int clientId, long long jobId, const SideTransferMap& map) {
  KqCriticalSectionLock lock(&csBaselineListLock);
  RCSideFileTransferList[JobClientStruct(jobId, clientId)] = map;
  Log().DebugLvl("SetTransferList", 2, "Transfer list set for client = [%d], jobId [%lld]",
                 clientId, jobId);
  return 1;
}

int GetTransferList(int clientId, long long jobId, const nPatchDownload::RCSyncSide& side,
                    FileNodeList& out) {
  static const char kTag[] = "GetTransferList";
  KqCriticalSectionLock lock(&csBaselineListLock);
  auto it = RCSideFileTransferList.find(JobClientStruct(jobId, clientId));
  if (it != RCSideFileTransferList.end() && !it->second.empty()) {
    auto s = it->second.find(side);
    if (s != it->second.end()) {
      out = s->second;
      Log().DebugLvl(kTag, 2, "Transfer list found for client = [%d], jobId [%lld], [%s:%d]",
                     clientId, jobId, side.VersionText().c_str(), side.osId);
      return 1;
    }
  }
  Log().DebugLvl(kTag, 2, "No transfer list found for client = [%d], jobId [%lld], [%s:%d]",
                 clientId, jobId, side.VersionText().c_str(), side.osId);
  return 0;
}

int AppendCachedBaselineList(int clientId, const CacheOpReq& baseline, long long jobId) {
  static const char kTag[] = "::AppendCachedBaselineList";
  KqCriticalSectionLock lock(&csBaselineListLock);
  if (!g_UABaselineRespList.emplace(JobClientStruct(jobId, clientId), baseline).second) {
    Log().DebugLvl(kTag, 2, "Already existing client = [%d], jobId [%lld]", clientId, jobId);
    return 0;
  }
  Log().DebugLvl(kTag, 2, "Appened client [%d], jobId[%lld] to cached baseline list.", clientId,
                 jobId);
  return 1;
}

int GetCachedBaselineForUA(int clientId, CacheOpReq& out, long long jobId) {
  static const char kTag[] = "::GetCachedBaselineForUA";
  KqCriticalSectionLock lock(&csBaselineListLock);
  auto it = g_UABaselineRespList.find(JobClientStruct(jobId, clientId));
  if (it == g_UABaselineRespList.end()) {
    Log().DebugLvl(kTag, 2, "No cached baseline for client = [%d], jobId [%lld]", clientId, jobId);
    return 0;
  }
  out = it->second;
  Log().DebugLvl(kTag, 2, "Found cached baseline for client = [%d], jobId [%lld]", clientId, jobId);
  return 1;
}

int InvalidateCachedBaselineForUA(int clientId, long long jobId) {
  KqCriticalSectionLock lock(&csBaselineListLock);
  if (g_UABaselineRespList.erase(JobClientStruct(jobId, clientId)) != 0)
    Log().DebugLvl("::InvalidateCachedBaselineForUA", 2,
                   "Invalidated cached baseline for client =  [%d], jobId [%lld]", clientId, jobId);
  return 1;
}

int ClearCachedBaselineList(long long jobId) {
  static const char kTag[] = "::ClearCachedBaselineList";
  KqCriticalSectionLock lock(&csBaselineListLock);
  EraseJob(g_UABaselineRespList, jobId, kTag, "Invalidated cached baseline");
  EraseJob(RCSideFileTransferList, jobId, kTag, "Invalidated Transfer List");
  EraseJob(deltaFileListWin, jobId, kTag, nullptr);
  EraseJob(deltaFileListUnix, jobId, kTag, nullptr);
  g_jobOwned.erase(jobId);  // after the entries that point into it
  Log().DebugLvl(kTag, 1, "Cleared cached baseline list for JobId[%lld]", jobId);
  return 1;
}

void KeepForJob(long long jobId, std::vector<std::unique_ptr<FullVersion>> versions,
                std::vector<std::unique_ptr<KqCriticalSection>> sections) {
  KqCriticalSectionLock lock(&csBaselineListLock);
  JobOwned& owned = g_jobOwned[jobId];
  for (auto& v : versions) owned.versions.push_back(std::move(v));
  for (auto& c : sections) owned.sections.push_back(std::move(c));
}

int SetAkamaiDownloadStatus(long long jobId, int clientId, const AkamaiDownloadResp& status) {
  static const char kTag[] = "SetAkamaiDownloadStatus";
  KqCriticalSectionLock lock(&csAkamaiDownloadStatusLock);
  auto inserted = g_AkamaiDownloadStatus.emplace(JobClientStruct(jobId, clientId), status);
  if (inserted.second) {
    Log().DebugLvl(kTag, 2, "Appened client [%d], jobId[%lld] to cached baseline list.", clientId,
                   jobId);
    return 1;
  }
  AkamaiDownloadResp& stored = inserted.first->second;
  for (const KqFieldId& counter : {AkamaiDownloadResp::kCounter1, AkamaiDownloadResp::kCounter2}) {
    if (status.isSet(counter))
      stored.setint64(counter, stored.getint64(counter) + status.getint64(counter));
  }
  if (status.isSet(AkamaiDownloadResp::kFinalStatus))
    stored.setint64(AkamaiDownloadResp::kFinalStatus,
                    status.getint64(AkamaiDownloadResp::kFinalStatus));
  if (const CNMessageBase* object = status.getObjectAccessor(AkamaiDownloadResp::kObject4))
    stored.setObjectAccessor(AkamaiDownloadResp::kObject4, *object);
  Log().DebugLvl(kTag, 2, "Already existing client = [%d], jobId [%lld]", clientId, jobId);
  return 1;
}

int GetAkamaiDownloadStatus(long long jobId, int clientId, AkamaiDownloadResp& out) {
  static const char kTag[] = "GetAkamaiDownloadStatus";
  KqCriticalSectionLock lock(&csAkamaiDownloadStatusLock);
  auto it = g_AkamaiDownloadStatus.find(JobClientStruct(jobId, clientId));
  if (it == g_AkamaiDownloadStatus.end()) {
    Log().DebugLvl(kTag, 10, "No status found for client = [%d], jobId [%lld]", clientId, jobId);
    return 0;
  }
  Log().DebugLvl(kTag, 10, "Found downloadStatus for client = [%d], jobId [%lld]", clientId, jobId);
  out = it->second;
  if (it->second.isSet(AkamaiDownloadResp::kFinalStatus)) {
    g_AkamaiDownloadStatus.erase(it);
  } else {
    for (const KqFieldId& object :
         {AkamaiDownloadResp::kObject4, AkamaiDownloadResp::kObject5, AkamaiDownloadResp::kObject6})
      it->second.unset(object);
  }
  return 1;
}

int GetAkamaiDownloadStatusList(long long jobId, AkamaiDownloadStatusResp& out) {
  KqCriticalSectionLock lock(&csAkamaiDownloadStatusLock);
  std::vector<CNMessageBase> list;
  for (const auto& entry : g_AkamaiDownloadStatus) {
    if (entry.first.jobId != jobId) continue;
    Log().DebugLvl("GetAkamaiDownloadStatusList", 10,
                   "Found downloadStatus for client = [%d], jobId [%lld]", entry.first.clientId,
                   jobId);
    list.push_back(entry.second);
  }
  if (!list.empty()) out.setlistobject(AkamaiDownloadStatusResp::kList, list);
  return 1;
}

int ClearAkamaiDownloadStatus(long long jobId) {
  KqCriticalSectionLock lock(&csAkamaiDownloadStatusLock);
  for (auto it = g_AkamaiDownloadStatus.begin(); it != g_AkamaiDownloadStatus.end();) {
    if (it->first.jobId != jobId) {
      ++it;
      continue;
    }
    Log().DebugLvl("ClearAkamaiDownloadStatus", 10,
                   "Cleared downloadStatus for client = [%d], jobId [%lld]", it->first.clientId,
                   jobId);
    it = g_AkamaiDownloadStatus.erase(it);
  }
  return 1;
}

LocalAndRemClientDetails::LocalAndRemClientDetails(
    unsigned long long jobId, const std::string& text1, const std::string& text2,
    const std::string& sourceCachePath, const std::string& text4, const std::string& text5,
    const std::string& text6, const std::string& text7, const std::string& text8,
    const RemClientInfo* info, bool flag)
    : m_jobId(jobId),
      m_text1(text1),
      m_text2(text2),
      m_sourceCachePath(sourceCachePath),
      m_text4(text4),
      m_text5(text5),
      m_text6(text6),
      m_text7(text7),
      m_text8(text8),
      m_flag(flag ? 1 : 0) {
  if (info == nullptr) return;
  m_remoteClientText = info->getstring(RemClientInfo::kField1);
  m_remoteCachePath = info->getstring(RemClientInfo::kCachePath);
  m_remoteClientId = static_cast<int>(info->getint64(RemClientInfo::kField3.tag));
  m_remoteOSId = static_cast<int>(info->getint64(RemClientInfo::kOSId.tag));
  m_value12 = static_cast<int>(info->getint64(RemClientInfo::kField6.tag));
  m_value11 = static_cast<int>(info->getint64(RemClientInfo::kField5.tag));
}
