// The in-memory state of remote-cache synchronisation jobs on the Hubnode.
//
// A sync job runs in several requests. Between them the process keeps, per (job, remote
// client): the remote cache's baseline answer, the transfer lists (the media files of each side
// of the job), the delta lists (media files more than one side needs, per version and platform)
// and the content-delivery download status. The registries below are process-wide, built empty
// when the library is loaded and destroyed at exit; every operation takes the registry's lock
// for its whole body and copies values in and out under it.
//
// Ownership: a job's entries live from the first store until ClearCachedBaselineList (baseline,
// transfer and delta registries) or ClearAkamaiDownloadStatus (download status) for that job.
// The versions and critical sections that CalculateDeltaFilesList makes, and every delta map
// that a later store replaced, belong to the job and are freed by ClearCachedBaselineList: a
// list returned by GetDeltaList therefore stays valid, unchanged by later stores, until its job
// is cleared. Callers that read or change such a list hold csBaselineListLock meanwhile; a
// reader holding it sees the delta and transfer lists of one whole calculation.
#ifndef KQ_COMMON_KQPATCHESCOMMON_SYNCREGISTRIES_H_
#define KQ_COMMON_KQPATCHESCOMMON_SYNCREGISTRIES_H_

#pragma GCC visibility push(default)

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KqCriticalSection.h"
#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"

// Key of every registry: ordered by client id, then job id.
struct JobClientStruct {
  long long jobId = 0;
  int clientId = 0;

  JobClientStruct() = default;
  JobClientStruct(long long job, int client) : jobId(job), clientId(client) {}
  bool operator<(const JobClientStruct& o) const {
    if (clientId != o.clientId) return clientId < o.clientId;
    return jobId < o.jobId;
  }
};

// One entry of a delta or transfer list. flag 1 marks a file another side of the job needs as
// well. lock is shared by the delta entries of one release and platform (null in transfer
// entries); callers use it to transfer a shared file once, the library never takes it.
struct fileNode {
  int flag = 0;
  std::string name;  // the media file's relative path
  KqCriticalSection* lock = nullptr;

  fileNode() = default;
  fileNode(int f, std::string n, KqCriticalSection* l = nullptr)
      : flag(f), name(std::move(n)), lock(l) {}
  bool operator==(const fileNode& o) const { return name == o.name; }
};

namespace nPatchDownload {

// Key of a transfer list: the remote client text, a version (not owned; a null version counts as
// the empty one) and an OS id. Ordered by version (comparison type 3), OS id, then name.
struct RCSyncSide {
  std::string name;
  FullVersion* version = nullptr;
  int osId = 0;

  RCSyncSide() = default;
  RCSyncSide(std::string n, FullVersion* v, int os) : name(std::move(n)), version(v), osId(os) {}
  bool operator<(const RCSyncSide& o) const;
  // The version as a side text ("" parts for a null version).
  std::string VersionText() const;
};

}  // namespace nPatchDownload

// Orders versions by comparison type 1 (release, build, feature release and recut stamps).
struct compareFullVersion {
  bool operator()(const FullVersion& a, const FullVersion& b) const {
    return FullVersion::Compare(FullVersion::kCompareMedia, a, b) < 0;
  }
};

typedef std::list<fileNode> FileNodeList;
typedef std::map<FullVersion, FileNodeList, compareFullVersion> DeltaFileMap;
typedef std::map<nPatchDownload::RCSyncSide, FileNodeList> SideTransferMap;

// Registry OS types of SetDeltaList.
constexpr int kDeltaOSTypeWindows = -2;
constexpr int kDeltaOSTypeUnix = -3;

// The lock of the baseline, transfer and delta registries, defined before them so that it
// outlives them at exit; then the lock of the download-status registry.
extern KqCriticalSection csBaselineListLock;
extern std::map<JobClientStruct, UpdatePatches::CacheOpReq> g_UABaselineRespList;
extern std::map<JobClientStruct, SideTransferMap> RCSideFileTransferList;
extern std::map<JobClientStruct, DeltaFileMap> deltaFileListWin;
extern std::map<JobClientStruct, DeltaFileMap> deltaFileListUnix;
extern KqCriticalSection csAkamaiDownloadStatusLock;
extern std::map<JobClientStruct, UpdatePatches::AkamaiDownloadResp> g_AkamaiDownloadStatus;

