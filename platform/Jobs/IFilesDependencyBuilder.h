// IFilesDependencyBuilder: completes a set of packages with the packages they depend on and
// lists the media files they need, for one operating system and binary set of a media tree.
// A retrieval job gives one to its frame; the concrete retrievers use it. The implementation
// over the package catalogue is nPatchDownload::CFilesDependencyBuilder.
#ifndef KQ_PLATFORM_JOBS_IFILESDEPENDENCYBUILDER_H_
#define KQ_PLATFORM_JOBS_IFILESDEPENDENCYBUILDER_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

#include "Messages/UpdatePatches.h"

class IFilesDependencyBuilder {
 public:
  virtual ~IFilesDependencyBuilder() {}
  // Appends to files the media files (relative to mediaRoot) of packageIds and of every package
  // they depend on, and appends those dependencies to packageIds. No ids: every package.
  // 0 on success; 0x80000010 when the catalogue of mediaRoot cannot be read.
  virtual unsigned int BuildFileList(const std::string& mediaRoot, int osId, int binarySetId,
                                     std::vector<unsigned>& packageIds,
                                     std::vector<UpdatePatches::BinaryV11>& files) = 0;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_JOBS_IFILESDEPENDENCYBUILDER_H_
