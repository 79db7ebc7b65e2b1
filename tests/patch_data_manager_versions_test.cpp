// Installed versions and sides of the Tessara, feature releases of the download center and the
// media and service-pack records, against the seeded Hubnode model.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "DataManagerTestEnv.h"
#include "HubnodeFixture.h"
#include "KqDbTestEnv.h"
#include "Logging/EvDebug.h"

using kqfixture::HubnodeModel;
using kqfixture::Media;
using kqfixture::WithPack;
using kqtest::I;
using kqtest::ScopedHostBody;
using kqtest::Sql;
using kqtest::T;
using nPatchDownload::CPatchDataManagerHN;
using nPatchDownload::tRetrievalSide;

namespace {

std::set<std::pair<std::string, int>> SideTexts(const std::set<tRetrievalSide>& sides) {
  std::set<std::pair<std::string, int>> out;
  for (const tRetrievalSide& s : sides)
    out.insert({s.mediaVersion.formatted_str(FullVersion::kFormatSide), s.osId});
  return out;
}

std::string FullVersionXml(const FullVersion& v, bool withPack) {
  UpdatePatches::FullVersion m;
  m.setObjectAccessor(UpdatePatches::FullVersion::kSPVersion, kqfixture::SPMessage(v));
  if (withPack) {
    UpdatePatches::UpdatePack up;
    up.setint64(UpdatePatches::UpdatePack::kNumber, v.Get(FullVersion::kUPNumber));
    m.setObjectAccessor(UpdatePatches::FullVersion::kUpdatePack, up);
  }
  return kqfixture::Xml(m);
}

class VersionsTest : public kqtest::DataManagerTest {
 protected:
  VersionsTest() : model(HubnodeModel::Generate(7)) { model.Seed(); }

  // A media version file as the media carry it.
  std::string VersionFile(const std::string& name, const FullVersion& v) {
    const std::string path = db.config().root() + "/" + name;
    kqtest::WriteFile(path, "Version=" + std::to_string(v.Get(0)) + ".0.0\r\nServicePack=" +
                                v.formatted_str(FullVersion::kFormatSPName) + "\r\nSPTranID=" +
                                std::to_string(v.Get(5)) + "\r\nRevisionNumber=" +
                                std::to_string(v.Get(6)) + "\r\nBUILD=BUILD" +
                                std::to_string(v.Get(1)) + "\r\n");
    return path;
  }

  void AddSP(int id, const std::string& release, const std::string& build,
             const std::string& name, int major, int trans, int rev) {
    Sql("INSERT INTO PatchSPVersion (id, ReleaseStr, BuildIdString, Build, Release, SPMajor, "
        "SPMinor, TransactionID, SPName, RevisionID, bShowInGUI) VALUES ($1, $2, $3, 80, 16, $4, "
        "0, $5, $6, $7, 1)",
        {I(id), T(release), T(build), I(major), I(trans), T(name), I(rev)});
  }

