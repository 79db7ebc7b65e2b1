// The configuration files of updates, update packs and cumulative update packs.
//
//   [NAME]=linux-x8664_SP20_HotFix-7      [UPDATETYPE]=UPDATE
//   [VERSION]=11.0.0(BUILD80)             [IsHotFix]=Yes
//   [REQUIRES]=SP20-HotFix-3,SP20-HotFix-5
//
// A line counts when, trimmed, it begins with one of the keys below (case ignored); the rest
// of the line is the value.
#include <cctype>
#include <climits>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "KQUpdateCache.h"
#include "PortableFiles/PxError.h"
#include "SmallTextFile.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/SupportedUpdatesInCopy.h"

namespace nPatchDownload {
namespace {

const char* const kTag = "ReadConfigurationFromIniFile";

// X(key, action), tried in this order; the first key that starts the line decides.
#define KQ_UPDATE_INI_KEYS(X)                      \
  X("[NAME]=", kName)                              \
  X("NAME=", kName)                                \
  X("[TransactionID]=", kTransactionId)            \
  X("[IsHotFix]=", kIsHotfix)                      \
  X("[ServicePackHotFix]=", kServicePack)          \
  X("[ActiveSP]=", kServicePack)                   \
  X("[MaxMediaTransactionID]=", kMaxMediaTransactionId) \
  X("[REQUIRES]=", kRequires)                      \
  X("[UPDATETYPE]=", kWindowsType)                 \
  X("TYPE=", kUnixType)                            \
  X("[VERSION]=", kVersion)                        \
  X("VERSION=", kVersion)                          \
  X("[CUVersion]=", kPackNumber)                   \
  X("[CUFriendlyName]=", kFriendlyName)            \
  X("[CUTransactionID]=", kPackTransactionId)

enum Action {
  kName,
  kTransactionId,
  kIsHotfix,
  kServicePack,
  kMaxMediaTransactionId,
  kRequires,
  kWindowsType,
  kUnixType,
  kVersion,
  kPackNumber,
  kFriendlyName,
  kPackTransactionId,
};

struct KeyRule {
  const char* key;
  Action action;
};

#define KQ_UPDATE_INI_RULE(key, action) {key, action},
const KeyRule kRules[] = {KQ_UPDATE_INI_KEYS(KQ_UPDATE_INI_RULE)};
#undef KQ_UPDATE_INI_RULE

// The working values of one read; they start empty on every call.
struct ReaderState {
  int release = 0;
  int build = 0;
  long long packNumber = 0;
  long long packTransactionId = 0;
  std::string friendlyName;
  std::vector<std::string> required;
};

// A value that must begin with a number (after blanks): its leading digits, else false.
bool LeadingDecimal(const std::string& text, size_t from, long long& value) {
  size_t i = from;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t start = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == start) return false;
  while (start + 1 < i && text[start] == '0') ++start;
  if (i - start > 10) return false;  // beyond 32 bits
  long long v = std::strtoll(text.substr(start, i - start).c_str(), nullptr, 10);
  if (v > 2147483647LL) return false;
  value = v;
  return true;
}

// "11.0.0(BUILD80)": the release is the number the value begins with (the one before its first
// "."), the build the whole digit run that follows the first "BUILD"; 0 without "BUILD" or
// without digits after it. Only a value that does not begin with a number (or a number beyond
// 32 bits) cannot be read.
bool ParseVersionValue(const std::string& value, int& release, int& build) {
  long long r = 0, b = 0;
  if (!LeadingDecimal(value, 0, r)) return false;
  int pos = CPatchInstallCommon::FindStringIC(value, "BUILD");
  if (pos >= 0) {
    size_t digits = size_t(pos) + 5;
    while (digits < value.size() && (value[digits] == ' ' || value[digits] == '\t')) ++digits;
    const bool hasDigits =
        digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits]));
    if (hasDigits && !LeadingDecimal(value, digits, b)) return false;
  }
  release = static_cast<int>(r);
  build = static_cast<int>(b);
  return true;
}

// Base 0, as strtol reads it; false when the value holds no number at all.
bool ReadNumberBase0(const std::string& value, long long& out) {
  const char* begin = value.c_str();
  char* end = nullptr;
  long long v = std::strtoll(begin, &end, 0);
  if (end == begin) return false;
  out = v;
  return true;
}

// The element pattern of a required hotfix. Elements longer than any real name are not tried:
// the matcher recurses per character.
bool IsHotfixElement(const std::string& element) {
  static const size_t kMaxElement = 128;
  static const std::regex pattern("SP[[:digit:]]+[[:alpha:]]?-HotFix-[[:digit:]]+",
                                  std::regex::ECMAScript | std::regex::icase);
  return element.size() <= kMaxElement && std::regex_match(element, pattern);
}

