// The README's reference tables against the sources they describe: every configuration key the
// sources read, and every result code they return, has its row; and what the README says of
// files with the checksum "0" holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "LibrarySources.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The text without its comments (string and character literals kept whole).
std::string WithoutComments(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      size_t j = i + 1;
      while (j < text.size() && text[j] != c && text[j] != '\n') j += text[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, text.size());
      out.append(text, i, j - i);
      i = j;
    } else if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
    } else if (text.compare(i, 2, "/*") == 0) {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 2;
      out += ' ';
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// The library's sources without their comments.
const std::vector<kqtest::LibrarySource>& Sources() {
  static const std::vector<kqtest::LibrarySource> sources = [] {
    std::vector<kqtest::LibrarySource> out = kqtest::LibrarySources();
    for (kqtest::LibrarySource& src : out) src.text = WithoutComments(src.text);
    return out;
  }();
  return sources;
}

// One section of README.md: from its "## " heading to the next.
std::string ReadmeSection(const std::string& heading) {
  const std::string readme = kqtest::SourceTreeFile("README.md");
  const size_t at = readme.find("\n## " + heading + "\n");
  if (at == std::string::npos) return std::string();
  const size_t end = readme.find("\n## ", at + 1);
  return readme.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The cells of the table rows of a README section, without their backticks.
std::vector<std::vector<std::string>> TableRows(const std::string& section) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(section);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 2 || line[0] != '|' || line.find("|---") == 0) continue;
    std::vector<std::string> cells;
    std::string cell;
    for (size_t i = 1; i < line.size(); ++i) {
      if (line[i] == '|') {
        cell.erase(std::remove(cell.begin(), cell.end(), '`'), cell.end());
        const size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
        cells.push_back(b == std::string::npos ? std::string() : cell.substr(b, e - b + 1));
        cell.clear();
      } else {
        cell += line[i];
      }
    }
    rows.push_back(cells);
  }
  return rows;
}

// ---- Configuration keys ----

// Where a key is read: its section when the source names it ("?" when it does not).
struct KeyUse {
  std::string section, key, where;
};

