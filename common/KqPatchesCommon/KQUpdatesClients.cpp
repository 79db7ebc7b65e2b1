// The client inventory of KQUpdates: every client's release, service pack, operating system,
// platform type and (for the Hubnode) install time, and the clients that need an update or an
// upgrade.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "Configuration/KQClient.h"
#include "Db/Cursor/GetClientAndOS.h"
#include "Db/Cursor/GetRelAndAppId.h"
#include "Db/Proc/PatchGetClientsWithVersionInfo.h"
#include "Db/Tbl/LicUsage.h"
#include "Db/Tbl/PatchUpdateOS.h"
#include "KQUpdates.h"
#include "Logging/EvDebug.h"

using KQUpdatesNS::ClientDetails;
using KQUpdatesNS::ClientReleaseIdSP;
using KQUpdatesNS::OsVsSPDetails;
using KQUpdatesNS::ReleaseVsOsSPDetails;
using KQUpdatesNS::ReleaseVsSP;

namespace {

constexpr int kRow = 0;
constexpr int kNoRow = 100;
constexpr int kHubnodeClient = 2;
constexpr long long kDay = 86400;

// Update-OS ids, the (OS type, Unix flavour) the client records keep for them, and the name
// that pair has. Ids not listed keep their value as the OS type, with flavour 0.
struct UpdateOsRow {
  int updateOsId;
  int osType;
  int unixFlavour;
  const char* name;
};
constexpr UpdateOsRow kUpdateOsTable[] = {
    {1, 1, 0, "Windows"}, {2, 2, 0, "Windows64"}, {3, 5, 0, nullptr},  {4, 4, 0, "Netware"},
    {6, 3, 8, "Solaris"}, {7, 3, 4, "Hp-ux"},     {8, 3, 1, "Aix"},    {9, 3, 6, "Linux"},
    {10, 3, 3, "FreeBSD"}, {11, 3, 7, "Tru64"},   {12, 3, 2, "Darwin"}, {13, 3, 5, "Irix"},
};
constexpr int kUnixOsType = 3;  // the only OS type whose name depends on the flavour

// Ends a client id list with each run of equal neighbours collapsed into one entry.
void CollapseRuns(std::vector<int>& ids) { ids.erase(std::unique(ids.begin(), ids.end()), ids.end()); }

// The id a listed client is reported under: a failover client stands for the client it is
// linked to.
int ReportedId(EvDebug& log, const char* tag, const ClientReleaseIdSP* c) {
  if (c->linkedFailoverClient <= 0 || c->linkedFailoverClient == c->clientId) return c->clientId;
  log.DebugLvl(tag, 1, "Dummy HN client [%d] is linked with [%d].", c->clientId,
               c->linkedFailoverClient);
  return c->linkedFailoverClient;
}

}  // namespace

void ConvertUpdateOsId(int updateOsId, int& osType, int& unixFlavour) {
  for (const UpdateOsRow& r : kUpdateOsTable) {
    if (r.updateOsId != updateOsId) continue;
    osType = r.osType;
    unixFlavour = r.unixFlavour;
    return;
  }
  osType = updateOsId;
  unixFlavour = 0;
}

const char* UpdateOsPairName(int osType, int unixFlavour) {
  for (const UpdateOsRow& r : kUpdateOsTable)
    if (r.name != nullptr && r.osType == osType &&
        (osType != kUnixOsType || r.unixFlavour == unixFlavour))
      return r.name;
  return nullptr;
}

// ---- free functions over the lists

void AddToList(int clientId, int releaseId, _SPVersion sp, std::vector<ClientReleaseIdSP*>& clients,
               bool lowerByOne) {
  for (ClientReleaseIdSP* c : clients) {
    if (c->clientId != clientId) continue;
    _SPVersion candidate = sp;
    if (lowerByOne && candidate.GetMajor() > 0) candidate.SetMajor(candidate.GetMajor() - 1);
    if (candidate < c->sp) c->sp = candidate;
    return;
  }
  ClientReleaseIdSP* c = new ClientReleaseIdSP();
  c->clientId = clientId;
  c->releaseId = releaseId;
  c->sp = sp;
  clients.push_back(c);
}

