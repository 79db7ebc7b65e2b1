// The download center's release information through the update-alert object: the release file
// into the local cache and PatchSPVersion, the hotfix configuration by the Hubnode's level and
// layout, the maintenance-release catalogues per level into PatchUPVersion, and what happens
// with unusable names, missing files and a failing database.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Configuration/KQGlobalParam.h"
#include "DataManagerTestEnv.h"
#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "MediaAccess/IMediaAccess.h"
#include "UpdateAlertTestEnv.h"

using kqtest::Sql;

namespace {

namespace fs = std::filesystem;

// The real media access, counting how often the connection is opened and closed.
class CountingAccess : public IMediaAccess {
 public:
  explicit CountingAccess(IMediaAccess* real) : real_(real) {}
  ~CountingAccess() override { DestroyMediaAccess(real_); }
  unsigned int Open() override {
    ++opened;
    return real_->Open();
  }
  unsigned int Close() override {
    ++closed;
    return real_->Close();
  }
  unsigned int GetFile(const std::string& r, const std::string& l, int f) override {
    return real_->GetFile(r, l, f);
  }
  unsigned int GetFile(const std::string& r, const std::string& l) override {
    return real_->GetFile(r, l);
  }
  const nPatchDownload::CMediaConfiguration& GetMediaConfiguration() const override {
    return real_->GetMediaConfiguration();
  }
  std::string GetLastErrorString() const override { return real_->GetLastErrorString(); }
  int opened = 0;
  int closed = 0;

 private:
  IMediaAccess* real_;
};

class DownloadCenter : public kqtest::UpdateAlertTest {
 protected:
  // An object that knows the Hubnode's version, build and version name, as Initialize leaves it.
  void Prepare(KQUpdates& u) {
    ASSERT_NE(u.m_mediaAccess, nullptr);
    ASSERT_TRUE(u.getHNSPInfo(hub));
    ASSERT_TRUE(u.setHNVersion());
    u.getVersionNameForID(u.m_hnVersion, u.m_hnVersionName);
    ASSERT_EQ(u.m_hnVersionName, "11.0.0");
    ASSERT_EQ(u.m_hnBuild, "BUILD80");
  }
  std::set<std::vector<std::string>> SPRows() {
    std::set<std::vector<std::string>> rows;
    for (const auto& r : Sql("SELECT SPName, SPMajor, TransactionID, RevisionID FROM PatchSPVersion "
                             "WHERE nCacheFlags = 1 AND bShowInGUI = 1 AND ReleaseStr = '11.0.0' "
                             "AND BuildIdString = 'BUILD80' AND Release = 16 AND Build = 80"))
      rows.insert({r[0].s, std::to_string(r[1].i), std::to_string(r[2].i), std::to_string(r[3].i)});
    return rows;
  }
  std::set<std::vector<int>> UPRows() {
    std::set<std::vector<int>> rows;
    for (const auto& r : Sql("SELECT SPMajor, CUNumber, CUTransactionId FROM PatchUPVersion"))
      rows.insert({static_cast<int>(r[0].i), static_cast<int>(r[1].i), static_cast<int>(r[2].i)});
    return rows;
  }
  // Everything the run made below the Temp folder of the install base.
  std::set<std::string> TempContents() {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root() + "/base/Temp"))
      names.insert(fs::relative(e.path(), root() + "/base/Temp").string());
    return names;
  }

  FullVersion hub;
  bool configRetrieved = false;
  bool populate = true;
  std::string configXml, configPath, serverFolder, localFolder;
};

