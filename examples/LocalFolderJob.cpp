#include "LocalFolderJob.h"

#include <filesystem>
#include <memory>
#include <set>
#include <mutex>
#include <string>
#include <system_error>

#include "InstallUtils/IFolderStruct.h"
#include "nPatchDownload/IComponentsRetrieval.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace kqexample {

using namespace nPatchDownload;
namespace fs = std::filesystem;

// The retriever of one media version: lists, checks and fetches the files of its sides. Owns
// its folder-structure object; the job outlives it.
class LocalFolderRetrieval : public IComponentsRetrieval {
 public:
  LocalFolderRetrieval(LocalFolderJob& job, std::set<tRetrievalSide> sides,
                       KQInstallCommonUtils::IFolderStruct* folders)
      : job_(job), sides_(std::move(sides)), folders_(folders) {}
  ~LocalFolderRetrieval() override { KQInstallCommonUtils::DestroyFolderStructReader(folders_); }

  // Lists the side's files (computed, processed) and, as pending, those the cache lacks or
  // holds with another size; each pending file takes its size off the free space.
  unsigned int CheckFile(const tRetrievalSide& side, tGuarded<tFileList> pending,
                         tGuarded<tFileList> processed, tFileList& computed,
                         tGuarded<unsigned long long> freeSpaceKB, bool& reDownloadExisting,
                         tGuarded<std::set<std::string>>, tRetrievalEntry& entry) override {
    reDownloadExisting = false;
    const auto os = job_.osFolders_.find(side.osId);
    if (os == job_.osFolders_.end()) return 0;  // not an operating system of this job
    const std::string folder = job_.mediaFolder_ + "/" + os->second;
    const fs::path source = fs::path(job_.m_mediaAccess.GetMediaConfiguration().GetServerName()) / folder;
    std::error_code walk, ec;
    for (fs::recursive_directory_iterator it(source, walk), end; !walk && it != end; it.increment(walk)) {
      if (!it->is_regular_file(ec)) continue;
      if (job_.m_jobObject.IsInterrupted()) return KQ_PATCH_E_INTERRUPTED;
      const std::string name = folder + "/" + fs::relative(it->path(), source, ec).string();
      UpdatePatches::BinaryV11 record;
      record.setstring(UpdatePatches::BinaryV11::kRelativePath, name);
      computed.push_back(record);
      const std::uintmax_t size = it->file_size(ec);
      std::error_code missing;
      const bool present = fs::file_size(fs::path(job_.m_localCacheRoot) / name, missing) == size;
      {
        std::lock_guard<std::mutex> lock(*processed.first);
        processed.second->push_back(record);
      }
      if (present && !missing) continue;
      std::lock_guard<std::mutex> lock(*freeSpaceKB.first);
      const unsigned long long needKB = (size + 1023) / 1024;
      if (*freeSpaceKB.second < needKB) {
        entry.status = KQ_PATCH_E_DISK_SPACE;
        continue;
      }
      *freeSpaceKB.second -= needKB;
      std::lock_guard<std::mutex> pendingLock(*pending.first);
      pending.second->push_back(record);
    }
    return walk ? static_cast<unsigned int>(KQ_PATCH_E_FILE_IO) : 0u;
  }

  // Fetches each pending file straight into the cache (media access writes it beside its
  // target and renames it only when complete) and counts what arrived.
  unsigned int GetFile(const tRetrievalSide&, const std::string&, unsigned long long,
                       const tFileList& pending, tGuarded<tFileList> retrieved,
                       tGuarded<unsigned long long> filesCount, tGuarded<unsigned long long> bytesTotal,
                       tRetrievalEntries&, tRetrievalEntries&, tRetrievalEntry&, bool) override {
    for (const UpdatePatches::BinaryV11& record : pending) {
      if (job_.m_jobObject.IsInterrupted()) return KQ_PATCH_E_INTERRUPTED;
      const std::string name = record.getstring(UpdatePatches::BinaryV11::kRelativePath);
      const std::string target = job_.m_localCacheRoot + "/" + name;
      if (job_.m_mediaAccess.GetFile(name, target, 0) != 0) continue;  // the side is marked failed
      std::error_code ec;
      const unsigned long long size = fs::file_size(target, ec);
      std::lock_guard<std::mutex> a(*retrieved.first), b(*filesCount.first), c(*bytesTotal.first);
      retrieved.second->push_back(record);
      ++*filesCount.second;
      *bytesTotal.second += ec ? 0 : size;
    }
    return 0;
  }

