// The client inventory of KQUpdates on a generated Tessara, against the generator's model:
// which clients need an update or an upgrade, in order, and the release/OS list; the grace
// periods around the Hubnode's install time (read in a time zone 14 hours off UTC); the
// Hubnode's own record missing or without install time; failing reads.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "Database/DBtable.h"
#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "TessaraGenerator.h"

using kqtest::Sql;
using kqtest::TessaraModel;
using kqtest::TessaraOptions;
using kqtest::TessaraReleaseOs;

namespace {

constexpr long long kDay = 86400;
constexpr long long kHours6 = 6 * 3600;

// Local time 14 hours ahead of UTC, so that a UTC column read as local time would be off by
// more than the margins below.
class FarTimeZone : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "<+14>-14", 1);
    tzset();
  }
};
const bool g_tz = ::testing::AddGlobalTestEnvironment(new FarTimeZone()) != nullptr;

class ClientInventory : public ::testing::Test {
 protected:
  TessaraModel Generate(const TessaraOptions& options) {
    TessaraModel m = kqtest::MakeTessara(options);
    kqtest::WriteTessara(m, db_.config().root());
    return m;
  }
  // Reads the clients and computes both lists, as the alert run does.
  static void RunInventory(KQUpdates& u) {
    EXPECT_TRUE(u.FindRelSpForAllClients());
    EXPECT_TRUE(u.SetOsPlattypeInstallTime());
    EXPECT_TRUE(u.GetClientListNeedingUpdate());
    EXPECT_TRUE(u.GetClientListNeedingUpgrade());
  }
  static std::vector<TessaraReleaseOs> ReleaseOsList(const KQUpdates& u) {
    std::vector<TessaraReleaseOs> list;
    for (const KQUpdatesNS::ReleaseVsOsSPDetails& r : u.m_clientReleaseOsList) {
      TessaraReleaseOs e{r.releaseId, {}};
      for (const KQUpdatesNS::OsVsSPDetails& os : r.osSP) e.os.push_back({os.osType, os.unixFlavour});
      list.push_back(e);
    }
    return list;
  }
  static const KQUpdatesNS::ClientReleaseIdSP* Record(const KQUpdates& u, int id) {
    for (const KQUpdatesNS::ClientReleaseIdSP* c : u.m_clientRecords)
      if (c->clientId == id) return c;
    return nullptr;
  }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }

  kqtest::ScopedDatabase db_;
};