TEST_F(DownloadCenter, ReleaseInformationAndCataloguesReachTheirTables) {
  KQUpdates u;
  Prepare(u);
  ASSERT_TRUE(u.DownloadFilesFromServer(configRetrieved, populate, hub, configXml, configPath,
                                        serverFolder, localFolder));
  EXPECT_TRUE(populate);
  EXPECT_TRUE(configRetrieved);
  EXPECT_EQ(u.m_dvdInfoFile, root() + "/cache/DVDInfo.xml");
  EXPECT_EQ(kqtest::ReadFile(u.m_dvdInfoFile), kqtest::DVDInfoXml(center));
  EXPECT_EQ(serverFolder, "KQUpdates/11.0.0/BUILD80");
  EXPECT_EQ(localFolder, root() + "/base/Temp/DownloadConfiguration");
  EXPECT_EQ(configPath, localFolder + "/HotfixConfiguration.xml");
  // The Hubnode is at minor 0: its own level's list, read without line ends.
  std::string expected = kqtest::ReadFile(CenterFolder() + "/SP20/HotfixConfiguration.xml");
  ASSERT_NE(expected.find("\r\n"), std::string::npos);
  std::string flat;
  for (char c : expected)
    if (c != '\r' && c != '\n') flat += c;
  EXPECT_EQ(configXml, flat);

  ASSERT_TRUE(u.PopulateFTPSPInfoTable());
  EXPECT_EQ(SPRows(), center.ExpectedSPRows());
  EXPECT_EQ(Sql("SELECT Timestamp FROM PatchSPVersion WHERE SPName = 'SP26'")[0][0].i,
            1700000000LL + 26 * 86400LL);
  ASSERT_TRUE(u.PopulateCUInfoTable(hub, serverFolder, localFolder));
  EXPECT_EQ(UPRows(), center.ExpectedUPRows());
  EXPECT_NE(Log().find("Cannot unserialize cumulative updatepack configuration XML for"),
            std::string::npos);
  EXPECT_NE(Log().find("Cannot download CUConfig file [KQUpdates/11.0.0/BUILD80/SP23/"),
            std::string::npos);
  // The level named "../x" is recorded as the center sent it, but never becomes a path.
  EXPECT_NE(Log().find("Level name [../x] is not a service-pack level"), std::string::npos);
  for (const std::string& r : server->Requests()) EXPECT_EQ(r.find("x/CU"), std::string::npos) << r;
  for (const std::string& name : TempContents()) {
    EXPECT_EQ(name.find(".."), std::string::npos) << name;
    EXPECT_EQ(name.rfind("DownloadConfiguration", 0), 0u) << name;
  }

  // The same files again change nothing.
  const long long sp = Count("PatchSPVersion"), up = Count("PatchUPVersion");
  ASSERT_TRUE(u.PopulateFTPSPInfoTable());
  ASSERT_TRUE(u.PopulateCUInfoTable(hub, serverFolder, localFolder));
  EXPECT_EQ(Count("PatchSPVersion"), sp);
  EXPECT_EQ(Count("PatchUPVersion"), up);
  EXPECT_EQ(SPRows(), center.ExpectedSPRows());
}

TEST_F(DownloadCenter, HotfixConfigurationFollowsTheHubnodeLevel) {
  KQUpdates u;
  Prepare(u);
  ASSERT_TRUE(u.GetLatestUploadsInfoFile(configRetrieved, hub, configXml, configPath, serverFolder,
                                         localFolder));
  EXPECT_NE(configXml.find("LNX-UPDATE-000"), std::string::npos);
  EXPECT_EQ(configXml.find("SHALLOW-001"), std::string::npos);
  hub.Set(FullVersion::kSPMinor, 'a');
  configRetrieved = false;
  ASSERT_TRUE(u.GetLatestUploadsInfoFile(configRetrieved, hub, configXml, configPath, serverFolder,
                                         localFolder));
  EXPECT_TRUE(configRetrieved);
  EXPECT_NE(configXml.find("SHALLOW-001"), std::string::npos);
  EXPECT_EQ(configXml.find("LNX-UPDATE-000"), std::string::npos);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/HotfixConfiguration.xml"), 1);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP20/HotfixConfiguration.xml"), 1);

  // A configuration missing on the center: no text, not retrieved.
  server->SetFaults({{"cfg/KQUpdates/11.0.0/BUILD80/HotfixConfiguration.xml", "404"}});
  configRetrieved = false;
  EXPECT_FALSE(u.GetLatestUploadsInfoFile(configRetrieved, hub, configXml, configPath,
                                          serverFolder, localFolder));
  EXPECT_FALSE(configRetrieved);
  EXPECT_TRUE(configXml.empty());
}

