// The log front: line layout, level filter, named logs, and whole lines under many writers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PackageCache.h"
#include "SyncRegistries.h"
#include "Configuration/KQPlatformInfo.h"
#include "Events/EvEvent.h"
#include "Logging/EvDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(Logging, LinesCarryLevelTagJobAndText) {
  kqtest::ScopedConfig cfg;
  EvDebug log;
  log.Debug("[GetCacheFilesFromXML]", "value [%d] name [%s]", 42, "abc");
  log.DebugJob(8, "Registry::Add", 77, "job line");
  std::string text = kqtest::ReadFile(cfg.logFile());
  auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" L0 [GetCacheFilesFromXML] value [42] name [abc]"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find(" " + std::to_string(getpid()) + " "), std::string::npos);
  EXPECT_NE(lines[1].find(" L8 Registry::Add J77 job line"), std::string::npos) << lines[1];
}

// Each family writes its tag in its own form, and the log keeps it as given: in brackets for
// the cache and catalogue classes, plain for the patch job classes, after "::" for the per-job
// registries.
TEST(Logging, EachFamilyWritesItsOwnTagForm) {
  kqtest::ScopedConfig cfg;
  KQUpdateCache cache(7, false);
  EXPECT_FALSE(cache.GetCacheFilesFromXML(cfg.root(), nullptr, nullptr, nullptr, nullptr, "", "",
                                          nullptr, false, "", nullptr, nullptr, ""));
  KQPackageCache catalogue(false);
  EXPECT_FALSE(catalogue.SetTempPath(std::string(kPackageCacheTempFolderSize, 't')));
  std::string text;
  EXPECT_NE(0u, nPatchDownload::CPatchInstallCommon::ReadWholeFile(cfg.root() + "/none", text));
  ClearCachedBaselineList(4711);

  std::string all;
  for (const std::string& line : kqtest::LogTexts(cfg.logFolder())) all += line + "\n";
  EXPECT_NE(all.find("L0 [GetCacheFilesFromXML] J7 Invalid input"), std::string::npos) << all;
  EXPECT_NE(all.find("L0 [SetTempPath] Temp path of"), std::string::npos) << all;
  EXPECT_NE(all.find("L0 ReadWholeFile Cannot to open file ["), std::string::npos) << all;
  EXPECT_NE(all.find("L1 ::ClearCachedBaselineList Cleared cached baseline list for JobId[4711]"),
            std::string::npos)
      << all;
  EXPECT_EQ(all.find("[["), std::string::npos) << all;
}

TEST(Logging, LevelFilterAndNamedLogs) {
  kqtest::ScopedConfig cfg;
  cfg.set("Logging", "nDebugLevel", "2");
  EvDebug log;
  EXPECT_EQ(log.GetDebugLevel(), 2);
  log.DebugLvl("t", 8, "hidden");
  log.DebugLvl("t", 2, "shown");
  EXPECT_EQ(Lines(kqtest::ReadFile(cfg.logFile())).size(), 1u);

  EvDebugFileInstance inst;
  EvDebug job(&inst);
  job.initialize(&inst, EvDebug::getLogId("AutoInstallServer"), 5, false, "");
  EXPECT_EQ(EvDebug::getLogId("AutoInstallServer"), EvDebug::getLogId("AutoInstallServer"));
  job.debugLvl(1, "to the named log");
  std::string named = kqtest::ReadFile(cfg.logFile("AutoInstallServer"));
  EXPECT_NE(named.find("J5 to the named log"), std::string::npos) << named;
}

TEST(Logging, DetailLevelsOnlyWhenConfigured) {
  kqtest::ScopedConfig cfg;
  kqtest::WriteFile(cfg.configPath(), "[Logging]\ndLogFolder=" + cfg.logFolder() + "\n");
  EvDebug quiet;
  quiet.DebugLvl("t", 10, "detail line");
  quiet.DebugLvl("t", 2, "step line");
  quiet.DebugLvl("t", 1, "main line");
  quiet.Debug("t", "error line");
  std::string text = kqtest::ReadFile(cfg.logFile());
  EXPECT_EQ(std::string::npos, text.find("detail line"));
  EXPECT_EQ(std::string::npos, text.find("step line"));
  EXPECT_NE(std::string::npos, text.find("main line"));
  EXPECT_NE(std::string::npos, text.find("error line"));

  cfg.set("Logging", "nDebugLevel", "10");
  EvDebug verbose;
  verbose.DebugLvl("t", 10, "asked-for detail");
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("asked-for detail"));
}

// The store is not read for every line, yet every object follows the configured level: a change
// made through this process's configuration layer at once (also for an object that logged
// before it), one made by another process a few milliseconds later at most.
TEST(Logging, ObjectsFollowLevelChangesOfThisAndOtherProcesses) {
  kqtest::ScopedConfig cfg;
  EvDebug log;
  log.DebugLvl("t", 10, "detail before");
  cfg.set("Logging", "nDebugLevel", "1");
  log.DebugLvl("t", 10, "detail after");
  EXPECT_EQ(1, log.GetDebugLevel());
  pid_t pid = fork();
  if (pid == 0) _exit(KQPlatformInfo().setString("Logging", "nDebugLevel", "8") ? 0 : 1);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(8, log.GetDebugLevel());
  const std::string text = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(text.find("detail before"), std::string::npos);
  EXPECT_EQ(text.find("detail after"), std::string::npos);
}