TEST_F(ClientInventory, ListsAndReleaseOsMatchTheModel) {
  TessaraOptions options;
  const TessaraModel m = Generate(options);
  KQUpdates u;
  RunInventory(u);

  EXPECT_EQ(u.m_clientRecords.size(), m.clients.size());
  EXPECT_TRUE(u.m_hnFound);
  EXPECT_EQ(u.m_hnRelease, 16);
  EXPECT_EQ(u.m_updateClientIds, m.ExpectedUpdateIds());
  EXPECT_EQ(u.m_upgradeClientIds, m.ExpectedUpgradeIds(time(nullptr)));
  EXPECT_EQ(ReleaseOsList(u), m.ExpectedReleaseOsList());
  // The latest licence row by id, a UTC time, whatever the local zone.
  EXPECT_EQ(u.m_hnUpgradeTime, options.now - options.hubInstalledAgo);

  // Service packs: 3 with "None" stays 3, with other text 2, 0 stays 0.
  EXPECT_EQ(Record(u, 3)->sp.GetMajor(), 3);
  EXPECT_EQ(Record(u, 4)->sp.GetMajor(), 2);
  EXPECT_EQ(Record(u, 5)->sp.GetMajor(), 0);
  auto listed = [](const std::vector<int>& ids, int id) {
    return static_cast<int>(std::count(ids.begin(), ids.end(), id));
  };
  // Release 12 by its baseline; failover pairs read together count once, read apart twice.
  EXPECT_EQ(listed(u.m_updateClientIds, 6), 1);
  EXPECT_EQ(listed(u.m_updateClientIds, 7), 0);
  EXPECT_EQ(listed(u.m_updateClientIds, 8) + listed(u.m_updateClientIds, 9), 0);
  EXPECT_EQ(listed(u.m_updateClientIds, 40), 1);
  EXPECT_EQ(listed(u.m_updateClientIds, 41), 2);
  EXPECT_NE(Log().find("Dummy HN client [8] is linked with [40]."), std::string::npos);
  EXPECT_EQ(listed(u.m_upgradeClientIds, 2), 0);

  // Update-OS 5 is OS type 5, flavour 0; a binary set without a row gives 0; a client without
  // OS keeps what the procedure said.
  EXPECT_EQ(Record(u, 14)->osType, 5);
  EXPECT_EQ(Record(u, 14)->unixFlavour, 0);
  EXPECT_EQ(Record(u, 15)->osType, 0);
  EXPECT_EQ(Record(u, 13)->osType, m.client(13)->procOsType);
  EXPECT_EQ(Record(u, 13)->platType, m.client(13)->procPlatType);
  EXPECT_EQ(Record(u, 18)->platType, 2);
  EXPECT_EQ(Record(u, 19)->platType, 1);

  // Each list operation appends: a second call repeats the ids after the first ones.
  const size_t before = u.m_updateClientIds.size();
  EXPECT_TRUE(u.GetClientListNeedingUpdate());
  EXPECT_GE(u.m_updateClientIds.size(), 2 * before - 1);
}

// Six hours either side of the 60- and 120-day grace periods.
class GracePeriod : public ClientInventory, public ::testing::WithParamInterface<long long> {};

