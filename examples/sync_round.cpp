// A remote-cache synchronisation round, call by call, as a service makes it. In the product the
// two ends are two machines and the request handler carries the messages between them; here
// both caches are folders of this machine and the service plays both ends.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ExampleSteps.h"
#include "PortableFiles/SafePath.h"
#include "SyncRegistries.h"
#include "SyncRequestUtils.h"
#include "UpdateUtils.h"

namespace kqexample {
namespace {

using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::CacheOpReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

void Check(bool ok, const char* what, SyncRoundResult& r) {
  if (!ok) r.errors.push_back(what);
}

// The releases and operating systems the remote cache serves: release 15 (10.0.0) and release
// 16 (11.0.0), each for Windows (OS id 1), WinX64 (3), linux-x8664 (16) and sol-sparc (22); of
// release 15 also linux-ppc64 (17).
std::vector<FilesForRel> Request() {
  std::vector<FilesForRel> out;
  for (int release : {15, 16}) {
    FilesForRel rel;
    rel.setint64(FilesForRel::kReleaseId, release);
    for (int os : release == 15 ? std::vector<int>{1, 3, 16, 22, 17} : std::vector<int>{1, 3, 16, 22}) {
      FilesForOS entry;
      entry.setint64(FilesForOS::kOSId, os);
      rel.getlistobject(FilesForRel::kOSList)->push_back(entry);
    }
    out.push_back(rel);
  }
  return out;
}

// The folder, below a cache root, that the names of one list of an operating system are
// relative to.
std::string ListFolder(const std::string& hubCache, const FilesForRel& rel, int os, const KqFieldId& list) {
  const int release = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
  if (release >= 16) {
    const std::string folder = rel.getstring(FilesForRel::kSPFolderName);
    return "KQMedia/" + GetRelNameFromId(release) + (folder.empty() ? "" : "/" + folder) +
           (IsUnix(os) ? "/Unix" : "/Windows");
  }
  const std::string osFolder = "KQUpdates/" + GetRelNameFromId(release) + "/" + GetOSNameFromId(os);
  if (list.tag == FilesForOS::kLooseUpdateFiles.tag) return osFolder + "/" + GetUtypeNameFromId(1);
  if (list.tag == FilesForOS::kSPFiles.tag) {
    _SPVersion highest;
    GetHighestSP(highest, (hubCache + "/" + osFolder + "/" + GetUtypeNameFromId(0)).c_str());
    return osFolder + "/" + GetUtypeNameFromId(0) + "/SP" + highest.ToStr(false);
  }
  return osFolder;
}

// The transfer itself is the service's own work: one file from the Hubnode's cache into the
// remote cache (names from the lists never leave their folder).
void Send(const std::string& hubCache, const std::string& remoteCache, const std::string& folder,
          std::string name, SyncRoundResult& r) {
  namespace fs = std::filesystem;
  UnixPath(name);
  if (!kq::IsSafeRelativeName(name)) {
    r.errors.push_back("refused to send " + name);
    return;
  }
  const std::string rel = (folder.empty() ? "" : folder + "/") + name;
  std::error_code ec;
  fs::create_directories(fs::path(remoteCache + "/" + rel).parent_path(), ec);
  fs::copy_file(hubCache + "/" + rel, remoteCache + "/" + rel, fs::copy_options::overwrite_existing, ec);
  if (ec) r.errors.push_back("cannot send " + rel + ": " + ec.message());
}

}  // namespace

UpdatePatches::KQApplianceOSInfoList RemoteApplianceOSes() {
  UpdatePatches::KQApplianceOSInfoList list;
  for (const auto& [name, type] : std::vector<std::pair<std::string, int>>{
           {"RHEL8", 0}, {"Windows Server 2019", 2}, {"SQL Server 2019", 1}}) {
    UpdatePatches::KQApplianceOSInfo os;
    os.setstring(UpdatePatches::KQApplianceOSInfo::kName, name);
    os.setint64(UpdatePatches::KQApplianceOSInfo::kType, type);
    list.getlistobject(UpdatePatches::KQApplianceOSInfoList::kList)->push_back(os);
  }
  return list;
}

RemClientInfo RemoteCacheInfo(const std::string& remoteCache, int clientId, const std::string& remoteName) {
  RemClientInfo remote;
  remote.setstring(RemClientInfo::kField1, remoteName);
  remote.setint64(RemClientInfo::kField3, clientId);
  remote.setint64(RemClientInfo::kOSId, 16);
  remote.setstring(RemClientInfo::kCachePath, remoteCache);
  remote.setstring(RemClientInfo::kAdditionalSyncPath, remoteCache + "/AddSync");
  return remote;
}

void CompareOnHubnode(const std::string& hubCache, long long job, const RemClientInfo& remote,
                      std::vector<FilesForRel> asked, const CacheOpReq& answer,
                      const AdditionalSyncFilesList& remoteAddSync, const ApplianceFilesInfo& remoteAppliance,
                      SyncRoundResult& r) {
  const int clientId = static_cast<int>(remote.getint64(RemClientInfo::kField3));
  const std::string remoteName = remote.getstring(RemClientInfo::kField1);
  // 2. The answer is kept as the job's baseline of this client.
  Check(AppendCachedBaselineList(clientId, answer, job) == 1, "keep the baseline", r);
  CacheOpReq baseline;
  Check(GetCachedBaselineForUA(clientId, baseline, job) == 1, "read the baseline", r);
  std::vector<FilesForRel> remoteLists;
  for (const CNMessageBase& rel : *baseline.getlistobject(CacheOpReq::kReleases)) remoteLists.emplace_back(rel);

  // 3. What the remote cache should hold, from the Hubnode's cache, its install maps and the
  //    packages asked for, with the additional-sync files and the appliance files of the
  //    appliance operating systems the remote cache serves (one list per main type).
  KQUpdateCache hub(static_cast<unsigned long>(job), true);
  std::vector<FilesForRel> expected;
  std::vector<UpdatePatches::PackageDesc> packages;
  AdditionalSyncFilesList hubAddSync;
  std::map<UpdatePatches::KQApplianceMainOSType, ApplianceFilesInfo> applianceByType;
  UpdatePatches::KQApplianceOSInfoList applianceOS = RemoteApplianceOSes();
  Check(hub.GetCacheFilesFromXML(hubCache, &asked, nullptr, &packages, &expected, remoteName, hubCache + "/AddSync",
                                 &hubAddSync, false, "", &applianceByType, &applianceOS, ""),
        "the Hubnode's expected lists", r);
  ApplianceFilesInfo hubAppliance;
  for (const auto& entry : applianceByType)
    for (const CNMessageBase& f : *entry.second.getlistobject(ApplianceFilesInfo::kFiles))
      hubAppliance.getlistobject(ApplianceFilesInfo::kFiles)->push_back(f);

  // 4. The comparison: files to send, files to delete, and release/OS pairs the Hubnode no
  //    longer has (to drop whole); the same for the additional-sync and appliance lists.
  hub.CompareCacheFiles(expected, remoteLists, r.send, r.del, false, r.drop);
  hub.CompareAdditionalSyncFiles(hubAddSync, remoteAddSync, r.addSend, r.addDel);
  hub.CompareApplianceFiles(hubAppliance, remoteAppliance, r.applSend, r.applDel);

  // 5. What the Hubnode's own cache lacks cannot be sent; the rest becomes the job's delta and
  //    transfer lists per version and side.
  LocalAndRemClientDetails details(static_cast<unsigned long long>(job), "", "", hubCache, "", "", "", "", "",
                                   &remote, false);
  hub.RemoveNonExistentFiles(details, r.send);
  Check(hub.CalculateDeltaFilesList(r.send, details) == 1, "the delta lists", r);
  r.sendCount = hub.CountFilesForRelVec(r.send);
  r.deleteCount = hub.CountFilesForRelVec(r.del);
}

void SendRoundFiles(const std::string& hubCache, const std::string& remoteCache, long long job,
                    const RemClientInfo& remote, SyncRoundResult& r) {
  const int clientId = static_cast<int>(remote.getint64(RemClientInfo::kField3));
  const std::string remoteName = remote.getstring(RemClientInfo::kField1);
  // Media files by the side's transfer list (a side is a version and an operating system)...
  for (const FilesForRel& rel : r.send) {
    FullVersion version;
    if (const CNMessageBase* sp = rel.getObjectAccessor(FilesForRel::kSPVersion))
      version = FullVersion(_SPVersion(static_cast<int>(sp->getint64(UpdatePatches::SPVersion::kMajor)), 0,
                                       static_cast<int>(sp->getint64(UpdatePatches::SPVersion::kTransactionId)),
                                       static_cast<int>(sp->getint64(UpdatePatches::SPVersion::kRevisionId))));
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      if (!os.getlistobject(FilesForOS::kMediaFiles)->empty()) {
        FileNodeList transfer;
        Check(GetTransferList(clientId, job, nPatchDownload::RCSyncSide(remoteName, &version, osId), transfer) == 1,
              "the transfer list of a side", r);
        for (const fileNode& n : transfer)
          Send(hubCache, remoteCache, ListFolder(hubCache, rel, osId, FilesForOS::kMediaFiles), n.name, r);
      }
      // ...the other lists by name...
      for (const KqFieldId* list : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles, &FilesForOS::kInstallerFiles})
        for (const CNMessageBase& f : *os.getlistobject(*list))
          Send(hubCache, remoteCache, ListFolder(hubCache, rel, osId, *list), f.getstring(UpdatePatches::File::kName), r);
    }
  }
  // ...then the additional-sync and appliance files.
  for (const CNMessageBase& f : *r.addSend.getlistobject(AdditionalSyncFilesList::kFiles))
    Send(hubCache, remoteCache, "AddSync", f.getstring(UpdatePatches::File::kName), r);
  for (const CNMessageBase& f : *r.applSend.getlistobject(ApplianceFilesInfo::kFiles))
    Send(hubCache, remoteCache, "", f.getstring(UpdatePatches::File::kName), r);
}

