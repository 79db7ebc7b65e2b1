// Reduced install packages: dependency closure, the list file written and read back, against the
// generated cache's model and small hand-made media; the list file's folder, links, full disks
// and concurrent writers.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "CacheTestEnv.h"
#include "ReducedPackages.h"
#include "SmallTextFile.h"

namespace kqtest {
namespace {

namespace fs = std::filesystem;

struct Result {
  int rc = 0;
  std::vector<unsigned> ids;
  std::list<std::string> files, folders;
  unsigned long long size = 0;
  bool reboot = false;
  std::string error;
  unsigned code = 7;
};

// A small Windows medium: packages with files below "BinaryPayload" for binary set 3.
// Dependencies: 5 -> 9, 3; 2 -> 3; 5 asks for a reboot. Packages 20 to 31 stand alone.
struct TinyPackage {
  unsigned id;
  std::vector<long long> deps;
  int reboot;
  int files;
};
const std::vector<TinyPackage>& TinyPackages() {
  static const std::vector<TinyPackage> p = [] {
    std::vector<TinyPackage> v = {{2, {3}, 0, 2}, {3, {}, kAbsent, 1}, {5, {9, 3}, 1, 3}, {9, {}, 0, 2}};
    for (unsigned id = 20; id < 32; ++id) v.push_back({id, {}, 0, 1 + static_cast<int>(id % 4)});
    return v;
  }();
  return p;
}
std::string TinyFile(unsigned id, int k) { return "BinaryPayload/Pkg" + std::to_string(id) + "/f" + std::to_string(k) + ".dll"; }

WrittenMedia WriteTinyWindows(const std::string& root) {
  CatalogueModel m;
  m.windows = true;
  BinarySetRecord set{"WinX64", 3, {}};
  for (const TinyPackage& p : TinyPackages()) {
    m.pkgInfos.push_back(PkgInfoRecord{p.id, "P" + std::to_string(p.id), kAbsent});
    m.details.push_back(PkgDetailsRecord{p.id, 3, p.reboot, true, p.deps, {}});
    PackageFiles files{p.id, {}};
    for (int k = 0; k < p.files; ++k) {
      const std::string rel = TinyFile(p.id, k);
      const std::string text = "payload of " + rel + "\n";
      std::string back = rel;
      std::replace(back.begin(), back.end(), '/', '\\');
      files.files.push_back(MediaFileRecord{WindowsChecksum(text), "f" + std::to_string(k) + ".dll", back, true});
      m.payload[rel] = text;
    }
    set.packages.push_back(files);
  }
  m.binaryInfo[""] = {set};
  return WriteMedia(m, root);
}

// What the list of a closure holds: the packages' files and the binary catalogue, sorted.
std::list<std::string> TinyList(const std::set<unsigned>& closure) {
  std::set<std::string> names = {"BinaryInfo.xml", "BinaryInfo.xml.description"};
  for (const TinyPackage& p : TinyPackages())
    if (closure.count(p.id))
      for (int k = 0; k < p.files; ++k) names.insert(TinyFile(p.id, k));
  return std::list<std::string>(names.begin(), names.end());
}

class ReducedPackagesTest : public CacheTreeTest {
 protected:
  void SetUp() override {
    CacheTreeTest::SetUp();
    temp_ = Scratch("tmp-" + std::to_string(++serial_));
  }
  Result Run(const std::string& media, std::vector<unsigned> ids, int bs, const std::string& name = "P",
             int pack = 0) {
    Result r;
    r.ids = std::move(ids);
    r.rc = ComputeReducedPackages(root(), media, r.ids, r.files, r.folders, r.size, r.reboot, bs, temp_, name,
                                  r.error, pack);
    return r;
  }
  Result RunUnix(const std::string& media, std::vector<unsigned> ids, const std::string& os,
                 bool withCode = true) {
    Result r;
    r.ids = std::move(ids);
    r.rc = ComputeReducedPackagesUNIX(root(), media, r.ids, r.files, r.folders, r.size, r.reboot, os, temp_,
                                      "P", r.error, withCode ? &r.code : nullptr, 0);
    return r;
  }
  // The model's reduced package: media files, loose updates (or pack `pack`) and installer
  // files, relative to the media side, and the bytes they take.
  std::pair<std::set<std::string>, unsigned long long> Expected(int os, const std::vector<long long>& ids,
                                                                const std::string& pack) {
    const MediaReleaseRecord& media = model().media[0];
    const long long bs = os > 4 ? CacheUnixBinarySet(os) : os;
    ExpectedLists all = OracleRelease16(manifest(), model(), media, static_cast<int>(os), {bs, ids});
    EXPECT_TRUE(all.ok);
    const std::string payload = OraclePayload(os, model());
    const std::string prefix = payload + "/LooseUpdates/";
    const std::string sideRel = MediaReleaseRel(model(), media) + (os > 4 ? "/Unix" : "/Windows");
    const std::string areaRel = sideRel + "/" + payload + "/LooseUpdates";
    const LooseArea& area = (os > 4 ? media.unix : media.windows).loose.at(payload);
    std::set<std::string> names;
    bool loose = false;
    for (const Entry& e : all.media) {
      if (e.first.compare(0, prefix.size(), prefix) == 0) {
        const std::string rest = e.first.substr(prefix.size());
        if (rest.compare(0, 8, "Updates/") == 0 && pack.empty()) {
          loose = true;
        } else if (rest.compare(0, 8, "Updates/") == 0 || rest.compare(0, 2, "CU") == 0) {
          continue;  // loose updates give way to the pack; other packs are not asked for
        } else {
          continue;  // installer files: added below when something else was found
        }
      }
      names.insert(OracleSlashes(e.first));
    }
    bool packed = false;
    for (const PackRecord& p : area.packs)
      if (p.folder == pack)
        for (const Entry& x : OraclePack(manifest(), areaRel, p, {bs, all.packages}, os, true)) {
          names.insert(OracleSlashes(prefix + x.first));
          packed = true;
        }
    if (loose || packed)
      for (const Entry& x : OracleInstaller(manifest(), areaRel, area.installer, os > 4))
        names.insert(prefix + x.first);
    unsigned long long size = 0;
    for (const std::string& n : names) {
      auto f = manifest().files.find(sideRel + "/" + n);
      size += f == manifest().files.end() ? 0 : f->second.size;
    }
    return {names, size};
  }
  static std::vector<long long> MediaPackages() {
    return std::vector<long long>(hub_->media.packages.begin(), hub_->media.packages.end());
  }
  std::string MediaSide(const std::string& side) const { return path("KQMedia/11.0.0/" + side); }

