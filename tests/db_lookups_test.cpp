// Database lookups on a seeded temporary database: with a row, without one,
// and with a failing database (the table dropped, so every query fails).
#include "DbLookups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KqDbTestEnv.h"

using kqtest::I;
using kqtest::Sql;
using kqtest::T;

namespace {

class DbLookups : public ::testing::Test {
 protected:
  void SetUp() override {
    // Binary sets and their OS ids: old style, new style.
    const int rows[][3] = {{1, 5, 16}, {2, 6, 0}, {3, 7, 16}, {4, 8, 2}, {5, 9, 99}, {6, 10, -3}, {7, 11, 34}};
    for (const auto& r : rows)
      Sql("INSERT INTO PatchUpdateOS (BinarySetID, UpdateOSID, NewUpdateOSID) VALUES ($1, $2, $3)",
          {I(r[0]), I(r[1]), I(r[2])});
    Sql("INSERT INTO PatchClientStatus (JobStatus, MessageId, ShortName, Category) VALUES (5, $1, 'Done', 0)",
        {I(0x100000042LL)});
    Sql("INSERT INTO EvLocaleMsgs (LocaleID, MessageID, ArgCount) VALUES (1033, 77, 2), (1033, 78, 0)");
    Sql("INSERT INTO JMFailureReasonMsg (id, messageId, paramNum, jobId) VALUES "
        "(10, 77, 2, 500), (11, 77, 2, 500), (12, 77, 2, 501)");
    Sql("INSERT INTO JMFailureReasonMsgParam (msgId, position, data) VALUES "
        "(11, 2, 'beta'), (11, 1, 'alpha'), (10, 1, 'old'), (0, 1, 'stray')");
    Sql("INSERT INTO simPackage (id, Name) VALUES (42, 'Core Agent')");
    Sql("INSERT INTO simBinarySet (id, name) VALUES (16, 'linux-x8664')");
    Sql("INSERT INTO PatchMultiCache (ClientId, Release, OSType, HighestSP, TransactionId, "
        "UpdatePackNumber, FriendlyName) VALUES (3, 16, 16, 'SP20', 4711, 2, 'CU2')");
  }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }
  kqtest::ScopedDatabase db_;
};

TEST_F(DbLookups, OperatingSystemsAndBinarySets) {
  std::vector<int> ids = {34};
  EXPECT_TRUE(getNewOsIdList(ids));
  // No duplicates; 2 lacks the new-OS flag; 99 and -3 lie outside the table.
  EXPECT_EQ(ids, (std::vector<int>{34, 16}));
  EXPECT_NE(Log().find("NewOsId 16 is supported in current release"), std::string::npos) << Log();

  int os = -1;
  EXPECT_TRUE(getOsIdForBSId(3, os, true));
  EXPECT_EQ(os, 16);
  EXPECT_TRUE(getOsIdForBSId(3, os, false));
  EXPECT_EQ(os, 7);
  os = -1;
  EXPECT_TRUE(getOsIdForBSId(999, os, true));  // no row: true, untouched
  EXPECT_EQ(os, -1);

  std::vector<int> bs = {100};
  EXPECT_TRUE(getBsidForOsIdLst({34, 16}, bs));
  EXPECT_EQ(bs, (std::vector<int>{100, 1, 3, 7}));
  EXPECT_NE(Log().find("Os ID string <( 34, 16)>"), std::string::npos);
  bs.clear();
  EXPECT_TRUE(getBsidForOsIdLst({16, 16}, bs));
  EXPECT_EQ(bs, (std::vector<int>{1, 3}));
  bs.clear();
  EXPECT_TRUE(getBsidForOsIdLst({}, bs));  // nothing asked
  EXPECT_TRUE(getBsidForOsIdLst({20}, bs));  // no row
  EXPECT_TRUE(bs.empty());

  Sql("DELETE FROM PatchUpdateOS");
  EXPECT_TRUE(getNewOsIdList(ids));
  EXPECT_EQ(ids, (std::vector<int>{34, 16}));
}

