// The configuration files of the appliance readers are loaded with loadXMLFromFile
// (nPatchDownload/LoadXmlFromFile.h) under the cap below.
#ifndef KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_
#define KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_

#pragma GCC visibility push(default)

#include "nPatchDownload/LoadXmlFromFile.h"

namespace nPatchDownload {

// The largest configuration file the readers accept (64 MiB); a real one is a few MiB at most.
constexpr unsigned long long kMaxConfigFileBytes = 64ull << 20;

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_CACHEFILELISTSLOADXML_H_
