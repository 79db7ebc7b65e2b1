// The stored password's key file: only a regular file of the process's own user with mode 0600
// is used, nothing put in its place makes a caller wait, processes that make the key at the
// same moment all succeed with one key, and no key is made or used below another user's folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KqTestEnv.h"
#include "LockHelpers.h"
#include "Logging/EvDebug.h"
#include "Password/KQPassword.h"
#include "PrivateTmp.h"
#include "Unprivileged.h"

namespace {

// Helper "encrypt <fifo>": prints "ready", waits until the test opens the FIFO for writing (so
// that all helpers start together), encrypts one text and prints its stored form, or "failed".
int RunHelper(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[2], "encrypt") != 0) return 2;
  std::printf("ready\n");
  std::fflush(stdout);
  const int go = open(argv[3], O_RDONLY | O_CLOEXEC);
  if (go < 0) return 3;
  std::string stored;
  const bool ok = KQPassword::encrypt("one text", stored) != 0;
  close(go);
  std::printf("%s\n", ok ? stored.c_str() : "failed");
  std::fflush(stdout);
  return 0;
}

std::string Decrypted(const std::string& stored) {
  char clear[64];
  unsigned int length = sizeof clear - 1;
  return KQPassword::decrypt(stored.c_str(), clear, length) != 0 ? clear : "(refused)";
}

