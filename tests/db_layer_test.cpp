// The database layer: result codes, binding, texts, sessions, files and processes.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "Database/DBtable.h"
#include "Database/DbProcedures.h"
#include "Database/DbSession.h"
#include "Database/SqlFormat.h"
#include "Db/Cursor/GetClientAndOS.h"
#include "Db/Proc/GetPatchUAContentConfig.h"
#include "Db/Proc/SetPatchUAContentConfig.h"
#include "Db/Proc/patchGetUAStatus.h"
#include "Db/Proc/patchUpdateUAStatus.h"
#include "Db/Tbl/JMFailureReasonMsgParam.h"
#include "Db/Tbl/JMJobInfo.h"
#include "Db/Tbl/LicUsage.h"
#include "Db/Tbl/PatchSPVersion.h"
#include "Db/Tbl/PatchUpdateOS.h"
#include "Db/Tbl/simBinarySet.h"
#include "Db/TblCommon/simAllVorlanRel.h"
#include "KqDbTestEnv.h"
#include "PrivateTmp.h"

using kq::db::Value;
using kqtest::I;
using kqtest::N;
using kqtest::Sql;
using kqtest::T;

namespace {

class DbLayer : public ::testing::Test {
 protected:
  void SeedOs() {
    Sql("INSERT INTO PatchUpdateOS VALUES (1, 11, 0), (2, 12, 22), (3, 13, 23), (4, 14, 22)");
  }
  kqtest::ScopedDatabase db;
};

kq::db::BoundText Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  kq::db::BoundText out;
  std::string err;
  bool ok = kq::db::FormatBound(fmt, ap, out, err);
  va_end(ap);
  EXPECT_TRUE(ok) << err;
  return out;
}

std::string StoredXml(int client) {
  GetPatchUAContentConfig get;
  get.setValues(2, client, 0, 0);
  int rc = getOneRow(&get, false, -1, 0);
  EXPECT_EQ(rc, 0) << DBtable::getErrorStr(rc);
  return get.getDataPtr()->outputXML != nullptr ? get.getDataPtr()->outputXML : "(null)";
}

}  // namespace

TEST_F(DbLayer, ANewDatabaseFileIsCreatedWithTheSchema) {
  const bool file = !kqtest::DbTestOnPostgres();
  struct stat st;
  if (file) {
    ASSERT_NE(stat(db.dbPath().c_str(), &st), 0);
  }
  PatchUpdateOS rec;
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 100);
  EXPECT_EQ(Sql("SELECT version FROM KqSchemaInfo WHERE name = 'Hubnode'")[0][0].i, 1);
  if (file) {
    EXPECT_EQ(stat(db.dbPath().c_str(), &st), 0);
    EXPECT_EQ(Sql("PRAGMA journal_mode")[0][0].s, "wal");
  }
}

