// The portable file layer on real temporary files and folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "KqTestEnv.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/PxLibrary.h"
#include "PortableFiles/PxString.h"
#include "PortableFiles/SafePath.h"

namespace {

TEST(PxString, FormatFillsNumberedPlaceholders) {
  std::string folder = "/c/ReadLocks";
  EXPECT_EQ(CPxString::Format("{1}/P{2}_J{3}.lock", folder, 4711, 18446744073709551615ull).str(),
            "/c/ReadLocks/P4711_J18446744073709551615.lock");
  EXPECT_EQ(CPxString::Format("{2}-{1}-{2}", "a", "b").str(), "b-a-b");
  EXPECT_EQ(CPxString::Format("{1}", -5).str(), "-5");
  EXPECT_EQ(CPxString::Format("{1}{2}", static_cast<const char*>(nullptr), 'x').str(), "x");
  EXPECT_EQ(CPxString::Format("{3} {0} {x} {{1}", "a").str(), "{3} {0} {x} {1}");
  EXPECT_EQ(CPxString::Format("SP{1}_{2}_R{3}", 11u, 0u, 2).str(), "SP11_0_R2");
}

TEST(PxString, LowerFindAndAppend) {
  CPxString s("Setup.EXE");
  EXPECT_EQ(s.ToLower().str(), "setup.exe");
  EXPECT_EQ(s.Find(".exe"), 5u);
  EXPECT_EQ(s.Find("nope"), CPxString::npos);
  EXPECT_EQ(s.Find(static_cast<const char*>(nullptr)), CPxString::npos);
  s += static_cast<const char*>(nullptr);
  s += "_lock";
  EXPECT_EQ(s.str(), "setup.exe_lock");
  EXPECT_EQ(CPxString(static_cast<const char*>(nullptr)).Length(), 0u);
}

TEST(PxError, CodesTextsAndLocations) {
  CPxError ok = CPxError::Success();
  EXPECT_FALSE(ok.IsError());
  CPxError e = FXErrorUtil::ErrorHResult(0x80000008, FX_CODE_LOCATION(), "Invalid input param detected.");
  EXPECT_TRUE(e.IsError());
  EXPECT_EQ(static_cast<uint32_t>(e.GetErrorCode()), 0x80000008u);
  EXPECT_EQ(e.AsString(), "Invalid input param detected.");
  EXPECT_NE(e.GetLocation().AsString().find("portable_files_test.cpp"), std::string::npos);
  ok = e;  // assignment
  EXPECT_TRUE(ok.IsError());
  EXPECT_FALSE(FXErrorUtil::ErrorHResult(0, FX_CODE_LOCATION()).IsError());
  EXPECT_EQ(static_cast<uint32_t>(FXErrorUtil::ErrorWin32(112, FX_CODE_LOCATION()).GetErrorCode()), 0x80070070u);
  EXPECT_EQ(FXErrorUtil::ErrorErrno(ENOENT, FX_CODE_LOCATION(), "x").GetErrorCode(), ENOENT);
  EXPECT_EQ(PxErrnoText(ENOENT), "No such file or directory");
}

class PxFiles : public ::testing::Test {
 protected:
  kqtest::TempDir dir_;
};

TEST_F(PxFiles, WriteSeekPastFourGigabytesAndReadBack) {
  const std::string path = dir_ / "big.bin";
  CPxFile f;
  ASSERT_FALSE(f.Open(path, CPxFile::kReadWrite | CPxFile::kCreate, CPxFile::kAttrNormal).IsError());
  const int64_t far = (int64_t{5} << 30) + 7;  // a sparse file: no real 5 GiB written
  int64_t at = 0;
  ASSERT_FALSE(f.Seek(far, CPxFile::kBegin, &at).IsError());
  EXPECT_EQ(at, far);
  size_t n = 0;
  ASSERT_FALSE(f.Write("xyz", 3, &n).IsError());
  EXPECT_EQ(n, 3u);
  uint64_t size = 0;
  ASSERT_FALSE(f.GetSize(size).IsError());
  EXPECT_EQ(size, static_cast<uint64_t>(far) + 3);
  ASSERT_FALSE(f.Seek(-2, CPxFile::kEnd, &at).IsError());
  char buf[8] = {0};
  ASSERT_FALSE(f.Read(buf, sizeof(buf), &n).IsError());
  EXPECT_EQ(std::string(buf, n), "yz");
  ASSERT_FALSE(f.Read(buf, sizeof(buf), &n).IsError());
  EXPECT_EQ(n, 0u);  // end of file
  SPxFileStat st;
  ASSERT_FALSE(CPxFile::Stat(path, st).IsError());
  EXPECT_TRUE(st.IsRegular());
  EXPECT_EQ(st.size, static_cast<uint64_t>(far) + 3);
}

TEST_F(PxFiles, OpenAndStatReportMissingFiles) {
  CPxFile f;
  CPxError e = f.Open(dir_ / "missing", CPxFile::kRead);
  EXPECT_EQ(e.GetErrorCode(), ENOENT);
  EXPECT_NE(e.AsString().find("missing"), std::string::npos);
  SPxFileStat st;
  EXPECT_EQ(CPxFile::Stat(dir_ / "missing", st).GetErrorCode(), ENOENT);
  size_t n = 0;
  EXPECT_TRUE(f.Read(&n, 1, &n).IsError());  // not open
}

TEST_F(PxFiles, CopyKeepsModeAndReplacesReadOnlyTargetsWhole) {
  const std::string src = dir_ / "src.txt", dst = dir_ / "dst.txt";
  kqtest::WriteFile(src, "new content");
  ASSERT_EQ(0, chmod(src.c_str(), 0440));
  kqtest::WriteFile(dst, "old content that is longer");
  ASSERT_EQ(0, chmod(dst.c_str(), 0444));
  ASSERT_FALSE(CPxFile::Copy(src, dst).IsError());
  EXPECT_EQ(kqtest::ReadFile(dst), "new content");
  SPxFileStat st;
  ASSERT_FALSE(CPxFile::Stat(dst, st).IsError());
  EXPECT_EQ(st.mode & 0777, 0440u);
  // Nothing of the copy's scratch file is left beside the target.
  CPxDirectory listing;
  ASSERT_FALSE(listing.Open(dir_.path()).IsError());
  SPxDirEntry e;
  bool end = false;
  int count = 0;
  for (listing.GetEntry(e, &end); !end; listing.GetEntry(e, &end)) ++count;
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(CPxFile::Copy(dir_ / "missing", dst).IsError());
  EXPECT_TRUE(CPxFile::Copy(dir_.path(), dir_ / "x").IsError());  // a folder is no file
}

TEST_F(PxFiles, CopyOntoALinkReplacesTheLinkNotItsTarget) {
  const std::string src = dir_ / "src.txt", outside = dir_ / "outside.txt", link = dir_ / "link";
  kqtest::WriteFile(src, "copy");
  kqtest::WriteFile(outside, "precious");
  ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
  ASSERT_FALSE(CPxFile::Copy(src, link).IsError());
  EXPECT_EQ(kqtest::ReadFile(outside), "precious");
  SPxFileStat st;
  ASSERT_FALSE(CPxFile::Lstat(link, st).IsError());
  EXPECT_TRUE(st.IsRegular());
  EXPECT_EQ(kqtest::ReadFile(link), "copy");
}

TEST_F(PxFiles, DeleteRemovesLinksNotTargetsAndRefusesFolders) {
  const std::string outside = dir_ / "outside.txt", link = dir_ / "link";
  kqtest::WriteFile(outside, "precious");
  ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
  ASSERT_FALSE(CPxFile::Delete(link).IsError());
  EXPECT_EQ(kqtest::ReadFile(outside), "precious");
  EXPECT_EQ(CPxFile::Delete(dir_.path()).GetErrorCode(), EISDIR);
  EXPECT_FALSE(CPxFile::Delete(dir_ / "never-was").IsError());
  ASSERT_FALSE(CPxFile::Chmod(outside, 0600).IsError());
  SPxFileStat st;
  ASSERT_FALSE(CPxFile::Stat(outside, st).IsError());
  EXPECT_EQ(st.mode & 0777, 0600u);
}

// Walk callback that records "<dir relative to root>|<name>|<isDir>".
struct Seen {
  std::string root;
  std::vector<std::string> lines;
  std::string stopAt;
};

CPxError Record(const char* dir, const char* name, bool isDir, void* ctx) {
  auto* seen = static_cast<Seen*>(ctx);
  std::string rel = std::string(dir).substr(seen->root.size());
  seen->lines.push_back(rel + "|" + name + "|" + (isDir ? "d" : "f"));
  if (seen->stopAt == name) return FXErrorUtil::ErrorHResult(0x80000010, FX_CODE_LOCATION(), "stop");
  return CPxError();
}

class PxTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_ / "root";
    for (const char* f : {"b/z.txt", "b/a/deep.txt", "B.txt", "a.txt", ".hidden"}) {
      kqtest::WriteFile(root_ + "/" + f, "1");
    }
    kqtest::WriteFile(dir_ / "outside/secret.txt", "s");
    ASSERT_EQ(0, symlink((dir_ / "outside").c_str(), (root_ + "/c-link").c_str()));
  }
  kqtest::TempDir dir_;
  std::string root_;
};