TEST_F(DbLookups, JobStatusesAndEventMessages) {
  int status = -1;
  EXPECT_TRUE(getJobStatusForEventMsgId(0x100000042L, status));
  EXPECT_EQ(status, 5);
  status = -1;
  EXPECT_FALSE(getJobStatusForEventMsgId(0x42L, status));
  EXPECT_EQ(status, -1);
  EXPECT_NE(Log().find("Failed to get jobStatus from PatchClientStatus table. Error["), std::string::npos);

  std::string shortName = "kept";
  EXPECT_TRUE(getShortNameForJobStatus(5, shortName));
  EXPECT_EQ(shortName, "Done");
  shortName = "kept";
  EXPECT_FALSE(getShortNameForJobStatus(6, shortName));
  EXPECT_EQ(shortName, "kept");

  EvMessageContainer message(1);
  message.AddArgument("old");
  EXPECT_TRUE(getEventMsgIdForJobStatus(5, message));
  EXPECT_EQ(message.GetMessageID(), 0x42);  // the low 32 bits
  EXPECT_TRUE(message.GetArguments().empty());
  EXPECT_NE(Log().find("MessageId 4294967362"), std::string::npos);
  EvMessageContainer untouched(9);
  untouched.AddArgument("kept");
  EXPECT_TRUE(getEventMsgIdForJobStatus(6, untouched));
  EXPECT_EQ(untouched.GetMessageID(), 9);
  EXPECT_EQ(untouched.GetArguments().size(), 1u);
}

TEST_F(DbLookups, FailureReasonParameters) {
  int args = -1;
  EXPECT_TRUE(getNumOfArgsForMsgId(77, args));
  EXPECT_EQ(args, 2);
  args = -1;
  EXPECT_TRUE(getNumOfArgsForMsgId(79, args));
  EXPECT_EQ(args, -1);

  int msgNum = -1;
  EXPECT_TRUE(getLatestMsgNum(77, 500, 2, msgNum));
  EXPECT_EQ(msgNum, 11);  // the newest entry of the job
  msgNum = -1;
  EXPECT_TRUE(getLatestMsgNum(77, 500, 3, msgNum));
  EXPECT_EQ(msgNum, -1);

  std::vector<std::string> params = {"first"};
  EXPECT_TRUE(getParameterForMsgID(77, 500, params));
  EXPECT_EQ(params, (std::vector<std::string>{"first", "alpha", "beta"}));
  EXPECT_NE(Log().find("Message [alpha]"), std::string::npos);

  // A job without an entry has no message number: nothing is read (not the
  // parameters stored under number 0).
  params.clear();
  EXPECT_TRUE(getParameterForMsgID(77, 999, params));
  EXPECT_TRUE(params.empty());
  EXPECT_TRUE(getParameterForMsgID(78, 500, params));  // no arguments
  EXPECT_TRUE(getParameterForMsgID(79, 500, params));  // unknown message
  EXPECT_TRUE(params.empty());
}

TEST_F(DbLookups, DownloadJobsPackagesBinarySetsAndCaches) {
  bool running = true;
  long long job = -1;
  EXPECT_TRUE(IsAnyRunningDownloadJob(running, job));
  EXPECT_FALSE(running);
  EXPECT_EQ(job, -1);
  EXPECT_NE(Log().find("There is no running download job."), std::string::npos);
  Sql("INSERT INTO JMJobInfo (jobId, tessaraId, opType) VALUES (4711, 1, 36), (4712, 1, 35)");
  EXPECT_TRUE(IsAnyRunningDownloadJob(running, job));
  EXPECT_TRUE(running);
  EXPECT_EQ(job, 4711);

  std::string name = "kept";
  EXPECT_TRUE(GetPackageNameFromId(42, name));
  EXPECT_EQ(name, "Core Agent");
  name = "kept";
  EXPECT_FALSE(GetPackageNameFromId(43, name));
  EXPECT_EQ(name, "kept");
  EXPECT_NE(Log().find("Could not find package name from given id"), std::string::npos);

  EXPECT_TRUE(getBsNameForBsid(16, name));
  EXPECT_EQ(name, "linux-x8664");
  name = "kept";
  EXPECT_FALSE(getBsNameForBsid(17, name));
  EXPECT_EQ(name, "kept");
  EXPECT_NE(Log().find("Unable to retrieve info From BinarySet table."), std::string::npos);

  FullVersion version;
  EXPECT_TRUE(GetSWCacheInfo(3, 16, 16, version, 0, 0));
  EXPECT_EQ(version.GetSPVersion().GetMajor(), 20);
  EXPECT_EQ(version.GetSPVersion().GetTransId(), 4711);
  EXPECT_EQ(version.GetUPVersion().GetNumber(), 2);
  EXPECT_EQ(version.GetUPVersion().GetFriendlyName(), "CU2");
  const FullVersion before = version;
  EXPECT_FALSE(GetSWCacheInfo(3, 16, 9, version, 0, 0));
  EXPECT_TRUE(version == before);
  EXPECT_NE(Log().find("Unable to retrieve info From PatchMultiCache table for Client [] Client_ID "
                       "[3],Release [16],OS[9]"),
            std::string::npos)
      << Log();
}