void AddToList(int releaseId, _SPVersion sp, std::vector<ReleaseVsSP*>& highest) {
  for (ReleaseVsSP* r : highest) {
    if (r->releaseId != releaseId) continue;
    if (sp > r->sp) r->sp = sp;
    return;
  }
  ReleaseVsSP* r = new ReleaseVsSP();
  r->releaseId = releaseId;
  r->sp = sp;
  highest.push_back(r);
}

void FreeElementsInList(std::vector<char*>& buffers) {
  for (char* b : buffers) delete[] b;
  buffers.clear();
}

void FreeElementsInList(std::vector<ClientReleaseIdSP*>& clients) {
  for (ClientReleaseIdSP* c : clients) delete c;
  clients.clear();
}

void FreeElementsInList(std::vector<ReleaseVsSP*>& highest) {
  for (ReleaseVsSP* r : highest) delete r;
  highest.clear();
}

bool FindReleaseInList(int releaseId, const std::vector<ReleaseVsOsSPDetails>& list) {
  for (const ReleaseVsOsSPDetails& r : list)
    if (r.releaseId == releaseId) return true;
  return false;
}

void AddOsToList(int releaseId, int osType, int unixFlavour, std::vector<ReleaseVsOsSPDetails>& list) {
  for (ReleaseVsOsSPDetails& r : list) {
    if (r.releaseId != releaseId) continue;
    bool found = false;
    for (const OsVsSPDetails& os : r.osSP)
      if (os.osType == osType && os.unixFlavour == unixFlavour) found = true;
    if (found) return;
    OsVsSPDetails os;
    os.osType = osType;
    os.unixFlavour = unixFlavour;
    r.osSP.push_back(os);
  }
}

// ---- the index of client records

void KQUpdates::IndexClientRecords() {
  m_clientIndex.clear();
  for (size_t i = 0; i < m_clientRecords.size(); ++i)
    m_clientIndex[m_clientRecords[i]->clientId].push_back(i);
  m_clientIndexSize = m_clientRecords.size();
}

std::vector<ClientReleaseIdSP*> KQUpdates::ClientRecordsOf(int clientId) {
  // The positions are checked against the records themselves: a list changed behind the
  // index's back (another count, or another record at a position) is indexed again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 1 || m_clientIndexSize != m_clientRecords.size()) IndexClientRecords();
    std::vector<ClientReleaseIdSP*> found;
    auto it = m_clientIndex.find(clientId);
    bool valid = it != m_clientIndex.end();
    if (valid) {
      for (size_t pos : it->second) {
        if (pos >= m_clientRecords.size() || m_clientRecords[pos]->clientId != clientId) {
          valid = false;
          break;
        }
        found.push_back(m_clientRecords[pos]);
      }
    }
    if (valid || attempt == 1) return found;
  }
  return {};
}

// ---- reading the clients