TEST_F(PxTree, ListingIsSortedBytewiseAndFiltered) {
  CPxDirectory d;
  ASSERT_FALSE(d.Open(root_, "*", true).IsError());
  std::vector<std::string> names;
  SPxDirEntry e;
  bool end = false;
  for (CPxError err = d.GetEntry(e, &end); !err.IsError() && !end; err = d.GetEntry(e, &end)) {
    names.push_back(e.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "B.txt", "a.txt", "b", "c-link"}));
  ASSERT_FALSE(d.Open(root_, "*.txt", true).IsError());
  names.clear();
  for (d.GetEntry(e, &end); !end; d.GetEntry(e, &end)) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B.txt", "a.txt"}));
  EXPECT_EQ(d.Open(dir_ / "missing").GetErrorCode(), ENOENT);
  EXPECT_TRUE(d.GetEntry(e, &end).IsError());  // nothing open after a failed Open
}

TEST_F(PxTree, WalkAllLevelsNeverEntersALinkedFolder) {
  Seen seen{root_, {}, ""};
  ASSERT_FALSE(CPxDirectory::Walk(root_, &seen, -1, true, Record).IsError());
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"|.hidden|f", "|B.txt|f", "|a.txt|f", "|b|d", "/b|a|d",
                                                  "/b/a|deep.txt|f", "/b|z.txt|f", "|c-link|d"}));
}

