// Update descriptors read against a seeded platform table, on every database backend.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KQUpdateCache.h"
#include "KqDbTestEnv.h"
#include "PatchesUpdateDbClient/CKqPatchesUpdateDBClient.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"

using kqtest::I;
using kqtest::N;
using kqtest::Sql;
using kqtest::T;

namespace {

class Descriptors : public ::testing::Test {
 protected:
  void SetUp() override {
    Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(3), T("Core Agent")});
    Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(1), T("Windows64")});
    Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(2), N()});
    Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(4), T("Windows32")});
    Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(5), T("HASJAR")});
  }
  // Writes <dir>/<name> and returns dir.
  std::string Write(const std::string& name, const std::string& text) {
    kqtest::WriteFile(dir_ / name, text);
    return dir_.path();
  }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }

  kqtest::ScopedDatabase db_;
  kqtest::TempDir dir_;
};

TEST_F(Descriptors, PlatformListInIdOrderWithNamelessRowsAndAtMost200) {
  CKqPatchesUpdateDBClient client;
  std::vector<KqPlatformRow> rows;
  ASSERT_EQ(client.GetPlatformList(rows), 0);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].name, "Windows64");
  EXPECT_FALSE(rows[1].hasName);
  EXPECT_EQ(rows[2].name, "Core Agent");
  for (int id = 10; id < 260; ++id)
    Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(id), T("P" + std::to_string(id))});
  ASSERT_EQ(client.GetPlatformList(rows), 0);
  ASSERT_EQ(rows.size(), 200u);
  EXPECT_EQ(rows.back().name, "P204");

  Sql("DROP TABLE simPackage");
  EXPECT_EQ(client.GetPlatformList(rows), 1000);
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(client.errorText().empty());
}

TEST_F(Descriptors, OldFormatKeysAndPlatformLines) {
  const std::string requires9000(9000, 'r');
  const std::string dir = Write("Config/update.ini",
                                "[NAME]=win_SP3_fix-1\r\n"
                                "[SPACENEEDED]=5368709120\r\n"
                                "[REQUIRES]=" + requires9000 + "\r\n"
                                "REQUIRESSP=SP2\r\n"
                                "OBSOLETES=None\r\n"
                                "[ALIASNAME]=a=b\r\n"
                                "[REBOOTPKGS]=Core Agent\r\n"
                                "[TransactionID]=4711\r\n"
                                "[ActiveSP]=SP3\r\n"
                                "[MaxMediaTransactionID]=900\r\n"
                                "[core agent]=yes\r\n"
                                "[Windows]=Yes\r\n"
                                "WINDOWS64=Yes\r\n"
                                "hasjar=yes\r\n"
                                "[Unknown]=Yes\r\n");
  KQUpdateCache cache(7, true);
  INIInfoForPatch info;
  info.obsoletes = "kept";
  info.hasJar = 5;
  info.reserved = 9;
  ASSERT_TRUE(cache.ReadUpdateINIFile(info, dir, true, false, ""));
  EXPECT_EQ(info.patchName, "win_SP3_fix-1");
  EXPECT_EQ(info.spaceNeeded, 5368709120ULL);
  EXPECT_EQ(info.requires, requires9000);  // the whole line, and REQUIRESSP does not replace it
  EXPECT_EQ(info.obsoletes, "kept");       // unbracketed None leaves the field
  EXPECT_EQ(info.aliasName, "b");          // after the last '='
  EXPECT_EQ(info.rebootPackages, "Core Agent");  // old format: as written
  EXPECT_EQ(info.transactionId, "4711");
  EXPECT_EQ(info.activeSP, "SP3");
  EXPECT_EQ(info.maxMediaTransactionId, "900");
  // "[Windows]" is the bracketed form of both Windows platforms (row order), "WINDOWS64" the
  // plain one; the HASJAR line is not a platform line although a platform has that name.
  EXPECT_EQ(info.packages, "Core Agent,Windows64,Windows32,Windows64,");
  EXPECT_EQ(info.hasJar, 1u);
  EXPECT_EQ(info.reserved, 0u);
}

