// CRC-32 of files and folders: the engines against Boost's crc_32_type, the two text forms,
// unreadable input, and folder checksums on the job's pool.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/crc.hpp>
#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CRCCoder.h"
#include "Concurrency/KqThreadPool.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PortableFiles/PxDirectory.h"
#include "UpdateCacheChecksumBatch.h"
#include "Unprivileged.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using nPatchDownload::CPatchDebug;
using nPatchDownload::CPatchInstallCommon;

uint32_t BoostCrc(const std::string& data) {
  boost::crc_32_type crc;
  crc.process_bytes(data.data(), data.size());
  return crc.checksum();
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

std::string WindowsText(uint32_t crc) { return std::to_string(crc); }

std::string UnixText(uint32_t crc) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08x", ~crc);
  return buf;
}

TEST(CrcEngine, ByteFoldAndBlockEngineEqualBoost) {
  CRCCoder coder;
  ASSERT_NE(nullptr, coder.table());
  EXPECT_EQ(0x77073096ULL, coder.table()[1]);
  EXPECT_EQ(0x2D02EF8DULL, coder.table()[255]);
  for (size_t n : {0, 1, 3, 7, 8, 15, 16, 31, 63, 64, 65, 255, 256, 1000, 4097, 65537}) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n));
    long reg = 0xFFFFFFFFL;
    for (unsigned char c : data) ASSERT_TRUE(coder.CalculateCRC(c, reg));
    EXPECT_EQ(BoostCrc(data), static_cast<uint32_t>(~reg)) << n;
    EXPECT_EQ(BoostCrc(data), KqCrc32(0, data.data(), data.size())) << n;
    // Chained in pieces of any length gives the same value.
    size_t cut = n / 3;
    uint32_t chained = KqCrc32(KqCrc32(0, data.data(), cut), data.data() + cut, n - cut);
    EXPECT_EQ(BoostCrc(data), chained) << n;
  }
  EXPECT_EQ(891568578u, KqCrc32(0, "abc", 3));
}

TEST(CrcEngine, FileChecksumAcrossReadBufferBoundaries) {
  kqtest::TempDir dir;
  const size_t block = CRCCoder::kReadSize;
  unsigned seed = 1;
  CPxFolderHandle folder;
  ASSERT_FALSE(folder.Open(dir.path()).IsError());
  for (size_t n : {size_t{0}, size_t{3}, block - 1, block, block + 1, 2 * block + 4099}) {
    std::string data = n == 3 ? std::string("abc") : RandomBytes(n, seed++);
    std::string path = dir / ("f" + std::to_string(n));
    kqtest::WriteFile(path, data);
    CRCCoder coder;
    long raw = 0;
    ASSERT_TRUE(coder.GetCheckSum(path.c_str(), raw)) << n;
    unsigned long long bits = static_cast<unsigned long long>(raw);
    EXPECT_EQ(0xFFFFFFFF00000000ULL, bits & 0xFFFFFFFF00000000ULL) << n;
    EXPECT_EQ(BoostCrc(data), static_cast<uint32_t>(bits)) << n;
    // Opened by name inside its open folder, the file folds the same.
    long at = 0;
    ASSERT_TRUE(coder.GetCheckSumAt(folder, "f" + std::to_string(n), at)) << n;
    EXPECT_EQ(raw, at) << n;
  }
}

TEST(CrcEngine, RefusalsAndInertMethods) {
  kqtest::TempDir dir;
  kqtest::WriteFile(dir / "abc", "abc");
  CRCCoder coder;
  long raw = 12345;
  EXPECT_FALSE(coder.GetCheckSum(nullptr, raw));
  EXPECT_FALSE(coder.GetCheckSum((dir / "missing").c_str(), raw));
  EXPECT_FALSE(coder.GetCheckSum(dir.path().c_str(), raw));  // a folder cannot be read
  CPxFolderHandle folder;
  ASSERT_FALSE(folder.Open(dir.path()).IsError());
  ::mkdir((dir / "sub").c_str(), 0755);
  EXPECT_FALSE(coder.GetCheckSumAt(folder, "missing", raw));
  EXPECT_FALSE(coder.GetCheckSumAt(folder, "sub", raw));
  EXPECT_EQ(12345, raw);
  for (CRCMETHOD m : {CRC_METHOD_1, CRC_METHOD_2, CRC_METHOD_3, static_cast<CRCMETHOD>(9)}) {
    CRCCoder other(m);
    raw = 777;
    EXPECT_TRUE(other.GetCheckSum((dir / "abc").c_str(), raw));
    EXPECT_TRUE(other.GetCheckSumAt(folder, "abc", raw));
    EXPECT_EQ(777, raw);
  }
}

