// Reading 100,000 rows of a table on PostgreSQL: through the table record SimPackage (the
// database layer, getNextRow) against a plain libpq loop over the same query that copies each
// row into the same row struct. Both run in this process against the same server and data; the
// last line gives the record's speed as a share of the plain loop's (plain time / record time).
//
// Needs a server: KQ_PG_CONNINFO (a libpq key=value string, as scripts/pg.sh prints it); without
// it the benchmark says so and does nothing.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "BenchRatio.h"
#include "Database/DbSession.h"
#include "Db/Tbl/simPackage.h"

namespace {

const int kRows = 100000;

std::string g_connInfo;
std::string g_schema;
std::string g_query;

void Quiet(void*, const char*) {}

bool Run(PGconn* conn, const std::string& sql) {
  PQsetNoticeProcessor(conn, Quiet, nullptr);
  PGresult* res = PQexec(conn, sql.c_str());
  bool ok = PQresultStatus(res) == PGRES_COMMAND_OK || PQresultStatus(res) == PGRES_TUPLES_OK;
  if (!ok) fprintf(stderr, "%s: %s", sql.c_str(), PQresultErrorMessage(res));
  PQclear(res);
  return ok;
}

void BM_TableRecord(benchmark::State& state) {
  for (auto _ : state) {
    SimPackage rec(nullptr);
    rec.setOrderBy("id");
    int count = 0;
    long long sum = 0;
    int rc;
    while ((rc = getNextRow(&rec, &count, -1, 0)) == 0) sum += rec.getDataPtr()->Rank;
    if (rc != 100 || count != kRows) {
      state.SkipWithError(DBtable::getErrorStr(rc));
      return;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

int ToInt(const char* t) { return static_cast<int>(strtol(t, nullptr, 10)); }

void CopyText(char* to, size_t size, PGresult* res, int row, int col) {
  size_t len = static_cast<size_t>(PQgetlength(res, row, col));
  if (len > size - 1) len = size - 1;
  memcpy(to, PQgetvalue(res, row, col), len);
  to[len] = '\0';
}

void BM_PlainLibpq(benchmark::State& state) {
  PGconn* conn = PQconnectdb(g_connInfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK ||
      PQresultStatus(PQprepare(conn, "q", g_query.c_str(), 0, nullptr)) != PGRES_COMMAND_OK) {
    state.SkipWithError(PQerrorMessage(conn));
    PQfinish(conn);
    return;
  }
  SimPackage_t row;
  for (auto _ : state) {
    PGresult* res = PQexecPrepared(conn, "q", 0, nullptr, nullptr, nullptr, 0);
    int n = PQntuples(res);
    long long sum = 0;
    for (int r = 0; r < n; ++r) {
      row.id = ToInt(PQgetvalue(res, r, 0));
      CopyText(row.Name, sizeof row.Name, res, r, 1);
      CopyText(row.DisplayName, sizeof row.DisplayName, res, r, 2);
      row.Rank = ToInt(PQgetvalue(res, r, 3));
      CopyText(row.Hierarchy, sizeof row.Hierarchy, res, r, 4);
      row.DescriptionID = strtoll(PQgetvalue(res, r, 5), nullptr, 10);
      row.InstallableFromGUI = ToInt(PQgetvalue(res, r, 6));
      row.SortID = ToInt(PQgetvalue(res, r, 7));
      row.flag = ToInt(PQgetvalue(res, r, 8));
      sum += row.Rank;
    }
    PQclear(res);
    if (n != kRows) {
      state.SkipWithError("wrong row count");
      break;
    }
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(row);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  PQfinish(conn);
}

BENCHMARK(BM_PlainLibpq)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_TableRecord)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// A private configuration store naming the server, with its own schema as the search path.
bool SetUp() {
  char dir[] = "/tmp/kqbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  g_schema = "kqbench_" + std::to_string(getpid());
  std::string config = std::string(dir) + "/config.ini";
  std::ofstream(config) << "[Logging]\ndLogFolder=" << dir
                        << "\n[Database]\nsConnectionString=" << g_connInfo
                        << " options='-c search_path=" << g_schema << "'\n";
  setenv("KQ_CONFIG", config.c_str(), 1);
  g_connInfo += " options='-c search_path=" + g_schema + "'";

  PGconn* conn = PQconnectdb(g_connInfo.c_str());
  bool ok = PQstatus(conn) == CONNECTION_OK && Run(conn, "CREATE SCHEMA " + g_schema);
  if (ok) {
    // The layer gives the schema its tables; the rows go in through the server directly.
    SimPackage rec(nullptr);
    ok = getOneRow(&rec, false, -1, 0) == 100;
    if (!ok) fprintf(stderr, "record: %s\n", DBtable::getErrorStr(1000));
    g_query = rec.buildSelect();
  }
  ok = ok &&
       Run(conn,
           "INSERT INTO simPackage (id, Name, DisplayName, Rank, Hierarchy, DescriptionID, "
           "InstallableFromGUI, SortID, flag) SELECT g, 'Package ' || g, 'The package "
           "number ' || g, g % 100, 'Root/Group' || (g % 7), 1000000000000 + g, g % 2, g, 0 "
           "FROM generate_series(1, " +
               std::to_string(kRows) + ") g") &&
       Run(conn, "ANALYZE simPackage");
  PQfinish(conn);
  return ok;
}

void TearDown() {
  kq::db::CloseThreadSessions();
  std::string base = getenv("KQ_PG_CONNINFO");
  PGconn* conn = PQconnectdb(base.c_str());
  if (PQstatus(conn) == CONNECTION_OK) Run(conn, "DROP SCHEMA IF EXISTS " + g_schema + " CASCADE");
  PQfinish(conn);
}

}  // namespace

int main(int argc, char** argv) {
  const char* conninfo = getenv("KQ_PG_CONNINFO");
  if (conninfo == nullptr || *conninfo == '\0') {
    printf("db_pg_read_bench: skipped, KQ_PG_CONNINFO is unset\n");
    return 0;
  }
  g_connInfo = conninfo;
  benchmark::Initialize(&argc, argv);
  if (!SetUp()) {
    TearDown();
    return 1;
  }
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  TearDown();
  reporter.PrintRatio("table record speed / plain libpq loop speed (goal: at least 0.5)",
                      "BM_PlainLibpq", "BM_TableRecord");
  return 0;
}
