// Maintenance releases: the database records and their cache, the release to download, the
// catalogue and pack files; the appliance commit and the remote-cache sync status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <queue>
#include <set>
#include <string>
#include <vector>

#include "DataManagerTestEnv.h"
#include "HubnodeFixture.h"
#include "KqDbTestEnv.h"
#include "PortableFiles/SafePath.h"

using kqfixture::HubnodeModel;
using kqfixture::Media;
using kqfixture::PackModel;
using kqfixture::WithPack;
using kqtest::I;
using kqtest::ScopedHostBody;
using kqtest::Sql;
using kqtest::T;
using nPatchDownload::CPatchInstallCommon;
using nPatchDownload::IPatchDataManager;
using nPatchDownload::tCUsPerMediaVersion;
using UpdatePatches::BinaryV11;

namespace {

std::map<std::string, std::set<int>> Texts(const tCUsPerMediaVersion& cus) {
  std::map<std::string, std::set<int>> out;
  for (const auto& e : cus)
    out[e.first.formatted_str(FullVersion::kFormatSide) + "|" +
        std::to_string(e.first.Get(FullVersion::kUPTransactionId)) + "|" +
        e.first.GetStr(FullVersion::kUPFriendlyName)] = e.second;
  return out;
}

std::map<std::string, std::string> Files(const std::vector<BinaryV11>& list) {
  std::map<std::string, std::string> out;
  for (const BinaryV11& b : list)
    out.insert({b.getstring(BinaryV11::kRelativePath), b.getstring(BinaryV11::kChecksum)});
  return out;
}

class CUTest : public kqtest::DataManagerTest {
 protected:
  CUTest() : model(HubnodeModel::Generate(23)) { model.Seed(); }

  // The catalogue of available maintenance releases: per version its packs' numbers.
  UpdatePatches::AvailableCumulativeUpdatePacks Catalogue(
      const std::vector<std::pair<FullVersion, std::vector<int>>>& versions) {
    UpdatePatches::AvailableCumulativeUpdatePacks cat;
    std::vector<CNMessageBase> entries;
    for (const auto& v : versions) {
      UpdatePatches::AvailableCUs entry;
      entry.setObjectAccessor(UpdatePatches::AvailableCUs::kSPVersion, kqfixture::SPMessage(v.first));
      std::vector<CNMessageBase> packs;
      for (int n : v.second) {
        UpdatePatches::UpdatePack p;
        if (n > 0) p.setint64(UpdatePatches::UpdatePack::kNumber, n);
        p.setint64(UpdatePatches::UpdatePack::kField2, 9000 + n);
        packs.push_back(p);
      }
      entry.setlistobject(UpdatePatches::AvailableCUs::kUpdatePacks, packs);
      entries.push_back(entry);
    }
    cat.setlistobject(UpdatePatches::AvailableCumulativeUpdatePacks::kPacks, entries);
    return cat;
  }

  std::string Path(const std::string& name) { return db.config().root() + "/" + name; }