TEST_F(DbLayer, OneRowAndNextRowCodes) {
  SeedOs();
  PatchUpdateOS one;
  one.setWhere("BinarySetID = %d", 2);
  ASSERT_EQ(getOneRow(&one, false, -1, 0), 0);
  EXPECT_EQ(one.getDataPtr()->UpdateOSID, 12);
  one.setWhere("BinarySetID = %d", 99);
  EXPECT_EQ(getOneRow(&one, false, -1, 0), 100);
  EXPECT_EQ(one.getDataPtr()->UpdateOSID, 12);  // the last row read stays

  PatchUpdateOS all;
  int count = 0;
  std::vector<int> seen;
  int rc;
  while ((rc = getNextRow(&all, &count, -1, 0)) == 0) seen.push_back(all.getDataPtr()->BinarySetID);
  EXPECT_EQ(rc, 100);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(getNextRow(&all, &count, -1, 0), 100);  // stays at the end
  count = 0;                                       // a reset counter runs the query again
  EXPECT_EQ(getNextRow(&all, &count, -1, 0), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(getNextRow(&all, nullptr, -1, 0), 1000);
}

TEST_F(DbLayer, WhereOrderAndTop) {
  SeedOs();
  PatchUpdateOS rec;
  rec.setWhere("NewUpdateOSID <> 0");
  rec.setOrderBy("BinarySetID DESC");
  rec.setTop(1);
  int count = 0;
  ASSERT_EQ(getNextRow(&rec, &count, -1, 0), 0);
  EXPECT_EQ(rec.getDataPtr()->BinarySetID, 4);
  EXPECT_EQ(getNextRow(&rec, &count, -1, 0), 100);

  // Identifiers in any case; an IN list given as text binds one integer per id.
  PatchUpdateOS in;
  in.setWhere("newupdateosid in %s", "( 22, 23)");
  in.setOrderBy("binarysetid");
  std::vector<int> ids;
  count = 0;
  while (getNextRow(&in, &count, -1, 0) == 0) ids.push_back(in.getDataPtr()->BinarySetID);
  EXPECT_EQ(ids, (std::vector<int>{2, 3, 4}));

  // A subquery naming the table in lower case.
  Sql("INSERT INTO LicUsage (id, CId, OpTimeUTC) VALUES (1, 7, '2020-01-01 00:00:00'), "
      "(2, 7, '2021-06-07 08:09:10'), (3, 8, '2022-01-01 00:00:00')");
  LicUsage lic;
  lic.setWhere("CId = %d AND id = ( SELECT MAX(id) FROM licusage where CId = %d ) ", 7, 7);
  lic.setOrderBy("id DESC");
  ASSERT_EQ(getOneRow(&lic, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(lic.getDataPtr()->id, 2);
  EXPECT_EQ(lic.getDataPtr()->OpTimeUTC.ts.year, 2021);
  EXPECT_EQ(lic.getDataPtr()->OpTimeUTC.ts.minute, 9);

  Sql("INSERT INTO PatchSPVersion (id, Release, Build, SPMajor, SPMinor, nCacheFlags, "
      "TransactionID, RevisionID) VALUES (1, 11, 80, 28, 0, 1, 100, 5), "
      "(2, 11, 80, 28, 0, 1, 120, 2), (3, 11, 80, 28, 0, 0, 999, 9)");
  PatchSPVersion sp;
  sp.setWhere("Release=%d AND Build=%d AND SPMajor=%d AND SPMinor=%d AND nCacheFlags=%d", 11, 80,
              28, 0, 1);
  sp.setOrderBy("TransactionId DESC, RevisionId DESC");
  sp.setTop(1);
  sp.setIsolationType(4);
  ASSERT_EQ(getOneRow(&sp, false, -1, 0), 0);
  EXPECT_EQ(sp.getDataPtr()->TransactionID, 120);
}

TEST_F(DbLayer, CursorOverATable) {
  Sql("INSERT INTO simBinarySet (id, name) VALUES (3, 'linux-x8664')");
  SimBinarySet rec;
  rec.setWhere("id = %d", 3);
  ASSERT_EQ(rec.openCursor(), 0);
  ASSERT_EQ(rec.fetchCursor(true), 0);
  EXPECT_STREQ(rec.getDataPtr()->name, "linux-x8664");
  EXPECT_EQ(rec.fetchCursor(true), 100);
  EXPECT_EQ(rec.closeCursor(), 0);
  EXPECT_EQ(rec.fetchCursor(true), 1000);  // nothing open
}

TEST_F(DbLayer, MissingTableGivesTheBackendMessage) {
  Sql("DROP TABLE simBinarySet");
  SimBinarySet rec;
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
  // The backend's own words ("no such table: ...", "relation ... does not exist") name it.
  std::string message = DBtable::getErrorStr(1000);
  for (char& c : message) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(message.find("simbinaryset"), std::string::npos) << message;
  EXPECT_EQ(rec.lastError(), DBtable::getErrorStr(1000));
  int count = 0;
  EXPECT_EQ(getNextRow(&rec, &count, -1, 0), 1000);
  EXPECT_EQ(rec.openCursor(), 1000);
  EXPECT_STREQ(DBtable::getErrorStr(0), "Success");
  EXPECT_STREQ(DBtable::getErrorStr(100), "No data found");
}

TEST_F(DbLayer, ClosedOrUnopenableDatabaseGives1000) {
  SeedOs();
  PatchUpdateOS rec;
  ASSERT_EQ(rec.openCursor(), 0);
  ASSERT_EQ(rec.fetchCursor(true), 0);
  kq::db::CloseThreadSessions();
  EXPECT_EQ(rec.fetchCursor(true), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("closed"), std::string::npos);
  // The next query opens the database again.
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 0);

  if (kqtest::DbTestOnPostgres()) {
    db.config().set("Database", "sConnectionString", "host=127.0.0.1 port=1 connect_timeout=5");
    EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
    EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("cannot connect"), std::string::npos)
        << DBtable::getErrorStr(1000);
  } else {
    kqtest::WriteFile(db.config().root() + "/plain-file", "x");
    db.config().set("Database", "sPath", db.config().root() + "/plain-file/hubnode.db");
    EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
    EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("cannot open database file"),
              std::string::npos)
        << DBtable::getErrorStr(1000);
  }
  db.config().set("Database", "sBackend", "nosuchbackend");
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("nosuchbackend"), std::string::npos);
}

