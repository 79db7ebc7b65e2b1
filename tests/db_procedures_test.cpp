// Stored-procedure and SQL-batch records over the emulated Hubnode database, and the XML
// wrappers.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Database/DbProcedures.h"
#include "Database/DbSession.h"
#include "Db/Cursor/GetClientAndOS.h"
#include "Db/Cursor/GetRelAndAppId.h"
#include "Db/Proc/FtpServicePackInfoSelectOps.h"
#include "Db/Proc/GetClientBuildAndReleaseInfo.h"
#include "Db/Proc/GetFtpServicePackInfo.h"
#include "Db/Proc/GetPatchMultiCacheInfo.h"
#include "Db/Proc/GetPatchUAContentConfig.h"
#include "Db/Proc/PatchGetClientsWithVersionInfo.h"
#include "Db/Proc/PatchGetConfig.h"
#include "Db/Proc/PatchGetDVDStatus.h"
#include "Db/Proc/PatchGetLatestDVDForSP.h"
#include "Db/Proc/PatchGetOSes.h"
#include "Db/Proc/PatchGetUpdateStatus.h"
#include "Db/Proc/SetPatchUAContentConfig.h"
#include "Db/Proc/patchApplianceCommit.h"
#include "Db/Proc/patchGetUAStatus.h"
#include "Db/Proc/patchUpdateApplianceEligibility.h"
#include "Db/Proc/patchUpdateDVDInfo.h"
#include "Db/Proc/patchUpdateUAStatus.h"
#include "Db/Proc/simGetAllCUs.h"
#include "Db/Proc/simGetApplianceOSes.h"
#include "Db/Proc/simGetClientPackageFullVersion.h"
#include "Db/Proc/simGetFullVersionAndOSInfo.h"
#include "Db/Proc/simGetSPVersionId.h"
#include "Db/Proc/simGetUPInfo.h"
#include "Db/Proc/simGetUpdatesNeedsDownload.h"
#include "Db/Proc/simUpdateUPVersion.h"
#include "Db/SprocWrapper.h"
#include "KqDbTestEnv.h"

using kq::db::Row;
using kq::db::Value;
using kqtest::I;
using kqtest::Sql;
using kqtest::T;

namespace {

// Puts a test's own body in place of a procedure's built-in one for the guard's life; the
// built-in body comes back however the test ends.
class HostBodySwap {
 public:
  HostBodySwap(const char* name, int argCount, kq::db::HostBody body)
      : name_(name), argCount_(argCount) {
    kq::db::RegisterHostProcedure(name_, argCount_, std::move(body));
  }
  ~HostBodySwap() {
    kq::db::RegisterHostProcedure(name_, argCount_, kq::db::BuiltInHostBody(name_));
  }
  HostBodySwap(const HostBodySwap&) = delete;
  HostBodySwap& operator=(const HostBodySwap&) = delete;

 private:
  std::string name_;
  int argCount_;
};

class DbProcedures : public ::testing::Test {
 protected:
  void SeedClients() {
    Sql("INSERT INTO APP_Client (id, name, net_hostname, kqdPort, evmgrcPort, "
        "simOperatingSystemId, releaseId) VALUES "
        "(2, 'hubnode', 'hub.example', 8400, 8401, 5, 16), "
        "(7, 'client7', 'c7.example', 8400, 8401, 9, 15), "
        "(9, 'client9', 'c9.example', 8400, 8401, 1, 16)");
    Sql("INSERT INTO APP_ClientProp VALUES (2, 'Vorlan Build', '80'), (7, 'Vorlan Build', '72'), "
        "(7, 'Other', 'x')");
    Sql("INSERT INTO simInstalledPackages VALUES (7, 1002), (7, 20), (9, 1000)");
    Sql("INSERT INTO PatchClientInfo VALUES (7, 4, 'KB1,KB2', 1, 1600000000, 3, 2, 0)");
  }
  kqtest::ScopedDatabase db;
};

// Runs a procedure record to its end; returns the code that ended it.
template <class Rec, class F>
int EachRow(Rec& rec, F f) {
  int count = 0;
  int rc;
  while ((rc = getNextRow(&rec, &count, -1, 0)) == 0) f(*rec.getDataPtr());
  return rc;
}

}  // namespace

