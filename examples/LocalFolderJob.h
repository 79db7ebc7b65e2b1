// LocalFolderJob: the smallest retrieval job a service writes, fetching the packages of one
// feature release from a folder of this machine into its software cache.
//
// The library's retrieval frame (CSoftwareRetrieval) runs the phases; a concrete job says which
// sides (media version and operating system) it serves and makes one retriever per media
// version, and the retriever says which files of a side are missing and fetches them. Here the
// files of a side are the regular files below "<media folder>/<the os's folder>" of the source
// folder, and a file is missing when the cache lacks it or holds it with another size. The fetch goes
// through the job's media access, whose record names the source folder as its server (a server
// name that begins with "/" is a copy source). Only packages are served: no updates, no
// maintenance releases, no appliance files.
//
// The caller owns the collaborators (job object, event sink, data manager, policy, dependency
// builder, pools, media access) and keeps them beyond the job; the job owns its retrievers.
// Copy this file and its .cpp out of examples/: it includes installed headers only.
#ifndef KQ_EXAMPLES_LOCALFOLDERJOB_H_
#define KQ_EXAMPLES_LOCALFOLDERJOB_H_

#include <map>
#include <string>

#include "MediaAccess/IMediaAccess.h"
#include "nPatchDownload/CSoftwareRetrieval.h"

namespace kqexample {

class LocalFolderJob : public nPatchDownload::CSoftwareRetrieval {
 public:
  // version: the feature release served; mediaFolder: its folder relative to both the source
  // folder and cacheRoot (e.g. "KQMedia/11.0.0"); osFolders: its operating systems, each with
  // its folder below mediaFolder (e.g. 16 -> "Unix").
  LocalFolderJob(IPatchJobObject& jobObject, nPatchDownload::IPatchEvent& event,
                 nPatchDownload::IPatchDataManager& dataManager,
                 nPatchDownload::CPolicyProvider& policy, IFilesDependencyBuilder& builder,
                 IPatchThreadPool& checkFilePool, IPatchThreadPool& getFilePool,
                 IMediaAccess& mediaAccess, const FullVersion& version,
                 const std::string& cacheRoot, const std::string& mediaFolder,
                 std::map<int, std::string> osFolders);

  // The sides the frame asks about: the feature release on each operating system, packages only.
  unsigned int GetSupportedSides(nPatchDownload::tSupportedSidesMap& packages,
                                 nPatchDownload::tSupportedSidesMap& updates,
                                 nPatchDownload::tSupportedSidesMap& maintenanceReleases) override;
  // One retriever per media version of a patch type.
  unsigned int CreateComponentsRetrievals(int type, nPatchDownload::tSupportedSidesMap& sides) override;
  // No Unix appliance files: an empty list.
  unsigned int LoadUnixApplianceFilesInfo(nPatchDownload::tKQApplainceFilesInfo& files) override;

 private:
  friend class LocalFolderRetrieval;
  FullVersion version_;
  std::string mediaFolder_;
  std::map<int, std::string> osFolders_;
};

}  // namespace kqexample

#endif  // KQ_EXAMPLES_LOCALFOLDERJOB_H_
