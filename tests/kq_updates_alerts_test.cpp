// Whole alert runs of the update-alert object over a generated Tessara and its download center:
// the alerts recorded, their client ids and texts against the models, what a second run on the
// same or a new object raises, runs that raise nothing, runs that cannot start, the run's own
// log and the sleep marker. Every test here may reach Initialize, which waits on the marker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "Logging/EvDebug.h"
#include "PrivateTmp.h"
#include "Unprivileged.h"
#include "UpdateAlertTestEnv.h"
#include "Vocabulary.h"

using kqtest::I;
using kqtest::Sql;
using kqtest::T;

namespace {

const char kNL[] = "MsgNewLine_";

struct AlertRow {
  int category = 0, type = 0, flags = 0;
  std::string release, clientIds;
  long long upgradeTime = 0, raised = 0, pid = 0;
  std::vector<std::string> texts;
};

std::string IdsText(const std::vector<int>& ids) {
  std::string s;
  for (size_t k = 0; k < ids.size(); ++k) s += (k ? "," : "") + std::to_string(ids[k]);
  return s;
}

class AlertRun : public kqtest::UpdateAlertTest {
 protected:
  std::vector<AlertRow> Alerts() {
    std::vector<AlertRow> out;
    for (const auto& r : Sql("SELECT id, Category, Type, Flags, ReleaseText, UpgradeTime, ClientIds, "
                             "RaisedTime, ProcessId FROM EvAlert ORDER BY id")) {
      AlertRow a;
      a.category = static_cast<int>(r[1].i);
      a.type = static_cast<int>(r[2].i);
      a.flags = static_cast<int>(r[3].i);
      a.release = r[4].s;
      a.upgradeTime = r[5].i;
      a.clientIds = r[6].s;
      a.raised = r[7].i;
      a.pid = r[8].i;
      for (const auto& t : Sql("SELECT Text FROM EvAlertText WHERE AlertId = $1 ORDER BY Seq", {r[0]}))
        a.texts.push_back(t[0].s);
      out.push_back(a);
    }
    return out;
  }

  // The Feature Release text for the generated Hubnode (SP20 with maintenance release 2) and the
  // center's latest (SP26, whose highest maintenance release is 2).
  std::string FeatureReleaseText() {
    return std::string("Current Feature Release installed on Hubnode: [11.0.0 SP20] [HPK2]") + kNL +
           "Latest Feature Release available on Download Center: [11.0.0 SP26] [HPK2]" + kNL + kNL;
  }

  // The download alert's texts: the Feature Release text, then per operating system with a
  // name its heading and rows. The Hubnode's own level offers maintenance release 3.
  std::vector<std::string> ExpectedTexts(const std::string& frText,
                                         const std::map<int, std::vector<std::string>>& pending) {
    std::vector<std::string> texts;
    bool first = true;
    for (const auto& os : pending) {
      const char* name = GetOSNameFromId(os.first);
      if (name == nullptr) continue;
      const std::vector<std::string> rows = kqtest::DownloadCenterModel::Rows(os.second);
      std::string head = first ? std::string("Maintenance Release available for Feature Release "
                                             "installed on Hubnode: ") + kNL
                               : std::string("]") + kNL;
      head += std::string(name) + " : [HPK3] + [";
      texts.push_back((first ? frText : "") + head + rows[0]);
      texts.insert(texts.end(), rows.begin() + 1, rows.end());
      first = false;
    }
    if (!first) texts.push_back(std::string("]") + kNL);
    else if (!frText.empty()) texts.push_back(frText);
    return texts;
  }

