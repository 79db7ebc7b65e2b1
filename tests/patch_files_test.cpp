// File and folder utilities of the patch jobs, on real temporary trees.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KqTestEnv.h"
#include "PrivateTmp.h"
#include "Logging/EvDebug.h"
#include "ZipFixture.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"

using nPatchDownload::CPatchInstallCommon;
using namespace nPatchDownload;

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void MakeDir(const std::string& path) { ASSERT_EQ(0, ::mkdir(path.c_str(), 0755)) << path; }

class PatchFilesTest : public ::testing::Test {
 protected:
  std::string At(const std::string& rel) const { return cfg_.root() + "/" + rel; }
  kqtest::ScopedConfig cfg_;
};

TEST_F(PatchFilesTest, ReadWholeFile) {
  std::string text;
  kqtest::WriteFile(At("plain.xml"), "<a>hello</a>\n");
  ASSERT_EQ(0u, CPatchInstallCommon::ReadWholeFile(At("plain.xml"), text));
  EXPECT_EQ("<a>hello</a>\n", text);

  kqtest::WriteFile(At("zero.bin"), std::string("before\0after", 12));
  ASSERT_EQ(0u, CPatchInstallCommon::ReadWholeFile(At("zero.bin"), text));
  EXPECT_EQ("before", text);

  kqtest::WriteFile(At("empty"), "");
  ASSERT_EQ(0u, CPatchInstallCommon::ReadWholeFile(At("empty"), text));
  EXPECT_EQ("", text);

  text = "kept";
  EXPECT_EQ(KQ_PATCH_E_FILE_IO, CPatchInstallCommon::ReadWholeFile(At("missing"), text));
  EXPECT_EQ(KQ_PATCH_E_FILE_IO, CPatchInstallCommon::ReadWholeFile(cfg_.root(), text));
  EXPECT_EQ("kept", text);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(PatchFilesTest, ReadWholeFileBeyondFourGiBIsNotReadShort) {
  // A sparse file of 4 GiB + 5 bytes, read by a child whose address space is capped at 1 GiB:
  // it is refused as out of memory for its whole length, not read as 5 bytes.
  std::string path = At("big.sparse");
  kqtest::WriteFile(path, "");
  ASSERT_EQ(0, ::truncate(path.c_str(), (1LL << 32) + 5));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct rlimit limit = {1LL << 30, 1LL << 30};
    ::setrlimit(RLIMIT_AS, &limit);
    std::string text = "kept";
    unsigned int rc = CPatchInstallCommon::ReadWholeFile(path, text);
    _exit(rc == KQ_PATCH_E_OUTOFMEMORY && text == "kept" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  std::string log = kqtest::ReadFile(cfg_.logFile());
  EXPECT_NE(std::string::npos, log.find("is larger than 536870912 bytes"));
}
#endif

TEST_F(PatchFilesTest, ExtractZipFileWithFullPathsAndByFileSpec) {
  std::string archive = At("good.zip");
  kqtest::WriteZip(archive, {{"a/b.txt", "hello"}, {"x/update.ini", "[NAME]=u"}});

  ASSERT_EQ(0u, CPatchInstallCommon::ExtractZipFile("", archive, At("full"), "", false, false));
  EXPECT_EQ("hello", kqtest::ReadFile(At("full/a/b.txt")));
  EXPECT_EQ("[NAME]=u", kqtest::ReadFile(At("full/x/update.ini")));

  ASSERT_EQ(0u, CPatchInstallCommon::ExtractZipFile("/usr/bin", archive, At("flat"), "update.ini",
                                                    true, false));
  EXPECT_EQ("[NAME]=u", kqtest::ReadFile(At("flat/update.ini")));
  EXPECT_FALSE(Exists(At("flat/b.txt")));

  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT,
            CPatchInstallCommon::ExtractZipFile("/nonexistent/7z", archive, At("none"), "", true,
                                                false));
  EXPECT_FALSE(Exists(At("none")));
}

TEST_F(PatchFilesTest, FailedExtractionKeepsAPreExistingDestination) {
  std::string hostile = At("hostile.zip");
  kqtest::WriteZip(hostile, {{"ok.txt", "x"}, {"../escaped.txt", "bad"}});
  std::string good = kqtest::BuildZip({{"a.txt", std::string(3000, 'a')}, {"b.txt", "b"}});
  std::string truncated = At("truncated.zip");
  kqtest::WriteZip(truncated, {{"a.txt", std::string(3000, 'a')}, {"b.txt", "b"}}, good.size() / 2);

  for (const std::string& archive : {hostile, truncated}) {
    SCOPED_TRACE(archive);
    // The destination was there before: it survives with what it held.
    std::string dest = At("existing");
    kqtest::WriteFile(dest + "/mine.txt", "mine");
    EXPECT_EQ(KQ_PATCH_E_EXTRACTION,
              CPatchInstallCommon::ExtractZipFile("", archive, dest, "", true, false));
    EXPECT_EQ("mine", kqtest::ReadFile(dest + "/mine.txt"));
    EXPECT_FALSE(Exists(At("escaped.txt")));
    EXPECT_FALSE(Exists(dest + "/ok.txt"));

    // A destination this call made is removed again.
    std::string fresh = At("fresh/sub");
    EXPECT_EQ(KQ_PATCH_E_EXTRACTION,
              CPatchInstallCommon::ExtractZipFile("", archive, fresh, "", true, true));
    EXPECT_FALSE(Exists(fresh));
    EXPECT_EQ(KQ_PATCH_E_EXTRACTION,
              CPatchInstallCommon::ExtractZipFile("", archive, fresh, "ok.txt", true, true));
    EXPECT_FALSE(Exists(fresh));
  }
}

// A zip made by the 7-Zip program of "zeros.bin" (`bytes` zero bytes, so it packs to almost
// nothing) and "small.txt" (5 bytes).
std::string MakeExpandingZip(const std::string& folder, long long bytes) {
  const std::string source = folder + "/src";
  kqtest::WriteFile(source + "/small.txt", "small");
  kqtest::WriteFile(source + "/zeros.bin", "");
  EXPECT_EQ(0, ::truncate((source + "/zeros.bin").c_str(), bytes));
  const std::string archive = folder + "/expanding.zip";
  const std::string cmd = "cd '" + source + "' && 7z a -tzip -mx=1 '" + archive +
                          "' zeros.bin small.txt >/dev/null 2>&1";
  EXPECT_EQ(0, std::system(cmd.c_str()));
  return archive;
}

long long FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

TEST_F(PatchFilesTest, AnArchiveBeyondTheConfiguredReserveIsRefusedUnwritten) {
  const std::string archive = MakeExpandingZip(At("z"), 1 << 20);
  const std::string dest = At("existing");
  kqtest::WriteFile(dest + "/mine.txt", "mine");
  // A reserve of 1 PiB leaves no file system room for even the smallest entry.
  cfg_.set("MediaAccess", "nFreeSpaceReserveMB", "1073741824");
  for (const std::string& spec : {std::string(), std::string("small.txt")}) {
    SCOPED_TRACE(spec);
    EXPECT_EQ(KQ_PATCH_E_DISK_SPACE,
              CPatchInstallCommon::ExtractZipFile("", archive, dest, spec, true, false));
    EXPECT_EQ(1u, kqtest::TreeManifest(dest).size()) << "only the file that was there before";
    EXPECT_EQ(KQ_PATCH_E_DISK_SPACE,
              CPatchInstallCommon::ExtractZipFile("", archive, At("fresh"), spec, true, false));
    EXPECT_FALSE(Exists(At("fresh")));
  }
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find("less a reserve of"));
  // Without the reserve it fits.
  cfg_.set("MediaAccess", "nFreeSpaceReserveMB", "0");
  EXPECT_EQ(0u, CPatchInstallCommon::ExtractZipFile("", archive, dest, "", true, false));
  EXPECT_EQ(1 << 20, FileSize(dest + "/zeros.bin"));
}