TEST_F(PxTree, WalkDepthZeroAndWithoutFolders) {
  Seen seen{root_, {}, ""};
  ASSERT_FALSE(CPxDirectory::Walk(root_ + "/", &seen, 0, true, Record).IsError());
  EXPECT_EQ(seen.lines.size(), 5u);
  seen.lines.clear();
  ASSERT_FALSE(CPxDirectory::Walk(root_, &seen, 1, false, Record).IsError());
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"|.hidden|f", "|B.txt|f", "|a.txt|f", "/b|z.txt|f"}));
}

TEST_F(PxTree, CallbackErrorStopsTheWalkAndIsReturned) {
  Seen seen{root_, {}, "a.txt"};
  CPxError e = CPxDirectory::Walk(root_, &seen, -1, true, Record);
  EXPECT_EQ(static_cast<uint32_t>(e.GetErrorCode()), 0x80000010u);
  EXPECT_EQ(seen.lines.back(), "|a.txt|f");
  EXPECT_EQ(seen.lines.size(), 3u);
  EXPECT_TRUE(CPxDirectory::Walk(dir_ / "missing", &seen, -1, true, Record).IsError());
}

TEST_F(PxTree, WalkLevelTypesEntriesAsTheWalkDoes) {
  ASSERT_EQ(0, symlink((dir_ / "outside/secret.txt").c_str(), (root_ + "/d-file-link").c_str()));
  ASSERT_EQ(0, symlink((dir_ / "nowhere").c_str(), (root_ + "/e-dangling").c_str()));
  std::vector<SPxWalkEntry> entries;
  ASSERT_FALSE(CPxDirectory::ReadWalkLevel(root_, false, entries).IsError());
  std::vector<std::string> seen;
  for (const SPxWalkEntry& e : entries)
    seen.push_back(e.name + (e.isDir ? "|d" : "|f") + (e.descend ? "|in" : ""));
  // A link to a folder is a folder never entered; links to files and dangling links are files.
  EXPECT_EQ(seen, (std::vector<std::string>{".hidden|f", "B.txt|f", "a.txt|f", "b|d|in", "c-link|d",
                                            "d-file-link|f", "e-dangling|f"}));

  // A missing folder fails, unless it is taken for an empty level; a file is never a level.
  EXPECT_EQ(ENOENT, CPxDirectory::ReadWalkLevel(dir_ / "missing", false, entries).GetErrorCode());
  EXPECT_FALSE(CPxDirectory::ReadWalkLevel(dir_ / "missing", true, entries).IsError());
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(CPxDirectory::ReadWalkLevel(root_ + "/a.txt", true, entries).IsError());
}