TEST_P(GracePeriod, UpgradeListFollowsTheHubnodeInstallTime) {
  TessaraOptions options;
  options.hubInstalledAgo = GetParam();
  const TessaraModel m = Generate(options);
  KQUpdates u;
  RunInventory(u);
  EXPECT_EQ(u.m_upgradeClientIds, m.ExpectedUpgradeIds(time(nullptr)));
  auto has = [&u](int id) {
    return std::find(u.m_upgradeClientIds.begin(), u.m_upgradeClientIds.end(), id) !=
           u.m_upgradeClientIds.end();
  };
  const long long ago = GetParam();
  EXPECT_EQ(has(18), ago > 60 * kDay);   // platform type 2
  EXPECT_EQ(has(19), ago > 120 * kDay);  // any other type
  if (ago < 60 * kDay) {
    EXPECT_TRUE(u.m_upgradeClientIds.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(AroundTheLimits, GracePeriod,
                         ::testing::Values(60 * kDay - kHours6, 60 * kDay + kHours6,
                                           120 * kDay - kHours6, 120 * kDay + kHours6));

TEST_F(ClientInventory, NoUpgradeIdsWithoutTheHubnodeOrItsInstallTime) {
  struct Case {
    const char* what;
    bool withHubnode, hubWithOs, hubWithLicUsage;
  };
  for (const Case& c : {Case{"no client 2", false, true, true},
                        Case{"client 2 without OS", true, false, true},
                        Case{"client 2 without licence rows", true, true, false}}) {
    SCOPED_TRACE(c.what);
    Sql("DELETE FROM APP_Client");
    Sql("DELETE FROM APP_ClientProp");
    Sql("DELETE FROM PatchClientInfo");
    Sql("DELETE FROM simInstalledPackages");
    Sql("DELETE FROM LicUsage");
    Sql("DELETE FROM PatchUpdateOS");
    Sql("DELETE FROM PatchClientVersion");
    Sql("DELETE FROM simAllVorlanRel");
    Sql("DELETE FROM PatchConfig");
    TessaraOptions options;
    options.hubInstalledAgo = 400 * kDay;
    options.withHubnode = c.withHubnode;
    options.hubWithOs = c.hubWithOs;
    options.hubWithLicUsage = c.hubWithLicUsage;
    const TessaraModel m = Generate(options);
    KQUpdates u;
    RunInventory(u);
    EXPECT_TRUE(u.m_upgradeClientIds.empty());
    EXPECT_EQ(u.m_updateClientIds, m.ExpectedUpdateIds());
    EXPECT_NE(Log().find("no client is listed for upgrade"), std::string::npos);
  }
}

TEST_F(ClientInventory, ReleaseInfoOfOneClient) {
  Generate(TessaraOptions());
  KQUpdates u;
  KQUpdatesNS::ClientDetails d;
  EXPECT_TRUE(u.GetReleaseSPInfo(4, &d));
  EXPECT_EQ(d.releaseId, 11);
  EXPECT_EQ(d.spNumber, 3);  // the level as stored, not lowered
  d = KQUpdatesNS::ClientDetails();
  EXPECT_FALSE(u.GetReleaseSPInfo(100000, &d));
  EXPECT_EQ(d.releaseId, 0);
}

TEST_F(ClientInventory, FailedReadsAreFalseAndLogged) {
  Generate(TessaraOptions());
  Sql("DROP TABLE PatchClientInfo");
  KQUpdates u;
  EXPECT_FALSE(u.FindRelSpForAllClients());
  const std::string error = DBtable::getErrorStr(1000);
  EXPECT_FALSE(error.empty());
  EXPECT_NE(Log().find(error), std::string::npos) << Log();
  KQUpdatesNS::ClientDetails d;
  EXPECT_FALSE(u.GetReleaseSPInfo(4, &d));
  EXPECT_TRUE(u.m_clientRecords.empty());

  // A read that breaks off after some rows (a value that does not convert; the embedded
  // database keeps any text in a number column) is no inventory either.
  if (!kqtest::DbTestOnPostgres()) {
    Sql("CREATE TABLE PatchClientInfo (ClientId INTEGER PRIMARY KEY, HighestSP INTEGER, "
        "MissingPatches TEXT, baseline INTEGER, v11InstallTime INTEGER, osType INTEGER, "
        "platType INTEGER, linkedFailoverClient INTEGER)");
    Sql("INSERT INTO PatchClientInfo (ClientId, HighestSP) VALUES (150, 'three')");
    KQUpdates partial;
    EXPECT_FALSE(partial.FindRelSpForAllClients());
    EXPECT_EQ(partial.m_clientRecords.size(), 149u);
    EXPECT_NE(Log().find("Reading the clients failed after 149 rows with error [1000:"),
              std::string::npos);
  }

  Sql("DROP TABLE LicUsage");
  EXPECT_EQ(u.GetInstallTime(2), 0);
  EXPECT_NE(Log().find("LicUsage query failed for client [2]."), std::string::npos);
  EXPECT_EQ(u.GetPlattypeForClient(100000), -1);
  EXPECT_EQ(u.GetOsForClient(100000), -1);
}

TEST_F(ClientInventory, FreedListsAreEmptyAndNotFreedAgain) {
  Generate(TessaraOptions());
  KQUpdates u;
  ASSERT_TRUE(u.FindRelSpForAllClients());
  ASSERT_FALSE(u.m_clientRecords.empty());
  FreeElementsInList(u.m_clientRecords);
  FreeElementsInList(u.m_highestSPList);
  EXPECT_TRUE(u.m_clientRecords.empty());
  EXPECT_TRUE(u.m_highestSPList.empty());
  std::vector<char*> buffers = {new char[8], new char[16]};
  FreeElementsInList(buffers);
  EXPECT_TRUE(buffers.empty());
  u.FreeElements();  // and the destructor once more: nothing is deleted twice
}

TEST_F(ClientInventory, RecordsAddedOrReplacedBehindTheIndexAreFound) {
  Generate(TessaraOptions());
  Sql("INSERT INTO APP_ClientProp (componentNameId, attrName, attrVal) VALUES "
      "(90001, 'BinarySetID', '9'), (90002, 'BinarySetID', '8')");
  KQUpdates u;
  ASSERT_TRUE(u.FindRelSpForAllClients());
  ASSERT_TRUE(u.SetOsPlattypeInstallTime());
  AddToList(90001, 15, _SPVersion(1), u.m_clientRecords, false);  // a new record at the end
  EXPECT_TRUE(u.AddOsToClientInfo(90001, 1));
  EXPECT_EQ(Record(u, 90001)->osType, 3);
  EXPECT_EQ(Record(u, 90001)->unixFlavour, 6);  // Linux
  // Another client's record in place of client 5's, the count unchanged.
  delete u.m_clientRecords[4];
  u.m_clientRecords[4] = new KQUpdatesNS::ClientReleaseIdSP();
  u.m_clientRecords[4]->clientId = 90002;
  EXPECT_TRUE(u.AddOsToClientInfo(90002, 1));
  EXPECT_EQ(u.m_clientRecords[4]->unixFlavour, 1);  // Aix
  EXPECT_TRUE(u.AddOsToClientInfo(5, 1));           // no record any more: nothing to set
  EXPECT_EQ(Record(u, 5), nullptr);
}

TEST(ClientLists, ServicePackAndOsListsKeepTheirRules) {
  std::vector<KQUpdatesNS::ClientReleaseIdSP*> clients;
  AddToList(7, 11, _SPVersion(3), clients, true);  // new record: the level unchanged
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0]->sp.GetMajor(), 3);
  AddToList(7, 11, _SPVersion(3), clients, true);  // lowered candidate 2 is smaller
  EXPECT_EQ(clients[0]->sp.GetMajor(), 2);
  AddToList(7, 11, _SPVersion(5), clients, false);  // greater: kept
  EXPECT_EQ(clients[0]->sp.GetMajor(), 2);
  AddToList(7, 11, _SPVersion(0), clients, true);  // 0 is not lowered
  EXPECT_EQ(clients[0]->sp.GetMajor(), 0);
  FreeElementsInList(clients);

  std::vector<KQUpdatesNS::ReleaseVsOsSPDetails> list(2);
  list[0].releaseId = list[1].releaseId = 16;
  AddOsToList(16, 3, 6, list);
  AddOsToList(16, 3, 6, list);
  EXPECT_EQ(list[0].osSP.size(), 1u);
  EXPECT_EQ(list[1].osSP.size(), 1u);
  list[1].osSP.clear();
  AddOsToList(16, 3, 6, list);  // found in the first entry: the second is left alone
  EXPECT_TRUE(list[1].osSP.empty());
  EXPECT_FALSE(FindReleaseInList(17, list));
}

TEST_F(ClientInventory, CacheLevelsRaiseTheBestServicePack) {
  const TessaraModel m = Generate(TessaraOptions());
  KQUpdates u;
  ASSERT_TRUE(u.FindRelSpForAllClients());
  KQUpdatesNS::ReleaseVsOsSPDetails cache;
  cache.releaseId = 11;
  KQUpdatesNS::OsVsSPDetails os;
  os.sp = _SPVersion(9);
  cache.osSP.push_back(os);
  u.m_cacheInventory.push_back(cache);
  EXPECT_TRUE(u.ChoseHighestSP_CacheVsClients());
  EXPECT_TRUE(u.GetClientListNeedingUpdate());
  // Every release-11 client is now below the best level.
  for (const kqtest::TessaraClient& c : m.clients) {
    if (c.release != 11) continue;
    const int id = c.linkedFailover > 0 ? c.linkedFailover : c.id;
    EXPECT_NE(std::find(u.m_updateClientIds.begin(), u.m_updateClientIds.end(), id),
              u.m_updateClientIds.end())
        << c.id;
  }
}

}  // namespace
