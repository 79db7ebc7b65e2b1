// Records of the Hubnode database objects: their data, row schema, and rows read through them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

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
#include "Db/Tbl/EvLocaleMsgs.h"
#include "Db/Tbl/JMFailureReasonMsg.h"
#include "Db/Tbl/JMFailureReasonMsgParam.h"
#include "Db/Tbl/JMJobInfo.h"
#include "Db/Tbl/LicUsage.h"
#include "Db/Tbl/PatchClientStatus.h"
#include "Db/Tbl/PatchSPVersion.h"
#include "Db/Tbl/PatchUpdateOS.h"
#include "Db/Tbl/simBinarySet.h"
#include "Db/Tbl/simPackage.h"
#include "Db/TblCommon/simAllVorlanRel.h"
#include "KqDbTestEnv.h"

using kqtest::I;
using kqtest::N;
using kqtest::Sql;
using kqtest::T;

namespace {

// Sets DBtable::b_newDBBase for one scope.
struct BaseMode {
  explicit BaseMode(int mode) : saved(DBtable::b_newDBBase) { DBtable::b_newDBBase = mode; }
  ~BaseMode() { DBtable::b_newDBBase = saved; }
  int saved;
};

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    size_t end = list.find(", ", start);
    out.push_back(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// ---- data of every table record

template <class Rec>
void ExpectColumnsMatchTable() {
  Rec rec{};
  std::vector<std::string> record = Split(rec.getColumnList());
  std::vector<std::string> table = kqtest::TableColumns(rec.getTableName());
  ASSERT_EQ(record.size(), table.size()) << rec.getTableName();
  for (size_t i = 0; i < record.size(); ++i)
    EXPECT_EQ(Lower(record[i]), Lower(table[i])) << rec.getTableName() << " column " << i;
}

// A value per column, derived from its position, in the form the column takes.
kq::db::Value SeedValue(const kqdb::ColumnDesc& c, size_t i, int variant) {
  switch (c.code) {
    case 'i': return I(100 * variant + static_cast<long long>(i));
    case 'b': return I(10000000000LL * variant + static_cast<long long>(i));
    case 'f': return kq::db::Value::Real(0.5 + variant + static_cast<double>(i));
    case 't': return T("2024-0" + std::to_string(variant) + "-02 03:04:" + std::to_string(10 + i));
    default: return T("v" + std::to_string(variant) + "_" + c.name + " it's");
  }
}

// Seeds two rows through SQL and reads them back through the record, column by column.
template <class Rec>
void ExpectRoundTrip() {
  using Info = typename Rec::InfoType;
  Rec probe{};
  const std::string table = probe.getTableName();
  for (int variant = 1; variant <= 2; ++variant) {
    std::string sql = "INSERT INTO " + table + " (" + probe.getColumnList() + ") VALUES (";
    std::vector<kq::db::Value> args;
    for (size_t i = 0; i < Info::columnCount; ++i) {
      sql += (i ? ", $" : "$") + std::to_string(i + 1);
      args.push_back(SeedValue(Info::columns[i], i, variant));
    }
    Sql(sql + ")", args);
  }
  Rec rec{};
  rec.setOrderBy(Info::columns[0].name);
  int count = 0;
  int rc;
  int variant = 0;
  while ((rc = getNextRow(&rec, &count, -1, 0)) == 0) {
    ++variant;
    const char* row = reinterpret_cast<const char*>(rec.getDataPtr());
    for (size_t i = 0; i < Info::columnCount; ++i) {
      const kqdb::ColumnDesc& c = Info::columns[i];
      kq::db::Value want = SeedValue(c, i, variant);
      const char* field = row + c.offset;
      switch (c.code) {
        case 'i': EXPECT_EQ(*reinterpret_cast<const int*>(field), want.i) << table << "." << c.name; break;
        case 'b': EXPECT_EQ(*reinterpret_cast<const long long*>(field), want.i) << c.name; break;
        case 'f': EXPECT_FLOAT_EQ(*reinterpret_cast<const float*>(field), static_cast<float>(want.d)); break;
        case 't': {
          const DB_DATETIME* dt = reinterpret_cast<const DB_DATETIME*>(field);
          EXPECT_EQ(dt->ts.year, 2024);
          EXPECT_EQ(dt->ts.month, variant);
          EXPECT_EQ(dt->ts.second, 10 + i);
          break;
        }
        default: {
          const char* text = c.heapText ? *reinterpret_cast<char* const*>(field) : field;
          ASSERT_NE(text, nullptr) << c.name;
          EXPECT_EQ(std::string(text), want.s.substr(0, c.heapText ? std::string::npos : c.size - 1))
              << table << "." << c.name;
        }
      }
    }
    // The row-schema object carries the same row.
    ASSERT_NE(rec.getRowSchemaObject(), nullptr);
    const std::vector<KQDBDataTypeBase*>& values = rec.getRowSchemaObject()->columns();
    ASSERT_EQ(values.size(), Info::columnCount);
    EXPECT_FALSE(values[0]->isNull());
    EXPECT_EQ(values[0]->toString(0), std::to_string(SeedValue(Info::columns[0], 0, variant).i));
  }
  EXPECT_EQ(rc, 100) << DBtable::getErrorStr(rc);
  EXPECT_EQ(count, 2) << table;
}

class DbRecords : public ::testing::Test {
 protected:
  kqtest::ScopedDatabase db;
};

}  // namespace

TEST_F(DbRecords, TableColumnListsEqualTheirTables) {
  ExpectColumnsMatchTable<SimAllVorlanRel>();
  ExpectColumnsMatchTable<SimPackage>();
  ExpectColumnsMatchTable<PatchUpdateOS>();
  ExpectColumnsMatchTable<JMJobInfo>();
  ExpectColumnsMatchTable<SimBinarySet>();
  ExpectColumnsMatchTable<PatchClientStatus>();
  ExpectColumnsMatchTable<JMFailureReasonMsg>();
  ExpectColumnsMatchTable<JMFailureReasonMsgParam>();
  ExpectColumnsMatchTable<EvLocaleMsgs>();
  ExpectColumnsMatchTable<LicUsage>();
  ExpectColumnsMatchTable<PatchSPVersion>();
}

TEST_F(DbRecords, RowsRoundTripThroughEveryTableRecord) {
  ExpectRoundTrip<SimAllVorlanRel>();
  ExpectRoundTrip<SimPackage>();
  ExpectRoundTrip<PatchUpdateOS>();
  ExpectRoundTrip<JMJobInfo>();
  ExpectRoundTrip<SimBinarySet>();
  ExpectRoundTrip<PatchClientStatus>();
  ExpectRoundTrip<JMFailureReasonMsg>();
  ExpectRoundTrip<JMFailureReasonMsgParam>();
  ExpectRoundTrip<EvLocaleMsgs>();
  ExpectRoundTrip<LicUsage>();
  ExpectRoundTrip<PatchSPVersion>();
}

TEST_F(DbRecords, SchemaTextsDescribeTheColumns) {
  EXPECT_EQ(SimAllVorlanRel().getRowSchemaObject()->getStructDef(), "i|s129|i|");
  EXPECT_EQ(SimPackage().getRowSchemaObject()->getStructDef(), "i|s257|s257|i|s257|b|i|i|i|");
  EXPECT_EQ(JMJobInfo().getRowSchemaObject()->getStructDef(),
            "i|i|i|i|i|i|i|i|i|i|i|i|i|i|i|s|s|i|i|i|i|i|s|i|s257|i|i|i|i|i|i|i|s|s|s|i|i|i|i|s|i|"
            "i|b|i|i|i|i|i|s257|s|b|u|i|s|s|i|s4097|i|");
  EXPECT_EQ(LicUsage().getRowSchemaObject()->getStructDef(),
            "i|s511|i|i|i|s26|t|i|i|t|i|s2049|i|s33|i|i|f|");
  EXPECT_EQ(GetPatchMultiCacheInfo().getRowSchemaObject()->getStructDef(),
            "i|i|i|s101|i|s|i|i|i|s65|");
  EXPECT_EQ(GetClientAndOS().getRowSchemaObject()->getStructDef(), "s129|s129|i|i|i|i|");
  EXPECT_EQ(PatchUpdateDVDInfo().getRowSchemaObject()->getStructDef(), "");
  EXPECT_STREQ(PatchUpdateDVDInfo().getColumnList(), "");
  EXPECT_STREQ(GetPatchMultiCacheInfo().getColumnList(),
               "oUpdateAgentId, oRelease, oOSType, oHighestSP, oIsSPValid, oAddUpdates, "
               "oTransactionId, oRevisionId, oUpdatePackNumber, oFriendlyName");
}

TEST_F(DbRecords, RecordFieldsFollowTheirKind) {
  SimAllVorlanRel table(0, nullptr);
  EXPECT_EQ(table.getKind(), 1);
  EXPECT_EQ(table.getDescription(), "Table SimAllVorlanRel");
  EXPECT_STREQ(table.getTableName(), "simAllVorlanRel");
  EXPECT_STREQ(table.getVersion(), "1.17.58.4");
  EXPECT_EQ(table.getOrderBy(), "id");
  EXPECT_STREQ(table.getIdentityColumn(), "");
  EXPECT_EQ(table.getIdentityField(), nullptr);

  JMFailureReasonMsg serial;
  EXPECT_STREQ(serial.getIdentityColumn(), "id");
  EXPECT_EQ(serial.getIdentityField(), static_cast<void*>(serial.getDataPtr()));
  EXPECT_EQ(JMJobInfo().getOrderBy(), "jobId, tessaraId");

  GetClientBuildAndReleaseInfo proc;
  EXPECT_EQ(proc.getKind(), 2);
  EXPECT_EQ(proc.getDescription(), "Procedure GetClientBuildAndReleaseInfo");
  EXPECT_STREQ(proc.getSignature(), "00d:0000000000000000");
  EXPECT_EQ(proc.getIdentityColumn(), nullptr);
  EXPECT_EQ(proc.getVersion(), nullptr);
  SimGetUpdatesNeedsDownload lower;
  EXPECT_STREQ(lower.getTableName(), "simGetUpdatesNeedsDownload");
  EXPECT_EQ(lower.getDescription(), "Procedure SimGetUpdatesNeedsDownload");
  EXPECT_STREQ(lower.getSignature(), "v1.1.2.14.4.1");
  EXPECT_EQ(lower.getRowSchemaObject()->getTableName(), "SimGetUpdatesNeedsDownload");

  GetRelAndAppId cursor;
  EXPECT_EQ(cursor.getKind(), 3);
  EXPECT_EQ(cursor.getDescription(), "Cursor GetRelAndAppId");
  EXPECT_EQ(cursor.getRowSchemaObject()->getHeaderType(), 3);
  EXPECT_EQ(strlen(GetRelAndAppId::sqlText()), 374u);
  EXPECT_EQ(strlen(GetClientAndOS::sqlText()), 283u);
}

TEST_F(DbRecords, RowStructsStartEmptyAndCopyDeeply) {
  GetClientBuildAndReleaseInfo_t row;
  EXPECT_EQ(row.ClientId_out, 0);
  EXPECT_EQ(row.releaseId_out, 0);
  EXPECT_STREQ(row.buildStr_out, "");
  EXPECT_EQ(SimGetAllCUs_t().oCUsForSP, nullptr);
  EXPECT_EQ(SimGetFullVersionAndOSInfo_t().o_xmlText, nullptr);
  EXPECT_EQ(GetFtpServicePackInfo_t().r_ReturnResult, nullptr);
  EXPECT_EQ(PatchGetLatestDVDForSP_t().oUpdatedSPXML, nullptr);

  JMJobInfo_t job;
  job.jobId = 7;
  job.activeFile = new char[4];
  strcpy(job.activeFile, "abc");
  JMJobInfo_t copy(job);
  ASSERT_NE(copy.activeFile, nullptr);
  EXPECT_NE(copy.activeFile, job.activeFile);
  EXPECT_STREQ(copy.activeFile, "abc");
  EXPECT_EQ(copy.phaseParams, nullptr);
  copy = copy;
  EXPECT_STREQ(copy.activeFile, "abc");
}

TEST_F(DbRecords, KeysSerialColumnsAndForeignKeys) {
  JMFailureReasonMsgParam params;
  JMFailureReasonMsgParam_t2* p = params.getRowSchemaObject();
  EXPECT_EQ(p->getPrimaryWhere(), "msgId = ?AND position = ?");
  std::list<KQDBDataTypeBase*> keys = p->getPrimaryData();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys.front(), p->column("msgId"));
  EXPECT_EQ(keys.back(), p->column("position"));
  EXPECT_EQ(p->column("MSGID"), p->column("msgId"));
  EXPECT_EQ(p->column("nosuchcolumn"), nullptr);
  EXPECT_EQ(p->getForeignKeyMap()["JMFailureReasonMsg"]["msgId"], "id");

