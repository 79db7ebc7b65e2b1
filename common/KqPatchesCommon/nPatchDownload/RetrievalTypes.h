// The vocabulary of a software retrieval job: patch types, the newest-first version order of
// its maps, the parameters of a folder-structure object, and the map types the frame, its
// phases and the components retrievers pass between them.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALTYPES_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALTYPES_H_

#pragma GCC visibility push(default)

#include <map>
#include <memory>
#include <set>
#include <string>

#include "Versions/FullVersion.h"
#include "nPatchDownload/RetrievalSide.h"

namespace KQInstallCommonUtils {
class IFolderStruct;
}

namespace nPatchDownload {

class IComponentsRetrieval;

enum ePatchTypeSupported {
  ePackages = 1,
  eUpdates = 2,
  eCumulativeUpdatePacks = 3,  // maintenance releases
  eAppliancePatches = 101,
};

// Display name of a patch type for log lines; "Unsupported" for any other value.
const char* getComponentsType(int type);

// Newest version first: a before b when FullVersion::Compare kind 1 of (a, b) is 1 or more.
struct compareMediaVersion {
  bool operator()(const FullVersion& a, const FullVersion& b) const {
    return FullVersion::Compare(FullVersion::kCompareMedia, a, b) >= 1;
  }
};

// The parameters one folder-structure object is made from.
struct tFolderStructParam {
  std::string xmlTemplate;                          // message XML of the cache hierarchy
  std::map<std::string, std::string> placeholders;  // MEDIAROOT, VERSION, BUILD, ...
  FullVersion version;
  std::string separator;                            // always "/" here
};

// Side -> its entry, one map per patch type.
typedef std::map<tRetrievalSide, tRetrievalEntry> tRetrievalEntries;
// Side -> its appliance files per appliance operating system.
typedef std::map<tRetrievalSide, tKQApplainceFilesInfo> tApplianceEntries;
// Side -> the folder-structure object of its media (owned as each map's user says).
typedef std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*> tSideFolderMap;
// Full path of a local file -> its CRC, worked out ahead of the checks that use it.
typedef std::map<std::string, unsigned long> tFileChecksums;
// Media version (newest first) -> its sides.
typedef std::map<FullVersion, std::set<tRetrievalSide>, compareMediaVersion> tSupportedSidesMap;
// Media version (newest first) -> the retriever of one patch type for it.
typedef std::map<FullVersion, std::shared_ptr<IComponentsRetrieval>, compareMediaVersion>
    tComponentsRetrievalMap;

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALTYPES_H_