// Where the embedded database file may be: never below the working folder (a relative path),
// never in a folder that other users could write; a new file is this user's alone, and the log
// says it was made.
TEST_F(DbLayer, TheDatabaseFileIsPrivateAndItsFolderChecked) {
  if (kqtest::DbTestOnPostgres()) GTEST_SKIP() << "embedded database only";
  const std::string root = db.config().root();
  std::string err;
  char cwd[4096];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, ::chdir(root.c_str()));
  db.config().set("Database", "sPath", "relative.db");
  EXPECT_EQ(nullptr, kq::db::ThreadSession(err));
  EXPECT_NE(std::string::npos, err.find("is not absolute")) << err;
  ASSERT_EQ(0, ::chdir(cwd));
  struct stat sb;
  EXPECT_NE(0, ::lstat((root + "/relative.db").c_str(), &sb));

  ASSERT_EQ(0, ::mkdir((root + "/open").c_str(), 0700));
  ASSERT_EQ(0, ::chmod((root + "/open").c_str(), 0777));
  db.config().set("Database", "sPath", root + "/open/hubnode.db");
  EXPECT_EQ(nullptr, kq::db::ThreadSession(err));
  EXPECT_NE(std::string::npos, err.find("writable by other users")) << err;
  EXPECT_NE(0, ::lstat((root + "/open/hubnode.db").c_str(), &sb));

  const std::string made = root + "/private/new.db";
  db.config().set("Database", "sPath", made);
  ASSERT_NE(nullptr, kq::db::ThreadSession(err)) << err;
  ASSERT_EQ(0, ::lstat(made.c_str(), &sb));
  EXPECT_EQ(0600u, sb.st_mode & 07777);
  const std::string log = kqtest::ReadFile(db.config().logFile());
  EXPECT_NE(std::string::npos, log.find("Created the database file [" + made + "]")) << log;
  EXPECT_NE(std::string::npos, log.find("[relative.db]: \"Database\"/\"sPath\" is not absolute"))
      << log;
}

// ---- Folders and files of another local user -------------------------------------------------

constexpr uid_t kNobody = 65534;