TEST_F(Descriptors, NewFormatFromVersion9ConvertsRebootPackagesToIds) {
  const std::string text =
      "[VERSION]=9.0\n[12:Core Agent]=Yes\n:x]=Yes\n[REBOOTPKGS]=Core Agent,Gone\n"
      "[OBSOLETES]=None\n[13:Windows]=Yes\n[14 no close:=Yes\n";
  Sql("DROP TABLE simPackage");  // the new format needs no platform rows
  KQUpdateCache cache(0, true);
  INIInfoForPatch info;
  ASSERT_TRUE(cache.ReadUpdateINIFile(info, Write("a.ini", text), false, false, "a.ini"));
  EXPECT_EQ(info.packages, "12,13,");
  EXPECT_EQ(info.rebootPackages, "12,");
  EXPECT_EQ(info.obsoletes, "None");  // the bracketed key takes even "None"

  // VERSION 8.0: the platform lines are read against the platform rows, which now fail.
  INIInfoForPatch old;
  EXPECT_FALSE(cache.ReadUpdateINIFile(
      old, Write("b.ini", "[VERSION]=8.0\n[Core Agent]=Yes\n"), false, false, "b.ini"));
  EXPECT_NE(Log().find("Failed to get the platform list"), std::string::npos);
  // Without any "=Yes" line no platform row is needed.
  EXPECT_TRUE(cache.ReadUpdateINIFile(old, Write("c.ini", "[VERSION]=8.0\n[NAME]=x\n"), false,
                                      false, "c.ini"));
}

TEST_F(Descriptors, PlatformRowsAreFetchedOncePerObject) {
  KQUpdateCache cache(0, true);
  INIInfoForPatch first, second, fresh;
  const std::string dir = Write("d.ini", "[Late]=Yes\n[Core Agent]=Yes\n");
  ASSERT_TRUE(cache.ReadUpdateINIFile(first, dir, false, false, "d.ini"));
  Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)", {I(9), T("Late")});
  ASSERT_TRUE(cache.ReadUpdateINIFile(second, dir, false, false, "d.ini"));
  EXPECT_EQ(second.packages, "Core Agent,");
  ASSERT_TRUE(KQUpdateCache(0, true).ReadUpdateINIFile(fresh, dir, false, false, "d.ini"));
  EXPECT_EQ(fresh.packages, "Late,Core Agent,");
}

TEST_F(Descriptors, AnUnreadablePlatformTableIsAskedOncePerObject) {
  Sql("DROP TABLE simPackage");
  const std::string dir = Write("e.ini", "[Core Agent]=Yes\n");
  KQUpdateCache cache(0, true);
  for (int round = 0; round < 3; ++round) {
    INIInfoForPatch info;
    EXPECT_FALSE(cache.ReadUpdateINIFile(info, dir, false, false, "e.ini"));
  }
  const std::string log = Log();
  const size_t first = log.find("Failed to get the platform list");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("Failed to get the platform list", first + 1), std::string::npos);
}

TEST_F(Descriptors, SpaceNeededIsUnsigned64BitAndJunkGivesZero) {
  KQUpdateCache cache(0, true);
  const struct {
    const char* value;
    unsigned long long expected;
  } cases[] = {{"5368709120", 5368709120ULL}, {"-1", 0}, {"12abc", 0}, {"", 0},
               {"99999999999999999999", 0}, {" 42 ", 42}, {"x=7", 7}};
  for (const auto& c : cases) {
    INIInfoForPatch info;
    info.spaceNeeded = 3;
    ASSERT_TRUE(cache.ReadUpdateINIFile(
        info, Write("s.ini", std::string("SpaceNeeded=") + c.value + "\n"), false, false, "s.ini"));
    EXPECT_EQ(info.spaceNeeded, c.expected) << c.value;
  }
  EXPECT_NE(Log().find("SPACENEEDED value [-1]"), std::string::npos);
}