  EvLocaleMsgs locale;
  EXPECT_EQ(locale.getRowSchemaObject()->getPrimaryWhere(), "LocaleID = ?AND MessageID = ?");
  EXPECT_EQ(locale.getRowSchemaObject()->getPrimaryData().back(),
            locale.getRowSchemaObject()->column("MessageID"));

  EXPECT_EQ(JMFailureReasonMsg().getRowSchemaObject()->getSerialColNum(), 0);
  EXPECT_EQ(LicUsage().getRowSchemaObject()->getSerialColNum(), 0);
  EXPECT_EQ(LicUsage().getRowSchemaObject()->getPrimaryWhere(), "id = ?");
  EXPECT_EQ(PatchSPVersion().getRowSchemaObject()->getSerialColNum(), 0);
  EXPECT_EQ(PatchSPVersion().getRowSchemaObject()->getPrimaryWhere(), "");
  EXPECT_TRUE(PatchSPVersion().getRowSchemaObject()->getPrimaryData().empty());
  EXPECT_EQ(SimAllVorlanRel().getRowSchemaObject()->getSerialColNum(), -1);
  EXPECT_EQ(PatchUpdateOS().getRowSchemaObject()->getSerialColNum(), -1);
  EXPECT_EQ(PatchClientStatus().getRowSchemaObject()->getSerialColNum(), -1);
  auto fk = JMJobInfo().getRowSchemaObject()->getForeignKeyMap();
  EXPECT_EQ(fk["JMJobStats"].size(), 2u);
  EXPECT_TRUE(SimPackage().getRowSchemaObject()->getForeignKeyMap().empty());
  EXPECT_TRUE(PatchGetOSes().getRowSchemaObject()->getPrimaryWhere().empty());
}

