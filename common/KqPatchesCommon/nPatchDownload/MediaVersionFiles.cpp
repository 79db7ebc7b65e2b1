// Media version files, version strings and the string splitters of CPatchInstallCommon.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxError.h"
#include "SmallTextFile.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {
namespace {

// Numbers in version files read as strtoul/strtol read them with base 0: leading blanks, "0x"
// hexadecimal, "0" octal, stop at the first non-digit, 0 without digits. Never throws.
unsigned long long ReadUnsigned(const std::string& text) {
  return std::strtoull(text.c_str(), nullptr, 0);
}

long ReadSigned(const std::string& text) {
  return std::strtol(text.c_str(), nullptr, 0);
}

std::string DecimalText(unsigned long long value) { return std::to_string(value); }

}  // namespace

bool CPatchInstallCommon::GetMediaVersionFromFile(const std::string& path, FullVersion& version) {
  static const char* kTag = "GetMediaVersionFromFile";
  EvDebug log;

  std::string featureRelease;
  int transactionId = -1;
  int revision = 0;
  int buildNumber = 0;
  std::string releaseText;
  std::string buildText;

  // A missing or unreadable file leaves the start values; one that is no regular file, or
  // larger than the small-file cap, is a failed file operation.
  std::string text;
  int error = 0;
  kqtext::ReadStatus status = kqtext::ReadSmallTextFile(path, text, &error);
  if (status == kqtext::ReadStatus::kTooLarge || error == EINVAL || error == EISDIR) {
    if (status == kqtext::ReadStatus::kTooLarge) error = EFBIG;
    log.Debug(kTag, "Failed in file operation on version file [%s] with error [%d:%s]",
              path.c_str(), error, PxErrnoText(error).c_str());
    return false;
  }
  if (status == kqtext::ReadStatus::kOk) {
    for (std::string& line : kqtext::SplitLines(text)) {
      // CR-LF files: the carriage return is no part of a value.
      if (!line.empty() && line.back() == '\r') line.pop_back();

      int pos;
      if ((pos = FindStringIC(line, "Version=")) >= 0) {
        // Release: from the key to the next "."; build: from there to the following "." or
        // the end. Both searched after the key only.
        size_t start = size_t(pos) + 8;
        size_t dot = line.find('.', start);
        if (dot == std::string::npos) {
          releaseText = line.substr(start);
          buildText.clear();
        } else {
          releaseText = line.substr(start, dot - start);
          size_t next = line.find('.', dot + 1);
          buildText = line.substr(dot + 1, next == std::string::npos ? std::string::npos
                                                                      : next - dot - 1);
        }
        log.DebugLvl(kTag, 10, "Release Id [%s], Build Id [%s]", releaseText.c_str(),
                     buildText.c_str());
        releaseText = DecimalText(ReadUnsigned(releaseText));
      } else if ((pos = FindStringIC(line, "ServicePack=")) >= 0) {
        featureRelease = line.substr(size_t(pos) + 12);
        log.DebugLvl(kTag, 10, "Feature Release [%s]", featureRelease.c_str());
      } else if ((pos = FindStringIC(line, "SPTranID=")) >= 0) {
        std::string value = line.substr(size_t(pos) + 9);
        transactionId = static_cast<int>(ReadSigned(value));
        log.DebugLvl(kTag, 10, "Trasaction Id [%d], [%s]", transactionId, value.c_str());
      } else if ((pos = FindStringIC(line, "RevisionNumber=")) >= 0) {
        std::string value = line.substr(size_t(pos) + 15);
        revision = static_cast<int>(ReadSigned(value));
        log.DebugLvl(kTag, 10, "Revision Id [%d], [%s]", revision, value.c_str());
      } else if ((pos = FindStringIC(line, "BUILD=BUILD")) >= 0) {
        std::string value = line.substr(size_t(pos) + 11);
        buildNumber = static_cast<int>(ReadSigned(value));
        buildText = DecimalText(static_cast<unsigned int>(buildNumber));
        log.DebugLvl(kTag, 10, "Build Id [%d], [%s]", buildNumber, value.c_str());
      }
      if (!featureRelease.empty() && transactionId >= 0 && revision > 0 && buildNumber > 0) break;
    }
  }

  if (featureRelease.empty() || transactionId < 0) {
    log.Debug(kTag, "Invalid Feature Release [%s] or transaction Id [%d] retrieved from file [%s]",
              featureRelease.c_str(), transactionId, path.c_str());
    return false;
  }
  _SPVersion servicePack(featureRelease, "", 0, transactionId, 0);
  servicePack.SetRevId(revision);
  SetMediaVer(version, static_cast<int>(ReadUnsigned(releaseText)),
              static_cast<int>(ReadUnsigned(buildText)), servicePack);
  return true;
}