TEST(ChecksumText, UnixAndWindowsFormsOfKnownFiles) {
  kqtest::ScopedConfig cfg;
  kqtest::WriteFile(cfg.root() + "/abc", "abc");
  kqtest::WriteFile(cfg.root() + "/empty", "");
  KQUpdateCache cache(0, false);
  std::string text = "untouched";
  ASSERT_TRUE(cache.CalculateFileCksumForFile(false, cfg.root() + "/abc", text));
  EXPECT_EQ("891568578", text);
  ASSERT_TRUE(cache.CalculateFileCksumForFile(true, cfg.root() + "/abc", text));
  EXPECT_EQ("0xcadbbe3d", text);
  ASSERT_TRUE(cache.CalculateFileCksumForFile(false, cfg.root() + "/empty", text));
  EXPECT_EQ("0", text);
  ASSERT_TRUE(cache.CalculateFileCksumForFile(true, cfg.root() + "/empty", text));
  EXPECT_EQ("0xffffffff", text);
  // By operating system: ids above 4 take the Unix form.
  ASSERT_TRUE(cache.CalculateFileCksumForFile(3, cfg.root() + "/abc", text));
  EXPECT_EQ("891568578", text);
  ASSERT_TRUE(cache.CalculateFileCksumForFile(5, cfg.root() + "/abc", text));
  EXPECT_EQ("0xcadbbe3d", text);
  // Backslashes in the path are folder separators.
  std::string winPath = cfg.root() + "\\abc";
  ASSERT_TRUE(cache.CalculateFileCksumForFile(false, winPath, text));
  EXPECT_EQ("891568578", text);

  text = "untouched";
  EXPECT_FALSE(cache.CalculateFileCksumForFile(true, cfg.root() + "/missing", text));
  EXPECT_EQ("untouched", text);
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(cfg.logFile()).find("GetCheckSum failed for file [" + cfg.root() +
                                                 "/missing]"));
}

TEST(ChecksumText, LeadingZerosAndAgreementOfTheTwoEngines) {
  kqtest::ScopedConfig cfg;
  CPatchDebug events;
  KQUpdateCache cache(0, false);
  // Find contents whose complemented CRC is small, so that the Unix form needs padding.
  std::string data;
  for (unsigned k = 0; k < 1000000; ++k) {
    data = "pad" + std::to_string(k);
    if (~BoostCrc(data) < 0x01000000u) break;
  }
  ASSERT_LT(~BoostCrc(data), 0x01000000u);
  for (const std::string& content : {data, std::string("abc"), RandomBytes(8192 * 3 + 1, 7)}) {
    std::string path = cfg.root() + "/f";
    kqtest::WriteFile(path, content);
    std::string unixText;
    std::string winText;
    ASSERT_TRUE(cache.CalculateFileCksumForFile(true, path, unixText));
    ASSERT_TRUE(cache.CalculateFileCksumForFile(false, path, winText));
    EXPECT_EQ(UnixText(BoostCrc(content)), unixText);
    EXPECT_EQ(WindowsText(BoostCrc(content)), winText);
    EXPECT_EQ(10u, unixText.size());
    unsigned long plain = 0;
    unsigned long complemented = 0;
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRC(true, path, plain, events));
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRC(false, path, complemented, events));
    EXPECT_EQ(winText, std::to_string(plain));
    EXPECT_EQ(std::stoull(unixText, nullptr, 16), complemented);
  }
}

TEST(PatchInstallCrc, KnownValuesAndBlockBoundaries) {
  kqtest::ScopedConfig cfg;
  CPatchDebug events;
  std::string path = cfg.root() + "/abc";
  kqtest::WriteFile(path, "abc");
  unsigned long crc = 0;
  ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRC(true, path, crc, events));
  EXPECT_EQ(891568578ul, crc);
  ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRC(false, path, crc, events));
  EXPECT_EQ(3403398717ul, crc);
  const size_t block = CPatchInstallCommon::GetChecksumBufferSize();
  EXPECT_EQ(8192u, block);
  // Files are read 32 blocks at a time into a buffer the thread keeps: sizes around both
  // boundaries, and a small file after large ones, whose bytes must not leak into its CRC.
  for (size_t n : {size_t{0}, block - 1, block, block + 1, 5 * block + 17, 32 * block - 1,
                   32 * block, 32 * block + 1, 97 * block + 3, size_t{1}}) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n + 3));
    kqtest::WriteFile(path, data);
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRC(true, path, crc, events));
    EXPECT_EQ(BoostCrc(data), crc) << n;
  }
}

