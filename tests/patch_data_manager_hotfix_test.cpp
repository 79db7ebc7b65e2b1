// The hotfix configuration: which entries a load keeps for a version and visibility level,
// when a load is reused, and the update files handed out per update-OS id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DataManagerTestEnv.h"
#include "HubnodeFixture.h"
#include "KqDbTestEnv.h"
#include "Database/DbSession.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"

using kqfixture::HotfixEntry;
using kqfixture::HubnodeModel;
using kqfixture::Media;
using kqfixture::WithPack;
using nPatchDownload::CPatchInstallCommon;
using UpdatePatches::BinaryV11;

namespace {

class HotfixTest : public kqtest::DataManagerTest {
 protected:
  HotfixTest() : model(HubnodeModel::Generate(19)) {
    model.Seed();
    file = db.config().root() + "/HotfixConfiguration.xml";
  }

  void WriteHotfixes(bool crlf = false) {
    kqfixture::WriteMessageFile(file, model.HotfixListMessage(), crlf);
  }

  // Every update-OS id's names, in the order handed out.
  std::map<int, std::vector<std::string>> Lists() {
    std::map<int, std::vector<std::string>> out;
    for (int id = 0; id <= 40; ++id) {
      std::vector<BinaryV11> files;
      EXPECT_EQ(manager->GetUpdatesList(id, files, {}), 0u);
      for (const BinaryV11& f : files) out[id].push_back(f.getstring(BinaryV11::kFileName));
    }
    return out;
  }

  static unsigned long Total(const std::map<int, std::vector<std::string>>& lists) {
    unsigned long n = 0;
    for (const auto& l : lists) n += l.second.size();
    return n;
  }

