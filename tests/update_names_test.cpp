// The update and service-pack name grammar: the examples, a property test
// against a model of the grammar written here independently of the
// validator, a seeded fuzz loop, and the readers of names from manifests,
// texts and folder names.
#include "UpdateNames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <list>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "KqTestEnv.h"

namespace {

// ---- The model ----

// Every first field an update may start with: the short names and old-style
// prefixes of the operating systems other than "Unknown" and "Unix".
const std::set<std::string>& ModelOSNames() {
  static const std::set<std::string> names = {
      "win", "Win32", "win64", "WinIA64", "winx64", "WinX64", "nw", "sol", "hp", "aix", "linux",
      "fbsd", "osf", "dwn", "irix", "aix-ppc", "linux-x86", "linux-x8664", "linux-ppc64",
      "linux-s390", "linux-ia64", "hp-ia64", "hp-risc", "sol-sparc", "sol-x8664", "dwn-x86",
      "fbsd-x86", "fbsd-x8664", "dwn-x8664", "aix-ppc-32", "linux-s390-31", "sol-sparc-x86",
      "sol-x86", "linux-ppc64-le", "aix52-32", "linux-arm64"};
  return names;
}

bool EndsWithExe(const std::string& s) { return s.size() >= 4 && s.compare(s.size() - 4, 4, ".exe") == 0; }

std::vector<std::string> SplitAll(const std::string& s, char sep) {
  std::vector<std::string> parts(1);
  for (char c : s) {
    if (c == sep) parts.emplace_back();
    else parts.back().push_back(c);
  }
  return parts;
}

bool ModelUpdate(const std::string& name, bool remote) {
  if (name.size() < (remote ? 16u : 12u)) return false;
  if (remote && !EndsWithExe(name)) return false;
  const std::string body = remote ? name.substr(0, name.size() - 4) : name;
  if (body.find_first_of(std::string(" \t\r\n/\\")) != std::string::npos) return false;
  const std::vector<std::string> fields = SplitAll(body, '_');
  if (fields.size() != 3) return false;
  const size_t limits[3] = {32, 512, 32};
  for (size_t i = 0; i < 3; ++i)
    if (fields[i].empty() || fields[i].size() > limits[i]) return false;
  return ModelOSNames().count(fields[0]) == 1;
}

bool ModelServicePack(const std::string& name, bool remote) {
  if (name.size() < (remote ? 7u : 3u)) return false;
  if (remote && !EndsWithExe(name)) return false;
  const std::string examined = remote ? name.substr(0, name.find(".exe")) : name;
  if (examined.compare(0, 2, "SP") != 0) return false;
  const std::string rest = examined.substr(2);
  const size_t firstNonDigit = rest.find_first_not_of("0123456789");
  const std::string major = rest.substr(0, firstNonDigit);
  const std::string minor = firstNonDigit == std::string::npos ? "" : rest.substr(firstNonDigit);
  if (major.size() > 32 || minor.size() > 32) return false;
  if (minor.find_first_of("/\\") != std::string::npos) return false;
  return major != "0";
}

bool Model(const std::string& name, UPDATETYPE type, UPDATE_FILE_LOC where) {
  const bool remote = where == UPDATE_FILE_LOC_REMOTE;
  return type == UPDATETYPE_UPDATE ? ModelUpdate(name, remote) : ModelServicePack(name, remote);
}

bool Valid(const std::string& name, UPDATETYPE type, UPDATE_FILE_LOC where) {
  return isUpdateFileStrValid(name.c_str(), type, where);
}

class NameGrammar : public ::testing::Test {
 protected:
  kqtest::ScopedConfig config_;  // rejections are logged into the test's own folder
};

// ---- Examples ----

TEST_F(NameGrammar, ServicePackExamples) {
  const auto local = UPDATE_FILE_LOC_LOCAL;
  const auto remote = UPDATE_FILE_LOC_REMOTE;
  const auto sp = UPDATETYPE_SERVICEPACK;
  EXPECT_TRUE(Valid("SP12", sp, local));
  EXPECT_TRUE(Valid("SP12a", sp, local));
  EXPECT_TRUE(Valid("SP12a.exe", sp, remote));
  EXPECT_TRUE(Valid("SP12.exe", sp, remote));
  EXPECT_FALSE(Valid("SP12.zip", sp, remote));
  EXPECT_FALSE(Valid("SP", sp, local));
  EXPECT_FALSE(Valid("SP0", sp, local));
  EXPECT_TRUE(Valid("SP00", sp, local));
  EXPECT_TRUE(Valid("SP01", sp, local));
  EXPECT_TRUE(Valid("SPa", sp, local));
  EXPECT_FALSE(Valid("XP12", sp, local));
  EXPECT_FALSE(Valid("SX12", sp, local));
  EXPECT_TRUE(Valid("SP3.exe.exe", sp, remote));
  EXPECT_FALSE(Valid("SP" + std::string(33, '1'), sp, local));
  EXPECT_TRUE(Valid("SP" + std::string(32, '1') + std::string(32, 'b'), sp, local));
  EXPECT_FALSE(Valid("SP1" + std::string(33, 'b'), sp, local));
  // These names become folders that are deleted: no separators in the minor.
  EXPECT_FALSE(Valid("SP1/..", sp, local));
  EXPECT_FALSE(Valid("SP1a\\b", sp, local));
  EXPECT_FALSE(Valid("SP1/x.exe", sp, remote));
  EXPECT_FALSE(isUpdateFileStrValid(nullptr, sp, local));

  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("Invalid SP [SP12.zip] found at remote site.Error[Invalid file extension]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Invalid SP [SP0] found at local cache.Error[Invalid SP major number]"),
            std::string::npos);
  EXPECT_NE(log.find("Error[Internal Error:Too long SP major or minor number]"), std::string::npos);
  EXPECT_NE(log.find("Invalid SP [XP12] found at local cache.Error[Invalid initial tokens]"),
            std::string::npos);
  EXPECT_NE(log.find("Invalid SP [SP] found at local cache.Error[Name too short]"), std::string::npos);
}