TEST(PatchInstallCrc, AFileOfAnOpenFolderGivesWhatItsPathGives) {
  kqtest::ScopedConfig cfg;
  CPatchDebug events;
  const std::string data = RandomBytes(40 * 8192 + 5, 11);
  kqtest::WriteFile(cfg.root() + "/sub/f.bin", data);
  ASSERT_EQ(0, ::symlink("f.bin", (cfg.root() + "/sub/link").c_str()));
  CPxFolderHandle folder;
  ASSERT_FALSE(folder.Open(cfg.root() + "/sub").IsError());
  for (bool plain : {true, false}) {
    unsigned long byPath = 0, inFolder = 1, viaLink = 2, silently = 3;
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRC(plain, cfg.root() + "/sub/f.bin", byPath,
                                                    events));
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRCAt(plain, folder, "f.bin", inFolder, events));
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRCAt(plain, folder, "link", viaLink, events));
    ASSERT_EQ(0u, CPatchInstallCommon::CalculateCRCSilently(plain, cfg.root() + "/sub/f.bin",
                                                            silently));
    EXPECT_EQ(plain ? BoostCrc(data) : (~BoostCrc(data) & 0xFFFFFFFFu), byPath);
    EXPECT_EQ(byPath, inFolder);
    EXPECT_EQ(byPath, viaLink);
    EXPECT_EQ(byPath, silently);
  }
  // A missing entry fails, names its folder's path in the log line and leaves crc alone; the
  // silent form fails the same way without a line.
  unsigned long crc = 42;
  EXPECT_EQ(0x80000010u, CPatchInstallCommon::CalculateCRCAt(true, folder, "gone", crc, events));
  EXPECT_EQ(42ul, crc);
  const std::string before = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(std::string::npos, before.find("[" + cfg.root() + "/sub/gone]"));
  EXPECT_EQ(0x80000010u,
            CPatchInstallCommon::CalculateCRCSilently(true, cfg.root() + "/sub/gone", crc));
  EXPECT_EQ(42ul, crc);
  EXPECT_EQ(before, kqtest::ReadFile(cfg.logFile()));
}

TEST(PatchInstallCrc, UnreadableFileFailsInsteadOfGivingTheEmptyCrc) {
  kqtest::ScopedConfig cfg;
  CPatchDebug events;
  unsigned long crc = 42;
  EXPECT_EQ(0x80000010u,
            CPatchInstallCommon::CalculateCRC(true, cfg.root() + "/missing", crc, events));
  EXPECT_EQ(0x80000010u, CPatchInstallCommon::CalculateCRC(false, cfg.root(), crc, events));
  EXPECT_EQ(42ul, crc);
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find(" CalculateCRC "));

  std::string locked = cfg.root() + "/locked";
  kqtest::WriteFile(locked, "abc");
  ::chmod(locked.c_str(), 0);
  kqtest::GiveTreeToUnprivileged(cfg.root());
  int rc = kqtest::RunUnprivileged([&] {
    CPatchDebug childEvents;
    unsigned long c = 42;
    unsigned int r = CPatchInstallCommon::CalculateCRC(true, locked, c, childEvents);
    return r == 0x80000010u && c == 42ul ? 0 : 1;
  });
  EXPECT_EQ(0, rc);
}

TEST(PatchInstallCrc, FileSizeKeepsThePosition) {
  kqtest::TempDir dir;
  kqtest::WriteFile(dir / "f", "0123456789");
  std::ifstream in(dir / "f", std::ios::binary);
  in.seekg(4);
  EXPECT_EQ(10, CPatchInstallCommon::fileSize(in));
  EXPECT_EQ('4', in.get());
}

// ---- folder checksums on the pool ----

using Listing = std::set<std::pair<std::string, std::string>>;

Listing AsSet(const std::vector<UpdatePatches::File>& files) {
  Listing out;
  for (const auto& f : files)
    out.insert({f.getstring(UpdatePatches::File::kName), f.getstring(UpdatePatches::File::kChecksum)});
  return out;
}

// A tree of `count` files over a few levels; returns the expected listing (Windows form).
Listing MakeTree(const std::string& root, int count, bool unixForm) {
  Listing expected;
  for (int k = 0; k < count; ++k) {
    std::string rel = (k % 3 == 0 ? "" : "d" + std::to_string(k % 4) + "/") +
                      (k % 5 == 0 ? "e/" : "") + "file" + std::to_string(k) + ".bin";
    std::string data = RandomBytes(static_cast<size_t>(k * 37 % 5000), static_cast<unsigned>(k));
    kqtest::WriteFile(root + "/" + rel, data);
    uint32_t crc = BoostCrc(data);
    expected.insert({rel, unixForm ? UnixText(crc) : WindowsText(crc)});
  }
  return expected;
}

Listing OnlyTopLevel(const Listing& all) {
  Listing out;
  for (const auto& e : all)
    if (e.first.find('/') == std::string::npos) out.insert(e);
  return out;
}

