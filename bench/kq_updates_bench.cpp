// The client inventory of KQUpdates on a generated Tessara of 10,000 clients (log level 0):
// the Hubnode's version, GatherClientInfo and both list operations, against a plain loop of
// prepared SQLite statements running the same queries (the client list once, then per client
// its OS, packages, binary set, update-OS row and build; the Hubnode's licence row) and the
// same decisions, in the same run.
//
//   BM_PlainInventory     the baseline
//   BM_KQUpdatesInventory the library (the object is made and destroyed outside the timing)
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "Database/DbSession.h"
#include "KQUpdates.h"
#include "TessaraGenerator.h"

namespace {

const int kClients = 10000;

struct PlainClient {
  int id, release, sp, baseline, platType, linked, osType, flavour;
  long long installTime;
  std::string build;
};

// The per-client statements, prepared once.
class PlainInventory {
 public:
  explicit PlainInventory(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) std::abort();
    all_ = Prepare(
        "SELECT c.id, COALESCE(v.HighestSP, 0), COALESCE(v.MissingPatches, 'None'), "
        "COALESCE(v.baseline, 0), COALESCE(c.releaseId, 0), COALESCE(p.attrVal, ''), "
        "COALESCE(v.v11InstallTime, 0), COALESCE(v.osType, c.simOperatingSystemId, 0), "
        "COALESCE(v.platType, 0), COALESCE(v.linkedFailoverClient, 0) FROM APP_Client c "
        "LEFT JOIN PatchClientInfo v ON v.ClientId = c.id LEFT JOIN APP_ClientProp p ON "
        "p.componentNameId = c.id AND p.attrName = 'Vorlan Build' ORDER BY c.id");
    os_ = Prepare(
        "SELECT C.net_hostname, C.name, C.kqdPort, C.evmgrcPort, C.simOperatingSystemId, "
        "C.simOperatingSystemId FROM APP_Client C WHERE C.id = ?1");
    apps_ = Prepare(
        "SELECT SIP.simPackageID, AP.releaseId, '0(' || APP.attrVal || ')' FROM "
        "simInstalledPackages SIP, APP_Client AP, APP_ClientProp APP WHERE SIP.ClientId = ?1 AND "
        "AP.id = ?1 AND APP.componentNameId = ?1 AND APP.attrName = 'Vorlan Build' ORDER BY "
        "SIP.simPackageID");
    bs_ = Prepare(
        "SELECT attrVal FROM APP_ClientProp WHERE componentNameId = ?1 AND attrName = "
        "'BinarySetID'");
    updateOs_ = Prepare(
        "SELECT BinarySetID, UpdateOSID, NewUpdateOSID FROM PatchUpdateOS WHERE BinarySetId = ?1");
    lic_ = Prepare(
        "SELECT id, Name, CId, LicType, AppType, OpType, OpTimeUTC, TokensUsed, Eval, "
        "ExpiryDateUTC, ReleaseId, EncryptedField, SimOSID, Build, InstallFlag, UserID, "
        "UsedCapacity FROM LicUsage WHERE CId = ?1 AND id = ( SELECT MAX(id) FROM licusage where "
        "CId = ?1 ) ORDER BY id DESC");
    build_ = Prepare(
        "SELECT c.id, c.releaseId, COALESCE(p.attrVal, '') FROM APP_Client c LEFT JOIN "
        "APP_ClientProp p ON p.componentNameId = c.id AND p.attrName = 'Vorlan Build' WHERE "
        "c.id = ?1 UNION ALL SELECT c.id, c.releaseId, COALESCE(p.attrVal, '') FROM APP_Client c "
        "LEFT JOIN APP_ClientProp p ON p.componentNameId = c.id AND p.attrName = 'Vorlan Build' "
        "WHERE CAST(?1 AS INTEGER) = 0 ORDER BY 1");
  }
  ~PlainInventory() {
    for (sqlite3_stmt* s : {all_, os_, apps_, bs_, updateOs_, lic_, build_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  size_t Run() {
    std::vector<PlainClient> clients;
    std::map<int, int> best;
    int hubRelease = 0;
    long long hubInstalled = 0;
    while (sqlite3_step(all_) == SQLITE_ROW) {
      PlainClient c{};
      c.id = sqlite3_column_int(all_, 0);
      c.sp = sqlite3_column_int(all_, 1);
      const char* missing = reinterpret_cast<const char*>(sqlite3_column_text(all_, 2));
      if (c.sp > 0 && std::strstr(missing, "None") == nullptr) --c.sp;
      c.baseline = sqlite3_column_int(all_, 3);
      c.release = sqlite3_column_int(all_, 4);
      c.build = reinterpret_cast<const char*>(sqlite3_column_text(all_, 5));
      c.installTime = sqlite3_column_int(all_, 6);
      c.osType = sqlite3_column_int(all_, 7);
      c.platType = sqlite3_column_int(all_, 8);
      c.linked = sqlite3_column_int(all_, 9);
      best[c.release] = std::max(best[c.release], c.sp);
      if (c.id == 2) hubRelease = c.release;
      clients.push_back(c);
    }
    sqlite3_reset(all_);
    const BuildRow hub = Build(2);
    std::map<int, std::pair<std::string, bool>> subDirs;
    for (PlainClient& c : clients) {
      Bind(os_, c.id);
      const int os = sqlite3_step(os_) == SQLITE_ROW ? sqlite3_column_int(os_, 4) : -1;
      sqlite3_reset(os_);
      if (os > 0) {
        Bind(apps_, c.id);
        bool has1000 = false, has1002 = false, any = false;
        while (sqlite3_step(apps_) == SQLITE_ROW) {
          any = true;
          has1000 |= sqlite3_column_int(apps_, 0) == 1000;
          has1002 |= sqlite3_column_int(apps_, 0) == 1002;
        }
        sqlite3_reset(apps_);
        c.platType = !any ? -1 : has1000 ? 1 : has1002 ? 2 : 4;
        if (c.id == 2) {
          Bind(lic_, 2);
          if (sqlite3_step(lic_) == SQLITE_ROW) {
            struct tm t = {};
            strptime(reinterpret_cast<const char*>(sqlite3_column_text(lic_, 6)), "%Y-%m-%d %H:%M:%S", &t);
            hubInstalled = c.installTime = timegm(&t);
          }
          sqlite3_reset(lic_);
        } else {
          c.installTime = 0;
        }
        Bind(bs_, c.id);
        const int bs = sqlite3_step(bs_) == SQLITE_ROW ? atoi(reinterpret_cast<const char*>(sqlite3_column_text(bs_, 0))) : 0;
        sqlite3_reset(bs_);
        Bind(updateOs_, bs);
        const int updateOs = sqlite3_step(updateOs_) == SQLITE_ROW ? sqlite3_column_int(updateOs_, 1) : 0;
        sqlite3_reset(updateOs_);
        c.osType = updateOs;
      }
      if (hub.release > 13) {
        const BuildRow b = Build(c.id);
        if (!b.build.empty()) {
          auto it = subDirs.find(b.release);
          if (it == subDirs.end()) {
            if (b.release != hub.release || c.id == 2) subDirs[b.release] = {b.build, false};
          } else if (b.release != hub.release && it->second.first != b.build) {
            it->second.second = true;
          }
        }
      }
    }
    std::vector<int> update, upgrade;
    const time_t now = time(nullptr);
    for (const PlainClient& c : clients) {
      const int id = c.linked > 0 ? c.linked : c.id;
      if (c.release < 12 ? c.sp < best[c.release] : c.baseline == 2) update.push_back(id);
      if (c.id != 2 && c.release != hubRelease &&
          now - hubInstalled >= (c.platType == 2 ? 60 : 120) * 86400LL)
        upgrade.push_back(id);
    }
    update.erase(std::unique(update.begin(), update.end()), update.end());
    upgrade.erase(std::unique(upgrade.begin(), upgrade.end()), upgrade.end());
    return update.size() + upgrade.size() + subDirs.size();
  }

 private:
  struct BuildRow {
    int release = 0;
    std::string build;
  };
  BuildRow Build(int id) {
    BuildRow b;
    Bind(build_, id);
    if (sqlite3_step(build_) == SQLITE_ROW) {
      b.release = sqlite3_column_int(build_, 1);
      b.build = reinterpret_cast<const char*>(sqlite3_column_text(build_, 2));
    }
    sqlite3_reset(build_);
    return b;
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) std::abort();
    return s;
  }
  static void Bind(sqlite3_stmt* s, int v) { sqlite3_bind_int(s, 1, v); }

  sqlite3* db_ = nullptr;
  sqlite3_stmt *all_, *os_, *apps_, *bs_, *updateOs_, *lic_, *build_;
};

// A Tessara of kClients clients in a database file named by a private configuration store.
class Fixture {
 public:
  Fixture() {
    char tmpl[] = "/tmp/kqbench.XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::ofstream(dir_ + "/config.ini") << "[Database]\nsPath=" << dir_
                                        << "/hubnode.db\n[Logging]\nnDebugLevel=0\ndLogFolder="
                                        << dir_ << "/logs\n";
    setenv("KQ_CONFIG", (dir_ + "/config.ini").c_str(), 1);
    kqtest::TessaraOptions options;
    options.clientCount = kClients;
    kqtest::WriteTessara(kqtest::MakeTessara(options), dir_);
    plain_ = new PlainInventory(dir_ + "/hubnode.db");
  }
  ~Fixture() {
    delete plain_;
    kq::db::CloseThreadSessions();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  PlainInventory& plain() { return *plain_; }

 private:
  std::string dir_;
  PlainInventory* plain_ = nullptr;
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

void BM_PlainInventory(benchmark::State& state) {
  Fixture& f = TheFixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.plain().Run());
}

void BM_KQUpdatesInventory(benchmark::State& state) {
  TheFixture();
  for (auto _ : state) {
    state.PauseTiming();
    KQUpdates* u = new KQUpdates();
    state.ResumeTiming();
    u->setHNVersion();
    u->GatherClientInfo();
    u->GetClientListNeedingUpdate();
    u->GetClientListNeedingUpgrade();
    benchmark::DoNotOptimize(u->m_updateClientIds.size() + u->m_upgradeClientIds.size() +
                             u->m_siteSubDirs.size());
    state.PauseTiming();
    delete u;
    state.ResumeTiming();
  }
}

}  // namespace

BENCHMARK(BM_PlainInventory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_KQUpdatesInventory)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("client inventory of 10,000 clients against plain SQLite (goal >= 0.5)",
                      "BM_PlainInventory", "BM_KQUpdatesInventory");
  benchmark::Shutdown();
  return 0;
}