bool KQUpdates::FindRelSpForAllClients() {
  static const char kTag[] = "KQUpdates::FindRelSpForAllClients";
  PatchGetClientsWithVersionInfo record(nullptr);
  record.setValues();
  int count = 0, rc;
  while ((rc = getNextRow(&record, &count, -1, 0)) == kRow) {
    const PatchGetClientsWithVersionInfo_t* row = record.getDataPtr();
    int spNumber = row->HighestSP;
    if (spNumber > 0 && std::strstr(row->MissingPatches, "None") == nullptr) --spNumber;
    ClientReleaseIdSP* client = new ClientReleaseIdSP();
    client->clientId = row->ClientId;
    client->releaseId = row->ReleaseId;
    client->sp = _SPVersion(spNumber);
    client->installTime = row->v11InstallTime;
    client->osType = row->osType;
    client->platType = row->platType;
    client->baseline = row->baseline;
    client->linkedFailoverClient = row->linkedFailoverClient;
    client->build = row->build;
    m_clientRecords.push_back(client);
    if (row->ClientId == kHubnodeClient) {
      m_hnRelease = row->ReleaseId;
      m_hnFound = true;
    }
    AddToList(row->ReleaseId, _SPVersion(spNumber), m_highestSPList);
  }
  // A read that broke off is no inventory: the clients after the failure are unknown.
  if (rc != kNoRow)
    Log().Debug(kTag, "Reading the clients failed after %d rows with error [%d:%s]", count, rc,
                DBtable::getErrorStr(rc));
  if (count == 0) Log().Debug(kTag, "Unable to fetch update info for clients in PatchInfo table.");
  return rc == kNoRow && count > 0;
}

bool KQUpdates::SetOsPlattypeInstallTime() {
  IndexClientRecords();
  // AddOsToClientInfo may not change the list, but the loop must not depend on it.
  for (size_t i = 0; i < m_clientRecords.size(); ++i) {
    ClientReleaseIdSP* client = m_clientRecords[i];
    const int id = client->clientId;
    const int os = GetOsForClient(id);
    if (os <= 0) continue;
    client->platType = GetPlattypeForClient(id);
    if (id == kHubnodeClient) {
      client->installTime = GetInstallTime(kHubnodeClient);
      m_hnUpgradeTime = client->installTime;
    } else {
      client->installTime = 0;
    }
    if (!AddOsToClientInfo(id, os)) return false;
  }
  return true;
}

int KQUpdates::GetOsForClient(int clientId) {
  GetClientAndOS record(nullptr);
  record.setValues(clientId);
  if (getOneRow(&record, false, -1, 0) != kRow) {
    Log().Debug("[SetOsForClient]", "Failed to get Client Info for %d from the hubnode Database",
                clientId);
    return -1;
  }
  const GetClientAndOS_t& row = *record.getDataPtr();
  return row.nvSimOSId;
}

int KQUpdates::GetPlattypeForClient(int clientId) {
  static const char kTag[] = "[GetPlattypeForClient]";
  GetRelAndAppId record(nullptr);
  record.setValues(clientId);
  bool has1000 = false, has1002 = false;
  int count = 0, rc;
  const GetRelAndAppId_t& row = *record.getDataPtr();
  while ((rc = getNextRow(&record, &count, -1, 0)) == kRow) {
    const int app = row.nvAppId;
    has1000 = has1000 || app == 1000;
    has1002 = has1002 || app == 1002;
  }
  if (rc != kNoRow) {
    Log().Debug(kTag, "Error fetching info from PatchInfo. Error [%s]", DBtable::getErrorStr(rc));
    return -1;
  }
  if (count == 0) {
    Log().Debug(kTag, "no row found in PatchInfo table for clientId %d", clientId);
    return -1;
  }
  return has1000 ? 1 : has1002 ? 2 : 4;
}

time_t KQUpdates::GetInstallTime(int clientId) {
  static const char kTag[] = "[GetInstallTime]";
  LicUsage record(nullptr);
  record.setWhere("CId = %d AND id = ( SELECT MAX(id) FROM licusage where CId = %d ) ", clientId,
                  clientId);
  record.setOrderBy("id DESC");
  const LicUsage_t& row = *record.getDataPtr();
  const KQTIMESTAMP_STRUCT& ts = row.OpTimeUTC.ts;
  if (getOneRow(&record, false, -1, 0) != kRow || ts.year == 0) {
    Log().Debug(kTag, "LicUsage query failed for client [%d].", clientId);
    return 0;
  }
  struct tm t = {};
  t.tm_year = ts.year - 1900;
  t.tm_mon = ts.month - 1;
  t.tm_mday = ts.day;
  t.tm_hour = ts.hour;
  t.tm_min = ts.minute;
  t.tm_sec = ts.second;
  return timegm(&t);  // the column holds UTC
}