TEST_F(NameGrammar, UpdateExamples) {
  const auto local = UPDATE_FILE_LOC_LOCAL;
  const auto remote = UPDATE_FILE_LOC_REMOTE;
  const auto up = UPDATETYPE_UPDATE;
  EXPECT_TRUE(Valid("linux-x8664_ab_cd", up, local));
  EXPECT_FALSE(Valid("win_ab_cd", up, local));
  EXPECT_TRUE(Valid("win_abcde_fg", up, local));
  EXPECT_TRUE(Valid("linux-x8664_ab_cd.exe", up, remote));
  EXPECT_FALSE(Valid("linux-x8664_ab_cd", up, remote));
  EXPECT_FALSE(Valid("linux-x8664_ab", up, local));
  EXPECT_FALSE(Valid("linux-x8664__ab_cd", up, local));
  EXPECT_FALSE(Valid("linux-x8664_ab_cd_ef", up, local));
  EXPECT_FALSE(Valid("linux-x8664_a b_cd", up, local));
  EXPECT_FALSE(Valid("unix_abcdefg_hi", up, local));
  EXPECT_FALSE(Valid("Unknown_abcde_fg", up, local));
  EXPECT_TRUE(Valid("Win32_abcde_fg", up, local));
  EXPECT_TRUE(Valid("linux_" + std::string(512, 'm') + "_l", up, local));
  EXPECT_FALSE(Valid("linux_" + std::string(513, 'm') + "_l", up, local));
  const std::string longest = std::string(32, 'f') + "_" + std::string(512, 'm') + "_" + std::string(32, 'l');
  EXPECT_EQ(longest.size(), KQ_MAX_UPDATE_NAME_LEN);
  // Bytes above 127 are ordinary characters.
  EXPECT_TRUE(Valid("linux_\xe9\xff\x80_\xc3\xa9tag", up, local));
  // Path separators anywhere make the name invalid.
  EXPECT_FALSE(Valid("linux_../../x_cd", up, local));
  EXPECT_FALSE(Valid("linux_ab_c\\d", up, local));
  EXPECT_FALSE(Valid("linux_ab_cd/.exe", up, remote));

  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("Invalid Update [unix_abcdefg_hi] found at local cache.Error[Unrecognized OS "
                     "name [unix] in patch]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Error[Internal Error:Patch name too long]"), std::string::npos);
  EXPECT_NE(log.find("Invalid Update [linux-x8664_ab] found at local cache.Error[Invalid patch]"),
            std::string::npos);
}