  // No seed files (release-information files) to fetch first.
  unsigned int GetSeedFiles(IMediaAccess&, std::string&, std::string&) override { return 0; }
  // The sides this retriever serves.
  const std::set<tRetrievalSide>& GetSides() override { return sides_; }
  // No installer files beside the packages.
  unsigned int GetInstallerFiles(const std::string&, IMediaAccess&, int) override { return 0; }
  // Nothing to do once a side's files arrived.
  unsigned int PostGetFileOperation(const tRetrievalSide&, tRetrievalEntries&) override { return 0; }
  // The cache's folder structure for this media version (the frame reads the sides' folders).
  KQInstallCommonUtils::IFolderStruct* GetLocalFolderStruct() override { return folders_; }
  // No root files of the media to patch.
  unsigned int DoRootFilesPatching(const tRetrievalSide&) override { return 0; }
  // A copy job may change the succeeded updates; this job serves none.
  void AdjustSucceededUpdatesForCopy(tSideFolderMap&) override {}

 private:
  LocalFolderJob& job_;
  std::set<tRetrievalSide> sides_;
  KQInstallCommonUtils::IFolderStruct* folders_;
};

LocalFolderJob::LocalFolderJob(IPatchJobObject& jobObject, IPatchEvent& event, IPatchDataManager& dataManager,
                               CPolicyProvider& policy, IFilesDependencyBuilder& builder,
                               IPatchThreadPool& checkFilePool, IPatchThreadPool& getFilePool,
                               IMediaAccess& mediaAccess, const FullVersion& version,
                               const std::string& cacheRoot, const std::string& mediaFolder,
                               std::map<int, std::string> osFolders)
    : CSoftwareRetrieval(jobObject, event, dataManager, policy, builder, checkFilePool, getFilePool,
                         mediaAccess),
      version_(version), mediaFolder_(mediaFolder), osFolders_(std::move(osFolders)) {
  // The frame keeps appliance files below the cache root and the media below the media root;
  // the cache's folder hierarchy is the library's default one.
  m_localCacheRoot = cacheRoot;
  m_localMediaRoot = cacheRoot + "/" + mediaFolder;
  m_localCacheTemplate = KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1);
}

unsigned int LocalFolderJob::GetSupportedSides(tSupportedSidesMap& packages, tSupportedSidesMap& updates,
                                               tSupportedSidesMap& maintenanceReleases) {
  packages.clear();
  updates.clear();
  maintenanceReleases.clear();
  std::set<int> osIds;
  for (const auto& os : osFolders_) osIds.insert(os.first);
  generateSupportedMap(version_, {}, osIds, packages);
  return 0;
}

unsigned int LocalFolderJob::CreateComponentsRetrievals(int type, tSupportedSidesMap& sides) {
  tComponentsRetrievalMap& map = getSupportedRetrievals(type);
  for (const auto& version : sides) {
    tFolderStructParam params;
    IComponentsRetrieval::fillInFolderStructParams(params, version.first, m_localCacheTemplate,
                                                   m_localCacheRoot, "/");
    KQInstallCommonUtils::IFolderStruct* folders = nullptr;
    const unsigned int rc = IComponentsRetrieval::ConstructFolderStructObjects(params, folders, m_event);
    if (rc != 0 || folders == nullptr) return rc != 0 ? rc : KQ_PATCH_E_NOT_BUILT;
    map[version.first] = std::make_shared<LocalFolderRetrieval>(*this, version.second, folders);
  }
  return 0;
}

unsigned int LocalFolderJob::LoadUnixApplianceFilesInfo(tKQApplainceFilesInfo& files) {
  files.clear();
  return 0;
}

}  // namespace kqexample
