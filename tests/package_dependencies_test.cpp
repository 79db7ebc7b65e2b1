// Dependency and reverse-dependency walks and the closure, against the generator's model and
// against small catalogues written for one case each.
#include <stack>

#include "MediaTestEnv.h"

namespace kqtest {
namespace {

std::vector<unsigned> ToVector(const std::list<unsigned>& l) { return {l.begin(), l.end()}; }
std::vector<unsigned> Drain(std::stack<unsigned> s) {
  std::vector<unsigned> out;
  for (; !s.empty(); s.pop()) out.insert(out.begin(), s.top());
  return out;
}

class PackageDependenciesTest : public MediaTest {
 protected:
  // Writes a Windows catalogue of the given entries (binary set 3) and loads it.
  std::unique_ptr<KQPackageCache> Load(const std::vector<PkgDetailsRecord>& details) {
    CatalogueModel m;
    m.details = details;
    small = m;
    std::string path = config.root() + "/small" + std::to_string(++written) + "/WinPackages.xml";
    WriteTextFile(path, XmlText(PackageDetailsMessage(m), false));
    auto c = std::make_unique<KQPackageCache>(false);
    EXPECT_TRUE(c->getXMLDetails(path, false, true));
    return c;
  }
  static PkgDetailsRecord Entry(long long id, std::vector<long long> deps, int reboot = kAbsent,
                                long long bs = 3) {
    return PkgDetailsRecord{id, bs, reboot, true, std::move(deps), {}};
  }
  CatalogueModel small;
  int written = 0;
};

TEST_F(PackageDependenciesTest, DirectAndTransitiveWalksMatchTheModel) {
  WriteBoth();
  auto c = Catalogue();
  ASSERT_TRUE(c->ReadWinPackageDetails());
  ASSERT_TRUE(c->ReadUnixPackageDetails(GetOSIdFromName("linux-x8664")));
  size_t longest = 0;
  for (const auto& [model, bs] : {std::make_pair(&media.windows, 3), std::make_pair(&media.windows, 1),
                                  std::make_pair(&media.unix, 31), std::make_pair(&media.unix, kLoopBinarySet)}) {
    std::vector<unsigned> ids = media.packages;
    ids.insert(ids.end(), {media.missingEntry, media.selfLoop, media.cycleA, 99999});
    for (unsigned id : ids) {
      SCOPED_TRACE("package " + std::to_string(id) + " bs " + std::to_string(bs));
      bool wantReboot = false;
      auto want = OracleDirect(*model, id, bs, &wantReboot);
      std::list<unsigned> direct{77};
      bool reboot = false;
      ASSERT_EQ(want.has_value(), c->GetDependentPackages(id, direct, reboot, bs));
      direct.pop_front();
      if (want) {
        EXPECT_EQ(*want, ToVector(direct));
      }
      EXPECT_EQ(wantReboot, reboot);

      std::list<unsigned> all;
      bool recursiveReboot = false;
      EXPECT_TRUE(c->GetDependentPackagesRecurs(id, all, recursiveReboot, bs));
      EXPECT_EQ(OracleRecursive(*model, id, bs), ToVector(all));
      EXPECT_EQ(wantReboot, recursiveReboot);
      longest = std::max(longest, all.size());
    }
  }
  EXPECT_GT(longest, 30u) << "the generated media should have deep, repetitive closures";
}

TEST_F(PackageDependenciesTest, ReverseWalksMatchTheModel) {
  WriteBoth();
  auto c = Catalogue();
  ASSERT_TRUE(c->ReadUnixPackageDetails(GetOSIdFromName("linux-x8664")));
  std::vector<int> filter(media.packages.begin(), media.packages.end());
  filter.insert(filter.end(), {static_cast<int>(media.selfLoop), static_cast<int>(media.cycleA),
                               static_cast<int>(media.cycleB)});
  std::vector<int> half(filter.begin(), filter.begin() + filter.size() / 2);
  for (const std::vector<int>* f : {&filter, &half}) {
    for (unsigned id : {media.packages[0], media.packages[70], media.packages[130], media.missingEntry,
                        media.selfLoop, media.cycleB}) {
      SCOPED_TRACE("package " + std::to_string(id));
      bool wantReboot = false;
      std::vector<unsigned> want = OracleReverse(media.unix, id, *f, &wantReboot);
      std::list<unsigned> users;
      bool reboot = false;
      EXPECT_TRUE(c->GetReverseDependentPackages(id, users, *f, reboot, 31));
      EXPECT_EQ(want, ToVector(users));
      EXPECT_EQ(wantReboot, reboot);

      std::stack<unsigned> pushed;
      bool any = false;
      EXPECT_TRUE(c->GetReverseDependentPackagesRecurs(id, pushed, *f, any, 31));
      EXPECT_EQ(OracleReverseRecursive(media.unix, id, *f), Drain(pushed));
    }
  }
  std::list<unsigned> none;
  bool reboot = false;
  EXPECT_TRUE(c->GetReverseDependentPackages(media.packages[0], none, {}, reboot, 31));
  EXPECT_TRUE(none.empty());
}

TEST_F(PackageDependenciesTest, WalkOrderAndRepetitions) {
  auto c = Load({Entry(1, {2, 3}), Entry(2, {4}), Entry(3, {5})});
  std::list<unsigned> out;
  bool reboot = false;
  EXPECT_TRUE(c->GetDependentPackagesRecurs(1, out, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{2, 3, 4, 5}), ToVector(out));

  auto d = Load({Entry(1, {2, 3}), Entry(2, {3})});
  out.clear();
  EXPECT_TRUE(d->GetDependentPackagesRecurs(1, out, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{2, 3, 3}), ToVector(out));
  // Another binary set: nothing, and the flag stays.
  reboot = true;
  out.clear();
  EXPECT_FALSE(d->GetDependentPackages(1, out, reboot, 1));
  EXPECT_TRUE(reboot);
  EXPECT_TRUE(out.empty());
}

TEST_F(PackageDependenciesTest, OddRecordsAndRebootFlags) {
  auto c = Load({Entry(1, {kNoId, 0, 2, 2}, 1), Entry(1, {9}, 0), Entry(2, {}, 0),
                 PkgDetailsRecord{3, 3, kAbsent, false, {}, {}}, Entry(4, {3}, 1)});
  std::list<unsigned> out;
  bool reboot = false;
  // The first entry of a package and binary set counts; records without an id and id 0 don't.
  EXPECT_TRUE(c->GetDependentPackages(1, out, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{2, 2}), ToVector(out));
  EXPECT_TRUE(reboot);
  EXPECT_TRUE(c->GetDependentPackages(2, out, reboot, 3));
  EXPECT_FALSE(reboot);
  reboot = true;
  out.clear();
  EXPECT_TRUE(c->GetDependentPackages(3, out, reboot, 3));  // no list, no reboot field
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(reboot);
  // The recursive walk reports only the requested package's own flag, and never clears it.
  reboot = false;
  EXPECT_TRUE(c->GetDependentPackagesRecurs(2, out, reboot, 3));
  EXPECT_FALSE(reboot);
  reboot = true;
  EXPECT_TRUE(c->GetDependentPackagesRecurs(2, out, reboot, 3));
  EXPECT_TRUE(reboot);
  // Reverse: entry 1 names 2 twice, so it comes twice; the recursive form keeps it once.
  std::list<unsigned> users;
  reboot = false;
  EXPECT_TRUE(c->GetReverseDependentPackages(2, users, {1, 4}, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{1, 1}), ToVector(users));
  EXPECT_TRUE(reboot);
  std::stack<unsigned> pushed;
  reboot = false;
  EXPECT_TRUE(c->GetReverseDependentPackagesRecurs(3, pushed, {1, 2, 4}, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{4}), Drain(pushed));
  EXPECT_TRUE(reboot);
  // No catalogue at all.
  KQPackageCache empty(false);
  EXPECT_FALSE(empty.GetDependentPackages(1, out, reboot, 3));
  users.clear();
  EXPECT_TRUE(empty.GetReverseDependentPackages(2, users, {1}, reboot, 3));
  EXPECT_TRUE(users.empty());
}

TEST_F(PackageDependenciesTest, LoopsStopTheRecursiveWalks) {
  auto c = Load({Entry(1, {1}), Entry(2, {3}), Entry(3, {2}), Entry(4, {5, 2}), Entry(5, {4})});
  std::list<unsigned> out;
  bool reboot = false;
  EXPECT_TRUE(c->GetDependentPackagesRecurs(1, out, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{1}), ToVector(out));
  out.clear();
  EXPECT_TRUE(c->GetDependentPackagesRecurs(2, out, reboot, 3));
  EXPECT_EQ((std::vector<unsigned>{3, 2}), ToVector(out));
  out.clear();
  EXPECT_TRUE(c->GetDependentPackagesRecurs(4, out, reboot, 3));
  EXPECT_EQ(OracleRecursive(small, 4, 3), ToVector(out));
  std::stack<unsigned> pushed;
  EXPECT_TRUE(c->GetReverseDependentPackagesRecurs(2, pushed, {1, 2, 3, 4, 5}, reboot, 3));
  EXPECT_EQ(OracleReverseRecursive(small, 2, {1, 2, 3, 4, 5}), Drain(pushed));
  EXPECT_NE(std::string::npos,
            Log().find("There is a dependency loop detected in package XML files on package id [1]."));
}

TEST_F(PackageDependenciesTest, DiamondChainsStopAtTheOutputCap) {
  // Forty layers of two packages, each depending on both of the next layer: 2^40 paths.
  std::vector<PkgDetailsRecord> details;
  for (long long layer = 0; layer < 40; ++layer)
    for (long long k = 0; k < 2; ++k)
      details.push_back(Entry(100 + layer * 2 + k, {100 + (layer + 1) * 2, 101 + (layer + 1) * 2}));
  auto c = Load(details);
  std::list<unsigned> out{1};
  bool reboot = false;
  EXPECT_TRUE(c->GetDependentPackagesRecurs(100, out, reboot, 3));
  EXPECT_EQ(kMaxDependencyWalkEntries + 1, out.size());
  std::stack<unsigned> pushed;
  std::vector<int> filter;
  for (const PkgDetailsRecord& d : details) filter.push_back(static_cast<int>(d.packageId));
  EXPECT_TRUE(c->GetReverseDependentPackagesRecurs(181, pushed, filter, reboot, 3));
  EXPECT_EQ(kMaxDependencyWalkEntries, pushed.size());
  EXPECT_NE(std::string::npos, Log().find("Dependency walk of package id [100] stopped after ["));
}

TEST_F(PackageDependenciesTest, LongChainsNeedNoDeepStack) {
  const long long n = 60000;
  std::vector<PkgDetailsRecord> details;
  for (long long i = 1; i < n; ++i) details.push_back(Entry(i, {i + 1}));
  auto c = Load(details);
  std::list<unsigned> out;
  bool reboot = false;
  EXPECT_TRUE(c->GetDependentPackagesRecurs(1, out, reboot, 3));
  EXPECT_EQ(static_cast<size_t>(n - 1), out.size());
  std::map<unsigned, packageDepEntry> map;
  for (unsigned i = 1; i < n; ++i) map[i].deps.insert(i + 1);
  std::set<unsigned> own, tp;
  EXPECT_EQ(0, calculateClosure(1, map, own, tp));
  EXPECT_EQ(static_cast<size_t>(n), own.size());
}

TEST(CalculateClosure, SplitsOwnAndThirdPartyAndDetectsLoops) {
  std::map<unsigned, packageDepEntry> map;
  map[1].deps = {2, 6000};
  map[2].deps = {3};
  map[6000].isThirdParty = true;
  map[6000].deps = {6001};
  map[6001].isThirdParty = true;
  std::set<unsigned> own, tp;
  EXPECT_EQ(0, calculateClosure(1, map, own, tp));
  EXPECT_EQ((std::set<unsigned>{1, 2, 3}), own);  // 3 has no entry: an own package
  EXPECT_EQ((std::set<unsigned>{6000, 6001}), tp);
  EXPECT_EQ(2, map[1].state);
  EXPECT_EQ(2, map[3].state);

  // A processed package adds its direct dependencies again, into fresh sets.
  std::set<unsigned> own2, tp2;
  EXPECT_EQ(0, calculateClosure(1, map, own2, tp2));
  EXPECT_EQ((std::set<unsigned>{2}), own2);
  EXPECT_EQ((std::set<unsigned>{6000}), tp2);

  // A loop: -1, the path stays in progress, the sets keep what came before.
  map[10].deps = {11};
  map[11].deps = {12};
  map[12].deps = {10};
  std::set<unsigned> own3, tp3;
  EXPECT_EQ(-1, calculateClosure(10, map, own3, tp3));
  EXPECT_EQ((std::set<unsigned>{10, 11, 12}), own3);
  EXPECT_EQ(1, map[10].state);
  EXPECT_EQ(1, map[12].state);
  EXPECT_EQ(-1, calculateClosure(11, map, own3, tp3));

  std::map<unsigned, packageDepEntry> self;
  self[5].deps = {5};
  EXPECT_EQ(-1, calculateClosure(5, self, own3, tp3));
}

}  // namespace
}  // namespace kqtest