TEST(PasswordKey, OnlyARegularFileOfOurOwnWithMode0600IsUsed) {
  kqtest::ScopedConfig cfg;
  const std::string key = cfg.root() + "/password.key";
  cfg.set("Security", "sPasswordKeyFile", key);
  std::string stored, other;
  ASSERT_NE(KQPassword::encrypt("pass", stored), 0);
  ASSERT_EQ(Decrypted(stored), "pass");

  for (mode_t mode : {0644, 0604, 0640, 0400}) {
    ASSERT_EQ(chmod(key.c_str(), mode), 0);
    EXPECT_EQ(Decrypted(stored), "(refused)") << std::oct << mode;
    EXPECT_EQ(KQPassword::encrypt("x", other), 0) << std::oct << mode;  // not replaced either
  }
  ASSERT_EQ(chmod(key.c_str(), 0600), 0);
  EXPECT_EQ(Decrypted(stored), "pass");
  if (geteuid() == 0) {  // a key of another user
    ASSERT_EQ(chown(key.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Decrypted(stored), "(refused)");
    ASSERT_EQ(chown(key.c_str(), 0, 0), 0);
  }
  const std::string log = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(log.find("has mode [0644], not 0600"), std::string::npos) << log;

  // A FIFO in the key's place: both refuse at once. Should one block, opening the FIFO for
  // writing lets it go, so that the test ends either way.
  ASSERT_EQ(unlink(key.c_str()), 0);
  ASSERT_EQ(mkfifo(key.c_str(), 0600), 0);
  auto both = std::async(std::launch::async, [&] {
    std::string text;
    return Decrypted(stored) + " " + std::to_string(KQPassword::encrypt("x", text));
  });
  if (both.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "blocked on a FIFO";
    for (int i = 0; i < 2; ++i) {
      const int release = open(key.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (release >= 0) close(release);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  EXPECT_EQ(both.get(), "(refused) 0");
  EXPECT_NE(kqtest::ReadFile(cfg.logFile()).find("is not a regular file"), std::string::npos);
}

TEST(PasswordKey, ProcessesMakingTheKeyAtOnceAllSucceedWithOneKey) {
  kqtest::ScopedConfig cfg;
  const std::string go = cfg.root() + "/go";
  ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
  for (int round = 0; round < 10; ++round) {
    const std::string key = cfg.root() + "/key" + std::to_string(round);
    cfg.set("Security", "sPasswordKeyFile", key);
    std::vector<std::unique_ptr<kqtest::HelperProcess>> helpers;
    for (int i = 0; i < 12; ++i)
      helpers.emplace_back(new kqtest::HelperProcess({"encrypt", go}, 0));
    for (auto& helper : helpers) ASSERT_EQ(helper->ReadLine(), "ready");
    const int start = open(go.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(start, 0);
    std::vector<std::string> stored;
    for (auto& helper : helpers) stored.push_back(helper->ReadLine());
    close(start);
    for (auto& helper : helpers) EXPECT_EQ(helper->Finish(), 0);
    for (const std::string& text : stored) EXPECT_EQ(Decrypted(text), "one text") << "round " << round;
  }
  size_t keys = 0;  // no temporary key is left behind
  for (const auto& entry : std::filesystem::directory_iterator(cfg.root()))
    keys += entry.path().filename().string().compare(0, 3, "key") == 0;
  EXPECT_EQ(keys, 10u);
}

// In a private /tmp, user 65534 makes /tmp/shared first, as a link to a folder of theirs and then
// as a folder of theirs. With the key configured in it, root makes no key there, and does not use
// the key it made there before (which they could swap at will); a key file of theirs in root's
// own folder is refused too.
TEST(PasswordKey, NoKeyIsMadeOrUsedBelowAnotherUsersFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  kqtest::ScopedConfig cfg;
  const int rc = kqtest::RunWithPrivateTmp(cfg.root(), [&] {
    const std::string own = "/tmp/own/password.key", planted = "/tmp/shared/password.key";
    cfg.set("Security", "sPasswordKeyFile", own);
    std::string stored, other;
    if (mkdir("/tmp/own", 0700) != 0 || KQPassword::encrypt("pass", stored) == 0) return 100;
    int failed = 0;
    for (bool asLink : {true, false}) {
      const std::string theirs = asLink ? "/tmp/theirs" : "/tmp/shared";
      if (kqtest::RunUnprivileged([&] {
            return mkdir(theirs.c_str(), 0755) == 0 &&
                           (!asLink || symlink("/tmp/theirs", "/tmp/shared") == 0)
                       ? 0
                       : 1;
          }) != 0)
        return 101;
      cfg.set("Security", "sPasswordKeyFile", planted);
      if (KQPassword::encrypt("x", other) != 0 || !kqtest::TreeManifest(theirs).empty())
        failed |= 1 << asLink;
      kqtest::WriteFile(theirs + "/password.key", kqtest::ReadFile(own));
      if (chmod((theirs + "/password.key").c_str(), 0600) != 0) return 102;
      if (Decrypted(stored) != "(refused)") failed |= 4 << asLink;
      unlink((theirs + "/password.key").c_str());
      if (asLink) unlink("/tmp/shared");
    }
    cfg.set("Security", "sPasswordKeyFile", own);
    if (chown(own.c_str(), 65534, 65534) != 0) return 103;
    if (Decrypted(stored) != "(refused)" || KQPassword::encrypt("x", other) != 0) failed |= 16;
    return failed;
  });
  if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(rc, 0) << "bits 0/1 made, 2/3 used in a folder/link of theirs; 4 theirs used";
  const std::string log = kqtest::ReadFile(cfg.logFile());
  for (const char* why : {"folder [/tmp/shared] is a symbolic link",
                          "folder [/tmp/shared] is owned by user 65534"})
    EXPECT_NE(log.find(std::string("Refusing the key file [/tmp/shared/password.key]: ") + why),
              std::string::npos) << log;
}

// Each failure says why where an administrator looks: before any key was made there is simply
// none yet (nothing refused, nothing made); a refused key is told on stderr as well, once; with
// the store refused, the store is named, and there is no log file to point at.
TEST(PasswordKey, EachFailureSaysWhyWhereAnAdministratorLooks) {
  kqtest::ScopedConfig cfg;
  const std::string at = cfg.root(), key = at + "/keys/password.key", errors = at + "/stderr";
  const std::string site = at + "/site/config.ini";
  cfg.set("Security", "sPasswordKeyFile", at + "/made.key");
  std::string stored;
  ASSERT_NE(KQPassword::encrypt("pass", stored), 0);
  cfg.set("Security", "sPasswordKeyFile", key);
  EXPECT_EQ(Decrypted(stored), "(refused)");
  EXPECT_NE(kqtest::ReadFile(cfg.logFile()).find("There is no key file [" + key + "] yet"),
            std::string::npos);
  EXPECT_EQ(kqtest::ReadFile(cfg.logFile()).find("Refusing"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(at + "/keys"));

  kqtest::WriteFile(site, "[Security]\nsPasswordKeyFile=" + key + "\n");
  ASSERT_EQ(chmod((at + "/site").c_str(), 0775), 0);
  ASSERT_EQ(mkdir((at + "/keys").c_str(), 0700), 0);
  ASSERT_EQ(rename((at + "/made.key").c_str(), key.c_str()), 0);
  ASSERT_EQ(chmod(key.c_str(), 0644), 0);
  auto enter = [&] {
    const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    return fd >= 0 && dup2(fd, 2) == 2;
  };
  const int rc = kqtest::RunInChild(enter, 64, [&] {
    int failed = Decrypted(stored) != "(refused)" || Decrypted(stored) != "(refused)";
    setenv("KQ_CONFIG", site.c_str(), 1);
    std::string other;
    failed |= (KQPassword::encrypt("x", other) != 0) << 1;
    failed |= !EvDebug().logFilePath().empty() << 2;
    return failed;
  });
  EXPECT_EQ(rc, 0) << "1: a refused key used, 2: encrypted with the store refused, 4: a log file";
  const std::string said = kqtest::ReadFile(errors);
  const std::string mode = "KQPassword: Key file [" + key + "] has mode [0644], not 0600\n";
  EXPECT_NE(said.find(mode), std::string::npos) << said;
  EXPECT_EQ(said.find(mode), said.rfind(mode)) << said;
  EXPECT_NE(said.find("No password key file: the configuration store [" + site + "] is refused"),
            std::string::npos) << said;
  EXPECT_EQ(said.find("No password key file is configured"), std::string::npos) << said;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--kq-lock-helper") == 0) return RunHelper(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
