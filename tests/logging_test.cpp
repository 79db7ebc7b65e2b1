// The log front: line layout, level filter, named logs, whole lines under many writers and on a
// full file system, and where log files may be opened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PrivateTmp.h"
#include "Unprivileged.h"
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
  ASSERT_TRUE(KQPlatformInfo().deleteValue("Logging", "nDebugLevel"));
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

// A line whose text gets no memory (a text of 256 MiB, with 64 MiB of address space left) is
// cut to its head and a note of its length, and the caller goes on.
TEST(Logging, ALineWithoutMemoryIsCutAndTheCallerGoesOn) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
#endif
  kqtest::ScopedConfig cfg;
  constexpr int kWidth = 256 << 20;
  const int rc = kqtest::RunInChild(
      [] { return kqtest::LimitAddressSpaceTo(64ull << 20); },
      100,
      [] {
        try {
          EvDebug().Debug("t", "%*s|end", kWidth, "x");
          log_error("X.cpp", 7, "%*s|end", kWidth, "y");
          return 0;
        } catch (...) {
          return 102;  // what would have ended a process without a handler
        }
      });
  EXPECT_EQ(rc, 0);
  const auto lines = Lines(kqtest::ReadFile(cfg.logFile()));
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 1024u);
    EXPECT_NE(line.find("... [cut: " + std::to_string(kWidth + 4) + " bytes]"), std::string::npos)
        << line;
  }
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

