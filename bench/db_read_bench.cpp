// Reading 100,000 rows through a table record against a plain loop over a prepared SQLite
// statement of the same query, in the same run.
//
//   BM_PlainSqliteLoop   the baseline: sqlite3_step and column reads into a plain struct
//   BM_TableRecord       the same rows through SimPackage with getNextRow
//   BM_RecordVsPlain     both in one iteration; counter record_over_plain = record time /
//                        plain time (below 2 means the record is at least half as fast)
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "Database/DbSession.h"
#include "Db/Tbl/simPackage.h"

namespace {

const int kRows = 100000;
const char kQuery[] =
    "SELECT id, Name, DisplayName, Rank, Hierarchy, DescriptionID, InstallableFromGUI, SortID, "
    "flag FROM simPackage ORDER BY id";

struct PlainRow {
  int id;
  char name[257];
  char displayName[257];
  int rank;
  char hierarchy[257];
  long long descriptionId;
  int installable;
  int sortId;
  int flag;
};

void CopyText(char* to, size_t size, const unsigned char* from) {
  if (from == nullptr) {
    to[0] = '\0';
    return;
  }
  size_t n = strnlen(reinterpret_cast<const char*>(from), size - 1);
  memcpy(to, from, n);
  to[n] = '\0';
}

// A database file with kRows package rows, named by a private configuration store.
class Fixture {
 public:
  Fixture() {
    char tmpl[] = "/tmp/kqbench.XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/hubnode.db";
    std::ofstream(dir_ + "/config.ini") << "[Database]\nsPath=" << path_
                                        << "\n[Logging]\nnDebugLevel=0\ndLogFolder=" << dir_
                                        << "\n";
    setenv("KQ_CONFIG", (dir_ + "/config.ini").c_str(), 1);
    std::string err;
    std::shared_ptr<kq::db::Session> s = kq::db::ThreadSession(err);
    if (!s || !s->begin(true, err)) std::abort();
    for (int i = 0; i < kRows; ++i) {
      kq::db::ExecuteSql(*s,
                         "INSERT INTO simPackage VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                         {kq::db::Value::Int(i), kq::db::Value::Text("Package " + std::to_string(i)),
                          kq::db::Value::Text("Display name of package " + std::to_string(i)),
                          kq::db::Value::Int(i % 7), kq::db::Value::Text("Root/Group/Leaf"),
                          kq::db::Value::Int(10000000000LL + i), kq::db::Value::Int(1),
                          kq::db::Value::Int(i), kq::db::Value::Int(0)},
                         nullptr, err);
    }
    if (!s->commit(err)) std::abort();
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, kQuery, -1, &stmt_, nullptr) != SQLITE_OK)
      std::abort();
  }
  ~Fixture() {
    sqlite3_finalize(stmt_);
    sqlite3_close(db_);
    kq::db::CloseThreadSessions();
    unlink(path_.c_str());
    unlink((path_ + "-wal").c_str());
    unlink((path_ + "-shm").c_str());
    unlink((dir_ + "/config.ini").c_str());
    unlink((dir_ + "/KqPatches.log").c_str());
    rmdir(dir_.c_str());
  }

  long long PlainLoop() {
    PlainRow row;
    long long sum = 0;
    while (sqlite3_step(stmt_) == SQLITE_ROW) {
      row.id = sqlite3_column_int(stmt_, 0);
      CopyText(row.name, sizeof(row.name), sqlite3_column_text(stmt_, 1));
      CopyText(row.displayName, sizeof(row.displayName), sqlite3_column_text(stmt_, 2));
      row.rank = sqlite3_column_int(stmt_, 3);
      CopyText(row.hierarchy, sizeof(row.hierarchy), sqlite3_column_text(stmt_, 4));
      row.descriptionId = sqlite3_column_int64(stmt_, 5);
      row.installable = sqlite3_column_int(stmt_, 6);
      row.sortId = sqlite3_column_int(stmt_, 7);
      row.flag = sqlite3_column_int(stmt_, 8);
      sum += row.id + row.name[0] + row.displayName[1] + row.hierarchy[2];
    }
    sqlite3_reset(stmt_);
    return sum;
  }

  static long long RecordLoop() {
    SimPackage rec;
    rec.setOrderBy("id");
    int count = 0;
    long long sum = 0;
    while (getNextRow(&rec, &count, -1, 0) == 0) {
      const SimPackage_t* row = rec.getDataPtr();
      sum += row->id + row->Name[0] + row->DisplayName[1] + row->Hierarchy[2];
    }
    if (count != kRows) std::abort();
    return sum;
  }

 private:
  std::string dir_;
  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

void BM_PlainSqliteLoop(benchmark::State& state) {
  Fixture& f = TheFixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.PlainLoop());
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_TableRecord(benchmark::State& state) {
  TheFixture();
  for (auto _ : state) benchmark::DoNotOptimize(Fixture::RecordLoop());
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_RecordVsPlain(benchmark::State& state) {
  Fixture& f = TheFixture();
  double plain = 0, record = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(f.PlainLoop());
    auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(Fixture::RecordLoop());
    auto t2 = std::chrono::steady_clock::now();
    plain += std::chrono::duration<double>(t1 - t0).count();
    record += std::chrono::duration<double>(t2 - t1).count();
  }
  state.counters["record_over_plain"] = plain > 0 ? record / plain : 0;
}

}  // namespace

BENCHMARK(BM_PlainSqliteLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordVsPlain)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