TEST_F(PatchFilesTest, AnArchiveBeyondTheFreeSpaceOfItsFileSystemIsRefusedUnwritten) {
  // 64 MiB packed into a zip of kilobytes, extracted onto a 16 MiB file system of its own (a
  // tmpfs in a mount namespace of a child, gone with it).
  const long long expanded = 64LL << 20;
  const std::string archive = MakeExpandingZip(At("z"), expanded);
  const std::string mountPoint = At("small-fs");
  MakeDir(mountPoint);
  std::fflush(stdout);
  const int rc = kqtest::RunInOwnMounts(
      [&] { return ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=16m") == 0; },
      [&] {
        unsigned long freeKiB = 0;
        CPatchInstallCommon::GetFreeDiskSpaces(mountPoint, freeKiB);
        const std::string dest = mountPoint + "/dest";
        const unsigned int whole =
            CPatchInstallCommon::ExtractZipFile("", archive, dest, "", true, false);
        const bool untouched = !Exists(dest) && FileSize(mountPoint) >= 0;
        const unsigned int flat =
            CPatchInstallCommon::ExtractZipFile("", archive, dest, "small.txt", true, false);
        std::printf("archive case: [%s] (%lld bytes) claims [%lld] bytes; free on the 16 MiB file "
                    "system [%lu] KiB, reserve 1 MiB; whole extraction -> 0x%08X, destination "
                    "%s; \"small.txt\" alone -> 0x%08X\n",
                    archive.c_str(), FileSize(archive), expanded, freeKiB, whole,
                    untouched ? "not created" : "CREATED", flat);
        std::fflush(stdout);
        return whole == KQ_PATCH_E_DISK_SPACE && untouched && flat == 0 &&
                       kqtest::ReadFile(dest + "/small.txt") == "small"
                   ? 0
                   : 1;
      });
  if (rc == kqtest::kOwnMountsUnavailable) GTEST_SKIP() << "no mount namespace with a tmpfs";
  EXPECT_EQ(0, rc);
}

TEST_F(PatchFilesTest, CreateTempFolder) {
  EvDebug log;
  std::string path = "untouched";
  EXPECT_EQ(KQ_PATCH_E_CONFIG_MISSING, CPatchInstallCommon::CreateTempFolder("job1", path, log, false));
  EXPECT_EQ("untouched", path);
  cfg_.set("Base", "dHOME", "home");  // relative: it would land below the working folder
  EXPECT_EQ(KQ_PATCH_E_CONFIG_MISSING, CPatchInstallCommon::CreateTempFolder("job1", path, log, true));
  EXPECT_EQ("untouched", path);

  cfg_.set("Base", "dHOME", At("home"));
  ASSERT_EQ(0u, CPatchInstallCommon::CreateTempFolder("job1", path, log, false));
  EXPECT_EQ(At("home/Temp/job1"), path);
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(path));

  kqtest::WriteFile(path + "/old.txt", "old");
  ASSERT_EQ(0u, CPatchInstallCommon::CreateTempFolder("job1", path, log, false));
  EXPECT_TRUE(Exists(path + "/old.txt"));
  ASSERT_EQ(0u, CPatchInstallCommon::CreateTempFolder("job1", path, log, true));
  EXPECT_FALSE(Exists(path + "/old.txt"));
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(path));
}