// Stores a copy of map under (client, job) in the Windows (-2) or Unix (-3) registry, replacing
// an earlier one (kept by the job, see above); any other OS type stores nothing. Returns 1.
int SetDeltaList(int clientId, long long jobId, int osType, const DeltaFileMap& map);
// The stored delta list of the version, from the Unix registry for a Unix OS id, else the
// Windows one; null when there is none.
FileNodeList* GetDeltaList(int clientId, const FullVersion& version, int osId, long long jobId);
// Stores a copy of map, replacing an earlier one. Returns 1.
int SetTransferList(int clientId, long long jobId, const SideTransferMap& map);
// Copies the side's transfer list into out: 1, or 0 when there is none.
int GetTransferList(int clientId, long long jobId, const nPatchDownload::RCSyncSide& side,
                    FileNodeList& out);
// Adds a copy of the baseline unless the key has one: 1 added, 0 already present.
int AppendCachedBaselineList(int clientId, const UpdatePatches::CacheOpReq& baseline,
                             long long jobId);
// Copies the stored baseline: 1, or 0 when there is none.
int GetCachedBaselineForUA(int clientId, UpdatePatches::CacheOpReq& out, long long jobId);
// Drops the client's baseline, if any. Returns 1.
int InvalidateCachedBaselineForUA(int clientId, long long jobId);
// Drops every baseline, transfer and delta entry of the job, of every client, and frees what
// the job owns. Returns 1.
int ClearCachedBaselineList(long long jobId);

// Stores the status, or merges it into the stored one: counters 1/1 and 2/2 add up, 3/3 and 4/4
// replace. Returns 1.
int SetAkamaiDownloadStatus(long long jobId, int clientId,
                            const UpdatePatches::AkamaiDownloadResp& status);
// Copies the stored status: 1, or 0 when there is none. A final status (3/3 set) is removed by
// the read; otherwise its objects 4/4, 5/5 and 6/6 are, so that each is reported once.
int GetAkamaiDownloadStatus(long long jobId, int clientId, UpdatePatches::AkamaiDownloadResp& out);
// Every status of the job into out's 1/1 (left alone when there is none). Returns 1.
int GetAkamaiDownloadStatusList(long long jobId, UpdatePatches::AkamaiDownloadStatusResp& out);
// Drops every status of the job. Returns 1.
int ClearAkamaiDownloadStatus(long long jobId);

// For CalculateDeltaFilesList: hands over to the job, until ClearCachedBaselineList, the versions
// and critical sections its entries about to be stored point to. Call it holding
// csBaselineListLock, together with the stores, so that no clear comes between.
void KeepForJob(long long jobId, std::vector<std::unique_ptr<FullVersion>> versions,
                std::vector<std::unique_ptr<KqCriticalSection>> sections);

// The details of one remote client for one job, carried through the sync steps. The texts the
// library does not read are only stored. A null RemClientInfo leaves its fields empty.
class LocalAndRemClientDetails {
 public:
  LocalAndRemClientDetails() = default;
  // texts[2] is the source cache folder.
  LocalAndRemClientDetails(unsigned long long jobId, const std::string& text1,
                           const std::string& text2, const std::string& sourceCachePath,
                           const std::string& text4, const std::string& text5,
                           const std::string& text6, const std::string& text7,
                           const std::string& text8, const UpdatePatches::RemClientInfo* info,
                           bool flag);

  unsigned long long m_jobId = 0;
  std::string m_text1;
  std::string m_text2;
  std::string m_sourceCachePath;
  std::string m_text4;
  std::string m_text5;
  std::string m_spare1;
  std::string m_spare2;
  std::string m_remoteClientText;  // RemClientInfo 1/1
  std::string m_text6;
  std::string m_remoteCachePath;  // RemClientInfo 2/5
  std::string m_text7;
  std::string m_text8;
  std::string m_spare3;
  std::string m_spare4;
  std::string m_spare5;
  int m_remoteClientId = 0;  // RemClientInfo tag 9
  int m_remoteOSId = 0;      // RemClientInfo tag 10
  int m_value12 = 0;         // RemClientInfo tag 12
  int m_value11 = 0;         // RemClientInfo tag 11
  unsigned long long m_counter1 = 0;
  unsigned long long m_counter2 = 0;
  int m_flag = 0;
  // Not owned; set by the caller before SetValidSides (null counts as an empty list).
  const UpdatePatches::KQApplianceOSInfoList* m_applianceOSList = nullptr;
  FullVersion m_version;
  unsigned char m_flag1 = 0;
  unsigned char m_flag2 = 0;
};

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_SYNCREGISTRIES_H_
