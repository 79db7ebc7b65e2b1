// The job event sink: where each logging form puts its arguments, and the specific error's
// replace, copy and read-back rules.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KqTestEnv.h"
#include "nPatchDownload/CPatchDebug.h"

namespace {

using nPatchDownload::CPatchDebug;
using nPatchDownload::IPatchEvent;
using nPatchDownload::tErrorDetails;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The part of a line after the time, process and thread ids.
std::string Body(const std::string& line) {
  size_t at = line.find(" L");
  return at == std::string::npos ? line : line.substr(at + 1);
}

KQJobStatus Status(int v) { return static_cast<KQJobStatus>(v); }

std::queue<tErrorDetails> TextDetails(const std::vector<std::string>& texts) {
  std::queue<tErrorDetails> q;
  for (const std::string& t : texts) q.push(tErrorDetails(tErrorDetails::eString, &t));
  return q;
}

TEST(PatchDebugLogging, EachFormPlacesLevelTagJobAndFunction) {
  kqtest::ScopedConfig cfg;
  CPatchDebug sink;
  IPatchEvent& events = sink;
  events.debug("plain %d", 1);
  events.debugLvl(3, "lvl %s", "x");
  events.debugLvl(4, 11L, "lvl job");
  events.DebugJob("F", 7L, "job %d", 2);
  events.DebugJob(5, "G", 8L, "job lvl");
  events.Debug("Tag", "tagged");
  events.DebugLvl("Tag2", 6, "tagged lvl");
  events.DebugLvl("Tag3", 2, 9L, "tagged lvl job");
  auto lines = Lines(kqtest::ReadFile(cfg.logFile()));
  ASSERT_EQ(8u, lines.size());
  const std::vector<std::string> want = {
      "L0 plain 1",       "L3 lvl x",           "L4 J11 lvl job",       "L0 J7 F: job 2",
      "L5 J8 G: job lvl", "L0 Tag tagged",      "L6 Tag2 tagged lvl",   "L2 Tag3 J9 tagged lvl job"};
  for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(want[k], Body(lines[k]));
  sink.InfoEvent(1, 2, 3);
  sink.MajorEvent(1, 2, 3);
}

TEST(PatchDebugLogging, NamedLogAndCallersLogObject) {
  kqtest::ScopedConfig cfg;
  {
    // The file instance is a temporary: the sink keeps its own for as long as it lives.
    CPatchDebug sink(EvDebugFileInstance(), "AutoInstallServer", 0);
    sink.Debug("T", "to the named log");
  }
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(cfg.logFile("AutoInstallServer")).find(" T to the named log"));
  {
    // A sink set up for a job marks every line with the job, whatever form wrote it.
    CPatchDebug jobSink(EvDebugFileInstance(), "JobLog", 31);
    jobSink.debug("plain");
    jobSink.Debug("T", "tagged");
    jobSink.DebugLvl("T", 2, "tagged lvl");
    jobSink.debugLvl(3, 44L, "own job");
    auto lines = Lines(kqtest::ReadFile(cfg.logFile("JobLog")));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("L0 J31 plain", Body(lines[0]));
    EXPECT_EQ("L0 T J31 tagged", Body(lines[1]));
    EXPECT_EQ("L2 T J31 tagged lvl", Body(lines[2]));
    EXPECT_EQ("L3 J44 own job", Body(lines[3]));
  }
  CPatchDebug copyOfCallers(EvDebug("CallerLog", 5));
  copyOfCallers.debug("to the caller's log");
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(cfg.logFile("CallerLog")).find("to the caller's log"));
  EXPECT_EQ("CallerLog", copyOfCallers.GetEvDebug()->logName());
}

// The level is read from the configuration on first use: two threads that log first at the
// same moment must not race on it (the thread-sanitizer build checks this).
TEST(PatchDebugLogging, TwoThreadsLogTheirFirstLinesTogether) {
  kqtest::ScopedConfig cfg;
  for (int round = 0; round < 20; ++round) {
    CPatchDebug sink(EvDebugFileInstance(), "Together", 0);
    std::thread a([&sink] { sink.DebugLvl("A", 2, "from a"); });
    std::thread b([&sink] { sink.DebugLvl("B", 2, "from b"); });
    a.join();
    b.join();
  }
  auto lines = Lines(kqtest::ReadFile(cfg.logFile("Together")));
  EXPECT_EQ(40u, lines.size());
}