  HubnodeModel model;
  const FullVersion media = Media(11, 80, 28, 0, 4711, 3);
};

TEST_F(CUTest, RecordedReleasesTheirCacheAndDanglingFolders) {
  tCUsPerMediaVersion cus;
  ASSERT_EQ(manager->GetAllCUsInDB(media, cus), 0u);
  const auto expected = model.ExpectedCUs(media);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(Texts(cus), expected);

  // A version that is a key of the cache is answered from it: the database is not asked.
  Sql("DROP TABLE PatchUPVersion");
  tCUsPerMediaVersion again;
  ASSERT_EQ(manager->GetAllCUsInDB(cus.rbegin()->first, again), 0u);
  EXPECT_EQ(Texts(again), expected);
  EXPECT_NE(manager->GetAllCUsInDB(Media(11, 96, 32, 0, 6100, 2), again), 0u);

  // Dangling: recorded for the OS, without a folder under the CU root.
  const std::string root = Path("CUs");
  const int first = cus.begin()->first.Get(FullVersion::kUPNumber);
  kqtest::WriteFile(root + "/CU" + std::to_string(first) + "/marker", "");
  const int os = *cus.begin()->second.begin();
  std::set<unsigned int> want;
  for (const auto& e : cus)
    if (e.second.count(os) && e.first.Get(FullVersion::kUPNumber) != first)
      want.insert(static_cast<unsigned>(e.first.Get(FullVersion::kUPNumber)));
  std::set<unsigned int> dangling = {999};
  EXPECT_EQ(manager->GetDanglingCUsInDB(cus.begin()->first, root, dangling, os), 0u);
  EXPECT_EQ(dangling, want);
  EXPECT_EQ(manager->GetDanglingCUsInDB(cus.begin()->first, root, dangling, 77), 0u);
  EXPECT_TRUE(dangling.empty());
}

TEST_F(CUTest, RecordingReleasesFromTheCatalogueText) {
  const FullVersion other = Media(11, 120, 40, 0, 9000, 1);
  const std::string xml = kqfixture::Xml(Catalogue({{other, {1, 2}}}));
  ASSERT_EQ(manager->UpdateTableWithCU(xml, true), 0u);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchUPVersion WHERE Build = 120")[0][0].i, 2);
  EXPECT_EQ(manager->UpdateTableWithCU("<m", false), 1000u);
  EXPECT_TRUE(Logged("Failed to insert UPVersion into table with error [1000:"));
}

TEST_F(CUTest, ReleaseToDownloadAndTheErrorItRaisesOnce) {
  // The highest recorded release whose transaction id reaches the installed one.
  std::map<int, int> packs;  // number -> transaction id
  for (const auto& p : model.packs)
    if (FullVersion::Compare(FullVersion::kCompareMedia, p.media, media) == 0)
      packs[p.number] = p.trans;
  ASSERT_FALSE(packs.empty());
  FullVersion v = media;
  ASSERT_EQ(manager->GetCUDetails(v, 0), 0u);
  EXPECT_EQ(v.Get(FullVersion::kUPNumber), packs.rbegin()->first);
  EXPECT_EQ(v.Get(FullVersion::kUPTransactionId), packs.rbegin()->second);

  // The installed transaction id of the store raises the bar above every release.
  db.config().set("UpdateBinTran", "T1", "x_99999");
  v = media;
  EXPECT_EQ(manager->GetCUDetails(v, 0), 100u);
  EXPECT_EQ(SpecificError(), 0x440001D8);
  db.config().set("UpdateBinTran", "T1", "x_1");

  // Mode 3 checks a given number; an unknown one is refused, and the first error stays.
  Renew();
  const size_t raised = TimesLogged("Error is set for query DB.");
  v = WithPack(media, packs.begin()->first, 0);
  ASSERT_EQ(manager->GetCUDetails(v, 3), 0u);
  EXPECT_EQ(v.Get(FullVersion::kUPNumber), packs.begin()->first);
  FullVersion unknown = WithPack(media, 77, 0);
  EXPECT_EQ(manager->GetCUDetails(unknown, 3), 100u);
  FullVersion unknown2 = WithPack(media, 78, 0);
  EXPECT_EQ(manager->GetCUDetails(unknown2, 3), 100u);
  int id = 0;
  KQJobStatus status;
  std::queue<nPatchDownload::tErrorDetails> details;
  sink->GetErrorDetails(id, status, details);
  EXPECT_EQ(id, 0x440001D8);
  EXPECT_EQ(static_cast<int>(status), 2);
  ASSERT_EQ(details.size(), 1u);
  EXPECT_EQ(details.front().strValue, unknown.formatted_str(FullVersion::kFormatFull));
  EXPECT_EQ(TimesLogged("Error is set for query DB."), raised + 1);

  // A number the database answers with another one.
  {
    ScopedHostBody body("SimGetClientPackageFullVersion", 2, ScopedHostBody::Fail());
    FullVersion w = media;
    EXPECT_EQ(manager->GetCUDetails(w, 0), 1000u);
  }
  Sql("DELETE FROM PatchClientVersion WHERE ClientId = 2");
  EXPECT_EQ(manager->GetCUDetails(v, 0), 100u);
}

TEST_F(CUTest, ApplianceCommitAndItsCleanUp) {
  using namespace UpdatePatches;
  KQApplianceOSPatches patches;
  KQApplianceOSSection section;
  KQApplianceSubOS sub1, sub2;
  sub1.setstring(KQApplianceSubOS::kName, "Windows 2022");
  sub2.setstring(KQApplianceSubOS::kName, "MSSQL 2019");
  section.setlistobject(KQApplianceOSSection::kSubOSSections, {sub1, sub2});
  patches.setlistobject(KQApplianceOSPatches::kOSSections, {section});
  const std::string folder = Path("KQAppliance");
  const std::string config = folder + "/KQApplianceConfig_Windows.xml";
  kqfixture::WriteMessageFile(config, patches);

  // No appliance client: the configuration and its then empty folder go.
  EXPECT_EQ(manager->DoAppliancePatchCommit(config), 0u);
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(folder));