TEST_F(PatchFilesTest, CreateTempFolderRefusesNamesLeavingTemp) {
  EvDebug log;
  cfg_.set("Base", "dHOME", At("home"));
  kqtest::WriteFile(At("home/precious/file.txt"), "keep");
  kqtest::WriteFile(At("home/Temp/a/b/file.txt"), "keep");
  for (const char* name : {"..", "../precious", "a/b", "/etc", "", ".", "a\\..\\.."}) {
    SCOPED_TRACE(name);
    std::string path = "untouched";
    EXPECT_EQ(KQ_PATCH_E_INVALIDARG, CPatchInstallCommon::CreateTempFolder(name, path, log, true));
    EXPECT_EQ("untouched", path);
  }
  EXPECT_EQ("keep", kqtest::ReadFile(At("home/precious/file.txt")));
  EXPECT_EQ("keep", kqtest::ReadFile(At("home/Temp/a/b/file.txt")));
}

TEST_F(PatchFilesTest, CreateTempFolderRemovesALinkNotItsTarget) {
  EvDebug log;
  cfg_.set("Base", "dHOME", At("home"));
  kqtest::WriteFile(At("outside/file.txt"), "keep");
  kqtest::WriteFile(At("home/Temp/.keep"), "");
  ASSERT_EQ(0, ::symlink(At("outside").c_str(), At("home/Temp/linked").c_str()));
  std::string path;
  ASSERT_EQ(0u, CPatchInstallCommon::CreateTempFolder("linked", path, log, true));
  EXPECT_EQ("keep", kqtest::ReadFile(At("outside/file.txt")));
  struct stat st;
  ASSERT_EQ(0, ::lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));  // a real folder now, not the link
}