  std::string temp_;
  static int serial_;
};
int ReducedPackagesTest::serial_ = 0;

TEST_F(ReducedPackagesTest, WindowsAndUnixPackagesEqualTheModel) {
  // With an OEM set, the OEM files are kept when present on the medium (below the Unix
  // system's own folder); here all are.
  config().set("", "nCurrentOEMId", "5");
  const std::vector<long long> pk = MediaPackages();
  const std::vector<long long> ids = {pk[1], pk[4], pk[7], static_cast<long long>(hub_->media.oemUser)};
  for (int os : {1, 3, 16}) {
    SCOPED_TRACE(::testing::Message() << "os " << os);
    Result r = os > 4 ? RunUnix(MediaSide("Unix"), {ids.begin(), ids.end()}, CacheOSName(os))
                      : Run(MediaSide("Windows"), {ids.begin(), ids.end()}, os);
    ASSERT_EQ(1, r.rc) << r.error;
    auto [names, size] = Expected(os, ids, "");
    const std::string loose = OraclePayload(os, model()) + "/LooseUpdates/Updates/";
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.find(loose) == 0; }));
    EXPECT_EQ(names, std::set<std::string>(r.files.begin(), r.files.end()));
    EXPECT_EQ(names.size(), r.files.size());
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.find("/OEM/5/") != std::string::npos; }));
    EXPECT_TRUE(r.folders.empty());
    EXPECT_EQ(size, r.size);
    EXPECT_EQ(7u, r.code);
    // The model's packages for os are the caller's first, then their dependencies.
    EXPECT_EQ(std::vector<unsigned>(ids.begin(), ids.end()), std::vector<unsigned>(r.ids.begin(), r.ids.begin() + 4));
    EXPECT_TRUE(std::is_sorted(r.ids.begin() + 4, r.ids.end()));
  }
}