std::vector<KeyUse> ConfigKeysOfSources() {
  static const std::regex constant(R"re((\w+)(?:\[\])?\s*=\s*"([^"]*)")re");
  static const std::string arg = R"re(("[^"]*"|\w+))re";
  // The configuration layer's calls with a section and a value name.
  static const std::regex pairCall(R"re(\b(?:getString|getNumber|setString|setNumber|deleteValue|GetStringVal|GetDWORDVal)\(\s*)re" +
                                   arg + R"re(\s*,\s*)re" + arg + R"re(\s*[,)])re");
  static const std::regex sectionCall(R"re(\bgetRegValues\(\s*)re" + arg + R"re(\s*,)re");
  static const std::regex rootCall(R"re(\bgetRegStringFromAbsPath\(\s*[^,]+,\s*"([^"]+)")re");
  static const std::regex globalParam(R"re(\b(?:get|set)\(\s*"([^"]+)"\s*,)re");
  // The "Database" section is read whole and looked up by lower-cased names.
  static const std::regex dbSetting(R"re((?:\bGetSetting\(\s*\w+\s*,|\bsettings(?:\.count\(|\.find\(|\[))\s*"([^"]+)")re");
  // Values of the store are named with a type letter: "nDebugLevel", "sPath", "dHOME", "bDownload...".
  static const std::regex typedName(R"re("([nsdb][A-Z][A-Za-z0-9_]*)")re");

  std::vector<KeyUse> uses;
  for (const kqtest::LibrarySource& src : Sources()) {
    const std::string& t = src.text;
    const bool usesConfig = t.find("KQPlatformInfo") != std::string::npos || t.find("IniStore") != std::string::npos ||
                            t.find("GetStringVal") != std::string::npos || t.find("GetDWORDVal") != std::string::npos ||
                            t.find("KQClient") != std::string::npos;
    if (!usesConfig) continue;
    std::map<std::string, std::string> constants;
    for (std::sregex_iterator it(t.begin(), t.end(), constant), end; it != end; ++it)
      constants[(*it)[1]] = (*it)[2];
    auto resolve = [&](const std::string& a, std::string& out) {
      if (a.size() >= 2 && a.front() == '"') {
        out = a.substr(1, a.size() - 2);
        return true;
      }
      auto c = constants.find(a);
      if (c == constants.end()) return false;
      out = c->second;
      return true;
    };
    for (std::sregex_iterator it(t.begin(), t.end(), pairCall), end; it != end; ++it) {
      std::string section, key;
      if (!resolve((*it)[2], key)) continue;
      if (!resolve((*it)[1], section)) section = "?";
      uses.push_back({section, key, src.path});
    }
    for (std::sregex_iterator it(t.begin(), t.end(), sectionCall), end; it != end; ++it) {
      std::string section;
      if (resolve((*it)[1], section)) uses.push_back({section, "*", src.path});
    }
    for (std::sregex_iterator it(t.begin(), t.end(), rootCall), end; it != end; ++it)
      uses.push_back({"", (*it)[1], src.path});
    if (t.find("GlobalParams") != std::string::npos || t.find("KQGlobalParam") != std::string::npos)
      for (std::sregex_iterator it(t.begin(), t.end(), globalParam), end; it != end; ++it)
        uses.push_back({"GlobalParams", (*it)[1], src.path});
    for (std::sregex_iterator it(t.begin(), t.end(), dbSetting), end; it != end; ++it)
      uses.push_back({"Database", (*it)[1], src.path});
    for (std::sregex_iterator it(t.begin(), t.end(), typedName), end; it != end; ++it)
      uses.push_back({"?", (*it)[1], src.path});
  }
  return uses;
}

TEST(ReferenceTables, ConfigurationTableListsEveryKeyTheSourcesRead) {
  const auto rows = TableRows(ReadmeSection("Configuration reference"));
  std::set<std::pair<std::string, std::string>> pairs;
  std::set<std::string> keys;
  for (const auto& row : rows) {
    if (row.size() < 6 || row[0] == "Section") continue;
    const std::string section = Lower(row[0] == "\"\"" ? "" : row[0]);
    const std::string key = Lower(row[1].find("every value") == 0 ? "*" : row[1]);
    pairs.emplace(section, key);
    keys.insert(key);
  }
  ASSERT_GT(pairs.size(), 30u) << "no configuration table found in README.md";

  const std::vector<KeyUse> uses = ConfigKeysOfSources();
  std::set<std::string> found;
  std::set<std::pair<std::string, std::string>> checked;
  for (const KeyUse& u : uses) {
    const std::string key = Lower(u.key), section = Lower(u.section);
    found.insert(key);
    if (!checked.emplace(section, key).second) continue;  // one message per key
    if (section == "?") {
      EXPECT_TRUE(keys.count(key)) << "configuration key \"" << u.key << "\" (read in " << u.where
                                   << ") has no row in the README's configuration reference";
    } else if (key == "*") {
      EXPECT_TRUE(pairs.count({section, "*"})) << "configuration section \"" << u.section << "\" (read whole in "
                                               << u.where << ") has no row in the README's configuration reference";
    } else {
      EXPECT_TRUE(pairs.count({section, key}))
          << "configuration key \"" << u.section << "\"/\"" << u.key << "\" (read in " << u.where
          << ") has no row in the README's configuration reference";
    }
  }
  // The collection itself still finds the keys it is known to read in each way.
  for (const char* key : {"dhome", "dvorlanhome", "sproductversion", "ntessaraid", "patch visibility level",
                          "spath", "nthreadpoolsizecheck", "sphysicalnodename", "nretrywaitms", "nswcachelastsynctime"})
    EXPECT_TRUE(found.count(key)) << key;
}

// ---- Result codes ----

std::set<unsigned> ResultCodesOfSources() {
  static const std::regex literal(R"re(\b0x800[07][0-9A-Fa-f]{4}\b)re");
  static const std::regex win32Call(R"re(\b(?:Win32Code|ErrorWin32)\(\s*(\d+))re");
  static const std::regex enumEntry(R"re(\b\w+\s*=\s*(\d+))re");
  std::set<unsigned> codes;
  for (const kqtest::LibrarySource& src : Sources()) {
    const std::string& t = src.text;
    for (std::sregex_iterator it(t.begin(), t.end(), literal), end; it != end; ++it)
      codes.insert(static_cast<unsigned>(std::stoul(it->str(), nullptr, 16)));
    for (std::sregex_iterator it(t.begin(), t.end(), win32Call), end; it != end; ++it)
      codes.insert(0x80070000u | (static_cast<unsigned>(std::stoul((*it)[1])) & 0xFFFFu));
    // The error numbers of media access, which FXErrorUtil::ErrorWin32 maps into 0x8007xxxx.
    const size_t e = t.find("enum eTransferError");
    if (e != std::string::npos) {
      const std::string body = t.substr(e, t.find('}', e) - e);
      for (std::sregex_iterator it(body.begin(), body.end(), enumEntry), end; it != end; ++it)
        if (std::stoul((*it)[1]) != 0) codes.insert(0x80070000u | static_cast<unsigned>(std::stoul((*it)[1])));
    }
  }
  codes.erase(0x80070000u);  // the base ErrorWin32 adds an error number to, never a result
  return codes;
}

TEST(ReferenceTables, EveryResultCodeIsNamedAndListed) {
  const std::string errors = Lower(ReadmeSection("Errors"));
  ASSERT_FALSE(errors.empty()) << "no \"Errors\" section in README.md";
  const std::set<unsigned> codes = ResultCodesOfSources();
  EXPECT_TRUE(codes.count(0x80070002u) && codes.count(0x80072F7Du) && codes.count(0x80000024u));
  for (unsigned code : codes) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    EXPECT_STRNE(nPatchDownload::PatchResultText(code), "unknown result")
        << "result code " << hex << " has no text in PatchResultText";
    EXPECT_NE(errors.find(Lower(std::string("| ") + hex + " |")), std::string::npos)
        << "result code " << hex << " has no row in the README's error table";
  }
  EXPECT_STREQ(nPatchDownload::PatchResultText(0x80070002u), "file missing on the source");
  EXPECT_STREQ(nPatchDownload::PatchResultText(0x80070001u), "unknown result");
}

// ---- Files with the checksum "0", as the README's synchronisation section says ----

using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

FilesForRel OneFile(int releaseId, int osId, const std::string& name, const std::string& sum) {
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, osId);
  if (releaseId >= 16) {
    BinaryV11 b;
    b.setstring(BinaryV11::kRelativePath, name);
    b.setstring(BinaryV11::kChecksum, sum);
    os.getlistobject(FilesForOS::kMediaFiles)->push_back(b);
  } else {
    File f;
    f.setstring(File::kName, name);
    f.setstring(File::kChecksum, sum);
    os.getlistobject(FilesForOS::kSPFiles)->push_back(f);
  }
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, releaseId);
  rel.getlistobject(FilesForRel::kOSList)->push_back(os);
  return rel;
}

size_t Count(const std::vector<FilesForRel>& list) {
  size_t n = 0;
  for (const FilesForRel& rel : list)
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList))
      n += os.getlistobject(FilesForOS::kSPFiles)->size() + os.getlistobject(FilesForOS::kMediaFiles)->size();
  return n;
}

TEST(ReferenceTables, ZeroChecksumFilesAreNeverSentAndTheirRemoteNamesakesGoAsDescribed) {
  kqtest::ScopedConfig cfg;
  KQUpdateCache cache(3, false);
  // An empty file: "0" in the Windows form, "0xffffffff" in the Unix form.
  kqtest::WriteFile(cfg.root() + "/empty", "");
  std::string windowsForm, unixForm;
  ASSERT_TRUE(cache.CalculateFileCksumForFile(false, cfg.root() + "/empty", windowsForm));
  ASSERT_TRUE(cache.CalculateFileCksumForFile(true, cfg.root() + "/empty", unixForm));
  EXPECT_EQ(windowsForm, "0");
  EXPECT_EQ(unixForm, "0xffffffff");
  for (int release : {15, 16}) {
    for (bool noRetain : {false, true}) {
      std::vector<FilesForRel> hub{OneFile(release, 3, "empty.cfg", "0")}, send, del, drop;
      std::vector<FilesForRel> remote{OneFile(release, 3, "empty.cfg", "0xffffffff")};
      ASSERT_TRUE(cache.CompareCacheFiles(hub, remote, send, del, noRetain, drop));
      EXPECT_EQ(Count(send), 0u);
      // Named for deletion; a media release's retention keeps it unless told not to.
      EXPECT_EQ(Count(del), release >= 16 && !noRetain ? 0u : 1u) << release << " " << noRetain;
      std::vector<FilesForRel> none, send2, del2, drop2;
      ASSERT_TRUE(cache.CompareCacheFiles(hub, none, send2, del2, noRetain, drop2));
      EXPECT_EQ(Count(send2), 0u);
    }
  }
  // The whole-list comparisons send a "0" file only to a remote cache whose list is empty.
  UpdatePatches::AdditionalSyncFilesList hub, empty, some, send, del, send2, del2;
  File zero;
  zero.setstring(File::kName, "empty.txt");
  zero.setstring(File::kChecksum, "0");
  hub.getlistobject(UpdatePatches::AdditionalSyncFilesList::kFiles)->push_back(zero);
  File other;
  other.setstring(File::kName, "other.txt");
  other.setstring(File::kChecksum, "12");
  some.getlistobject(UpdatePatches::AdditionalSyncFilesList::kFiles)->push_back(other);
  ASSERT_TRUE(cache.CompareAdditionalSyncFiles(hub, some, send, del));
  EXPECT_TRUE(send.getlistobject(UpdatePatches::AdditionalSyncFilesList::kFiles)->empty());
  ASSERT_TRUE(cache.CompareAdditionalSyncFiles(hub, empty, send2, del2));
  EXPECT_EQ(send2.getlistobject(UpdatePatches::AdditionalSyncFilesList::kFiles)->size(), 1u);
}

}  // namespace
