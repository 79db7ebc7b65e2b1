// Update descriptors: small key=value text files, one key a line, no sections.
//
//   [NAME]=linux-x8664_SP3_fix-12        [VERSION]=9.0
//   [SPACENEEDED]=5368709120             [12:Core Agent]=Yes
//   [REQUIRES]=linux-x8664_SP3_fix-7     [REBOOTPKGS]=Core Agent
//
// A key is found anywhere in the line, without regard to case (only NAME must begin it), and
// every key is tried on every line, so one line may set several fields. The value is the text
// after the line's last '='. Platform lines name the packages an update applies to: in the old
// format by name ("[Core Agent]=Yes", matched against the platform rows of the database), from
// VERSION 9 on by id and name ("[12:Core Agent]=Yes").
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "KQUpdateCache.h"
#include "PatchesUpdateDbClient/CKqPatchesUpdateDBClient.h"
#include "SmallTextFile.h"
#include "StringUtils.h"

// Old-format platform lines, lower-cased, to the platform names each one names, in row order.
struct KqPlatformLineLookup {
  std::unordered_map<std::string, std::vector<std::string>> names;
};

namespace {

const char kReadTag[] = "[ReadUpdateINIFile]";

// ASCII lower case; keys and platform forms are compared this way.
char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void LowerInto(const std::string& text, std::string& out) {
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = LowerChar(text[i]);
}

std::string Lower(const std::string& text) {
  std::string out;
  LowerInto(text, out);
  return out;
}

bool Has(const std::string& lowered, const char* key) {
  return lowered.find(key) != std::string::npos;
}

bool EndsWithYes(const std::string& line) {
  static const char kYes[] = "=yes";
  const size_t n = sizeof(kYes) - 1;
  if (line.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (LowerChar(line[line.size() - n + i]) != kYes[i]) return false;
  return true;
}

// Builds the lookup from the platform rows. A name that begins with "Windows" and ends with
// "32" or "64" is written without those two digits in its bracketed form.
std::shared_ptr<const KqPlatformLineLookup> BuildLookup(const std::vector<KqPlatformRow>& rows) {
  auto lookup = std::make_shared<KqPlatformLineLookup>();
  for (const KqPlatformRow& row : rows) {
    if (!row.hasName) continue;
    const std::string lowered = Lower(row.name);
    std::string bracketed = lowered;
    if (bracketed.compare(0, 7, "windows") == 0 && bracketed.size() >= 2) {
      const std::string tail = bracketed.substr(bracketed.size() - 2);
      if (tail == "32" || tail == "64") bracketed.resize(bracketed.size() - 2);
    }
    const std::string forms[2] = {"[" + bracketed + "]=yes", lowered + "=yes"};
    for (int i = 0; i < 2; ++i) {
      if (i == 1 && forms[1] == forms[0]) break;
      lookup->names[forms[i]].push_back(row.name);
    }
  }
  return lookup;
}

// The value of a key line: the text after its last '='. False for a line without '='.
bool ValueAfterLast(const std::string& line, std::string& value) {
  const size_t eq = line.rfind('=');
  if (eq == std::string::npos) return false;
  value.assign(line, eq + 1, std::string::npos);
  return true;
}

// The leading number of a VERSION value (after the line's first '=', up to the first '.').
// -1 when there is no digit there.
int VersionMajor(const std::string& line) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return -1;
  int major = -1;
  for (size_t i = eq + 1; i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])); ++i)
    major = major < 0 ? line[i] - '0' : (major > 100000 ? major : major * 10 + (line[i] - '0'));
  return major;
}