// Plants `path` as user 65534's: a folder (mode), or with `target` a symbolic link to it.
bool PlantAsNobody(const std::string& path, mode_t mode, const char* target = nullptr) {
  const bool made = target != nullptr
                        ? ::symlink(target, path.c_str()) == 0
                        : ::mkdir(path.c_str(), mode) == 0 && ::chmod(path.c_str(), mode) == 0;
  return made && ::lchown(path.c_str(), kNobody, kNobody) == 0;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// As root, with the database file in folders that user 65534 made: a link or a folder of theirs
// on the way is refused, and nothing is written through it; so is a file of theirs in a folder of
// root's. While they keep swapping the folder between one of root's and one of theirs holding a
// database open to all, no session of root's opens theirs.
TEST_F(DbLayer, AnotherUsersFoldersAndFilesAreNeverUsed) {
  if (kqtest::DbTestOnPostgres()) GTEST_SKIP() << "embedded database only";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant as another user";
  const int rc = kqtest::RunWithPrivateTmp(db.config().root(), [&] {
    int check = 0;
    auto failed = [&](bool ok) { return ++check, !ok; };
    std::string err;
    auto connects = [&](const std::string& path) {
      db.config().set("Database", "sPath", path);
      kq::db::CloseThreadSessions();
      return kq::db::ThreadSession(err) != nullptr;
    };
    const std::string theirs = "/tmp/theirs", path = "/tmp/shared/dbdir/Hubnode.db";
    if (failed(PlantAsNobody(theirs, 0755) && PlantAsNobody("/tmp/shared", 0, theirs.c_str()) &&
               !connects(path) && Has(err, "is a symbolic link of user 65534")))
      return check;
    if (failed(::unlink("/tmp/shared") == 0 && PlantAsNobody("/tmp/shared", 0755) &&
               !connects(path) && Has(err, "is owned by user 65534")))
      return check;
    if (failed(kqtest::TreeManifest(theirs).empty() && kqtest::TreeManifest("/tmp/shared").empty()))
      return check;

    // Their database, a real one open to all, in a folder of root's and then in theirs.
    const std::string rootOnly = "/tmp/rootonly", moved = rootOnly + "/Hubnode.db";
    const std::string bait = theirs + "/Hubnode.db";
    if (failed(::mkdir(rootOnly.c_str(), 0700) == 0 && connects(moved))) return check;
    kq::db::CloseThreadSessions();
    if (failed(::chown(moved.c_str(), kNobody, kNobody) == 0 &&
               ::chmod(moved.c_str(), 0666) == 0 && !connects(moved) &&
               Has(kqtest::ReadFile(db.config().logFile()),
                   "[" + moved + "] is owned by user 65534") &&
               ::rename(moved.c_str(), bait.c_str()) == 0))
      return check;
    struct stat before, after;
    const std::string content = kqtest::ReadFile(bait);
    ::stat(bait.c_str(), &before);

    // /tmp/dbdir and /tmp/flip: their links to root's folder and to theirs, exchanged without
    // end by a child running as them.
    if (failed(PlantAsNobody("/tmp/dbdir", 0, rootOnly.c_str()) &&
               PlantAsNobody("/tmp/flip", 0, theirs.c_str())))
      return check;
    const pid_t flipper = ::fork();
    if (flipper == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
        _exit(1);
      for (;;)
        ::syscall(SYS_renameat2, AT_FDCWD, "/tmp/dbdir", AT_FDCWD, "/tmp/flip", RENAME_EXCHANGE);
    }
    int opened = 0;  // the session that opened theirs (its journal files appear beside it)
    for (int session = 1; session <= 250 && opened == 0; ++session) {
      if (connects("/tmp/dbdir/Hubnode.db")) {
        (void)kq::db::ExecuteSql(*kq::db::ThreadSession(err),
                                 "INSERT INTO PatchUpdateOS VALUES ($1, 1, 1)", {I(session)},
                                 nullptr, err);
      }
      if (kqtest::TreeManifest(theirs).size() != 1) opened = session;
    }
    kq::db::CloseThreadSessions();
    ::kill(flipper, SIGKILL);
    ::waitpid(flipper, nullptr, 0);
    if (opened != 0) std::fprintf(stderr, "their database was opened at session %d\n", opened);
    if (failed(opened == 0 && kqtest::ReadFile(bait) == content &&
               ::stat(bait.c_str(), &after) == 0 &&
               after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
               after.st_mtim.tv_nsec == before.st_mtim.tv_nsec))
      return check;
    return 0;
  });
  if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(0, rc) << "the number of the check that failed";
}

TEST_F(DbLayer, TextArgumentsArriveIntact) {
  const std::string hostile[] = {
      "it's", "'); DROP TABLE PatchUAContentConfig; --", "<a b='1'>x\"y</a>", "%s %d %%", ""};
  int client = 10;
  for (const std::string& text : hostile) {
    SetPatchUAContentConfig set;
    set.setValues(client, text.c_str(), 1);
    int count = 0;
    ASSERT_EQ(getNextRow(&set, &count, -1, 0), 0) << DBtable::getErrorStr(1000);
    EXPECT_EQ(StoredXml(client), text);
    ++client;
  }
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUAContentConfig")[0][0].i, 5);

  // Conditions bind their text values too, quoted or not.
  Sql("INSERT INTO simBinarySet (id, name) VALUES (1, 'it''s'), (2, 'plain')");
  SimBinarySet quoted;
  quoted.setWhere("name = '%s'", "it's");
  ASSERT_EQ(getOneRow(&quoted, false, -1, 0), 0);
  EXPECT_EQ(quoted.getDataPtr()->id, 1);
  SimBinarySet injected;
  injected.setWhere("name = '%s'", "x' OR '1'='1");
  EXPECT_EQ(getOneRow(&injected, false, -1, 0), 100);
  SimBinarySet like;
  like.setWhere("name LIKE '%%%s%%'", "lai");
  ASSERT_EQ(getOneRow(&like, false, -1, 0), 0);
  EXPECT_EQ(like.getDataPtr()->id, 2);
}

TEST_F(DbLayer, NullTextsAndTruncation) {
  Sql("INSERT INTO JMJobInfo (jobId, tessaraId, opType, phaseParams, activeFile, failureReason) "
      "VALUES (1, 1, 36, NULL, 'first', $1), (2, 1, 36, 'p', NULL, NULL)",
      {T(std::string(300, 'r'))});
  JMJobInfo job;
  job.setOrderBy("jobId");
  int count = 0;
  ASSERT_EQ(getNextRow(&job, &count, -1, 0), 0);
  EXPECT_EQ(job.getDataPtr()->phaseParams, nullptr);
  ASSERT_NE(job.getDataPtr()->activeFile, nullptr);
  EXPECT_STREQ(job.getDataPtr()->activeFile, "first");
  EXPECT_EQ(std::string(job.getDataPtr()->failureReason), std::string(256, 'r'));
  ASSERT_EQ(getNextRow(&job, &count, -1, 0), 0);
  EXPECT_EQ(job.getDataPtr()->activeFile, nullptr);  // the earlier text was freed and reset
  EXPECT_STREQ(job.getDataPtr()->phaseParams, "p");
  EXPECT_STREQ(job.getDataPtr()->failureReason, "");

  // A cut in the middle of a character ends before it, so the text can go back to the server.
  for (const std::string& tail : {std::string("\xC3\xA9"), std::string("\xE2\x82\xAC"),
                                  std::string("\xF0\x9F\x98\x80")}) {
    const std::string value = std::string(255, 'r') + tail + std::string(40, 's');
    Sql("UPDATE JMJobInfo SET failureReason = $1 WHERE jobId = 2", {T(value)});
    JMJobInfo cut;
    cut.setWhere("jobId = %d", 2);
    ASSERT_EQ(getOneRow(&cut, false, -1, 0), 0);
    EXPECT_EQ(std::string(cut.getDataPtr()->failureReason), std::string(255, 'r'));
    Sql("UPDATE JMJobInfo SET failureReason = $1 WHERE jobId = 2",
        {T(cut.getDataPtr()->failureReason)});
  }

  Sql("INSERT INTO simAllVorlanRel VALUES (16, $1, 80)", {T(std::string(200, 'n'))});
  SimAllVorlanRel rel(0, nullptr);
  ASSERT_EQ(getOneRow(&rel, false, -1, 0), 0);
  EXPECT_EQ(strlen(rel.getDataPtr()->release), 128u);
  Sql("INSERT INTO JMFailureReasonMsgParam (msgId, position, data) VALUES (1, 1, $1)",
      {T(std::string(5000, 'd'))});
  JMFailureReasonMsgParam param;
  ASSERT_EQ(getOneRow(&param, false, -1, 0), 0);
  EXPECT_EQ(strlen(param.getDataPtr()->data), 2046u);
}

TEST_F(DbLayer, ValuesThatDoNotConvertFail) {
  if (kqtest::DbTestOnPostgres()) {
    // The server keeps column types: make room for values that are not numbers or times.
    Sql("ALTER TABLE PatchUpdateOS ALTER COLUMN UpdateOSID TYPE TEXT");
    Sql("ALTER TABLE LicUsage ALTER COLUMN OpTimeUTC TYPE TEXT");
  }
  Sql("INSERT INTO PatchUpdateOS VALUES (1, 'eleven', 0)");
  PatchUpdateOS rec;
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("UpdateOSID"), std::string::npos);
  Sql("UPDATE PatchUpdateOS SET UpdateOSID = 4294967296");
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
  Sql("UPDATE PatchUpdateOS SET UpdateOSID = '17'");
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
  EXPECT_EQ(rec.getDataPtr()->UpdateOSID, 17);
  Sql("INSERT INTO LicUsage (id, CId, OpTimeUTC) VALUES (1, 1, 'yesterday')");
  LicUsage lic;
  EXPECT_EQ(getOneRow(&lic, false, -1, 0), 1000);
}

