// The Hubnode procedures whose bodies read or build message XML, driven through their records
// as the data manager and the update alerts call them, over seeded tables. Nothing here registers
// a body: the built-in ones answer.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Db/Proc/FtpServicePackInfoSelectOps.h"
#include "Db/Proc/GetFtpServicePackInfo.h"
#include "Db/Proc/PatchGetLatestDVDForSP.h"
#include "Db/Proc/patchApplianceCommit.h"
#include "Db/Proc/patchUpdateApplianceEligibility.h"
#include "Db/Proc/patchUpdateDVDInfo.h"
#include "Db/Proc/simGetAllCUs.h"
#include "Db/Proc/simGetClientPackageFullVersion.h"
#include "Db/Proc/simGetFullVersionAndOSInfo.h"
#include "Db/Proc/simGetUpdatesNeedsDownload.h"
#include "Db/Proc/simUpdateUPVersion.h"
#include "Db/SprocWrapper.h"
#include "KqDbTestEnv.h"
#include "Messages/EVGui.h"
#include "Messages/UpdatePatches.h"

using kqtest::I;
using kqtest::Sql;
using kqtest::T;
using namespace UpdatePatches;

namespace {

// A text that XML and SQL both treat specially.
const char kAwkward[] = "O'Brien's <pack> & \"more\"";

class DbHostProcedures : public ::testing::Test {
 protected:
  // Client id, release id, build, major, minor, transaction id, revision id, CU, CU
  // transaction id, CU name; and the client's operating system (0: none).
  void AddClient(int id, int os, std::vector<long long> v, const std::string& cuName = "") {
    Sql("INSERT INTO APP_Client (id, name, simOperatingSystemId, releaseId) VALUES ($1, $2, $3, "
        "$4)",
        {I(id), T("client" + std::to_string(id)), I(os), I(v[0])});
    Sql("INSERT INTO PatchClientVersion VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
        {I(id), I(v[0]), I(v[1]), I(v[2]), I(v[3]), I(v[4]), I(v[5]), I(v[6]), I(v[7]),
         T(cuName)});
  }
  void AddSP(int id, const std::string& release, const std::string& spName, int major, int trans,
             int rev) {
    Sql("INSERT INTO PatchSPVersion (id, ReleaseStr, BuildIdString, Build, Release, SPMajor, "
        "SPMinor, TransactionID, SPName, RevisionID, nCacheFlags, bShowInGUI) VALUES ($1, $2, "
        "'BUILD80', 80, 16, $3, 0, $4, $5, $6, 1, 1)",
        {I(id), T(release), I(major), I(trans), T(spName), I(rev)});
  }
  long long Count(const std::string& table) {
    return Sql("SELECT COUNT(*) FROM " + table)[0][0].i;
  }
  kqtest::ScopedDatabase db;
};

// The media-version fields of an SPVersion: release id, build, major, minor, transaction id,
// revision id.
std::vector<long long> Media(const CNMessageBase& sp) {
  return {sp.getint64(SPVersion::kField6), sp.getint64(SPVersion::kField7),
          sp.getint64(SPVersion::kMajor),  sp.getint64(SPVersion::kField2),
          sp.getint64(SPVersion::kTransactionId), sp.getint64(SPVersion::kRevisionId)};
}

SPVersion MakeSP(std::vector<long long> m) {
  SPVersion sp;
  sp.setint64(SPVersion::kField6, m[0]);
  sp.setint64(SPVersion::kField7, m[1]);
  sp.setint64(SPVersion::kMajor, m[2]);
  sp.setint64(SPVersion::kField2, m[3]);
  sp.setint64(SPVersion::kTransactionId, m[4]);
  sp.setint64(SPVersion::kRevisionId, m[5]);
  return sp;
}

UpdatePack MakePack(long long number, long long trans, const std::string& name = "") {
  UpdatePack p;
  p.setint64(UpdatePack::kNumber, number);
  p.setint64(UpdatePack::kField2, trans);
  if (!name.empty()) p.setstring(UpdatePack::kField5, name);
  return p;
}

std::string Xml(const CNMessageBase& m) {
  std::string xml;
  EXPECT_EQ(m.serialize(xml), 0);
  return xml;
}

// One call through the XML wrapper, as the data manager makes it.
template <class X, class X_t, class... A>
std::string ThroughWrapper(const char* caller, A... args) {
  SprocWrapper<X, X_t> w(caller, nullptr);
  w.getCursor()->setIsolationType(4);
  if constexpr (sizeof...(A) > 0) w.getCursor()->setValues(args...);
  std::string out;
  EXPECT_EQ(w.getXMLFromCursor(out, nullptr, false, true), 0) << w.getErrorString();
  return out;
}

}  // namespace