// The list file names one pack's files (with its own updates) instead of the loose updates.
TEST_F(ReducedPackagesTest, UpdatePackNumberSelectsOnePackAndItsOwnUpdates) {
  const std::vector<long long> ids;  // every package
  for (int pack : {0, -3, 10}) {
    SCOPED_TRACE(pack);
    Result r = Run(MediaSide("Windows"), {ids.begin(), ids.end()}, 3, "P", pack);
    auto [names, size] = Expected(3, ids, pack > 0 ? "CU" + std::to_string(pack) : "");
    EXPECT_EQ(pack > 0, names.count("BinaryPayload/LooseUpdates/CU10/Config/CumulativeUpdatePackInstallMap.xml") == 1);
    std::set<std::string> lines;
    for (const std::string& line : kqtext::SplitLines(ReadFile(temp_ + "/Install/P-Out.txt"))) lines.insert(line);
    EXPECT_EQ(names, lines);
    if (pack > 0) continue;  // the generated packs keep their updates' binaries one folder deeper
    ASSERT_EQ(1, r.rc) << r.error;
    EXPECT_EQ(names, std::set<std::string>(r.files.begin(), r.files.end()));
    EXPECT_EQ(size, r.size);
  }
}

class TinyMediaTest : public ReducedPackagesTest {
 protected:
  void SetUp() override {
    ReducedPackagesTest::SetUp();
    media_ = Scratch("tiny");
    if (!fs::exists(media_)) WriteTinyWindows(media_);
  }
  std::string ListFile(const std::string& name) const { return temp_ + "/Install/" + name + "-Out.txt"; }
  std::string media_;
};

TEST_F(TinyMediaTest, DependenciesFollowTheCallersIdsAndAskForTheReboot) {
  Result r = Run(media_, {5, 2}, 3, "");
  ASSERT_EQ(1, r.rc) << r.error;
  EXPECT_EQ((std::vector<unsigned>{5, 2, 3, 9}), r.ids);
  EXPECT_TRUE(r.reboot);
  EXPECT_EQ(TinyList({2, 3, 5, 9}), r.files);
  EXPECT_NE("", ReadFile(ListFile("InstallPkgs")));

  Result quiet = Run(media_, {2}, 3, "a/b:c");
  ASSERT_EQ(1, quiet.rc);
  EXPECT_FALSE(quiet.reboot);
  EXPECT_EQ(TinyList({2, 3}), quiet.files);
  EXPECT_TRUE(fs::exists(ListFile("a_b_c")));
}