TEST_F(DbLayer, ProceduresAreFoundCaseInsensitivelyAndCheckTheirArguments) {
  EXPECT_NE(kq::db::FindProcedure("PATCHGETUASTATUS"), nullptr);
  EXPECT_EQ(kq::db::FindProcedure("noSuchProcedure"), nullptr);
  PatchGetUAStatus get;
  EXPECT_EQ(getOneRow(&get, false, -1, 0), 1000);  // no arguments bound
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("takes 2 arguments"), std::string::npos);
}

TEST_F(DbLayer, NestedQueriesOfTheSameTextEachGetAStatement) {
  SeedOs();
  PatchUpdateOS outer;
  int count = 0;
  int inner_rows = 0;
  while (getNextRow(&outer, &count, -1, 0) == 0) {
    PatchUpdateOS inner;
    int c2 = 0;
    while (getNextRow(&inner, &c2, -1, 0) == 0) ++inner_rows;
  }
  EXPECT_EQ(count, 4);
  EXPECT_EQ(inner_rows, 16);
}

TEST_F(DbLayer, EachThreadUsesItsOwnConnection) {
  SeedOs();
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        PatchUpdateUAStatus set;
        set.setValues(t, i, i * 2, 1);
        if (getOneRow(&set, false, -1, 0) != 100) return;
        PatchUpdateOS rec;
        int count = 0;
        while (getNextRow(&rec, &count, -1, 0) == 0) {
        }
        if (count != 4) return;
      }
      ++good;
      kq::db::CloseThreadSessions();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good, 4);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUAStatus")[0][0].i, 80);
}