// "SPACENEEDED" as an unsigned 64-bit decimal; blanks around it are allowed. False for anything
// else (a sign, junk, an overflow, nothing).
bool ParseSpace(const std::string& value, unsigned long long& out) {
  size_t b = value.find_first_not_of(" \t");
  size_t e = value.find_last_not_of(" \t");
  if (b == std::string::npos) return false;
  unsigned long long v = 0;
  for (size_t i = b; i <= e; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (!std::isdigit(c)) return false;
    const unsigned d = c - '0';
    if (v > (~0ULL - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

// The two descriptor dialects differ only in these points.
struct Dialect {
  bool fullKeys;          // transaction ids and the active feature release are read
  bool versionSwitches;   // a VERSION above 8 switches to the new platform format
  bool alwaysNew;         // platform lines always in the new format
  size_t minColon;        // a ':' before this column makes a new-format platform line ignored
};

const Dialect kUpdateIni = {true, true, false, 1};
const Dialect kPerUpdateIni = {false, false, true, 2};

}  // namespace

// One read of a descriptor: the key table applied line by line.
class KqDescriptorParser {
 public:
  KqDescriptorParser(KQUpdateCache& cache, INIInfoForPatch& info, const Dialect& dialect,
                     const std::string& path)
      : cache_(cache), info_(info), dialect_(dialect), path_(path), newFormat_(dialect.alwaysNew) {}

  // False when the platform rows were needed and could not be fetched.
  bool Line(const std::string& line) {
    LowerInto(line, lowered_);
    const std::string& lowered = lowered_;
    std::string& value = value_;
    if (line.compare(0, 7, "[NAME]=") == 0 || line.compare(0, 5, "NAME=") == 0)
      if (ValueAfterLast(line, value)) info_.patchName = value;
    if (Has(lowered, "spaceneeded") && ValueAfterLast(line, value)) SetSpace(value);
    if (!Has(lowered, "requiressp") &&
        (Has(lowered, "[requires]") || (Has(lowered, "requires") && !Has(lowered, "none"))))
      if (ValueAfterLast(line, value)) info_.requires = value;
    if (Has(lowered, "[obsoletes]") || (Has(lowered, "obsoletes") && !Has(lowered, "none")))
      if (ValueAfterLast(line, value)) info_.obsoletes = value;
    if (Has(lowered, "aliasname") && ValueAfterLast(line, value)) info_.aliasName = value;
    if (Has(lowered, "[rebootpkgs]") || (Has(lowered, "rebootpkgs") && !Has(lowered, "none")))
      if (ValueAfterLast(line, value)) info_.rebootPackages = value;
    if (dialect_.fullKeys) {
      if (Has(lowered, "[transactionid]=") && ValueAfterLast(line, value))
        info_.transactionId = value;
      if (Has(lowered, "activesp") && ValueAfterLast(line, value)) info_.activeSP = value;
      if (Has(lowered, "[servicepackhotfix]") && ValueAfterLast(line, value))
        info_.activeSP = value;
      if (Has(lowered, "[maxmediatransactionid]") && ValueAfterLast(line, value))
        info_.maxMediaTransactionId = value;
    }
    if (Has(lowered, "hasjar") && Has(lowered, "=yes")) {
      info_.hasJar = 1;
      return true;  // the rest of a HASJAR line is not examined
    }
    if (dialect_.versionSwitches && Has(lowered, "version") && VersionMajor(line) > 8)
      newFormat_ = true;
    if (newFormat_) {
      NewPlatformLine(line, lowered);
      return true;
    }
    return OldPlatformLine(line, lowered);
  }

  // Reboot packages named by platform name become their ids, each + ","; unknown names go.
  void Finish() {
    if (!newFormat_ && !dialect_.alwaysNew) return;
    const std::string& reboot = info_.rebootPackages;
    if (reboot.empty() || reboot == "None") return;
    std::string converted;
    size_t start = 0;
    while (start <= reboot.size()) {
      size_t comma = reboot.find(',', start);
      if (comma == std::string::npos) comma = reboot.size();
      const std::string piece = reboot.substr(start, comma - start);
      auto it = piece.empty() ? idsByName_.end() : idsByName_.find(piece);
      if (it != idsByName_.end()) converted += it->second + ",";
      start = comma + 1;
    }
    info_.rebootPackages = converted;
  }

 private:
  void SetSpace(const std::string& value) {
    unsigned long long space = 0;
    if (!ParseSpace(value, space)) {
      cache_.log().DebugJob(1, kReadTag, cache_.jobId(),
                            "SPACENEEDED value [%s] in [%s] is not a size, using 0", value.c_str(),
                            path_.c_str());
    }
    info_.spaceNeeded = space;
  }

  // "[<id>:<name>]=Yes": the id is appended to packages and remembered for the reboot list.
  void NewPlatformLine(const std::string& line, const std::string& lowered) {
    if (!Has(lowered, "=yes")) return;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon < dialect_.minColon) return;
    const size_t close = line.find(']', colon + 1);
    if (close == std::string::npos) return;
    const std::string id = line.substr(1, colon - 1);
    info_.packages += id + ",";
    idsByName_[line.substr(colon + 1, close - colon - 1)] = id;
  }

  bool OldPlatformLine(const std::string& line, const std::string& lowered) {
    if (!EndsWithYes(line)) return true;  // no platform form can match
    const KqPlatformLineLookup* lookup = cache_.PlatformLines();
    if (lookup == nullptr) return false;
    auto it = lookup->names.find(lowered);
    if (it == lookup->names.end()) return true;
    for (const std::string& name : it->second) info_.packages += name + ",";
    return true;
  }

  KQUpdateCache& cache_;
  INIInfoForPatch& info_;
  const Dialect& dialect_;
  const std::string& path_;
  bool newFormat_;
  std::unordered_map<std::string, std::string> idsByName_;
  std::string lowered_;  // the current line in lower case
  std::string value_;    // the current key's value
};

const KqPlatformLineLookup* KQUpdateCache::PlatformLines() {
  if (m_platformLines) return m_platformLines.get();
  // A database that could not answer is not asked again by this object (one log line).
  if (m_platformLinesFailed) return nullptr;
  CKqPatchesUpdateDBClient client;
  std::vector<KqPlatformRow> rows;
  if (client.GetPlatformList(rows) != 0) {
    m_platformLinesFailed = true;
    m_event.DebugJob(1, kReadTag, m_jobId,
                     "Failed to get the platform list from the database: [%s]; old-format "
                     "descriptors cannot be read by this object",
                     client.errorText().c_str());
    return nullptr;
  }
  m_platformLines = BuildLookup(rows);
  return m_platformLines.get();
}

namespace {

// Applies the parser to each line of content. cutAtLastCR: a line ends at its last carriage
// return; otherwise only one trailing carriage return is dropped. False when the parser fails
// or memory runs out.
bool ParseLines(KqDescriptorParser& parser, const std::string& content, bool cutAtLastCR) try {
  size_t start = 0;
  std::string line;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    line.assign(content, start, end - start);
    start = end + 1;
    if (cutAtLastCR) {
      const size_t cr = line.rfind('\r');
      if (cr != std::string::npos) line.resize(cr);
    } else {
      kqtext::StripTrailingCR(line);
    }
    if (!parser.Line(line)) return false;
  }
  parser.Finish();
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

// Reads the descriptor at path whole; 0 on success, else the error number.
int ReadDescriptor(const std::string& path, std::string& content) {
  int error = 0;
  const kqtext::ReadStatus status = kqtext::ReadSmallTextFile(path, content, &error);
  if (status == kqtext::ReadStatus::kTooLarge) return EFBIG;
  return status == kqtext::ReadStatus::kOk ? 0 : (error != 0 ? error : EIO);
}

}  // namespace

bool KQUpdateCache::ReadUpdateINIFile(INIInfoForPatch& info, std::string folder, bool inConfig,
                                      bool updatePack, std::string fileName) {
  if (fileName.empty()) fileName = updatePack ? "KQUpdatePack_Update.ini" : "update.ini";
  std::string path = folder + (inConfig ? "/Config/" : "/") + fileName;
  UnixPath(path);
  std::string content;
  if (const int error = ReadDescriptor(path, content)) {
    m_event.DebugJob(1, kReadTag, m_jobId, "Failed to open update.ini file [%s] with errno [%d]",
                     path.c_str(), error);
    return false;
  }
  return ParseDescriptor(info, content, path, true);
}

bool KQUpdateCache::ReadNewUpdateINIFile(INIInfoForPatch& info, std::string folder) {
  std::string path = folder + "/" + info.patchName + ".ini";
  UnixPath(path);
  std::string content;
  if (const int error = ReadDescriptor(path, content)) {
    if (!IsReducedSPAllowedInCache())
      m_event.DebugJob(1, "[ReadNewUpdateINIFile]", m_jobId,
                       "Failed to open update.ini file [%s]. Error [%d]", path.c_str(), error);
    return false;
  }
  return ParseDescriptor(info, content, path, false);
}

bool KQUpdateCache::ParseDescriptor(INIInfoForPatch& info, const std::string& content,
                                    const std::string& path, bool updateIni) {
  info.hasJar = 0;
  info.reserved = 0;
  KqDescriptorParser parser(*this, info, updateIni ? kUpdateIni : kPerUpdateIni, path);
  return ParseLines(parser, content, updateIni);
}

bool KQUpdateCache::IsReducedSPAllowedInCache() {
  static const char kSection[] = "UpdateFlags";
  static const char kValue[] = "nAllowReducedUpdates";
  static std::atomic<bool> logged{false};
  long long value = 0;
  if (!KQPlatformInfo().getNumber(kSection, kValue, value) || value == 0) return false;
  if (!logged.exchange(true)) {
    m_event.DebugJob(1, "[IsReducedSPAllowedInCache]", m_jobId,
                     "Registry hook [%s\\%s] is present to allow reduced servicepack/updates in "
                     "cache (%lu)",
                     kSection, kValue, static_cast<unsigned long>(value));
  }
  return true;
}
