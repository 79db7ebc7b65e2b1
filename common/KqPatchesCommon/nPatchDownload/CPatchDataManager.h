// CPatchDataManager: the part of every data manager that needs no database.
//
// It owns a configuration reader and keeps a reference to the job's event sink (owned by the
// job, which must keep it alive longer than this object); it answers the two configuration
// accessors and reads the maintenance-release catalogue and pack files, keeping the update
// packs read last in tCUPackConfig. The Hubnode class (CPatchDataManagerHN) derives from it and
// answers the database operations. One object serves one job on one thread.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGER_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGER_H_

#pragma GCC visibility push(default)

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "Messages/UpdatePatches.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/LoadXmlFromFile.h"

namespace nPatchDownload {

// Catalogue and pack files larger than this are refused before they are read: the largest
// the download center publishes are a few MiB.
constexpr unsigned long long kMaxCatalogueFileBytes = 256ull << 20;

class CPatchDataManager : public IPatchDataManager {
 public:
  // Orders binaries by relative path (7/19), bytewise.
  struct tBinaryV11Less {
    bool operator()(const UpdatePatches::BinaryV11& a, const UpdatePatches::BinaryV11& b) const {
      return a.getstringByRef(UpdatePatches::BinaryV11::kRelativePath) <
             b.getstringByRef(UpdatePatches::BinaryV11::kRelativePath);
    }
  };

  // The update packs read last from catalogue files; packs of successive reads accumulate
  // until a read finds none or Clear is called.
  struct tCUPackConfig {
    unsigned long long value = 0;
    std::vector<UpdatePatches::UpdatePack> packs;
    void Clear() {
      value = 0;
      packs.clear();
    }
  };

  explicit CPatchDataManager(IPatchEvent& sink);
  ~CPatchDataManager() override;
  CPatchDataManager(const CPatchDataManager&) = delete;
  CPatchDataManager& operator=(const CPatchDataManager&) = delete;

  unsigned int GetStringVal(const std::string& key, const std::string& valueName,
                            std::string& value) override;
  unsigned int GetDWORDVal(const std::string& key, const std::string& valueName,
                           unsigned int& value) override;
  unsigned int GetAllCUPacksList(const std::string& file, const FullVersion& version,
                                 tUpdatePackSet* packs, std::string* xml) override;
  unsigned int GetCUFilesList(const std::string& file, const std::string& prefix, int cuNumber,
                              std::vector<UpdatePatches::BinaryV11>& out,
                              std::set<int> packageIds) override;

  // The packs the last catalogue reads kept.
  const tCUPackConfig& GetCUPackConfig() const { return m_cuPackConfig; }

 protected:
  // The files of a pack as found: relative path (prefix + name) and checksum, in walk
  // order, and the order they are handed out in: sorted by path (tBinaryV11Less), the first
  // entry of each path only.
  struct tBinarySet {
    // Where a file stands in the order: the first 16 bytes of its name, big-endian and
    // zero-padded (they order two names as the names do unless they are equal, and compare
    // without reading the names), then its place in found.
    struct tKey {
      unsigned long long head[2];
      size_t at;
    };
    std::vector<std::pair<std::string, std::string>> found;
    std::vector<tKey> order;
  };

  // Adds prefix + name with its checksum to files, when name is a safe relative name; else
  // logs and skips it. True when added.
  bool addPackFile(const std::string& prefix, const std::string& name,
                   const std::string& checksum, tBinarySet& files);
  // addPackFile for each File of a configuration-file list; `what` starts the log line.
  void addConfigFiles(const std::string& prefix, const std::vector<CNMessageBase>& configs,
                      const char* what, tBinarySet& files);

  KQPlatformInfo m_config;
  IPatchEvent& m_event;
  tCUPackConfig m_cuPackConfig;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGER_H_