TEST_F(PatchFilesTest, ExistenceTestsAndSizes) {
  kqtest::WriteFile(At("f.txt"), "12345");
  EXPECT_TRUE(CPatchInstallCommon::IsFileExisted(At("f.txt")));
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(At("f.txt")));
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(cfg_.root()));
  EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(cfg_.root()));
  EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(At("missing")));
  EXPECT_TRUE(isFileOrFolderExisted(At("f.txt"), S_IFREG | S_IFDIR));

  EXPECT_EQ(5u, CPatchInstallCommon::GetFileSize(At("f.txt")));
  EXPECT_EQ(0u, CPatchInstallCommon::GetFileSize(At("missing")));
  EXPECT_EQ(0u, CPatchInstallCommon::GetFileSize(cfg_.root()));

  unsigned long freeKiB = 0;
  EXPECT_EQ(0u, CPatchInstallCommon::GetFreeDiskSpaces(cfg_.root(), freeKiB));
  EXPECT_GT(freeKiB, 0u);
  EXPECT_NE(0u, CPatchInstallCommon::GetFreeDiskSpaces(At("missing/x"), freeKiB));
}

TEST_F(PatchFilesTest, CreateAndDeleteDirectories) {
  ASSERT_EQ(0u, CPatchInstallCommon::CreateDirectories(At("a/b/c")));
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(At("a/b/c")));
  ASSERT_EQ(0u, CPatchInstallCommon::CreateDirectories(At("a/b/c")));  // exists: fine
  kqtest::WriteFile(At("file"), "");
  EXPECT_NE(0u, CPatchInstallCommon::CreateDirectories(At("file/sub")));

  kqtest::WriteFile(At("outside/keep.txt"), "keep");
  ASSERT_EQ(0, ::symlink(At("outside").c_str(), At("a/b/link").c_str()));
  ASSERT_EQ(0u, CPatchInstallCommon::DeleteDirectories(At("a")));
  EXPECT_FALSE(Exists(At("a")));
  EXPECT_EQ("keep", kqtest::ReadFile(At("outside/keep.txt")));
  EXPECT_EQ(0u, CPatchInstallCommon::DeleteDirectories(At("a")));  // missing counts as deleted
}

TEST_F(PatchFilesTest, CopySingleFile) {
  kqtest::WriteFile(At("src.txt"), "data");
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, CPatchInstallCommon::CopySingleFile("", At("d.txt")));
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, CPatchInstallCommon::CopySingleFile(At("src.txt"), ""));

  ASSERT_EQ(0u, CPatchInstallCommon::CopySingleFile(At("src.txt"), At("new/deep/d.txt")));
  EXPECT_EQ("data", kqtest::ReadFile(At("new/deep/d.txt")));
  EXPECT_NE(0u, CPatchInstallCommon::CopySingleFile(At("missing.txt"), At("new/e.txt")));
  EXPECT_FALSE(Exists(At("new/e.txt")));

  // A bare file name lands in the current folder, as a file.
  char cwd[4096];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, ::chdir(cfg_.root().c_str()));
  unsigned int rc = CPatchInstallCommon::CopySingleFile(At("src.txt"), "bare.txt");
  ASSERT_EQ(0, ::chdir(cwd));
  ASSERT_EQ(0u, rc);
  EXPECT_TRUE(CPatchInstallCommon::IsFileExisted(At("bare.txt")));
  EXPECT_EQ("data", kqtest::ReadFile(At("bare.txt")));
}

