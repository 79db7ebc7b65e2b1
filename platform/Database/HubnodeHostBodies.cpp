// Bodies of the Hubnode procedures that read or build message XML.
//
// Each body is a small function over the emulated schema's tables: it decodes its XML argument
// with the message library, runs portable statements on the caller's session and encodes its
// answer the same way. The table at the end gives them to the procedures declared "-- @host" in
// HubnodeSchema.sql, whose comments say what each one does. A body fails (1000 with err) on a
// text that does not decode as the message it expects and on a number that does not fit a
// column; a writing body runs inside its procedure's transaction, so such a failure leaves
// nothing written.
#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Database/DbProcedures.h"
#include "Database/DbSession.h"
#include "Messages/EVGui.h"
#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"

namespace kq {
namespace db {
namespace {

using Args = std::vector<Value>;
using Rows = std::vector<Row>;
using UpdatePatches::SPVersion;

// ---- values and statements

long long IntOf(const Value& v) {
  long long out = 0;
  if (v.kind == Value::kInt) return v.i;
  if (v.kind == Value::kText && ParseWholeInt64(v.s.c_str(), out)) return out;
  return 0;
}

std::string TextOf(const Value& v) { return v.kind == Value::kText ? v.s : std::string(); }

bool Query(Session& session, const std::string& sql, const Args& args, Rows& rows,
           std::string& err) {
  rows.clear();
  return ExecuteSql(session, sql, args, &rows, err) != kDbFailed;
}

bool Exec(Session& session, const std::string& sql, const Args& args, std::string& err) {
  return ExecuteSql(session, sql, args, nullptr, err) != kDbFailed;
}

// ---- messages

bool Decode(CNMessageBase& message, const std::string& xml, const char* what, std::string& err) {
  KqXMLContextInfo info;
  if (XMLDecoder::unSerialize(message, xml, &info) == 0) return true;
  err = std::string("argument is not a valid ") + what + " message: " + info.error;
  return false;
}

// Appends one row holding the message's text.
bool Answer(const CNMessageBase& message, Rows& rows, std::string& err) {
  std::string xml;
  if (XMLEncoder::serialize(message, xml) != 0) {
    err = "the answer could not be encoded";
    return false;
  }
  rows.push_back({Value::Text(xml)});
  return true;
}

// A number of a message that is to go into an INTEGER column.
bool Fits(long long v, const char* what, std::string& err) {
  if (v >= INT_MIN && v <= INT_MAX) return true;
  err = std::string(what) + " " + std::to_string(v) + " does not fit a 32-bit column";
  return false;
}

// The media-version columns in the order every statement here lists them, with the SPVersion
// field each one travels in: Release, Build, SPMajor, SPMinor, TransactionId, RevisionId.
constexpr KqFieldId kMediaFields[] = {SPVersion::kField6, SPVersion::kField7,
                                      SPVersion::kMajor,  SPVersion::kField2,
                                      SPVersion::kTransactionId, SPVersion::kRevisionId};
constexpr size_t kMediaColumns = sizeof kMediaFields / sizeof kMediaFields[0];

// The first `count` media-version values of an SPVersion message as arguments.
bool MediaArgs(const CNMessageBase& sp, size_t count, Args& out, std::string& err) {
  for (size_t k = 0; k < count; ++k) {
    long long v = sp.getint64(kMediaFields[k]);
    if (!Fits(v, "a version number", err)) return false;
    out.push_back(Value::Int(v));
  }
  return true;
}

// SPVersion fields from the row's media-version columns starting at `first`.
void SetMedia(CNMessageBase& sp, const Row& row, size_t first) {
  for (size_t k = 0; k < kMediaColumns; ++k) sp.setint64(kMediaFields[k], IntOf(row[first + k]));
}

void SetUpdatePack(CNMessageBase& up, const Value& number, const Value& transId,
                   const Value& name) {
  up.setint64(UpdatePatches::UpdatePack::kNumber, IntOf(number));
  up.setint64(UpdatePatches::UpdatePack::kField2, IntOf(transId));
  if (!TextOf(name).empty()) up.setstring(UpdatePatches::UpdatePack::kField5, TextOf(name));
}

// A FullVersion message from media-version columns at 0 and update-pack columns at 6, 7, 8.
UpdatePatches::FullVersion FullVersionOf(const Row& row) {
  UpdatePatches::FullVersion v;
  SetMedia(*v.getObjectAccessor(UpdatePatches::FullVersion::kSPVersion), row, 0);
  SetUpdatePack(*v.getObjectAccessor(UpdatePatches::FullVersion::kUpdatePack), row[6], row[7],
                row[8]);
  return v;
}

const char kVersionColumns[] =
    "Release, Build, SPMajor, SPMinor, TransactionId, RevisionId, CUNumber, CUTransactionId, "
    "CUFriendlyName";

// ---- bodies

int SimGetFullVersionAndOSInfo(Session& session, const Args&, Rows& rows, std::string& err) {
  Rows found;
  if (!Query(session,
             std::string("SELECT DISTINCT ") + kVersionColumns +
                 ", c.simOperatingSystemId FROM PatchClientVersion v JOIN APP_Client c "
                 "ON c.id = v.ClientId WHERE c.simOperatingSystemId > 0 "
                 "ORDER BY 1, 2, 3, 4, 5, 6, 7, 8, 9, 10",
             {}, found, err))
    return kDbFailed;
  UpdatePatches::InstalledVerOs answer;
  const Row* previous = nullptr;
  for (const Row& r : found) {
    if (previous == nullptr || !std::equal(r.begin(), r.begin() + 9, previous->begin())) {
      UpdatePatches::InstalledVersions entry;
      entry.setObjectAccessor(UpdatePatches::InstalledVersions::kVersion, FullVersionOf(r));
      answer.getlistobject(UpdatePatches::InstalledVerOs::kList)->push_back(entry);
    }
    UpdatePatches::OSInfo os;
    os.setint64(UpdatePatches::OSInfo::kField1, IntOf(r[9]));
    answer.getlistobject(UpdatePatches::InstalledVerOs::kList)
        ->back()
        .getlistobject(UpdatePatches::InstalledVersions::kList)
        ->push_back(os);
    previous = &r;
  }
  return Answer(answer, rows, err) ? kDbRow : kDbFailed;
}

int SimGetClientPackageFullVersion(Session& session, const Args& args, Rows& rows,
                                   std::string& err) {
  Rows found;
  if (!Query(session,
             std::string("SELECT ") + kVersionColumns +
                 " FROM PatchClientVersion WHERE ClientId = $1",
             {args[0]}, found, err))
    return kDbFailed;
  if (found.empty()) return kDbNoData;
  return Answer(FullVersionOf(found[0]), rows, err) ? kDbRow : kDbFailed;
}

int SimUpdateUPVersion(Session& session, const Args& args, Rows& rows, std::string& err) {
  UpdatePatches::AvailableCumulativeUpdatePacks packs;
  if (!Decode(packs, TextOf(args[0]), "AvailableCumulativeUpdatePacks", err)) return kDbFailed;
  long long recorded = 0;
  const CNMessageBase& all = packs;
  for (const CNMessageBase& entry :
       *all.getlistobject(UpdatePatches::AvailableCumulativeUpdatePacks::kPacks)) {
    const CNMessageBase* sp = entry.getObjectAccessor(UpdatePatches::AvailableCUs::kSPVersion);
    if (sp == nullptr) continue;
    Args media;
    if (!MediaArgs(*sp, 5, media, err)) return kDbFailed;
    for (const CNMessageBase& pack :
         *entry.getlistobject(UpdatePatches::AvailableCUs::kUpdatePacks)) {
      if (!pack.isSet(UpdatePatches::UpdatePack::kNumber)) continue;
      Args a = media;
      long long number = pack.getint64(UpdatePatches::UpdatePack::kNumber);
      long long transId = pack.getint64(UpdatePatches::UpdatePack::kField2);
      if (!Fits(number, "an update pack number", err) ||
          !Fits(transId, "an update pack transaction id", err))
        return kDbFailed;
      a.push_back(Value::Int(number));
      a.push_back(Value::Int(transId));
      a.push_back(Value::Text(pack.getstring(UpdatePatches::UpdatePack::kField5)));
      if (!Exec(session,
                "INSERT INTO PatchUPVersion (Release, Build, SPMajor, SPMinor, TransactionId, "
                "CUNumber, CUTransactionId, IsAvailableForDownload, IsShownInGUI, FriendlyName) "
                "VALUES ($1, $2, $3, $4, $5, $6, $7, 1, 1, $8) "
                "ON CONFLICT (Release, Build, SPMajor, SPMinor, TransactionId, CUNumber) "
                "DO UPDATE SET CUTransactionId = excluded.CUTransactionId, "
                "IsAvailableForDownload = 1, IsShownInGUI = 1, "
                "FriendlyName = excluded.FriendlyName",
                a, err))
        return kDbFailed;
      ++recorded;
    }
  }
  rows.push_back({Value::Int(recorded)});
  return kDbRow;
}

int SimGetAllCUs(Session& session, const Args& args, Rows& rows, std::string& err) {
  SPVersion sp;
  if (!Decode(sp, TextOf(args[0]), "SPVersion", err)) return kDbFailed;
  Args media;
  if (!MediaArgs(sp, 5, media, err)) return kDbFailed;
  Rows found;
  if (!Query(session,
             "SELECT DISTINCT u.CUNumber, u.CUTransactionId, COALESCE(u.FriendlyName, ''), d.OSId "
             "FROM PatchUPVersion u, PatchDVDInfo d "
             "WHERE u.Release = $1 AND u.Build = $2 AND u.SPMajor = $3 AND u.SPMinor = $4 "
             "AND u.TransactionId = $5 AND d.Release = u.Release AND d.Build = u.Build "
             "AND d.SPMajor = u.SPMajor AND d.SPMinor = u.SPMinor "
             "AND d.TransactionId = u.TransactionId ORDER BY 1, 4",
             media, found, err))
    return kDbFailed;
  UpdatePatches::CacheUpdateInfo answer;
  for (const Row& r : found) {
    UpdatePatches::MediaSet set;
    set.setObjectAccessor(UpdatePatches::MediaSet::kSPVersion, sp);
    set.getObjectAccessor(UpdatePatches::MediaSet::kOS)
        ->setint64(UpdatePatches::CacheMediaOS::kOSId, IntOf(r[3]));
    SetUpdatePack(*set.getObjectAccessor(UpdatePatches::MediaSet::kUpdatePack), r[0], r[1],
                  r[2]);
    answer.getlistobject(UpdatePatches::CacheUpdateInfo::kList)->push_back(set);
  }
  return Answer(answer, rows, err) ? kDbRow : kDbFailed;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

int PatchApplianceCommit(Session& session, const Args& args, Rows& rows, std::string& err) {
  using UpdatePatches::KQApplianceOSPatches;
  using UpdatePatches::KQApplianceOSSection;
  const std::string config = TextOf(args[0]);
  KQApplianceOSPatches patches;
  if (!Decode(patches, config, "KQApplianceOSPatches", err)) return kDbFailed;
  std::set<std::string> covered;  // sub-operating systems the configuration has patches for
  const CNMessageBase& root = patches;
  for (const CNMessageBase& section : *root.getlistobject(KQApplianceOSPatches::kOSSections))
    for (const CNMessageBase& sub : *section.getlistobject(KQApplianceOSSection::kSubOSSections))
      covered.insert(sub.getstring(UpdatePatches::KQApplianceSubOS::kName));
  std::set<std::string> versions;
  const std::string list = TextOf(args[1]);
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string v = Trim(list.substr(start, end - start));
    if (!v.empty() && covered.count(v) != 0) versions.insert(v);
    start = end + 1;
  }
  for (const std::string& v : versions) {
    if (!Exec(session,
              "INSERT INTO PatchApplianceVersion (OSNameVersion, ConfigXml) VALUES ($1, $2) "
              "ON CONFLICT (OSNameVersion) DO UPDATE SET ConfigXml = excluded.ConfigXml",
              {Value::Text(v), Value::Text(config)}, err))
      return kDbFailed;
  }
  rows.push_back({Value::Int(static_cast<long long>(versions.size()))});
  return kDbRow;
}

int PatchGetLatestDVDForSP(Session& session, const Args& args, Rows& rows, std::string& err) {
  Rows found;
  if (!Query(session,
             "SELECT Release, Build, SPMajor, SPMinor, TransactionID, RevisionID, 0, 0, '' "
             "FROM PatchSPVersion WHERE SPName = $1 "
             "ORDER BY COALESCE(TransactionID, 0) DESC, COALESCE(RevisionID, 0) DESC, id DESC "
             "LIMIT 1",
             {Value::Text(TextOf(args[0]))}, found, err))
    return kDbFailed;
  if (found.empty()) return kDbNoData;
  return Answer(FullVersionOf(found[0]), rows, err) ? kDbRow : kDbFailed;
}

// Widest text of an oUpdatesList row (the record's column holds 255 bytes and its end).
constexpr size_t kUpdatesListBytes = 255;

// Splits the names into texts of at most kUpdatesListBytes: "a, b, c", continued ", d, e".
// A name too long for a row of its own is cut (at a character boundary) over several.
std::vector<std::string> UpdatesListRows(const std::vector<std::string>& names) {
  std::vector<std::string> out(1);
  for (size_t k = 0; k < names.size(); ++k) {
    std::string piece = (k == 0 ? "" : ", ") + names[k];
    if (out.back().size() + piece.size() > kUpdatesListBytes && !out.back().empty())
      out.emplace_back();
    while (piece.size() > kUpdatesListBytes) {
      size_t cut = kUpdatesListBytes;
      while (cut > 0 && (static_cast<unsigned char>(piece[cut]) & 0xC0) == 0x80) --cut;
      if (cut == 0) cut = kUpdatesListBytes;  // not UTF-8: cut anywhere
      out.back() = piece.substr(0, cut);
      out.emplace_back();
      piece.erase(0, cut);
    }
    out.back() += piece;
  }
  if (out.back().empty()) out.pop_back();
  return out;
}

int SimGetUpdatesNeedsDownload(Session& session, const Args& args, Rows& rows,
                               std::string& err) {
  using UpdatePatches::HotfixListEntry;
  const std::string xml = TextOf(args[3]);
  if (xml.empty()) return kDbNoData;
  UpdatePatches::HotfixList hotfixes;
  if (!Decode(hotfixes, xml, "HotfixList", err)) return kDbFailed;
  const long long installedTransId = IntOf(args[2]);
  const bool checkVisibility = IntOf(args[5]) != 0;

  Rows found;
  if (!Query(session, "SELECT BinarySetID, NewUpdateOSID FROM PatchUpdateOS", {}, found, err))
    return kDbFailed;
  std::map<long long, long long> osOfBinarySet;
  for (const Row& r : found) osOfBinarySet[IntOf(r[0])] = IntOf(r[1]);
  if (!Query(session,
             "SELECT DISTINCT UpdateName FROM PatchUpdateInfo "
             "WHERE SPMajor = $1 AND SPMinor = $2 AND TransactionId = $3",
             {args[0], args[1], args[2]}, found, err))
    return kDbFailed;
  std::set<std::string> downloaded;
  for (const Row& r : found) downloaded.insert(TextOf(r[0]));

  std::map<long long, std::vector<std::string>> pending;  // update-OS id -> names
  std::set<std::pair<long long, std::string>> listed;
  const CNMessageBase& list = hotfixes;
  for (const CNMessageBase& e : *list.getlistobject(UpdatePatches::HotfixList::kEntries)) {
    const std::string name = e.getstring(HotfixListEntry::kField1);
    long long transId = e.isSet(HotfixListEntry::kField6) ? e.getint64(HotfixListEntry::kField6)
                                                          : 0;
    if (name.empty() || (transId != 0 && transId <= installedTransId)) continue;
    auto os = osOfBinarySet.find(e.getint64(HotfixListEntry::kField5));
    if (os == osOfBinarySet.end() || os->second < 1 || os->second > 34) continue;
    if (checkVisibility && e.isSet(HotfixListEntry::kField7) &&
        e.getint64(HotfixListEntry::kField7) != 0)
      continue;
    if (downloaded.count(name) != 0 || !listed.insert({os->second, name}).second) continue;
    pending[os->second].push_back(name);
  }
  for (const auto& os : pending)
    for (const std::string& text : UpdatesListRows(os.second))
      rows.push_back({Value::Int(os.first), Value::Text(text)});
  return rows.empty() ? kDbNoData : kDbRow;
}

int GetFtpServicePackInfo(Session& session, const Args& args, Rows& rows, std::string& err) {
  EVGui::GetFTPServicePackInfoReq request;
  if (!Decode(request, TextOf(args[0]), "GetFTPServicePackInfoReq", err)) return kDbFailed;
  const std::string release = request.getstring(EVGui::GetFTPServicePackInfoReq::kField1);
  if (release.empty()) {
    err = "the GetFTPServicePackInfoReq message names no release";
    return kDbFailed;
  }
  Rows found;
  if (!Query(session,
             "SELECT DISTINCT SPMajor, SPMinor, SPName FROM PatchSPVersion "
             "WHERE ReleaseStr = $1 AND SPName <> '' ORDER BY 1, 2, 3",
             {Value::Text(release)}, found, err))
    return kDbFailed;
  EVGui::GetFTPServicePackInfoResp answer;
  std::set<std::string> named;
  for (const Row& r : found) {
    if (!named.insert(TextOf(r[2])).second) continue;
    EVGui::SPCUInfo info;
    info.setstring(EVGui::SPCUInfo::kName, TextOf(r[2]));
    answer.getlistobject(EVGui::GetFTPServicePackInfoResp::kSPCUInfos)->push_back(info);
  }
  return Answer(answer, rows, err) ? kDbRow : kDbFailed;
}

// The number after `prefix` at the start of text, up to `end` (or the end of the text): plain
// decimal digits only. False for anything else.
bool LeadingNumber(const std::string& text, const char* prefix, char end, long long& out) {
  const std::string p = prefix;
  if (text.compare(0, p.size(), p) != 0) return false;
  std::string digits = text.substr(p.size(), text.find(end, p.size()) - p.size());
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::stoll(digits);
  return true;
}

int PatchUpdateDVDInfo(Session& session, const Args& args, Rows& rows, std::string& err) {
  using UpdatePatches::DVDInfoRelease;
  UpdatePatches::DVDInfo info;
  if (!Decode(info, TextOf(args[0]), "DVDInfo", err)) return kDbFailed;
  const bool privateAllowed = IntOf(args[2]) != 0;
  long long recorded = 0;
  const CNMessageBase& all = info;
  for (const CNMessageBase& e : *all.getlistobject(UpdatePatches::DVDInfo::kReleases)) {
    const std::string releaseText = e.getstring(DVDInfoRelease::kReleaseStr);
    const std::string buildText = e.getstring(DVDInfoRelease::kBuildIdString);
    const std::string spName = e.getstring(DVDInfoRelease::kSPName);
    const long long transId = e.getint64(DVDInfoRelease::kTransactionId);
    const long long revId = e.getint64(DVDInfoRelease::kRevisionId);
    long long release = 0, build = 0;
    if (spName.empty() || !LeadingNumber(releaseText, "", '.', release) ||
        !LeadingNumber(buildText, "BUILD", '\0', build) || transId == 0 || revId == 0)
      continue;
    if (e.isSet(DVDInfoRelease::kPrivateBuild) && e.getint64(DVDInfoRelease::kPrivateBuild) != 0 &&
        !privateAllowed)
      continue;
    if (!Fits(transId, "a transaction id", err) || !Fits(revId, "a revision id", err))
      return kDbFailed;
    _SPVersion sp;
    _SPVersion::ParseSPName(spName, &sp);
    const long long shown =
        e.isSet(DVDInfoRelease::kShowInGUI) ? (e.getint64(DVDInfoRelease::kShowInGUI) != 0) : 1;
    const Args key = {Value::Text(releaseText), Value::Text(buildText), Value::Text(spName),
                      Value::Int(transId), Value::Int(revId)};
    Rows found;
    if (!Query(session,
               "SELECT id FROM PatchSPVersion WHERE ReleaseStr = $1 AND BuildIdString = $2 "
               "AND SPName = $3 AND TransactionID = $4 AND RevisionID = $5 ORDER BY id LIMIT 1",
               key, found, err))
      return kDbFailed;
    Args a = {Value::Text(releaseText),
              Value::Text(buildText),
              Value::Text(e.getstring(DVDInfoRelease::kDVDName)),
              Value::Int(build),
              Value::Int(release + 5),
              Value::Int(sp.GetMajor()),
              Value::Int(sp.GetMinor()),
              Value::Int(transId),
              Value::Text(spName),
              Value::Text(e.getstring(DVDInfoRelease::kFriendlyName)),
              Value::Int(e.getint64(DVDInfoRelease::kTimestamp)),
              Value::Int(shown),
              Value::Int(revId)};
    std::string sql;
    if (found.empty()) {
      if (!Query(session, "SELECT COALESCE(MAX(id), 0) + 1 FROM PatchSPVersion", {}, found, err))
        return kDbFailed;
      a.push_back(Value::Int(found.empty() ? 1 : IntOf(found[0][0])));
      sql = "INSERT INTO PatchSPVersion (ReleaseStr, BuildIdString, DVDName, Build, Release, "
            "SPMajor, SPMinor, TransactionID, SPName, FriendlyName, Timestamp, bShowInGUI, "
            "RevisionID, id, bIsDVDPresent, nCacheFlags, nLTSFlag, nBootstrapperDelayDays, "
            "nGUIDownloadDelayDays) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, "
            "$13, $14, 0, 1, 0, 0, 0)";
    } else {
      a.push_back(IntOf(found[0][0]) != 0 ? Value::Int(IntOf(found[0][0])) : found[0][0]);
      sql = "UPDATE PatchSPVersion SET ReleaseStr = $1, BuildIdString = $2, DVDName = $3, "
            "Build = $4, Release = $5, SPMajor = $6, SPMinor = $7, TransactionID = $8, "
            "SPName = $9, FriendlyName = $10, Timestamp = $11, bShowInGUI = $12, "
            "nCacheFlags = 1, RevisionID = $13 WHERE id = $14";
    }
    if (!Exec(session, sql, a, err)) return kDbFailed;
    ++recorded;
  }
  rows.push_back({Value::Int(recorded)});
  return kDbRow;
}

// The built-in bodies by procedure name.
#define KQ_HUBNODE_HOST_BODIES(X)  \
  X(PatchUpdateDVDInfo)            \
  X(SimGetFullVersionAndOSInfo)    \
  X(SimGetClientPackageFullVersion) \
  X(SimUpdateUPVersion)            \
  X(SimGetAllCUs)                  \
  X(PatchApplianceCommit)          \
  X(PatchGetLatestDVDForSP)        \
  X(SimGetUpdatesNeedsDownload)    \
  X(GetFtpServicePackInfo)

struct NamedBody {
  const char* name;
  int (*body)(Session&, const Args&, Rows&, std::string&);
};

#define KQ_HUBNODE_HOST_ENTRY(Name) {#Name, &Name},
constexpr NamedBody kBodies[] = {KQ_HUBNODE_HOST_BODIES(KQ_HUBNODE_HOST_ENTRY)};
#undef KQ_HUBNODE_HOST_ENTRY

bool SameName(const char* a, const std::string& b) {
  size_t k = 0;
  for (; a[k] != '\0' && k < b.size(); ++k)
    if (std::tolower(static_cast<unsigned char>(a[k])) !=
        std::tolower(static_cast<unsigned char>(b[k])))
      return false;
  return a[k] == '\0' && k == b.size();
}

}  // namespace

HostBody BuiltInHostBody(const std::string& name) {
  for (const NamedBody& b : kBodies)
    if (SameName(b.name, name)) return b.body;
  return HostBody();
}

}  // namespace db
}  // namespace kq
