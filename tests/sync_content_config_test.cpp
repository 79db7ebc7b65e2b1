// Remote-cache content configurations: stored and read back through the database procedures,
// merged entry by entry, asked about packages, and turned into request lists.
#include "SyncContentConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KqDbTestEnv.h"

using EVGui::PatchUAContentConfig;
using EVGui::PatchUAContentConfigs;
using kqtest::I;
using kqtest::Sql;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

namespace {

PatchUAContentConfig Entry(long long key, long long rel, long long os, long long mode,
                           const std::string& packages = "", std::vector<int> binarySets = {},
                           const std::string& configured = "") {
  PatchUAContentConfig e;
  e.setint64(PatchUAContentConfig::kKey, key);
  e.setint64(PatchUAContentConfig::kReleaseId, rel);
  e.setint64(PatchUAContentConfig::kOSId, os);
  e.setint64(PatchUAContentConfig::kPackageSyncMode, mode);
  if (!packages.empty()) e.setstring(PatchUAContentConfig::kPackageIds, packages);
  if (!binarySets.empty()) e.setlistint(PatchUAContentConfig::kBinarySetIds, binarySets);
  if (!configured.empty()) e.setstring(PatchUAContentConfig::kConfiguredPackages, configured);
  return e;
}

PatchUAContentConfigs Configs(const std::vector<PatchUAContentConfig>& entries) {
  PatchUAContentConfigs c;
  c.setlistobject(PatchUAContentConfigs::kConfigs,
                  std::vector<CNMessageBase>(entries.begin(), entries.end()));
  return c;
}

const std::vector<CNMessageBase>& EntriesOf(const PatchUAContentConfigs& c) {
  return *c.getlistobject(PatchUAContentConfigs::kConfigs);
}

class ContentConfigDb : public ::testing::Test {
 protected:
  void SetUp() override {
    // Binary sets 1 and 3 belong to the new-style OS 16.
    for (int bs : {1, 3})
      Sql("INSERT INTO PatchUpdateOS (BinarySetID, UpdateOSID, NewUpdateOSID) VALUES ($1, 5, 16)",
          {I(bs)});
  }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }
  long long StoredFlag(int client) {
    auto rows = Sql("SELECT optimalSync FROM PatchUAContentConfig WHERE clientId = $1", {I(client)});
    return rows.empty() ? -1 : rows[0][0].i;
  }
  kqtest::ScopedDatabase db_;
};

TEST_F(ContentConfigDb, RoundTripRefreshesBinarySetsOfOperatingSystems) {
  const std::string quoted = "it's \"all\" <&> 'x'";
  PatchUAContentConfigs stored =
      Configs({Entry(1, 16, 16, 2, "5,7,", {9}, quoted), Entry(1, 16, 0, 1, "", {4, 8}, "ALL")});
  ASSERT_EQ(1, setPatchUAContent(stored, 12));

  PatchUAContentConfigs read;
  ASSERT_EQ(1, getPatchUAContent(12, read));
  const auto& entries = EntriesOf(read);
  ASSERT_EQ(entries.size(), 2u);
  // The texts come back unchanged; an OS's binary sets are those of the database now.
  EXPECT_EQ(entries[0].getstring(PatchUAContentConfig::kConfiguredPackages), quoted);
  EXPECT_EQ(entries[0].getstring(PatchUAContentConfig::kPackageIds), "5,7,");
  EXPECT_EQ(*entries[0].getlistint(PatchUAContentConfig::kBinarySetIds), (std::vector<int>{1, 3}));
  // Without an OS the stored list stays.
  EXPECT_EQ(*entries[1].getlistint(PatchUAContentConfig::kBinarySetIds), (std::vector<int>{4, 8}));
  EXPECT_EQ(entries[1].getstring(PatchUAContentConfig::kConfiguredPackages), "ALL");

  // Storing again replaces the client's text.
  PatchUAContentConfigs one = Configs({Entry(2, 17, 0, 0)});
  ASSERT_EQ(1, setPatchUAContent(one, 12));
  ASSERT_EQ(1, getPatchUAContent(12, read));
  EXPECT_EQ(read, one);
}