TEST_F(DbLayer, TwoProcessesWriteAndReadOneDatabase) {
  PatchUpdateOS warm;  // the parent has a connection open across the fork
  ASSERT_EQ(getOneRow(&warm, false, -1, 0), 100);
  const int kRows = 150;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int bad = 0;
    for (int i = 0; i < kRows; ++i) {
      PatchUpdateUAStatus set;
      set.setValues(1000, i, i, 7);
      if (getOneRow(&set, false, -1, 0) != 100) ++bad;
      PatchGetUAStatus get;
      get.setValues(2000, i / 2);
      int rc = getOneRow(&get, false, -1, 0);
      if (rc != 0 && rc != 100) ++bad;
    }
    _exit(bad == 0 ? 0 : 1);
  }
  for (int i = 0; i < kRows; ++i) {
    PatchUpdateUAStatus set;
    set.setValues(2000, i, i, 8);
    ASSERT_EQ(getOneRow(&set, false, -1, 0), 100) << DBtable::getErrorStr(1000);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUAStatus WHERE jobId = 1000")[0][0].i, kRows);
  PatchGetUAStatus get;
  get.setValues(1000, kRows - 1);
  ASSERT_EQ(getOneRow(&get, false, -1, 0), 0);
  EXPECT_EQ(get.getDataPtr()->oStatus, kRows - 1);
  EXPECT_EQ(get.getDataPtr()->oFlag, 7);
}