TEST(FolderChecksum, TreeOnThePoolEqualsPerFileResults) {
  kqtest::ScopedConfig cfg;
  std::string root = cfg.root() + "/tree";
  Listing expected = MakeTree(root, 120, false);
  KQUpdateCache cache(42, false);
  std::vector<UpdatePatches::File> out;
  out.push_back(UpdatePatches::File());  // entries are appended, not cleared first
  ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "", false, true, out));
  ASSERT_EQ(expected.size() + 1, out.size());
  out.erase(out.begin());
  EXPECT_EQ(expected, AsSet(out));
  // Each entry agrees with the single-file operation.
  for (const auto& e : AsSet(out)) {
    std::string text;
    ASSERT_TRUE(cache.CalculateFileCksumForFile(false, root + "/" + e.first, text));
    EXPECT_EQ(e.second, text);
  }

  out.clear();
  ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "", false, false, out));
  EXPECT_EQ(OnlyTopLevel(expected), AsSet(out));

  // As media entries: what the conversion of the File list gives, in both text forms.
  for (bool unixForm : {false, true}) {
    std::vector<UpdatePatches::File> files;
    ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "d1", unixForm, true, files));
    std::vector<UpdatePatches::BinaryV11> converted, media;
    cache.ConvertFileListToBinaryV11List(files, converted);
    ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "d1", unixForm, true, media));
    auto asText = [](const std::vector<UpdatePatches::BinaryV11>& list) {
      std::set<std::string> out;
      for (const auto& b : list)
        out.insert(b.getstring(UpdatePatches::BinaryV11::kRelativePath) + "|" +
                   b.getstring(UpdatePatches::BinaryV11::kFileName) + "|" +
                   b.getstring(UpdatePatches::BinaryV11::kChecksum));
      return out;
    };
    EXPECT_EQ(converted.size(), media.size());
    EXPECT_FALSE(media.empty());
    EXPECT_EQ(asText(converted), asText(media));
  }
}

// Names are relative to the base folder. A backslash in a name is a folder separator to the
// single-file operation: the walk names the entry as listed and checksums what that operation
// reads ("a\\b.txt" reads "a/b.txt"), never the listed file itself.
TEST(FolderChecksum, SubFolderNamesAreRelativeToTheBase) {
  kqtest::ScopedConfig cfg;
  std::string root = cfg.root() + "/base";
  kqtest::WriteFile(root + "/a/b.txt", "abc");
  kqtest::WriteFile(root + "/a/c/d.txt", "");
  kqtest::WriteFile(root + "/top.txt", "abc");
  kqtest::WriteFile(root + "/a\\b.txt", "listed");
  KQUpdateCache cache(7, false);
  std::vector<UpdatePatches::File> out;
  ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "a", true, true, out));
  EXPECT_EQ((Listing{{"a/b.txt", "0xcadbbe3d"}, {"a/c/d.txt", "0xffffffff"}}), AsSet(out));
  out.clear();
  ASSERT_TRUE(cache.CalculateFileCksumForDir(root + "/", "", false, true, out));
  EXPECT_EQ((Listing{{"a/b.txt", "891568578"},
                     {"a/c/d.txt", "0"},
                     {"top.txt", "891568578"},
                     {"a\\b.txt", "891568578"}}),
            AsSet(out));
}