namespace {

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A line as the logger writes it: "2026-12-07 04:31:02.117 <pid> <tid> L<n> ...".
bool HasHead(const std::string& line) {
  if (line.size() < 24) return false;
  for (size_t i = 0; i < 23; ++i) {
    const char want = "0000-00-00 00:00:00.000"[i];
    if (want == '0' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != want) return false;
  }
  return line[23] == ' ';
}

// Whether a child ended with status 0 within `seconds`; killed otherwise.
bool ExitsWithin(pid_t pid, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long long kSeenWithinNs = 200'000'000;  // the sanitizers slow every step
#else
constexpr long long kSeenWithinNs = 20'000'000;
#endif

// A thread that logs through one kept object, every line filtered out, sees a level raised by
// another process within 20 ms: its first line written after the change was issued that soon.
TEST(LoggingGate, AThreadThatKeepsLoggingSeesAnotherProcessRaiseTheLevel) {
  kqtest::ScopedConfig cfg;
  cfg.set("Logging", "nDebugLevel", "1");
  int cue[2], done[2];
  ASSERT_EQ(0, ::pipe(cue));
  ASSERT_EQ(0, ::pipe(done));
  // The writer is made before the logging thread starts, and waits for its cue.
  const pid_t writer = ::fork();
  if (writer == 0) {
    pollfd p{cue[0], POLLIN, 0};
    char c;
    if (::poll(&p, 1, 10000) != 1 || ::read(cue[0], &c, 1) != 1) _exit(2);
    const bool ok = KQPlatformInfo().setString("Logging", "nDebugLevel", "10");
    const long long at = NowNs();
    _exit(ok && ::write(done[1], &at, sizeof at) == sizeof at ? 0 : 1);
  }
  EvDebug log;
  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop.load()) log.DebugLvl("t", 10, "issued at %lld", NowNs());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the thread logs at full speed
  ASSERT_EQ(1, ::write(cue[1], "x", 1));
  long long changedAt = 0;
  pollfd p{done[0], POLLIN, 0};
  const bool told = ::poll(&p, 1, 10000) == 1 && ::read(done[0], &changedAt, sizeof changedAt) == sizeof changedAt;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (told && kqtest::ReadFile(cfg.logFile()).empty() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop = true;
  logger.join();
  EXPECT_TRUE(ExitsWithin(writer, 10));
  for (int fd : {cue[0], cue[1], done[0], done[1]}) ::close(fd);
  ASSERT_TRUE(told);
  const auto lines = Lines(kqtest::ReadFile(cfg.logFile()));
  ASSERT_FALSE(lines.empty()) << "the raised level was never seen";
  const size_t at = lines[0].find("issued at ");
  ASSERT_NE(at, std::string::npos) << lines[0];
  EXPECT_LE(std::atoll(lines[0].c_str() + at + 10) - changedAt, kSeenWithinNs) << lines[0];
}

// A kept object that has just dropped a fast run of lines writes every line logged 10 ms or more
// after another process raised the level, whatever the pace of those lines.
TEST(LoggingGate, EveryLineLoggedAfterAnotherProcessRaisedTheLevelIsWritten) {
  kqtest::ScopedConfig cfg;
  cfg.set("Logging", "nDebugLevel", "1");
  EvDebug log;
  for (int i = 0; i < 1000; ++i) log.DebugLvl("t", 10, "dropped %d", i);
  const pid_t writer = ::fork();
  if (writer == 0) _exit(KQPlatformInfo().setString("Logging", "nDebugLevel", "10") ? 0 : 1);
  ASSERT_TRUE(ExitsWithin(writer, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  // Eight lines 20 ms apart, then four 100 ms apart.
  std::vector<std::string> want;
  for (int i = 0; i < 12; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(i < 8 ? 20 : 100));
    log.DebugLvl("t", 10, "after %d", i);
    want.push_back(" L10 t after " + std::to_string(i));
  }
  const auto lines = Lines(kqtest::ReadFile(cfg.logFile()));
  ASSERT_EQ(lines.size(), want.size()) << kqtest::ReadFile(cfg.logFile());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NE(lines[i].find(want[i]), std::string::npos) << lines[i];
}

// A line cut short by a full file system is finished ahead of the next line once there is room
// again, so every line in the file is whole. Runs in a child with a small file system of its own.
TEST(LoggingFiles, EveryLineIsWholeOnAFullFileSystem) {
  kqtest::ScopedConfig cfg;
  const std::string small = cfg.root() + "/small";
  ASSERT_EQ(0, ::mkdir(small.c_str(), 0700));
  cfg.set("Logging", "dLogFolder", small);
  const std::string copy = cfg.root() + "/copy.log";
  const std::string payload(650, 'p');
  const int rc = kqtest::RunInOwnMounts(
      [&] { return ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0; },
      [&] {
        // Fill the file system, then leave two pages free: the 12th line does not fit.
        const int filler = ::open((small + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::string block(4096, 'f');
        while (::write(filler, block.data(), block.size()) > 0) {
        }
        struct stat st;
        if (::fstat(filler, &st) != 0 || ::ftruncate(filler, st.st_size - 8192) != 0) return 2;
        EvDebug log;
        for (int i = 0; i < 30; ++i) log.Debug("t", "<%d> %s|end", i, payload.c_str());
        if (::ftruncate(filler, 0) != 0) return 3;
        for (int i = 30; i < 35; ++i) log.Debug("t", "<%d> %s|end", i, payload.c_str());
        kqtest::WriteFile(copy, kqtest::ReadFile(small + "/KqPatches.log"));
        return 0;
      });
  if (rc == kqtest::kOwnMountsUnavailable) GTEST_SKIP() << "no mount namespace of our own";
  ASSERT_EQ(0, rc);
  const auto lines = Lines(kqtest::ReadFile(copy));
  ASSERT_GE(lines.size(), 12u);
  for (const std::string& line : lines) {
    EXPECT_TRUE(HasHead(line)) << line;
    const size_t open = line.find(" L0 t <");
    ASSERT_NE(open, std::string::npos) << line;
    EXPECT_EQ(line.find(" L0 t <", open + 1), std::string::npos) << "two lines in one: " << line;
    const std::string tail = payload + "|end";
    EXPECT_EQ(line.compare(line.size() - std::min(line.size(), tail.size()), tail.size(), tail), 0)
        << "cut: " << line;
  }
  EXPECT_NE(lines.back().find("<34>"), std::string::npos);
}

// Log files are readable by their owner only, in a folder the logger makes 0700; a log file
// left readable by an older version is closed to others when it is next opened.
TEST(LoggingFiles, LogFilesAndTheirFolderArePrivate) {
  kqtest::ScopedConfig cfg;
  EvDebug().Debug("t", "private");
  struct stat st;
  ASSERT_EQ(0, ::stat(cfg.logFile().c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(0, ::stat(cfg.logFolder().c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string old = cfg.logFile("Older");
  kqtest::WriteFile(old, "written before\n");
  ASSERT_EQ(0, ::chmod(old.c_str(), 0644));
  EvDebug("Older").Debug("t", "reopened");
  ASSERT_EQ(0, ::stat(old.c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A link as the log folder is refused, told once on stderr however many lines are dropped; the
// folder it leads to gets nothing.
TEST(LoggingFiles, ALinkAsTheLogFolderIsRefused) {
  kqtest::ScopedConfig cfg;
  const std::string real = cfg.root() + "/real";
  const std::string link = cfg.root() + "/link";
  ASSERT_EQ(0, ::mkdir(real.c_str(), 0700));
  ASSERT_EQ(0, ::symlink(real.c_str(), link.c_str()));
  cfg.set("Logging", "dLogFolder", link);
  ::testing::internal::CaptureStderr();
  EvDebug log;
  for (int i = 0; i < 3; ++i) log.Debug("t", "line %d", i);
  const std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(::access((real + "/KqPatches.log").c_str(), F_OK), 0);
  EXPECT_EQ(Lines(told).size(), 1u) << told;
  EXPECT_NE(told.find("link"), std::string::npos) << told;
}

// A FIFO as the log file neither blocks a logging thread (no reader) nor receives lines (a
// reader present): it is not a regular file.
TEST(LoggingFiles, AFifoAsTheLogFileNeverBlocks) {
  kqtest::ScopedConfig cfg;
  EvDebug("Other").Debug("t", "makes the folder");
  ASSERT_EQ(0, ::mkfifo(cfg.logFile().c_str(), 0600));
  for (bool withReader : {false, true}) {
    const int reader = withReader ? ::open(cfg.logFile().c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(2);  // the refusal told on stderr is not this test's output
      EvDebug().Debug("t", "into the FIFO");
      EvDebug("Other").Debug("t", "after the FIFO");
      _exit(0);
    }
    EXPECT_TRUE(ExitsWithin(pid, 5)) << (withReader ? "with a reader" : "without a reader");
    if (reader >= 0) {
      char buf[64];
      EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "a line went into the FIFO";
      ::close(reader);
    }
  }
  EXPECT_EQ(Lines(kqtest::ReadFile(cfg.logFile("Other"))).size(), 3u);
}

// A relative "Logging"/"dLogFolder" is passed over with a level-0 line in the log that is written
// instead (the default folder under the install folder); nothing is made beside the working
// folder.
TEST(LoggingFiles, ARelativeLogFolderIsPassedOverWithALine) {
  kqtest::ScopedConfig cfg;
  const char* logDir = std::getenv("KQ_LOG_DIR");
  const std::string savedLogDir = logDir ? logDir : "";
  ::unsetenv("KQ_LOG_DIR");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(0, ::chdir(cfg.root().c_str()));
  cfg.set("Base", "dHOME", cfg.root() + "/home");
  cfg.set("Logging", "dLogFolder", "relative/logs");
  EvDebug log;
  log.Debug("t", "first");
  log.Debug("t", "second");
  ASSERT_EQ(0, ::chdir(cwd));
  if (logDir) ::setenv("KQ_LOG_DIR", savedLogDir.c_str(), 1);
  EXPECT_NE(::access((cfg.root() + "/relative").c_str(), F_OK), 0);
  const auto lines = Lines(kqtest::ReadFile(cfg.root() + "/home/Logs/KqPatches.log"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" L0 Refusing the log folder [relative/logs]"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("first"), std::string::npos);
  EXPECT_NE(lines[2].find("second"), std::string::npos);
}

}  // namespace