TEST_F(DbLookups, EveryLookupReportsAFailingDatabase) {
  for (const char* table : {"PatchUpdateOS", "PatchClientStatus", "EvLocaleMsgs", "JMFailureReasonMsg",
                            "JMJobInfo", "simPackage", "simBinarySet", "PatchMultiCache"})
    Sql(std::string("DROP TABLE ") + table);

  std::vector<int> ids = {1};
  EXPECT_FALSE(getNewOsIdList(ids));
  int value = -1;
  EXPECT_FALSE(getOsIdForBSId(1, value, true));
  std::vector<int> bs;
  EXPECT_FALSE(getBsidForOsIdLst({16}, bs));
  EXPECT_FALSE(getJobStatusForEventMsgId(1, value));
  std::string text = "kept";
  EXPECT_FALSE(getShortNameForJobStatus(5, text));
  EvMessageContainer message(3);
  EXPECT_FALSE(getEventMsgIdForJobStatus(5, message));
  EXPECT_FALSE(getNumOfArgsForMsgId(77, value));
  EXPECT_FALSE(getLatestMsgNum(77, 500, 2, value));
  std::vector<std::string> params;
  EXPECT_FALSE(getParameterForMsgID(77, 500, params));
  bool running = true;
  long long job = -1;
  EXPECT_FALSE(IsAnyRunningDownloadJob(running, job));
  EXPECT_FALSE(GetPackageNameFromId(42, text));
  EXPECT_FALSE(getBsNameForBsid(16, text));
  FullVersion version;
  EXPECT_FALSE(GetSWCacheInfo(3, 16, 16, version, 0, 0));

  EXPECT_EQ(ids, (std::vector<int>{1}));
  EXPECT_EQ(value, -1);
  EXPECT_TRUE(bs.empty());
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(message.GetMessageID(), 3);
  EXPECT_TRUE(params.empty());
  EXPECT_TRUE(running);
  EXPECT_EQ(job, -1);
  const std::string log = Log();
  EXPECT_NE(log.find("Failed to get NewUpdateOSId list from PatchUpdateOS table"), std::string::npos) << log;
  EXPECT_NE(log.find("Failed to get Number of Arguments from EvLocaleMsgs table. Error["), std::string::npos);
  EXPECT_NE(log.find("Failed to compute whether there are any running download job. Error[1000:"),
            std::string::npos);
  EXPECT_NE(log.find("getOneRow() failed. Error "), std::string::npos);
  EXPECT_NE(log.find("Failed to open binary set table."), std::string::npos);
}

TEST_F(DbLookups, ParametersFromAFailingParameterTable) {
  Sql("DROP TABLE JMFailureReasonMsgParam");
  std::vector<std::string> params;
  EXPECT_FALSE(getParameterForMsgID(77, 500, params));
  EXPECT_NE(Log().find("Failed to get Message from JMFailureReasonMsgParam table. Error["), std::string::npos);
}

}  // namespace