// A folder opened by handle: entries below it are opened by name, a link is never gone through,
// and its levels read as the path form reads them.
TEST_F(PxTree, FolderHandlesOpenBelowWithoutLinksAndListLikePaths) {
  ASSERT_EQ(0, symlink((dir_ / "outside/secret.txt").c_str(), (root_ + "/d-file-link").c_str()));
  CPxFolderHandle top;
  ASSERT_FALSE(top.Open(root_).IsError());
  EXPECT_EQ(top.path(), root_);
  std::vector<SPxWalkEntry> byHandle, byPath;
  ASSERT_FALSE(CPxDirectory::ReadWalkLevel(top, byHandle).IsError());
  ASSERT_FALSE(CPxDirectory::ReadWalkLevel(root_, false, byPath).IsError());
  ASSERT_EQ(byHandle.size(), byPath.size());
  for (size_t k = 0; k < byPath.size(); ++k) {
    EXPECT_EQ(byHandle[k].name, byPath[k].name);
    EXPECT_EQ(byHandle[k].isDir, byPath[k].isDir);
    EXPECT_EQ(byHandle[k].descend, byPath[k].descend);
  }

  CPxFolderHandle below;
  ASSERT_FALSE(below.OpenBelow(top, "b").IsError());
  EXPECT_EQ(below.path(), root_ + "/b");
  ASSERT_FALSE(CPxDirectory::ReadWalkLevel(below, byHandle).IsError());
  ASSERT_EQ(byHandle.size(), 2u);
  EXPECT_EQ(byHandle[0].name + byHandle[1].name, "az.txt");
  // A link to a folder, a file, a missing name and anything but one entry name are refused.
  EXPECT_EQ(below.OpenBelow(top, "c-link").GetErrorCode(), ELOOP);
  EXPECT_FALSE(below.IsOpen());
  EXPECT_EQ(below.OpenBelow(top, "a.txt").GetErrorCode(), ENOTDIR);
  EXPECT_EQ(below.OpenBelow(top, "missing").GetErrorCode(), ENOENT);
  for (const char* bad : {"", ".", "..", "b/a"}) EXPECT_EQ(below.OpenBelow(top, bad).GetErrorCode(), EINVAL) << bad;
  CPxFolderHandle closed;
  EXPECT_TRUE(CPxDirectory::ReadWalkLevel(closed, byHandle).IsError());
  EXPECT_EQ(closed.Open(root_ + "/a.txt").GetErrorCode(), ENOTDIR);

  // A folder that kq::OpenFolderUnder() opened is taken over; the reason it failed is kept.
  CPxFolderHandle taken;
  ASSERT_FALSE(taken.Adopt(kq::OpenFolderUnder(top.nativeHandle(), "b"), root_ + "/b").IsError());
  ASSERT_FALSE(CPxDirectory::ReadWalkLevel(taken, byHandle).IsError());
  EXPECT_EQ(byHandle.size(), 2u);
  EXPECT_EQ(taken.Adopt(kq::OpenFolderUnder(top.nativeHandle(), "c-link"), "c").GetErrorCode(), ELOOP);
  EXPECT_FALSE(taken.IsOpen());
  EXPECT_EQ(taken.Adopt(open((root_ + "/a.txt").c_str(), O_RDONLY | O_CLOEXEC), "a").GetErrorCode(), ENOTDIR);

  top.Close();
  EXPECT_FALSE(top.IsOpen());
  EXPECT_EQ(below.OpenBelow(top, "b").GetErrorCode(), EBADF);
}

