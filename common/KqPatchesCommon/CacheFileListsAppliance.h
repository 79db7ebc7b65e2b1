// Appliance file lists of a software cache.
//
// Appliance patches live in <cache root>/KQAppliance: the Windows configuration
// "KQApplianceConfig_Windows.xml" with the Windows and MSSQL patch files it names, and the Unix
// configuration "KQApplianceConfig_Unix.xml" (or a remote cache's own mini configuration
// "KQApplianceMiniConfig_<remote cache>_-_<repodata>.xml") with its repodata archive below
// "Unix". On the Hubnode these functions list the files a remote cache must hold, from the
// configurations and the appliance operating systems the remote cache serves; on a remote cache
// KQUpdateCache::CalculateCheckSumForApplianceFiles lists what it holds. Lists are File
// {1/1 name below "KQAppliance", 2/5 checksum text}.
//
// Checksums from the configurations are listed as unsigned decimal numbers (they are written
// decimal, "0x" hexadecimal or octal with a leading zero); a text that is not wholly such a
// number is logged and listed as it stands, never as 0.
#ifndef KQPATCHESCOMMON_CACHEFILELISTSAPPLIANCE_H_
#define KQPATCHESCOMMON_CACHEFILELISTSAPPLIANCE_H_

#pragma GCC visibility push(default)

#include <map>
#include <string>
#include <vector>

#include "KQApplianceOSType.h"
#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"

// The files a remote cache must hold per appliance operating-system type, for the entries of
// osInfos (name 1/1, type 2/5). Unix is listed once; other types than Unix, MSSQL and Windows
// are skipped. Lists are appended to filesByType. False when an extraction fails (the call
// stops there).
bool ExtractAppliancePatchesFromCache(
    std::string applianceFolder, UpdatePatches::KQApplianceOSInfoList osInfos,
    const FullVersion& version, const std::string& remoteCacheName,
    std::map<UpdatePatches::KQApplianceMainOSType, std::vector<UpdatePatches::File>>& filesByType);

// The Unix configuration (the remote cache's mini configuration when there is one), the binaries
// it names that are present below "Unix", and its repodata archive. A missing configuration or
// archive lists nothing and gives true. osInfo is not read.
bool ExtractUnixOSApplPatchesFromCache(std::string applianceFolder,
                                       UpdatePatches::KQApplianceOSInfo osInfo,
                                       const std::string& remoteCacheName,
                                       const FullVersion& version,
                                       std::vector<UpdatePatches::File>& files);

// The Windows or MSSQL patches of the sub-operating system osInfo names, and the Windows
// configuration itself. A missing configuration lists nothing and gives true.
bool ExtractWinOSApplPatchesFromCache(std::string applianceFolder,
                                      UpdatePatches::KQApplianceOSInfo osInfo,
                                      const FullVersion& version,
                                      std::vector<UpdatePatches::File>& files);

// The whole configuration file as text (up to its first zero byte): 0, or 1 when it cannot be
// read or is larger than a configuration can be.
int loadKQApplianceConfigFile(const std::string& path, std::string& content);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_CACHEFILELISTSAPPLIANCE_H_