TEST_F(DbHostProcedures, InstalledVersionsOfTheClientsWithTheirOperatingSystems) {
  // No client: still a message, without a list.
  std::string xml = ThroughWrapper<SimGetFullVersionAndOSInfo, SimGetFullVersionAndOSInfo_t>(
      "GetAllowedSPs");
  InstalledVerOs none;
  ASSERT_EQ(XMLDecoder::unSerialize(none, xml), 0) << xml;
  EXPECT_FALSE(none.isSet(InstalledVerOs::kList));

  AddClient(2, 5, {16, 80, 28, 0, 4711, 3, 0, 0});
  AddClient(7, 9, {16, 80, 28, 0, 4711, 3, 0, 0});
  AddClient(9, 1, {16, 80, 28, 0, 4711, 3, 2, 5120}, kAwkward);
  AddClient(11, 0, {15, 72, 20, 0, 10, 1, 0, 0});  // no operating system: left out
  AddClient(12, 9, {16, 80, 28, 0, 4711, 3, 0, 0});  // same side as client 7
  xml = ThroughWrapper<SimGetFullVersionAndOSInfo, SimGetFullVersionAndOSInfo_t>(
      "GetAllowedSPs");
  InstalledVerOs all;
  ASSERT_EQ(XMLDecoder::unSerialize(all, xml), 0) << xml;
  const auto& list = *static_cast<const InstalledVerOs&>(all).getlistobject(InstalledVerOs::kList);
  ASSERT_EQ(list.size(), 2u) << xml;
  std::vector<std::pair<long long, std::vector<long long>>> seen;  // CU number, OS ids
  for (const CNMessageBase& entry : list) {
    const CNMessageBase* v = entry.getObjectAccessor(InstalledVersions::kVersion);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(Media(*v->getObjectAccessor(FullVersion::kSPVersion)),
              (std::vector<long long>{16, 80, 28, 0, 4711, 3}));
    const CNMessageBase* up = v->getObjectAccessor(FullVersion::kUpdatePack);
    ASSERT_NE(up, nullptr);
    std::vector<long long> oses;
    for (const CNMessageBase& os : *entry.getlistobject(InstalledVersions::kList))
      oses.push_back(os.getint64(OSInfo::kField1));
    seen.push_back({up->getint64(UpdatePack::kNumber), oses});
    if (up->getint64(UpdatePack::kNumber) == 2) {
      EXPECT_EQ(up->getint64(UpdatePack::kField2), 5120);
      EXPECT_EQ(up->getstring(UpdatePack::kField5), kAwkward);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::pair<long long, std::vector<long long>>>{{0, {5, 9}},
                                                                             {2, {1}}}));
}

