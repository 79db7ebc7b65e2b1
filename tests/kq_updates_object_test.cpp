// The update-alert object itself: media access made from the download configuration (and its
// absence without one), the Hubnode's installed version, release texts and names, the version
// ordering, and the cache statistics it stores in the client properties.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "Configuration/KQPlatformInfo.h"
#include "Database/DbProcedures.h"
#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "MediaAccess/IMediaAccess.h"
#include "TessaraGenerator.h"

using kqtest::Sql;
using kqtest::T;

namespace {

class UpdateObject : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = kqtest::MakeTessara(kqtest::TessaraOptions());
    kqtest::WriteTessara(model_, db_.config().root());
  }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }
  std::string Property(const char* name) {
    std::string v;
    KQPlatformInfo().getString("ClientProperties" + std::to_string(model_.tessaraId), name, v);
    return v;
  }

  kqtest::ScopedDatabase db_;
  kqtest::TessaraModel model_;
};

// Gives SimGetClientPackageFullVersion a fixed answer for one test, and its own body back after.
class ScopedVersionAnswer {
 public:
  ScopedVersionAnswer(int rc, const char* text) {
    kq::db::RegisterHostProcedure(
        "SimGetClientPackageFullVersion", 2,
        [rc, text](kq::db::Session&, const std::vector<kq::db::Value>&,
                   std::vector<kq::db::Row>& rows, std::string& err) {
          if (rc == 0) rows.push_back({text != nullptr ? T(text) : kqtest::N()});
          if (rc == 1000) err = "version answer failed on purpose";
          return rc;
        });
  }
  ~ScopedVersionAnswer() {
    kq::db::RegisterHostProcedure("SimGetClientPackageFullVersion", 2,
                                  kq::db::BuiltInHostBody("SimGetClientPackageFullVersion"));
  }
};

TEST_F(UpdateObject, MediaAccessFromTheDownloadConfiguration) {
  {
    KQUpdates u;
    ASSERT_NE(u.m_mediaAccess, nullptr);
    EXPECT_EQ(u.m_mediaAccess->GetMediaConfiguration().GetLocalCache(), db_.config().root() + "/cache");
    EXPECT_EQ(u.m_visibilityLevel, -1);
    EXPECT_FALSE(u.m_initialized);
  }
  // No usable configuration: no media access, and the small services still answer.
  Sql("UPDATE PatchConfig SET ConfigURLPrefix = 'ftp://127.0.0.1/cfg'");
  KQUpdates u;
  EXPECT_EQ(u.m_mediaAccess, nullptr);
  EXPECT_NE(Log().find("Failed to get correct configuration for current job."), std::string::npos);
  EXPECT_FALSE(u.DownloadFileFromServer("KQMedia/DVDInfo.xml", db_.config().root() + "/x.xml"));
  EXPECT_NE(Log().find("[DownloadFileFromServer]"), std::string::npos);
  EXPECT_NE(Log().find("Media access object is empty"), std::string::npos);
  EXPECT_FALSE(u.UpdateCacheStatistics(true));
  EXPECT_NE(Log().find("Media access object is empty"), std::string::npos);
  EXPECT_EQ(u.MakePrettier("a\nb"), "a | b");
  EXPECT_TRUE(u.IsPackageInstalled(2, 1000));
}

