// CPatchInstallCommon: static operations shared by the patch job classes.
//
// The class holds no per-object state; everything is static. Its process-wide
// state (the operating-system registry) lives in tSingletonVars, built once on
// first use and never changed afterwards, so lookups read it without a lock.
// Members are grouped by concern; each group is implemented in its own file.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHINSTALLCOMMON_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHINSTALLCOMMON_H_

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KQApplianceOSType.h"

namespace KQInstallCommonUtils {
class IFolderStruct;
}

namespace nPatchDownload {

struct tRetrievalSide;  // RetrievalSide.h

class CPatchInstallCommon {
 public:
  // ---- Operating-system and release id registry (OSRegistry.cpp) ----

  // Process-wide registry state; one instance, made on first use.
  struct tSingletonVars {
    std::mutex lock;                               // guards the one-time build
    std::atomic<bool> initialised{false};          // set under lock once the maps are built
    unsigned int checksumBufferSize = 8192;        // block size for file checksums
    std::map<int, std::string> namesById;          // supported id -> name
    std::map<std::string, unsigned int> idsByName; // name -> id (exact match)

    static tSingletonVars& getInstance();
  };

  // Builds the registry once; every lookup below that needs it calls this.
  static void Initialize();

  static bool IsOSIdSupported(int id);
  static void FilterOutUnsupportedOSIds(std::set<int>& ids);
  // Name for folder and file names; "unknown" when the id is not supported.
  static const char* GetUpdateOSNameFromID(unsigned int id, bool payload);
  // 0xFFFFFFFF when the name is not known.
  static unsigned int GetUpdateOSIDFromName(const std::string& name, bool payload);
  static bool IsUnix(unsigned int id);     // id > 5
  static bool IsWindows(unsigned int id);  // id <= 5
  // Position of the first case-insensitive occurrence, -1 when absent.
  static int FindStringIC(const std::string& text, const std::string& pattern);
  static void GetBinaryFolderNames(bool windows, std::vector<std::pair<int, std::string>>& out);
  static int ConvertSimReleaseIdToReleaseNum(int releaseId);
  static int ConvertReleaseNumToSimReleaseId(int releaseNum);
  static void GetSupportedOSIds(std::set<int>& out, bool all, bool windowsOnly);
  static void GetAllSupportedOSesMap(std::map<int, std::string>& out);
  static void ConvertOSIdsToString(
      const std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*>& sides, std::string& text);
  static bool IsValidUpdateOSId(int id);   // 1..34
  static std::string GetKQApplianceOSName(UpdatePatches::KQApplianceMainOSType type);
  static UpdatePatches::KQApplianceMainOSType GetKQApplianceOSType(const std::string& name);
  static unsigned int GetChecksumBufferSize();

  // ---- Further groups of static operations are declared below. ----
};

}  // namespace nPatchDownload

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHINSTALLCOMMON_H_
