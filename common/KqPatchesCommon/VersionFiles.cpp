// Version, timestamp and checksum file readers.
#include "VersionFiles.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "FileSystemUtils.h"
#include "InstallUtils/KQInstallCommonUtils.h"
#include "Logging/EvDebug.h"
#include "SmallTextFile.h"

namespace {

// Reads the lines of a file that must be accessible; logs and gives false
// when it cannot be read. Each line loses one trailing carriage return.
bool ReadLines(const std::string& path, const char* tag, unsigned long jobId,
               std::vector<std::string>& lines) {
  EvDebug log;
  if (KQInstallCommonUtils::KQInstallAccess(path, 0) != 0) {
    log.DebugJob(0, tag, static_cast<long long>(jobId), "Cannot access file [%s] with errorno [%d]",
                 path.c_str(), errno);
    return false;
  }
  std::string content;
  int error = 0;
  switch (kqtext::ReadSmallTextFile(path, content, &error)) {
    case kqtext::ReadStatus::kOpenFailed:
      log.DebugJob(0, tag, static_cast<long long>(jobId), "Could not open file [%s] with errno [%d]",
                   path.c_str(), error);
      return false;
    case kqtext::ReadStatus::kTooLarge:
      log.DebugJob(0, tag, static_cast<long long>(jobId), "File [%s] is larger than [%zu] bytes",
                   path.c_str(), kqtext::kMaxSmallTextFileBytes);
      return false;
    case kqtext::ReadStatus::kOk:
      break;
  }
  lines = kqtext::SplitLines(content);
  for (std::string& line : lines) kqtext::StripTrailingCR(line);
  return true;
}

// The leading decimal number of text (blanks before it skipped); 0 when there
// is none or it does not fit an int.
int LeadingDecimal(const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value > INT_MAX || value < INT_MIN) return 0;
  return static_cast<int>(value);
}

// Position of needle in text ignoring ASCII case; npos when absent. Works on
// the whole text, NUL bytes included.
std::size_t FindNoCase(const std::string& text, const std::string& needle) {
  if (needle.size() > text.size()) return std::string::npos;
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    std::size_t j = 0;
    while (j < needle.size() &&
           std::tolower(static_cast<unsigned char>(text[i + j])) ==
               std::tolower(static_cast<unsigned char>(needle[j])))
      ++j;
    if (j == needle.size()) return i;
  }
  return std::string::npos;
}

}  // namespace

bool ReadAttrFromFile(const std::string& path, std::string key, std::string& value,
                      unsigned long jobId) {
  std::vector<std::string> lines;
  if (!ReadLines(path, "ReadAttrFromFile", jobId, lines)) return false;
  value.clear();
  for (const std::string& line : lines) {
    if (line.compare(0, key.size(), key) != 0) continue;
    // The key is followed by one separator character, normally "=".
    value = line.size() > key.size() ? line.substr(key.size() + 1) : std::string();
    return true;
  }
  return false;
}

bool ReadFileInString(const std::string& path, std::string& contents, unsigned long jobId) {
  std::string content;
  int error = 0;
  const kqtext::ReadStatus status = kqtext::ReadSmallTextFile(path, content, &error);
  if (status != kqtext::ReadStatus::kOk) {
    EvDebug().DebugJob(0, "ReadFileInString", static_cast<long long>(jobId),
                       status == kqtext::ReadStatus::kTooLarge
                           ? "Description file %s is too large"
                           : "Failed to open description file %s",
                       path.c_str());
    return false;
  }
  contents.clear();
  for (std::string& line : kqtext::SplitLines(content)) {
    kqtext::StripTrailingCR(line);
    contents += line;
  }
  return true;
}