TEST_F(PatchFilesTest, UniqueFolderNames) {
  std::string path = At("x");
  ASSERT_EQ(0u, CPatchInstallCommon::GetUniqueFolderName(path));
  EXPECT_EQ(At("x"), path);
  MakeDir(At("x"));
  MakeDir(At("x_0"));
  ASSERT_EQ(0u, CPatchInstallCommon::GetUniqueFolderName(path));
  EXPECT_EQ(At("x_1"), path);
  // A dangling link holds its name as well.
  ASSERT_EQ(0, ::symlink("/nonexistent", At("x_1").c_str()));
  path = At("x");
  ASSERT_EQ(0u, CPatchInstallCommon::GetUniqueFolderName(path));
  EXPECT_EQ(At("x_2"), path);
}

TEST_F(PatchFilesTest, WriteStringToFileReplacesTheWholeFile) {
  ASSERT_EQ(0u, CPatchInstallCommon::WriteStringToFile("a long first text", At("w.txt")));
  ASSERT_EQ(0u, CPatchInstallCommon::WriteStringToFile("short", At("w.txt")));
  EXPECT_EQ("short", kqtest::ReadFile(At("w.txt")));
  EXPECT_NE(0u, CPatchInstallCommon::WriteStringToFile("x", At("missing/w.txt")));
}

TEST_F(PatchFilesTest, CopyFolderReplacesTheDestination) {
  kqtest::WriteFile(At("src/a.txt"), "a");
  kqtest::WriteFile(At("src/sub/b.txt"), "b");
  kqtest::WriteFile(At("dst/stale.txt"), "stale");
  ASSERT_EQ(0u, CPatchInstallCommon::CopyFolder(At("src"), At("dst"), false));
  EXPECT_EQ("a", kqtest::ReadFile(At("dst/a.txt")));
  EXPECT_EQ("b", kqtest::ReadFile(At("dst/sub/b.txt")));
  EXPECT_FALSE(Exists(At("dst/stale.txt")));
  EXPECT_EQ(1u, CPatchInstallCommon::CopyFolder(At("missing"), At("dst2"), false));
}

TEST_F(PatchFilesTest, CopyLooseFiles) {
  kqtest::WriteFile(At("src/a.txt"), "a");
  kqtest::WriteFile(At("src/b.ini"), "b");
  kqtest::WriteFile(At("src/Docs/x.txt"), "x");
  kqtest::WriteFile(At("src/linux-x8664/y.bin"), "y");
  kqtest::WriteFile(At("src/BinaryPayload/z.bin"), "z");

  // Without the flag only the files directly inside the source are copied.
  ASSERT_EQ(0u, CPatchInstallCommon::CopyLooseFiles(At("src"), At("files"), false));
  EXPECT_EQ("a", kqtest::ReadFile(At("files/a.txt")));
  EXPECT_EQ("b", kqtest::ReadFile(At("files/b.ini")));
  EXPECT_FALSE(Exists(At("files/Docs")));
  EXPECT_FALSE(Exists(At("files/linux-x8664")));

  // With it, folders that are no operating-system folders come along too.
  ASSERT_EQ(0u, CPatchInstallCommon::CopyLooseFiles(At("src"), At("all"), true));
  EXPECT_EQ("a", kqtest::ReadFile(At("all/a.txt")));
  EXPECT_EQ("x", kqtest::ReadFile(At("all/Docs/x.txt")));
  EXPECT_FALSE(Exists(At("all/linux-x8664")));
  EXPECT_FALSE(Exists(At("all/BinaryPayload")));

  EXPECT_NE(0u, CPatchInstallCommon::CopyLooseFiles(At("missing"), At("none"), true));
}

