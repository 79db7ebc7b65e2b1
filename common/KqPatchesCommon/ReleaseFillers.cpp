// The fillers of the release table: from the product version on a client,
// and from the database on the Hubnode.
#include <atomic>
#include <climits>
#include <string>

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