TEST_F(TinyMediaTest, UnsafeListFoldersAndPlantedLinksFailAndLeaveTheirTargets) {
  const std::string victim = Scratch("victim");
  WriteFile(victim + "/keep.txt", "keep");
  // The "Install" folder is a link.
  fs::create_directories(temp_);
  fs::create_directory_symlink(victim, temp_ + "/Install");
  EXPECT_EQ(0, Run(media_, {2}, 3).rc);
  // The logged text as it stands, the reason on a line of its own.
  const std::string log = Log();
  const size_t at = log.find("Failed to create the directory [" + temp_ + "/Install] with errno [");
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ(']', log.at(log.find('\n', at) - 1));
  EXPECT_NE(std::string::npos, log.find("Reason: it is not a real folder", at));
  EXPECT_EQ((std::vector<std::string>{"keep.txt"}), [&] {
    std::vector<std::string> n;
    for (auto& e : fs::directory_iterator(victim)) n.push_back(e.path().filename());
    return n;
  }());
  fs::remove(temp_ + "/Install");

  // The list file is a link.
  fs::create_directories(temp_ + "/Install");
  fs::create_symlink(victim + "/keep.txt", ListFile("P"));
  EXPECT_EQ(0, Run(media_, {2}, 3).rc);
  EXPECT_EQ("keep", ReadFile(victim + "/keep.txt"));
  fs::remove(ListFile("P"));

  // The folder may be written by others, or belongs to someone else.
  ::chmod((temp_ + "/Install").c_str(), 0777);
  EXPECT_EQ(0, Run(media_, {2}, 3).rc);
  ::chmod((temp_ + "/Install").c_str(), 0700);
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chown((temp_ + "/Install").c_str(), 65534, 65534));
    EXPECT_EQ(0, Run(media_, {2}, 3).rc);
    ASSERT_EQ(0, ::chown((temp_ + "/Install").c_str(), 0, 0));
  }
  Result ok = Run(media_, {2}, 3);
  EXPECT_EQ(1, ok.rc) << ok.error;
}