  void ExpectTheThreeAlerts(const std::vector<AlertRow>& alerts, size_t from, time_t before) {
    ASSERT_GE(alerts.size(), from + 3);
    const std::vector<int> update = tessara.ExpectedUpdateIds();
    const std::vector<int> upgrade = tessara.ExpectedUpgradeIds(time(nullptr));
    ASSERT_FALSE(update.empty());
    ASSERT_FALSE(upgrade.empty());
    const std::pair<int, int> kinds[] = {{26, 40}, {26, 39}, {24, 38}};
    const std::string ids[] = {IdsText(update), IdsText(upgrade), IdsText(upgrade)};
    for (size_t k = 0; k < 3; ++k) {
      const AlertRow& a = alerts[from + k];
      EXPECT_EQ(a.category, kinds[k].first) << k;
      EXPECT_EQ(a.type, kinds[k].second) << k;
      EXPECT_EQ(a.flags, 0);
      EXPECT_EQ(a.release, "");
      EXPECT_EQ(a.upgradeTime, static_cast<long long>(tessara.HubInstallTime()));
      EXPECT_EQ(a.clientIds, ids[k]) << k;
      EXPECT_GE(a.raised, static_cast<long long>(before));
      EXPECT_EQ(a.pid, static_cast<long long>(getpid()));
      EXPECT_EQ(a.texts.empty(), k < 2) << k;
    }
    const auto pending = center.Pending(kqtest::DownloadCenterModel::kHubTrans, center.recorded);
    EXPECT_EQ(alerts[from + 2].texts, ExpectedTexts(FeatureReleaseText(), pending));
  }
};

TEST_F(AlertRun, OneRunRaisesTheThreeAlertsAndLaterRunsTheSame) {
  const time_t before = time(nullptr);
  {
    KQUpdates u;
    ASSERT_EQ(u.AlertIfUpdatesNeeded(true), 0);
    EXPECT_EQ(EvDebug().logName(), "KqPatches");
    const long long sp = Count("PatchSPVersion"), up = Count("PatchUPVersion");
    EXPECT_EQ(sp, static_cast<long long>(center.releases.size()));
    EXPECT_EQ(up, static_cast<long long>(center.ExpectedUPRows().size()));
    std::vector<AlertRow> alerts = Alerts();
    ASSERT_EQ(alerts.size(), 3u);
    ExpectTheThreeAlerts(alerts, 0, before);

    // The same object again: no client records, the same id lists and texts.
    ASSERT_EQ(u.AlertIfUpdatesNeeded(true), 0);
    alerts = Alerts();
    ASSERT_EQ(alerts.size(), 6u);
    ExpectTheThreeAlerts(alerts, 3, before);
    EXPECT_EQ(Count("PatchSPVersion"), sp);
    EXPECT_EQ(Count("PatchUPVersion"), up);
  }
  KQUpdates fresh;
  ASSERT_EQ(fresh.AlertIfUpdatesNeeded(true), 0);
  ExpectTheThreeAlerts(Alerts(), 6, before);
  EXPECT_EQ(Count("PatchSPVersion"), static_cast<long long>(center.releases.size()));

  // The run wrote into its own log; the default log saw none of the driver's lines.
  EXPECT_NE(Log("KQUpdates").find("[AlertIfUpdatesNeeded] Finished Computing the client list"),
            std::string::npos);
  EXPECT_EQ(Log().find("[AlertIfUpdatesNeeded]"), std::string::npos);
}

TEST_F(AlertRun, WithoutSendingTheTablesAreRefreshedAndNothingIsRaised) {
  KQUpdates u;
  ASSERT_EQ(u.AlertIfUpdatesNeeded(false), 0);
  EXPECT_EQ(Count("EvAlert"), 0);
  EXPECT_EQ(Count("PatchSPVersion"), static_cast<long long>(center.releases.size()));
  EXPECT_EQ(Count("PatchUPVersion"), static_cast<long long>(center.ExpectedUPRows().size()));
  EXPECT_TRUE(u.m_updateClientIds.empty());
  EXPECT_TRUE(u.m_upgradeClientIds.empty());
}

TEST_F(AlertRun, NoPendingUpdatesLeaveTheFeatureReleaseTextAlone) {
  const auto pending = center.Pending(kqtest::DownloadCenterModel::kHubTrans, center.recorded);
  for (const auto& os : pending)
    kqtest::WriteRecordedUpdates(os.second, kqtest::DownloadCenterModel::kHubMajor,
                                 kqtest::DownloadCenterModel::kHubTrans);
  KQUpdates u;
  ASSERT_EQ(u.AlertIfUpdatesNeeded(true), 0);
  const std::vector<AlertRow> alerts = Alerts();
  ASSERT_EQ(alerts.size(), 3u);
  EXPECT_EQ(alerts[2].texts, std::vector<std::string>{FeatureReleaseText()});
}

TEST_F(AlertRun, AHubnodeAtTheLatestReleaseWithNothingPendingRaisesNothing) {
  const kqtest::CenterRelease& latest = *center.release(26);
  Sql("UPDATE PatchClientVersion SET SPMajor = 26, TransactionId = $1, RevisionId = $2, "
      "CUNumber = 2, CUTransactionId = $3 WHERE ClientId = 2",
      {I(latest.trans), I(latest.rev), I(latest.trans + 20)});
  kqtest::WriteFile(CenterFolder() + "/SP26/HotfixConfiguration.xml",
                    kqtest::ReadFile(CenterFolder() + "/SP20/HotfixConfiguration.xml"));
  const auto pending = center.Pending(latest.trans, {});
  ASSERT_FALSE(pending.empty());
  for (const auto& os : pending) kqtest::WriteRecordedUpdates(os.second, 26, latest.trans);
  KQUpdates u;
  ASSERT_EQ(u.AlertIfUpdatesNeeded(true), 0);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP26/HotfixConfiguration.xml"), 1);
  EXPECT_EQ(Count("EvAlert"), 0);
  EXPECT_TRUE(u.m_featureReleaseAlertText.empty());
}

TEST_F(AlertRun, RunsThatCannotStartRaiseNothing) {
  // The Hubnode's version cannot be read: nothing is fetched either.
  {
    Sql("DELETE FROM PatchClientVersion WHERE ClientId = 2");
    KQUpdates u;
    EXPECT_EQ(u.AlertIfUpdatesNeeded(true), 1);
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_EQ(EvDebug().logName(), "KqPatches");
    Sql("INSERT INTO PatchClientVersion (ClientId, Release, Build, SPMajor, SPMinor, "
        "TransactionId, RevisionId, CUNumber, CUTransactionId, CUFriendlyName) VALUES (2, 16, 80, "
        "20, 0, 4711, 3, 2, 5120, 'CU2')");
  }
  // No media access.
  {
    Sql("UPDATE PatchConfig SET ConfigURLPrefix = 'ftp://127.0.0.1/cfg'");
    KQUpdates u;
    ASSERT_EQ(u.m_mediaAccess, nullptr);
    EXPECT_EQ(u.AlertIfUpdatesNeeded(true), 1);
    EXPECT_NE(Log("KQUpdates").find("Media access object is not initialized."), std::string::npos);
    EXPECT_EQ(EvDebug().logName(), "KqPatches");
    Sql("UPDATE PatchConfig SET ConfigURLPrefix = $1",
        {T("http://127.0.0.1:" + std::to_string(server->port()) + "/cfg")});
  }
  // The run's log cannot be written.
  {
    KQUpdates u;
    kqtest::WriteFile(root() + "/plain", "x");
    db.config().set("Logging", "dLogFolder", root() + "/plain/logs");
    EXPECT_EQ(u.AlertIfUpdatesNeeded(true), 1);
    db.config().set("Logging", "dLogFolder", db.config().logFolder());
    EXPECT_FALSE(u.m_initialized);
  }
  EXPECT_EQ(Count("EvAlert"), 0);
  EXPECT_EQ(Count("PatchSPVersion"), 0);
  EXPECT_TRUE(server->Requests().empty());
}

TEST_F(AlertRun, InitializeWaitsWhileTheSleepMarkerExists) {
  // The marker's place is fixed. One this test did not make is left alone (and the test
  // skipped): only the marker made here is removed.
  const char* marker = "/tmp/kqupdates.sleep";
  const int made = ::open(marker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (made < 0) GTEST_SKIP() << marker << " exists already or cannot be made, errno " << errno;
  ::close(made);
  struct Remove {
    const char* path;
    ~Remove() { unlink(path); }
  } guard{marker};
  KQUpdates u;
  std::atomic<bool> done(false);
  std::thread t([&] {
    EXPECT_TRUE(u.Initialize(false));
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(done.load());
  const auto removed = std::chrono::steady_clock::now();
  unlink(marker);
  t.join();
  const auto waited = std::chrono::steady_clock::now() - removed;
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
  EXPECT_TRUE(u.m_initialized);
  EXPECT_EQ(u.m_hnVersionName, "11.0.0");
  EXPECT_TRUE(u.m_clientRecords.empty());
}

// Markers another user plants hold nothing: each is planted by user 65534 in a child with a /tmp
// of its own, where Initialize then runs (bounded by an alarm, should it wait after all).
TEST_F(AlertRun, InitializeIgnoresAMarkerAnotherUserPlanted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant as another user";
  const char* marker = "/tmp/kqupdates.sleep";
  const char* const rootsTmpFile = "/tmp/roots-file";
  const std::string rootsFile = root() + "/roots-file";
  kqtest::WriteFile(rootsFile, "");
  ASSERT_EQ(0, ::chmod(root().c_str(), 0711));  // so that a link to it can be followed
  struct Plant {
    const char* name;
    std::function<bool()> make;  // runs as user 65534
  };
  const std::vector<Plant> plants = {
      {"a file of another user",
       [&] {
         int fd = ::open(marker, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
         return fd >= 0 && ::close(fd) == 0;
       }},
      {"a link to a file of root", [&] { return ::symlink(rootsFile.c_str(), marker) == 0; }},
      {"a hard link to a file of root", [&] { return ::link(rootsTmpFile, marker) == 0; }},
  };
  for (const Plant& p : plants) {
    SCOPED_TRACE(p.name);
    int rc = kqtest::RunWithPrivateTmp(root(), [&] {
      // Beside the marker (a hard link stays on its file system), open to all so that no
      // protection of hard links stands in the way.
      const int made = ::open(rootsTmpFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (made < 0 || ::fchmod(made, 0666) != 0 || ::close(made) != 0) return 4;
      if (kqtest::RunUnprivileged([&] { return p.make() ? 0 : 1; }) != 0) return 2;
      ::alarm(30);
      KQUpdates u;
      return u.Initialize(false) ? 0 : 3;
    });
    if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
    EXPECT_EQ(0, rc) << "2: not planted, 3: Initialize failed, 4: no file of root, -1: it waited";
  }
  const std::string log = Log();
  size_t lines = 0;  // one line for each run
  for (size_t at = log.find("Ignoring [/tmp/kqupdates.sleep]"); at != std::string::npos;
       at = log.find("Ignoring [/tmp/kqupdates.sleep]", at + 1))
    ++lines;
  EXPECT_EQ(plants.size(), lines) << log;
}

}  // namespace