TEST_F(PatchFilesTest, CopiesNeverRemoveTheirOwnSource) {
  kqtest::WriteFile(At("p/src/a.txt"), "a");
  kqtest::WriteFile(At("p/sibling.txt"), "s");
  // The destination holds the source: removing it first would lose both.
  EXPECT_EQ(KQ_PATCH_E_INVALIDARG, CPatchInstallCommon::CopyFolder(At("p/src"), At("p"), false));
  EXPECT_EQ(KQ_PATCH_E_INVALIDARG, CPatchInstallCommon::CopyFolder(At("p/src"), At("p/src/."), false));
  EXPECT_EQ(KQ_PATCH_E_INVALIDARG, CPatchInstallCommon::CopyFolder(At("p"), At("p/src/inner"), false));
  EXPECT_EQ("a", kqtest::ReadFile(At("p/src/a.txt")));
  EXPECT_EQ("s", kqtest::ReadFile(At("p/sibling.txt")));

  kqtest::WriteFile(At("x/Docs/d.txt"), "d");
  kqtest::WriteFile(At("x/f.txt"), "f");
  EXPECT_EQ(KQ_PATCH_E_INVALIDARG, CPatchInstallCommon::CopyLooseFiles(At("x"), At("x"), true));
  EXPECT_EQ(KQ_PATCH_E_INVALIDARG, CPatchInstallCommon::CopyLooseFiles(At("x"), At("x/"), true));
  EXPECT_EQ("d", kqtest::ReadFile(At("x/Docs/d.txt")));
  EXPECT_EQ("f", kqtest::ReadFile(At("x/f.txt")));
}

TEST_F(PatchFilesTest, CopyLooseFilesCopiesLinksAsLinks) {
  kqtest::WriteFile(At("outside/secret.txt"), "secret");
  kqtest::WriteFile(At("src/a.txt"), "a");
  ASSERT_EQ(0, ::symlink(At("outside/secret.txt").c_str(), At("src/file-link").c_str()));
  ASSERT_EQ(0, ::symlink(At("outside").c_str(), At("src/Docs").c_str()));
  // A link already in the destination, where a file of the source goes.
  MakeDir(At("dst"));
  ASSERT_EQ(0, ::symlink(At("outside/secret.txt").c_str(), At("dst/a.txt").c_str()));
  ASSERT_EQ(0u, CPatchInstallCommon::CopyLooseFiles(At("src"), At("dst"), true));
  struct stat sb;
  ASSERT_EQ(0, ::lstat(At("dst/file-link").c_str(), &sb));
  EXPECT_TRUE(S_ISLNK(sb.st_mode));
  ASSERT_EQ(0, ::lstat(At("dst/Docs").c_str(), &sb));
  EXPECT_TRUE(S_ISLNK(sb.st_mode));
  EXPECT_EQ("a", kqtest::ReadFile(At("dst/a.txt")));
  EXPECT_EQ("secret", kqtest::ReadFile(At("outside/secret.txt")));
}

TEST(PatchFileHelpersTest, CompareSQLVersion) {
  EXPECT_EQ(-1, compareSQLVersion("15.0.4", "15.0.10"));
  EXPECT_EQ(1, compareSQLVersion("15.0.10", "15.0.4"));
  EXPECT_EQ(0, compareSQLVersion("15.0", "15.0.1"));
  EXPECT_EQ(0, compareSQLVersion("abc", "0"));
  EXPECT_EQ(0, compareSQLVersion("12.1", "12.1"));
  EXPECT_EQ(1, compareSQLVersion("99999999999999999999.1", "2147483646.1"));
  EXPECT_EQ(0, compareSQLVersion("", "1"));
}

TEST(PatchFileHelpersTest, RemoteServerPath) {
  EXPECT_EQ("\\\\server\\share", CPatchInstallCommon::GetRemoteServerPath("\\\\server\\share"));
  EXPECT_EQ("", CPatchInstallCommon::GetRemoteServerPath("C:\\a\\\\b"));
  EXPECT_EQ("", CPatchInstallCommon::GetRemoteServerPath("/srv/share"));
  EXPECT_EQ("", CPatchInstallCommon::GetRemoteServerPath("\\"));
}

}  // namespace