void ApplyName(const std::string& value, tSupportedUpdatesInCopyBase& record) {
  record.name = value;
  unsigned int id = CPatchInstallCommon::GetUpdateOSIDFromName(value.substr(0, value.find('_')), false);
  if (id == 0xFFFFFFFFu) {
    size_t last = value.rfind('_');
    id = CPatchInstallCommon::GetUpdateOSIDFromName(
        last == std::string::npos ? value : value.substr(last + 1), false);
  }
  record.osId = static_cast<int>(id);
}

}  // namespace

unsigned int CPatchInstallCommon::ReadConfigurationFromIniFile(const std::string& path,
                                                               tSupportedUpdatesInCopyBase& record,
                                                               IPatchEvent& event) {
  if (!IsFileExisted(path)) {
    event.Debug(kTag, "Ini file [%s] does not exist.", path.c_str());
    return KQ_PATCH_E_INVALID_INPUT;
  }
  // Read whole, as a small file: only a regular one, up to the small-file cap.
  std::string text;
  int error = 0;
  kqtext::ReadStatus status = kqtext::ReadSmallTextFile(path, text, &error);
  if (status != kqtext::ReadStatus::kOk) {
    event.Debug(kTag, "Failed to open Ini file [%s]: %s", path.c_str(),
                status == kqtext::ReadStatus::kTooLarge ? "larger than the size limit"
                                                        : PxErrnoText(error).c_str());
    return KQ_PATCH_E_FILE_IO;
  }

  static_cast<tSupportedUpdatesInCopyBase&>(record) = tSupportedUpdatesInCopyBase();
  record.version.Set(FullVersion::kSPMajor, -1);
  // The derived lists start empty too, so a reused record keeps nothing of an earlier file.
  if (auto* updates = dynamic_cast<tSupportedUpdatesInCopy*>(&record)) {
    updates->requiredHotfixes.clear();
  }
  if (auto* cuPack = dynamic_cast<tSupportedCUPackInCopy*>(&record)) {
    cuPack->pack = UpdatePatches::UpdatePack();
  }

  ReaderState st;
  for (std::string& line : kqtext::SplitLines(text)) {
    boost::algorithm::trim(line);
    const KeyRule* rule = nullptr;
    for (const KeyRule& r : kRules) {
      if (boost::algorithm::istarts_with(line, r.key)) {
        rule = &r;
        break;
      }
    }
    if (!rule) continue;
    std::string value = line.substr(std::char_traits<char>::length(rule->key));
    long long number = 0;
    switch (rule->action) {
      case kName:
        ApplyName(value, record);
        break;
      case kTransactionId:
        record.transactionId = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
        break;
      case kIsHotfix:
        record.isHotfix = boost::algorithm::iequals(value, "Yes");
        break;
      case kServicePack:
        record.version = FullVersion(_SPVersion(value, "", 0, 0, 0));
        break;
      case kMaxMediaTransactionId:
        record.maxMediaTransactionId = std::strtoull(value.c_str(), nullptr, 0);
        record.version.Set(FullVersion::kTransactionId,
                           static_cast<int>(record.maxMediaTransactionId));
        break;
      case kRequires:
        event.DebugLvl(kTag, 8, "Required updates are: [%s]", value.c_str());
        if (!boost::algorithm::iequals(value, "None")) SplitStringToVector(value, ":;,", st.required);
        break;
      case kWindowsType:
      case kUnixType:
        if (boost::algorithm::iequals(value, "UPDATEPACK")) {
          record.updateType = tSupportedUpdatesInCopyBase::kUpdatePack;
        } else if (boost::algorithm::iequals(value, "UPDATE")) {
          record.updateType = tSupportedUpdatesInCopyBase::kUpdate;
        } else {
          event.Debug(kTag, rule->action == kWindowsType ? "Unknown Windows update type [%s]"
                                                         : "Unknown Unix update type [%s]",
                      value.c_str());
        }
        break;
      case kVersion:
        if (!ParseVersionValue(value, st.release, st.build)) {
          event.Debug(kTag, "Invalid version [%s] in ini file [%s]", value.c_str(), path.c_str());
          return KQ_PATCH_E_INVALID_INPUT;
        }
        break;
      case kPackNumber:
        if (!ReadNumberBase0(value, number)) {
          event.Debug(kTag, "Invalid CU version [%s] in ini file [%s]", value.c_str(),
                      path.c_str());
          return KQ_PATCH_E_INVALID_INPUT;
        }
        st.packNumber = number;
        break;
      case kFriendlyName:
        st.friendlyName = value;
        break;
      case kPackTransactionId:
        st.packTransactionId = static_cast<long long>(std::strtoull(value.c_str(), nullptr, 0));
        break;
    }
  }

  record.version.Set(FullVersion::kRelease, st.release);
  record.version.Set(FullVersion::kBuild, st.build);
  event.DebugLvl(kTag, 10,
                 "Updates INI details: name [%s], ReleaseId [%d], BuildId [%d], OSId [%d], "
                 "Trans Id [%d], Max Media Trans Id [%llu], Is hotfix [%s], Feature Release [%s]",
                 record.name.c_str(), record.version.Get(FullVersion::kRelease),
                 record.version.Get(FullVersion::kBuild), record.osId, record.transactionId,
                 record.maxMediaTransactionId, record.isHotfix ? "Y" : "N",
                 record.version.formatted_str(FullVersion::kFormatSide).c_str());

  if (record.name.empty()) {
    event.Debug(kTag, "Empty updates name in ini file.");
    return KQ_PATCH_E_INVALID_INPUT;
  }
  if (record.isHotfix && record.name.find('_') == std::string::npos) {
    event.Debug(kTag, "Updates name in ini file does not conform to the rule.");
    return KQ_PATCH_E_INVALID_INPUT;
  }

  if (record.isHotfix) {
    auto* updates = dynamic_cast<tSupportedUpdatesInCopy*>(&record);
    if (!updates) {
      event.Debug(kTag, "Update file [%s] has IsHotfix set but cannot cast to updates format.",
                  path.c_str());
      return KQ_PATCH_E_DESCRIPTOR_FLAGS;
    }
    std::string prefix = record.name.substr(0, record.name.rfind('_') + 1);
    for (const std::string& element : st.required) {
      if (!IsHotfixElement(element)) continue;
      std::string full = prefix + element;
      event.DebugLvl(kTag, 8, "Adding required HF [%s] to current update [%s]", full.c_str(),
                     record.name.c_str());
      updates->requiredHotfixes.insert(full);
    }
  } else {
    event.DebugLvl(kTag, 8, "Current update [%s] is not a hotfix, skipping required HF",
                   record.name.c_str());
  }

  if (st.packNumber > 0) {
    auto* cuPack = dynamic_cast<tSupportedCUPackInCopy*>(&record);
    if (!cuPack) {
      event.Debug(kTag, "Update file [%s] has CU number set but cannot cast to CU pack format.",
                  path.c_str());
      return KQ_PATCH_E_DESCRIPTOR_FLAGS;
    }
    cuPack->pack.setstring(UpdatePatches::UpdatePack::kField5, st.friendlyName);
    cuPack->pack.setint64(UpdatePatches::UpdatePack::kNumber, st.packNumber);
    cuPack->pack.setint64(UpdatePatches::UpdatePack::kField2,
                          static_cast<int>(st.packTransactionId));
    record.version = FullVersion(_SPVersion(record.version),
                                 _UPVersion(static_cast<int>(st.packNumber),
                                            static_cast<int>(st.packTransactionId),
                                            st.friendlyName));
    record.version.Set(FullVersion::kTransactionId, static_cast<int>(record.maxMediaTransactionId));
    record.updateType = tSupportedUpdatesInCopyBase::kCUPack;
    event.DebugLvl(kTag, 10,
                   "CU INI details: name [%s], OSId [%d], CU Number [%d], Trans Id [%d], "
                   "Max Media Trans Id [%llu], Feature Release [%s]",
                   record.name.c_str(), record.osId, static_cast<int>(cuPack->pack.getint64(UpdatePatches::UpdatePack::kNumber)),
                   static_cast<int>(cuPack->pack.getint64(UpdatePatches::UpdatePack::kField2)), record.maxMediaTransactionId,
                   record.version.formatted_str(FullVersion::kFormatSide).c_str());
  }
  return KQ_PATCH_OK;
}

unsigned int CPatchInstallCommon::GetTransIdForUpdate(const std::string& folder,
                                                      int& transactionId) {
  KQUpdateCache cache(0, true);
  INIInfoForPatch info;
  if (!cache.ReadUpdateINIFile(info, folder, true, false, std::string())) {
    EvDebug().Debug("GetTransIdForUpdate", "Cannot read ini files in [%s], continuing",
                    folder.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  // A decimal number; what is not one counts as 0, and a value beyond int is clamped.
  const long long value = std::strtoll(info.transactionId.c_str(), nullptr, 10);
  transactionId = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
