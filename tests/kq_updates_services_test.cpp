// The small services of KQUpdates: alert texts from files and multi-line texts, timestamp
// files, service-pack folder content, directory sizes, OS names, cache inventory look-ups and
// installed packages (also while another connection holds a write transaction).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "Database/DbSession.h"
#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "TessaraGenerator.h"

using kqtest::I;
using kqtest::Sql;
using kqtest::WriteFile;

namespace {

class UpdateServices : public ::testing::Test {
 protected:
  void SetUp() override {
    kqtest::WriteTessara(kqtest::MakeTessara(kqtest::TessaraOptions()), db_.config().root());
  }
  std::string Path(const std::string& rel) { return db_.config().root() + "/" + rel; }
  std::string Log() { return kqtest::ReadFile(db_.config().logFile()); }

  kqtest::ScopedDatabase db_;
};

TEST_F(UpdateServices, TextsForAlerts) {
  KQUpdates u;
  EXPECT_EQ(u.MakePrettier("a\r\n\r\n  b\n"), "a | b | ");
  EXPECT_EQ(u.MakePrettier("one two\rthree"), "one two | three");
  EXPECT_EQ(u.MakePrettier(""), "");

  std::string out = "head:";
  WriteFile(Path("two.txt"), "a\nb\n");
  EXPECT_TRUE(u.DumpFileContentsToString(out, Path("two.txt").c_str()));
  EXPECT_EQ(out, "head:aMsgNewLine_bMsgNewLine_MsgNewLine_");

  // A line longer than any read buffer stays whole.
  const std::string line(1 << 20, 'x');
  WriteFile(Path("long.txt"), line);
  out.clear();
  EXPECT_TRUE(u.DumpFileContentsToString(out, Path("long.txt").c_str()));
  EXPECT_EQ(out, line + "MsgNewLine_");

  out = "kept";
  EXPECT_FALSE(u.DumpFileContentsToString(out, Path("missing.txt").c_str()));
  EXPECT_EQ(out, "kept");
  EXPECT_NE(Log().find("is not present"), std::string::npos);
}

TEST_F(UpdateServices, TimestampFiles) {
  KQUpdates u;
  struct Case {
    const char* text;
    int value;
  };
  for (const Case& c : {Case{"1700000000\n", 1700000000}, Case{"  \n42 rest", 42}, Case{"-17", -17},
                        Case{"abc", 0}, Case{"99999999999", 0}, Case{"2147483647", 2147483647},
                        Case{"-2147483648", -2147483647 - 1}, Case{"2147483648", 0},
                        Case{"", 0}, Case{"+", 0}}) {
    SCOPED_TRACE(c.text);
    WriteFile(Path("timestamp.txt"), c.text);
    EXPECT_EQ(u.readTimestampFile(Path("timestamp.txt").c_str()), c.value);
  }
  EXPECT_EQ(u.readTimestampFile(Path("none.txt").c_str()), 0);
}

TEST_F(UpdateServices, ServicePackFolderContentAndSizes) {
  KQUpdates u;
  const std::string sp = Path("SP20");
  WriteFile(sp + "/config/Updates.txt", "u1\n");
  EXPECT_FALSE(u.CheckIfSPExists(sp.c_str()));  // only "config", in any case
  WriteFile(sp + "/payload.bin", "12345");
  EXPECT_TRUE(u.CheckIfSPExists(sp.c_str()));
  EXPECT_FALSE(u.CheckIfSPExists(Path("SP21").c_str()));
  EXPECT_FALSE(u.CheckIfSPExists(nullptr));

  // The entries of the folder itself, "." and ".." included; sub-folders are not entered.
  struct stat self, parent, config;
  ASSERT_EQ(stat(sp.c_str(), &self), 0);
  ASSERT_EQ(stat(db_.config().root().c_str(), &parent), 0);
  ASSERT_EQ(stat((sp + "/config").c_str(), &config), 0);
  EXPECT_EQ(u.GetDirectorySize(sp.c_str()),
            static_cast<unsigned long long>(self.st_size + parent.st_size + config.st_size + 5));
  EXPECT_EQ(u.GetDirectorySize(Path("SP21").c_str()), 0u);
}

TEST_F(UpdateServices, OsNamesAndCacheInventory) {
  KQUpdates u;
  char name[32];
  struct Case {
    int os, flavour;
    const char* name;
  };
  // Only Unix (3) names depend on the flavour; unnamed pairs leave the buffer alone.
  for (const Case& c : {Case{2, 7, "Windows64"}, Case{3, 6, "Linux"}, Case{3, 9, "unchanged"},
                        Case{5, 0, "unchanged"}}) {
    strcpy(name, "unchanged");
    u.GetOsName(c.os, c.flavour, name);
    EXPECT_STREQ(name, c.name) << c.os << "/" << c.flavour;
  }

  KQUpdatesNS::ReleaseVsOsSPDetails r;
  r.releaseId = 16;
  KQUpdatesNS::OsVsSPDetails os;
  os.osType = 3;
  os.unixFlavour = 6;
  os.sp = _SPVersion(20);
  r.osSP.push_back(os);
  KQUpdatesNS::OsVsUpdateDetails up;
  up.osType = 3;
  up.unixFlavour = 6;
  up.updates.push_back({"Update_1234", 0});
  r.osUpdates.push_back(up);
  u.m_cacheInventory.push_back(r);
  EXPECT_TRUE(u.IsSPPresentInCache(16, 3, 6, _SPVersion(20)));
  EXPECT_FALSE(u.IsSPPresentInCache(16, 3, 7, _SPVersion(20)));
  EXPECT_FALSE(u.IsSPPresentInCache(16, 3, 6, _SPVersion(21)));
  EXPECT_TRUE(u.IsUpdatePresentInCache(16, 3, 6, "Update_1234"));
  EXPECT_FALSE(u.IsUpdatePresentInCache(16, 3, 6, "Update_123"));
  EXPECT_FALSE(u.IsUpdatePresentInCache(17, 3, 6, "Update_1234"));
}

TEST_F(UpdateServices, InstalledPackagesAlsoWhileAnotherConnectionWrites) {
  Sql("INSERT INTO simInstalledPackages (ClientId, simPackageID) VALUES (777, 1000)");
  KQUpdates u;
  EXPECT_TRUE(u.IsPackageInstalled(777, 1000));
  EXPECT_FALSE(u.IsPackageInstalled(777, 1002));
  EXPECT_FALSE(u.IsPackageInstalled(778, 1000));

  // Another connection holds a write transaction: the read neither waits for it (the short
  // lock timeout would fail the look-up) nor sees its uncommitted row.
  db_.config().set("Database", "nBusyTimeoutMs", "200");
  kq::db::CloseThreadSessions();
  std::mutex m;
  std::condition_variable cv;
  bool writing = false, done = false;
  std::thread writer([&] {
    std::string err;
    std::shared_ptr<kq::db::Session> s = kq::db::ThreadSession(err);
    const bool began = s && s->begin(true, err);
    EXPECT_TRUE(began) << err;
    if (began) {
      EXPECT_NE(kq::db::ExecuteSql(*s, "INSERT INTO simInstalledPackages (ClientId, simPackageID) "
                                       "VALUES (777, 1002)", {}, nullptr, err),
                kq::db::kDbFailed)
          << err;
    }
    std::unique_lock<std::mutex> lock(m);
    writing = true;
    cv.notify_all();
    cv.wait(lock, [&] { return done; });
    if (began) s->rollback();
    s.reset();
    kq::db::CloseThreadSessions();
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return writing; });
  }
  EXPECT_TRUE(u.IsPackageInstalled(777, 1000));
  EXPECT_FALSE(u.IsPackageInstalled(777, 1002));
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_all();
  writer.join();
}

}  // namespace