void CPatchInstallCommon::SetMediaVer(FullVersion& version, int release, int build,
                                      const _SPVersion& servicePack) {
  version = FullVersion(servicePack);
  version.Set(FullVersion::kRelease, release);
  version.Set(FullVersion::kBuild, build);
}

unsigned int CPatchInstallCommon::GetSPVersionFromString(const std::string& name,
                                                         FullVersion& version) {
  static const char* kTag = "GetSPVersionFromString";
  EvDebug log;

  size_t buildPos = name.find('B');
  std::string head = name.substr(0, buildPos);
  size_t dot = head.find('.');
  if (dot == std::string::npos) return KQ_PATCH_E_INVALIDARG;
  std::string release = head.substr(0, dot);
  log.DebugLvl(kTag, 8, "Release is [%s]", release.c_str());
  if (release.empty()) return KQ_PATCH_E_INVALIDARG;

  size_t spPos = name.find("-SP");
  if (spPos == std::string::npos) {
    log.DebugLvl(kTag, 8, "SP version is not found in updates name, current update may be a loose update");
    spPos = name.size();
  }
  log.DebugLvl(kTag, 8, "nSPPos is [%zu], nBuildPos is [%zu]", spPos, buildPos);

  // Without a "B" the build runs from the start of the name.
  size_t buildStart = buildPos == std::string::npos ? 0 : buildPos + 1;
  std::string build = buildStart < spPos ? name.substr(buildStart, spPos - buildStart) : "";
  if (build.empty()) return KQ_PATCH_E_INVALIDARG;
  log.DebugLvl(kTag, 8, "strBuildNo is [%s]", build.c_str());

  version.Set(FullVersion::kRelease, static_cast<int>(std::strtoul(release.c_str(), nullptr, 0)));
  version.Set(FullVersion::kBuild, static_cast<int>(std::strtoul(build.c_str(), nullptr, 0)));
  return KQ_PATCH_OK;
}

void CPatchInstallCommon::SplitStringByDelimiter(const std::string& text,
                                                 const std::string& delimiter,
                                                 std::vector<std::string>& parts) {
  parts.clear();
  if (delimiter.empty()) {
    // Nothing to split at: the whole text is the one part.
    if (!text.empty()) parts.push_back(text);
    return;
  }
  size_t start = 0;
  for (;;) {
    size_t found = text.find(delimiter, start);
    if (found == std::string::npos) {
      if (start < text.size()) parts.push_back(text.substr(start));
      return;
    }
    parts.push_back(text.substr(start, found - start));
    start = found + delimiter.size();
  }
}

void CPatchInstallCommon::SplitStringToVector(std::string text, const std::string& delimiters,
                                              std::vector<std::string>& parts) {
  parts.clear();
  if (delimiters.empty()) {
    if (!text.empty()) parts.push_back(text);
    return;
  }
  size_t start = 0;
  for (;;) {
    size_t found = text.find_first_of(delimiters, start);
    if (found == std::string::npos) {
      if (start < text.size()) parts.push_back(text.substr(start));
      return;
    }
    parts.push_back(text.substr(start, found - start));
    start = found + 1;
  }
}

unsigned int CPatchInstallCommon::GetHighestTransactionIdInstalled(unsigned long long& highest) {
  static const char* kTag = "GetHighestTransactionIdInstalled";
  static const char* kSection = "UpdateBinTran";
  EvDebug log;

  std::map<std::string, std::string> values;
  KQPlatformInfo config;
  if (!config.getRegValues(kSection, values)) {
    log.Debug(kTag, "Failed to get all registry values under [%s]", kSection);
    return KQ_PATCH_E_CONFIG_MISSING;
  }
  for (const auto& entry : values) {
    size_t underscore = entry.second.find('_');
    if (underscore != std::string::npos && underscore + 1 < entry.second.size()) {
      unsigned long long id = ReadUnsigned(entry.second.substr(underscore + 1));
      if (id > highest) {
        log.DebugLvl(kTag, 8, "Found higher transaction Id [%llu] on [%s]", id, entry.first.c_str());
        highest = id;
      }
    } else {
      log.DebugLvl(kTag, 8, "Ignore registry key [%s], continuing", entry.first.c_str());
    }
  }
  log.Debug(kTag, "Highest installed transaction Id is [%llu]", highest);
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
