// Records of one update, update pack or cumulative update pack that a copy job brings into the
// cache, as CPatchInstallCommon::ReadConfigurationFromIniFile reads them from the update's
// configuration file.
//
// tSupportedUpdatesInCopyBase holds what every update has; tSupportedUpdatesInCopy adds the
// hotfixes that a hotfix requires, tSupportedCUPackInCopy the description of a cumulative
// update pack. Records are ordered by their file name, which the caller sets. Plain values:
// each record owns all its fields.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_SUPPORTEDUPDATESINCOPY_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_SUPPORTEDUPDATESINCOPY_H_

#pragma GCC visibility push(default)

#include <set>
#include <string>

#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"

namespace nPatchDownload {

class tSupportedUpdatesInCopyBase {
 public:
  enum { kUpdate = 1, kUpdatePack = 2, kCUPack = 3 };

  tSupportedUpdatesInCopyBase() = default;
  tSupportedUpdatesInCopyBase(const tSupportedUpdatesInCopyBase&) = default;
  tSupportedUpdatesInCopyBase(tSupportedUpdatesInCopyBase&&) = default;
  tSupportedUpdatesInCopyBase& operator=(const tSupportedUpdatesInCopyBase&) = default;
  tSupportedUpdatesInCopyBase& operator=(tSupportedUpdatesInCopyBase&&) = default;
  virtual ~tSupportedUpdatesInCopyBase() = default;

  // Less when the file name is less (plain string comparison).
  virtual bool operator<(const tSupportedUpdatesInCopyBase& other) const {
    return fileName < other.fileName;
  }

  int updateType = 0;                       // 1 update, 2 update pack, 3 cumulative update pack
  FullVersion version;                      // release, build, service pack, transaction id
  int osId = 0;                             // from the name; -1 when the name names none
  int transactionId = 0;                    // the update's own transaction id
  std::string fileName;                     // ordering key, set by the caller
  std::string name;                         // the update's name
  std::string secondText;                   // kept for the caller; the reader leaves it alone
  unsigned long long maxMediaTransactionId = 0;  // highest media transaction id it applies to
  FullVersion secondVersion;                // kept for the caller; the reader leaves it alone
  bool isHotfix = false;
};

// An update that may be a hotfix, with the full names of the hotfixes it requires.
class tSupportedUpdatesInCopy : public tSupportedUpdatesInCopyBase {
 public:
  std::set<std::string> requiredHotfixes;
};

// A cumulative update pack with its description (pack number, transaction id, friendly name).
class tSupportedCUPackInCopy : public tSupportedUpdatesInCopyBase {
 public:
  UpdatePatches::UpdatePack pack;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_SUPPORTEDUPDATESINCOPY_H_
