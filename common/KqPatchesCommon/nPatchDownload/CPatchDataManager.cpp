// The database-free part of the data managers: configuration accessors, the catalogue and
// pack file readers, and the exported factory pair.
#include "nPatchDownload/CPatchDataManager.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

constexpr unsigned int kCUNotFound = 0x440001D8u;

using UpdatePatches::Binary;
using UpdatePatches::BinarySet;
using UpdatePatches::BinaryV11;
using UpdatePatches::CumulativeUpdatePack;
using UpdatePatches::File;
using UpdatePatches::Package;
using UpdatePatches::SingleUpdate;
using UpdatePatches::UpdatePack;

// A configuration-file group (a nested message whose 1/1 is a list of File): its files, or
// null when the group or its list is missing.
const std::vector<CNMessageBase>* ConfigFileList(const CNMessageBase& owner, const KqFieldId& f) {
  const CNMessageBase* group = owner.getObjectAccessor(f);
  if (group == nullptr || !group->isSet(1)) return nullptr;
  return group->getlistobject(1, 1);
}

// Up to 8 bytes of text from at, big-endian, zero-padded: numbers that order as the bytes do.
unsigned long long HeadBytes(const std::string& text, size_t at) {
  unsigned char bytes[8] = {};
  if (at < text.size()) std::memcpy(bytes, text.data() + at, std::min<size_t>(8, text.size() - at));
  unsigned long long value = 0;
  for (unsigned char b : bytes) value = value << 8 | b;
  return value;
}

// Byte b (0 to 15) of a key's head.
template <class Key>
unsigned HeadByte(const Key& key, int b) {
  return static_cast<unsigned>(key.head[b / 8] >> (8 * (7 - b % 8))) & 0xFFu;
}

// Sorts keys by head, keeping the order of equal heads: a radix sort, one byte a pass from
// the last, a byte the same in every key taking no pass.
template <class Key>
void SortByHead(std::vector<Key>& keys) {
  const size_t n = keys.size();
  if (n < 2) return;
  std::vector<size_t> counts(16 * 256, 0);
  for (const auto& key : keys)
    for (int b = 0; b < 16; ++b) ++counts[b * 256 + HeadByte(key, b)];
  std::vector<Key> spare(n);
  for (int b = 15; b >= 0; --b) {
    size_t* count = &counts[b * 256];
    if (count[HeadByte(keys[0], b)] == n) continue;
    size_t next = 0;
    for (int v = 0; v < 256; ++v) {
      const size_t here = count[v];
      count[v] = next;
      next += here;
    }
    for (const auto& key : keys) spare[count[HeadByte(key, b)]++] = key;
    keys.swap(spare);
  }
}

const std::vector<CNMessageBase>* ListIfSet(const CNMessageBase& owner, const KqFieldId& f) {
  return owner.isSet(f) ? owner.getlistobject(f) : nullptr;
}

}  // namespace

CPatchDataManager::CPatchDataManager(IPatchEvent& sink) : m_event(sink) {}

CPatchDataManager::~CPatchDataManager() {}

unsigned int CPatchDataManager::GetStringVal(const std::string& key, const std::string& valueName,
                                             std::string& value) {
  if (m_config.getString(key, valueName, value)) return KQ_PATCH_OK;
  m_event.DebugLvl("GetStringVal", 2, "Error in querying string value for registry key [%s\\%s]",
                   key.c_str(), valueName.c_str());
  return KQ_PATCH_E_CONFIG_UNREADABLE;
}

unsigned int CPatchDataManager::GetDWORDVal(const std::string& key, const std::string& valueName,
                                            unsigned int& value) {
  if (m_config.getNumber(key, valueName, value)) return KQ_PATCH_OK;
  m_event.DebugLvl("GetDWORDVal", 2, "Error in querying DWORD value for registry key [%s\\%s]",
                   key.c_str(), valueName.c_str());
  return KQ_PATCH_E_CONFIG_UNREADABLE;
}

