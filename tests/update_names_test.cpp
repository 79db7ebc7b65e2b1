// The update and service-pack name grammar: the examples, a property test
// against a model of the grammar written here independently of the
// validator, a seeded fuzz loop, and the readers of names from manifests,
// texts and folder names.
#include "UpdateNames.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// A service-pack name split as the grammar reads it: the major's value, the
// minor part as written.
struct ModelSP {
  bool valid = false;     // the name grammar accepts it
  bool readable = false;  // and the version's number can hold its major
  long long major = 0;
  std::string minor;
};

ModelSP ModelServicePackParts(const std::string& examined) {
  ModelSP sp;
  if (examined.compare(0, 2, "SP") != 0) return sp;
  const std::string rest = examined.substr(2);
  const size_t firstNonDigit = rest.find_first_not_of("0123456789");
  const std::string major = rest.substr(0, firstNonDigit);
  sp.minor = firstNonDigit == std::string::npos ? "" : rest.substr(firstNonDigit);
  if (major.size() > 32 || sp.minor.size() > 32) return sp;
  if (sp.minor.find_first_of("/\\") != std::string::npos) return sp;
  if (major == "0") return sp;
  sp.valid = true;
  // The version reads the major only when it fits a 32-bit signed number: compare its digits.
  const size_t nonZero = major.find_first_not_of('0');
  const std::string digits = nonZero == std::string::npos ? "" : major.substr(nonZero);
  if (digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")) return sp;
  sp.major = digits.empty() ? 0 : std::stoll(digits);
  sp.readable = true;
  return sp;
}

bool ModelServicePack(const std::string& name, bool remote) {
  if (name.size() < (remote ? 7u : 3u)) return false;
  if (remote && !EndsWithExe(name)) return false;
  return ModelServicePackParts(remote ? name.substr(0, name.find(".exe")) : name).valid;
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
  EXPECT_TRUE(Valid("SP" + std::string(22, '0') + "2147483647" + std::string(32, 'b'), sp, local));
  // Each part may hold 32 characters, whether or not the version's number can hold the major.
  EXPECT_TRUE(Valid("SP" + std::string(32, '1'), sp, local));
  EXPECT_TRUE(Valid("SP2147483648", sp, local));
  EXPECT_TRUE(Valid("SP" + std::string(32, '9') + std::string(32, 'b') + ".exe", sp, remote));
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

// ---- Grammar and version parser ----

// Service-pack-like names: digit runs around the edges (empty, "0", leading
// zeros, the 32-bit limit, 32 and 33 digits), minors of every byte, a few wrong
// prefixes, then up to two one-byte mutations.
std::string RandomServicePackLike(std::mt19937& rng) {
  static const char* kPrefixes[] = {"SP", "SP", "SP", "SP", "SP", "SP", "SP", "sp", "XP", "S"};
  static const char* kMajors[] = {"", "0", "00", "01", "7", "12", "0000000000000000000000000000001",
                                  "2147483647", "2147483648", "0002147483647", "99999999999"};
  std::string name = kPrefixes[rng() % 10];
  if (rng() % 3 == 0) {
    const size_t digits = rng() % 34;
    for (size_t i = 0; i < digits; ++i) name.push_back(static_cast<char>('0' + rng() % 10));
  } else {
    name += kMajors[rng() % (sizeof(kMajors) / sizeof(kMajors[0]))];
  }
  static const std::string kMinorStarts = std::string("aZ-. _+\xe9\x01/\\") + "[,";
  switch (rng() % 4) {
    case 0: break;  // no minor
    case 1: name.push_back(kMinorStarts[rng() % kMinorStarts.size()]); break;
    default: {
      name.push_back(kMinorStarts[rng() % kMinorStarts.size()]);
      const size_t more = rng() % 34;
      for (size_t i = 0; i < more; ++i) name.push_back(static_cast<char>(rng() % 255 + 1));
    }
  }
  for (int k = rng() % 3; k > 0; --k) name = Mutate(rng, name);
  return name;
}

class GrammarAndParser : public NameGrammar {
 protected:
  // A record with every field set, to see what a reader changes.
  static _SPVersion Before() { return _SPVersion("SP9z", "CU", 80, 4711, 3); }
  static void ExpectNumber(const _SPVersion& sp, const ModelSP& m, const std::string& name) {
    EXPECT_EQ(sp.GetMajor(), m.major);
    EXPECT_EQ(sp.GetMinorStr(), m.minor);
    EXPECT_EQ(sp.GetMinor(), m.minor.empty() ? 0 : static_cast<unsigned char>(m.minor[0]));
    EXPECT_EQ(sp.ToStr(true), name);
  }
};

// Whatever the validator accepts in the local cache, the version parser reads,
// with the major and minor the grammar gives, unless the major is too large for
// the version's number; whatever it refuses, or cannot read, the parser refuses
// and every reader leaves its record alone.
TEST_F(GrammarAndParser, AgreeOnEveryName) {
  std::mt19937 rng(5020);
  int accepted = 0, refused = 0, listed = 0;
  const std::string os = config_.root() + "/os";
  const std::string sps = os + "/ServicePacks";
  ASSERT_EQ(::mkdir(os.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(sps.c_str(), 0755), 0);
  for (int i = 0; i < 2000; ++i) {
    const std::string name = RandomServicePackLike(rng);
    if (name.find('\0') != std::string::npos) continue;
    SCOPED_TRACE("[" + name + "]");
    const ModelSP m = name.size() >= 3 ? ModelServicePackParts(name) : ModelSP();
    const bool valid = Valid(name, UPDATETYPE_SERVICEPACK, UPDATE_FILE_LOC_LOCAL);
    ASSERT_EQ(valid, m.valid);
    (valid ? accepted : refused)++;
    // What the version cannot hold (a major beyond its number) it refuses like an invalid name.
    const bool readable = m.readable;

    _SPVersion parsed = Before();
    ASSERT_EQ(_SPVersion::ParseSPName(name, &parsed), readable);
    if (readable) {
      ExpectNumber(parsed, m, name);
      EXPECT_EQ(parsed.GetTransId(), 4711);  // only the number is taken
    } else {
      EXPECT_EQ(parsed, Before());
      EXPECT_EQ(parsed.ToStr(true), "SP9z");
    }

    // parseUpdateStr: the text after "ServicePack " up to a blank, '[' or ','.
    const std::string rest = name.size() >= 2 ? name.substr(2) : "";
    if (name.compare(0, 2, "SP") == 0 && rest.find_first_of(" [,") == std::string::npos) {
      _SPVersion sp = Before();
      bool missing = false;
      EXPECT_TRUE(parseUpdateStr("Updates for ServicePack " + rest + " [Missing for 1 client]", sp,
                                 &missing));
      if (readable) {
        ExpectNumber(sp, m, name);
        EXPECT_EQ(sp.GetTransId(), 4711);
      } else {
        EXPECT_EQ(sp, Before());
      }
      EXPECT_EQ(missing, readable);
    }

    // GetSPversionFromSPFolderName: the name before the first underscore.
    if (name.find('_') == std::string::npos) {
      _SPVersion sp = Before();
      GetSPversionFromSPFolderName(name + "_12_R5", sp);
      if (readable) {
        ExpectNumber(sp, m, name);
        EXPECT_EQ(sp.GetTransId(), 12);
        EXPECT_EQ(sp.GetRevId(), 5);
      } else {
        EXPECT_EQ(sp, Before());
        EXPECT_EQ(sp.GetTransId(), 4711);
      }
    }

    // The folder readers, on a real folder named so (every fourth name that can be one).
    if (i % 4 != 0 || name.find('/') != std::string::npos || name.size() < 3) continue;
    const std::string folder = sps + "/" + name;
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ++listed;
    _SPVersion highest = Before();
    EXPECT_TRUE(GetHighestSP(highest, sps.c_str()));
    if (readable && (m.major != 0 || !m.minor.empty())) ExpectNumber(highest, m, name);
    else EXPECT_EQ(highest, _SPVersion());  // nothing above no feature release
    _SPVersion found = Before();
    EXPECT_EQ(getServicePackNumber(os, 3, found), readable);
    if (readable) ExpectNumber(found, m, name);
    else EXPECT_EQ(found, Before());
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
  }
  EXPECT_GT(accepted, 500);
  EXPECT_GT(refused, 500);
  EXPECT_GT(listed, 400);
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

  // Every service-pack name reads as written; the number is all that changes.
  sp = _SPVersion(9, 'z', 4711, 3);
  missing = false;
  EXPECT_TRUE(parseUpdateStr("Updates for ServicePack 05 [Missing for 2 clients]", sp, &missing));
  EXPECT_EQ(sp.GetMajor(), 5);
  EXPECT_EQ(sp.GetMinor(), 0);
  EXPECT_EQ(sp.ToStr(false), "05");
  EXPECT_TRUE(missing);
  EXPECT_TRUE(parseUpdateStr("ServicePack 5ab", sp, nullptr));
  EXPECT_EQ(sp.GetMajor(), 5);
  EXPECT_EQ(sp.GetMinorStr(), "ab");
  EXPECT_EQ(sp.GetTransId(), 4711);
  EXPECT_TRUE(parseUpdateStr("ServicePack a", sp, nullptr));
  EXPECT_EQ(sp.GetMajor(), 0);
  EXPECT_EQ(sp.GetMinor(), 'a');

  // A text that names no service pack leaves the record and the flag alone.
  for (const char* text : {"ServicePack ", "ServicePack 0 [Missing for 2 clients]",
                           "ServicePack 2147483648", "ServicePack 1/x"}) {
    SCOPED_TRACE(text);
    sp = _SPVersion(9, 'z', 4711, 3);
    missing = false;
    EXPECT_TRUE(parseUpdateStr(text, sp, &missing));
    EXPECT_EQ(sp.ToStr(true), "SP9z");
    EXPECT_FALSE(missing);
  }
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

  // Written forms stay; a name that is no service pack changes nothing at all.
  GetSPversionFromSPFolderName("SP01_12_R3", sp);
  EXPECT_EQ(sp.GetMajor(), 1);
  EXPECT_EQ(sp.ToStr(true), "SP01");
  EXPECT_EQ(sp.GetTransId(), 12);
  EXPECT_EQ(sp.GetRevId(), 3);
  for (const char* name : {"SP0_13_R4", "XP2_13_R4", "SP_13_R4", "SP2147483648_13_R4", "_13_R4"}) {
    SCOPED_TRACE(name);
    const _SPVersion before("SP5ab", "", 0, 12, 3);
    sp = before;
    GetSPversionFromSPFolderName(name, sp);
    EXPECT_EQ(sp, before);
    EXPECT_EQ(sp.ToStr(true), "SP5ab");
  }
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
