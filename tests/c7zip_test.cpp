// C7zip against the real 7-Zip program: archives built by the test, hostile entry names,
// truncated files, and paths holding shell metacharacters.
#include "Archive/C7zip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "KqTestEnv.h"
#include "Unprivileged.h"
#include "ZipFixture.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

int CountEntries(const std::string& folder) {
  std::string cmd = "find '" + folder + "' -mindepth 1 | wc -l";
  FILE* f = ::popen(cmd.c_str(), "r");
  int n = -1;
  if (f) {
    if (fscanf(f, "%d", &n) != 1) n = -1;
    ::pclose(f);
  }
  return n;
}

TEST(C7zipTest, InitializeFindsTheProgramOrSaysWhyNot) {
  C7zip onPath("", C7zip::kZip);
  EXPECT_TRUE(onPath.Initialize()) << onPath.GetLastError();

  C7zip inFolder("/usr/bin", C7zip::kZip);
  EXPECT_TRUE(inFolder.Initialize()) << inFolder.GetLastError();
  EXPECT_EQ("/usr/bin/7z", inFolder.GetProgram());

  C7zip missing("/nonexistent/7z", C7zip::kZip);
  EXPECT_FALSE(missing.Initialize());
  EXPECT_NE(std::string::npos, missing.GetLastError().find("/nonexistent/7z"));
}

TEST(C7zipTest, AProgramPlantedInTheWorkingFolderIsNeverStarted) {
  // Another user plants "7z" in a folder of theirs; the library runs in that folder with a PATH
  // holding an empty or a relative entry before (or instead of) the real program's folder.
  kqtest::TempDir tmp;
  const std::string work = tmp / "work";
  const std::string ran = tmp / "planted-ran";
  ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
  kqtest::GiveTreeToUnprivileged(work);
  ASSERT_EQ(0, kqtest::RunUnprivileged([&] {
    kqtest::WriteFile(work + "/7z", "#!/bin/sh\ntouch '" + ran + "'\nexit 0\n");
    kqtest::WriteFile(work + "/bin/7z", "#!/bin/sh\ntouch '" + ran + "'\nexit 0\n");
    return ::chmod((work + "/7z").c_str(), 0755) | ::chmod((work + "/bin/7z").c_str(), 0755);
  }));
  const std::string archive = tmp / "good.zip";
  kqtest::WriteZip(archive, {{"a.txt", "a"}});

  struct Case {
    const char* path;
    bool found;  // the real program is on it
  };
  for (const Case& c : {Case{":/usr/bin", true}, Case{"/nonexistent::/usr/bin", true},
                        Case{".:/usr/bin", true}, Case{"bin:/usr/bin", true}, Case{":", false},
                        Case{"bin", false}}) {
    SCOPED_TRACE(c.path);
    // 1: Initialize failed, 2: a program other than the real one, 3: the listing failed.
    int rc = kqtest::RunInChild(
        [&] { return ::chdir(work.c_str()) == 0 && ::setenv("PATH", c.path, 1) == 0; }, 9, [&] {
          C7zip zip("", C7zip::kZip);
          if (!zip.Initialize()) return 1;
          if (zip.GetProgram() != "/usr/bin/7z") return 2;
          std::vector<C7zip::Entry> entries;
          return zip.ListEntries(archive, entries) && entries.size() == 1 ? 0 : 3;
        });
    EXPECT_EQ(c.found ? 0 : 1, rc);
    EXPECT_FALSE(Exists(ran)) << "the planted program ran";
  }
}

TEST(C7zipTest, ExtractsAGoodArchiveWithItsFolders) {
  kqtest::TempDir tmp;
  std::string archive = tmp / "good.zip";
  kqtest::WriteZip(archive, {{"a/b.txt", "hello"}, {"c.txt", "x"}, {"d/", "", 040755}});
  C7zip zip("", C7zip::kZip);
  ASSERT_TRUE(zip.Initialize());

  std::vector<C7zip::Entry> entries;
  ASSERT_TRUE(zip.ListEntries(archive, entries)) << zip.GetLastError();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ("a/b.txt", entries[0].path);
  EXPECT_TRUE(entries[2].isFolder);

  std::string dest = tmp / "out";
  ASSERT_TRUE(zip.ExtractFilesWithFullPathsFromArchive(archive, dest)) << zip.GetLastError();
  EXPECT_EQ("hello", kqtest::ReadFile(dest + "/a/b.txt"));
  EXPECT_EQ("x", kqtest::ReadFile(dest + "/c.txt"));
}