TEST(PatchDebugErrors, FreshSinkAndReadBackReplacesCallersQueue) {
  kqtest::ScopedConfig cfg;
  CPatchDebug sink;
  EXPECT_FALSE(sink.IsSpecificErrorSet());
  int id = 99;
  KQJobStatus status = Status(9);
  std::queue<tErrorDetails> out = TextDetails({"stale"});
  sink.GetErrorDetails(id, status, out);
  EXPECT_EQ(0, id);
  EXPECT_EQ(1, static_cast<int>(status));
  EXPECT_TRUE(out.empty());
}

TEST(PatchDebugErrors, ReplacementDropsOldDetailsAndLogsOnlyWhenThereWereSome) {
  kqtest::ScopedConfig cfg;
  CPatchDebug sink;
  std::queue<tErrorDetails> first = TextDetails({"remote", "local"});
  sink.SetSpecificError(0x44000046, Status(2), &first);
  EXPECT_TRUE(sink.IsSpecificErrorSet());
  // The sink copied the queue: the caller's changes do not reach it.
  first.pop();
  first.push(tErrorDetails());

  int id = 0;
  KQJobStatus status = Status(0);
  std::queue<tErrorDetails> out;
  sink.GetErrorDetails(id, status, out);
  EXPECT_EQ(0x44000046, id);
  EXPECT_EQ(2, static_cast<int>(status));
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ("remote", out.front().strValue);
  EXPECT_EQ("local", out.back().strValue);
  sink.GetErrorDetails(id, status, out);  // reading does not consume
  EXPECT_EQ(2u, out.size());

  sink.SetSpecificError(0x44000061, Status(4), nullptr);
  sink.GetErrorDetails(id, status, out);
  EXPECT_EQ(0x44000061, id);
  EXPECT_EQ(4, static_cast<int>(status));
  EXPECT_TRUE(out.empty());
  std::string log = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(std::string::npos,
            log.find("L8 Override original error message Id [1140850758] with new one [1140850785]"))
      << log;

  // No held details, so no override line this time; an empty queue counts as none.
  std::queue<tErrorDetails> none;
  sink.SetSpecificError(0x44000005, Status(2), &none);
  sink.SetSpecificError(0, Status(3), nullptr);
  EXPECT_FALSE(sink.IsSpecificErrorSet());
  EXPECT_EQ(1u, Lines(kqtest::ReadFile(cfg.logFile())).size());
}

TEST(PatchDebugErrors, ConcurrentWritersAndReadersSeeWholeErrors) {
  kqtest::ScopedConfig cfg;
  cfg.set("Logging", "nDebugLevel", "0");
  CPatchDebug sink;
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([&sink, t] {
      for (int k = 0; k < 200; ++k) {
        std::queue<tErrorDetails> q;
        for (int n = 0; n < t; ++n) q.push(tErrorDetails(tErrorDetails::eInt, &t));
        sink.SetSpecificError(t, static_cast<KQJobStatus>(t), &q);
        int id = 0;
        KQJobStatus status = static_cast<KQJobStatus>(0);
        std::queue<tErrorDetails> out;
        sink.GetErrorDetails(id, status, out);
        ASSERT_EQ(id, static_cast<int>(status));
        ASSERT_EQ(static_cast<size_t>(id), out.size());
        ASSERT_TRUE(sink.IsSpecificErrorSet());
      }
    });
  }
  for (auto& th : threads) th.join();
}

TEST(ErrorDetails, TypedConstructorCopiesOrFallsBackToEmptyText) {
  kqtest::ScopedConfig cfg;
  int i = -7;
  long long ll = 1LL << 40;
  std::string text = "path";
  tErrorDetails a(tErrorDetails::eInt, &i);
  tErrorDetails b(tErrorDetails::eInt64, &ll);
  tErrorDetails c(tErrorDetails::eString, &text);
  text = "changed";
  EXPECT_EQ(1, a.eType);
  EXPECT_EQ(-7, a.nValue);
  EXPECT_EQ(3, b.eType);
  EXPECT_EQ(1LL << 40, b.llValue);
  EXPECT_EQ(2, c.eType);
  EXPECT_EQ("path", c.strValue);

  tErrorDetails nul(tErrorDetails::eInt, nullptr);
  tErrorDetails odd(static_cast<tErrorDetails::eErrorDescType>(4), &i);
  for (const tErrorDetails& d : {nul, odd}) {
    EXPECT_EQ(2, d.eType);
    EXPECT_EQ("", d.strValue);
    EXPECT_EQ(0, d.nValue);
    EXPECT_EQ(0, d.llValue);
  }
  std::string log = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(std::string::npos, log.find(" tErrorDetails Input param is null"));
  EXPECT_NE(std::string::npos, log.find(" tErrorDetails Unknown error description type [4]"));
}

}  // namespace