TEST_F(DownloadCenter, WithoutReleaseInformationTheTablesStayButTheHotfixFileIsFetched) {
  server->SetFaults({{"dl/KQMedia/DVDInfo.xml", "404"}});
  KQUpdates u;
  Prepare(u);
  EXPECT_FALSE(u.DownloadFilesFromServer(configRetrieved, populate, hub, configXml, configPath,
                                         serverFolder, localFolder));
  EXPECT_FALSE(populate);
  EXPECT_TRUE(configRetrieved);
  EXPECT_FALSE(configXml.empty());
  EXPECT_NE(Log().find("Failed to download DVDInfo file."), std::string::npos);
  EXPECT_EQ(Count("PatchSPVersion"), 0);
  EXPECT_EQ(Count("PatchUPVersion"), 0);
}

TEST_F(DownloadCenter, NewLayoutNamesFilesByRecutFolders) {
  KQGlobalParam().set("Patch Visibility Level", "0x2");
  KQUpdates u;
  Prepare(u);
  // No release rows yet: the recut folder of the Hubnode's level is unknown.
  EXPECT_TRUE(u.GetFTPInfoFiles(true, populate));
  EXPECT_EQ(u.m_visibilityLevel, 2);
  EXPECT_EQ(u.m_dvdInfoFile, root() + "/cache/FeatureReleasesInfo.xml");
  EXPECT_FALSE(u.GetLatestUploadsInfoFile(configRetrieved, hub, configXml, configPath,
                                          serverFolder, localFolder));
  EXPECT_NE(Log().find("Cannot get detailed DVD info for Hubnode installed FR."), std::string::npos);

  ASSERT_TRUE(u.PopulateFTPSPInfoTable());
  ASSERT_TRUE(u.GetLatestUploadsInfoFile(configRetrieved, hub, configXml, configPath, serverFolder,
                                         localFolder));
  EXPECT_EQ(configPath, localFolder + "/UpdatesInfo.xml");
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP20_4711_R3/UpdatesInfo.xml"), 1);

  // From Feature Release 25 on, the catalogue of the recut folder; before it the old one.
  ASSERT_TRUE(u.DownloadAndUpdateDBForCU({"24", "SP25"}, serverFolder, localFolder));
  const kqtest::CenterRelease& r25 = *center.release(25);
  const std::string recut25 = "SP25_" + std::to_string(r25.trans) + "_R" + std::to_string(r25.rev);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP24/CUConfiguration.xml"), 1);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/" + recut25 + "/MaintenanceReleasesInfo.xml"), 1);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP25/CUConfiguration.xml"), 0);
  std::set<std::vector<int>> expected;
  for (int major : {24, 25})
    for (const kqtest::CenterPack& p : center.packs.at(major)) expected.insert({major, p.number, p.trans});
  const kqtest::CenterPack extra = kqtest::DownloadCenterModel::NewLayoutPack(r25);
  expected.insert({25, extra.number, extra.trans});
  EXPECT_EQ(UPRows(), expected);
}

