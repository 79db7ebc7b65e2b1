// Alerts recorded in the Hubnode database: each sendAlert stores the fields as they are then,
// in one transaction, and a failure leaves nothing behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Alerts/EvAlertEx.h"
#include "KqDbTestEnv.h"

using kqtest::Sql;

namespace {

class EvAlertTest : public ::testing::Test {
 protected:
  kqtest::ScopedDatabase db;
};

TEST_F(EvAlertTest, EachAlertKeepsTheFieldsOfItsMoment) {
  EvAlertEx alert;
  alert.setTessaraRelease("7.0.0");
  alert.setHNupgradeTime(1700000123);
  alert.setClientIdsList({40, 3, 41, 3});
  ASSERT_EQ(alert.sendAlert(26, 40, 0), 0);
  alert.setClientIdsList({});
  alert.setUpdatesList({"first MsgNewLine_", "O'Brien's \"list\" <b>", ""});
  ASSERT_EQ(alert.sendAlert(24, 38, 5), 0);
  alert.setUpdatesList({"changed later"});

  auto rows = Sql("SELECT id, Category, Type, Flags, ReleaseText, UpgradeTime, ClientIds, "
                  "ProcessId FROM EvAlert ORDER BY id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1].i, 26);
  EXPECT_EQ(rows[0][2].i, 40);
  EXPECT_EQ(rows[0][4].s, "7.0.0");
  EXPECT_EQ(rows[0][5].i, 1700000123);
  EXPECT_EQ(rows[0][6].s, "40,3,41,3");
  EXPECT_EQ(rows[0][7].i, getpid());
  EXPECT_EQ(rows[1][3].i, 5);
  EXPECT_EQ(rows[1][4].s, "7.0.0");
  EXPECT_EQ(rows[1][6].s, "");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM EvAlertText WHERE AlertId = $1", {rows[0][0]})[0][0].i, 0);
  auto texts = Sql("SELECT Seq, Text FROM EvAlertText WHERE AlertId = $1 ORDER BY Seq", {rows[1][0]});
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0][1].s, "first MsgNewLine_");
  EXPECT_EQ(texts[1][1].s, "O'Brien's \"list\" <b>");
  EXPECT_EQ(texts[2][1].s, "");
}

TEST_F(EvAlertTest, AnAlertThatCannotBeStoredLeavesNothing) {
  Sql("DROP TABLE EvAlertText");
  EvAlertEx alert;
  alert.setUpdatesList({"text"});
  EXPECT_NE(alert.sendAlert(24, 38, 0), 0);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM EvAlert")[0][0].i, 0);
  EXPECT_NE(kqtest::ReadFile(db.config().logFile()).find("Alert (24, 38) not recorded"),
            std::string::npos);
  // Without texts nothing touches the missing table.
  alert.setUpdatesList({});
  EXPECT_EQ(alert.sendAlert(26, 39, 0), 0);
}

}  // namespace