TEST_F(TinyMediaTest, AShortWriteFailsTheList) {
  fs::create_directories(temp_ + "/Install");
  pid_t child = ::fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {40, 40};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Result r = Run(media_, {5}, 3);
    ::_exit(r.rc == 0 && r.error.find("Failed to write file") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Callers sharing one package name and temp folder each read back exactly their own list.
TEST_F(TinyMediaTest, ConcurrentCallersOnOneListFileReadTheirOwnList) {
  std::vector<std::thread> threads;
  std::vector<int> good(8, 0);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        const unsigned id = 20 + static_cast<unsigned>(t);
        Result r = Run(media_, {id}, 3, "Shared");
        good[t] += r.rc == 1 && r.files == TinyList({id});
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::vector<int>(8, 5), good);

  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    pid_t child = ::fork();
    if (child == 0) {
      int bad = 0;
      for (int round = 0; round < 5; ++round) {
        const unsigned id = 28 + static_cast<unsigned>(p);
        Result r = Run(media_, {id}, 3, "Shared");
        bad += !(r.rc == 1 && r.files == TinyList({id}));
      }
      ::_exit(bad);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

// Runs body in a child process that is ended (SIGALRM) when it takes longer than `seconds`;
// true when body returned true in time.
bool ChildSucceedsWithin(unsigned seconds, const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(seconds);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A list written by one catalogue, which keeps it until its own read-back, is read at once by
// another catalogue: in another process and on the writer's own thread.
TEST_F(TinyMediaTest, OtherCataloguesReadAWrittenListWithoutWaitingForItsWriter) {
  SetReleasesSupportedOnClient();
  KQPackageCache writer(root(), false, 0, true);
  ASSERT_TRUE(writer.SetTempPath(temp_));
  writer.setDvdLocation(media_, true);
  ASSERT_TRUE(writer.ReadWinPackageDetails());
  ASSERT_TRUE(writer.CreatePkgInfoFile({20}, "Held", 3, 3, 0)) << writer.getErrMsg();
  const auto readsTheList = [&] {
    KQPackageCache reader(root(), false, 0, true);
    std::list<std::string> files, folders;
    unsigned long long size = 0;
    return reader.SetTempPath(temp_) && reader.ComputeFileList("Held", media_, files, folders, size, 3) &&
           files == TinyList({20});
  };
  ASSERT_TRUE(ChildSucceedsWithin(20, readsTheList));
  EXPECT_TRUE(readsTheList());
  // The writer still reads back its own list.
  std::list<std::string> files, folders;
  unsigned long long size = 0;
  ASSERT_TRUE(writer.ComputeFileList("Held", media_, files, folders, size, 3));
  EXPECT_EQ(TinyList({20}), files);
}

// One process rewrites a long list in a loop, in turn for two package sets, while another reads
// it for a second: every read gets one of the two whole lists. No temporary file of the list
// stays behind, neither the one of the writer ended at last nor one that a writer that died
// earlier left; another list's stays.
TEST_F(ReducedPackagesTest, AListReadWhileAnotherProcessRewritesItIsNeverShort) {
  const std::vector<long long> pk = MediaPackages();
  const std::vector<unsigned> sets[2] = {{}, {static_cast<unsigned>(pk[1]), static_cast<unsigned>(pk[4])}};
  const std::string media = MediaSide("Windows");
  std::list<std::string> lists[2];
  for (int k : {1, 0}) {
    Result r = Run(media, sets[k], 3, "Loop");
    ASSERT_EQ(1, r.rc) << r.error;
    lists[k] = r.files;
  }
  ASSERT_LT(lists[1].size(), lists[0].size());
  const std::string folder = temp_ + "/Install";
  const std::string stale = folder + "/Loop-Out.txt.0123456789abcdef.tmp";
  const std::string otherList = folder + "/Loop-Out.txt.B-Out.txt.0123456789abcdef.tmp";
  WriteFile(stale, "x\n");
  WriteFile(otherList, "x\n");  // a temporary file of the list of package "Loop-Out.txt.B"

  const pid_t writer = ::fork();
  if (writer == 0) {
    for (int round = 1;; ++round) {  // until it is ended
      Result r = Run(media, sets[round % 2], 3, "Loop");
      if (r.rc != 1 || r.files != lists[round % 2]) ::_exit(1);
    }
  }
  KQPackageCache reader(root(), false, 0, true);
  ASSERT_TRUE(reader.SetTempPath(temp_));
  int reads = 0, whole = 0;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
       std::chrono::steady_clock::now() < end; ++reads) {
    std::list<std::string> files, folders;
    unsigned long long size = 0;
    whole += reader.ComputeFileList("Loop", media, files, folders, size, 3) &&
             (files == lists[0] || files == lists[1]);
  }
  ::kill(writer, SIGKILL);
  int status = 0;
  ASSERT_EQ(writer, ::waitpid(writer, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer read back a list not its own";
  EXPECT_EQ(reads, whole);

  EXPECT_EQ(lists[1], Run(media, sets[1], 3, "Loop").files);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
  EXPECT_EQ(1u, names.erase(fs::path(otherList).filename()));
  for (const std::string& name : names) EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
}

TEST_F(ReducedPackagesTest, UnixNamesAndMediaFoldersAreChecked) {
  // An operating system the catalogue does not know: 0, the code untouched.
  Result unknown = RunUnix(MediaSide("Unix"), {}, "no-such-os");
  EXPECT_EQ(0, unknown.rc);
  EXPECT_EQ(7u, unknown.code);

  // A medium whose folder for the binary set's first operating system is empty.
  const std::string media = Scratch("unix-empty");
  CatalogueModel m;
  m.windows = false;
  m.sections.push_back(SectionRecord{"linux-x8664", 31, {{"linux-x8664", 31}, {"linux", 31}}});
  m.binaryInfo["linux-x8664"] = {BinarySetRecord{"linux-x8664", 31, {}}};
  WriteMedia(m, media);
  fs::remove(media + "/linux-x8664/BinaryInfo.xml");
  fs::remove(media + "/linux-x8664/BinaryInfo.xml.description");
  WriteFile(media + "/linux-x8664/empty.txt", "");
  Result empty = RunUnix(media, {}, "linux");
  EXPECT_EQ(0, empty.rc);
  EXPECT_EQ(kReducedPackageWithoutMedia, empty.code);
  EXPECT_EQ(0, RunUnix(media, {}, "linux", false).rc);
}

}  // namespace
}  // namespace kqtest
