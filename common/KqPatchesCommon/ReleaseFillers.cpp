// The fillers of the release table: from the product version on a client,
// and from the database on the Hubnode.
#include <atomic>
#include <climits>
#include <string>

#include "Db/TblCommon/simAllVorlanRel.h"
#include "HostIdentity.h"
#include "KqCriticalSection.h"
#include "Logging/EvDebug.h"
#include "Vocabulary.h"

namespace {

// Reads a release number: decimal digits only, small enough that the release
// id (number + 5) fits an int. Anything else is not a release number.
bool ParseReleaseNumber(const std::string& text, int& number) {
  if (text.empty()) return false;
  long long value = 0;
  for (unsigned char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > INT_MAX - 5) return false;
  }
  number = static_cast<int>(value);
  return true;
}

void SetReleaseRow(int index, const std::string& name, int id) {
  ReleasesSupported[index].name = name;
  ReleasesSupported[index].id = id;
}

}  // namespace

void SetReleasesSupportedOnClient() {
  KqCriticalSectionLock lock(getHNReleaseInfoHN());
  if (!ReleasesSupported[0].name.empty()) return;
  for (int i = 0; i < KQ_NUM_RELEASES_SUPPORTED; ++i) SetReleaseRow(i, std::string(), 0);

  std::string text;
  int number = 0;
  if (!GetRelNumOfClient(text) || !ParseReleaseNumber(text, number)) {
    // No readable product version: assume the three newest releases.
    SetReleaseRow(0, "11.0.0", 16);
    SetReleaseRow(1, "10.0.0", 15);
    SetReleaseRow(2, "9.0.0", 14);
    return;
  }
  const int id = number + 5;
  SetReleaseRow(0, text + ".0.0", id);
  SetReleaseRow(1, std::to_string(number - 1) + ".0.0", id - 1);
  SetReleaseRow(2, std::to_string(number - 2) + ".0.0", id - 2);
  EvDebug log;
  for (const QU_ReleaseInfo& row : ReleasesSupported)
    log.DebugLvl("::SetReleasesSupportedOnClient", 10, "RelId %d,RelName %s", row.id,
                 row.name.c_str());
}

namespace {

std::atomic<bool> smIsReleaseSupportedSet{false};

// A release text from the database becomes a folder name: digits in dotted
// groups only ("11", "11.0", "11.0.0").
bool IsReleaseText(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char previous = '.';
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (c == '.' ? previous == '.' : (c < '0' || c > '9')) return false;
    previous = c;
  }
  return previous != '.';
}

}  // namespace

bool SetReleasesSupported() {
  static const char kTag[] = "SetReleasesSupported";
  EvDebug log;
  if (smIsReleaseSupportedSet.load(std::memory_order_acquire)) {
    log.DebugLvl(kTag, 10, "ReleaseSupported data is already initialized.");
    return true;
  }
  KqCriticalSectionLock lock(getHNReleaseInfoHN());
  log.DebugLvl(kTag, 10, "Now entering release info section.");
  if (smIsReleaseSupportedSet.load(std::memory_order_acquire)) return true;

  SimAllVorlanRel record(0, nullptr);
  record.setIsolationType(4);
  record.setOrderBy("id DESC");
  int count = 0, rc, stored = 0;
  while ((rc = getNextRow(&record, &count, -1, 0)) == 0) {
    const SimAllVorlanRel_t* row = record.getDataPtr();
    if (row == nullptr) {
      log.Debug(kTag, "Data pointer is empty");
      return false;
    }
    if (!IsReleaseText(row->release)) {
      log.Debug(kTag, "Skipping release id [%d] with release text [%s]: not a release number",
                row->id, row->release);
      continue;
    }
    if (stored == KQ_NUM_RELEASES_SUPPORTED) {
      log.DebugLvl(kTag, 10, "Already reached the number of Releases supported [%d]",
                   KQ_NUM_RELEASES_SUPPORTED);
      break;
    }
    const std::string text = row->release;
    SetReleaseRow(stored++, text + (text.find('.') != std::string::npos ? ".0" : ".0.0"), row->id);
  }
  if (rc != 0 && rc != 100) {
    log.Debug(kTag, "DB query returns error [%d:%s]", rc, DBtable::getErrorStr(rc));
    return false;
  }
  if (stored < KQ_NUM_RELEASES_SUPPORTED) {
    log.Debug(kTag, "Only [%d] entries exists in DB for release info. Defaulting all others to 0",
              stored);
    for (int i = stored; i < KQ_NUM_RELEASES_SUPPORTED; ++i) SetReleaseRow(i, std::string(), 0);
  }
  smIsReleaseSupportedSet.store(true, std::memory_order_release);
  log.DebugLvl(kTag, 10, "Now leaving release info section.");
  return true;
}
