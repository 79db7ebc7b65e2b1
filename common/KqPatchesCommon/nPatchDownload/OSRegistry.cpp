// The operating-system and release id registry of CPatchInstallCommon.
#include <algorithm>
#include <cctype>
#include <climits>

#include <boost/algorithm/string/predicate.hpp>

#include "Logging/EvDebug.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/RetrievalSide.h"

namespace nPatchDownload {

namespace {

const char kUnknown[] = "unknown";
const char kPayload[] = "BinaryPayload";
const char kPayload32[] = "BinaryPayload32";
constexpr unsigned int kNoOSId = 0xFFFFFFFFu;

// "14 ,16": each id followed by " ,", the last separator cut off.
std::string IdListText(const std::set<int>& ids) {
  std::string text;
  for (int id : ids) text += std::to_string(id) + " ,";
  if (text.size() > 2) text.resize(text.size() - 2);
  return text;
}

bool IsNewOSRow(int row) { return OSTypesInfo[row].isNewOS == 1; }

}  // namespace

CPatchInstallCommon::tSingletonVars& CPatchInstallCommon::tSingletonVars::getInstance() {
  static tSingletonVars instance;
  return instance;
}

void CPatchInstallCommon::Initialize() {
  tSingletonVars& vars = tSingletonVars::getInstance();
  if (vars.initialised.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> guard(vars.lock);
  if (vars.initialised.load(std::memory_order_relaxed)) return;
  SetOSTypesInfo();  // takes the OS table's lock, always after ours
  for (int row = 0; row < KQ_NUM_OS_TYPES; ++row) {
    if (!IsNewOSRow(row)) continue;
    vars.namesById[OSTypesInfo[row].id] = OSTypesInfo[row].name;
    vars.idsByName[OSTypesInfo[row].name] = static_cast<unsigned int>(OSTypesInfo[row].id);
  }
  vars.initialised.store(true, std::memory_order_release);
}

bool CPatchInstallCommon::IsOSIdSupported(int id) {
  Initialize();
  return id >= 0 && id < KQ_NUM_OS_TYPES && IsNewOSRow(id);
}

void CPatchInstallCommon::FilterOutUnsupportedOSIds(std::set<int>& ids) {
  static const char kTag[] = "FilterOutUnsupportedOSIds";
  Initialize();
  EvDebug log;
  log.DebugLvl(kTag, 2, "Original input Os Ids are [%s]", IdListText(ids).c_str());
  for (auto it = ids.begin(); it != ids.end();) {
    if (IsOSIdSupported(*it)) {
      ++it;
      continue;
    }
    log.Debug(kTag, "Remove OS Id [%d] which is no longer supported", *it);
    it = ids.erase(it);
  }
  log.DebugLvl(kTag, 2, "Final Os Ids are [%s]", IdListText(ids).c_str());
}

const char* CPatchInstallCommon::GetUpdateOSNameFromID(unsigned int id, bool payload) {
  Initialize();
  if (payload && IsWindows(id)) return id == 1 ? kPayload32 : kPayload;
  if (id > static_cast<unsigned int>(INT_MAX)) return kUnknown;
  const std::map<int, std::string>& names = tSingletonVars::getInstance().namesById;
  const auto found = names.find(static_cast<int>(id));
  return found != names.end() ? found->second.c_str() : kUnknown;  // never changed once built
}

unsigned int CPatchInstallCommon::GetUpdateOSIDFromName(const std::string& name, bool payload) {
  Initialize();
  if (payload) {
    if (boost::algorithm::iequals(name, kPayload)) return 3;
    if (boost::algorithm::iequals(name, kPayload32)) return 1;
  } else {
    if (boost::algorithm::iequals(name, "Win32")) return 1;
    if (boost::algorithm::iequals(name, "WinX64")) return 3;
  }
  const std::map<std::string, unsigned int>& ids = tSingletonVars::getInstance().idsByName;
  const auto found = ids.find(name);
  return found != ids.end() ? found->second : kNoOSId;
}

bool CPatchInstallCommon::IsUnix(unsigned int id) { return id > 5; }

bool CPatchInstallCommon::IsWindows(unsigned int id) { return !IsUnix(id); }

int CPatchInstallCommon::FindStringIC(const std::string& text, const std::string& pattern) {
  const auto found = std::search(text.begin(), text.end(), pattern.begin(), pattern.end(),
                                 [](char a, char b) {
                                   return std::toupper(static_cast<unsigned char>(a)) ==
                                          std::toupper(static_cast<unsigned char>(b));
                                 });
  if (found == text.end() && !pattern.empty()) return -1;
  return static_cast<int>(found - text.begin());
}

void CPatchInstallCommon::GetBinaryFolderNames(bool windows,
                                               std::vector<std::pair<int, std::string>>& out) {
  Initialize();
  out.clear();
  if (windows) {
    out.emplace_back(1, kPayload32);
    out.emplace_back(3, kPayload);
    return;
  }
  for (int row = 5; row < KQ_NUM_OS_TYPES; ++row)
    if (IsNewOSRow(row)) out.emplace_back(OSTypesInfo[row].id, OSTypesInfo[row].name);
}

int CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(int releaseId) {
  return std::max(releaseId, 5) - 5;
}

int CPatchInstallCommon::ConvertReleaseNumToSimReleaseId(int releaseNum) {
  return releaseNum > INT_MAX - 5 ? INT_MAX : releaseNum + 5;
}

void CPatchInstallCommon::GetSupportedOSIds(std::set<int>& out, bool all, bool windowsOnly) {
  Initialize();
  out.clear();
  if (!all && windowsOnly) {
    out = {1, 3};
    return;
  }
  for (const auto& entry : tSingletonVars::getInstance().namesById)
    if (all || entry.first > 3) out.insert(entry.first);
}

void CPatchInstallCommon::GetAllSupportedOSesMap(std::map<int, std::string>& out) {
  Initialize();
  out = tSingletonVars::getInstance().namesById;
}

void CPatchInstallCommon::ConvertOSIdsToString(
    const std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*>& sides,
    std::string& text) {
  text.clear();
  for (const auto& side : sides) {
    text += side.first.mediaVersion.formatted_str(FullVersion::kFormatSide);
    text += ":";
    text += GetUpdateOSNameFromID(static_cast<unsigned int>(side.first.osId), false);
    text += ", ";
  }
  if (text.size() > 2) text.resize(text.size() - 2);
}

bool CPatchInstallCommon::IsValidUpdateOSId(int id) { return id >= 1 && id <= 34; }

std::string CPatchInstallCommon::GetKQApplianceOSName(UpdatePatches::KQApplianceMainOSType type) {
  switch (type) {
    case UpdatePatches::KQ_APPLIANCE_OS_UNIX: return "Unix";
    case UpdatePatches::KQ_APPLIANCE_OS_MSSQL: return "MSSQL";
    case UpdatePatches::KQ_APPLIANCE_OS_WINDOWS: return "Windows";
    default: return std::string();
  }
}

UpdatePatches::KQApplianceMainOSType CPatchInstallCommon::GetKQApplianceOSType(
    const std::string& name) {
  if (name == "Windows") return UpdatePatches::KQ_APPLIANCE_OS_WINDOWS;
  if (name == "Unix") return UpdatePatches::KQ_APPLIANCE_OS_UNIX;
  if (name == "MSSQL") return UpdatePatches::KQ_APPLIANCE_OS_MSSQL;
  return UpdatePatches::KQ_APPLIANCE_OS_UNKNOWN;
}

unsigned int CPatchInstallCommon::GetChecksumBufferSize() {
  return tSingletonVars::getInstance().checksumBufferSize;
}

}  // namespace nPatchDownload
