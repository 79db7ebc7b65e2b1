// The flat inventory message: a release-14 round trip of a generated cache, running out of
// memory at every allocation, and hostile messages read and freed within bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "KqDbTestEnv.h"
#include "UpdateCacheMessage.h"
#include "UpdateCacheTestEnv.h"

// Array nothrow new that fails its n-th call once armed (0: never).
namespace {
int g_failAt = 0;
int g_calls = 0;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_failAt != 0 && ++g_calls == g_failAt) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

namespace {

class Message : public kqtest::UpdateCacheTest {
 protected:
  // A zero-filled message, as callers hand it over.
  static KQSP_UpdatesAtCache Zeroed() {
    KQSP_UpdatesAtCache msg;
    std::memset(&msg, 0, sizeof msg);
    return msg;
  }
  static bool IsZero(const KQSP_UpdatesAtCache& msg) {
    const KQSP_UpdatesAtCache zero = Zeroed();
    return std::memcmp(&msg, &zero, sizeof msg) == 0;
  }
};

TEST_F(Message, Release14RoundTripOfAGeneratedCache) {
  kqtest::UpdateCacheOptions options;
  options.updates = 1200;
  const kqtest::UpdateCacheModel model = Generate(options);
  KQUpdateCache cache(0, true);
  UpdatesAtCache inv;
  ASSERT_TRUE(cache.GetAllUpadtesFromCache(Prop(), &inv, false));
  ASSERT_TRUE(cache.GetAllUpdatesInCacheNew(Prop(), &inv));
  ASSERT_TRUE(cache.GetINIInfo(&inv, dir_.path()));
  inv.releases[2].needOsForVersion = {1, 9, 3};
  inv.releases[2].osUpdates[2].valid = false;

  KQSP_UpdatesAtCache msg = Zeroed();
  ASSERT_TRUE(cache.CacheStruct_Message(&inv, &msg));
  // Release 15 (row 1) does not travel; release 16 (row 0) neither.
  EXPECT_EQ(msg.releases[1].relId, 0);
  EXPECT_EQ(msg.releases[1].osInfo[1].numSPUpdates, 0);
  EXPECT_EQ(msg.releases[2].relId, 14);
  // Netware holds no feature release: no version text, and no empty arrays.
  EXPECT_EQ(msg.releases[2].osInfo[4].spVersion, nullptr);
  EXPECT_EQ(msg.releases[2].osInfo[4].numSPUpdates, 0);
  EXPECT_EQ(msg.releases[2].osInfo[4].spUpdates, nullptr);
  EXPECT_EQ(msg.releases[2].osInfo[5].numAdditionalUpdates, 0);
  EXPECT_EQ(msg.releases[2].osInfo[5].additionalUpdates, nullptr);

  UpdatesAtCache back;
  ASSERT_TRUE(cache.Message_CacheStruct(&msg, &back));
  kqtest::ExpectReleaseEqualsModel(back, model, 2, false);
  EXPECT_EQ(back.releases[2].needOsForVersion, (std::vector<int>{1, 9, 3}));
  EXPECT_FALSE(back.releases[2].osUpdates[2].valid);
  EXPECT_TRUE(back.releases[2].osUpdates[4].valid);  // no version: valid stays as reset
  EXPECT_EQ(back.releases[2].osUpdates[4].spVersion.GetMajor(), -1);
  const auto& before = inv.releases[2].osUpdates[9].iniInfos;
  const auto& after = back.releases[2].osUpdates[9].iniInfos;
  ASSERT_EQ(before.size(), after.size());
  for (auto a = before.begin(), b = after.begin(); a != before.end(); ++a, ++b) {
    INIInfoForPatch expected = *a;
    expected.hasJar = 0;  // does not travel
    expected.transactionId.clear();
    kqtest::ExpectSameInfo(*b, expected, "round trip");
  }

  ASSERT_TRUE(cache.FreeCacheMessage(&msg));
  EXPECT_TRUE(IsZero(msg));
  ASSERT_TRUE(cache.FreeCacheMessage(&msg));
  EXPECT_TRUE(IsZero(msg));
}

// Every allocation in turn fails: the conversion says so, never throws, and the free releases
// what was made (the sanitizer build checks for leaks).
TEST_F(Message, EachFailedAllocationGivesFalseAndFreesCleanly) {
  KQUpdateCache cache(0, true);
  UpdatesAtCache inv;
  cache.InitCacheInfo(&inv);
  UpdatesForRelease& rel = inv.releases[2];
  rel.relId = 14;
  rel.needOsForVersion = {1, 3};
  for (int o : {1, 3, 9}) {
    UpdatesForOS& slot = rel.osUpdates[o];
    slot.osId = o;
    slot.spVersion = _SPVersion(7);
    slot.spUpdates = {"a_b_spupdate1", "a_b_spupdate2"};
    slot.additionalUpdates = {"a_b_additional"};
    INIInfoForPatch info;
    info.patchName = "a_b_spupdate1";
    slot.iniInfos = {info, info};
  }
  int allocations = 0;
  for (int n = 1;; ++n) {
    KQSP_UpdatesAtCache msg = Zeroed();
    g_calls = 0;
    g_failAt = n;
    const bool ok = cache.CacheStruct_Message(&inv, &msg);
    g_failAt = 0;
    cache.FreeCacheMessage(&msg);
    EXPECT_TRUE(IsZero(msg)) << n;
    cache.FreeCacheMessage(&msg);
    if (ok) {
      allocations = n - 1;
      break;
    }
    ASSERT_LT(n, 1000);
  }
  // needOs, then per OS: version, 2 + 2 names, 1 + 1 names, 2 records of 6 texts + the array.
  EXPECT_EQ(allocations, 1 + 3 * (1 + 3 + 2 + 13));
  EXPECT_NE(Log().find("Failed to allocate memory"), std::string::npos);
}

char* Text(const char* text) {
  char* copy = new char[std::strlen(text) + 1];
  std::strcpy(copy, text);
  return copy;
}

// Messages made elsewhere are read and freed within the 14 OS entries, whatever they claim.
TEST_F(Message, HostileMessagesStayInBounds) {
  KQUpdateCache cache(0, true);
  KQSP_UpdatesAtCache msg = Zeroed();
  const int relIds[3] = {15, 0, 0x7fffffff};
  for (int r = 0; r < 3; ++r) {
    KQSP_UpdatesForRelease& rel = msg.releases[r];
    rel.relId = relIds[r];
    rel.numNeedOs = 5;  // a count with no array
    for (KQSP_UpdatesForOS& os : rel.osInfo) {
      os.osId = 3;
      os.numSPUpdates = 3;  // null array
      os.numAdditionalUpdates = -4;
      os.additionalUpdates = new KQSP_UpdateName[2];  // negative count: read as none
      os.additionalUpdates[0].name = Text("leaked_if_not_freed");
      os.numINIInfos = 2;
      os.iniInfos = new KQSP_INIInfoForPatch[2];  // null texts
      os.iniInfos[1].patchName = Text("win_SP1_x-1");
      os.iniInfos[1].spaceNeeded = 42;
      os.iniInfos[1].isSPUpdate = 7;
    }
    rel.osInfo[0].spVersion = Text("12345678901234");  // 14 characters: refused
    rel.osInfo[1].spVersion = Text("12a");
    rel.osInfo[1].valid = 0;
    rel.osInfo[2].spVersion = Text("3/..");  // no service pack: a path separator
  }
  UpdatesAtCache inv;
  ASSERT_TRUE(cache.Message_CacheStruct(&msg, &inv));
  EXPECT_EQ(inv.releases[1].relId, 0);
  for (int r : {0, 2}) {
    const UpdatesForRelease& rel = inv.releases[r];
    EXPECT_EQ(rel.relId, relIds[r]);
    EXPECT_TRUE(rel.needOsForVersion.empty());
    EXPECT_EQ(rel.osUpdates[0].spVersion.GetMajor(), -1);
    EXPECT_EQ(rel.osUpdates[1].spVersion.GetMajor(), 12);
    EXPECT_EQ(rel.osUpdates[1].spVersion.GetMinor(), 'a');
    EXPECT_FALSE(rel.osUpdates[1].valid);
    EXPECT_EQ(rel.osUpdates[2].spVersion.GetMajor(), -1);
    EXPECT_EQ(rel.osUpdates[13].osId, 3);
    EXPECT_EQ(rel.osUpdates[14].osId, 0);  // beyond the message's 14 entries
    ASSERT_EQ(rel.osUpdates[5].iniInfos.size(), 2u);
    EXPECT_EQ(rel.osUpdates[5].iniInfos.front().patchName, "");
    EXPECT_EQ(rel.osUpdates[5].iniInfos.back().patchName, "win_SP1_x-1");
    EXPECT_EQ(rel.osUpdates[5].iniInfos.back().isSPUpdate, 1u);
    EXPECT_TRUE(rel.osUpdates[5].additionalUpdates.empty());
    EXPECT_TRUE(rel.osUpdates[5].spUpdates.empty());
  }
  EXPECT_NE(Log().find("is longer than [13] characters"), std::string::npos);
  // Everything is freed, the release without id included; the strings an array holds beyond a
  // negative count cannot be known and are released by the caller.
  for (KQSP_UpdatesForRelease& rel : msg.releases)
    for (KQSP_UpdatesForOS& os : rel.osInfo) {
      delete[] os.additionalUpdates[0].name;
      os.additionalUpdates[0].name = nullptr;
    }
  ASSERT_TRUE(cache.FreeCacheMessage(&msg));
  EXPECT_TRUE(IsZero(msg));
}

}  // namespace