TEST(FolderChecksum, EmptyAndMissingFolders) {
  kqtest::ScopedConfig cfg;
  std::string empty = cfg.root() + "/empty";
  ASSERT_EQ(0, ::mkdir(empty.c_str(), 0755));
  KQUpdateCache cache(7, false);
  std::vector<UpdatePatches::File> out;
  EXPECT_TRUE(cache.CalculateFileCksumForDir(empty, "", false, true, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(cache.CalculateFileCksumForDir(cfg.root() + "/missing", "", false, true, out));
  EXPECT_TRUE(out.empty());
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("Cannot walk through ["));
  // The pool went with its last user.
  EXPECT_FALSE(cache.ReleaseCheckFileTP(7));
}

TEST(FolderChecksum, UnreadableFileFailsTheList) {
  kqtest::ScopedConfig cfg;
  std::string root = cfg.root() + "/tree";
  Listing expected = MakeTree(root, 30, false);
  std::string locked = root + "/d1/locked.bin";
  kqtest::WriteFile(locked, "secret");
  ::chmod(locked.c_str(), 0);
  kqtest::GiveTreeToUnprivileged(cfg.root());
  int rc = kqtest::RunUnprivileged([&] {
    KQUpdateCache cache(9, false);
    std::vector<UpdatePatches::File> out;
    bool ok = cache.CalculateFileCksumForDir(root, "", false, true, out);
    // Whatever was appended before the failure is a correct entry.
    for (const auto& e : AsSet(out))
      if (!expected.count(e)) return 2;
    return ok ? 1 : 0;
  });
  EXPECT_EQ(0, rc);
}

// Folders below the top are listed by pool tasks: a deep and wide tree comes out whole with any
// pool size, links to folders (also to one inside the tree) are never entered, links to files are
// checksummed through, and what the top folder holds is named as before.
TEST(FolderChecksum, FoldersSpreadOverThePoolComeOutWhole) {
  kqtest::ScopedConfig cfg;
  const std::string root = cfg.root() + "/deep";
  Listing expected;
  for (int k = 0; k < 400; ++k) {
    std::string rel;
    for (int level = 0, v = k; level < k % 7; ++level, v /= 3) rel += "l" + std::to_string(v % 3) + "/";
    rel += "f" + std::to_string(k);
    std::string data = RandomBytes(static_cast<size_t>(k * 13 % 700), static_cast<unsigned>(k));
    kqtest::WriteFile(root + "/" + rel, data);
    expected.insert({rel, WindowsText(BoostCrc(data))});
  }
  kqtest::WriteFile(cfg.root() + "/outside/secret", "s");
  ASSERT_EQ(0, ::symlink((cfg.root() + "/outside").c_str(), (root + "/l1/out-link").c_str()));
  ASSERT_EQ(0, ::symlink((root + "/l0").c_str(), (root + "/l2/loop-link").c_str()));
  ASSERT_EQ(0, ::symlink((cfg.root() + "/outside/secret").c_str(), (root + "/l1/file-link").c_str()));
  expected.insert({"l1/file-link", WindowsText(BoostCrc("s"))});

  for (const char* size : {"1", "2", "5"}) {
    SCOPED_TRACE(size);
    cfg.set("UpdateFlags", "nThreadPoolSizeCheck", size);
    KQUpdateCache cache(77, false);
    std::vector<UpdatePatches::File> out;
    ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "", false, true, out));
    EXPECT_EQ(expected.size(), out.size());  // no file twice
    EXPECT_EQ(expected, AsSet(out));
    out.clear();
    ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "", false, false, out));
    EXPECT_EQ(OnlyTopLevel(expected), AsSet(out));
    out.clear();
    ASSERT_TRUE(cache.CalculateFileCksumForDir(root, "l2//", false, true, out));
    Listing below;
    for (const auto& e : expected)
      if (e.first.compare(0, 3, "l2/") == 0) below.insert(e);
    EXPECT_EQ(below, AsSet(out));
  }
}

// A folder deep in the tree that cannot be listed fails the whole list, with the walk's log line;
// the entries appended are correct ones.
TEST(FolderChecksum, UnreadableFolderBelowTheTopFailsTheList) {
  kqtest::ScopedConfig cfg;
  std::string root = cfg.root() + "/tree";
  Listing expected = MakeTree(root, 60, false);
  kqtest::WriteFile(root + "/d2/e/shut/inner.bin", "x");
  kqtest::GiveTreeToUnprivileged(cfg.root());
  ::chmod((root + "/d2/e/shut").c_str(), 0);
  int rc = kqtest::RunUnprivileged([&] {
    KQUpdateCache cache(19, false);
    std::vector<UpdatePatches::File> out;
    bool ok = cache.CalculateFileCksumForDir(root, "", false, true, out);
    for (const auto& e : AsSet(out))
      if (!expected.count(e)) return 2;
    return ok ? 1 : 0;
  });
  ::chmod((root + "/d2/e/shut").c_str(), 0755);
  EXPECT_EQ(0, rc);
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("Cannot walk through [" + root + "]"));
}