TEST_F(ContentConfigDb, OptimalSyncFlagFollowsTheConfiguration) {
  PatchUAContentConfigs c = Configs({Entry(1, 16, 0, 0)});
  ASSERT_EQ(1, setPatchUAContent(c, 3));
  EXPECT_EQ(StoredFlag(3), 1);  // absent
  db_.config().set("UpdateFlags", "nPerformOptimalSyncup", "0");
  ASSERT_EQ(1, setPatchUAContent(c, 3));
  EXPECT_EQ(StoredFlag(3), 0);
  db_.config().set("UpdateFlags", "nPerformOptimalSyncup", "5");
  ASSERT_EQ(1, setPatchUAContent(c, 3));
  EXPECT_EQ(StoredFlag(3), 1);
}

TEST_F(ContentConfigDb, FailuresReportZeroAndKeepWhatIsKnown) {
  // A client without stored text has nothing to decode.
  PatchUAContentConfigs none;
  EXPECT_EQ(0, getPatchUAContent(40, none));
  // A stored text that is not a configuration.
  Sql("INSERT INTO PatchUAContentConfig (clientId, configXml, optimalSync) VALUES (41, '<x/>', 1)");
  EXPECT_EQ(0, getPatchUAContent(41, none));
  EXPECT_NE(Log().find("Failed to unserialize UAContent xml string."), std::string::npos);

  // The binary sets cannot be read: the stored ones stay.
  PatchUAContentConfigs stored = Configs({Entry(1, 16, 16, 2, "", {9, 10})});
  ASSERT_EQ(1, setPatchUAContent(stored, 12));
  Sql("DROP TABLE PatchUpdateOS");
  PatchUAContentConfigs read;
  ASSERT_EQ(1, getPatchUAContent(12, read));
  EXPECT_EQ(read, stored);

  // A failing read is not an empty configuration, and a failing write is reported.
  Sql("DROP TABLE PatchUAContentConfig");
  PatchUAContentConfigs kept = stored;
  EXPECT_EQ(0, getPatchUAContent(12, kept));
  EXPECT_EQ(kept, stored);
  EXPECT_NE(Log().find("Failed to read the content configuration of client [12]. Error:["),
            std::string::npos);
  EXPECT_EQ(0, setPatchUAContent(stored, 12));
  EXPECT_NE(Log().find("Unable to set UA Content info in PatchUAContentConfig table. Error:["),
            std::string::npos);
}

TEST(ContentConfigMerge, ModesPackagesAndBinarySets) {
  struct Case {
    long long current, incoming, expected;
  };
  for (const Case& c : std::vector<Case>{{3, 2, 3}, {3, 1, 1}, {3, 0, 3}, {2, 3, 3}, {2, 0, 2},
                                         {0, 2, 2}, {1, 0, 1}, {1, 3, 1}, {7, 1, 7}}) {
    PatchUAContentConfigs configs = Configs({Entry(1, 16, 3, c.current, "7,9,", {4})});
    PatchUAContentConfig in = Entry(1, 16, 3, c.incoming, "5,7", {4, 6});
    ASSERT_EQ(1, findAndInsertInUAContentConfigLst(&configs, in));
    const auto& entries = EntriesOf(configs);
    ASSERT_EQ(entries.size(), 1u);
    const CNMessageBase& e = entries[0];
    EXPECT_EQ(e.getint64(PatchUAContentConfig::kPackageSyncMode), c.expected)
        << c.current << "+" << c.incoming;
    // Into "every package" the packages stay; binary sets are added in every case.
    EXPECT_EQ(e.getstring(PatchUAContentConfig::kPackageIds), c.current == 1 ? "7,9," : "7,9,5,");
    EXPECT_EQ(*e.getlistint(PatchUAContentConfig::kBinarySetIds), (std::vector<int>{4, 6}));
  }
  // Another triple is appended; null configurations change nothing.
  PatchUAContentConfigs configs = Configs({Entry(1, 16, 3, 2)});
  PatchUAContentConfig other = Entry(1, 16, 4, 2, "8");
  ASSERT_EQ(1, findAndInsertInUAContentConfigLst(&configs, other));
  ASSERT_EQ(EntriesOf(configs).size(), 2u);
  EXPECT_EQ(EntriesOf(configs)[1], other);
  EXPECT_EQ(1, findAndInsertInUAContentConfigLst(nullptr, other));
}

