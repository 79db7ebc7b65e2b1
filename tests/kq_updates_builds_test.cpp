// Client builds of KQUpdates: the build token of a description, each client's build, and the
// download-center sub-directory per release on a generated Tessara against its model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "TessaraGenerator.h"

using kqtest::Sql;
using kqtest::TessaraModel;
using kqtest::TessaraSubDir;

namespace {

class ClientBuilds : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = kqtest::MakeTessara(kqtest::TessaraOptions());
    kqtest::WriteTessara(model_, db_.config().root());
  }
  static std::map<int, TessaraSubDir> SubDirs(const KQUpdates& u) {
    std::map<int, TessaraSubDir> dirs;
    for (const auto& e : u.m_siteSubDirs) dirs[e.first] = {e.second.subDir, e.second.mismatch};
    return dirs;
  }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }

  kqtest::ScopedDatabase db_;
  TessaraModel model_;
};

TEST_F(ClientBuilds, BuildTokenOfADescription) {
  KQUpdates u;
  struct Case {
    const char* description;
    bool ok;
    const char* token;
  };
  for (const Case& c : {Case{"11.0.0 (BUILD80)", true, "BUILD80"},
                        Case{"(Build123) trailing text", true, "BUILD123"},
                        Case{"(BUILD 80)", false, ""},   // the blank joins the word
                        Case{"(build80)", false, ""},    // lower-case b
                        Case{" 11.0.0 (BUILD80)", false, ""},  // leading blank
                        Case{"11.0.0 (BUILD80", false, ""},    // no ")"
                        Case{"11.0.0 (BUILD8x0)", false, ""},
                        Case{"11.0.0 (BUILDING80)", false, ""},
                        Case{"", false, ""}}) {
    SCOPED_TRACE(c.description);
    std::string token = "unchanged";
    EXPECT_EQ(u.getBuildStringTkn(c.description, token), c.ok);
    EXPECT_EQ(token, c.ok ? c.token : "unchanged");
  }
  EXPECT_NE(Log().find("Invalid build char string [BUILDING]"), std::string::npos);
  EXPECT_NE(Log().find("Invalid build char string [BUILD ]"), std::string::npos);
  EXPECT_NE(Log().find("Failed to get build number info from [(build80)]"), std::string::npos);
}

TEST_F(ClientBuilds, OneClientsBuildAndTheHubnodeVersion) {
  KQUpdates u;
  clientBuildVerInfo info;
  EXPECT_TRUE(u.getClientBuildAndVersionInfo(17, info));
  EXPECT_EQ(info.clientId, 17);
  EXPECT_EQ(info.releaseId, 17);
  EXPECT_EQ(info.build, "BUILD84");
  Sql("DELETE FROM APP_ClientProp WHERE componentNameId = 17 AND attrName = 'Vorlan Build'");
  EXPECT_FALSE(u.getClientBuildAndVersionInfo(17, info));
  EXPECT_NE(Log().find("Could not determine build number for client [17]"), std::string::npos);
  EXPECT_FALSE(u.getClientBuildAndVersionInfo(100000, info));

  EXPECT_TRUE(u.setHNVersion());
  EXPECT_EQ(u.m_hnVersion, 16);
  EXPECT_EQ(u.m_hnBuild, "BUILD80");
  std::string name;
  EXPECT_TRUE(u.getVersionNameForID(16, name));
  EXPECT_EQ(name, "11.0.0");
  EXPECT_TRUE(u.getVersionNameForID(14, name));
  EXPECT_EQ(name, "9.1.0");  // a dotted name gets ".0"
  name = "kept";
  EXPECT_TRUE(u.getVersionNameForID(99, name));
  EXPECT_EQ(name, "kept");

  EXPECT_TRUE(u.getClientBuildAndVersionInfo());
  size_t withBuild = 0;
  for (const kqtest::TessaraClient& c : model_.clients) withBuild += c.build.empty() ? 0 : 1;
  EXPECT_EQ(u.m_clientBuilds.size(), withBuild - 1);  // client 17 lost its build above
}

TEST_F(ClientBuilds, SiteSubDirectoriesPerRelease) {
  // The Hubnode's release has clients on another build than the Hubnode's own.
  ASSERT_TRUE(std::any_of(model_.clients.begin(), model_.clients.end(), [](const kqtest::TessaraClient& c) {
    return c.release == 16 && c.build == "BUILD84";
  }));
  KQUpdates u;
  ASSERT_TRUE(u.setHNVersion());
  ASSERT_TRUE(u.FindRelSpForAllClients());
  EXPECT_TRUE(u.getSiteSubDirInfoForAllClients());
  EXPECT_EQ(SubDirs(u), model_.ExpectedSiteSubDirs());

  std::string dir;
  EXPECT_EQ(u.getSiteSubDirInfoForVersion(17, dir), 2);  // builds 80 and 84
  EXPECT_EQ(u.getSiteSubDirInfoForVersion(16, dir), 0);  // the Hubnode's: never flagged
  EXPECT_EQ(dir, "BUILD80");
  EXPECT_EQ(u.getSiteSubDirInfoForVersion(13, dir), 1);
  EXPECT_NE(Log().find("Build number does not match for client version [17]"), std::string::npos);

  // Rebuilt from every client's build: releases 13 and below are left out.
  EXPECT_TRUE(u.getClientBuildAndVersionInfo());
  EXPECT_TRUE(u.SetSiteSubDirInfo());
  EXPECT_EQ(SubDirs(u), model_.ExpectedSiteSubDirs(14));
  EXPECT_EQ(u.m_siteSubDirs.count(11) + u.m_siteSubDirs.count(12), 0u);
  EXPECT_EQ(u.getSiteSubDirInfoForVersion(17, dir), 2);
  EXPECT_EQ(u.m_siteSubDirs.at(16).subDir, "BUILD80");
  EXPECT_FALSE(u.m_siteSubDirs.at(16).mismatch);
}

}  // namespace