TEST_F(PxTree, RegularFilesOpenRelativeToAFolder) {
  ASSERT_EQ(0, symlink((dir_ / "outside/secret.txt").c_str(), (root_ + "/d-file-link").c_str()));
  ASSERT_EQ(0, mkfifo((root_ + "/pipe").c_str(), 0644));
  kqtest::WriteFile(root_ + "/five", "12345");
  CPxFolderHandle top;
  ASSERT_FALSE(top.Open(root_).IsError());
  CPxFile f;
  uint64_t size = 0;
  ASSERT_FALSE(f.OpenRegularAt(top, "five", UINT64_MAX, &size).IsError());
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(f.path(), root_ + "/five");
  char buf[8];
  size_t n = 0;
  ASSERT_FALSE(f.Read(buf, sizeof buf, &n).IsError());
  EXPECT_EQ(std::string(buf, n), "12345");
  // A final link is read through, as opening its path does.
  ASSERT_FALSE(f.OpenRegularAt(top, "d-file-link", UINT64_MAX, &size).IsError());
  EXPECT_EQ(size, 1u);
  // A FIFO is refused at once (never waited on), a folder too; a size cap holds.
  CPxError e = f.OpenRegularAt(top, "pipe", UINT64_MAX, &size);
  EXPECT_EQ(e.GetErrorCode(), EINVAL);
  EXPECT_NE(e.AsString().find(root_ + "/pipe"), std::string::npos);
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.OpenRegularAt(top, "b", UINT64_MAX).GetErrorCode(), EISDIR);
  EXPECT_EQ(f.OpenRegularAt(top, "five", 4).GetErrorCode(), EFBIG);
  EXPECT_EQ(f.OpenRegularAt(top, "missing", UINT64_MAX).GetErrorCode(), ENOENT);
  EXPECT_EQ(f.OpenRegularAt(top, "b/z.txt", UINT64_MAX).GetErrorCode(), EINVAL);
  CPxFolderHandle closed;
  EXPECT_EQ(f.OpenRegularAt(closed, "five", UINT64_MAX).GetErrorCode(), EBADF);
}

// The entries of an open folder: listed and examined by name as their paths are, with the same
// texts on failure.
TEST_F(PxTree, EntriesOfAnOpenFolderListAndStatLikeTheirPaths) {
  ASSERT_EQ(0, symlink((dir_ / "nowhere").c_str(), (root_ + "/e-dangling").c_str()));
  CPxFolderHandle top;
  ASSERT_FALSE(top.Open(root_).IsError());
  std::vector<SPxDirEntry> byHandle;
  ASSERT_FALSE(CPxDirectory::ReadNames(top, byHandle).IsError());
  CPxDirectory byPath;
  ASSERT_FALSE(byPath.Open(root_, "*", true).IsError());
  SPxDirEntry e;
  bool end = false;
  size_t k = 0;
  for (byPath.GetEntry(e, &end); !end; byPath.GetEntry(e, &end), ++k) {
    ASSERT_LT(k, byHandle.size());
    EXPECT_EQ(byHandle[k].name, e.name);
    EXPECT_EQ(byHandle[k].type, e.type) << e.name;
  }
  EXPECT_EQ(k, byHandle.size());
  EXPECT_EQ(byHandle.front().name, ".hidden");

  for (const char* name : {"a.txt", "b", "c-link", "e-dangling", "missing"}) {
    SCOPED_TRACE(name);
    SPxFileStat atL, pathL, atS, pathS;
    CPxError el = CPxFile::LstatAt(top, name, atL), pl = CPxFile::Lstat(root_ + "/" + name, pathL);
    CPxError es = CPxFile::StatAt(top, name, atS), ps = CPxFile::Stat(root_ + "/" + name, pathS);
    EXPECT_EQ(el.GetErrorCode(), pl.GetErrorCode());
    EXPECT_EQ(std::string(el.c_str()), pl.c_str());
    EXPECT_EQ(es.GetErrorCode(), ps.GetErrorCode());
    EXPECT_EQ(std::string(es.c_str()), ps.c_str());
    EXPECT_EQ(atL.mode, pathL.mode);
    EXPECT_EQ(atL.size, pathL.size);
    EXPECT_EQ(atS.mode, pathS.mode);
  }
  SPxFileStat st;
  ASSERT_FALSE(CPxFile::LstatAt(top, "c-link", st).IsError());
  EXPECT_TRUE(st.IsLink());
  ASSERT_FALSE(CPxFile::StatAt(top, "c-link", st).IsError());
  EXPECT_TRUE(st.IsDirectory());
  for (const char* bad : {"", "b/z.txt"}) EXPECT_EQ(CPxFile::LstatAt(top, bad, st).GetErrorCode(), EINVAL) << bad;

  CPxFolderHandle closed;
  EXPECT_EQ(CPxDirectory::ReadNames(closed, byHandle).GetErrorCode(), EBADF);
  EXPECT_EQ(CPxFile::LstatAt(closed, "a.txt", st).GetErrorCode(), EBADF);
}