TEST(C7zipTest, ShellMetacharactersInPathsAreJustCharacters) {
  kqtest::TempDir tmp;
  std::string odd = tmp / "we\"ird; touch pwned; $(touch pwned2) 'x`";
  ASSERT_EQ(0, ::mkdir(odd.c_str(), 0755));
  std::string archive = odd + "/arch;ive\".zip";
  kqtest::WriteZip(archive, {{"f.txt", "ok"}});
  std::string dest = odd + "/de\"st;";
  C7zip zip("", C7zip::kZip);
  ASSERT_TRUE(zip.ExtractFilesWithFullPathsFromArchive(archive, dest)) << zip.GetLastError();
  EXPECT_EQ("ok", kqtest::ReadFile(dest + "/f.txt"));
  EXPECT_FALSE(Exists("pwned"));
  EXPECT_FALSE(Exists("pwned2"));
  EXPECT_FALSE(Exists(tmp / "pwned"));
}

TEST(C7zipTest, HostileArchivesAreRefusedBeforeAnythingIsWritten) {
  kqtest::TempDir tmp;
  struct Case {
    const char* label;
    std::vector<kqtest::ZipEntry> entries;
  };
  std::vector<Case> cases = {
      {"dotdot", {{"ok.txt", "x"}, {"../evil.txt", "bad"}}},
      {"nested dotdot", {{"ok.txt", "x"}, {"a/../../evil.txt", "bad"}}},
      {"backslash dotdot", {{"ok.txt", "x"}, {"a\\..\\..\\evil.txt", "bad"}}},
      {"absolute", {{"ok.txt", "x"}, {"/tmp/evil.txt", "bad"}}},
      {"symlink", {{"ok.txt", "x"}, {"lnk", "/etc", 0120777}}},
      {"newline", {{"ok.txt", "x"}, {"a\n../../evil.txt", "bad"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string work = tmp / (std::string("w_") + std::to_string(&c - &cases[0]));
    ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
    std::string archive = work + "/a.zip";
    kqtest::WriteZip(archive, c.entries);
    std::string dest = work + "/sub/dest";
    C7zip zip("", C7zip::kZip);
    EXPECT_FALSE(zip.VerifyArchive(archive));
    EXPECT_FALSE(zip.GetLastError().empty());
    EXPECT_FALSE(zip.ExtractFilesWithFullPathsFromArchive(archive, dest));
    EXPECT_FALSE(Exists(dest));
    EXPECT_FALSE(Exists(work + "/sub/evil.txt"));
    EXPECT_FALSE(Exists(work + "/evil.txt"));
    EXPECT_EQ(1, CountEntries(work));  // only the archive
  }
}

TEST(C7zipTest, TruncatedOrForeignFilesAreRefused) {
  kqtest::TempDir tmp;
  std::string good = kqtest::BuildZip({{"a.txt", std::string(4000, 'a')}, {"b.txt", "b"}});
  std::string truncated = tmp / "t.zip";
  kqtest::WriteZip(truncated, {{"a.txt", std::string(4000, 'a')}, {"b.txt", "b"}}, good.size() / 2);
  std::string junk = tmp / "junk.zip";
  kqtest::WriteFile(junk, "this is not an archive");

  C7zip zip("", C7zip::kZip);
  for (const std::string& archive : {truncated, junk, tmp / "missing.zip"}) {
    SCOPED_TRACE(archive);
    std::string dest = tmp / "dest";
    EXPECT_FALSE(zip.ExtractFilesWithFullPathsFromArchive(archive, dest));
    EXPECT_FALSE(zip.GetLastError().empty());
    EXPECT_FALSE(Exists(dest));
  }
}

TEST(C7zipTest, FlatExtractionTakesTheMatchingFilesOnly) {
  kqtest::TempDir tmp;
  std::string archive = tmp / "a.zip";
  kqtest::WriteZip(archive, {{"x/y/wanted.ini", "w"}, {"other.txt", "o"}});
  C7zip zip("", C7zip::kZip);
  ASSERT_TRUE(zip.VerifyArchive(archive));
  std::string dest = tmp / "d";
  std::vector<std::string> args = zip.FlatExtractArgs(archive, dest, "wanted.ini", false);
  ASSERT_TRUE(zip.RunCommandLine(args)) << zip.GetLastError();
  EXPECT_EQ("w", kqtest::ReadFile(dest + "/wanted.ini"));
  EXPECT_FALSE(Exists(dest + "/other.txt"));

  // Without overwrite the program's question is answered by end of input: a failure, and the
  // existing file keeps its contents.
  kqtest::WriteFile(dest + "/wanted.ini", "mine");
  EXPECT_FALSE(zip.RunCommandLine(args));
  EXPECT_EQ("mine", kqtest::ReadFile(dest + "/wanted.ini"));
  ASSERT_TRUE(zip.RunCommandLine(zip.FlatExtractArgs(archive, dest, "wanted.ini", true)));
  EXPECT_EQ("w", kqtest::ReadFile(dest + "/wanted.ini"));
}

TEST(C7zipTest, WhatTheProgramMakesALinkFailsTheCallAndIsRemoved) {
  kqtest::TempDir tmp;
  // The listing shows a link only for archives made on Unix; the program makes one from the
  // mode bits whatever host the header names. A name with a line break can pose as a
  // listing line of its own.
  struct Case {
    const char* label;
    kqtest::ZipEntry entry;
  };
  std::vector<Case> cases = {{"FAT link", {"lnk", "/etc", 0120777, 0}},
                             {"NTFS link", {"lnk", "/etc", 0120777, 11}},
                             {"name posing as a pair", {"note\nSize = 4", "note", 0100644, 3}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string work = tmp / (std::string("w_") + std::to_string(&c - &cases[0]));
    std::string archive = work + "/a.zip";
    kqtest::WriteFile(work + "/dest/kept.txt", "kept");
    kqtest::WriteZip(archive, {{"ok.txt", "x"}, c.entry});
    C7zip zip("", C7zip::kZip);
    EXPECT_FALSE(zip.ExtractFilesWithFullPathsFromArchive(archive, work + "/dest"));
    EXPECT_FALSE(zip.GetLastError().empty());
    EXPECT_EQ(1, CountEntries(work + "/dest")) << "only what was there before";
    EXPECT_EQ("kept", kqtest::ReadFile(work + "/dest/kept.txt"));
    // Into a folder the call makes: it goes again.
    EXPECT_FALSE(zip.ExtractFilesWithFullPathsFromArchive(archive, work + "/fresh"));
    EXPECT_FALSE(Exists(work + "/fresh"));
  }
}

TEST(C7zipTest, LinksAlreadyInTheDestinationAreReplacedNotFollowed) {
  kqtest::TempDir tmp;
  kqtest::WriteFile(tmp / "outside/secret.txt", "secret");
  std::string dest = tmp / "dest";
  ASSERT_EQ(0, ::mkdir(dest.c_str(), 0755));
  ASSERT_EQ(0, ::symlink((tmp / "outside").c_str(), (dest + "/sub").c_str()));
  ASSERT_EQ(0, ::symlink((tmp / "outside/secret.txt").c_str(), (dest + "/f.txt").c_str()));
  ASSERT_EQ(0, ::symlink((tmp / "outside/secret.txt").c_str(), (dest + "/wanted.ini").c_str()));
  std::string archive = tmp / "a.zip";
  kqtest::WriteZip(archive, {{"sub/x.txt", "x"}, {"f.txt", "f"}, {"y/wanted.ini", "w"}});

  C7zip zip("", C7zip::kZip);
  ASSERT_TRUE(zip.ExtractFilesWithFullPathsFromArchive(archive, dest)) << zip.GetLastError();
  EXPECT_EQ("x", kqtest::ReadFile(dest + "/sub/x.txt"));
  EXPECT_EQ("f", kqtest::ReadFile(dest + "/f.txt"));
  EXPECT_FALSE(Exists(tmp / "outside/x.txt"));
  EXPECT_EQ("secret", kqtest::ReadFile(tmp / "outside/secret.txt"));
  // A flat extraction replaces the link too.
  ASSERT_TRUE(zip.ExtractInto(archive, dest, "wanted.ini", true)) << zip.GetLastError();
  struct stat st;
  ASSERT_EQ(0, ::lstat((dest + "/wanted.ini").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("secret", kqtest::ReadFile(tmp / "outside/secret.txt"));
  // Nothing of the extraction's own is left behind.
  EXPECT_EQ(6, CountEntries(dest));  // sub, sub/x.txt, f.txt, wanted.ini, y, y/wanted.ini
}

TEST(C7zipTest, EntryNamesAndCommandLineText) {
  EXPECT_TRUE(C7zip::IsSafeEntryName("a/b.txt"));
  EXPECT_TRUE(C7zip::IsSafeEntryName("a..b"));
  EXPECT_FALSE(C7zip::IsSafeEntryName("../a"));
  EXPECT_FALSE(C7zip::IsSafeEntryName("a/.."));
  EXPECT_FALSE(C7zip::IsSafeEntryName("/a"));
  EXPECT_FALSE(C7zip::IsSafeEntryName("\\a"));
  EXPECT_FALSE(C7zip::IsSafeEntryName("a\\..\\..\\b"));
  EXPECT_FALSE(C7zip::IsSafeEntryName("a\nb"));
  EXPECT_FALSE(C7zip::IsSafeEntryName(""));

  C7zip zip("", C7zip::kAuto);
  EXPECT_EQ("e -o\"/d\" -r -y -- \"/a b.zip\" \"x.ini\"",
            C7zip::CommandLineText(zip.FlatExtractArgs("/a b.zip", "/d", "x.ini", true)));
}

}  // namespace
