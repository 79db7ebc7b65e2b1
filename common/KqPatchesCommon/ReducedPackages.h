// Reduced install packages: the part of an install medium that a set of packages needs on one
// binary set. The package list is closed under the catalogue's dependencies, the media and
// loose-update files are written as the reduced-package list file and read back as files and
// folders of the medium with their total size and whether a reboot is required.
//
// Each call builds its own catalogue (temp folder in use: "/tmp", or the caller's temp folder)
// and runs on the caller's thread; calls with the same package name and temp folder share one
// list file and are serialised on it (see PackageCache.h). Results are 1 for success and 0 for
// failure; on failure errorText receives the catalogue's error text, and the outputs keep what
// was filled before the failing step.
#ifndef KQ_COMMON_KQPATCHESCOMMON_REDUCEDPACKAGES_H_
#define KQ_COMMON_KQPATCHESCOMMON_REDUCEDPACKAGES_H_

#pragma GCC visibility push(default)

#include <list>
#include <string>
#include <vector>

class KQPackageCache;

// Job error code of a Unix reduced package whose operating-system media folder is missing or
// empty.
constexpr unsigned kReducedPackageWithoutMedia = 0x440000C0;

// The reduced package of packageIds (extended in place with their dependencies) on binary set
// binarySetId from the medium at mediaLocation (Windows for binary sets up to 4, else Unix).
// totalSize is added to; rebootRequired is only ever set. updatePackNumber above 0 adds the
// update pack "CU<n>".
int ComputeReducedPackages(std::string cachePath, std::string mediaLocation,
                           std::vector<unsigned>& packageIds, std::list<std::string>& files,
                           std::list<std::string>& folders, unsigned long long& totalSize,
                           bool& rebootRequired, int binarySetId, std::string tempFolder,
                           std::string packageName, std::string& errorText, int updatePackNumber);

extern "C" {
// The same for the Unix medium's binary set of an operating-system name. An unknown name fails
// without touching *errorCode; a missing or empty media folder of the binary set's first
// operating system sets *errorCode (when errorCode is not null) to kReducedPackageWithoutMedia.
int ComputeReducedPackagesUNIX(std::string cachePath, std::string mediaLocation,
                               std::vector<unsigned>& packageIds, std::list<std::string>& files,
                               std::list<std::string>& folders, unsigned long long& totalSize,
                               bool& rebootRequired, std::string unixOSName,
                               std::string tempFolder, std::string packageName,
                               std::string& errorText, unsigned* errorCode, int updatePackNumber);
}

// The worker of both: the catalogue's media location of the binary set's platform must be set.
// A null catalogue gives 0.
int computeReducedPackages(KQPackageCache* catalogue, std::vector<unsigned>& packageIds,
                           std::list<std::string>& files, std::list<std::string>& folders,
                           unsigned long long& totalSize, bool& rebootRequired, int binarySetId,
                           std::string tempFolder, std::string packageName, std::string& errorText,
                           int updatePackNumber);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_REDUCEDPACKAGES_H_
