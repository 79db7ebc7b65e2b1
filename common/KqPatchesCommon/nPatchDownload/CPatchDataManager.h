// CPatchDataManager: the part of every data manager that needs no database.
//
// It owns a configuration reader and keeps a reference to the job's event sink (owned by the
// job, which must keep it alive longer than this object); it answers the two configuration
// accessors and reads the maintenance-release catalogue and pack files, keeping the update
// packs read last in tCUPackConfig. The Hubnode class (CPatchDataManagerHN) derives from it and
// answers the database operations. One object serves one job on one thread.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGER_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGER_H_

#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "Messages/UpdatePatches.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"

namespace nPatchDownload {

// Catalogue and pack files larger than this are refused before they are read: the largest
// the download center publishes are a few MiB.
constexpr unsigned long long kMaxCatalogueFileBytes = 256ull << 20;

// Reads the file into text whole, line ends removed. False (with a log line through sink)
// when it is over kMaxCatalogueFileBytes or unreadable.
template <class Sink>
bool ReadMessageText(const std::string& path, std::string& text, Sink& sink, const char* tag) {
  try {
    std::ifstream in;
    in.exceptions(std::ifstream::failbit | std::ifstream::badbit);
    in.open(path.c_str(), std::ios::in | std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<unsigned long long>(size) > kMaxCatalogueFileBytes) {
      sink.Debug(tag, "Input XML file [%s] has [%lld] bytes, more than the [%llu] allowed",
                 path.c_str(), static_cast<long long>(size), kMaxCatalogueFileBytes);
      return false;
    }
    text.resize(static_cast<size_t>(size));
    in.seekg(0, std::ios::beg);
    if (size > 0) in.read(&text[0], size);
  } catch (const std::ios_base::failure& e) {
    sink.Debug(tag, "Failed to read file [%s], error [%d:%s]", path.c_str(), e.code().value(),
               e.what());
    return false;
  } catch (const std::bad_alloc&) {
    sink.Debug(tag, "Failed to read file [%s], error [%d:%s]", path.c_str(), 12,
               "out of memory");
    return false;
  }
  CPatchInstallCommon::RemoveNewLines(text);
  return true;
}

// Reads a message file whole, line ends removed, and decodes it into message. False (with a
// log line through sink) when the file is missing, over kMaxCatalogueFileBytes, unreadable or
// not a message of that class.
template <class Message, class Sink>
bool loadXMLFromFile(const std::string& path, Message& message, Sink& sink) {
  static const char* kTag = "loadXMLFromFile";
  if (!CPatchInstallCommon::IsFileExisted(path)) {
    sink.Debug(kTag, "Input XML file [%s] does not exist", path.c_str());
    return false;
  }
  std::string text;
  if (!ReadMessageText(path, text, sink, kTag)) return false;
  if (XMLDecoder::initialize() != 0) {
    sink.Debug(kTag, "Failed to initialize XMLDecoder");
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  // Decoded where it was read; a text that only the plain decode reads is read again for it.
  int rc = XMLDecoder::unSerializeInPlace(message, &text[0], text.size());
  if (rc == kMsgRetryWithText) {
    if (!ReadMessageText(path, text, sink, kTag)) return false;
    rc = XMLDecoder::unSerialize(message, text, nullptr);
  }
  if (rc != 0) {
    sink.Debug(kTag, "Failed to unserialize XML file [%s] with error code [%d]", path.c_str(), rc);
    return false;
  }
  return true;
}

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

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHDATAMANAGER_H_
