// The readers of downloaded and media files against what an attacker on the same host can put
// in their place: a FIFO (opening it would wait for a writer for ever), a device, and a file
// far larger than any real one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "CRCCoder.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "MessageFile.h"
#include "Messages/UpdatePatches.h"
#include "PortableFiles/PxFile.h"
#include "SmallTextFile.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/SupportedUpdatesInCopy.h"

namespace {

using nPatchDownload::CPatchDebug;
using nPatchDownload::CPatchInstallCommon;

// Sets free a reader that still waits on the FIFO after a grace period, by opening its writing
// end (the reader then sees an empty file), and remembers that it had to.
class FifoWatch {
 public:
  explicit FifoWatch(const std::string& path)
      : path_(path), thread_([this] { Run(); }) {}
  ~FifoWatch() { Stop(); }
  // True when a reader had to be set free.
  bool Stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return freed_;
  }

 private:
  void Run() {
    auto graceEnd = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (std::chrono::steady_clock::now() < graceEnd) continue;
      int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {  // someone has the reading end open: it was waiting
        freed_ = true;
        ::close(fd);
      }
    }
  }
  std::string path_;
  std::atomic<bool> done_{false};
  std::atomic<bool> freed_{false};
  std::thread thread_;
};

// Every reader under test, as "read this path; true when it failed".
std::vector<std::pair<std::string, std::function<bool(const std::string&)>>> Readers() {
  return {
      {"ReadWholeFile",
       [](const std::string& p) {
         std::string text;
         return CPatchInstallCommon::ReadWholeFile(p, text) != 0;
       }},
      {"GetMediaVersionFromFile",
       [](const std::string& p) {
         FullVersion v;
         return !CPatchInstallCommon::GetMediaVersionFromFile(p, v);
       }},
      {"ReadConfigurationFromIniFile",
       [](const std::string& p) {
         CPatchDebug events;
         nPatchDownload::tSupportedUpdatesInCopy record;
         return CPatchInstallCommon::ReadConfigurationFromIniFile(p, record, events) != 0;
       }},
      {"KqLoadMessageFile",
       [](const std::string& p) {
         EvDebug log;
         UpdatePatches::CacheOpReq message;
         return !KqLoadMessageFile(p, message, log, "Reader");
       }},
      {"ReadSmallTextFile",
       [](const std::string& p) {
         std::string text;
         return kqtext::ReadSmallTextFile(p, text, nullptr) != kqtext::ReadStatus::kOk;
       }},
      {"CRCCoder::GetCheckSum",
       [](const std::string& p) {
         CRCCoder coder;
         long crc = 0;
         return !coder.GetCheckSum(p.c_str(), crc);
       }},
      {"CalculateCRC",
       [](const std::string& p) {
         CPatchDebug events;
         unsigned long crc = 0;
         return CPatchInstallCommon::CalculateCRC(true, p, crc, events) != 0;
       }},
  };
}

TEST(FileReaders, NoReaderWaitsOnAFifoOrReadsADevice) {
  kqtest::ScopedConfig cfg;
  const std::string fifo = cfg.root() + "/pipe";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
  const std::string device = cfg.root() + "/device";
  ASSERT_EQ(0, ::symlink("/dev/null", device.c_str()));
  for (auto& reader : Readers()) {
    SCOPED_TRACE(reader.first);
    FifoWatch watch(fifo);
    EXPECT_TRUE(reader.second(fifo));
    EXPECT_FALSE(watch.Stop()) << "the reader waited for a writer";
    // /dev/null would read as an empty file; it is no file of ours.
    EXPECT_TRUE(reader.second(device));
  }
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("is not a regular file"));
}

TEST(FileReaders, AFolderChecksumOverAFifoFinishesAndFails) {
  kqtest::ScopedConfig cfg;
  const std::string root = cfg.root() + "/tree";
  kqtest::WriteFile(root + "/a.txt", "abc");
  const std::string fifo = root + "/sub/pipe";
  kqtest::WriteFile(root + "/sub/b.txt", "abc");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
  FifoWatch watch(fifo);
  KQUpdateCache cache(77, false);
  std::vector<UpdatePatches::File> out;
  EXPECT_FALSE(cache.CalculateFileCksumForDir(root, "", false, true, out));
  EXPECT_FALSE(watch.Stop()) << "a checksum task waited for a writer";
}

// A sparse file one byte above a cap costs no disk, and is read only by a reader without one.
void MakeSparse(const std::string& path, unsigned long long size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::ftruncate(fd, static_cast<off_t>(size)));
  ::close(fd);
}

TEST(FileReaders, FilesAboveTheCapsAreRefusedUnread) {
  kqtest::ScopedConfig cfg;
  const std::string big = cfg.root() + "/big";
  MakeSparse(big, std::max(kMaxMessageFileBytes, CPatchInstallCommon::kMaxWholeFileBytes) + 1);
  EvDebug log;
  UpdatePatches::CacheOpReq message;
  EXPECT_FALSE(KqLoadMessageFile(big, message, log, "Reader"));
  std::string text;
  EXPECT_NE(0u, CPatchInstallCommon::ReadWholeFile(big, text));

  const std::string small = cfg.root() + "/small";
  MakeSparse(small, kqtext::kMaxSmallTextFileBytes + 1);
  FullVersion v;
  EXPECT_FALSE(CPatchInstallCommon::GetMediaVersionFromFile(small, v));
  CPatchDebug events;
  nPatchDownload::tSupportedUpdatesInCopy record;
  EXPECT_NE(0u, CPatchInstallCommon::ReadConfigurationFromIniFile(small, record, events));
  std::string logText = kqtest::ReadFile(cfg.logFile());
  // Refused for their size, not read and then found wanting.
  size_t mentions = 0;
  for (size_t at = logText.find("is larger than"); at != std::string::npos;
       at = logText.find("is larger than", at + 1)) {
    ++mentions;
  }
  EXPECT_EQ(2u, mentions) << logText;
  EXPECT_NE(std::string::npos, logText.find("Failed in file operation on version file"));
  EXPECT_NE(std::string::npos, logText.find("larger than the size limit"));

  // Exactly at the cap is still read.
  MakeSparse(small, kqtext::kMaxSmallTextFileBytes);
  EXPECT_EQ(kqtext::ReadStatus::kOk, kqtext::ReadSmallTextFile(small, text, nullptr));
  EXPECT_EQ(kqtext::kMaxSmallTextFileBytes, text.size());
}

}  // namespace
