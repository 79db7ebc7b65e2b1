// Remote-cache content configurations: the stored XML text, merges of single entries, coverage
// questions and the request lists built from an entry.
#include "SyncContentConfig.h"

#include <algorithm>
#include <string>
#include <vector>

#include "Configuration/KQClient.h"
#include "Configuration/KQPlatformInfo.h"
#include "Db/Proc/GetPatchUAContentConfig.h"
#include "Db/Proc/SetPatchUAContentConfig.h"
#include "DbLookups.h"
#include "Logging/EvDebug.h"
#include "Messages/MessageXml.h"
#include "StringUtils.h"

using EVGui::PatchUAContentConfig;
using EVGui::PatchUAContentConfigs;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

namespace {

constexpr int kRow = 0;
constexpr int kNoRow = 100;

// Package-synchronisation modes of an entry (5/5).
constexpr long long kModeOff = 0;
constexpr long long kModeAll = 1;
constexpr long long kModeListed = 2;
constexpr long long kModeListedStrict = 3;

// Ids of a "5,7," text, in order; none for an empty text.
std::vector<unsigned> PackageIds(const std::string& text) {
  std::vector<unsigned> ids;
  StringToVector(text, ids, ",");
  return ids;
}

template <class T>
bool Holds(const std::vector<T>& values, T value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// Appends each of `more` that `into` does not hold yet, in order.
template <class T, class U>
void AppendMissing(std::vector<T>& into, const std::vector<U>& more) {
  for (U value : more)
    if (!Holds(into, static_cast<T>(value))) into.push_back(static_cast<T>(value));
}

bool SameTriple(const CNMessageBase& a, const CNMessageBase& b) {
  return a.getint64(PatchUAContentConfig::kKey) == b.getint64(PatchUAContentConfig::kKey) &&
         a.getint64(PatchUAContentConfig::kReleaseId) ==
             b.getint64(PatchUAContentConfig::kReleaseId) &&
         a.getint64(PatchUAContentConfig::kOSId) == b.getint64(PatchUAContentConfig::kOSId);
}

// The mode a stored entry takes when an entry of mode `incoming` is merged into it. Coverage
// only grows: "every package" stays, "off" takes the new mode, a listed mode takes any mode
// that synchronises, and the strict listed mode gives way only to "every package".
long long MergedMode(long long current, long long incoming) {
  switch (current) {
    case kModeOff: return incoming;
    case kModeListed: return incoming != kModeOff ? incoming : current;
    case kModeListedStrict: return incoming == kModeAll ? kModeAll : current;
    default: return current;  // kModeAll and unknown modes stay
  }
}

std::vector<int> IntList(const CNMessageBase& message, const KqFieldId& field) {
  return *message.getlistint(field);
}

}  // namespace

int getPatchUAContent(int clientId, PatchUAContentConfigs& configs) {
  static const char kTag[] = "[GetPatchUAContent]";
  EvDebug log;
  std::string clientName;
  if (clientId < 0 || KQClient(static_cast<unsigned long>(clientId)).getName(clientName) != 0) {
    log.Debug(kTag, "Unable to get clientName for clientId [%d]", clientId);
    clientName.clear();
  }
  GetPatchUAContentConfig record(nullptr);
  record.setValues(2, clientId, 0, 0);
  log.DebugLvl(kTag, 1,
               "Getting the configured remote cache content info for the syncup from "
               "PatchUAContentConfig table for client [%s] with clientId[%d]",
               clientName.c_str(), clientId);
  std::string xml;
  int count = 0, rc;
  while ((rc = getNextRow(&record, &count, -1, 0)) == kRow) {
    const char* text = record.getDataPtr()->outputXML;
    xml = text ? text : "";
  }
  // A failed read is not "no configuration": storing a merge over it would lose the stored one.
  if (rc != kNoRow) {
    log.DebugLvl(kTag, 1, "Failed to read the content configuration of client [%d]. Error:[%s]",
                 clientId, DBtable::getErrorStr(rc));
    return 0;
  }
  log.DebugLvl(kTag, 10, "XML output received from GetPatchUAContentConfig sp %s", xml.c_str());

  if (XMLDecoder::initialize() != 0) {
    log.DebugLvl(kTag, 1, "Failed to initialize XML Decoder object. Failed to get the UAContent info.");
    return 0;
  }
  if (XMLDecoder::unSerialize(configs, xml) != 0) {
    log.DebugLvl(kTag, 1, "Failed to unserialize UAContent xml string.");
    return 0;
  }
  std::vector<CNMessageBase>& entries = *configs.getlistobject(PatchUAContentConfigs::kConfigs);
  for (CNMessageBase& entry : entries) {
    const long long osId = entry.getint64(PatchUAContentConfig::kOSId);
    if (osId == 0) continue;
    std::vector<int> binarySets;
    if (!getBsidForOsIdLst({static_cast<int>(osId)}, binarySets)) {
      // The stored binary sets are the best we know; an empty list would mean "none".
      log.DebugLvl(kTag, 1, "Unable to get the binary sets of OS [%lld], keeping the stored ones",
                   osId);
      continue;
    }
    entry.setlistint(PatchUAContentConfig::kBinarySetIds, binarySets);
  }
  return 1;
}

int setPatchUAContent(PatchUAContentConfigs& configs, int clientId) {
  static const char kTag[] = "[setPatchUAContent]";
  EvDebug log;
  long long optimal = 0;
  const int flag =
      KQPlatformInfo().getNumber("UpdateFlags", "nPerformOptimalSyncup", optimal) && optimal == 0
          ? 0
          : 1;
  if (XMLSerializationSupport::initialize() != 0) return 0;
  std::string xml;
  if (XMLEncoder::serialize(configs, xml) != 0) {
    log.DebugLvl(kTag, 1, "Failed to serialize the PatchUAContentConfigs message");
    return 0;
  }
  log.DebugLvl(kTag, 1, "XML request sent to SetPatchUAContentConfig is: [%s]", xml.c_str());
  SetPatchUAContentConfig record(nullptr);
  record.setValues(clientId, xml.c_str(), flag);
  const int rc = getOneRow(&record, true, -1, 0);
  if (rc != kRow) {
    log.DebugLvl(kTag, 1, "Unable to set UA Content info in PatchUAContentConfig table. Error:[%s]",
                 DBtable::getErrorStr(rc));
    return 0;
  }
  return 1;
}

int findAndInsertInUAContentConfigLst(PatchUAContentConfigs* configs, PatchUAContentConfig& entry) {
  if (!configs) return 1;
  std::vector<CNMessageBase> entries = *configs->getlistobject(PatchUAContentConfigs::kConfigs);
  auto stored = std::find_if(entries.begin(), entries.end(),
                             [&](const CNMessageBase& e) { return SameTriple(e, entry); });
  if (stored == entries.end()) {
    entries.push_back(entry);
  } else {
    const long long current = stored->getint64(PatchUAContentConfig::kPackageSyncMode);
    stored->setint64(PatchUAContentConfig::kPackageSyncMode,
                     MergedMode(current, entry.getint64(PatchUAContentConfig::kPackageSyncMode)));
    if (current != kModeAll) {
      std::vector<unsigned> ids = PackageIds(stored->getstring(PatchUAContentConfig::kPackageIds));
      AppendMissing(ids, PackageIds(entry.getstring(PatchUAContentConfig::kPackageIds)));
      stored->setstring(PatchUAContentConfig::kPackageIds, VectorToString(ids, ","));
    }
    std::vector<int> binarySets = IntList(*stored, PatchUAContentConfig::kBinarySetIds);
    AppendMissing(binarySets, IntList(entry, PatchUAContentConfig::kBinarySetIds));
    stored->setlistint(PatchUAContentConfig::kBinarySetIds, binarySets);
  }
  configs->setlistobject(PatchUAContentConfigs::kConfigs, entries);
  return 1;
}

int findInUAContentConfigLst(PatchUAContentConfigs& configs, PatchUAContentConfig& query,
                             bool& configured, bool& allPackages) {
  static const char kTag[] = "[findInUAContentConfigLst]";
  const std::vector<CNMessageBase>& entries =
      *static_cast<const PatchUAContentConfigs&>(configs).getlistobject(
          PatchUAContentConfigs::kConfigs);
  auto found = std::find_if(entries.begin(), entries.end(),
                            [&](const CNMessageBase& e) { return SameTriple(e, query); });
  if (found == entries.end()) {
    configured = false;
    allPackages = false;
    return 1;
  }
  const long long mode = found->getint64(PatchUAContentConfig::kPackageSyncMode);
  const std::string packages = found->getstring(PatchUAContentConfig::kConfiguredPackages);
  if (mode == kModeAll) {
    configured = true;
    if (ToLowerCase(packages.c_str()) == "all") allPackages = true;
  } else if (mode == kModeListed || mode == kModeListedStrict) {
    if (!packages.empty()) configured = true;
    allPackages = true;
    const std::vector<unsigned> covered = PackageIds(packages);
    for (unsigned id : PackageIds(query.getstring(PatchUAContentConfig::kPackageIds))) {
      if (Holds(covered, id)) continue;
      EvDebug().Debug(kTag, "Package with id %d is not configured for the remote cache",
                      static_cast<int>(id));
      allPackages = false;
      break;
    }
  }
  return 1;
}

int isPackageSyncupEnabled(PatchUAContentConfigs& configs, bool& enabled) {
  const std::vector<CNMessageBase>& entries =
      *static_cast<const PatchUAContentConfigs&>(configs).getlistobject(
          PatchUAContentConfigs::kConfigs);
  for (const CNMessageBase& entry : entries)
    if (entry.getint64(PatchUAContentConfig::kPackageSyncMode) != kModeOff) enabled = true;
  return 1;
}

int findAndInsertInFileForRelList(PatchUAContentConfig& entry,
                                  std::vector<FilesForRel>* releases) {
  if (!releases) return 1;
  const long long releaseId = entry.getint64(PatchUAContentConfig::kReleaseId);
  const long long osId = entry.getint64(PatchUAContentConfig::kOSId);
  const std::string packageText = entry.getstring(PatchUAContentConfig::kPackageIds);
  const std::vector<unsigned> packageIds = PackageIds(packageText);
  const std::vector<int> binarySets = IntList(entry, PatchUAContentConfig::kBinarySetIds);

  auto newOs = [&]() {
    FilesForOS os;
    os.setint64(FilesForOS::kOSId, osId);
    os.setlistint(FilesForOS::kPackageIds, std::vector<int>(packageIds.begin(), packageIds.end()));
    os.setlistint(FilesForOS::kBinarySetIds, binarySets);
    return os;
  };
  auto rel = std::find_if(releases->begin(), releases->end(), [&](const FilesForRel& r) {
    return r.getint64(FilesForRel::kReleaseId) == releaseId;
  });
  if (rel == releases->end()) {
    FilesForRel added;
    added.setint64(FilesForRel::kReleaseId, releaseId);
    added.setlistobject(FilesForRel::kOSList, std::vector<CNMessageBase>{newOs()});
    releases->push_back(added);
    return 1;
  }
  std::vector<CNMessageBase>& oses = *rel->getlistobject(FilesForRel::kOSList);
  auto os = std::find_if(oses.begin(), oses.end(), [&](const CNMessageBase& o) {
    return o.getint64(FilesForOS::kOSId) == osId;
  });
  if (os == oses.end()) {
    oses.push_back(newOs());
    return 1;
  }
  std::vector<int>& packages = *os->getlistint(FilesForOS::kPackageIds);
  if (entry.getint64(PatchUAContentConfig::kPackageSyncMode) == kModeAll && packageText.empty())
    packages.clear();  // every package
  else
    AppendMissing(packages, packageIds);
  AppendMissing(*os->getlistint(FilesForOS::kBinarySetIds), binarySets);
  return 1;
}