TEST_F(DbHostProcedures, OneClientsFullVersion) {
  AddClient(2, 5, {16, 80, 28, 'a', 4711, 3, 2, 5120}, kAwkward);
  AddClient(7, 9, {15, 72, 20, 0, 10, 1, 0, 0});
  SimGetClientPackageFullVersion rec;
  rec.setIsolationType(4);
  rec.setValues(2, 0);
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  ASSERT_NE(rec.getDataPtr()->o_xmlText, nullptr);
  FullVersion hub;
  ASSERT_EQ(XMLDecoder::unSerialize(hub, rec.getDataPtr()->o_xmlText), 0);
  EXPECT_EQ(Media(*hub.getObjectAccessor(FullVersion::kSPVersion)),
            (std::vector<long long>{16, 80, 28, 'a', 4711, 3}));
  const CNMessageBase* up = hub.getObjectAccessor(FullVersion::kUpdatePack);
  EXPECT_EQ(up->getint64(UpdatePack::kNumber), 2);
  EXPECT_EQ(up->getint64(UpdatePack::kField2), 5120);
  EXPECT_EQ(up->getstring(UpdatePack::kField5), kAwkward);

  // A client without an update pack still gets one (number 0), as its readers require.
  rec.setValues(7, 0);
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0);
  FullVersion client;
  ASSERT_EQ(XMLDecoder::unSerialize(client, rec.getDataPtr()->o_xmlText), 0);
  ASSERT_TRUE(client.isSet(FullVersion::kUpdatePack));
  EXPECT_EQ(client.getObjectAccessor(FullVersion::kUpdatePack)->getint64(UpdatePack::kNumber), 0);
  EXPECT_FALSE(client.getObjectAccessor(FullVersion::kUpdatePack)->isSet(UpdatePack::kField5));

  rec.setValues(12345, 0);  // unknown client: no row
  EXPECT_EQ(getOneRow(&rec, false, -1, 0), 100);
}

TEST_F(DbHostProcedures, MaintenanceReleasesAreRecordedAndReadBackPerMediaVersion) {
  const std::vector<long long> media = {16, 80, 28, 0, 4711, 3};
  AvailableCumulativeUpdatePacks catalogue;
  AvailableCUs entry;
  entry.setObjectAccessor(AvailableCUs::kSPVersion, MakeSP(media));
  UpdatePack unnumbered;
  unnumbered.setint64(UpdatePack::kField2, 1);
  entry.setlistobject(AvailableCUs::kUpdatePacks,
                      {MakePack(1, 5000), MakePack(2, 5120, kAwkward), unnumbered});
  AvailableCUs noVersion;  // skipped
  noVersion.setlistobject(AvailableCUs::kUpdatePacks, {MakePack(9, 9)});
  catalogue.setlistobject(AvailableCumulativeUpdatePacks::kPacks, {entry, noVersion});

  SimUpdateUPVersion up;
  up.setValues(Xml(catalogue).c_str(), 1);
  ASSERT_EQ(getOneRow(&up, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(up.getDataPtr()->nRowsUpdated, 2);
  auto rows = Sql("SELECT CUNumber, CUTransactionId, FriendlyName, IsAvailableForDownload "
                  "FROM PatchUPVersion WHERE Release = 16 AND Build = 80 AND SPMajor = 28 AND "
                  "SPMinor = 0 AND TransactionId = 4711 ORDER BY CUNumber");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][1].i, 5120);
  EXPECT_EQ(rows[1][2].s, kAwkward);
  EXPECT_EQ(rows[0][3].i, 1);

  // The same catalogue again, with a new transaction id for pack 1: updated, not doubled.
  entry.setlistobject(AvailableCUs::kUpdatePacks, {MakePack(1, 5001)});
  catalogue.setlistobject(AvailableCumulativeUpdatePacks::kPacks, {entry});
  up.setValues(Xml(catalogue).c_str(), 0);
  ASSERT_EQ(getOneRow(&up, false, -1, 0), 0);
  EXPECT_EQ(up.getDataPtr()->nRowsUpdated, 1);
  EXPECT_EQ(Count("PatchUPVersion"), 2);
  EXPECT_EQ(Sql("SELECT CUTransactionId FROM PatchUPVersion WHERE CUNumber = 1")[0][0].i, 5001);

  // An empty catalogue still answers a row (its caller takes 100 for a failure).
  up.setValues(Xml(AvailableCumulativeUpdatePacks()).c_str(), 1);
  ASSERT_EQ(getOneRow(&up, false, -1, 0), 0);
  EXPECT_EQ(up.getDataPtr()->nRowsUpdated, 0);

  // Read back: one set per maintenance release and operating system of the media.
  Sql("INSERT INTO PatchDVDInfo VALUES (16, 80, 3, 28, 0, 4711, 3), (16, 80, 7, 28, 0, 4711, 3), "
      "(16, 80, 7, 28, 0, 4711, 4), (16, 80, 1, 28, 0, 9999, 1)");
  Sql("INSERT INTO PatchUPVersion VALUES (16, 80, 28, 0, 9999, 8, 1, 1, 1, 'other media')");
  SPVersion asked = MakeSP(media);
  std::string xml = ThroughWrapper<SimGetAllCUs, SimGetAllCUs_t>("GetAllCUsInDB",
                                                          Xml(asked).c_str());
  CacheUpdateInfo info;
  ASSERT_EQ(XMLDecoder::unSerialize(info, xml), 0) << xml;
  std::vector<std::pair<long long, long long>> sets;  // CU number, OS id
  for (const CNMessageBase& set :
       *static_cast<const CacheUpdateInfo&>(info).getlistobject(CacheUpdateInfo::kList)) {
    ASSERT_NE(set.getObjectAccessor(MediaSet::kSPVersion), nullptr);
    EXPECT_EQ(Media(*set.getObjectAccessor(MediaSet::kSPVersion)), media);
    const CNMessageBase* pack = set.getObjectAccessor(MediaSet::kUpdatePack);
    ASSERT_NE(pack, nullptr);
    if (pack->getint64(UpdatePack::kNumber) == 2) {
      EXPECT_EQ(pack->getstring(UpdatePack::kField5), kAwkward);
    }
    sets.push_back({pack->getint64(UpdatePack::kNumber),
                    set.getObjectAccessor(MediaSet::kOS)->getint64(CacheMediaOS::kOSId)});
  }
  EXPECT_EQ(sets, (std::vector<std::pair<long long, long long>>{{1, 3}, {1, 7}, {2, 3}, {2, 7}}));

  // A media version without maintenance releases: a message without a list.
  asked.setint64(SPVersion::kTransactionId, 1);
  xml = ThroughWrapper<SimGetAllCUs, SimGetAllCUs_t>("GetAllCUsInDB", Xml(asked).c_str());
  CacheUpdateInfo empty;
  ASSERT_EQ(XMLDecoder::unSerialize(empty, xml), 0) << xml;
  EXPECT_FALSE(empty.isSet(CacheUpdateInfo::kList));
}

