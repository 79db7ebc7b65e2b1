// The configuration store: missing versus empty values, numbers, absolute keys, clients, and
// whole-file reads while other processes rewrite the store.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "Configuration/KQClient.h"
#include "Configuration/KQGlobalParam.h"
#include "Configuration/KQPI.h"
#include "Configuration/KQPlatformInfo.h"
#include "KqTestEnv.h"

namespace {

TEST(Configuration, MissingIsToldApartFromEmpty) {
  kqtest::ScopedConfig cfg;
  kqtest::WriteFile(cfg.configPath(),
                    "top=1\r\n[UpdateFlags]\r\nnEmpty=\r\nnHex = 0x1F\r\nnOct=017\r\n"
                    "junk=12ab\r\n[base]\r\ndHOME=/opt/x \r\n");
  KQPlatformInfo pi;
  std::string s = "untouched";
  EXPECT_FALSE(pi.getString("UpdateFlags", "nMissing", s));
  EXPECT_EQ(s, "untouched");
  EXPECT_TRUE(pi.getString("updateflags", "NEMPTY", s));
  EXPECT_EQ(s, "");
  EXPECT_TRUE(pi.getString("", "top", s));
  EXPECT_EQ(s, "1");
  EXPECT_TRUE(pi.getString("Base", "dHOME", s));
  EXPECT_EQ(s, "/opt/x ");

  long long n = -1;
  EXPECT_TRUE(pi.getNumber("UpdateFlags", "nHex", n));
  EXPECT_EQ(n, 31);
  EXPECT_TRUE(pi.getNumber("UpdateFlags", "nOct", n));
  EXPECT_EQ(n, 15);
  n = -1;
  EXPECT_FALSE(pi.getNumber("UpdateFlags", "junk", n));
  EXPECT_FALSE(pi.getNumber("UpdateFlags", "nEmpty", n));
  EXPECT_EQ(n, -1);
}

TEST(Configuration, NumbersThatDoNotFitAreUnreadable) {
  kqtest::ScopedConfig cfg;
  cfg.set("S", "big", "99999999999");
  cfg.set("S", "huge", "999999999999999999999999");
  KQPlatformInfo pi;
  int i = 7;
  EXPECT_FALSE(pi.getNumber("S", "big", i));
  EXPECT_EQ(i, 7);
  long long ll = 7;
  EXPECT_TRUE(pi.getNumber("S", "big", ll));
  EXPECT_EQ(ll, 99999999999LL);
  EXPECT_FALSE(pi.getNumber("S", "huge", ll));
}

TEST(Configuration, WritesReplaceDeleteAndRejectLineBreaks) {
  kqtest::ScopedConfig cfg;
  KQPlatformInfo pi;
  EXPECT_TRUE(pi.setString("A", "v", "1"));
  EXPECT_TRUE(pi.setString("a", "V", "2"));
  std::map<std::string, std::string> values;
  ASSERT_TRUE(pi.getRegValues("A", values));
  EXPECT_EQ(values.size(), 1u);
  EXPECT_EQ(values["v"], "2");
  EXPECT_FALSE(pi.setString("A", "v", "two\nlines"));
  EXPECT_TRUE(pi.deleteValue("A", "v"));
  EXPECT_FALSE(pi.deleteValue("A", "v"));
  std::string s;
  EXPECT_FALSE(pi.getString("A", "v", s));
}

TEST(Configuration, AbsoluteKeysMapOntoThisInstance) {
  kqtest::ScopedConfig cfg;
  cfg.set("", "sPhysicalNodeName", "node-a");
  cfg.set("Sub\\Deeper", "x", "y");
  KQPlatformInfo pi;
  std::string base = "SOFTWARE\\Maker\\Product\\" + KQPI_Focus::getFocus();
  std::string v;
  EXPECT_TRUE(pi.getRegStringFromAbsPath(base, "sPhysicalNodeName", v));
  EXPECT_EQ(v, "node-a");
  EXPECT_TRUE(pi.getRegStringFromAbsPath(base + "\\Sub\\Deeper", "x", v));
  EXPECT_EQ(v, "y");
  EXPECT_FALSE(pi.getRegStringFromAbsPath("SOFTWARE\\Maker\\Product\\Other", "x", v));
  EXPECT_FALSE(pi.getRegStringFromAbsPath("SOFTWARE", "x", v));
}

TEST(Configuration, ClientsAndGlobalParameters) {
  kqtest::ScopedConfig cfg;
  cfg.set("Base", "dHOME", "/opt/hub");
  cfg.set("", "sProductVersion", "11.0.0.100");
  cfg.set("Client7", "sName", "remote-7");
  cfg.set("Client7", "dHOME", "/opt/r7");
  cfg.set("Hubnode", "nTessaraId", "4242");
  cfg.set("GlobalParams", "Patch Visibility Level", "3");

  std::string folder;
  EXPECT_EQ(KQClient(2).getInstallDirectory(folder, 1, nullptr), 0);
  EXPECT_EQ(folder, "/opt/hub");
  EXPECT_EQ(KQClient(2).getReleaseId(), 16u);
  EXPECT_EQ(KQClient(7).getInstallDirectory(folder, 1, nullptr), 0);
  EXPECT_EQ(folder, "/opt/r7");
  EXPECT_NE(KQClient(9).getInstallDirectory(folder, 1, nullptr), 0);
  unsigned long id = 0;
  EXPECT_EQ(KQClient("REMOTE-7", false, 0).getClientId(id), 7u);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(KQClient("nobody", false, 0).getClientId(id), 0u);
  EXPECT_EQ(KQPI_Hubnode::getTessaraId(), 4242u);
  std::string p;
  EXPECT_TRUE(KQGlobalParam().get("Patch Visibility Level", p));
  EXPECT_EQ(p, "3");
  EXPECT_FALSE(KQGlobalParam().getHubnodePatchDirectory(p));
}

// Two readers check that every read sees a whole file while a third process rewrites it.
TEST(Configuration, ReadersNeverSeeHalfAFile) {
  kqtest::ScopedConfig cfg;
  const int kValues = 40;
  for (int i = 0; i < kValues; ++i) cfg.set("Data", "v" + std::to_string(i), "0");

  pid_t writer = fork();
  if (writer == 0) {
    KQPlatformInfo pi;
    bool ok = true;
    for (int round = 1; round <= 150; ++round)
      ok = ok && pi.setString("Data", "v" + std::to_string(round % kValues),
                              std::to_string(round));
    _exit(ok ? 0 : 1);
  }
  pid_t readers[2];
  for (pid_t& r : readers) {
    r = fork();
    if (r == 0) {
      KQPlatformInfo pi;
      for (int round = 0; round < 300; ++round) {
        std::map<std::string, std::string> values;
        if (!pi.getRegValues("Data", values) || values.size() != kValues) _exit(1);
        std::string last;
        if (!pi.getString("Data", "v" + std::to_string(kValues - 1), last)) _exit(2);
      }
      _exit(0);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (pid_t r : readers) {
    ASSERT_EQ(waitpid(r, &status, 0), r);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader saw a partial store";
  }
}

}  // namespace