unsigned int CPatchDataManager::GetAllCUPacksList(const std::string& file,
                                                  const FullVersion& version,
                                                  tUpdatePackSet* packs, std::string* xml) {
  static const char* kTag = "GetAllCUPacksList";
  std::string text;
  unsigned int rc = KQ_PATCH_OK;
  if (CPatchInstallCommon::IsFileExisted(file) &&
      CPatchInstallCommon::GetFileSize(file) > kMaxCatalogueFileBytes) {
    m_event.Debug(kTag, "File [%s] is larger than the [%llu] bytes allowed", file.c_str(),
                  kMaxCatalogueFileBytes);
    rc = KQ_PATCH_E_FILE_IO;
  } else {
    rc = CPatchInstallCommon::ReadWholeFile(file, text, kMaxCatalogueFileBytes);
  }
  if (rc != KQ_PATCH_OK) {
    m_event.Debug(kTag, "Failed to open file [%s] with error [%d]", file.c_str(),
                  static_cast<int>(rc));
    return rc;
  }
  UpdatePatches::RegisterSubsystem();
  UpdatePatches::AvailableCumulativeUpdatePacks catalogue;
  if (XMLDecoder::unSerialize(catalogue, text, nullptr) != 0) {
    m_event.Debug(kTag, "Failed to unserialize maintenance release configuration XML.");
    return KQ_PATCH_E_INVALID_INPUT;
  }
  if (xml != nullptr) *xml = text;
  const CNMessageBase& all = catalogue;
  const std::vector<CNMessageBase>* entries =
      ListIfSet(all, UpdatePatches::AvailableCumulativeUpdatePacks::kPacks);
  if (entries == nullptr) {
    m_event.Debug(kTag, "There is no AvailableCUs set in the AvailableCumulativeUpdatePacks");
    m_cuPackConfig.Clear();
    return KQ_PATCH_OK;
  }
  const std::string wanted = version.formatted_str(FullVersion::kFormatSide);
  for (const CNMessageBase& entry : *entries) {
    const CNMessageBase* sp = entry.getObjectAccessor(UpdatePatches::AvailableCUs::kSPVersion);
    if (sp == nullptr) {
      m_event.Debug(kTag, "SPVersion is not set for current CUs, skipping it");
      continue;
    }
    const FullVersion current = CPatchInstallCommon::GetVersionFromSPVersion(*sp);
    if (FullVersion::Compare(FullVersion::kCompareMedia, current, version) != 0) {
      m_event.Debug(kTag, "Current Version [%s] did not match required Version [%s], continuing",
                    current.formatted_str(FullVersion::kFormatSide).c_str(), wanted.c_str());
      continue;
    }
    m_event.DebugLvl(kTag, 8, "Current Version matches required Version [%s]", wanted.c_str());
    const std::vector<CNMessageBase>* list =
        ListIfSet(entry, UpdatePatches::AvailableCUs::kUpdatePacks);
    if (list == nullptr) {
      m_event.Debug(kTag, "No CU entries found, continuing");
      continue;
    }
    for (const CNMessageBase& pack : *list) {
      if (!pack.isSet(UpdatePack::kNumber)) {
        m_event.Debug(kTag, "CU Number is not set in XML [%s], continuing", text.c_str());
        continue;
      }
      m_event.DebugLvl(kTag, 8, "Found maintenance release [%d] for Version [%s]",
                       static_cast<int>(pack.getint64(UpdatePack::kNumber)), wanted.c_str());
      UpdatePack copy(pack);
      m_cuPackConfig.packs.push_back(copy);
      if (packs != nullptr) packs->insert(copy);
    }
  }
  m_event.DebugLvl(kTag, 2, "Successfully filled maintenance release map");
  return KQ_PATCH_OK;
}

bool CPatchDataManager::addPackFile(const std::string& prefix, const std::string& name,
                                    const std::string& checksum, tBinarySet& files) {
  if (!kq::IsSafeRelativeName(name)) {
    m_event.Debug("GetCUFilesList", "File name [%s] is not a safe relative path, skipping it",
                  name.c_str());
    return false;
  }
  std::string path;
  path.reserve(prefix.size() + name.size());
  path.append(prefix).append(name);
  files.order.push_back({{HeadBytes(name, 0), HeadBytes(name, 8)}, files.found.size()});
  files.found.emplace_back(std::move(path), checksum);
  return true;
}