TEST_F(DbHostProcedures, AMaintenanceReleaseCatalogueIsRecordedWholeOrNotAtAll) {
  Sql("INSERT INTO PatchUPVersion VALUES (16, 80, 28, 0, 4711, 1, 5000, 1, 1, 'kept')");
  AvailableCumulativeUpdatePacks catalogue;
  AvailableCUs entry;
  entry.setObjectAccessor(AvailableCUs::kSPVersion, MakeSP({16, 80, 28, 0, 4711, 3}));
  // Pack 1 would be updated and pack 2 added before pack 3's number is found too large.
  entry.setlistobject(AvailableCUs::kUpdatePacks,
                      {MakePack(1, 6000, "changed"), MakePack(2, 1), MakePack(1LL << 40, 1)});
  catalogue.setlistobject(AvailableCumulativeUpdatePacks::kPacks, {entry});
  const std::string good = Xml(catalogue);
  for (const std::string& bad :
       {good, good.substr(0, good.size() / 2), std::string("<m s=\"23\" id=\"182\"/>"),
        std::string()}) {
    SimUpdateUPVersion up;
    up.setValues(bad.c_str(), 1);
    EXPECT_EQ(getOneRow(&up, false, -1, 0), 1000) << bad;
    EXPECT_EQ(Count("PatchUPVersion"), 1) << bad;
    EXPECT_EQ(Sql("SELECT FriendlyName FROM PatchUPVersion")[0][0].s, "kept");
  }
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("AvailableCumulativeUpdatePacks"),
            std::string::npos)
      << DBtable::getErrorStr(1000);
}