TEST(Logging, EventsGatherTheirTextAndLogAsTheirLog) {
  kqtest::ScopedConfig cfg;
  EvEvent event("EventLog", 12);
  event << "client " << 42 << ' ' << std::string("needs") << " update" << static_cast<const char*>(nullptr);
  EXPECT_EQ("client 42 needs update", event.text());
  EvEvent copy = event;
  event.clearText();
  EXPECT_EQ("", event.text());
  EXPECT_EQ("client 42 needs update", copy.text());
  EvDebug& log = copy;
  log.DebugJob(1, "[T]", 0, "through the event");
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(cfg.logFile("EventLog")).find("L1 [T] J12 through the event"));
}

TEST(Logging, LongLinesAreNotCut) {
  kqtest::ScopedConfig cfg;
  std::string big(5000, 'x');
  EvDebug().Debug("t", "%s|end", big.c_str());
  EXPECT_NE(kqtest::ReadFile(cfg.logFile()).find(big + "|end\n"), std::string::npos);
}

TEST(Logging, WholeLinesUnderThreadsAndProcesses) {
  kqtest::ScopedConfig cfg;
  const int kProcs = 3, kThreads = 4, kLines = 300;
  std::string payload(700, 'p');
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
          EvDebug log;
          for (int i = 0; i < kLines; ++i)
            log.Debug("w", "<%d.%d.%d %s>", p, t, i, payload.c_str());
        });
      for (auto& th : threads) th.join();
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto lines = Lines(kqtest::ReadFile(cfg.logFile()));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kProcs * kThreads * kLines));
  for (const auto& line : lines) {
    size_t open = line.find('<');
    ASSERT_NE(open, std::string::npos) << line;
    ASSERT_EQ(line.back(), '>') << line;
    ASSERT_NE(line.find(payload, open), std::string::npos) << line;
  }
}

TEST(Logging, LogErrorNamesTheSourceLocation) {
  kqtest::ScopedConfig cfg;
  log_error("include/Db/Tbl/X.h", 12, "record %p failed", static_cast<void*>(&cfg));
  std::string text = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(text.find("include/Db/Tbl/X.h:12: record 0x"), std::string::npos) << text;
}

}  // namespace

namespace {

TEST(Logging, AThreadLendsItsDefaultLogForAWhile) {
  kqtest::ScopedConfig cfg;
  EvDebugFileInstance runFile;
  EvDebug run(&runFile);
  ASSERT_TRUE(run.initialize(&runFile, EvDebug::kUpdateAlertLogId, 0, false, ""));
  EXPECT_EQ(runFile.logName(), "KQUpdates");
  EvDebug plain;                // no log of its own: follows the lent one
  EvDebug named("OwnLog");      // keeps its own
  {
    ThLvlEvDebugFileInstance lent(&runFile);
    plain.Debug("t", "while lent");
    named.Debug("t", "own while lent");
    std::thread([] { EvDebug().Debug("t", "other thread while lent"); }).join();
    {
      EvDebugFileInstance inner("Inner");
      ThLvlEvDebugFileInstance nested(&inner);
      plain.Debug("t", "nested");
    }
    plain.Debug("t", "back to the outer");
  }
  plain.Debug("t", "after");
  const std::string runText = kqtest::ReadFile(cfg.logFile("KQUpdates"));
  const std::string defaultText = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(runText.find("while lent"), std::string::npos);
  EXPECT_NE(runText.find("back to the outer"), std::string::npos);
  EXPECT_NE(kqtest::ReadFile(cfg.logFile("Inner")).find("nested"), std::string::npos);
  EXPECT_NE(kqtest::ReadFile(cfg.logFile("OwnLog")).find("own while lent"), std::string::npos);
  EXPECT_NE(defaultText.find("other thread while lent"), std::string::npos);
  EXPECT_NE(defaultText.find("after"), std::string::npos);
  EXPECT_EQ(defaultText.find("while lent\n"), defaultText.find("other thread while lent\n") + 13);
  EXPECT_EQ(runText.find("after"), std::string::npos);
}

TEST(Logging, InitializeSaysWhenTheLogFileCannotBeOpened) {
  kqtest::ScopedConfig cfg;
  kqtest::WriteFile(cfg.root() + "/plain", "x");
  cfg.set("Logging", "dLogFolder", cfg.root() + "/plain/logs");  // below a file: never a folder
  EvDebugFileInstance file;
  EvDebug log(&file);
  EXPECT_FALSE(log.initialize(&file, EvDebug::kUpdateAlertLogId, 0, false, ""));
  cfg.set("Logging", "dLogFolder", cfg.logFolder());
  EXPECT_TRUE(log.initialize(&file, EvDebug::kUpdateAlertLogId, 0, false, ""));
}

}  // namespace
