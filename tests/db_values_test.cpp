// Column value types, the row-schema base and the lock classes beneath them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "Database/FXLockableResource.h"
#include "Database/KQDBDataType.h"
#include "Database/KQDBRowBase.h"
#include "KqTestEnv.h"

namespace {

// The bare base with its pure operations filled in.
class BareRow : public KQDBRowBase {
 public:
  int getSerialColNum() override { return -1; }
  std::string getTableName() override { return ""; }
  std::string getPrimaryWhere() override { return ""; }
  std::list<KQDBDataTypeBase*> getPrimaryData() override { return {}; }
  void setTableName(std::string) override {}
  const char* getColumnName_t2(int&) const override { return nullptr; }
  void pushColumnName(const char*) override {}
  void add(const char* name, KQDBDataTypeBase* v) { addColumn(name, v); }
};

// A critical section whose mutex refuses, counting unlocks.
class RefusingSection : public FXCriticalSection {
 public:
  int unlocks = 0;

 protected:
  void lockMutex() override {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  void unlockMutex() override { ++unlocks; }
};

}  // namespace

TEST(DbValues, ConstructionStates) {
  KQDBPrimitiveType<int> none;
  EXPECT_TRUE(none.isNull());
  EXPECT_EQ(none.getUpdated(), 0);
  KQDBPrimitiveType<int> seven(7);
  EXPECT_FALSE(seven.isNull());
  EXPECT_EQ(seven.getUpdated(), 1);
  EXPECT_EQ(seven.getDataType(), 1);
  EXPECT_EQ(KQDBPrimitiveType<float>().getDataType(), 2);
  EXPECT_EQ(KQDBPrimitiveType<long long>(1LL << 40).getDataType(), 4);
  EXPECT_EQ(KQDB_datetime().getDataType(), 5);
  EXPECT_EQ(KQDB_string("x").getDataType(), 6);
  EXPECT_TRUE(KQDB_string(static_cast<const char*>(nullptr)).isNull());
  EXPECT_FALSE(KQDB_string(std::string()).isNull());
  EXPECT_EQ(KQDB_datetime().getValue().year, 0);
}

TEST(DbValues, NullStateAndTexts) {
  KQDB_string s("text");
  s.setInternalNull(true);
  EXPECT_TRUE(s.isNull());
  EXPECT_EQ(s.getValue(), "");
  s.setInternalNull(true);
  EXPECT_TRUE(s.isNull());
  s.setUpdated(KQDB_NOT_UPDATED);
  EXPECT_EQ(s.getUpdated(), 0);

  KQDBPrimitiveType<long long> big(-5000000000LL);
  big.setString();
  EXPECT_EQ(big.getStr(), "-5000000000");
  KQDBPrimitiveType<float> f(1.5f);
  EXPECT_EQ(f.toString(0), "1.500000");
  EXPECT_STREQ(KQDBPrimitiveType<int>::getFormatString(), "%d");
  KQTIMESTAMP_STRUCT ts;
  ts.year = 2024;
  ts.month = 2;
  ts.day = 29;
  ts.hour = 23;
  EXPECT_EQ(KQDB_datetime(ts).toString(0), "2024-02-29 23:00:00");
}

TEST(DbValues, PrimitiveSetDataStaysInsideItsValue) {
  KQDBPrimitiveType<int> v(0);
  int src = 0x11223344;
  EXPECT_TRUE(v.setData(&src, 0, sizeof(int), false));
  EXPECT_EQ(v.getValue(), 0x11223344);
  unsigned char byte = 0xAB;
  EXPECT_TRUE(v.setData(&byte, 3, 1, false));
  EXPECT_EQ(static_cast<unsigned>(v.getValue()) >> 24, 0xABu);
  long long wide = -1;
  EXPECT_FALSE(v.setData(&wide, 0, sizeof(wide), false));  // would run past the int
  EXPECT_FALSE(v.setData(&byte, 4, 1, false));
  EXPECT_FALSE(v.setData(&byte, 1000, 1, false));
  EXPECT_EQ(static_cast<unsigned>(v.getValue()) >> 24, 0xABu);

  KQDB_datetime dt;
  KQTIMESTAMP_STRUCT ts;
  EXPECT_TRUE(dt.setData(&ts, 0, sizeof(ts), false));
  EXPECT_FALSE(dt.setData(&ts, 1, sizeof(ts), false));
  KQDB_string s("abc");
  EXPECT_TRUE(s.setData("XY", 1, 2, false));
  EXPECT_EQ(s.getValue(), "aXY");
  EXPECT_FALSE(s.setData("Z", 10, 1, false));
}

TEST(DbValues, RowBaseDefaultsAndOwnership) {
  BareRow row;
  EXPECT_EQ(row.getHeaderType(), -1);
  EXPECT_EQ(row.getStructDef(), "");
  EXPECT_FALSE(row.searchForeignKey("x"));
  row.add("a", new KQDBPrimitiveType<int>(1));
  row.add("b", new KQDB_string("x"));
  EXPECT_EQ(row.getData().size(), 2u);
  EXPECT_EQ(row.column("b"), row.columns()[1]);
  int index = 0;
  EXPECT_EQ(row.getColumnName(index), "");
  EXPECT_EQ(KQDBRowBase::fillForTime("i|x|s12|x|"), "i|b|s12|b|");
  EXPECT_EQ(KQDBRowBase::fillForTime("i|s|"), "i|s|");
}  // the values are deleted once with the row (the sanitizer build checks)

TEST(DbLocks, CriticalSectionIsReentrantForItsOwner) {
  FXCriticalSection cs;
  ASSERT_TRUE(cs.Lock());
  EXPECT_NE(cs.GetLockOwner(), 0u);
  ASSERT_TRUE(cs.Lock());
  std::atomic<bool> other{false};
  std::thread t([&] { other = cs.TryLock(CTimeInterval::FromMilliseconds(20)); });
  t.join();
  EXPECT_FALSE(other);
  cs.Unlock();
  cs.Unlock();
  std::thread t2([&] {
    other = cs.TryLock();
    if (other) cs.Unlock();
  });
  t2.join();
  EXPECT_TRUE(other);
}

TEST(DbLocks, AFailedLockIsLoggedAndNeverUnlocked) {
  kqtest::ScopedConfig config;
  RefusingSection cs;
  {
    FXCriticalSectionGuard guard(cs);
    EXPECT_FALSE(guard.locked());
  }
  EXPECT_EQ(cs.unlocks, 0);
  EXPECT_EQ(cs.GetLockOwner(), 0u);
  EXPECT_NE(kqtest::ReadFile(config.logFile()).find("Failed to lock the critical section"),
            std::string::npos);
  FXCriticalSection good;
  {
    FXCriticalSectionGuard guard(good);
    EXPECT_TRUE(guard.locked());
  }
  EXPECT_TRUE(good.TryLock());
  good.Unlock();
}

TEST(DbLocks, SemaphoresCountUnits) {
  KqSemaphore sem(2);
  EXPECT_TRUE(sem.wait());
  EXPECT_TRUE(sem.wait());
  EXPECT_TRUE(sem.release(2));
  EXPECT_TRUE(sem.wait());
  EXPECT_TRUE(sem.wait());

  KQSimpleDBSem simple(0);
  std::atomic<int> passed{0};
  std::thread a([&] {
    simple.wait();
    ++passed;
  });
  std::thread b([&] {
    simple.wait();
    ++passed;
  });
  simple.release(5);  // releases exactly one unit
  while (passed.load() == 0) std::this_thread::yield();
  EXPECT_EQ(passed, 1);  // the other waiter needs a unit of its own
  simple.release(1);
  a.join();
  b.join();
  EXPECT_EQ(passed, 2);
}