  HubnodeModel model;
  std::string file;
  const FullVersion version = Media(11, 80, 28, 0, 4711, 3);
};

TEST_F(HotfixTest, KeptEntriesFollowTheVersionAndTheVisibilityLevel) {
  WriteHotfixes(true);
  unsigned long count = 999;
  ASSERT_EQ(manager->GetAllUpdatesList(file, 11, count, version, false), 0u);
  auto expected = model.ExpectedHotfixes(version, false, 0);
  EXPECT_EQ(count, Total(expected));
  EXPECT_EQ(Lists(), expected);

  // A comment inside a value: a text only the plain parse reads loads the same entries.
  const std::string text = kqtest::ReadFile(file);
  const size_t value = text.find("</s>");
  ASSERT_NE(value, std::string::npos);
  kqtest::WriteFile(file, text.substr(0, value) + "<!--c--> " + text.substr(value));
  count = 999;
  ASSERT_EQ(manager->GetAllUpdatesList(file, 10, count, version, false), 0u);
  EXPECT_EQ(count, Total(expected));
  EXPECT_EQ(Lists(), expected);
  kqtest::WriteFile(file, text.substr(0, value) + "<!--c-->");
  EXPECT_EQ(manager->GetAllUpdatesList(file, 9, count, version, false), 0x8000000Fu);
  WriteHotfixes(true);

  // An update-pack transaction id raises the threshold above the media's.
  const FullVersion withPack = WithPack(version, 2, 6000);
  ASSERT_EQ(manager->GetAllUpdatesList(file, 12, count, withPack, false), 0u);
  expected = model.ExpectedHotfixes(withPack, false, 0);
  EXPECT_EQ(count, Total(expected));
  EXPECT_EQ(Lists(), expected);

  // Visibility checked at level 2; then the same file and version without the check.
  db.config().set("GlobalParams", "Patch Visibility Level", "2");
  ASSERT_EQ(manager->GetAllUpdatesList(file, 12, count, withPack, true), 0u);
  expected = model.ExpectedHotfixes(withPack, true, 2);
  ASSERT_NE(expected, model.ExpectedHotfixes(withPack, false, 0));  // the seed filters some
  ASSERT_NE(expected, model.ExpectedHotfixes(withPack, true, 3));
  EXPECT_EQ(Lists(), expected);
  EXPECT_EQ(count, Total(expected));
  ASSERT_EQ(manager->GetAllUpdatesList(file, 12, count, withPack, false), 0u);
  EXPECT_EQ(Lists(), model.ExpectedHotfixes(withPack, false, 0));
  // The level changed since: the same file is filtered again.
  db.config().set("GlobalParams", "Patch Visibility Level", "3");
  ASSERT_EQ(manager->GetAllUpdatesList(file, 12, count, withPack, true), 0u);
  EXPECT_EQ(Lists(), model.ExpectedHotfixes(withPack, true, 3));
}

TEST_F(HotfixTest, OneReadPerChecksumAndFailedLoadsKeepTheLastOne) {
  WriteHotfixes();
  unsigned long count = 0;
  ASSERT_EQ(manager->GetAllUpdatesList(file, 500, count, version, false), 0u);
  const auto loaded = Lists();
  ASSERT_GT(Total(loaded), 0u);
  ASSERT_EQ(unlink(file.c_str()), 0);
  count = 12345;
  EXPECT_EQ(manager->GetAllUpdatesList(file, 500, count, version, false), 0u);
  EXPECT_EQ(count, 12345u);
  EXPECT_TRUE(Logged("Hotfix configuration file with checksum [500] is already loaded."));

  // Another checksum must read the file: missing, then not a hotfix list.
  EXPECT_EQ(manager->GetAllUpdatesList(file, 501, count, version, false), 0x80000010u);
  kqtest::WriteFile(file, "<m s=\"23\" id=\"45\"><broken");
  EXPECT_EQ(manager->GetAllUpdatesList(file, 501, count, version, false), 0x8000000Fu);
  EXPECT_EQ(count, 12345u);
  EXPECT_EQ(Lists(), loaded);
  // The same checksum with another version is no reuse either.
  EXPECT_EQ(manager->GetAllUpdatesList(file, 500, count, Media(11, 80, 28, 0, 1, 3), false),
            0x8000000Fu);
}

TEST_F(HotfixTest, ThresholdUnknownBinarySetsAndHostileNames) {
  model.hotfixes.clear();
  auto add = [this](const std::string& name, int binarySet, bool hasTrans, int trans) {
    HotfixEntry e;
    e.name = name;
    e.binarySet = binarySet;
    e.checksum = "77";
    e.hasTrans = hasTrans;
    e.trans = trans;
    model.hotfixes.push_back(e);
  };
  add("equal.zip", 3, true, 4711);    // equal to the threshold: skipped
  add("above.zip", 3, true, 4712);    // kept
  add("zero.zip", 3, true, 0);        // transaction id 0: kept
  add("unset.zip", 4, false, 0);      // no transaction id: kept
  add("unknown.zip", 42, false, 0);   // binary set not in the map: update-OS id 0
  add("../evil.zip", 3, false, 0);
  add("dir/evil.zip", 3, false, 0);
  add("dir\\evil.zip", 3, false, 0);
  add("..", 3, false, 0);
  add("", 3, false, 0);
  WriteHotfixes();
  unsigned long count = 0;
  ASSERT_EQ(manager->GetAllUpdatesList(file, 7, count, version, false), 0u);
  EXPECT_EQ(count, 3u);
  const auto lists = Lists();
  EXPECT_EQ(lists.at(3), (std::vector<std::string>{"above.zip", "zero.zip"}));
  EXPECT_EQ(lists.at(4), (std::vector<std::string>{"unset.zip"}));
  EXPECT_EQ(Total(lists), 3u);
  EXPECT_TRUE(Logged("Current OS Id [0] is not supported, continuing."));
  EXPECT_TRUE(Logged("Update name [../evil.zip] is not a plain file name, skipping it"));
  EXPECT_TRUE(Logged("Update name [dir\\evil.zip] is not a plain file name, skipping it"));

  // The files handed out: under the OS name and the feature release, or without it.
  std::vector<BinaryV11> files;
  ASSERT_EQ(manager->GetUpdatesList(3, files, {1, 2}), 0u);
  ASSERT_EQ(files.size(), 2u);
  const std::string os = CPatchInstallCommon::GetUpdateOSNameFromID(3, false);
  EXPECT_EQ(files[0].getstring(BinaryV11::kRelativePath), os + "/SP28/Updates/above.zip");
  EXPECT_EQ(files[0].getstring(BinaryV11::kChecksum), "77");
  EXPECT_EQ(files[0].getstring(BinaryV11::kField2), "3");
  ASSERT_EQ(manager->GetAllUpdatesList(file, 8, count, Media(0, 0, 0, 0, 4711, 0), false), 0u);
  files.clear();
  ASSERT_EQ(manager->GetUpdatesList(4, files, {}), 0u);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].getstring(BinaryV11::kRelativePath),
            std::string(CPatchInstallCommon::GetUpdateOSNameFromID(4, false)) +
                "/Updates/unset.zip");
}