TEST_F(PxTree, CreateRemoveAndEmptiness) {
  const std::string deep = dir_ / "x/y/z";
  ASSERT_FALSE(CPxDirectory::Create(deep, true).IsError());
  EXPECT_FALSE(CPxDirectory::Create(deep, true).IsError());  // already there
  EXPECT_EQ(CPxDirectory::Create(deep, false).GetErrorCode(), EEXIST);
  EXPECT_TRUE(CPxDirectory::IsEmpty(deep));
  EXPECT_FALSE(CPxDirectory::IsEmpty(dir_ / "x"));
  EXPECT_TRUE(CPxDirectory::IsEmpty(dir_ / "missing"));
  EXPECT_TRUE(CPxDirectory::Remove(dir_ / "x", false).IsError());  // not empty
  kqtest::WriteFile(dir_ / "file", "f");
  EXPECT_EQ(CPxDirectory::Create(dir_ / "file/sub", true).GetErrorCode(), ENOTDIR);

  ASSERT_FALSE(CPxDirectory::Remove(root_, true, true).IsError());  // contents only
  EXPECT_TRUE(CPxDirectory::IsEmpty(root_));
  EXPECT_EQ(kqtest::ReadFile(dir_ / "outside/secret.txt"), "s");
  ASSERT_FALSE(CPxDirectory::Remove(dir_ / "x", true).IsError());
  EXPECT_EQ(access((dir_ / "x").c_str(), F_OK), -1);
  EXPECT_FALSE(CPxDirectory::Remove(dir_ / "x", true).IsError());  // gone already
}

TEST_F(PxTree, SpaceUsageOfTheTemporaryFileSystem) {
  uint64_t total = 0, freeBytes = 0;
  ASSERT_FALSE(CPxDirectory::GetSpaceUsage(root_, total, freeBytes).IsError());
  EXPECT_GT(total, 0u);
  EXPECT_LE(freeBytes, total);
  EXPECT_TRUE(CPxDirectory::GetSpaceUsage(dir_ / "missing", total, freeBytes).IsError());
}

TEST(PxLibrary, LoadsALibraryAndFindsSymbols) {
  CPxLibrary lib;
  ASSERT_FALSE(lib.Load("libc.so.6").IsError());
  CPxError e;
  EXPECT_NE(lib.GetSymbol("strlen", &e), nullptr);
  EXPECT_EQ(lib.GetSymbol("no_such_symbol_here", &e), nullptr);
  EXPECT_TRUE(e.IsError());
  CPxLibrary missing;
  e = missing.Load("KqInstallClient.dll");
  EXPECT_TRUE(e.IsError());
  EXPECT_FALSE(missing.IsLoaded());
  EXPECT_FALSE(e.AsString().empty());
}

}  // namespace