bool KQUpdates::AddOsToClientInfo(int clientId, int) {
  const unsigned long binarySetId = ClientProperties(clientId).getBinarySetID();
  int updateOsId = 0;
  bool isUnix = false;
  GetOsIdFromBSId(binarySetId, updateOsId, isUnix);
  int osType = 0, flavour = 0;
  ConvertUpdateOsId(updateOsId, osType, flavour);
  int releaseId = 0;
  for (ClientReleaseIdSP* c : ClientRecordsOf(clientId)) {
    c->osType = osType;
    c->unixFlavour = flavour;
    releaseId = c->releaseId;
  }
  if (FindReleaseInList(releaseId, m_clientReleaseOsList)) {
    AddOsToList(releaseId, osType, flavour, m_clientReleaseOsList);
  } else {
    ReleaseVsOsSPDetails entry;
    entry.releaseId = releaseId;
    OsVsSPDetails os;
    os.osType = osType;
    os.unixFlavour = flavour;
    entry.osSP.push_back(os);
    m_clientReleaseOsList.push_back(entry);
  }
  return true;
}

void KQUpdates::GetOsIdFromSimOrBSId(int, int& updateOsId, int binarySetId, bool& isUnix, int) {
  GetOsIdFromBSId(static_cast<unsigned long>(binarySetId), updateOsId, isUnix);
}

namespace {

// One PatchUpdateOS look-up for both column choices.
void LookUpUpdateOs(EvDebug& log, const char* tag, const char* foundFormat, bool newColumn,
                    unsigned long binarySetId, int& updateOsId, bool& isUnix) {
  PatchUpdateOS record(nullptr);
  record.setWhere("BinarySetId = %d", static_cast<int>(binarySetId));
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc == kRow) {
    const PatchUpdateOS_t* row = record.getDataPtr();
    updateOsId = newColumn ? row->NewUpdateOSID : row->UpdateOSID;
    log.DebugLvl(tag, 10, foundFormat, binarySetId, updateOsId);
    isUnix = updateOsId > 4;
  } else if (rc == kNoRow) {
    log.DebugLvl(tag, 1,
                 "Warning: PatchUpdateOs table returned NODATA for bsid(%lu), returning "
                 "UPDATE_OS_UNKNOWN",
                 binarySetId);
    updateOsId = 0;
  } else {
    log.DebugLvl(tag, 1,
                 "Warning: PatchUpdateOs table returned error iRet = %d for bsid (%lu), "
                 "returning UPDATE_OS_UNKNOWN",
                 rc, binarySetId);
    updateOsId = 0;
  }
}

}  // namespace

void KQUpdates::GetOsIdFromBSId(unsigned long binarySetId, int& updateOsId, bool& isUnix) {
  LookUpUpdateOs(Log(), "[GetOsIdFromBSId]", "OS id for BSID %lu is (%d)", false, binarySetId,
                 updateOsId, isUnix);
}

void KQUpdates::GetNewOsIdFromBSId(unsigned long binarySetId, int& updateOsId, bool& isUnix) {
  LookUpUpdateOs(Log(), "[GetNewOsIdFromBSId]", "OS Id for BSID (%lu) is (%d)", true, binarySetId,
                 updateOsId, isUnix);
}

// ---- the update and upgrade decisions

bool KQUpdates::GetClientListNeedingUpdate() {
  static const char kTag[] = "GetClientListNeedingUpdate";
  Log().DebugLvl(kTag, 10, "Following clients need update ...");
  for (const ClientReleaseIdSP* c : m_clientRecords) {
    const bool needs = c->releaseId < 12 ? IsSPLesser(c, m_highestSPList) : c->baseline == 2;
    if (!needs) continue;
    const int id = ReportedId(Log(), kTag, c);
    m_updateClientIds.push_back(id);
    Log().DebugLvl(kTag, 10, "Client [%d] need to be updated.", id);
  }
  CollapseRuns(m_updateClientIds);
  return true;
}