TEST_F(HotfixTest, EachFileCarriesItsOwnChecksumAcrossReloads) {
  // Names longer than a short string, a checksum written as a number and one not written.
  for (HotfixEntry& e : model.hotfixes)
    if (e.name[5] % 3 == 0) e.name = "Update-for-every-side-" + e.name;
  for (HotfixEntry& e : model.hotfixes) e.hasTrans = false;
  model.hotfixes[0].binarySet = 3;  // both kept
  model.hotfixes[1].binarySet = 3;
  UpdatePatches::HotfixList list = model.HotfixListMessage();
  std::vector<CNMessageBase>& entries = *list.getlistobject(UpdatePatches::HotfixList::kEntries);
  entries[0].setint64(UpdatePatches::HotfixListEntry::kField4, 4023233417LL);
  model.hotfixes[0].checksum = "4023233417";
  entries[1].unset(UpdatePatches::HotfixListEntry::kField4);
  model.hotfixes[1].checksum = "";

  // "id flag name checksum path" of every file handed out, in order.
  auto handedOut = [this] {
    std::vector<std::string> out;
    for (int id = 0; id <= 40; ++id) {
      std::vector<BinaryV11> files;
      EXPECT_EQ(manager->GetUpdatesList(id, files, {}), 0u);
      for (const BinaryV11& f : files)
        out.push_back(std::to_string(id) + " " + f.getstring(BinaryV11::kField2) + " " +
                      f.getstring(BinaryV11::kFileName) + " " +
                      f.getstring(BinaryV11::kChecksum) + " " +
                      f.getstring(BinaryV11::kRelativePath));
    }
    return out;
  };
  auto expected = [this] {
    std::map<std::string, std::string> checksums;
    for (const HotfixEntry& e : model.hotfixes) checksums[e.name] = e.checksum;
    std::vector<std::string> out;
    for (const auto& l : model.ExpectedHotfixes(version, false, 0))
      for (const std::string& name : l.second)
        out.push_back(std::to_string(l.first) + " " + std::to_string(l.first) + " " + name + " " +
                      checksums[name] + " " +
                      CPatchInstallCommon::GetUpdateOSNameFromID(l.first, false) +
                      "/SP28/Updates/" + name);
    return out;
  };

  kqfixture::WriteMessageFile(file, list);
  unsigned long count = 0;
  ASSERT_EQ(manager->GetAllUpdatesList(file, 31, count, version, false), 0u);
  const std::vector<std::string> first = expected();
  ASSERT_GT(first.size(), 10u);
  auto has = [&first](const std::string& part) {
    return std::any_of(first.begin(), first.end(),
                       [&part](const std::string& f) { return f.find(part) != std::string::npos; });
  };
  ASSERT_TRUE(has("3 3 " + model.hotfixes[0].name + " 4023233417 "));
  ASSERT_TRUE(has("3 3 " + model.hotfixes[1].name + "  "));
  EXPECT_EQ(count, first.size());
  EXPECT_EQ(handedOut(), first);

  // A smaller file with other checksums: nothing of the first load is handed out again.
  model.hotfixes.resize(7);
  for (HotfixEntry& e : model.hotfixes) e.checksum = "c" + e.checksum;
  WriteHotfixes();
  ASSERT_EQ(manager->GetAllUpdatesList(file, 32, count, version, false), 0u);
  EXPECT_EQ(count, expected().size());
  EXPECT_EQ(handedOut(), expected());
}

TEST_F(HotfixTest, EmptyFilesAreLoadedAndMapFailuresAreNot) {
  model.hotfixes.clear();
  WriteHotfixes();
  unsigned long count = 5;
  ASSERT_EQ(manager->GetAllUpdatesList(file, 9, count, version, false), 0u);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(unlink(file.c_str()), 0);
  EXPECT_EQ(manager->GetAllUpdatesList(file, 9, count, version, false), 0u);  // not reread

  // Without the binary-set table nothing is recorded as loaded.
  model = HubnodeModel::Generate(3);
  WriteHotfixes();
  Renew();
  kqtest::Sql("DROP TABLE PatchUpdateOS");
  EXPECT_EQ(manager->GetAllUpdatesList(file, 9, count, version, false), 0x80000018u);
  EXPECT_EQ(manager->GetAllUpdatesList(file, 9, count, version, false), 0x80000018u);
  EXPECT_EQ(TimesLogged("Failed to populate update os Id map."), 2u);

  EXPECT_EQ(manager->StoreUpdatesInfo(-1, "", 0), 0x80000008u);
  EXPECT_EQ(manager->StoreUpdatesInfo(0, "", 0), 0u);
}

TEST_F(HotfixTest, ManagersOnSeveralThreadsShareTheVisibilityLevel) {
  WriteHotfixes();
  db.config().set("GlobalParams", "Patch Visibility Level", "2");
  const auto expected = model.ExpectedHotfixes(version, true, 2);
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      nPatchDownload::CPatchDebug threadSink;
      int status = 0;
      nPatchDownload::CPatchDataManagerHN own(threadSink, status);
      for (unsigned long k = 1; k <= 10; ++k) {
        unsigned long count = 0;
        if (own.GetAllUpdatesList(file, k * 10 + t, count, version, true) == 0 &&
            count == Total(expected))
          ++good[t];
      }
      kq::db::CloseThreadSessions();
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(good, std::vector<int>(4, 10));
}

}  // namespace
