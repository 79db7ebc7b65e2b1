// A remote-cache synchronisation round, the road of the library that a service walks between a
// Hubnode and a remote cache, written out call by call (sync_round.cpp). main_road.cpp makes its
// data and prints what it did; the download job is declared in DownloadJob.h. This header and
// sync_round.cpp include installed headers only.
#ifndef KQ_EXAMPLES_EXAMPLESTEPS_H_
#define KQ_EXAMPLES_EXAMPLESTEPS_H_

#include <map>
#include <string>
#include <vector>

#include "KQUpdateCache.h"

namespace kqexample {

// What one synchronisation round decided and did.
struct SyncRoundResult {
  std::vector<UpdatePatches::FilesForRel> send, del, drop;  // per release and operating system
  UpdatePatches::AdditionalSyncFilesList addSend, addDel;
  UpdatePatches::ApplianceFilesInfo applSend, applDel;
  unsigned long long sendCount = 0, deleteCount = 0;
  std::vector<std::string> errors;  // the steps that failed, in words
};

// The appliance operating systems the example's remote cache serves, one of each main type
// (Unix "RHEL8", Windows "Windows Server 2019", database "SQL Server 2019").
UpdatePatches::KQApplianceOSInfoList RemoteApplianceOSes();

// One round between a Hubnode cache and a remote cache on this machine, the service acting for
// both ends: `job` is the round's job id, `clientId` and `remoteName` the remote cache's.
SyncRoundResult RunSyncRound(const std::string& hubCache, const std::string& remoteCache,
                             long long job, int clientId, const std::string& remoteName);

// The parts of RunSyncRound that a round with another kind of answer makes the same way (the
// tests' whole-cache round uses them). The remote cache's client id and name are `remote`'s.

// The remote cache as a request names it.
UpdatePatches::RemClientInfo RemoteCacheInfo(const std::string& remoteCache, int clientId,
                                             const std::string& remoteName);

// Steps 2 to 5, on the Hubnode: `answer` (the remote cache's lists for `asked`) becomes the job's
// baseline, the remote cache's expected lists are compared with it and with the remote
// additional-sync and appliance lists, and the job's delta and transfer lists are computed.
void CompareOnHubnode(const std::string& hubCache, long long job, const UpdatePatches::RemClientInfo& remote,
                      std::vector<UpdatePatches::FilesForRel> asked, const UpdatePatches::CacheOpReq& answer,
                      const UpdatePatches::AdditionalSyncFilesList& remoteAddSync,
                      const UpdatePatches::ApplianceFilesInfo& remoteAppliance, SyncRoundResult& r);

// Step 6: copies what `r` says to send from the Hubnode's cache into the remote cache.
void SendRoundFiles(const std::string& hubCache, const std::string& remoteCache, long long job,
                    const UpdatePatches::RemClientInfo& remote, SyncRoundResult& r);

// Step 7: the remote cache deletes what `r` says to delete and drop.
void DeleteOnRemote(long long job, const UpdatePatches::RemClientInfo& remote, SyncRoundResult& r);

}  // namespace kqexample

#endif  // KQ_EXAMPLES_EXAMPLESTEPS_H_