bool KQUpdates::IsSPLesser(const ClientReleaseIdSP* client, const std::vector<ReleaseVsSP*>& highest) {
  for (const ReleaseVsSP* r : highest)
    if (r->releaseId == client->releaseId) return r->sp > client->sp;
  return true;
}

bool KQUpdates::GetClientListNeedingUpgrade() {
  static const char kTag[] = "GetClientListNeedingUpgrade";
  // Without the Hubnode's own record or its install time the grace period cannot be measured:
  // every client of another release would look overdue.
  if (!m_hnFound || m_hnUpgradeTime == 0) {
    Log().Debug(kTag, "Hubnode release or install time unknown (client 2 %s, install time %lld), "
                "no client is listed for upgrade",
                m_hnFound ? "found" : "not found", static_cast<long long>(m_hnUpgradeTime));
    return true;
  }
  const time_t now = time(nullptr);
  for (const ClientReleaseIdSP* c : m_clientRecords) {
    if (c->clientId == kHubnodeClient || IsClientUpgraded(c, m_hnRelease, now)) continue;
    const int id = ReportedId(Log(), kTag, c);
    m_upgradeClientIds.push_back(id);
    Log().DebugLvl(kTag, 10, "Client [%d] needs upgrade.", id);
  }
  CollapseRuns(m_upgradeClientIds);
  return true;
}

bool KQUpdates::IsClientUpgraded(const ClientReleaseIdSP* client, int hnRelease, time_t now) {
  if (client->releaseId == hnRelease) return true;
  const long long grace = (client->platType == 2 ? 60 : 120) * kDay;
  return static_cast<long long>(now) - static_cast<long long>(m_hnUpgradeTime) < grace;
}

bool KQUpdates::ChoseHighestSP_CacheVsClients() {
  for (const ReleaseVsOsSPDetails& r : m_cacheInventory)
    for (const OsVsSPDetails& os : r.osSP) AddToList(r.releaseId, os.sp, m_highestSPList);
  return true;
}

bool KQUpdates::GetReleaseSPInfo(int clientId, ClientDetails* details) {
  static const char kTag[] = "[GetReleaseSPInfo]";
  PatchGetClientsWithVersionInfo record(nullptr);
  record.setValues();
  int count = 0, rc;
  while ((rc = getNextRow(&record, &count, -1, 0)) == kRow) {
    const PatchGetClientsWithVersionInfo_t* row = record.getDataPtr();
    if (row->ClientId != clientId) continue;
    if (details != nullptr) {
      details->clientId = clientId;
      details->releaseId = row->ReleaseId;
      details->spNumber = row->HighestSP;
    }
    return true;
  }
  if (count == 0) {
    Log().Debug(kTag, "Unable to fetch update info for clients in PatchInfo table, Error [%s]",
                DBtable::getErrorStr(rc));
    return false;
  }
  // Every row was read and none was the client's: there is nothing to report.
  Log().Debug(kTag, "No release information for client [%d]%s%s", clientId,
              rc == kNoRow ? "" : ", error ", rc == kNoRow ? "" : DBtable::getErrorStr(rc));
  return false;
}

void KQUpdates::GatherClientInfo() {
  static const char kTag[] = "KQUpdates::GatherClientInfo";
  Log().Debug(kTag, "Getting all the client's version and update information");
  FindRelSpForAllClients();
  SetOsPlattypeInstallTime();
  if (!m_skipSiteSubDirs && m_hnVersion > 13 && !getSiteSubDirInfoForAllClients())
    Log().Debug(kTag, "Failed to get FTP sub directory info for all clients");
  Log().Debug(kTag, "Successfully computed the client's information.");
}