TEST(DbSqlFormat, ConversionsBecomeBoundParameters) {
  kq::db::BoundText b = Format("MessageId = %ld AND x = %u", 5000000000L, 7u);
  EXPECT_EQ(b.sql, "MessageId = $1 AND x = $2");
  EXPECT_EQ(b.text, "MessageId = 5000000000 AND x = 7");
  ASSERT_EQ(b.params.size(), 2u);
  EXPECT_EQ(b.params[0], Value::Int(5000000000LL));

  b = Format("%d,'%s',%d", 7, "a'b", 1);
  EXPECT_EQ(b.sql, "$1,$2,$3");
  EXPECT_EQ(b.text, "7,'a'b',1");
  EXPECT_EQ(b.params[1], Value::Text("a'b"));

  b = Format("name LIKE '%%%s%%'", "x");
  EXPECT_EQ(b.sql, "name LIKE '%' || $1 || '%'");

  b = Format("id in %s", "( 1, 3)");
  EXPECT_EQ(b.sql, "id in ($1, $2)");
  EXPECT_EQ(b.params[1], Value::Int(3));
  b = Format("'%s'|%5.2f|%c|%lld|%-4d|", static_cast<const char*>(nullptr), 2.5, 'z', -1LL, 3);
  EXPECT_EQ(b.text, "'(null)'| 2.50|z|-1|3   |");
  EXPECT_EQ(b.params[0].kind, Value::kNull);
  EXPECT_EQ(b.params[1], Value::Real(2.5));

  // A precision cuts the bound value as it cuts the printed text, given literally or not.
  b = Format("name = '%.3s' AND x = '%.*s' AND y = '%8.2s'", "abcdef", 2, "uvwxyz", "klmn");
  EXPECT_EQ(b.text, "name = 'abc' AND x = 'uv' AND y = '      kl'");
  EXPECT_EQ(b.params, (std::vector<Value>{Value::Text("abc"), Value::Text("uv"), Value::Text("kl")}));

  va_list none;
  kq::db::BoundText bad;
  std::string err;
  auto call = [&](const char* fmt, ...) {
    va_start(none, fmt);
    bool ok = kq::db::FormatBound(fmt, none, bad, err);
    va_end(none);
    return ok;
  };
  EXPECT_FALSE(call("x = %n", nullptr));
  EXPECT_FALSE(call("x = %"));
  // A text outside quotes that is not a value list would be part of the statement.
  EXPECT_FALSE(call("name = %s", "( 1, 3)"));  // not after IN
  EXPECT_FALSE(call("id in %s", "1, 3"));
  EXPECT_FALSE(call("id = %s", static_cast<const char*>(nullptr)));
  EXPECT_FALSE(call("%s", "abc"));
  EXPECT_NE(err.find("outside quotes"), std::string::npos) << err;
}

TEST(DbSqlFormat, ParametersAreRenumberedPerStatement) {
  std::string sql;
  std::vector<Value> args;
  std::string err;
  ASSERT_TRUE(kq::db::DensifyParameters("a = $3 AND b = $1 AND c = $3 AND d = '$2'",
                                        {I(1), I(2), I(3)}, sql, args, err));
  EXPECT_EQ(sql, "a = $1 AND b = $2 AND c = $1 AND d = '$2'");
  EXPECT_EQ(args, (std::vector<Value>{I(3), I(1)}));
  EXPECT_FALSE(kq::db::DensifyParameters("a = $4", {I(1)}, sql, args, err));
}

