// Download items for the content-delivery network: which applicable loose updates are listed,
// under which path (with the feature-release level from the first hotfix on), and with which
// checksum.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CacheTreeModel.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "Vocabulary.h"

namespace {

using kqtest::Blob;
using kqtest::UpdateRecord;
using UpdatePatches::BinaryV11;

// An update whose one binary belongs to package `pkg` in binary set 3.
UpdateRecord Update(const std::string& name, long long pkg, bool withChecksumFile = true) {
  UpdateRecord u;
  u.folder = name;
  u.name = name;
  kqtest::MapPackage p;
  p.id = pkg;
  p.binaries.push_back(kqtest::MapBinary{"bin\\" + name + ".dll", "123", "Binary"});
  kqtest::MapBinarySet set;
  set.id = 3;
  set.packages.push_back(p);
  u.sets.push_back(set);
  u.files["bin/" + name + ".dll"] = Blob::Text(name);
  if (withChecksumFile) u.files["updatesChecksum.txt"] = Blob::Text("  " + name + "-sum more\n");
  return u;
}

// "file checksum os path" of each item.
std::vector<std::string> Lines(const std::vector<BinaryV11>& items) {
  std::vector<std::string> out;
  for (const BinaryV11& b : items)
    out.push_back(b.getstring(BinaryV11::kFileName) + " " + b.getstring(BinaryV11::kChecksum) + " " +
                  b.getstring(BinaryV11::kField2) + " " + b.getstring(BinaryV11::kRelativePath));
  return out;
}

class ContentDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    updates_ = cfg_.root() + "/LooseUpdates/Updates";
    kqtest::CacheManifest out;
    out.root = cfg_.root();
    // In folder order: a pre-release hotfix (never listed, sets nothing), an update before the
    // first hotfix, one that does not apply, the first hotfix, a pre-release after it, and a
    // later update without its checksum file.
    for (const UpdateRecord& u :
         {Update("U1-HotFix-PreRelease", 101), Update("U2", 102), Update("U3", 999),
          Update("U4-HotFix-7", 101), Update("U5-PreRelease", 101), Update("U6", 101, false)})
      kqtest::WriteUpdate(out, "LooseUpdates/Updates", u, false);
  }
  bool Items(std::vector<int> packages, int osId = 3) {
    _SPVersion fr(12);
    return cache_.GetLooseUpdatesForAkamaiDownload(updates_, osId, 3, packages, fr, &items_);
  }

  kqtest::ScopedConfig cfg_;
  std::string updates_;
  KQUpdateCache cache_{7, false};
  std::vector<BinaryV11> items_;
};

TEST_F(ContentDeliveryTest, ItemsGetTheFeatureReleaseLevelFromTheFirstHotfixOn) {
  BinaryV11 earlier;
  earlier.setstring(BinaryV11::kFileName, "kept.exe");
  items_.push_back(earlier);
  ASSERT_TRUE(Items({101, 102}));
  const std::string os = GetOSNameFromId(3);
  EXPECT_EQ((std::vector<std::string>{
                "kept.exe   ",
                "U2.exe U2-sum 3 " + os + "/Updates/U2.exe",
                "U4-HotFix-7.exe U4-HotFix-7-sum 3 " + os + "/SP12/Updates/U4-HotFix-7.exe",
                "U6.exe  3 " + os + "/SP12/Updates/U6.exe"}),
            Lines(items_));
  const std::string log = kqtest::ReadFile(cfg_.logFile());
  EXPECT_NE(std::string::npos, log.find("Skipping friendly update [U1-HotFix-PreRelease]"));
  EXPECT_NE(std::string::npos, log.find("Skipping friendly update [U5-PreRelease]"));
}

TEST_F(ContentDeliveryTest, NothingApplicableListsNothing) {
  EXPECT_TRUE(Items({555}));
  EXPECT_TRUE(items_.empty());
  updates_ = cfg_.root() + "/missing";
  EXPECT_TRUE(Items({}));
  EXPECT_TRUE(items_.empty());
}

TEST_F(ContentDeliveryTest, FailuresAreReportedAndListNothing) {
  // An operating system without a name, no item list, an update map that does not decode.
  EXPECT_FALSE(Items({101}, 99));
  std::vector<int> packages{101};
  _SPVersion fr(12);
  EXPECT_FALSE(cache_.GetLooseUpdatesForAkamaiDownload(updates_, 3, 3, packages, fr, nullptr));
  kqtest::WriteFile(updates_ + "/U3/Config/UpdateFileInstallMap.xml", "<m s=\"23\" id=\"82\"><s");
  EXPECT_FALSE(Items({101}));
  EXPECT_TRUE(items_.empty());
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(cfg_.logFile()).find("Failed to calculate applicable updates list"));
}

}  // namespace