TEST_F(DbRecords, ClassWideColumnNamesAreFilledOnce) {
  for (int i = 0; i < 3; ++i) {
    FtpServicePackInfoSelectOps a;
    LicUsage b;
  }
  EXPECT_EQ(FtpServicePackInfoSelectOps_t2::m_staticColumnVec.size(), 12u);
  EXPECT_EQ(LicUsage_t2::m_staticColumnVec.size(), 17u);
  EXPECT_EQ(LicUsage_t2::m_name, "LicUsage");
  EXPECT_EQ(LicUsage_t2::m_type, 1);

  LicUsage rec;
  int index = 16;
  EXPECT_STREQ(rec.getRowSchemaObject()->getColumnName_t2(index), "UsedCapacity");
  EXPECT_EQ(rec.getRowSchemaObject()->getColumnName(index), "UsedCapacity");
  index = 17;
  EXPECT_EQ(rec.getRowSchemaObject()->getColumnName_t2(index), nullptr);
  EXPECT_EQ(rec.getRowSchemaObject()->getColumnName(index), "");
  index = -1;
  EXPECT_EQ(rec.getRowSchemaObject()->getColumnName_t2(index), nullptr);
}

// A record type of its own, so that its class-wide data starts unfilled here.
#define RaceProbe_COLUMNS(C) C(a, i, 0) C(b, s, 17) C(c, b, 0) C(d, u, 0)
KQDB_TABLE(RaceProbe, "RaceProbe", "include/Db/Tbl/", "1.0", "a", false, KQDB_LIST("a"),
           KQDB_NO_FOREIGN_KEYS)