  // A folder that holds more keeps it; a backslash path is cut at its last backslash.
  kqfixture::WriteMessageFile(config, patches);
  kqtest::WriteFile(folder + "/other.xml", "");
  EXPECT_EQ(manager->DoAppliancePatchCommit(config), 0u);
  EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(config));
  EXPECT_TRUE(CPatchInstallCommon::IsFileExisted(folder + "/other.xml"));
  const std::string odd = Path("Appl\\KQApplianceConfig_Windows.xml");
  kqfixture::WriteMessageFile(odd, patches);
  ASSERT_EQ(mkdir(Path("Appl").c_str(), 0755), 0);
  EXPECT_EQ(manager->DoAppliancePatchCommit(odd), 0u);
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(Path("Appl")));
  EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(odd));

  // Appliance clients: the versions the configuration covers are committed, the file stays.
  Sql("INSERT INTO APP_ApplianceOS VALUES (101, 'Windows 2022', 2, 0), (102, 'MSSQL 2019', 1, 0), "
      "(103, 'Linux 9', 3, 0)");
  bool has = true;
  std::set<std::string> windows, sql;
  ASSERT_EQ(manager->HasApplianceClient(has, windows, sql), 0u);
  EXPECT_FALSE(has);
  EXPECT_EQ(windows, std::set<std::string>{"Windows 2022"});
  EXPECT_EQ(sql, std::set<std::string>{"MSSQL 2019"});
  kqfixture::WriteMessageFile(config, patches);
  EXPECT_EQ(manager->DoAppliancePatchCommit(config), 0u);
  EXPECT_TRUE(CPatchInstallCommon::IsFileExisted(config));
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM PatchApplianceVersion")[0][0].i, 2);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM APP_ApplianceOS WHERE IsEligible = 1")[0][0].i, 2);
  EXPECT_TRUE(Logged("Found Windows or MSSQL appliance to commit with version [Windows 2022,MSSQL 2019]"));

  // Unreadable configuration or a refused commit.
  EXPECT_EQ(manager->DoAppliancePatchCommit(config + ".missing"), 0u);
  kqtest::WriteFile(config, "<not a configuration");
  EXPECT_EQ(manager->DoAppliancePatchCommit(config, windows, sql), 1000u);
  EXPECT_EQ(manager->DoAppliancePatchCommit(""), 0u);
}

TEST_F(CUTest, SyncStatusAndBaseFolder) {
  int status = 5, flag = 6;
  EXPECT_EQ(manager->GetRCSyncStatus(42, 101, status, flag), 100u);
  EXPECT_EQ(status, 5);
  EXPECT_EQ(flag, 6);
  int s = 3, f = 4;
  EXPECT_EQ(manager->SetRCSyncStatus(42, 101, &s, &f), 100u);
  ASSERT_EQ(manager->GetRCSyncStatus(42, 101, status, flag), 0u);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(flag, 4);
  EXPECT_EQ(manager->SetRCSyncStatus(42, 101, nullptr, nullptr), 100u);
  ASSERT_EQ(manager->GetRCSyncStatus(42, 101, status, flag), 0u);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(flag, 0);

  std::string folder;
  EXPECT_NE(manager->GetBaseFolder(folder), 0u);
  db.config().set("Base", "dHOME", "/opt/product");
  ASSERT_EQ(manager->GetBaseFolder(folder), 0u);
  EXPECT_EQ(folder, "/opt/product/Base");
}