void DeleteOnRemote(long long job, const RemClientInfo& remote, SyncRoundResult& r) {
  CacheOpReq deletion;
  deletion.setObjectAccessor(CacheOpReq::kRemClientInfo, remote);
  std::vector<CNMessageBase> releases(r.del.begin(), r.del.end());
  releases.insert(releases.end(), r.drop.begin(), r.drop.end());
  deletion.setlistobject(CacheOpReq::kReleases, releases);
  deletion.setObjectAccessor(CacheOpReq::kAdditionalSyncFiles, r.addDel);
  deletion.setObjectAccessor(CacheOpReq::kApplianceFiles, r.applDel);
  KQUpdateCache remoteSide(static_cast<unsigned long>(job), false);
  Check(remoteSide.DeleteLocalCacheContents(deletion), "the remote cache's deletion", r);
}

SyncRoundResult RunSyncRound(const std::string& hubCache, const std::string& remoteCache, long long job,
                             int clientId, const std::string& remoteName) {
  SyncRoundResult r;
  // 0. Once per process, before any cache call: the vocabulary of operating systems, update
  //    types and releases (on the Hubnode from its database; a remote cache would call
  //    SetReleasesSupportedOnClient). Without it the cache calls below fail and say so.
  SetOSTypesInfo();
  SetUpdateTypesInfo();
  Check(SetReleasesSupported(), "fill the release table", r);

  // The remote cache as the request names it (RemoteCacheInfo): its name, client id, operating
  // system, cache folder and additional-sync folder.
  const RemClientInfo remote = RemoteCacheInfo(remoteCache, clientId, remoteName);
  std::vector<FilesForRel> asked = Request();

  // 1. On the remote cache: the checksummed lists of what it holds for the releases and
  //    operating systems asked, of its additional-sync folder and of its appliance files.
  CacheOpReq request, answer;
  request.setObjectAccessor(CacheOpReq::kRemClientInfo, remote);
  request.setlistobject(CacheOpReq::kReleases, std::vector<CNMessageBase>(asked.begin(), asked.end()));
  AdditionalSyncFilesList remoteAddSync;
  ApplianceFilesInfo remoteAppliance;
  {
    KQUpdateCache remoteSide(static_cast<unsigned long>(job), false);
    Check(remoteSide.CalculateCheckSumForCacheFiles(request, answer), "the remote cache's answer", r);
    Check(remoteSide.CalculateCheckSumForAdditionalSyncFiles(remoteCache + "/AddSync", remoteAddSync),
          "the remote cache's additional-sync answer", r);
    Check(remoteSide.CalculateCheckSumForApplianceFiles(remoteCache + "/KQAppliance", "KQAppliance/",
                                                        remoteAppliance),
          "the remote cache's appliance answer", r);
  }

  // 2.-5. On the Hubnode (CompareOnHubnode): the answer becomes the job's baseline; what the
  //    remote cache should hold is listed and compared with it; the job's delta and transfer
  //    lists are computed.
  CompareOnHubnode(hubCache, job, remote, asked, answer, remoteAddSync, remoteAppliance, r);

  // 6. The transfer (the service's work, SendRoundFiles): media files by the side's transfer
  //    list, the other lists by name, then the additional-sync and appliance files.
  SendRoundFiles(hubCache, remoteCache, job, remote, r);

  // 7. On the remote cache (DeleteOnRemote): it deletes what it was told to (the files to
  //    delete and the pairs to drop, the additional-sync and appliance files to delete), only
  //    below its configured cache folder ("SoftwareCache"/"dHOME").
  DeleteOnRemote(job, remote, r);

  // 8. On the Hubnode: the job's baseline, delta and transfer lists are dropped.
  Check(ClearCachedBaselineList(job) == 1, "drop the job's lists", r);
  return r;
}

}  // namespace kqexample