// ---- Property test ----

const std::string& FieldAlphabet() {
  static const std::string alphabet = [] {
    std::string a;
    for (int c = 1; c < 256; ++c)
      if (c != '_' && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '/' && c != '\\')
        a.push_back(static_cast<char>(c));
    return a;
  }();
  return alphabet;
}

std::string RandomField(std::mt19937& rng, size_t maxLen) {
  std::uniform_int_distribution<size_t> len(1, maxLen);
  std::uniform_int_distribution<size_t> pick(0, FieldAlphabet().size() - 1);
  std::string s(len(rng), 'x');
  for (char& c : s) c = FieldAlphabet()[pick(rng)];
  return s;
}

std::string RandomUpdate(std::mt19937& rng, bool remote) {
  const auto& names = ModelOSNames();
  auto it = names.begin();
  std::advance(it, std::uniform_int_distribution<size_t>(0, names.size() - 1)(rng));
  // Mostly short fields, sometimes up to the limits.
  const bool big = rng() % 8 == 0;
  std::string name = *it + "_" + RandomField(rng, big ? 512 : 12) + "_" + RandomField(rng, big ? 32 : 8);
  return remote ? name + ".exe" : name;
}

std::string RandomServicePack(std::mt19937& rng, bool remote) {
  std::string name = "SP";
  const size_t digits = rng() % 34;
  for (size_t i = 0; i < digits; ++i) name.push_back(static_cast<char>('0' + rng() % 10));
  if (rng() % 2) {
    name.push_back(static_cast<char>('a' + rng() % 26));
    const size_t more = rng() % 33;
    for (size_t i = 0; i < more; ++i) name.push_back(FieldAlphabet()[rng() % FieldAlphabet().size()]);
  }
  return remote ? name + ".exe" : name;
}

// One-byte mutations: a blank, an underscore, a separator, a deleted or an
// inserted byte, a lost or a doubled ".exe".
std::string Mutate(std::mt19937& rng, std::string name) {
  static const char kBytes[] = {' ', '_', '/', '\\', '\t', 'a', '0', '.', '\xff'};
  const size_t pos = name.empty() ? 0 : rng() % name.size();
  switch (rng() % 6) {
    case 0: if (!name.empty()) name[pos] = kBytes[rng() % sizeof(kBytes)]; break;
    case 1: if (!name.empty()) name.erase(pos, 1); break;
    case 2: name.insert(pos, 1, kBytes[rng() % sizeof(kBytes)]); break;
    case 3: if (EndsWithExe(name)) name.resize(name.size() - 4); else name += ".exe"; break;
    case 4: name += ".exe"; break;
    default: name.insert(pos, 1, name.empty() ? 'x' : name[pos]); break;
  }
  return name;
}