TEST_F(CUTest, CataloguePacksAccumulateUntilACatalogueHasNone) {
  const std::string file = Path("CUConfiguration.xml");
  // Packs of the version (one without a number), of another version, an entry without version.
  auto cat = Catalogue({{media, {2, 0, 1}}, {Media(11, 96, 32, 0, 6100, 2), {5}}});
  CNMessageBase noVersion(23, 1019);
  std::vector<CNMessageBase>* entries =
      cat.getlistobject(UpdatePatches::AvailableCumulativeUpdatePacks::kPacks);
  entries->push_back(noVersion);
  kqfixture::WriteMessageFile(file, cat, true);

  IPatchDataManager::tUpdatePackSet packs;
  std::string xml;
  ASSERT_EQ(manager->GetAllCUPacksList(file, media, &packs, &xml), 0u);
  ASSERT_EQ(packs.size(), 2u);
  EXPECT_EQ(packs.begin()->getint64(UpdatePatches::UpdatePack::kNumber), 1);
  EXPECT_EQ(xml, kqtest::ReadFile(file));
  EXPECT_EQ(manager->GetCUPackConfig().packs.size(), 2u);
  ASSERT_EQ(manager->GetAllCUPacksList(file, media, nullptr, nullptr), 0u);
  EXPECT_EQ(manager->GetCUPackConfig().packs.size(), 4u);
  EXPECT_TRUE(Logged("CU Number is not set in XML"));

  kqfixture::WriteMessageFile(file, UpdatePatches::AvailableCumulativeUpdatePacks());
  ASSERT_EQ(manager->GetAllCUPacksList(file, media, nullptr, nullptr), 0u);
  EXPECT_TRUE(manager->GetCUPackConfig().packs.empty());

  kqtest::WriteFile(file, "<m s=\"23\" id=\"185\">");
  EXPECT_EQ(manager->GetAllCUPacksList(file, media, nullptr, nullptr), 0x8000000Fu);
  EXPECT_EQ(manager->GetAllCUPacksList(file + ".missing", media, nullptr, nullptr), 0x80000010u);
}

TEST_F(CUTest, PackFileListsAgainstThePackModel) {
  const std::string catalogue = Path("CUConfiguration.xml");
  const std::string file = Path("CU2/CumulativeUpdatePack.xml");
  PackModel pack = PackModel::Generate(5, 400);
  // Hostile names are never joined to the prefix.
  pack.updates[0].binarySets[0].second[0].binaries.push_back({"../../etc/passwd", "1", "Binary"});
  pack.updates[0].binarySets[0].second[0].binaries.push_back({"/abs/path.dll", "1", "Binary"});
  pack.packConfigs.push_back({"a/../../b.ini", "1"});
  kqfixture::WriteMessageFile(file, pack.Message(), true);

  std::vector<BinaryV11> out;
  EXPECT_EQ(manager->GetCUFilesList(file, "CU2/", 2, out, {}), 0u);  // no packs read yet
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(Logged("No CUs exist in configuration file."));

  kqfixture::WriteMessageFile(catalogue, Catalogue({{media, {1, 2}}}));
  ASSERT_EQ(manager->GetAllCUPacksList(catalogue, media, nullptr, nullptr), 0u);
  out.push_back(BinaryV11());  // appended to, not replaced
  ASSERT_EQ(manager->GetCUFilesList(file, "CU2/", 2, out, {}), 0u);
  ASSERT_GT(out.size(), 1u);
  out.erase(out.begin());
  auto safe = [](std::map<std::string, std::string> files, const std::string& prefix) {
    for (const char* hostile : {"../../etc/passwd", "/abs/path.dll", "a/../../b.ini"})
      files.erase(prefix + hostile);
    return files;
  };
  const auto expected = safe(pack.Expected("CU2/", {}), "CU2/");
  EXPECT_EQ(Files(out), expected);
  EXPECT_EQ(out.size(), expected.size());  // one entry per path
  for (size_t k = 1; k < out.size(); ++k)  // sorted bytewise
    EXPECT_LT(out[k - 1].getstring(BinaryV11::kRelativePath),
              out[k].getstring(BinaryV11::kRelativePath));
  EXPECT_TRUE(Logged("File name [../../etc/passwd] is not a safe relative path, skipping it"));

  // Only the packages asked for, and their updates' configuration files.
  out.clear();
  ASSERT_EQ(manager->GetCUFilesList(file, "", 2, out, {3, 4}), 0u);
  EXPECT_EQ(Files(out), safe(pack.Expected("", {3, 4}), ""));
  EXPECT_LT(out.size(), expected.size());

  // A number the catalogue does not list, a file that is not a pack, one too large to read.
  out.clear();
  EXPECT_EQ(manager->GetCUFilesList(file, "", 9, out, {}), 0x440001D8u);
  EXPECT_TRUE(out.empty());
  kqtest::WriteFile(file, "<m s=\"23\" id=\"182\"");
  EXPECT_EQ(manager->GetCUFilesList(file, "", 2, out, {}), 0x80000010u);
  ASSERT_EQ(truncate(file.c_str(), (256ll << 20) + 1), 0);  // sparse: nothing is written
  EXPECT_EQ(manager->GetCUFilesList(file, "", 2, out, {}), 0x80000010u);
  EXPECT_TRUE(Logged("bytes, more than the [268435456] allowed"));
  ASSERT_EQ(truncate(catalogue.c_str(), (256ll << 20) + 1), 0);
  EXPECT_EQ(manager->GetAllCUPacksList(catalogue, media, nullptr, nullptr), 0x80000010u);
}

