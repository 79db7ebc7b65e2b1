// The Hubnode's release filler, from a seeded database. The filler completes
// once per process, so each case runs in a child process of its own, which
// reports any mismatch on stderr and in its exit code.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "KqDbTestEnv.h"
#include "Vocabulary.h"

using kqtest::I;
using kqtest::Sql;
using kqtest::T;

namespace {

// Collects mismatches inside a child process.
struct Checks {
  std::ostringstream out;
  template <class A, class B>
  void Eq(const A& actual, const B& expected, const char* what) {
    if (!(actual == expected)) out << what << ": got [" << actual << "] expected [" << expected << "]\n";
  }
  void Has(const std::string& text, const std::string& needle) {
    if (text.find(needle) == std::string::npos) out << "log lacks [" << needle << "]\n";
  }
  [[noreturn]] void Exit() {
    const std::string s = out.str();
    std::fputs(s.c_str(), stderr);
    std::_Exit(s.empty() ? 0 : 1);
  }
};

void Release(int id, const std::string& text) {
  Sql("INSERT INTO simAllVorlanRel (id, release, buildNum) VALUES ($1, $2, 80)", {I(id), T(text)});
}

void ExpectRow(Checks& c, int index, const std::string& name, int id) {
  c.Eq(GetNameFromIndex(index), name, ("name of row " + std::to_string(index)).c_str());
  c.Eq(GetRelIdFromIndex(index), id, ("id of row " + std::to_string(index)).c_str());
}

TEST(HubnodeReleases, ThreeNewestOfFive) {
  EXPECT_EXIT(
      {
        kqtest::ScopedDatabase db;
        for (int major = 7; major <= 11; ++major) Release(major + 5, std::to_string(major));
        Checks c;
        c.Eq(SetReleasesSupported(), true, "first call");
        ExpectRow(c, 0, "11.0.0", 16);
        ExpectRow(c, 1, "10.0.0", 15);
        ExpectRow(c, 2, "9.0.0", 14);
        Sql("DELETE FROM simAllVorlanRel");
        c.Eq(SetReleasesSupported(), true, "second call");
        ExpectRow(c, 0, "11.0.0", 16);
        const std::string log = kqtest::ReadFile(db.config().logFile());
        c.Has(log, "Already reached the number of Releases supported [3]");
        c.Has(log, "ReleaseSupported data is already initialized.");
        c.Exit();
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HubnodeReleases, FewerRowsArePaddedAndDottedTextsGetTheirSuffix) {
  EXPECT_EXIT(
      {
        kqtest::ScopedDatabase db;
        Release(16, "11");
        Release(15, "10.0");
        Checks c;
        c.Eq(SetReleasesSupported(), true, "fill");
        ExpectRow(c, 0, "11.0.0", 16);
        ExpectRow(c, 1, "10.0.0", 15);
        ExpectRow(c, 2, "", 0);
        c.Eq(GetIndexForRelId(0), 2, "index of a padded row");
        c.Eq(GetRelIdFromName(""), 0, "id of the empty name");
        c.Has(kqtest::ReadFile(db.config().logFile()),
              "Only [2] entries exists in DB for release info. Defaulting all others to 0");
        c.Exit();
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HubnodeReleases, TextsThatAreNotReleaseNumbersAreSkipped) {
  EXPECT_EXIT(
      {
        kqtest::ScopedDatabase db;
        Release(20, "../../etc");
        Release(19, "");
        Release(18, "12.0 beta");
        Release(17, "11.0.0");
        // A long but valid text is kept whole (no fixed-size name buffer).
        const std::string longText = "10.1.2.3.4.5.6.7.8.9.10.11.12";
        Release(15, longText);
        Release(14, "9");
        Release(13, "8");
        Checks c;
        c.Eq(SetReleasesSupported(), true, "fill");
        ExpectRow(c, 0, "11.0.0.0", 17);
        ExpectRow(c, 1, longText + ".0", 15);
        ExpectRow(c, 2, "9.0.0", 14);
        const std::string log = kqtest::ReadFile(db.config().logFile());
        c.Has(log, "Skipping release id [20] with release text [../../etc]");
        c.Has(log, "Skipping release id [18] with release text [12.0 beta]");
        c.Exit();
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HubnodeReleases, FailingDatabaseIsRetriedOnTheNextCall) {
  EXPECT_EXIT(
      {
        kqtest::ScopedDatabase db;
        Sql("DROP TABLE simAllVorlanRel");
        Checks c;
        c.Eq(SetReleasesSupported(), false, "failing call");
        c.Has(kqtest::ReadFile(db.config().logFile()), "DB query returns error [1000:");
        Sql("CREATE TABLE simAllVorlanRel (id INTEGER NOT NULL PRIMARY KEY, release TEXT, buildNum INTEGER)");
        Release(16, "11");
        c.Eq(SetReleasesSupported(), true, "retry");
        ExpectRow(c, 0, "11.0.0", 16);
        c.Exit();
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