TEST_F(Descriptors, FileNameChoiceAndMissingFile) {
  KQUpdateCache cache(0, true);
  Write("KQUpdatePack_Update.ini", "NAME=pack\n");
  Write("Config/update.ini", "NAME=conf\n");
  Write("update.ini", "NAME=plain\n");
  INIInfoForPatch info;
  ASSERT_TRUE(cache.ReadUpdateINIFile(info, dir_.path(), false, true, ""));
  EXPECT_EQ(info.patchName, "pack");
  ASSERT_TRUE(cache.ReadUpdateINIFile(info, dir_.path(), true, false, ""));
  EXPECT_EQ(info.patchName, "conf");
  ASSERT_TRUE(cache.ReadUpdateINIFile(info, dir_.path(), false, false, ""));
  EXPECT_EQ(info.patchName, "plain");
  EXPECT_FALSE(cache.ReadUpdateINIFile(info, dir_ / "none", true, false, ""));
  EXPECT_NE(Log().find("Failed to open update.ini file [" + dir_.path() + "/none/Config/update.ini]"),
            std::string::npos);
  EXPECT_EQ(info.patchName, "plain");
}

TEST_F(Descriptors, PerUpdateIniIsAlwaysNewFormat) {
  KQUpdateCache cache(0, true);
  INIInfoForPatch info;
  info.patchName = "win_SP3_fix-2";
  Write("win_SP3_fix-2.ini",
        "[VERSION]=8.0\r\n[TransactionID]=77\r\n[ActiveSP]=SP1\r\n[7:Core Agent]=Yes\r\n"
        ":[8:X]=Yes\r\n[:9:Y]=Yes\r\nHASJAR=YES\r\n[REBOOTPKGS]=Gone,Core Agent\r\n");
  ASSERT_TRUE(cache.ReadNewUpdateINIFile(info, dir_.path()));
  EXPECT_EQ(info.packages, "7,");  // ':' in the first two columns: ignored
  // One CR is dropped, so the last reboot package is still found.
  EXPECT_EQ(info.rebootPackages, "7,");
  EXPECT_TRUE(info.transactionId.empty());
  EXPECT_TRUE(info.activeSP.empty());
  EXPECT_EQ(info.hasJar, 1u);

  INIInfoForPatch missing;
  missing.patchName = "absent";
  EXPECT_FALSE(cache.ReadNewUpdateINIFile(missing, dir_.path()));
  EXPECT_NE(Log().find("Failed to open update.ini file [" + dir_.path() + "/absent.ini]. Error [2]"),
            std::string::npos);
}

TEST_F(Descriptors, ReducedUpdatesFlagAndQuietMissingFiles) {
  KQUpdateCache cache(0, true);
  EXPECT_FALSE(cache.IsReducedSPAllowedInCache());
  db_.config().set("UpdateFlags", "nAllowReducedUpdates", "0");
  EXPECT_FALSE(cache.IsReducedSPAllowedInCache());
  db_.config().set("UpdateFlags", "nAllowReducedUpdates", "1");
  EXPECT_TRUE(cache.IsReducedSPAllowedInCache());
  EXPECT_TRUE(cache.IsReducedSPAllowedInCache());
  const std::string log = Log();
  const std::string hook = "Registry hook [UpdateFlags\\nAllowReducedUpdates] is present";
  ASSERT_NE(log.find(hook), std::string::npos);
  EXPECT_EQ(log.find(hook, log.find(hook) + 1), std::string::npos);  // logged once

  INIInfoForPatch missing;
  missing.patchName = "quiet";
  EXPECT_FALSE(cache.ReadNewUpdateINIFile(missing, dir_.path()));
  EXPECT_EQ(Log().find("quiet.ini"), std::string::npos);
}

TEST_F(Descriptors, TransactionIdOfAnUpdateFolder) {
  int id = -5;
  Write("u/Config/update.ini", "[TransactionID]=4711\n");
  EXPECT_EQ(nPatchDownload::CPatchInstallCommon::GetTransIdForUpdate(dir_ / "u", id), 0u);
  EXPECT_EQ(id, 4711);
  Write("v/Config/update.ini", "NAME=v\n");
  EXPECT_EQ(nPatchDownload::CPatchInstallCommon::GetTransIdForUpdate(dir_ / "v", id), 0u);
  EXPECT_EQ(id, 0);
  id = -5;
  EXPECT_EQ(nPatchDownload::CPatchInstallCommon::GetTransIdForUpdate(dir_ / "w", id),
            nPatchDownload::KQ_PATCH_E_FILE_IO);
  EXPECT_EQ(id, -5);
}

}  // namespace