namespace {

// An appliance configuration with the given (section, sub-OS names) and one patch each.
KQApplianceOSPatches ApplianceConfig(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& sections) {
  KQApplianceOSPatches config;
  std::vector<CNMessageBase> list;
  for (const auto& s : sections) {
    KQApplianceOSSection section;
    section.setstring(KQApplianceOSSection::kName, s.first);
    std::vector<CNMessageBase> subs;
    for (const std::string& name : s.second) {
      KQApplianceSubOS sub;
      sub.setstring(KQApplianceSubOS::kName, name);
      KQApplianceFRSection fr;
      BinaryV11 patch;
      patch.setstring(BinaryV11::kRelativePath, "Windows/" + name + ".msu");
      fr.setlistobject(KQApplianceFRSection::kPatchFiles, {patch});
      sub.setlistobject(KQApplianceSubOS::kFeatureReleases, {fr});
      subs.push_back(sub);
    }
    section.setlistobject(KQApplianceOSSection::kSubOSSections, subs);
    list.push_back(section);
  }
  config.setlistobject(KQApplianceOSPatches::kOSSections, list);
  return config;
}

}  // namespace

TEST_F(DbHostProcedures, ApplianceCommitRecordsTheVersionsTheConfigurationCovers) {
  const std::string sql = std::string("SQL Server 2017 ") + kAwkward;
  const std::string config =
      Xml(ApplianceConfig({{"Windows", {"Windows Server 2019", "Windows Server 2016"}},
                           {"MSSQL", {sql}}}));
  Sql("INSERT INTO APP_ApplianceOS VALUES (5, 'Windows Server 2019', 2, 0), "
      "(6, 'Windows Server 2022', 2, 0), (7, $1, 1, 0)",
      {T(sql)});
  PatchApplianceCommit commit;
  commit.setValues(config.c_str(), (" Windows Server 2019,Windows Server 2022," + sql).c_str());
  ASSERT_EQ(getOneRow(&commit, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  EXPECT_EQ(commit.getDataPtr()->nRowsUpdated, 2);  // 2022 has no patches in the configuration
  auto rows = Sql("SELECT OSNameVersion, ConfigXml FROM PatchApplianceVersion ORDER BY 1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0].s, sql);
  EXPECT_EQ(rows[1][0].s, "Windows Server 2019");
  EXPECT_EQ(rows[1][1].s, config);
  PatchUpdateApplianceEligibility eligibility;
  eligibility.setValues();
  ASSERT_EQ(getOneRow(&eligibility, false, -1, 0), 0);
  EXPECT_EQ(eligibility.getDataPtr()->nRowsUpdated, 2);

  // An empty list records nothing and still succeeds.
  commit.setValues(config.c_str(), "");
  ASSERT_EQ(getOneRow(&commit, false, -1, 0), 0);
  EXPECT_EQ(commit.getDataPtr()->nRowsUpdated, 0);

  // A configuration that does not decode changes nothing.
  for (const std::string& bad : {config.substr(0, config.size() - 3), std::string("<cfg/>")}) {
    commit.setValues(bad.c_str(), "Windows Server 2016");
    EXPECT_EQ(getOneRow(&commit, false, -1, 0), 1000);
    EXPECT_EQ(Count("PatchApplianceVersion"), 2);
    EXPECT_EQ(Sql("SELECT ConfigXml FROM PatchApplianceVersion WHERE OSNameVersion = $1",
                  {T("Windows Server 2019")})[0][0].s,
              config);
  }
}

TEST_F(DbHostProcedures, LatestMediaOfAServicePack) {
  AddSP(1, "11.0.0", "SP28", 28, 100, 1);
  AddSP(2, "11.0.0", "SP28", 28, 120, 2);
  AddSP(3, "11.0.0", "SP28", 28, 120, 3);
  AddSP(4, "11.0.0", "SP29", 29, 900, 1);
  Sql("INSERT INTO PatchSPVersion (id, SPName, Release) VALUES (5, 'SP28', 16)");  // no stamps
  PatchGetLatestDVDForSP rec;
  rec.setValues("SP28");
  ASSERT_EQ(getOneRow(&rec, false, -1, 0), 0) << DBtable::getErrorStr(1000);
  FullVersion v;
  ASSERT_EQ(XMLDecoder::unSerialize(v, rec.getDataPtr()->oUpdatedSPXML), 0);
  EXPECT_EQ(Media(*v.getObjectAccessor(FullVersion::kSPVersion)),
            (std::vector<long long>{16, 80, 28, 0, 120, 3}));
  for (const char* unknown : {"SP27", "SP28' OR '1'='1", ""}) {
    rec.setValues(unknown);
    EXPECT_EQ(getOneRow(&rec, false, -1, 0), 100) << unknown;
  }
}

namespace {

HotfixListEntry Hotfix(const std::string& name, long long binarySet, long long trans = -1,
                       long long visibility = -1) {
  HotfixListEntry e;
  e.setstring(HotfixListEntry::kField1, name);
  e.setstring(HotfixListEntry::kField4, "123456");
  e.setint64(HotfixListEntry::kField5, binarySet);
  if (trans >= 0) e.setint64(HotfixListEntry::kField6, trans);
  if (visibility >= 0) e.setint64(HotfixListEntry::kField7, visibility);
  return e;
}

// (OS id, updates text) rows of SimGetUpdatesNeedsDownload.
std::vector<std::pair<int, std::string>> Pending(const std::string& xml, int visibility,
                                                 int* rc = nullptr) {
  SimGetUpdatesNeedsDownload rec;
  rec.setIsolationType(4);
  rec.setValues(28, 0, 4711, xml.c_str(), -1, visibility);
  std::vector<std::pair<int, std::string>> out;
  int count = 0;
  int code;
  while ((code = getNextRow(&rec, &count, -1, 0)) == 0)
    out.push_back({rec.getDataPtr()->oOSId, rec.getDataPtr()->oUpdatesList});
  if (rc != nullptr) *rc = code;
  EXPECT_TRUE(code == 100 || rc != nullptr) << DBtable::getErrorStr(code);
  return out;
}

}  // namespace

TEST_F(DbHostProcedures, UpdatesStillToDownloadPerOperatingSystem) {
  Sql("INSERT INTO PatchUpdateOS VALUES (1, 1, 3), (2, 2, 7), (3, 3, 35), (4, 4, 0)");
  Sql("INSERT INTO PatchUpdateInfo VALUES (16, 80, 28, 0, 4711, 'KB-done', 1)");
  const std::string awkward = std::string("KB-") + kAwkward;
  HotfixList list;
  list.setlistobject(HotfixList::kEntries,
                     {Hotfix("KB-new", 1, 5000), Hotfix("KB-old", 1, 4711),  // at the media
                      Hotfix("KB-untimed", 2), Hotfix("KB-zero", 2, 0), Hotfix(awkward, 1, 4712),
                      Hotfix("KB-done", 1, 6000), Hotfix("KB-hidden", 2, 6000, 3),
                      Hotfix("KB-shown", 2, 6000, 0), Hotfix("KB-os35", 3, 6000),
                      Hotfix("KB-os0", 4, 6000), Hotfix("KB-unknown", 99, 6000),
                      Hotfix("KB-new", 1, 5000)});  // listed twice: once
  const std::string xml = Xml(list);
  EXPECT_EQ(Pending(xml, 1),
            (std::vector<std::pair<int, std::string>>{
                {3, "KB-new, " + awkward}, {7, "KB-untimed, KB-zero, KB-shown"}}));
  EXPECT_EQ(Pending(xml, 0),  // visibility not checked
            (std::vector<std::pair<int, std::string>>{
                {3, "KB-new, " + awkward}, {7, "KB-untimed, KB-zero, KB-hidden, KB-shown"}}));

  // A long list goes out in rows the record can hold, each continuing the one before.
  std::vector<CNMessageBase> many;
  std::string whole;
  for (int k = 0; k < 40; ++k) {
    std::string name = "KB" + std::to_string(1000000 + k);
    many.push_back(Hotfix(name, 2, 6000));
    whole += (k == 0 ? "" : ", ") + name;
  }
  list.setlistobject(HotfixList::kEntries, many);
  auto rows = Pending(Xml(list), 1);
  ASSERT_GT(rows.size(), 1u);
  std::string joined;
  for (size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(rows[k].first, 7);
    EXPECT_LE(rows[k].second.size(), 255u);
    EXPECT_EQ(rows[k].second.compare(0, 2, ", ") == 0, k > 0) << rows[k].second;
    joined += rows[k].second;
  }
  EXPECT_EQ(joined, whole);

  // No configuration: nothing pending. A configuration that does not decode: a failure.
  EXPECT_TRUE(Pending("", 1).empty());
  int rc = 0;
  EXPECT_TRUE(Pending(xml.substr(0, 40), 1, &rc).empty());
  EXPECT_EQ(rc, 1000);
  EXPECT_TRUE(Pending(Xml(FullVersion()), 1, &rc).empty());
  EXPECT_EQ(rc, 1000);
}

TEST_F(DbHostProcedures, ServicePacksWhoseMaintenanceReleasesAreFetched) {
  AddSP(1, "11.0.0", "SP28", 28, 100, 1);
  AddSP(2, "11.0.0", "SP28", 28, 120, 2);
  AddSP(3, "11.0.0", "SP27", 27, 90, 1);
  AddSP(4, "10.0.0", "SP5", 5, 10, 1);
  AddSP(5, "11.0.0", "", 30, 10, 1);  // no name: not listed
  auto ask = [](const std::string& release, EVGui::GetFTPServicePackInfoResp& answer) {
    EVGui::GetFTPServicePackInfoReq req;
    if (!release.empty()) req.setstring(EVGui::GetFTPServicePackInfoReq::kField1, release);
    GetFtpServicePackInfo rec;
    rec.setIsolationType(4);
    rec.setValues(Xml(req).c_str());
    int rc = getOneRow(&rec, false, -1, 0);
    if (rc == 0) {
      EXPECT_EQ(XMLDecoder::unSerialize(answer, rec.getDataPtr()->r_ReturnResult), 0);
    }
    return rc;
  };
  EVGui::GetFTPServicePackInfoResp answer;
  ASSERT_EQ(ask("11.0.0", answer), 0) << DBtable::getErrorStr(1000);
  std::vector<std::string> names;
  const CNMessageBase& read = answer;
  for (const CNMessageBase& info :
       *read.getlistobject(EVGui::GetFTPServicePackInfoResp::kSPCUInfos))
    names.push_back(info.getstring(EVGui::SPCUInfo::kName));
  EXPECT_EQ(names, (std::vector<std::string>{"SP27", "SP28"}));

  EVGui::GetFTPServicePackInfoResp none;
  ASSERT_EQ(ask("12.0.0", none), 0);
  EXPECT_FALSE(none.isSet(EVGui::GetFTPServicePackInfoResp::kSPCUInfos));
  EVGui::GetFTPServicePackInfoResp unused;
  EXPECT_EQ(ask("", unused), 1000);
  EXPECT_NE(std::string(DBtable::getErrorStr(1000)).find("names no release"), std::string::npos);
}

namespace {

// One feature release of a release-information file.
DVDInfoRelease Release(const std::string& sp, long long trans, long long rev,
                       const std::string& build = "BUILD80") {
  DVDInfoRelease e;
  e.setstring(DVDInfoRelease::kReleaseStr, "11.0.0");
  e.setstring(DVDInfoRelease::kBuildIdString, build);
  e.setstring(DVDInfoRelease::kSPName, sp);
  e.setstring(DVDInfoRelease::kFriendlyName, kAwkward);
  e.setint64(DVDInfoRelease::kTransactionId, trans);
  e.setint64(DVDInfoRelease::kRevisionId, rev);
  e.setint64(DVDInfoRelease::kTimestamp, 1700000000LL + trans);
  return e;
}

int RecordDVDInfo(const std::string& xml, int allowPrivate) {
  PatchUpdateDVDInfo rec;
  rec.setValues(xml.c_str(), 1, allowPrivate);
  return getOneRow(&rec, false, -1, 0);
}

}  // namespace

TEST_F(DbHostProcedures, ReleaseInformationIsRecordedOncePerFeatureRelease) {
  DVDInfo info;
  auto* list = info.getlistobject(DVDInfo::kReleases);
  list->push_back(Release("SP20", 4711, 3));
  list->push_back(Release("SP12a", 300, 2));
  DVDInfoRelease hidden = Release("SP21", 4811, 4);
  hidden.setint64(DVDInfoRelease::kShowInGUI, 0);
  list->push_back(hidden);
  list->push_back(Release("../x", 9999, 1));
  DVDInfoRelease privateBuild = Release("SP22", 4911, 5);
  privateBuild.setint64(DVDInfoRelease::kPrivateBuild, 1);
  list->push_back(privateBuild);
  // Not recordable: no recut stamps, a build that is no number, no name.
  list->push_back(Release("SP23", 0, 6));
  list->push_back(Release("SP24", 5111, 7, "BUILDx"));
  list->push_back(Release("", 5211, 8));
  const std::string xml = Xml(info);

  ASSERT_EQ(RecordDVDInfo(xml, 0), 0) << DBtable::getErrorStr(1000);
  const std::string columns =
      "SELECT SPName, Release, Build, SPMajor, SPMinor, TransactionID, RevisionID, nCacheFlags, "
      "bShowInGUI, FriendlyName, Timestamp, id FROM PatchSPVersion ORDER BY id";
  std::vector<kq::db::Row> rows = Sql(columns);
  ASSERT_EQ(rows.size(), 4u);
  const std::vector<std::vector<long long>> numbers = {{16, 80, 20, 0, 4711, 3, 1, 1},
                                                       {16, 80, 12, 'a', 300, 2, 1, 1},
                                                       {16, 80, 21, 0, 4811, 4, 1, 0},
                                                       {16, 80, 0, 0, 9999, 1, 1, 1}};
  const char* const names[] = {"SP20", "SP12a", "SP21", "../x"};
  for (size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(rows[k][0].s, names[k]);
    for (size_t c = 0; c < 8; ++c) EXPECT_EQ(rows[k][1 + c].i, numbers[k][c]) << k << "/" << c;
    EXPECT_EQ(rows[k][9].s, kAwkward);
  }
  EXPECT_EQ(rows[0][10].i, 1700000000LL + 4711);

  // The same text again changes nothing; private builds come in once allowed.
  ASSERT_EQ(RecordDVDInfo(xml, 0), 0);
  const std::vector<kq::db::Row> again = Sql(columns);
  ASSERT_EQ(again.size(), rows.size());
  for (size_t k = 0; k < rows.size(); ++k)
    for (size_t c = 0; c < rows[k].size(); ++c) {
      EXPECT_EQ(again[k][c].i, rows[k][c].i) << k << "/" << c;
      EXPECT_EQ(again[k][c].s, rows[k][c].s) << k << "/" << c;
    }
  ASSERT_EQ(RecordDVDInfo(xml, 1), 0);
  EXPECT_EQ(Count("PatchSPVersion"), 5);
  // A text that is no release information changes nothing.
  for (const char* bad : {"<DVDInfo><broken", "", "<HotfixList/>"})
    EXPECT_EQ(RecordDVDInfo(bad, 1), 1000) << bad;
  EXPECT_EQ(Count("PatchSPVersion"), 5);

  // What the latest-release selection reads back.
  FtpServicePackInfoSelectOps select;
  select.setValues(4, "11.0.0", 20, 0, 0);
  int count = 0;
  ASSERT_EQ(getNextRow(&select, &count, -1, 0), 0);
  EXPECT_STREQ(select.getDataPtr()->SPName, "SP22");
  EXPECT_STREQ(select.getDataPtr()->BuildIdString, "BUILD80");
  EXPECT_EQ(select.getDataPtr()->Timestamp, 1700000000LL + 4911);
}