TEST_F(DownloadCenter, UnusableNamesAreSkippedAndNothingIsFetchedForThem) {
  KQUpdates u;
  Prepare(u);
  const std::string local = root() + "/levels";
  // Only "SP" + digits or digits (with a minor letter) become folders; "SP010" reads as 8.
  EXPECT_TRUE(u.DownloadAndUpdateDBForCU({"../x", "SP1/2", "x24", "SP", "24a", "SP010", "/abs"},
                                         "KQUpdates/11.0.0/BUILD80", local));
  for (const char* bad : {"../x", "SP1/2", "x24", "SP", "/abs"})
    EXPECT_NE(Log().find(std::string("Level name [") + bad + "] is not a service-pack level"),
              std::string::npos)
        << bad;
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP24a/CUConfiguration.xml"), 1);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP010/CUConfiguration.xml"), 1);
  EXPECT_EQ(server->Requests().size(), 2u);
  EXPECT_FALSE(fs::exists(root() + "/x"));

  // An empty or unsafe version name or build: nothing is fetched.
  for (const auto& names : std::vector<std::pair<std::string, std::string>>{
           {"../11.0.0", "BUILD80"}, {"11.0.0", ""}, {"", "BUILD80"}, {"11.0.0", "a/b"}, {"11.0.0", ".."}}) {
    u.m_hnVersionName = names.first;
    u.m_hnBuild = names.second;
    EXPECT_FALSE(u.GetLatestUploadsInfoFile(configRetrieved, hub, configXml, configPath,
                                            serverFolder, localFolder));
  }
  EXPECT_FALSE(configRetrieved);
  EXPECT_EQ(server->Requests().size(), 2u);
}

TEST_F(DownloadCenter, ARefusedReleaseFileIsLoggedByItsSizeAndAShortHead) {
  KQUpdates u;
  u.m_dvdInfoFile = root() + "/DVDInfo.xml";
  const std::string garbage = "<DVDInfo\x01\n\\" + std::string(100000, 'g') + "TAIL-MARKER";
  kqtest::WriteFile(u.m_dvdInfoFile, garbage);
  const size_t before = Log().size();
  EXPECT_FALSE(u.PopulateFTPSPInfoTable());
  const std::string added = Log().substr(before);
  EXPECT_NE(added.find("holds [" + std::to_string(garbage.size()) + "] bytes"), std::string::npos);
  EXPECT_NE(added.find("XML Content of DVDInfo.xml is <DVDInfo\\x01\\x0a\\x5cggg"),
            std::string::npos);
  EXPECT_EQ(added.find("TAIL-MARKER"), std::string::npos);
  EXPECT_LT(added.size(), 2048u);
}

TEST_F(DownloadCenter, ADatabaseFailureEndsTheLevelLoop) {
  KQUpdates u;
  Prepare(u);
  kqtest::ScopedHostBody failing("SimUpdateUPVersion", 2, kqtest::ScopedHostBody::Fail());
  EXPECT_FALSE(u.DownloadAndUpdateDBForCU({"SP20", "SP21", "SP24"}, "KQUpdates/11.0.0/BUILD80",
                                          root() + "/levels"));
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP20/CUConfiguration.xml"), 1);
  EXPECT_EQ(Requested("cfg/KQUpdates/11.0.0/BUILD80/SP21/CUConfiguration.xml"), 0);
  EXPECT_NE(Log().find("Failed to update CU info using XML"), std::string::npos);
}

TEST_F(DownloadCenter, TheConnectionIsClosedOnEveryWayOut) {
  kqtest::WriteFile(root() + "/plain", "x");
  Sql("UPDATE PatchConfig SET HNCacheDirectory = $1", {kqtest::T(root() + "/plain/cache")});
  KQUpdates u;
  Prepare(u);
  auto* counting = new CountingAccess(u.m_mediaAccess);
  u.m_mediaAccess = counting;
  EXPECT_FALSE(u.DownloadFilesFromServer(configRetrieved, populate, hub, configXml, configPath,
                                         serverFolder, localFolder));
  EXPECT_NE(Log().find("Failed to create Software Cache directory"), std::string::npos);
  EXPECT_EQ(counting->opened, 1);
  EXPECT_EQ(counting->closed, 1);
  for (const std::string& r : server->Requests()) EXPECT_EQ(r.find(".xml"), std::string::npos) << r;
  u.m_mediaAccess = nullptr;
  delete counting;
}

}  // namespace