TEST_F(NameGrammar, AgreesWithTheModelOnValidAndMutatedNames) {
  std::mt19937 rng(20261207);
  int validSeen = 0, invalidSeen = 0;
  for (int i = 0; i < 3000; ++i) {
    const bool remote = i % 2 == 0;
    const UPDATE_FILE_LOC where = remote ? UPDATE_FILE_LOC_REMOTE : UPDATE_FILE_LOC_LOCAL;
    const UPDATETYPE type = i % 4 < 2 ? UPDATETYPE_UPDATE : UPDATETYPE_SERVICEPACK;
    const std::string base = type == UPDATETYPE_UPDATE ? RandomUpdate(rng, remote) : RandomServicePack(rng, remote);
    std::string name = base;
    for (int step = 0; step < 4; ++step) {
      const bool expected = Model(name, type, where);
      ASSERT_EQ(Valid(name, type, where), expected)
          << "type " << type << " remote " << remote << " name [" << name << "]";
      (expected ? validSeen : invalidSeen)++;
      name = Mutate(rng, name);
      if (name.find('\0') != std::string::npos) break;
    }
  }
  // Both outcomes are well represented.
  EXPECT_GT(validSeen, 2000);
  EXPECT_GT(invalidSeen, 2000);
}

// ---- Fuzz loop ----

TEST_F(NameGrammar, ArbitraryBytesNeverCrashTheValidator) {
  const char* env = std::getenv("KQ_FUZZ_SECONDS");
  const double seconds = env != nullptr ? std::atof(env) : 3.0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::mt19937 rng(4711);
  static const char* kSeeds[] = {"SP12a.exe", "linux-x8664_ab_cd.exe", "win_abcde_fg", "SP0"};
  long iterations = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string name;
    if (rng() % 2) {
      name.resize(rng() % 700);
      for (char& c : name) c = static_cast<char>(rng() % 255 + 1);
    } else {
      name = kSeeds[rng() % 4];
      for (int k = rng() % 6; k >= 0; --k) name = Mutate(rng, name);
    }
    for (int type : {0, 1, 2, -1}) {
      for (int where : {0, 1, 7}) {
        const bool valid = isUpdateFileStrValid(name.c_str(), static_cast<UPDATETYPE>(type),
                                                static_cast<UPDATE_FILE_LOC>(where));
        if ((type == 0 || type == 1) && (where == 0 || where == 1) && name.find('\0') == std::string::npos) {
          ASSERT_EQ(valid, Model(name, static_cast<UPDATETYPE>(type), static_cast<UPDATE_FILE_LOC>(where)))
              << "[" << name << "]";
        }
      }
    }
    ++iterations;
  }
  EXPECT_GT(iterations, 100);
}

// ---- Manifests ----

TEST_F(NameGrammar, UpdatesManifest) {
  const std::string folder = config_.root() + "/sp";
  const std::string longest = "linux_" + std::string(512, 'm') + "_" + std::string(32, 'l');
  const std::string tooLong = "linux_" + std::string(513, 'm') + "_l";
  kqtest::WriteFile(folder + "/Updates.txt",
                    "linux-x8664_ab_cd\r\n"
                    "garbage line\n" +
                        longest + "\n" + tooLong + "\n" +
                        "win_abcde_fg\rtrailing\n"
                        "\n" +
                        std::string("linux_a\0b_cd\n", 13) + "sol-x86_x_yyyyy");
  std::vector<std::string> names = {"kept"};
  EXPECT_TRUE(GetSPUpdatesNew(folder.c_str(), &names));
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "linux-x8664_ab_cd", longest, "win_abcde_fg",
                                             "sol-x86_x_yyyyy"}));

  std::list<std::string> list;
  EXPECT_TRUE(GetSPUpdatesNew(folder.c_str(), list));
  EXPECT_EQ(list.size(), 4u);
  EXPECT_EQ(list.back(), "sol-x86_x_yyyyy");

  std::vector<std::string> none;
  EXPECT_TRUE(GetSPUpdatesNew((config_.root() + "/missing").c_str(), &none));
  EXPECT_TRUE(none.empty());
  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("Could not open file [" + config_.root() + "/missing/Updates.txt] with errno [2]"),
            std::string::npos)
      << log;
}

// ---- Versions out of texts and names ----