TEST_F(UpdateObject, HubnodeInstalledVersion) {
  KQUpdates u;
  FullVersion v;
  ASSERT_TRUE(u.getHNSPInfo(v));
  EXPECT_EQ(v.Get(FullVersion::kSPMajor), 20);
  EXPECT_EQ(v.Get(FullVersion::kTransactionId), 4711);
  EXPECT_EQ(v.Get(FullVersion::kRevisionId), 3);
  EXPECT_EQ(v.Get(FullVersion::kUPNumber), 2);
  EXPECT_EQ(v.Get(FullVersion::kBuild), 80);
  EXPECT_NE(Log().find("HN SP Info [SP20_4711_R3_CU2_5120]"), std::string::npos) << Log();

  struct Case {
    const char* what;
    int rc;
    const char* text;
    const char* logged;
  };
  for (const Case& c : {Case{"no row", 100, nullptr, "Empty data retrieved"},
                        Case{"a null text", 0, nullptr, "Empty data retrieved"},
                        Case{"an empty text", 0, "", "Empty data retrieved"},
                        Case{"a malformed text", 0, "<m s=\"23\" id=\"181\"><o", "Failed to unserialize xml with error"},
                        Case{"another message", 0, "<m s=\"23\" id=\"83\"/>", "Failed to unserialize xml with error"},
                        Case{"a failing query", 1000, nullptr, "Failed to get HN SP with error [1000:"}}) {
    SCOPED_TRACE(c.what);
    ScopedVersionAnswer answer(c.rc, c.text);
    FullVersion kept;
    kept.Set(FullVersion::kSPMajor, 7);
    EXPECT_FALSE(u.getHNSPInfo(kept));
    EXPECT_EQ(kept.Get(FullVersion::kSPMajor), 7);
    EXPECT_NE(Log().find(c.logged), std::string::npos);
  }
}

TEST_F(UpdateObject, ReleaseTextsAndVersionOrder) {
  KQUpdates u;
  // The text is kept for ids 9 to 12 only; a zeroed buffer stays empty for any other.
  char text[96] = {0};
  u.GetRelString(12, text);
  EXPECT_STREQ(text, "7.0.0");
  std::memset(text, 0, sizeof text);
  u.GetRelString(16, text);
  EXPECT_STREQ(text, "");

  FullVersion a, b;
  a.set_formatted_str(FullVersion::kFormatSide, "V11B80_SP20_4711_R3_CU2");
  b.set_formatted_str(FullVersion::kFormatSide, "V11B80_SP20_9999_R9_CU2");
  EXPECT_FALSE(compareFullVersionLessWOTransId(a, b));  // recut stamps do not count
  EXPECT_FALSE(compareFullVersionLessWOTransId(b, a));
  b.Set(FullVersion::kUPNumber, 3);
  EXPECT_TRUE(compareFullVersionLessWOTransId(a, b));  // the tie goes by maintenance release
  EXPECT_FALSE(compareFullVersionLessWOTransId(b, a));
  a.Set(FullVersion::kSPMajor, 21);
  EXPECT_TRUE(compareFullVersionLessWOTransId(b, a));  // the level first
}

TEST_F(UpdateObject, CacheStatisticsInTheClientProperties) {
  KQUpdates u;
  ASSERT_NE(u.m_mediaAccess, nullptr);
  u.m_expectedCacheSpace = 123456789012ULL;
  EXPECT_TRUE(u.UpdateCacheStatistics(false));
  EXPECT_EQ(Property("nCacheExpectedSpace"), "");
  const unsigned long long free1 = std::stoull(Property("nFreeSpaceOnDisk"));
  EXPECT_GT(free1, 0u);
  EXPECT_EQ(free1 % 1024, 0u);
  EXPECT_TRUE(u.UpdateCacheStatistics(true));
  EXPECT_EQ(Property("nCacheExpectedSpace"), "123456789012");
  EXPECT_TRUE(std::filesystem::is_directory(db_.config().root() + "/cache"));
}

TEST_F(UpdateObject, NothingStoredWithoutALocalCache) {
  // The local cache lies below a file: it cannot be created and its space cannot be measured.
  kqtest::WriteFile(db_.config().root() + "/blocker", "x");
  Sql("UPDATE PatchConfig SET HNCacheDirectory = $1", {T(db_.config().root() + "/blocker/cache")});
  KQUpdates u;
  ASSERT_NE(u.m_mediaAccess, nullptr);
  u.m_expectedCacheSpace = 5;
  EXPECT_FALSE(u.UpdateCacheStatistics(true));
  EXPECT_EQ(Property("nCacheExpectedSpace"), "");
  EXPECT_EQ(Property("nFreeSpaceOnDisk"), "");
}

}  // namespace
