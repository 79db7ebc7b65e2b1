#include "nPatchDownload/CFilesDependencyBuilder.h"

#include "PackageCache.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

unsigned int CFilesDependencyBuilder::BuildFileList(const std::string& mediaRoot, int osId,
                                                    int binarySetId,
                                                    std::vector<unsigned>& packageIds,
                                                    std::vector<UpdatePatches::BinaryV11>& files) {
  return ComputeKQMedia(mediaRoot, osId, binarySetId, jobId_, packageIds, files, true)
             ? KQ_PATCH_OK
             : KQ_PATCH_E_FILE_IO;
}

}  // namespace nPatchDownload
