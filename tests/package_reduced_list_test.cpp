// Reading a reduced-package list file back into files and folders of the media.
#include <filesystem>

#include "MediaTestEnv.h"

namespace kqtest {
namespace {

class ReducedListTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    media_ = config.root() + "/dvd";
    WriteFile(media_ + "/a.txt", "12345");
    WriteFile(media_ + "/sub/x.bin", "1234567");
    WriteFile(media_ + "/sub/deeper/y.bin", "12");
    temp_ = config.root() + "/tmp";
  }
  // A catalogue with its temp folder in use, set to the test's folder.
  std::unique_ptr<KQPackageCache> WithTemp() {
    auto c = std::make_unique<KQPackageCache>(cacheRoot(), false, 3, true);
    EXPECT_TRUE(c->SetTempPath(temp_ + "/"));
    return c;
  }
  std::string media_, temp_;
  std::list<std::string> files_{"kept"}, folders_;
  unsigned long long size_ = 100;
};

TEST_F(ReducedListTest, ReadsFilesAndFoldersWithTheirSizes) {
  WriteFile(temp_ + "/Install/InstallPkgs-Out.txt", "a.txt\r\n\r\nsub\r\n");
  auto c = WithTemp();
  ASSERT_TRUE(c->ComputeFileList("", media_ + "\\", files_, folders_, size_, 3));
  EXPECT_EQ((std::list<std::string>{"kept", "a.txt"}), files_);
  EXPECT_EQ((std::list<std::string>{"sub"}), folders_);
  EXPECT_EQ(100u + 5 + 7 + 2, size_);
}

TEST_F(ReducedListTest, NoListFileAddsNothing) {
  auto c = WithTemp();
  EXPECT_TRUE(c->ComputeFileList("Pkgs", media_, files_, folders_, size_, 3));
  EXPECT_EQ(1u, files_.size());
  EXPECT_EQ(100u, size_);
  EXPECT_TRUE(std::filesystem::is_directory(temp_ + "/Install"));
}

TEST_F(ReducedListTest, NamesAreMadeSafeForAFileName) {
  WriteFile(temp_ + "/Install/a_b_c-Out.txt", "a.txt\n");
  WriteFile(temp_ + "/Install/x\\y-Out.txt", "sub\n");
  auto c = WithTemp();
  ASSERT_TRUE(c->ComputeFileList("a/b:c", media_, files_, folders_, size_, 3));
  ASSERT_TRUE(c->ComputeFileList("x\\y", media_, files_, folders_, size_, 3));
  EXPECT_EQ((std::list<std::string>{"kept", "a.txt"}), files_);
  EXPECT_EQ((std::list<std::string>{"sub"}), folders_);
}

TEST_F(ReducedListTest, WithoutTempFolderTheCacheDeploymentFolderIsUsed) {
  WriteFile(cacheRoot() + "/Deployment/Install/P-Out.txt", "a.txt\n");
  WriteFile(cacheRoot() + "/Deployment/Upgrade/P-Out.txt", "sub\n");
  KQPackageCache c(cacheRoot(), false, 3, false);
  ASSERT_TRUE(c.ComputeFileList("P", media_, files_, folders_, size_, 3));
  ASSERT_TRUE(c.ComputeFileList("P", media_, files_, folders_, size_, 1));
  EXPECT_EQ((std::list<std::string>{"kept", "a.txt"}), files_);
  EXPECT_EQ((std::list<std::string>{"sub"}), folders_);
}

TEST_F(ReducedListTest, MissingOrOutsideEntriesFailAfterTheEarlierOnes) {
  WriteFile(temp_ + "/Install/P-Out.txt", "a.txt\nnope.txt\nsub\n");
  auto c = WithTemp();
  EXPECT_FALSE(c->ComputeFileList("P", media_, files_, folders_, size_, 3));
  EXPECT_EQ((std::list<std::string>{"kept", "a.txt"}), files_);
  EXPECT_TRUE(folders_.empty());
  EXPECT_NE(std::string::npos, c->getErrMsg().find("[ File" + media_ + "/nope.txt is missing ]"));

  WriteFile(config.root() + "/secret", "s");
  WriteFile(temp_ + "/Install/Q-Out.txt", "../secret\n");
  unsigned long long before = size_;
  EXPECT_FALSE(c->ComputeFileList("Q", media_, files_, folders_, size_, 3));
  EXPECT_EQ(before, size_);
  WriteFile(temp_ + "/Install/R-Out.txt", "/etc/hostname\n");
  EXPECT_FALSE(c->ComputeFileList("R", media_, files_, folders_, size_, 3));
  EXPECT_EQ(before, size_);
}

TEST_F(ReducedListTest, EmptyTempFolderIsRefused) {
  auto c = std::make_unique<KQPackageCache>(cacheRoot(), false, 3, true);
  EXPECT_TRUE(c->SetTempPath(""));
  EXPECT_FALSE(c->ComputeFileList("P", media_, files_, folders_, size_, 3));
  EXPECT_EQ("Temp Directory is not set", c->getErrMsg());
}

}  // namespace
}  // namespace kqtest