TEST(ContentConfigQueries, CoverageAndSyncup) {
  kqtest::ScopedConfig config;
  PatchUAContentConfigs configs =
      Configs({Entry(1, 16, 3, 2, "", {}, "1"), Entry(1, 16, 4, 1, "", {}, "ALL"),
               Entry(1, 16, 5, 1, "", {}, "1,2"), Entry(1, 16, 6, 3, "", {}, ""),
               Entry(1, 16, 7, 9, "", {}, "all")});
  auto ask = [&](long long os, const std::string& packages, bool configured, bool all) {
    PatchUAContentConfig q = Entry(1, 16, os, 0, packages);
    findInUAContentConfigLst(configs, q, configured, all);
    return std::make_pair(configured, all);
  };
  EXPECT_EQ(ask(3, "1,2", false, true), std::make_pair(true, false));
  EXPECT_NE(kqtest::ReadFile(config.logFile()).find("Package with id 2 is not configured"),
            std::string::npos);
  EXPECT_EQ(ask(3, "1", false, false), std::make_pair(true, true));
  EXPECT_EQ(ask(4, "1,2", false, false), std::make_pair(true, true));   // "ALL"
  EXPECT_EQ(ask(5, "1", false, false), std::make_pair(true, false));    // not "all": kept
  EXPECT_EQ(ask(6, "", false, false), std::make_pair(false, true));     // nothing configured
  EXPECT_EQ(ask(7, "1", true, false), std::make_pair(true, false));     // unknown mode: kept
  EXPECT_EQ(ask(8, "1", true, true), std::make_pair(false, false));     // no entry
  EXPECT_EQ(ask(3, "", false, false).first, true);

  bool enabled = false;
  PatchUAContentConfigs off = Configs({Entry(1, 16, 3, 0), Entry(1, 16, 4, 0)});
  isPackageSyncupEnabled(off, enabled);
  EXPECT_FALSE(enabled);
  enabled = true;
  isPackageSyncupEnabled(off, enabled);
  EXPECT_TRUE(enabled);
  enabled = false;
  isPackageSyncupEnabled(configs, enabled);
  EXPECT_TRUE(enabled);
}

TEST(ContentConfigRequests, EntriesBecomeReleaseAndOsLists) {
  std::vector<FilesForRel> releases;
  auto add = [&](PatchUAContentConfig e) { ASSERT_EQ(1, findAndInsertInFileForRelList(e, &releases)); };
  add(Entry(1, 16, 3, 2, "5,7,", {10}));
  add(Entry(1, 16, 4, 2, "", {11}));
  add(Entry(1, 17, 3, 2, "1", {}));
  add(Entry(1, 16, 3, 2, "7,8", {10, 12}));
  ASSERT_EQ(releases.size(), 2u);
  const auto& oses = *releases[0].getlistobject(FilesForRel::kOSList);
  ASSERT_EQ(oses.size(), 2u);
  EXPECT_EQ(oses[0].getint64(FilesForOS::kOSId), 3);
  EXPECT_EQ(*oses[0].getlistint(FilesForOS::kPackageIds), (std::vector<int>{5, 7, 8}));
  EXPECT_EQ(*oses[0].getlistint(FilesForOS::kBinarySetIds), (std::vector<int>{10, 12}));
  EXPECT_TRUE(oses[1].getlistint(FilesForOS::kPackageIds)->empty());
  EXPECT_EQ(releases[1].getint64(FilesForRel::kReleaseId), 17);
  // Every package: mode 1 without ids empties the OS's list.
  add(Entry(1, 16, 3, 1, "", {13}));
  EXPECT_TRUE((*releases[0].getlistobject(FilesForRel::kOSList))[0]
                  .getlistint(FilesForOS::kPackageIds)->empty());
  EXPECT_EQ(*(*releases[0].getlistobject(FilesForRel::kOSList))[0].getlistint(
                FilesForOS::kBinarySetIds),
            (std::vector<int>{10, 12, 13}));
  PatchUAContentConfig empty;
  EXPECT_EQ(1, findAndInsertInFileForRelList(empty, nullptr));
}

}  // namespace