  HubnodeModel model;
};

TEST_F(VersionsTest, HubnodeAndClientVersions) {
  const FullVersion& hubnode = model.clients[0].version;
  FullVersion out;
  ASSERT_EQ(manager->GetHubnodeInstalledVersion(out), 0u);
  EXPECT_EQ(out.formatted_str(FullVersion::kFormatSide),
            hubnode.formatted_str(FullVersion::kFormatSide));
  EXPECT_EQ(out.Get(FullVersion::kUPTransactionId), hubnode.Get(FullVersion::kUPTransactionId));
  for (const HubnodeModel::Client& c : model.clients) {
    FullVersion v;
    ASSERT_EQ(manager->queryClientVersion(c.id, v), 0u);
    EXPECT_EQ(FullVersion::Compare(FullVersion::kCompareMediaWithUP, v, c.version), 0);
  }
  FullVersion untouched = Media(1, 2, 3, 0, 4, 5);
  EXPECT_EQ(manager->queryClientVersion(999, untouched), 100u);

  // No row: 100, the version as it was.
  Sql("DELETE FROM PatchClientVersion WHERE ClientId = 2");
  EXPECT_EQ(manager->GetHubnodeInstalledVersion(untouched), 100u);
  EXPECT_EQ(untouched, Media(1, 2, 3, 0, 4, 5));

  // Texts the built-in body never gives.
  {
    ScopedHostBody body("SimGetClientPackageFullVersion", 2, ScopedHostBody::Answer("<m s="));
    EXPECT_EQ(manager->GetHubnodeInstalledVersion(untouched), 0x80000018u);
    EXPECT_EQ(manager->queryClientVersion(2, untouched), 0x80000018u);
  }
  {
    ScopedHostBody body("SimGetClientPackageFullVersion", 2,
                        ScopedHostBody::Answer(FullVersionXml(hubnode, false)));
    EXPECT_EQ(manager->queryClientVersion(2, untouched), 0x80000018u);
    EXPECT_TRUE(Logged("CumulativeUpdatePackVersion field is not set in the XML"));
  }
  EXPECT_EQ(untouched, Media(1, 2, 3, 0, 4, 5));

  Sql("INSERT INTO APP_ClientProp VALUES (101, 'Vorlan Build', '80.1234')");
  std::string build;
  ASSERT_EQ(manager->GetClientReleaseBuildId(101, 0, build), 0u);
  EXPECT_EQ(build, "80.1234");
  EXPECT_EQ(manager->GetClientReleaseBuildId(555, 0, build), 0x80000018u);
  EXPECT_TRUE(Logged("Failed to get info for client Id [555] with DB error [100"));
}

TEST_F(VersionsTest, AllowedSidesAndSidesInTheCache) {
  std::set<tRetrievalSide> sides;
  ASSERT_EQ(manager->GetAllowedSPs(sides), 0u);
  EXPECT_EQ(SideTexts(sides), model.ExpectedAllowedSides());
  sides.clear();
  ASSERT_EQ(manager->GetSidesAlreadyExistInDB(sides), 0u);
  EXPECT_EQ(SideTexts(sides), model.ExpectedCacheSides());
  EXPECT_FALSE(sides.empty());

  // A version without operating systems is skipped; the versions after it still count.
  UpdatePatches::InstalledVerOs answer;
  std::vector<CNMessageBase> list;
  const FullVersion a = WithPack(Media(11, 80, 28, 0, 4711, 3), 1, 4811);
  const FullVersion b = Media(11, 96, 32, 0, 6100, 2);
  for (const FullVersion* v : {&a, &b}) {
    UpdatePatches::InstalledVersions entry;
    UpdatePatches::FullVersion m;
    m.setObjectAccessor(UpdatePatches::FullVersion::kSPVersion, kqfixture::SPMessage(*v));
    entry.setObjectAccessor(UpdatePatches::InstalledVersions::kVersion, m);
    if (v == &b) {
      UpdatePatches::OSInfo os, noId;
      os.setint64(UpdatePatches::OSInfo::kField1, 9);
      entry.setlistobject(UpdatePatches::InstalledVersions::kList, {os, noId});
    }
    list.push_back(entry);
  }
  answer.setlistobject(UpdatePatches::InstalledVerOs::kList, list);
  {
    ScopedHostBody body("SimGetFullVersionAndOSInfo", 0,
                        ScopedHostBody::Answer(kqfixture::Xml(answer)));
    sides.clear();
    ASSERT_EQ(manager->GetAllowedSPs(sides), 0u);
    EXPECT_EQ(SideTexts(sides),
              (std::set<std::pair<std::string, int>>{{b.formatted_str(FullVersion::kFormatSide), 9}}));
  }
  {
    ScopedHostBody body("SimGetFullVersionAndOSInfo", 0, ScopedHostBody::Answer("not xml"));
    EXPECT_EQ(manager->GetAllowedSPs(sides), 0x80000018u);
  }
  {
    ScopedHostBody body("SimGetFullVersionAndOSInfo", 0, ScopedHostBody::Fail());
    EXPECT_NE(manager->GetAllowedSPs(sides), 0u);
    EXPECT_TRUE(Logged("Failed to query Installed versions info with error"));
  }
  Sql("DROP TABLE PatchClientOS");
  EXPECT_EQ(manager->GetSidesAlreadyExistInDB(sides), 0x80000018u);
}

TEST_F(VersionsTest, LatestFeatureReleaseOfTheDownloadCenter) {
  AddSP(1, "11.0.0", "BUILD80", "SP30", 30, 5200, 4);
  FullVersion hubnode = WithPack(Media(11, 80, 28, 0, 4711, 3), 2, 4900);
  FullVersion out;
  ASSERT_EQ(manager->GetLatestServicePackOnDownloadCenter(out, hubnode, 5, 1), 0u);
  EXPECT_EQ(out, Media(11, 80, 30, 0, 5200, 4));

  // A build in hexadecimal, a build text too short to hold one.
  Sql("UPDATE PatchSPVersion SET BuildIdString = 'BUILD0x60'");
  ASSERT_EQ(manager->GetLatestServicePackOnDownloadCenter(out, hubnode, 5, 1), 0u);
  EXPECT_EQ(out.Get(FullVersion::kBuild), 96);
  Sql("UPDATE PatchSPVersion SET BuildIdString = 'BLD'");
  ASSERT_EQ(manager->GetLatestServicePackOnDownloadCenter(out, hubnode, 5, 1), 0u);
  EXPECT_EQ(out.Get(FullVersion::kBuild), 0);
  EXPECT_TRUE(Logged("Build text [BLD] is too short to hold a build, using build 0"));

  // Nothing above the Hubnode's feature release: the Hubnode's version.
  hubnode.Set(FullVersion::kSPMajor, 31);
  ASSERT_EQ(manager->GetLatestServicePackOnDownloadCenter(out, hubnode, 5, 1), 0u);
  EXPECT_EQ(out, hubnode);
  EXPECT_FALSE(sink->IsSpecificErrorSet());

  Sql("DROP TABLE PatchSPVersion");
  out = Media(1, 1, 1, 0, 1, 1);
  EXPECT_EQ(manager->GetLatestServicePackOnDownloadCenter(out, hubnode, 5, 1), 1000u);
  EXPECT_EQ(out, Media(1, 1, 1, 0, 1, 1));
  EXPECT_EQ(SpecificError(), 0x440001A3);
}

TEST_F(VersionsTest, AdditionalDelayDaysFromTheHubnodeGuid) {
  EvDebug log;
  int days = 4;
  CPatchDataManagerHN::GetSPAdditionalDelayDays(log, days);
  EXPECT_EQ(days, 7);  // no GUID: 3 more
  struct Case {
    std::string guid;
    int entry;
    int result;
  };
  const Case cases[] = {
      {"AB", -1, 11},      // 131 % 60
      {"AB", 5, 16},
      {"<", 0, 2},         // remainder 0
      {"=", 0, 2},         // remainder 1
      {"\xC8", 10, 12},    // a negative character: remainder below 2
      {"6F9619FF-8B86-D011-B42D-00C04FC964FF", -1, 0},
  };
  for (const Case& k : cases) {
    db.config().set("Client2", "sGUID", k.guid);
    int d = k.entry;
    EXPECT_EQ(CPatchDataManagerHN::GetSPAdditionalDelayDays(log, d), 0);
    if (k.result > 0) {
      EXPECT_EQ(d, k.result) << k.guid;
    } else {
      int sum = 0;
      for (char c : k.guid) sum += c;
      EXPECT_EQ(d, std::max(sum % 60, 2)) << k.guid;
    }
  }
  db.config().set("GlobalParams", "PatchSPAdditionalDelayDays", "9");
  days = 6;
  CPatchDataManagerHN::GetSPAdditionalDelayDays(log, days);
  EXPECT_EQ(days, 0);
}

TEST_F(VersionsTest, MediaRecordsAndServicePackIds) {
  // Media per OS up to a transaction id.
  for (const auto& dvd : model.dvds) {
    FullVersion v = Media(dvd.first.Get(0), dvd.first.Get(1), 0, 0, 0, 0);
    ASSERT_EQ(manager->GetDVDVersionByMaxMediaTransId(dvd.second, 99999, v), 0u);
    EXPECT_NE(v.Get(FullVersion::kSPMajor), -1);
    EXPECT_EQ(v.Get(FullVersion::kTransactionId), 99999);
    v = Media(dvd.first.Get(0), dvd.first.Get(1), 0, 0, 0, 0);
    ASSERT_EQ(manager->GetDVDVersionByMaxMediaTransId(dvd.second, 1, v), 0u);
    EXPECT_EQ(v.Get(FullVersion::kSPMajor), -1);  // no media that old
  }

  // Updates recorded per service pack.
  const FullVersion media = Media(11, 80, 28, 0, 4711, 3);
  Sql("INSERT INTO PatchUpdateInfo VALUES (16, 80, 28, 0, 4711, 'T1.zip', 1)");
  bool exists = false;
  ASSERT_EQ(manager->IsUpdateExistingInDB("T1.zip", media, exists, 1), 0u);
  EXPECT_TRUE(exists);
  ASSERT_EQ(manager->IsUpdateExistingInDB("T1.zip", media, exists, 2), 0u);
  EXPECT_FALSE(exists);

  // The newest media of a service pack: only its stamps are taken.
  Sql("INSERT INTO PatchSPVersion (id, SPName, Release, Build, SPMajor, SPMinor, TransactionID, "
      "RevisionID) VALUES (5, 'SP28', 16, 80, 28, 0, 4800, 6)");
  FullVersion latest = Media(11, 77, 28, 0, 1, 1);
  ASSERT_EQ(manager->GetLatestDVDForSP("SP28", latest), 0u);
  EXPECT_EQ(latest, Media(11, 77, 28, 0, 4800, 6));
  EXPECT_EQ(manager->GetLatestDVDForSP("SP99", latest), 0x80000018u);
  {
    ScopedHostBody body("PatchGetLatestDVDForSP", 1,
                        ScopedHostBody::Answer(kqfixture::Xml(UpdatePatches::FullVersion())));
    ASSERT_EQ(manager->GetLatestDVDForSP("SP28", latest), 0u);
    EXPECT_EQ(latest, Media(11, 77, 28, 0, 4800, 6));
    EXPECT_TRUE(Logged("SPVersion is not set in XML"));
  }

  // Version files that agree record both service-pack ids and keep the update pack.
  const FullVersion info = WithPack(media, 3, 5000);
  const std::string win = VersionFile("win.txt", media);
  const std::string unx = VersionFile("unix.txt", media);
  FullVersion in = info;
  int winId = 0, unixId = 0;
  ASSERT_EQ(manager->UpdateSPVersionInfo(win, unx, in, winId, unixId, false), 0u);
  EXPECT_GT(winId, 0);
  EXPECT_EQ(unixId, winId);  // the same media version
  EXPECT_EQ(in.Get(FullVersion::kUPNumber), 3);
  EXPECT_EQ(FullVersion::Compare(FullVersion::kCompareMedia, in, media), 0);

  // Files that disagree, and a missing Unix file: no ids handed back.
  const std::string other = VersionFile("other.txt", Media(11, 80, 28, 0, 4712, 3));
  in = info;
  EXPECT_EQ(manager->UpdateSPVersionInfo(win, other, in, winId, unixId, false), 0x8000001Bu);
  EXPECT_EQ(winId, -1);
  EXPECT_EQ(unixId, -1);
  winId = unixId = 8;
  EXPECT_EQ(manager->UpdateSPVersionInfo(win, win + ".missing", in, winId, unixId, false), 0u);
  EXPECT_EQ(winId, -1);
  EXPECT_EQ(unixId, -1);
  EXPECT_EQ(manager->UpdateSPVersionInfo(win + ".missing", unx, in, winId, unixId, false),
            0x80000010u);
  in = WithPack(Media(11, 80, 30, 0, 4711, 3), 3, 5000);
  EXPECT_EQ(manager->UpdateSPVersionInfo(win, unx, in, winId, unixId, false), 0x8000001Bu);
}

TEST_F(VersionsTest, MediaInformationReachesItsProcedureWhole) {
  std::vector<kq::db::Value> seen;
  int answer = 100;
  ScopedHostBody body("PatchUpdateDVDInfo", 3,
                      [&](kq::db::Session&, const std::vector<kq::db::Value>& args,
                          std::vector<kq::db::Row>& rows, std::string& err) {
                        seen = args;
                        if (answer == 0) rows.push_back({kq::db::Value::Int(1)});
                        if (answer == 1000) err = "refused by the test";
                        return answer;
                      });
  std::string text;
  while (text.size() < (1u << 20)) text += "<DVD name='O''Brien's \"media\"'/>\n";
  ASSERT_EQ(manager->UpdateDVDInfoTable(text, true), 0u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].s, text);
  EXPECT_EQ(seen[1].i, 1);
  EXPECT_EQ(seen[2].i, 0);
  db.config().set("UpdateFlags", "bDownloadPrivateBuild", "2");
  answer = 0;
  ASSERT_EQ(manager->UpdateDVDInfoTable("x", false), 0u);
  EXPECT_EQ(seen[1].i, 0);
  EXPECT_EQ(seen[2].i, 1);
  answer = 1000;
  EXPECT_EQ(manager->UpdateDVDInfoTable("x", false), 1000u);
  EXPECT_TRUE(Logged("Failed to update DVDInfo in DB with error [1000:"));
}

}  // namespace