bool SetSPVersionFromVersionFile(_SPVersion& sp, const std::string& path, unsigned long jobId,
                                 bool setReleaseAndBuild) {
  static const char kTag[] = "SetSPVersionFromVersionFile";
  EvDebug log;
  const long long job = static_cast<long long>(jobId);
  if (!isFilePresent(path.c_str())) {
    log.DebugJob(2, kTag, job, "File %s is not present.", path.c_str());
    return false;
  }
  std::string spName, tranId, cuName, revision;
  if (!ReadAttrFromFile(path, "ServicePack", spName, jobId) ||
      !ReadAttrFromFile(path, "SPTranID", tranId, jobId)) {
    log.DebugJob(0, kTag, job, "Failed to read the Feature Release and SPTranID from %s",
                 path.c_str());
    sp = _SPVersion();
    return false;
  }
  if (!ReadAttrFromFile(path, "CumulativeUpdateName", cuName, jobId)) cuName.clear();
  if (!ReadAttrFromFile(path, "RevisionNumber", revision, jobId)) revision.clear();
  sp = _SPVersion(spName, cuName, 0, LeadingDecimal(tranId), LeadingDecimal(revision));

  if (!setReleaseAndBuild) {
    log.DebugJob(2, kTag, job, "Skipping version and build setting for old download");
    return true;
  }
  std::string build, version;
  if (ReadAttrFromFile(path, "BUILD", build, jobId) &&
      ReadAttrFromFile(path, "VERSION", version, jobId)) {
    if (build.size() > 5) sp.SetBuild(LeadingDecimal(build.substr(5)));  // "BUILD80"
    const std::size_t dot = version.find('.');
    if (dot != std::string::npos) sp.SetRelease(LeadingDecimal(version.substr(0, dot)));
    return true;
  }
  if (!ReadAttrFromFile(path, "Version", version, jobId)) {
    log.DebugJob(0, kTag, job, "Failed to read version from version file at path [%s]",
                 path.c_str());
    return false;
  }
  const std::size_t first = version.find('.');
  if (first != std::string::npos) {
    sp.SetRelease(LeadingDecimal(version.substr(0, first)));
    const std::size_t second = version.find('.', first + 1);
    if (second != std::string::npos)
      sp.SetBuild(LeadingDecimal(version.substr(first + 1, second - first - 1)));
  }
  return true;
}

bool ParseStampValue(const std::string& text, long long& value) {
  std::size_t begin = text.find_first_not_of(" \t");
  std::size_t end = text.find_last_not_of(" \t");
  if (begin == std::string::npos) return false;
  const std::string digits = text.substr(begin, end - begin + 1);
  std::size_t first = (digits[0] == '-' || digits[0] == '+') ? 1 : 0;
  if (first == digits.size()) return false;
  for (std::size_t i = first; i < digits.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(digits[i]))) return false;
  errno = 0;
  const long long parsed = std::strtoll(digits.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  value = parsed;
  return true;
}

long long ExtractTimestamp(const char* path, std::string* message) {
  const std::string file = path != nullptr ? path : "";
  auto say = [message](const std::string& text) {
    if (message != nullptr) *message = text;
  };
  if (path == nullptr || KQInstallCommonUtils::KQInstallAccess(file, 0) != 0) {
    say("0 There is no timestamp file at [" + file + "]");
    return 0;
  }
  std::string content;
  if (kqtext::ReadSmallTextFile(file, content, nullptr) != kqtext::ReadStatus::kOk) {
    say("1 Could not open the timestamp file at [" + file + "], though it exists");
    return 0;
  }
  static const char kKey[] = "UnixTime";
  const std::size_t kKeyLen = sizeof(kKey) - 1;
  long long value = 0;
  bool found = false;
  for (std::string& line : kqtext::SplitLines(content)) {
    const std::size_t cr = line.rfind('\r');
    if (cr != std::string::npos) line.resize(cr);
    if (line.size() >= kKeyLen && strncasecmp(line.c_str(), kKey, kKeyLen) == 0) {
      const std::size_t eq = line.find('=', kKeyLen);
      if (eq != std::string::npos) {
        long long parsed = 0;
        if (ParseStampValue(line.substr(eq + 1), parsed)) {
          value = parsed;
          found = true;
        }
        continue;
      }
    }
    if (FindNoCase(line, "ReducedPackage=1") != std::string::npos) say("-reduced-");
  }
  if (!found)
    say("2 Warning: couldn't find the \"UnixTime=\" line in [" + file + "]; defaulting to zero");
  return value;
}

std::string getChecksumFromFile(std::string path) {
  if (KQInstallCommonUtils::KQInstallAccess(path, 0) != 0) {
    EvDebug().Debug("getChecksumFromFile", "Failed to access the file [%s] to read checksum",
                    path.c_str());
    return "0";
  }
  std::string content;
  if (kqtext::ReadSmallTextFile(path, content, nullptr) != kqtext::ReadStatus::kOk) return "0";
  auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  std::size_t start = 0;
  while (start < content.size() && isSpace(content[start])) ++start;
  std::size_t end = start;
  while (end < content.size() && !isSpace(content[end])) ++end;
  return end > start ? content.substr(start, end - start) : "0";
}
