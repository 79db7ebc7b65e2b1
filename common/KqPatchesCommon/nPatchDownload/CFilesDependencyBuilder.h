// CFilesDependencyBuilder: the files-dependency builder over the package catalogue of a media
// tree (ComputeKQMedia). Keeps only the job id its catalogue lookups are logged with.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CFILESDEPENDENCYBUILDER_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CFILESDEPENDENCYBUILDER_H_

#pragma GCC visibility push(default)

#include "Jobs/IFilesDependencyBuilder.h"

namespace nPatchDownload {

class CFilesDependencyBuilder : public IFilesDependencyBuilder {
 public:
  explicit CFilesDependencyBuilder(unsigned long jobId) : jobId_(jobId) {}
  unsigned int BuildFileList(const std::string& mediaRoot, int osId, int binarySetId,
                             std::vector<unsigned>& packageIds,
                             std::vector<UpdatePatches::BinaryV11>& files) override;

 private:
  unsigned long jobId_;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CFILESDEPENDENCYBUILDER_H_