TEST_F(DbProcedures, DownloadConfigurationAndServicePacks) {
  PatchGetConfig none;
  none.setValues();
  EXPECT_EQ(getOneRow(&none, false, -1, 0), 100);
  Sql("INSERT INTO PatchConfig VALUES (1, 'HTTPS', '/cache', 'ftp.example', 'u', 'enc', 1, "
      "'https://dl.example', 0, 'cfg/', 3, 42)");
  PatchGetConfig config;
  config.setValues();
  config.setIsolationType(4);
  ASSERT_EQ(getOneRow(&config, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_STREQ(config.getDataPtr()->oDownloadProtocol, "HTTPS");
  EXPECT_STREQ(config.getDataPtr()->oHNCacheDirectory, "/cache");
  EXPECT_EQ(config.getDataPtr()->oFTPUsePassive, 1);
  EXPECT_STREQ(config.getDataPtr()->oHTTPSite, "https://dl.example");
  EXPECT_EQ(config.getDataPtr()->oTessaraID, 42);

  Sql("INSERT INTO PatchSPVersion (id, ReleaseStr, BuildIdString, SPName, SPMajor, SPMinor, "
      "TransactionID, RevisionID, bShowInGUI, Timestamp, FriendlyName) VALUES "
      "(1, '11.0.0', 'BUILD80', 'SP28', 28, 0, 100, 1, 1, 1700000000, 'FR28'), "
      "(2, '11.0.0', 'BUILD80', 'SP32', 32, 0, 200, 3, 1, 4102444800000, 'FR32'), "
      "(3, '11.0.0', 'BUILD80', 'SP36', 36, 0, 300, 1, 0, 1720000000, 'hidden'), "
      "(4, '10.0.0', 'BUILD80', 'SP40', 40, 0, 400, 1, 1, 1720000000, 'old release')");
  FtpServicePackInfoSelectOps sp;
  sp.setValues(1, "11.0.0", 28, 0, 7);
  std::vector<std::string> names;
  EXPECT_EQ(EachRow(sp, [&](FtpServicePackInfoSelectOps_t& r) { names.push_back(r.SPName); }), 100);
  EXPECT_EQ(names, (std::vector<std::string>{"SP32", "SP28"}));
  sp.setValues(1, "11.0.0", 28, 0, 7);
  ASSERT_EQ(getOneRow(&sp, false, -1, 0), 0);
  EXPECT_STREQ(sp.getDataPtr()->BuildIdString, "BUILD80");
  EXPECT_EQ(sp.getDataPtr()->TransactionId, 200);
  EXPECT_EQ(sp.getDataPtr()->RevisionId, 3);
  EXPECT_STREQ(sp.getDataPtr()->FriendlyName, "FR32");
  EXPECT_EQ(sp.getDataPtr()->Timestamp, 4102444800000LL);  // beyond 32 bits, as stored
}

TEST_F(DbProcedures, VersionsSidesMediaAndUpdates) {
  SimGetSPVersionId first;
  first.setValues(16, 80, 28, 0, 100, 1, "11.80.28", 0, 0);
  ASSERT_EQ(getOneRow(&first, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  SimGetSPVersionId second;
  second.setValues(16, 80, 32, 0, 200, 3, "11.80.32", 0, 0);
  ASSERT_EQ(getOneRow(&second, false, -1, 0), 0);
  SimGetSPVersionId again;
  again.setValues(16, 80, 28, 0, 100, 1, "11.80.28", 0, 0);
  ASSERT_EQ(getOneRow(&again, false, -1, 0), 0);
  EXPECT_NE(first.getDataPtr()->o_id, second.getDataPtr()->o_id);
  EXPECT_EQ(first.getDataPtr()->o_id, again.getDataPtr()->o_id);

  Sql("INSERT INTO PatchClientOS VALUES (2, 16, 80, 28, 0, 100, 1, 1), (2, 16, 80, 28, 0, 100, 1, "
      "9), (7, 15, 80, 1, 0, 5, 0, 1)");
  PatchGetOSes oses;
  oses.setValues(2);
  std::vector<int> os;
  EXPECT_EQ(EachRow(oses, [&](PatchGetOSes_t& r) {
              EXPECT_EQ(r.oRelease, 16);
              EXPECT_EQ(r.oTransactionId, 100);
              os.push_back(r.oOSId);
            }),
            100);
  EXPECT_EQ(os, (std::vector<int>{1, 9}));

  Sql("INSERT INTO PatchDVDInfo VALUES (16, 80, 1, 28, 0, 100, 1), (16, 80, 1, 32, 0, 200, 3)");
  PatchGetDVDStatus dvd;
  dvd.setValues(16, 80, 1, 150);
  ASSERT_EQ(getOneRow(&dvd, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(dvd.getDataPtr()->oIsDVDInExist, 1);
  EXPECT_EQ(dvd.getDataPtr()->oSPMajor, 28);
  dvd.setValues(16, 80, 1, 500);
  ASSERT_EQ(getOneRow(&dvd, false, -1, 0), 0);
  EXPECT_EQ(dvd.getDataPtr()->oSPMajor, 32);
  EXPECT_EQ(dvd.getDataPtr()->oRevisionId, 3);
  dvd.setValues(16, 80, 9, 500);
  ASSERT_EQ(getOneRow(&dvd, false, -1, 0), 0);
  EXPECT_EQ(dvd.getDataPtr()->oIsDVDInExist, 0);

  Sql("INSERT INTO PatchUpdateInfo VALUES (16, 80, 28, 0, 100, 'KB0042', 1)");
  PatchGetUpdateStatus upd;
  upd.setValues(16, 80, 28, 0, 100, "KB0042", 1);
  ASSERT_EQ(getOneRow(&upd, false, -1, 0), 0);
  EXPECT_EQ(upd.getDataPtr()->oIsUpdateExist, 1);
  upd.setValues(16, 80, 28, 0, 100, "KB0042' OR '1'='1", 1);
  ASSERT_EQ(getOneRow(&upd, false, -1, 0), 0);
  EXPECT_EQ(upd.getDataPtr()->oIsUpdateExist, 0);
}

TEST_F(DbProcedures, MaintenanceReleasesAndAppliances) {
  Sql("INSERT INTO PatchUPVersion VALUES (16, 80, 28, 0, 100, 1, 110, 1, 1, 'CU1'), "
      "(16, 80, 28, 0, 100, 2, 120, 1, 0, 'CU2'), (16, 80, 28, 0, 100, 3, 130, 0, 0, 'CU3')");
  SimGetUPInfo up;
  up.setValues(16, 80, 28, 0, 100, 0, "<FullVersion/>", 115, 0);
  ASSERT_EQ(getOneRow(&up, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(up.getDataPtr()->oCUNumber, 3);
  EXPECT_EQ(up.getDataPtr()->oCUTransactionId, 130);
  up.setValues(16, 80, 28, 0, 100, 2, "<FullVersion/>", 115, 3);
  ASSERT_EQ(getOneRow(&up, false, -1, 0), 0);
  EXPECT_EQ(up.getDataPtr()->oCUNumber, 2);
  EXPECT_EQ(up.getDataPtr()->oIsCUShownInGUI, 0);
  up.setValues(16, 80, 28, 0, 100, 1, "<FullVersion/>", 115, 3);
  EXPECT_EQ(getOneRow(&up, false, -1, 0), 100);

  Sql("INSERT INTO APP_ApplianceOS VALUES (7, 'Windows Server 2019', 2, 0), "
      "(7, 'MSSQL 2017', 1, 0), (9, 'Windows Server 2019', 2, 0), (9, 'Solaris', 0, 0)");
  SimGetApplianceOSes oses;
  oses.setValues(0);
  std::multiset<std::string> windows, sql, other;
  EXPECT_EQ(EachRow(oses, [&](SimGetApplianceOSes_t& r) {
              (r.o_MainOSType == 2 ? windows : r.o_MainOSType == 1 ? sql : other)
                  .insert(r.o_OSNameVersion);
            }),
            100);
  EXPECT_EQ(windows, (std::multiset<std::string>{"Windows Server 2019"}));
  EXPECT_EQ(sql, (std::multiset<std::string>{"MSSQL 2017"}));
  EXPECT_EQ(other.size(), 1u);

  Sql("INSERT INTO PatchApplianceVersion VALUES ('Windows Server 2019', '<cfg/>')");
  PatchUpdateApplianceEligibility elig;
  elig.setValues();
  ASSERT_EQ(getOneRow(&elig, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(elig.getDataPtr()->nRowsUpdated, 2);
}

TEST_F(DbProcedures, SyncStatusAndContentConfiguration) {
  PatchGetUAStatus get;
  get.setValues(55, 7);
  EXPECT_EQ(getOneRow(&get, false, -1, 0), 100);
  PatchUpdateUAStatus set;
  set.setValues(55, 7, 3, 1);
  EXPECT_EQ(getOneRow(&set, false, -1, 0), 100);
  set.setValues(55, 7, 4, 0);
  EXPECT_EQ(getOneRow(&set, false, -1, 0), 100);
  ASSERT_EQ(getOneRow(&get, false, -1, 0), 0);
  EXPECT_EQ(get.getDataPtr()->oStatus, 4);
  EXPECT_EQ(get.getDataPtr()->oFlag, 0);

  GetPatchUAContentConfig read;
  read.setValues(2, 7, 0, 0);
  EXPECT_EQ(getOneRow(&read, false, -1, 0), 100);
  SetPatchUAContentConfig store;
  store.setValues(7, "<PatchUAContentConfigs/>", 1);
  int count = 0;
  ASSERT_EQ(getNextRow(&store, &count, -1, 0), 0);
  EXPECT_EQ(store.getDataPtr()->rcount, 1);
  store.setValues(7, "<PatchUAContentConfigs><c/></PatchUAContentConfigs>", 0);
  count = 0;
  ASSERT_EQ(getNextRow(&store, &count, -1, 0), 0);
  ASSERT_EQ(getOneRow(&read, false, -1, 0), 0);
  EXPECT_STREQ(read.getDataPtr()->outputXML, "<PatchUAContentConfigs><c/></PatchUAContentConfigs>");

  Sql("INSERT INTO PatchMultiCache VALUES (7, 16, 1, 'SP28', 1, NULL, 100, 1, 4, 'CU4')");
  GetPatchMultiCacheInfo multi;
  multi.setValues(7, 16, 1, 0, 0);
  ASSERT_EQ(getOneRow(&multi, true, -1, 0), 0);
  EXPECT_STREQ(multi.getDataPtr()->oHighestSP, "SP28");
  EXPECT_EQ(multi.getDataPtr()->oAddUpdates, nullptr);
  EXPECT_EQ(multi.getDataPtr()->oTransactionId, 100);
  EXPECT_EQ(multi.getDataPtr()->oUpdatePackNumber, 4);
  EXPECT_STREQ(multi.getDataPtr()->oFriendlyName, "CU4");
  multi.setValues(7, 16, 2, 0, 0);
  EXPECT_EQ(getOneRow(&multi, true, -1, 0), 100);
}

TEST_F(DbProcedures, ClientInventory) {
  SeedClients();
  GetClientBuildAndReleaseInfo all;
  all.setValues(0);
  std::vector<std::string> builds;
  EXPECT_EQ(EachRow(all, [&](GetClientBuildAndReleaseInfo_t& r) {
              builds.push_back(std::to_string(r.ClientId_out) + ":" +
                               std::to_string(r.releaseId_out) + ":" + r.buildStr_out);
            }),
            100);
  EXPECT_EQ(builds, (std::vector<std::string>{"2:16:80", "7:15:72", "9:16:"}));
  GetClientBuildAndReleaseInfo one;
  one.setValues(7);
  one.setIsolationType(4);
  ASSERT_EQ(getOneRow(&one, false, -1, 0), 0);
  EXPECT_STREQ(one.getDataPtr()->buildStr_out, "72");

  PatchGetClientsWithVersionInfo clients;
  clients.setValues();
  std::vector<PatchGetClientsWithVersionInfo_t> rows;
  EXPECT_EQ(EachRow(clients, [&](PatchGetClientsWithVersionInfo_t& r) { rows.push_back(r); }), 100);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].ClientId, 7);
  EXPECT_EQ(rows[1].HighestSP, 4);
  EXPECT_STREQ(rows[1].MissingPatches, "KB1,KB2");
  EXPECT_EQ(rows[1].ReleaseId, 15);
  EXPECT_STREQ(rows[1].build, "72");
  EXPECT_EQ(rows[1].platType, 2);
  EXPECT_STREQ(rows[0].MissingPatches, "None");
  EXPECT_EQ(rows[0].osType, 5);

  GetRelAndAppId rel;
  rel.setValues(7);
  EXPECT_EQ(rel.getSizeEstimate(), 772u);
  std::vector<int> apps;
  EXPECT_EQ(EachRow(rel, [&](GetRelAndAppId_t& r) {
              apps.push_back(r.nvAppId);
              EXPECT_STREQ(r.svRelease, "15");
              EXPECT_STREQ(r.svBuildString, "0(72)");
            }),
            100);
  EXPECT_EQ(apps, (std::vector<int>{20, 1002}));
  GetRelAndAppId nobuild;
  nobuild.setValues(9);  // packages, but no build property
  EXPECT_EQ(getOneRow(&nobuild, false, -1, 0), 100);
  nobuild.setValues(-1);
  EXPECT_NE(nobuild.getCallText().find("SET @ClientId = -1 \n"), std::string::npos);

  GetClientAndOS host;
  host.setValues(2);
  EXPECT_EQ(host.getSizeEstimate(), 590u);
  EXPECT_NE(host.getCallText().find("\n\tSET @ClientId =2 \n"), std::string::npos);
  ASSERT_EQ(getOneRow(&host, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_STREQ(host.getDataPtr()->svClientInterfaceName, "hub.example");
  EXPECT_STREQ(host.getDataPtr()->svClientName, "hubnode");
  EXPECT_EQ(host.getDataPtr()->nvkqdPort, 8400);
  EXPECT_EQ(host.getDataPtr()->nvSimOSId, 5);
  EXPECT_EQ(host.getDataPtr()->nvSimSystemOSId, host.getDataPtr()->nvSimOSId);
  host.setValues(12345);
  EXPECT_EQ(getOneRow(&host, false, -1, 0), 100);
}

TEST_F(DbProcedures, BatchesRunTheSameWithTheLegacyBase) {
  SeedClients();
  int saved = DBtable::b_newDBBase;
  DBtable::b_newDBBase = 0;
  GetClientAndOS host;
  host.setValues(7);
  int rc = getOneRow(&host, false, -1, 0);
  DBtable::b_newDBBase = saved;
  ASSERT_EQ(rc, 0);
  EXPECT_STREQ(host.getDataPtr()->svClientName, "client7");
}

TEST_F(DbProcedures, XmlProceduresFailClearlyWithoutABodyOrOnForeignXml) {
  PatchUpdateDVDInfo dvd;
  dvd.setValues("<SPVersion/>", 1, 0);
  EXPECT_EQ(getOneRow(&dvd, false, -1, 0), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("DVDInfo message"), std::string::npos)
      << DBtable::getErrorStr(1000);
  SimGetAllCUs cus;
  cus.setValues("<SPVersion/>");
  EXPECT_EQ(getOneRow(&cus, false, -1, 0), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("SPVersion message"), std::string::npos)
      << DBtable::getErrorStr(1000);
  SimUpdateUPVersion upv;
  upv.setValues("<x/>", 1);
  EXPECT_EQ(getOneRow(&upv, false, -1, 0), 1000);
  PatchApplianceCommit commit;
  commit.setValues("<cfg/>", "a,b");
  EXPECT_EQ(getOneRow(&commit, false, -1, 0), 1000);
  SimGetUpdatesNeedsDownload needs;
  needs.setValues(28, 0, 100, "<cfg/>", -1, 1);
  EXPECT_EQ(getOneRow(&needs, false, -1, 0), 1000);
  GetFtpServicePackInfo ftp;
  ftp.setValues("<req/>");
  EXPECT_EQ(getOneRow(&ftp, false, -1, 0), 1000);
}

TEST_F(DbProcedures, HostBodiesServeTheirRecords) {
  // A host body sees its arguments bound in order and may use the session.
  HostBodySwap swap(
      "SimGetUpdatesNeedsDownload", 6,
      [](kq::db::Session&, const std::vector<Value>& args, std::vector<Row>& rows,
         std::string& err) {
        if (args.size() != 6 || args[3].s != "<cfg a='1'/>" || args[4].i != -1) {
          err = "unexpected arguments";
          return 1000;
        }
        rows.push_back({I(1), T("KB1,KB2")});
        rows.push_back({I(9), T("")});
        return 0;
      });
  SimGetUpdatesNeedsDownload needs;
  needs.setIsolationType(4);
  needs.setValues(28, 0, 100, "<cfg a='1'/>", -1, 1);
  std::vector<std::string> lists;
  EXPECT_EQ(EachRow(needs, [&](SimGetUpdatesNeedsDownload_t& r) { lists.push_back(r.oUpdatesList); }),
            100)
      << DBtable::getErrorStr(1000);
  EXPECT_EQ(lists, (std::vector<std::string>{"KB1,KB2", ""}));
}

namespace {

// Records whose open, fetch or close fail, to drive the wrapper's failure paths.
int g_closeCalls = 0;
int g_failStep = 0;  // 1 open, 2 fetch, 3 close
class ProbeCUs : public SimGetAllCUs {
 public:
  explicit ProbeCUs(DBtran* tran) : SimGetAllCUs(tran) {}
  int open() override { return g_failStep == 1 ? 1000 : SimGetAllCUs::open(); }
  int fetchText(std::string& text) override {
    return g_failStep == 2 ? 1000 : SimGetAllCUs::fetchText(text);
  }
  int close() override {
    ++g_closeCalls;
    SimGetAllCUs::close();
    return g_failStep == 3 ? 1000 : 0;
  }
};

}  // namespace

TEST_F(DbProcedures, XmlWrapperTurnsOneCallIntoOneString) {
  std::string answer = "<CacheUpdateInfo/>";
  HostBodySwap swap("simGetAllCUs", 1,
                    [&](kq::db::Session&, const std::vector<Value>& args,
                        std::vector<Row>& rows, std::string&) {
                      if (!answer.empty()) rows.push_back({T(answer + args[0].s)});
                      return 0;
                    });
  {
    SprocWrapper<SimGetAllCUs, SimGetAllCUs_t> w("GetAllCUsInDB", nullptr);
    w.getCursor()->setIsolationType(4);
    w.getCursor()->setValues("<SPVersion/>");
    std::string out;
    ASSERT_EQ(w.getXMLFromCursor(out, nullptr, false, true), 0);
    EXPECT_EQ(out, "<?xml version='1.0' encoding='utf-8' ?><CacheUpdateInfo/><SPVersion/>");
    ASSERT_EQ(w.getXMLFromCursor(out, nullptr, true, true), 0);
    EXPECT_EQ(out.substr(0, 20), "<?xml version='1.1' ");
    ASSERT_EQ(w.getXMLFromCursor(out, nullptr, true, false), 0);
    EXPECT_EQ(out, "<CacheUpdateInfo/><SPVersion/>");
    std::string err = "untouched";
    EXPECT_EQ(w.closeCursor(&err), 0);
    EXPECT_EQ(err, "untouched");
  }
  answer.clear();  // an empty result leaves out as it was
  {
    SprocWrapper<SimGetAllCUs, SimGetAllCUs_t> w("GetAllCUsInDB", nullptr);
    w.getCursor()->setValues("");
    std::string out = "before";
    ASSERT_EQ(w.getXMLFromCursor(out, nullptr, false, true), 0);
    EXPECT_EQ(out, "before");
  }
  answer = "<x/>";
  for (int step = 1; step <= 3; ++step) {
    g_failStep = step;
    g_closeCalls = 0;
    SprocWrapper<ProbeCUs, SimGetAllCUs_t> w("GetAllCUsInDB", nullptr);
    w.getCursor()->setValues("");
    std::string out = "kept";
    std::string err;
    EXPECT_EQ(w.getXMLFromCursor(out, step == 2 ? &err : nullptr, false, true), -1);
    EXPECT_EQ(out, "kept") << step;
    EXPECT_EQ(g_closeCalls, 1) << step;
    EXPECT_FALSE(w.getErrorString().empty());
    if (step == 2) {
      EXPECT_EQ(err, w.getErrorString());
    }
  }
  g_failStep = 0;
  g_closeCalls = 0;
  { SprocWrapper<ProbeCUs, SimGetAllCUs_t> w("GetAllCUsInDB", nullptr); }
  EXPECT_EQ(g_closeCalls, 0);  // destroying a wrapper does not close its record
}

TEST_F(DbProcedures, WritingHostBodiesRunInOneTransaction) {
  HostBodySwap swap(
      "patchApplianceCommit", 2,
      [](kq::db::Session& session, const std::vector<Value>& args, std::vector<Row>& rows,
         std::string& err) {
        int changed = 0;
        size_t start = 0;
        const std::string& list = args[1].s;
        while (start <= list.size()) {
          size_t end = list.find(',', start);
          std::string v = list.substr(start, end == std::string::npos ? end : end - start);
          if (kq::db::ExecuteSql(session,
                                 "INSERT INTO PatchApplianceVersion VALUES ($1, $2) ON CONFLICT "
                                 "(OSNameVersion) DO UPDATE SET ConfigXml = excluded.ConfigXml",
                                 {T(v), args[0]}, nullptr, err) == 1000)
            return 1000;
          ++changed;
          if (end == std::string::npos) break;
          start = end + 1;
        }
        if (args[0].s == "<fail/>") {
          err = "configuration refused";
          return 1000;
        }
        rows.push_back({I(changed)});
        return 0;
      });
  PatchApplianceCommit bad;
  bad.setValues("<fail/>", "Windows Server 2019,MSSQL 2017");
  EXPECT_EQ(getOneRow(&bad, false, -1, 0), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("configuration refused"),
            std::string::npos);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchApplianceVersion")[0][0].i, 0);  // rolled back

  PatchApplianceCommit good;
  good.setValues("<cfg/>", "Windows Server 2019,MSSQL 2017");
  ASSERT_EQ(getOneRow(&good, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(good.getDataPtr()->nRowsUpdated, 2);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchApplianceVersion")[0][0].i, 2);
  EXPECT_TRUE(kq::db::FindProcedure("PatchApplianceCommit")->writes);
  EXPECT_FALSE(kq::db::FindProcedure("SimGetAllCUs")->writes);
}
