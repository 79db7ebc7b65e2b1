// The small records that retrieval and cache maintenance keep in ordered
// containers: one side of a retrieval (an operating system at a media
// version), the files a side needs, and the context of a walk over
// service-pack folders.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALSIDE_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALSIDE_H_

#pragma GCC visibility push(default)

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"

namespace nPatchDownload {

// One side of a retrieval. Ordered by media version (FullVersion::Compare,
// kind 3), then by operating-system id; the id set takes no part in the
// order, so two sides with equal version and OS id are the same key.
struct tRetrievalSide {
  int osId = 0;
  FullVersion mediaVersion;
  std::set<int> ids;  // ids attached to the side (copied from per-OS id sets)

  bool operator<(const tRetrievalSide& other) const {
    const int byVersion =
        FullVersion::Compare(FullVersion::kCompareMediaWithUP, mediaVersion, other.mediaVersion);
    if (byVersion != 0) return byVersion < 0;
    return osId < other.osId;
  }
};

// The files of one side (or one appliance operating system) of a retrieval and how far the
// retrieval got with them. A plain value: copies copy every field.
struct tRetrievalEntry {
  unsigned int status = 0;          // result code of the side; 0 while the side is good
  bool reDownloadExisting = false;  // set by the side check when present files are fetched again
  std::vector<UpdatePatches::BinaryV11> pending;    // files still to fetch
  std::vector<UpdatePatches::BinaryV11> retrieved;  // files fetched
  std::vector<UpdatePatches::BinaryV11> all;        // every file the side needs
};

// The appliance files of one appliance side: appliance operating-system name (a Windows
// operating-system or SQL Server name, or a Unix appliance name) to its entry.
typedef std::map<std::string, tRetrievalEntry> tKQApplainceFilesInfo;

// Context of a walk over the service-pack folders of a media tree. The retrieval and media
// scans name the three versions "latest, previous, candidate"; in that order they are
// reference (the version the walk compares against), previous and latest here.
struct tRetrievalVersion {
  FullVersion reference;              // the version the walk compares against
  FullVersion previous;               // highest service pack found below the reference
  FullVersion latest;                 // highest found above (callers start it at reference)
  std::vector<FullVersion> versions;  // every service-pack version found, in walk order
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALSIDE_H_