TEST_F(DbLayer, AConditionThatCannotBeBoundFailsTheQuery) {
  SeedOs();
  PatchUpdateOS rec;
  int where = 0;
  rec.setWhere("BinarySetID = %n", &where);
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);  // never the unfiltered table
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("cannot be bound"), std::string::npos);
  rec.setWhere("BinarySetID = %s", "3");
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 1000);
  rec.setWhere("BinarySetID = %d", 3);
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
  EXPECT_EQ(rec.getDataPtr()->UpdateOSID, 13);
}

TEST_F(DbLayer, WritingProceduresRunWhileACursorIsOpen) {
  SeedOs();
  PatchUpdateOS rec;
  int count = 0;
  while (getNextRow(&rec, &count, -1, 0) == 0) {
    SetPatchUAContentConfig set;
    set.setValues(rec.getDataPtr()->BinarySetID, "<c/>", 1);
    int c2 = 0;
    ASSERT_EQ(getNextRow(&set, &c2, -1, 0), 0) << DBtable::getErrorStr(1000);
  }
  EXPECT_EQ(count, 4);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUAContentConfig")[0][0].i, 4);
}

// Another thread (its own connection) writes a row; the result code of the write.
int WriteFromAnotherThread(int client) {
  int rc = -1;
  std::thread([&] {
    SetPatchUAContentConfig set;
    set.setValues(client, "<c/>", 1);
    int count = 0;
    rc = getNextRow(&set, &count, -1, 0);
    kq::db::CloseThreadSessions();
  }).join();
  return rc;
}

TEST_F(DbLayer, ATransactionTakesTheWriteLockAtItsFirstWrite) {
  db.config().set("Database", "nBusyTimeoutMs", "300");
  SeedOs();
  {
    // Reading only: other writers go on.
    DBtran tran(false);
    ASSERT_EQ(tran.startTran(), 0);
    PatchUpdateOS rec(&tran);
    int count = 0;
    while (getNextRow(&rec, &count, -1, 0) == 0) {
    }
    EXPECT_EQ(count, 4);
    EXPECT_EQ(WriteFromAnotherThread(1), 0) << "a reading transaction locked a writer out";
    ASSERT_EQ(tran.commitTran(false), 0);
  }
  {
    // Its first write takes the lock: a second writer waits and gives up, until the commit.
    DBtran tran(false);
    ASSERT_EQ(tran.startTran(), 0);
    PatchUpdateOS rec(&tran);
    ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
    SetPatchUAContentConfig set(&tran);
    set.setValues(2, "<mine/>", 1);
    int count = 0;
    ASSERT_EQ(getNextRow(&set, &count, -1, 0), 0) << DBtable::getErrorStr(1000);
    EXPECT_EQ(WriteFromAnotherThread(3), 1000);
    ASSERT_EQ(tran.commitTran(false), 0);
    EXPECT_EQ(WriteFromAnotherThread(3), 0);
  }
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUAContentConfig")[0][0].i, 3);
  EXPECT_EQ(StoredXml(2), "<mine/>");
}

TEST_F(DbLayer, ProcessesOpeningANewFileTogetherAllGetIt) {
  const int kChildren = 12;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int k = 0; k < kChildren; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(2);  // all start when the pipe closes
      PatchUpdateUAStatus set;
      set.setValues(k, k, k, k);
      int rc = getOneRow(&set, false, -1, 0);
      if (rc != 100) fprintf(stderr, "child %d: %s\n", k, DBtable::getErrorStr(rc));
      kq::db::CloseThreadSessions();
      _exit(rc == 100 ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUAStatus")[0][0].i, kChildren);
}