// The walk keeps few folders open at once: a tree of many folders, wide and deep, comes out whole
// in a process allowed few descriptors.
TEST(FolderChecksum, ManyFoldersNeedFewOpenDescriptors) {
  kqtest::ScopedConfig cfg;
  const std::string root = cfg.root() + "/wide";
  Listing expected;
  for (int k = 0; k < 600; ++k) {
    std::string rel = "w" + std::to_string(k % 150) + "/" + (k % 2 ? "x/y/z/" : "") + "f" + std::to_string(k);
    kqtest::WriteFile(root + "/" + rel, std::to_string(k));
    expected.insert({rel, UnixText(BoostCrc(std::to_string(k)))});
  }
  for (int k = 0; k < 200; ++k) ::mkdir((root + "/empty" + std::to_string(k)).c_str(), 0755);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit few = {64, 64};
    ::setrlimit(RLIMIT_NOFILE, &few);
    KQUpdateCache cache(21, false);  // its pool's threads are the child's own
    std::vector<UpdatePatches::File> out;
    bool ok = cache.CalculateFileCksumForDir(root, "", true, true, out);
    ::_exit(!ok ? 1 : AsSet(out) != expected ? 2 : out.size() != expected.size() ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(FolderChecksum, TwoWalksOfOneJobShareThePool) {
  kqtest::ScopedConfig cfg;
  cfg.set("UpdateFlags", "nThreadPoolSizeCheck", "3");
  Listing one = MakeTree(cfg.root() + "/one", 200, false);
  Listing two = MakeTree(cfg.root() + "/two", 150, true);
  const unsigned long job = 0x100000005ul;  // the pool is keyed by the low 32 bits
  KQUpdateCache holder(5, false);
  KqThreadPool* pool = holder.GetCheckFileTP(5);
  ASSERT_NE(nullptr, pool);
  EXPECT_EQ(3u, pool->getThreadCount());
  for (int round = 0; round < 3; ++round) {
    std::vector<UpdatePatches::File> outOne;
    std::vector<UpdatePatches::File> outTwo;
    bool okOne = false;
    bool okTwo = false;
    std::thread a([&] {
      KQUpdateCache cache(job, false);
      okOne = cache.CalculateFileCksumForDir(cfg.root() + "/one", "", false, true, outOne);
    });
    std::thread b([&] {
      KQUpdateCache cache(job, false);
      okTwo = cache.CalculateFileCksumForDir(cfg.root() + "/two", "", true, true, outTwo);
    });
    a.join();
    b.join();
    EXPECT_TRUE(okOne);
    EXPECT_TRUE(okTwo);
    EXPECT_EQ(one, AsSet(outOne));
    EXPECT_EQ(two, AsSet(outTwo));
    EXPECT_EQ(pool, holder.GetCheckFileTP(5));  // still the same pool, held by this test
    EXPECT_TRUE(holder.ReleaseCheckFileTP(5));
  }
  EXPECT_TRUE(holder.ReleaseCheckFileTP(5));
  EXPECT_FALSE(holder.ReleaseCheckFileTP(5));
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("Failed to Release CheckFileTP."));
}

// ---- folders walked ahead in a batch ----

// One folder checksum call: CalculateFileCksumForDir's arguments, Unix form for the media ones.
struct DirCall {
  std::string dir;
  std::string subPath;
  bool recursive;
  bool media;
};

// What a call gave: its result and its entries (name and checksum).
using DirResult = std::pair<bool, Listing>;

// Holds job 61's pool for a batch, adds `ahead` to it, then makes `calls` in order. With a pool
// of one thread the batch stays inactive and every call walks as usual.
std::vector<DirResult> RunBatch(const std::vector<DirCall>& ahead, const std::vector<DirCall>& calls,
                                bool& active) {
  KQUpdateCache cache(61, false);
  KqThreadPool* pool = cache.GetCheckFileTP(61);
  std::vector<DirResult> results;
  {
    ChecksumBatch batch(cache, pool);
    active = batch.active();
    for (const DirCall& c : ahead) batch.Add(c.dir, c.subPath, c.media, c.recursive, c.media);
    for (const DirCall& c : calls) {
      DirResult r;
      if (c.media) {
        std::vector<UpdatePatches::BinaryV11> out;
        r.first = cache.CalculateFileCksumForDir(c.dir, c.subPath, true, c.recursive, out);
        for (const auto& b : out)
          r.second.insert({b.getstring(UpdatePatches::BinaryV11::kRelativePath),
                           b.getstring(UpdatePatches::BinaryV11::kChecksum)});
      } else {
        std::vector<UpdatePatches::File> out;
        r.first = cache.CalculateFileCksumForDir(c.dir, c.subPath, false, c.recursive, out);
        r.second = AsSet(out);
      }
      results.push_back(std::move(r));
    }
  }
  if (pool != nullptr) cache.ReleaseCheckFileTP(61);
  return results;
}

// The log lines of a run, the pool size the configuration gave left out.
std::vector<std::string> RunLines(const kqtest::ScopedConfig& cfg) {
  std::vector<std::string> lines = kqtest::LogTexts(cfg.logFolder());
  for (std::string& line : lines)
    if (line.find("Overriding thread pool size") != std::string::npos) line.erase(line.rfind(':'));
  return lines;
}

// Folders walked ahead answer their calls as the usual walks do, with the same log lines in the
// same order: repeated folders, a folder added but asked for out of turn (given up, walked when
// asked), one never added, one added and never asked for, and walks that fail (a FIFO is no file
// to read; a name holding a '\' is read by the path form only), which are walked again as usual
// so that their failures are logged where they were.
TEST(ChecksumBatchWalk, AnswersAndLogLinesAreThoseOfTheUsualWalks) {
  kqtest::TempDir trees;
  const std::string root = trees / "tree";
  const std::string bad = trees / "bad";
  Listing expected = MakeTree(root, 150, false);
  MakeTree(bad, 40, false);
  ASSERT_EQ(0, ::mkfifo((bad + "/d2/pipe").c_str(), 0644));
  const std::string odd = trees / "odd";
  MakeTree(odd, 20, false);
  kqtest::WriteFile(odd + "/d1/a\\b.bin", "x");
  const std::vector<DirCall> ahead = {
      {root, "", true, false},   {root, "d1", true, true},  {root, "", false, false}, {root, "d2", true, false},
      {root, "d2", true, false}, {bad, "", true, false},    {root, "d1/e", true, false}, {root, "d3", true, false},
      {bad, "d1", true, true},   {root, "d0", false, false}, {odd, "", true, true}};
  const std::vector<DirCall> calls = {
      {root, "", true, false},  {root, "d1", true, true}, {root, "", false, false}, {root, "d2", true, false},
      {root, "d2", true, false}, {bad, "", true, false},  {root, "d3", true, false}, {root, "d1/e", true, false},
      {bad, "d3", true, false}, {bad, "d1", true, true}, {odd, "", true, true}};
  for (const char* level : {"1", "7"}) {
    SCOPED_TRACE(level);
    std::vector<DirResult> usual, walkedAhead;
    std::vector<std::string> usualLines, aheadLines;
    std::string usualErrors, aheadErrors;  // what the reader tells on stderr
    // The calls with a checksum pool of `threads`; whether a batch was active.
    auto run = [&](const char* threads, std::vector<DirResult>& results, std::string& errors,
                   std::vector<std::string>& lines) {
      kqtest::ScopedConfig cfg;
      cfg.set("Logging", "nDebugLevel", level);
      cfg.set("UpdateFlags", "nThreadPoolSizeCheck", threads);
      bool active = true;
      ::testing::internal::CaptureStderr();
      results = RunBatch(ahead, calls, active);
      errors = ::testing::internal::GetCapturedStderr();
      lines = RunLines(cfg);
      return active;
    };
    EXPECT_FALSE(run("1", usual, usualErrors, usualLines));
    EXPECT_TRUE(run("5", walkedAhead, aheadErrors, aheadLines));
    EXPECT_EQ(usualErrors, aheadErrors);
    EXPECT_NE(std::string::npos, aheadErrors.find("pipe"));
    ASSERT_EQ(calls.size(), walkedAhead.size());
    for (size_t k = 0; k < calls.size(); ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(usual[k].first, walkedAhead[k].first);
      // A failed walk's partial list depends on which threads got how far.
      if (usual[k].first) {
        EXPECT_EQ(usual[k].second, walkedAhead[k].second);
      }
    }
    EXPECT_TRUE(walkedAhead[0].first);
    EXPECT_EQ(expected, walkedAhead[0].second);
    EXPECT_FALSE(walkedAhead[5].first);
    EXPECT_FALSE(walkedAhead.back().first);
    EXPECT_EQ(usualLines, aheadLines);
    EXPECT_NE(aheadLines.end(), std::find_if(aheadLines.begin(), aheadLines.end(), [&](const std::string& l) {
                return l.find("GetCheckSum failed for file [" + bad + "/d2/pipe]") != std::string::npos;
              }));
  }
}

// A batch only works ahead where nothing can tell: not at the levels that log each walk's
// threads and joins, not without a pool of several threads, and once per thread.
TEST(ChecksumBatchWalk, StaysInactiveWhereItWouldShow) {
  kqtest::ScopedConfig cfg;
  Listing expected = MakeTree(cfg.root() + "/tree", 20, false);
  KQUpdateCache cache(62, false);
  for (const char* level : {"8", "10", "1"}) {
    cfg.set("Logging", "nDebugLevel", level);
    KQUpdateCache fresh(62, false);  // its log resolves the level afresh
    KqThreadPool* pool = fresh.GetCheckFileTP(62);
    ASSERT_NE(nullptr, pool);
    ChecksumBatch batch(fresh, pool);
    EXPECT_EQ(std::string(level) == "1", batch.active()) << level;
    ChecksumBatch second(fresh, pool);
    EXPECT_FALSE(second.active());
    ChecksumBatch without(cache, nullptr);
    EXPECT_FALSE(without.active());
    batch.Add(cfg.root(), "tree", false, true, false);
    std::vector<UpdatePatches::File> out;
    // Another object of the job on this thread walks as usual.
    ASSERT_TRUE(cache.CalculateFileCksumForDir(cfg.root(), "tree", false, true, out));
    std::vector<UpdatePatches::File> own;
    ASSERT_TRUE(fresh.CalculateFileCksumForDir(cfg.root(), "tree", false, true, own));
    EXPECT_EQ(AsSet(out), AsSet(own));
    EXPECT_EQ(20u, own.size());
    fresh.ReleaseCheckFileTP(62);
  }
}

TEST(FolderChecksum, PoolRegistryCountsUsersAndReadsTheSize) {
  kqtest::ScopedConfig cfg;
  KQUpdateCache cache(11, false);
  KqThreadPool* first = cache.GetCheckFileTP(11);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(5u, first->getThreadCount());  // no configured size
  EXPECT_EQ("CalcChecksumForClient", first->getName());
  EXPECT_EQ(first, cache.GetCheckFileTP(11));
  EXPECT_TRUE(cache.ReleaseCheckFileTP(11));
  EXPECT_TRUE(cache.ReleaseCheckFileTP(11));
  EXPECT_FALSE(cache.ReleaseCheckFileTP(11));

  // 0 means the default, and so does a negative size; a huge one is capped.
  for (auto sizes : {std::make_pair("0", 5u), std::make_pair("-3", 5u), std::make_pair("1000000", 64u),
                     std::make_pair("64", 64u)}) {
    SCOPED_TRACE(sizes.first);
    cfg.set("UpdateFlags", "nThreadPoolSizeCheck", sizes.first);
    KqThreadPool* again = cache.GetCheckFileTP(11);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(sizes.second, again->getThreadCount());
    EXPECT_TRUE(cache.ReleaseCheckFileTP(11));
  }
}

// The pool a job released serves the next job that asks for the same size; another size gets
// its own. A child made by fork never queues work on a pool whose threads stayed in the parent.
TEST(FolderChecksum, ReleasedPoolServesTheNextJobAndForkedChildrenStartTheirOwn) {
  kqtest::ScopedConfig cfg;
  Listing expected = MakeTree(cfg.root() + "/tree", 40, false);
  KQUpdateCache first(31, false);
  std::vector<UpdatePatches::File> out;
  ASSERT_TRUE(first.CalculateFileCksumForDir(cfg.root() + "/tree", "", false, true, out));
  KqThreadPool* pool = first.GetCheckFileTP(31);
  ASSERT_NE(nullptr, pool);
  EXPECT_TRUE(first.ReleaseCheckFileTP(31));
  EXPECT_FALSE(first.ReleaseCheckFileTP(31));  // released: the job has no pool
  KQUpdateCache second(32, false);
  EXPECT_EQ(pool, second.GetCheckFileTP(32));
  EXPECT_EQ(5u, pool->getThreadCount());
  EXPECT_TRUE(second.ReleaseCheckFileTP(32));
  cfg.set("UpdateFlags", "nThreadPoolSizeCheck", "2");
  KqThreadPool* two = second.GetCheckFileTP(32);
  ASSERT_NE(nullptr, two);
  EXPECT_EQ(2u, two->getThreadCount());
  EXPECT_TRUE(second.ReleaseCheckFileTP(32));

  // The parent keeps a released pool; the child checksums on threads of its own.
  pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    ::alarm(60);  // a task queued on the parent's threads would wait for ever
    KQUpdateCache inChild(33, false);
    std::vector<UpdatePatches::File> files;
    bool ok = inChild.CalculateFileCksumForDir(cfg.root() + "/tree", "", false, true, files);
    ::_exit(ok && AsSet(files) == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(FolderChecksum, CallbackAndTaskRefuseIncompleteRecordsWithoutFreeingThem) {
  kqtest::ScopedConfig cfg;
  // A template on the stack: a callback that freed it would be caught by the sanitizer.
  CalcChecksumParams incomplete;
  CPxError e = CalcCheckSum("/x", "y", false, &incomplete);
  EXPECT_TRUE(e.IsError());
  EXPECT_EQ(static_cast<int>(0x80000008u), e.GetErrorCode());
  EXPECT_TRUE(CalcCheckSum("/x", "y", false, nullptr).IsError());
  CalcCheckSumForFileUsingTP(nullptr);
  CalcCheckSumForFileUsingTP(new CalcChecksumParams());  // freed by the task

  // A name outside the template's base folder has no relative path.
  KQUpdateCache cache(3, false);
  std::atomic<bool> ok(true);
  std::mutex lock;
  std::vector<UpdatePatches::File> out;
  EvDebug log;
  CalcChecksumParams tpl;
  tpl.relativeName = "/base";
  tpl.ok = &ok;
  tpl.mutex = &lock;
  tpl.out = &out;
  tpl.owner = &cache;
  tpl.log = &log;
  tpl.pool = cache.GetCheckFileTP(3);
  e = CalcCheckSum("/elsewhere", "f", false, &tpl);
  EXPECT_EQ(static_cast<int>(0x80000024u), e.GetErrorCode());
  EXPECT_FALSE(CalcCheckSum("/base", "sub", true, &tpl).IsError());  // folders queue nothing
  EXPECT_TRUE(CalcCheckSum(nullptr, "f", false, &tpl).IsError());
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(ok.load());

  // A task the pool refuses is freed (the leak checker sees it otherwise) and fails the list.
  kqtest::WriteFile(cfg.root() + "/f", "abc");
  KqThreadPool stopped;  // never started: refuses every task
  tpl.relativeName = cfg.root();
  tpl.pool = &stopped;
  EXPECT_FALSE(CalcCheckSum(cfg.root().c_str(), "f", false, &tpl).IsError());
  EXPECT_TRUE(ok.load());  // gathered, not queued yet
  QueueGatheredChecksums(&tpl);
  EXPECT_FALSE(ok.load());
  EXPECT_TRUE(tpl.more.empty());
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(cache.ReleaseCheckFileTP(3));
}

}  // namespace