void CPatchDataManager::addConfigFiles(const std::string& prefix,
                                       const std::vector<CNMessageBase>& configs,
                                       const char* what, tBinarySet& files) {
  for (const CNMessageBase& config : configs) {
    const std::string& name = config.getstringByRef(File::kName);
    const std::string& checksum = config.getstringByRef(File::kChecksum);
    if (addPackFile(prefix, name, checksum, files))
      m_event.DebugLvl("GetCUFilesList", 2, "%s [%s] with checksum [%s]", what, name.c_str(),
                       checksum.c_str());
  }
}

unsigned int CPatchDataManager::GetCUFilesList(const std::string& file, const std::string& prefix,
                                               int cuNumber, std::vector<BinaryV11>& out,
                                               std::set<int> packageIds) {
  static const char* kTag = "GetCUFilesList";
  if (m_cuPackConfig.packs.empty()) {
    m_event.Debug(kTag, "No CUs exist in configuration file.");
    return KQ_PATCH_OK;
  }
  CumulativeUpdatePack pack;
  if (!loadXMLFromFile(file, pack, m_event, kMaxCatalogueFileBytes)) {
    m_event.Debug(kTag, "Failed to load XML file [%s]", file.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  const CNMessageBase& cu = pack;
  const std::vector<CNMessageBase>* updates = ListIfSet(cu, CumulativeUpdatePack::kUpdates);
  if (updates == nullptr) {
    m_event.Debug(kTag, "UPUpdate section is not set, skipping it");
    return KQ_PATCH_OK;
  }
  tBinarySet files;
  bool found = false;
  for (const UpdatePack& known : m_cuPackConfig.packs) {
    const int number = static_cast<int>(known.getint64(UpdatePack::kNumber));
    if (number != cuNumber) {
      m_event.DebugLvl(kTag, 8, "CU number [%d] does not match the input one [%d], skipping it",
                       number, cuNumber);
      continue;
    }
    m_event.DebugLvl(kTag, 8, "Found CU Num [%d]", number);
    found = true;
    for (const CNMessageBase& update : *updates) {
      m_event.DebugLvl(kTag, 2, "    Found update [%s]",
                       update.getstringByRef(SingleUpdate::kName).c_str());
      const std::vector<CNMessageBase>* sets = ListIfSet(update, SingleUpdate::kBinarySets);
      if (sets == nullptr) {
        m_event.Debug(kTag, "    UpdBinarySet section is not set int the XML");
        continue;
      }
      bool applicable = false;
      for (const CNMessageBase& set : *sets) {
        m_event.DebugLvl(kTag, 8, "        Found bianry set Id [%d] and name [%s]",
                         static_cast<int>(set.getint64(BinarySet::kBinarySetId)),
                         set.getstringByRef(BinarySet::kField2).c_str());
        const std::vector<CNMessageBase>* packages = ListIfSet(set, BinarySet::kPackages);
        if (packages == nullptr) {
          m_event.Debug(kTag, "        UpdPackage section is not set, continuing");
          continue;
        }
        for (const CNMessageBase& package : *packages) {
          const int id = static_cast<int>(package.getint64(Package::kPackageId));
          m_event.DebugLvl(kTag, 8, "            Found package Id [%d]", id);
          if (!packageIds.empty() && packageIds.count(id) == 0) {
            m_event.DebugLvl(kTag, 8,
                             "            Package Id [%d] is not applicable for download, "
                             "skipping it.",
                             id);
            continue;
          }
          applicable = true;
          const std::vector<CNMessageBase>* binaries = ListIfSet(package, Package::kBinaries);
          if (binaries == nullptr) {
            m_event.Debug(kTag, "            UpdBinary section is not set, continuing");
            continue;
          }
          for (const CNMessageBase& binary : *binaries) {
            const std::string& name = binary.getstringByRef(Binary::kPath);
            if (!binary.isSet(Binary::kType)) {
              m_event.Debug(kTag, "                InstallFlag is not set, continuing");
              continue;
            }
            const std::string& flag = binary.getstringByRef(Binary::kType);
            if (flag == "Stub") {
              m_event.DebugLvl(kTag, 2,
                               "                Current binary [%s] has stub flag set, skipping "
                               "it",
                               name.c_str());
              continue;
            }
            const std::string& checksum = binary.getstringByRef(Binary::kChecksum);
            if (addPackFile(prefix, name, checksum, files))
              m_event.DebugLvl(kTag, 2,
                               "                Add binary [%s] with checksum [%s] and install "
                               "flag [%s]",
                               name.c_str(), checksum.c_str(), flag.c_str());
          }
        }
      }
      if (!applicable) continue;
      const std::vector<CNMessageBase>* configs =
          ConfigFileList(update, SingleUpdate::kConfigFiles);
      if (configs == nullptr) {
        m_event.Debug(kTag, "    UpdConfigs section or UPConfigFile section is not set, "
                            "skipping it");
        continue;
      }
      addConfigFiles(prefix, *configs, "    Add config file", files);
    }
    const std::vector<CNMessageBase>* packConfigs =
        ConfigFileList(cu, CumulativeUpdatePack::kConfigFiles);
    if (packConfigs == nullptr) {
      m_event.Debug(kTag, "UPConfigs or UPConfigsFile section is not set, skipping it");
    } else {
      addConfigFiles(prefix, *packConfigs, "Add UP config file", files);
    }
    break;
  }
  // One entry per path, the first found, in path order. Every path starts with the same
  // prefix, so the names' first bytes order them as the paths do; only paths that share them
  // are compared whole.
  typedef tBinarySet::tKey tKey;
  const std::vector<std::pair<std::string, std::string>>& paths = files.found;
  SortByHead(files.order);
  for (auto run = files.order.begin(); run != files.order.end();) {
    auto end = run + 1;
    while (end != files.order.end() && end->head[0] == run->head[0] &&
           end->head[1] == run->head[1])
      ++end;
    if (end - run > 1)
      std::stable_sort(run, end, [&paths](const tKey& a, const tKey& b) {
        return paths[a.at].first < paths[b.at].first;
      });
    run = end;
  }
  files.order.erase(std::unique(files.order.begin(), files.order.end(),
                                [&paths](const tKey& a, const tKey& b) {
                                  return a.head[0] == b.head[0] && a.head[1] == b.head[1] &&
                                         paths[a.at].first == paths[b.at].first;
                                }),
                    files.order.end());
  // Each entry starts as a copy of one holding both fields, which takes one allocation
  // instead of growing its field list twice; the texts are moved in.
  BinaryV11 blank;
  blank.setstring(BinaryV11::kRelativePath, std::string());
  blank.setstring(BinaryV11::kChecksum, std::string());
  out.reserve(out.size() + files.order.size());
  // The files are taken in path order, far from walk order: the one a few places ahead is
  // fetched while this one is copied.
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < files.order.size(); ++i) {
    if (i + kAhead < files.order.size())
      __builtin_prefetch(&files.found[files.order[i + kAhead].at]);
    std::pair<std::string, std::string>& file = files.found[files.order[i].at];
    out.push_back(blank);
    out.back().setstring(BinaryV11::kRelativePath, std::move(file.first));
    out.back().setstring(BinaryV11::kChecksum, std::move(file.second));
  }
  return found ? KQ_PATCH_OK : kCUNotFound;
}

}  // namespace nPatchDownload

using nPatchDownload::CPatchDataManagerHN;
using nPatchDownload::IPatchDataManager;
using nPatchDownload::IPatchEvent;

extern "C" unsigned int CreatePatchDataManager(int type, IPatchEvent& sink,
                                               IPatchDataManager** out) {
  if (type != 1) return nPatchDownload::KQ_PATCH_E_CONFIG_UNREADABLE;
  int status = 0;
  CPatchDataManagerHN* manager = nullptr;
  try {
    manager = new (std::nothrow) CPatchDataManagerHN(sink, status);
  } catch (const std::bad_alloc&) {
    manager = nullptr;
  }
  if (manager == nullptr) {
    if (out != nullptr) *out = nullptr;
    sink.Debug("CreatePatchDataManager", "Failed to allocate memory");
    return nPatchDownload::KQ_PATCH_E_OUTOFMEMORY;
  }
  if (out == nullptr) {
    // Nowhere to hand the object: it would leak.
    delete manager;
    return nPatchDownload::KQ_PATCH_E_INVALIDARG;
  }
  *out = manager;
  return static_cast<unsigned int>(status);
}

extern "C" void DestroyPatchDataManager(IPatchDataManager* manager) { delete manager; }