TEST_F(DbRecords, ClassWideSetUpIsSafeAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) RaceProbe rec;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(RaceProbe_t2::m_staticColumnVec.size(), 4u);
  EXPECT_EQ(RaceProbe_t2::structSchema, "i|s17|b|u|");
}

TEST_F(DbRecords, LegacyBaseBuildsCallTextsAndStillBinds) {
  BaseMode legacy(0);
  SetPatchUAContentConfig set;
  EXPECT_EQ(set.getRowSchemaObject(), nullptr);
  set.setValues(7, "abc", 1);
  EXPECT_EQ(set.getSizeEstimate(), 37u);
  EXPECT_EQ(set.getCallText(), "7,'abc',1");
  EXPECT_EQ(set.getInputsBound(), 0);

  GetPatchMultiCacheInfo multi;
  multi.setValues(123456, -7, 99999, 1, 2);
  EXPECT_EQ(multi.getSizeEstimate(), 74u);

  SimGetUpdatesNeedsDownload needs;
  needs.setValues(24, 0, 5, "abc", -1, 1);
  EXPECT_EQ(needs.getSizeEstimate(), 94u);
  EXPECT_EQ(needs.getCallText(), "24,0,5,'abc',-1,1");

  GetFtpServicePackInfo ftp;
  ftp.setValues("<req a='1'/>");
  EXPECT_EQ(ftp.getSizeEstimate(), 12u + 4u);
  EXPECT_EQ(ftp.getCallText(), "'<req a='1'/>'");

  SimGetAllCUs cus;
  cus.setValues("");
  EXPECT_EQ(cus.getCallText(), "''");

  PatchGetConfig config;
  config.setValues();
  EXPECT_EQ(config.getCallText(), "");
  EXPECT_EQ(config.getSizeEstimate(), 0u);
  PatchGetClientsWithVersionInfo clients;
  clients.setValues();
  EXPECT_EQ(clients.getCallText(), "");

  // The legacy call runs with its values bound: an apostrophe arrives intact.
  set.setValues(31, "it's <x/>", 1);
  ASSERT_EQ(getOneRow(&set, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(set.getDataPtr()->rcount, 1);
  GetPatchUAContentConfig get;
  get.setValues(2, 31, 0, 0);
  ASSERT_EQ(getOneRow(&get, false, -1, 0), 0);
  EXPECT_STREQ(get.getDataPtr()->outputXML, "it's <x/>");
}

TEST_F(DbRecords, NewBaseBindsValueObjectsInOrder) {
  BaseMode modern(1);
  SetPatchUAContentConfig set;
  set.setValues(7, "abc", 1);
  const std::vector<KQDBDataTypeBase*>& in = set.getBoundInputs();
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in[0]->getDataType(), 1);
  EXPECT_EQ(in[1]->getDataType(), 6);
  EXPECT_EQ(in[2]->getDataType(), 1);
  EXPECT_EQ(static_cast<KQDB_string*>(in[1])->getValue(), "abc");
  EXPECT_EQ(set.getInputsBound(), 1);
  EXPECT_EQ(set.getCallText(), "");

  SimGetAllCUs cus;
  cus.setValues("");
  ASSERT_EQ(cus.getBoundInputs().size(), 1u);
  EXPECT_FALSE(cus.getBoundInputs()[0]->isNull());
  EXPECT_EQ(static_cast<KQDB_string*>(cus.getBoundInputs()[0])->getValue(), "");

  SimGetUpdatesNeedsDownload needs;
  needs.setValues(1, 2, 3, "x", -1, 1);
  EXPECT_EQ(needs.getBoundInputs()[4]->getDataType(), 4);

  PatchGetConfig config;
  config.setValues();
  EXPECT_TRUE(config.getBoundInputs().empty());
  EXPECT_EQ(config.getInputsBound(), 1);

  // Values handed over belong to the table; binding again frees the earlier ones.
  set.setKQDBValues(new KQDBPrimitiveType<int>(8), new KQDB_string("def"),
                    new KQDBPrimitiveType<int>(0));
  EXPECT_EQ(set.getBoundInputs().size(), 3u);
}

TEST_F(DbRecords, IndicatorsAndRowSchemaOnlyWithTheNewBase) {
  Sql("INSERT INTO simAllVorlanRel (id, release, buildNum) VALUES (16, NULL, 80)");
  {
    BaseMode legacy(0);
    SimAllVorlanRel rec;
    EXPECT_EQ(rec.getRowSchemaObject(), nullptr);
    EXPECT_EQ(rec.getConnObject().getExtIndicatorArray(), nullptr);
    ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
    EXPECT_EQ(rec.getDataPtr()->buildNum, 80);
  }
  SimAllVorlanRel rec;
  EXPECT_EQ(rec.getConnObject().getExtIndicatorArray(), rec.getIndicators());
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
  EXPECT_EQ(rec.getIndicators()[0], 4);
  EXPECT_EQ(rec.getIndicators()[1], -1);
  EXPECT_TRUE(rec.getRowSchemaObject()->column("release")->isNull());
  EXPECT_EQ(rec.getIndicators()[2], 4);
  // A NULL number is marked like a NULL text.
  Sql("INSERT INTO simAllVorlanRel (id, release, buildNum) VALUES (17, '11.0.0', NULL)");
  SimAllVorlanRel nullNumber;
  nullNumber.setWhere("id = %d", 17);
  ASSERT_EQ(getOneRow(&nullNumber, false, -1, 0), 0);
  EXPECT_EQ(nullNumber.getIndicators()[1], 6);
  EXPECT_EQ(nullNumber.getIndicators()[2], -1);
  EXPECT_TRUE(nullNumber.getRowSchemaObject()->column("buildNum")->isNull());
  EXPECT_EQ(PatchUpdateUAStatus().getConnObject().getExtIndicatorArray(), nullptr);
  EXPECT_EQ(PatchUpdateDVDInfo().getConnObject().getExtIndicatorArray(), nullptr);
}

TEST_F(DbRecords, FailedTransactionJoinIsLoggedAndTheRecordStaysUsable) {
  Sql("INSERT INTO PatchUpdateOS VALUES (5, 3, 30)");
  DBtran tran(false);
  ASSERT_EQ(tran.startTran(), 0);
  ASSERT_EQ(tran.commitTran(false), 0);
  PatchUpdateOS rec(&tran);  // joining a finished transaction throws inside
  char address[64];
  snprintf(address, sizeof(address), "[0x%08llx]",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&rec)));
  std::string log = kqtest::ReadFile(db.config().logFile());
  EXPECT_NE(log.find("PatchUpdateOS Constructor " + std::string(address) +
                     ", caught an exception"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("include/Db/Tbl/PatchUpdateOS"), std::string::npos);
  rec.setWhere("BinarySetID = %d", 5);
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
  EXPECT_EQ(rec.getDataPtr()->NewUpdateOSID, 30);
}