// Names alike in their first bytes, of every length around them, above 0x7F, repeated with
// another checksum: handed out in bytewise order of the full path, the first found of each.
TEST_F(CUTest, PackFileListOrdersLookAlikeNamesAndKeepsTheFirstOfEach) {
  const std::string catalogue = Path("CUConfiguration.xml");
  const std::string file = Path("CU3/CumulativeUpdatePack.xml");
  const std::vector<std::pair<std::string, std::string>> binaries = {
      {"Bin/shared/prefix/b.dll", "1"}, {"Bin/shared/prefix/a.dll", "2"},
      {"Bin/shared/prefix/a.dl", "3"},  {"Bin/shared/prefix/b.dll", "4"},
      {"b", "5"},                       {"a", "6"},
      {"ab", "7"},                      {"abcdefgh", "8"},
      {"abcdefg", "9"},                 {"abcdefgh0", "10"},
      {"0123456789abcdef", "11"},       {"0123456789abcdef0", "12"},
      {"0123456789abcdeg", "13"},       {"0123456789abcdef", "14"},
      {"\xc3\xa9t\xc3\xa9.dll", "15"},  {"z.dll", "16"},
      {"A.dll", "17"},                  {"Bin/shared/prefix/a.dll", "18"},
  };
  PackModel pack;
  PackModel::Package package{3, {}};
  for (const auto& b : binaries) package.binaries.push_back({b.first, b.second, "Binary"});
  pack.updates.push_back({"T1", {{1, {package}}}, {{"a", "19"}, {"Config/T1.ini", "20"}}});
  pack.packConfigs = {{"z.dll", "21"}, {"Config/T1.ini", "22"}, {"KQUpdatePack.ini", "23"}};
  kqfixture::WriteMessageFile(file, pack.Message());
  kqfixture::WriteMessageFile(catalogue, Catalogue({{media, {3}}}));
  ASSERT_EQ(manager->GetAllCUPacksList(catalogue, media, nullptr, nullptr), 0u);

  for (const std::string prefix : {"", "CU3/"}) {
    std::vector<BinaryV11> out;
    ASSERT_EQ(manager->GetCUFilesList(file, prefix, 3, out, {}), 0u);
    const std::map<std::string, std::string> expected = pack.Expected(prefix, {});
    std::vector<std::pair<std::string, std::string>> got;
    for (const BinaryV11& b : out)
      got.emplace_back(b.getstring(BinaryV11::kRelativePath), b.getstring(BinaryV11::kChecksum));
    const std::vector<std::pair<std::string, std::string>> want(expected.begin(), expected.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(Files(out).at(prefix + "Bin/shared/prefix/a.dll"), "2");
    EXPECT_EQ(Files(out).at(prefix + "0123456789abcdef"), "11");
  }

  // A text only the copying reader reads (a comment and a blank after a value): the same list.
  std::string xml = kqfixture::Xml(pack.Message());
  const std::string value = ">Bin/shared/prefix/a.dl<";
  ASSERT_NE(xml.find(value), std::string::npos);
  xml.replace(xml.find(value), value.size(), ">Bin/shared/prefix/a.dl<!--c--> <");
  std::string copy = xml;
  UpdatePatches::CumulativeUpdatePack probe;
  ASSERT_EQ(XMLDecoder::unSerializeInPlace(probe, &copy[0], copy.size()), kMsgRetryWithText);
  kqtest::WriteFile(file, xml);
  std::vector<BinaryV11> out;
  ASSERT_EQ(manager->GetCUFilesList(file, "", 3, out, {}), 0u);
  EXPECT_EQ(Files(out), pack.Expected("", {}));
}

}  // namespace