TEST(ServicePackTexts, ParseUpdateStr) {
  _SPVersion sp(5, 'c', 4711, 3);
  bool missing = false;
  EXPECT_TRUE(parseUpdateStr("no pack here", sp, &missing));
  EXPECT_EQ(sp.GetMajor(), 0);
  EXPECT_EQ(sp.GetMinor(), 0);
  EXPECT_EQ(sp.GetTransId(), 4711);  // other fields stay

  EXPECT_TRUE(parseUpdateStr("Updates for ServicePack 12 [Missing for 3 clients]", sp, &missing));
  EXPECT_EQ(sp.GetMajor(), 12);
  EXPECT_TRUE(missing);

  missing = false;
  EXPECT_TRUE(parseUpdateStr("Updates for ServicePack 12a,other", sp, &missing));
  EXPECT_EQ(sp.GetMajor(), 12);
  EXPECT_EQ(sp.GetMinor(), 'a');
  EXPECT_FALSE(missing);
  EXPECT_TRUE(parseUpdateStr("ServicePack 7[x]", sp, nullptr));
  EXPECT_EQ(sp.GetMajor(), 7);

  // Nothing after the key: zero, no read past the end.
  sp.SetMajor(9);
  EXPECT_TRUE(parseUpdateStr("ServicePack", sp, &missing));
  EXPECT_EQ(sp.GetMajor(), 0);
  sp.SetMajor(9);
  EXPECT_TRUE(parseUpdateStr("ServicePack ", sp, &missing));
  EXPECT_EQ(sp.GetMajor(), 0);
}

TEST(ServicePackTexts, FolderNameWithTransactionAndRevision) {
  _SPVersion sp;
  GetSPversionFromSPFolderName("SP20_4711_R8", sp);
  EXPECT_EQ(sp.GetMajor(), 20);
  EXPECT_EQ(sp.GetTransId(), 4711);
  EXPECT_EQ(sp.GetRevId(), 8);
  GetSPversionFromSPFolderName("SP20_0123_R0", sp);
  EXPECT_EQ(sp.GetTransId(), 83);  // octal
  GetSPversionFromSPFolderName("SP21_0x10_R0x1F", sp);
  EXPECT_EQ(sp.GetMajor(), 21);
  EXPECT_EQ(sp.GetTransId(), 16);
  EXPECT_EQ(sp.GetRevId(), 31);
  // Short and odd texts give zeros, never a read past the end.
  GetSPversionFromSPFolderName("SP22_", sp);
  EXPECT_EQ(sp.GetMajor(), 22);
  EXPECT_EQ(sp.GetTransId(), 0);
  EXPECT_EQ(sp.GetRevId(), 0);
  GetSPversionFromSPFolderName("SP23_5_R", sp);
  EXPECT_EQ(sp.GetTransId(), 5);
  EXPECT_EQ(sp.GetRevId(), 0);
  GetSPversionFromSPFolderName("SP24", sp);
  EXPECT_EQ(sp.GetMajor(), 24);
  EXPECT_EQ(sp.GetTransId(), 0);
  GetSPversionFromSPFolderName("SP25_99999999999999999999_R1", sp);
  EXPECT_EQ(sp.GetTransId(), 0);  // does not fit: no number
}

TEST(ServicePackTexts, CompareFirstLevelVersion) {
  EXPECT_GT(CompareFirstLevelVersion("11.0.0", "9.0.0"), 0);
  EXPECT_EQ(CompareFirstLevelVersion("11.0.0", "9.0.0"), 2);
  EXPECT_LT(CompareFirstLevelVersion("11.0", "11.0.0"), 0);
  EXPECT_EQ(CompareFirstLevelVersion("11.0.0A", "11.0.0a"), 0);
  EXPECT_LT(CompareFirstLevelVersion("x", "y"), 0);
  EXPECT_EQ(CompareFirstLevelVersion("abc", "ABC"), 0);
  EXPECT_GT(CompareFirstLevelVersion("123456789012", "99"), 0);
  EXPECT_LT(CompareFirstLevelVersion("123456789012", "123456789013"), 0);
  EXPECT_EQ(CompareFirstLevelVersion("00000000001x", "1X"), 0);
  EXPECT_EQ(CompareFirstLevelVersion(nullptr, ""), 0);
}

}  // namespace