TEST_F(DbRecords, RecordsJoinAnOpenTransaction) {
  DBtran tran(false);
  ASSERT_EQ(tran.startTran(), 0);
  {
    PatchUpdateUAStatus set(&tran);
    set.setValues(1, 2, 3, 4);
    EXPECT_EQ(getOneRow(&set, false, -1, 0), 100);
    PatchGetUAStatus get(&tran);
    get.setValues(1, 2);
    ASSERT_EQ(getOneRow(&get, false, -1, 0), 0);
    EXPECT_EQ(get.getDataPtr()->oStatus, 3);
    EXPECT_EQ(tran.objectCount(), 2u);
  }
  EXPECT_EQ(tran.objectCount(), 0u);  // destroyed records leave the transaction
  ASSERT_EQ(tran.commitTran(true), 0);  // rolled back
  PatchGetUAStatus after;
  after.setValues(1, 2);
  EXPECT_EQ(getOneRow(&after, false, -1, 0), 100);
}

TEST_F(DbRecords, ARecordMayOutliveItsTransaction) {
  auto tran = std::make_unique<DBtran>(false);
  ASSERT_EQ(tran->startTran(), 0);
  PatchGetUAStatus get(tran.get());
  EXPECT_EQ(tran->objectCount(), 1u);
  tran.reset();  // rolled back; the record lets go of it
  get.setValues(1, 2);
  EXPECT_EQ(getOneRow(&get, false, -1, 0), 100);
}

TEST_F(DbRecords, TheLatestArgumentsAreTheOnesThatRun) {
  PatchUpdateUAStatus set;
  set.setValues(1, 1, 5, 0);
  {
    BaseMode legacy(0);
    set.setValues(1, 1, 9, 0);
  }
  EXPECT_EQ(getOneRow(&set, false, -1, 0), 100);
  PatchGetUAStatus get;
  get.setValues(1, 1);
  ASSERT_EQ(getOneRow(&get, false, -1, 0), 0);
  EXPECT_EQ(get.getDataPtr()->oStatus, 9);
  set.setValues(1, 1, 6, 0);  // the new base again
  EXPECT_EQ(getOneRow(&set, false, -1, 0), 100);
  ASSERT_EQ(getOneRow(&get, false, -1, 0), 0);
  EXPECT_EQ(get.getDataPtr()->oStatus, 6);
}
