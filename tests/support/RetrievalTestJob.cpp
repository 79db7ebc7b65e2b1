#include "RetrievalTestJob.h"

#include <sys/stat.h>

#include "InstallUtils/IFolderStruct.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace kqtest {

using namespace nPatchDownload;

TestComponentsRetrieval::TestComponentsRetrieval(std::set<tRetrievalSide> sides,
                                                 KQInstallCommonUtils::IFolderStruct* localFolders,
                                                 IMediaAccess& media)
    : sides_(std::move(sides)), localFolders_(localFolders), media_(media) {}

TestComponentsRetrieval::~TestComponentsRetrieval() {
  KQInstallCommonUtils::DestroyFolderStructReader(localFolders_);
}

unsigned int TestComponentsRetrieval::GetFile(const tRetrievalSide&, const std::string& baseFolder,
                                              unsigned long long, const tFileList& pending,
                                              tGuarded<tFileList> retrieved,
                                              tGuarded<unsigned long long> filesCount,
                                              tGuarded<unsigned long long> bytesTotal,
                                              tRetrievalEntries&, tRetrievalEntries&,
                                              tRetrievalEntry&, bool) {
  for (const UpdatePatches::BinaryV11& file : pending) {
    const std::string rel = file.getstring(UpdatePatches::BinaryV11::kRelativePath);
    const std::string local = baseFolder + "/" + rel;
    const unsigned int rc = media_.GetFile(rel, local, 1);
    if (rc != 0) return rc;
    struct stat st;
    const unsigned long long size = stat(local.c_str(), &st) == 0 ? st.st_size : 0;
    {
      std::lock_guard<std::mutex> lock(*retrieved.first);
      retrieved.second->push_back(file);
    }
    {
      std::lock_guard<std::mutex> lock(*filesCount.first);
      ++*filesCount.second;
    }
    std::lock_guard<std::mutex> lock(*bytesTotal.first);
    *bytesTotal.second += size;
  }
  return 0;
}

unsigned int TestRetrievalJob::CreateComponentsRetrievals(int type, tSupportedSidesMap& sides) {
  tComponentsRetrievalMap& map = getSupportedRetrievals(type);
  for (const auto& v : sides) {
    tFolderStructParam params;
    IComponentsRetrieval::fillInFolderStructParams(
        params, v.first, m_localCacheTemplate, m_mediaAccess.GetMediaConfiguration().GetLocalCache(),
        "/");
    KQInstallCommonUtils::IFolderStruct* folders = nullptr;
    const unsigned int rc = IComponentsRetrieval::ConstructFolderStructObjects(params, folders, m_event);
    if (rc != 0 || folders == nullptr) return rc != 0 ? rc : KQ_PATCH_E_NOT_BUILT;
    map[v.first] = std::make_shared<TestComponentsRetrieval>(v.second, folders, m_mediaAccess);
  }
  return 0;
}

unsigned int TestRetrievalJob::GetSupportedSides(tSupportedSidesMap& p, tSupportedSidesMap& u,
                                                 tSupportedSidesMap& m) {
  ++supportedSidesCalls;
  p = packages;
  u = updates;
  m = maintenanceReleases;
  return supportedSidesResult;
}

}  // namespace kqtest
