// The hotfix configuration of the download center: loaded once per content, filtered for the
// installed feature release, and handed out per update-OS id as files to fetch.
#include <atomic>
#include <list>
#include <utility>
#include <string>

#include "Configuration/KQGlobalParam.h"
#include "Configuration/KQPlatformInfo.h"
#include "Db/Tbl/PatchUpdateOS.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

// The fields of an entry that the filter and the update lists read, found in one pass over the
// entry (as getstringByRef, getint64 and isSet would find them one by one).
struct CPatchDataManagerHN::tHotfixEntry {
  const std::string* name = nullptr;
  long long binarySet = 0;
  bool hasTrans = false;
  long long trans = 0;
  bool hasVisibility = false;
  long long visibility = 0;
  const std::string* checksumText = nullptr;  // the checksum written as text
  bool hasChecksum = false;
  long long checksumNumber = 0;  // the checksum written as a number
};

// What a load filters the entries for.
struct CPatchDataManagerHN::tHotfixFilter {
  int cuTransId;
  int mediaTransId;
  int threshold;  // the update pack's transaction id when set, else the media's
  std::string versionText;
  bool checkVisibility;
  int visibilityFlag;
};

namespace {

using UpdatePatches::HotfixListEntry;

// The visibility level of this Hubnode, shared by every data manager of the process; written
// by each visibility-checking load that finds the global parameter.
std::atomic<int> nLocalVisibilityFlag{0};

// An update's file name is joined to its folder as one component.
bool IsSafeFileName(const std::string& name) {
  return kq::IsSafeRelativeName(name) && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

CPatchDataManagerHN::tHotfixEntry ReadEntry(const CNMessageBase& entry) {
  static const std::string kEmpty;
  CPatchDataManagerHN::tHotfixEntry out;
  out.name = &kEmpty;
  out.checksumText = &kEmpty;
  auto number = [](const KqMessageField& f) { return f.kind == KqFieldKind::kInt64 ? f.number : 0; };
  for (const KqMessageField& f : entry.fields()) {
    if (f.tag == HotfixListEntry::kField1.tag && f.kind == KqFieldKind::kString) out.name = &f.text;
    if (f.tag == HotfixListEntry::kField5.tag) out.binarySet = number(f);
    if (f.tag == HotfixListEntry::kField6.tag) out.trans = number(f);
    if (f.tag == HotfixListEntry::kField7.tag) out.visibility = number(f);
    if (f.tag == HotfixListEntry::kField4.tag) {
      if (f.kind == KqFieldKind::kString) out.checksumText = &f.text;
      out.checksumNumber = number(f);
    }
    if (f.index == HotfixListEntry::kField6.index) out.hasTrans = true;
    if (f.index == HotfixListEntry::kField7.index) out.hasVisibility = true;
    if (f.index == HotfixListEntry::kField4.index) out.hasChecksum = true;
  }
  return out;
}

// Appends the entry's checksum as the update lists hand it out: the text, or else the number
// when one is set.
void AppendChecksum(const CPatchDataManagerHN::tHotfixEntry& fields, std::string& text) {
  if (!fields.checksumText->empty())
    text += *fields.checksumText;
  else if (fields.hasChecksum)
    text += std::to_string(fields.checksumNumber);
}

}  // namespace

unsigned int CPatchDataManagerHN::StoreUpdatesInfo(int count, const std::string&,
                                                   unsigned long) {
  if (count < 0) {
    m_event.Debug("StoreUpdatesInfo", "Input param is invalid.");
    return KQ_PATCH_E_INVALIDARG;
  }
  m_event.DebugLvl("StoreUpdatesInfo", 10, "Successfully update database with updates information.");
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetAllUpdatesList(const std::string& file,
                                                    unsigned long checksum,
                                                    unsigned long& count,
                                                    const FullVersion& version,
                                                    bool checkVisibility) {
  static const char* kTag = "GetAllUpdatesList";
  if (checkVisibility) {
    std::string text;
    long long level = 0;
    if (KQGlobalParam().get("Patch Visibility Level", text)) {
      if (!KqParseConfigNumber(text, level)) level = 0;
      nLocalVisibilityFlag.store(static_cast<int>(level));
      m_event.Debug(kTag, "Local visibility flag is set to [0x%x]",
                    static_cast<unsigned int>(level));
    }
  }
  const int visibilityFlag = nLocalVisibilityFlag.load();
  // The kept entries depend on the file, the version and the visibility filter alike.
  if (checksum == m_updatesConfig.checksum && version == m_updatesConfig.version &&
      checkVisibility == m_updatesConfig.checkVisibility &&
      (!checkVisibility || visibilityFlag == m_updatesConfig.visibilityFlag)) {
    m_event.DebugLvl(kTag, 10, "Hotfix configuration file with checksum [%llu] is already loaded.",
                     static_cast<unsigned long long>(checksum));
    return KQ_PATCH_OK;
  }
  m_event.DebugLvl(kTag, 8,
                   "Input hotfix configuration file has checksum [%llu] which is different from "
                   "the current one [%llu]. Reload the file.",
                   static_cast<unsigned long long>(checksum), m_updatesConfig.checksum);
  std::string text;
  unsigned int rc =
      CPatchInstallCommon::ReadWholeFile(file, text, CPatchInstallCommon::kMaxHotfixConfigFileBytes);
  if (rc != KQ_PATCH_OK) {
    m_event.Debug(kTag, "Failed to open file [%s] with error [%d]", file.c_str(),
                  static_cast<int>(rc));
    return rc;
  }
  // Parsed where it was read; a text that only the plain parse reads is read again for it.
  UpdatePatches::HotfixList hotfixes;
  int decoded = XMLDecoder::unSerializeInPlace(hotfixes, &text[0], text.size());
  if (decoded == kMsgRetryWithText &&
      CPatchInstallCommon::ReadWholeFile(file, text, CPatchInstallCommon::kMaxHotfixConfigFileBytes) ==
          KQ_PATCH_OK)
    decoded = XMLDecoder::unSerialize(hotfixes, text, nullptr);
  if (decoded != 0) {
    m_event.Debug(kTag, "Failed to unserialize hotfix configuration XML.");
    return KQ_PATCH_E_INVALID_INPUT;
  }
  // Each entry is read once: its name and checksum are kept when it passes, and its fields
  // are freed right after.
  std::vector<CNMessageBase>* entries =
      hotfixes.isSet(UpdatePatches::HotfixList::kEntries)
          ? hotfixes.getlistobject(UpdatePatches::HotfixList::kEntries)
          : nullptr;
  if (entries == nullptr || entries->empty()) {
    m_event.Debug(kTag, "There is no hotfix section in the hotfix list or hotfix section is emtpy.");
    m_updatesConfig.Clear();
  } else {
    if (!PopulateBianrySetIdToNewUpdateOSIdMap()) {
      m_event.Debug(kTag, "Failed to populate update os Id map.");
      m_updatesConfig.Clear();
      return KQ_PATCH_E_DB_QUERY;
    }
    m_updatesConfig.updates.clear();
    m_updatesConfig.text.clear();
    count = 0;
    tHotfixFilter filter;
    filter.cuTransId = version.Get(FullVersion::kUPTransactionId);
    filter.mediaTransId = version.Get(FullVersion::kTransactionId);
    filter.threshold = filter.cuTransId > 0 ? filter.cuTransId : filter.mediaTransId;
    filter.versionText = version.formatted_str(FullVersion::kFormatFull);
    filter.checkVisibility = checkVisibility;
    filter.visibilityFlag = visibilityFlag;
    std::vector<tUpdateFile>* lists[35] = {};  // by update-OS id, filled as ids come up
    for (CNMessageBase& entry : *entries) {
      const tHotfixEntry fields = ReadEntry(entry);
      const int osId = FilterHotfixEntry(filter, fields);
      if (osId != 0) {
        std::vector<tUpdateFile>*& kept = lists[osId];
        if (kept == nullptr) kept = &m_updatesConfig.updates[static_cast<unsigned int>(osId)];
        std::string& stored = m_updatesConfig.text;
        const size_t at = stored.size();
        stored += *fields.name;
        AppendChecksum(fields, stored);
        kept->push_back({at, fields.name->size(), stored.size() - at - fields.name->size()});
        ++count;
      }
      // Freed now, while its fields are still in the cache; the list keeps an empty shell.
      CNMessageBase done(std::move(entry));
    }
    m_event.DebugLvl(kTag, 2, "Successfully filled hotfix map");
  }
  m_updatesConfig.version = version;
  m_updatesConfig.checksum = checksum;
  m_updatesConfig.checkVisibility = checkVisibility;
  m_updatesConfig.visibilityFlag = visibilityFlag;
  return KQ_PATCH_OK;
}

int CPatchDataManagerHN::FilterHotfixEntry(const tHotfixFilter& filter,
                                           const tHotfixEntry& fields) {
  static const char* kTag = "GetAllUpdatesList";
  const std::string& name = *fields.name;
  const int cuTransId = filter.cuTransId;
  const int mediaTransId = filter.mediaTransId;
  if (cuTransId > 0) {
    m_event.DebugLvl(kTag, 2, "Using CU's transaction Id [%d]", cuTransId);
  } else {
    m_event.DebugLvl(kTag, 2,
                     "Input Version [%s] does not have CU Tran set, using DVD's transaction "
                     "Id [%d]",
                     filter.versionText.c_str(), mediaTransId);
  }
  const int transId = static_cast<int>(fields.trans);
  if (fields.hasTrans && transId != 0) {
    if (transId <= filter.threshold) {
      m_event.DebugLvl(kTag, 2,
                       "Current update [%s] has transaction Id [%d] lower than CU/SP's [%d], "
                       "skipping download it",
                       name.c_str(), transId, mediaTransId);
      return 0;
    }
  } else {
    m_event.DebugLvl(kTag, 2, "Transaction Id for update [%s] is not set, skipping the check",
                     name.c_str());
  }
  const unsigned long binarySet = static_cast<unsigned long>(fields.binarySet);
  int osId = 0;
  if (binarySet <= static_cast<unsigned long>(INT32_MAX)) {
    auto found = m_updateOSMap.find(static_cast<int>(binarySet));
    if (found != m_updateOSMap.end()) osId = found->second;
  }
  m_event.DebugLvl(kTag, 10, "Found update OS Id [%d] using binary set Id [%lu]", osId,
                   binarySet);
  if (osId < 1 || osId > 34) {
    m_event.Debug(kTag, "Current OS Id [%d] is not supported, continuing.", osId);
    return 0;
  }
  const int visibility = static_cast<int>(fields.visibility);
  if (filter.checkVisibility && fields.hasVisibility && visibility != 0 &&
      visibility != filter.visibilityFlag) {
    m_event.DebugLvl(kTag, 2, "Skip update [%s] with visibility flag [%d], local flag [%d]",
                     name.c_str(), visibility, filter.visibilityFlag);
    return 0;
  }
  if (!IsSafeFileName(name)) {
    m_event.Debug(kTag, "Update name [%s] is not a plain file name, skipping it", name.c_str());
    return 0;
  }
  return osId;
}

unsigned int CPatchDataManagerHN::GetUpdatesList(int updateOsId,
                                                 std::vector<UpdatePatches::BinaryV11>& out,
                                                 std::set<int>) {
  static const char* kTag = "GetUpdatesList";
  auto found = m_updatesConfig.updates.find(static_cast<unsigned int>(updateOsId));
  if (found == m_updatesConfig.updates.end()) {
    m_event.DebugLvl(kTag, 2, "Not updates with OSId [%d] found.", updateOsId);
    return KQ_PATCH_OK;
  }
  std::string base = CPatchInstallCommon::GetUpdateOSNameFromID(updateOsId, false);
  if (m_updatesConfig.version.Get(FullVersion::kRelease) != 0)
    base += "/" + m_updatesConfig.version.formatted_str(FullVersion::kFormatSPName);
  base += "/Updates/";
  const std::string flag = std::to_string(updateOsId);
  const std::string& text = m_updatesConfig.text;
  for (const tUpdateFile& file : found->second) {
    std::string name = text.substr(file.at, file.nameLength);
    UpdatePatches::BinaryV11 binary;
    binary.setstring(UpdatePatches::BinaryV11::kField2, flag);
    binary.setstring(UpdatePatches::BinaryV11::kChecksum,
                     text.substr(file.at + file.nameLength, file.checksumLength));
    binary.setstring(UpdatePatches::BinaryV11::kFileName, name);
    binary.setstring(UpdatePatches::BinaryV11::kRelativePath, base + name);
    out.push_back(std::move(binary));
  }
  return KQ_PATCH_OK;
}

bool CPatchDataManagerHN::PopulateBianrySetIdToNewUpdateOSIdMap() {
  static const char* kTag = "PopulateBianrySetIdToNewUpdateOSIdMap";
  if (!m_updateOSMap.empty()) {
    m_event.DebugLvl(kTag, 10, "Update OS Id map is already generated.");
    return true;
  }
  PatchUpdateOS table(nullptr);
  table.setOrderBy("BinarySetID ASC");
  int rc = table.openCursor();
  if (rc != 0) {
    m_event.Debug(kTag, "Failed to open query on update os with error [%d:%s]", rc,
                  DBtable::getErrorStr(rc));
    return false;
  }
  bool result = true;
  for (;;) {
    rc = table.fetchCursor(true);
    if (rc == 100) {
      m_event.DebugLvl(kTag, 10, "No more data for update os");
      break;
    }
    if (rc != 0) {
      m_event.Debug(kTag, "Failed to retrive update os with error [%d:%s]", rc,
                    DBtable::getErrorStr(rc));
      result = false;
      break;
    }
    const PatchUpdateOS_t* row = table.getDataPtr();
    if (row == nullptr) {
      m_event.Debug(kTag, "Failed to retrieve valid data from updates info table");
      break;
    }
    m_updateOSMap[row->BinarySetID] = row->NewUpdateOSID;
    m_event.DebugLvl(kTag, 10, "Successfully map binary set Id [%d] to new udpate os Id [%d]",
                     row->BinarySetID, row->NewUpdateOSID);
  }
  if (!result) {
    m_event.Debug(kTag, "Clear update os map");
    m_updateOSMap.clear();
  }
  table.closeCursor();
  return result;
}

}  // namespace nPatchDownload
