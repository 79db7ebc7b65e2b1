// Reconciliation of a retrieval job: which sides succeeded and which failed, per patch type.
//
// Packages, maintenance releases and updates of one side depend on each other, so after the
// sides are split per type, six passes carry a failure of one type over to the others. The
// passes are data (kPasses below): each walks one side map and applies the first of its rules
// that matches a side.
#include <string>

#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalPhaseUtil.h"

namespace nPatchDownload {

namespace {

// The six side maps the passes work on.
enum eSideMap {
  kSucceededPackages,
  kFailedPackages,
  kSucceededCUs,
  kFailedCUs,
  kSucceededUpdates,
  kFailedUpdates,
  kSideMapCount
};

// One rule of a pass. kInMap and kInvalidOS remove the side from the walked map; kNotInMap
// adds it, with its folder structure, to `map`.
struct tPassRule {
  enum eTest { kInMap, kNotInMap, kInvalidOS } test;
  eSideMap map;  // the map the test (and an addition) is about; unused for kInvalidOS
  int level;     // log level, or -1 for a line without level
  const char* line;
};

struct tPass {
  eSideMap walk;
  tPassRule rules[4];  // tried in order, the first that matches applies; a null line ends
};

const tPass kPasses[] = {
    {kSucceededPackages,
     {{tPassRule::kInMap, kFailedPackages, -1,
       "Side [%s:%s] exists in both success & failed packages list, removing it from success "
       "list"},
      {tPassRule::kInMap, kFailedUpdates, -1,
       "Side [%s:%s] exists in failed updates list, removing it from success packages list"},
      {tPassRule::kInvalidOS, kSucceededPackages, 2,
       "Side [%s:%s] contains unsupported packages OS Id, removing it from success list"},
      {tPassRule::kNotInMap, kSucceededUpdates, 2,
       "Adding Side [%s:%s] to success updates list since it is in success packages list"}}},
    {kSucceededUpdates,
     {{tPassRule::kInMap, kFailedUpdates, -1,
       "Side [%s:%s] exists in both success & failed updates list, removing it from success "
       "list"},
      {tPassRule::kInMap, kFailedPackages, -1,
       "Side [%s:%s] exists in failed packages list, removing it from success updates list"},
      {tPassRule::kInvalidOS, kSucceededUpdates, 2,
       "Side [%s:%s] contains unsupported updates OS Id, removing it from success list"},
      {tPassRule::kNotInMap, kSucceededPackages, 2,
       "Adding Side [%s:%s] to success packages list since it is in success updates list"}}},
    {kSucceededCUs,
     {{tPassRule::kInMap, kFailedCUs, -1,
       "Side [%s:%s] exists in both success & failed cumulative packs list, removing it from "
       "success list"},
      {tPassRule::kInMap, kFailedPackages, -1,
       "Side [%s:%s] exists in failed packages list, removing it from success cumulative "
       "updates list"},
      {tPassRule::kInvalidOS, kSucceededCUs, 2,
       "Side [%s:%s] contains unsupported updates OS Id, removing it from success list"},
      {tPassRule::kNotInMap, kSucceededPackages, 2,
       "Adding Side [%s:%s] to success packages list since it is in success cumulative updates "
       "list"}}},
    {kFailedUpdates,
     {{tPassRule::kInvalidOS, kFailedUpdates, 2,
       "Side [%s:%s] contains unsupported updates OS Id, removing it from failed list"},
      {tPassRule::kNotInMap, kFailedPackages, 2,
       "Adding Side [%s:%s] to failed packages list since it is in failed updates list"},
      {tPassRule::kNotInMap, kFailedCUs, 2,
       "Adding Side [%s:%s] to failed cumulative updates list since it is in failed updates "
       "list"}}},
    {kFailedCUs,
     {{tPassRule::kInvalidOS, kFailedCUs, 2,
       "Side [%s:%s] contains unsupported cumulative updates OS Id, removing it from failed "
       "list"},
      {tPassRule::kNotInMap, kFailedUpdates, 2,
       "Adding Side [%s:%s] to failed updates list since it is in failed cumulative updates "
       "list"},
      {tPassRule::kNotInMap, kFailedPackages, 2,
       "Adding Side [%s:%s] to failed packages list since it is in failed cumulative updates "
       "list"}}},
    {kFailedPackages,
     {{tPassRule::kInvalidOS, kFailedPackages, 2,
       "Side [%s:%s] contains unsupported packages OS Id, removing it from failed list"},
      {tPassRule::kNotInMap, kFailedUpdates, 2,
       "Adding Side [%s:%s] to failed updates list since it is in failed packages list"},
      {tPassRule::kNotInMap, kFailedCUs, 2,
       "Adding Side [%s:%s] to failed cumulative updates list since it is in failed packages "
       "list"}}},
};

// Runs one pass over maps; log(level, line, side) writes one line.
template <class Log>
void RunPass(const tPass& pass, tSideFolderMap* const maps[kSideMapCount], Log log) {
  tSideFolderMap& walked = *maps[pass.walk];
  for (auto it = walked.begin(); it != walked.end();) {
    const tRetrievalSide& side = it->first;
    bool removed = false;
    for (const tPassRule& rule : pass.rules) {
      if (rule.line == nullptr) break;
      tSideFolderMap& other = *maps[rule.map];
      bool matches = false;
      switch (rule.test) {
        case tPassRule::kInMap:
          matches = other.count(side) != 0;
          break;
        case tPassRule::kNotInMap:
          matches = other.count(side) == 0;
          break;
        case tPassRule::kInvalidOS:
          matches = !CPatchInstallCommon::IsValidUpdateOSId(side.osId);
          break;
      }
      if (!matches) continue;
      log(rule.level, rule.line, side);
      if (rule.test == tPassRule::kNotInMap) {
        other[side] = it->second;
      } else {
        it = walked.erase(it);
        removed = true;
      }
      break;
    }
    if (!removed) ++it;
  }
}

}  // namespace

KQInstallCommonUtils::IFolderStruct* CSoftwareRetrieval::GetLocalFolderStructBySide(
    const tRetrievalSide& side, int type) {
  tComponentsRetrievalMap& retrievers = getSupportedRetrievals(type);
  auto found = retrievers.find(side.mediaVersion);
  if (found == retrievers.end() || !found->second) {
    m_event.Debug("GetLocalFolderStructBySide", "Failed to find [%s:%s] in retrieval map",
                  SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
    return nullptr;
  }
  return found->second->GetLocalFolderStruct();
}

unsigned int CSoftwareRetrieval::getRetrievalResult(int type, tRetrievalEntries& entries,
                                                    tSideFolderMap& succeeded,
                                                    tSideFolderMap& failed) {
  static const char kFn[] = "getRetrievalResult";
  const char* typeName = getComponentsType(type);
  std::string succeededText, failedText;
  for (const auto& item : entries) {
    const tRetrievalSide& side = item.first;
    const tRetrievalEntry& entry = item.second;
    if (!CPatchInstallCommon::IsValidUpdateOSId(side.osId)) {
      m_event.DebugLvl(kFn, 8, "Skipping invalid Side [%s:%s], continuing",
                       SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
      continue;
    }
    const std::string text = SideVersionText(side.mediaVersion) + ":" + SideOSName(side) + ",";
    KQInstallCommonUtils::IFolderStruct* folders = GetLocalFolderStructBySide(side, type);
    if (folders == nullptr) return KQ_PATCH_E_INVALID_INPUT;
    // A side that got fewer files than were pending did not succeed, whatever its status.
    const bool incomplete = entry.status == 0 && entry.pending.size() != entry.retrieved.size();
    if (entry.status != 0 || incomplete) {
      failedText += text;
      failed[side] = folders;
      m_event.DebugLvl(kFn, 8, "Adding %s - [%s:%s] to failed list", typeName,
                       SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
      if (!incomplete) {
        m_sideStatus[side] = entry.status;
      } else {
        unsigned int& status = m_sideStatus[side];
        if (status == 0) status = KQ_PATCH_E_FEWER_RETRIEVED;
      }
      continue;
    }
    succeededText += text;
    succeeded[side] = folders;
    m_event.DebugLvl(kFn, 8, "Adding %s - [%s:%s] to succeess list", typeName,
                     SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
    m_sideStatus.emplace(side, KQ_PATCH_OK);
  }
  for (const auto& side : m_failedApplianceSides) failed.insert(side);
  m_event.DebugLvl(kFn, 8, "Original successful %s: [%s]", typeName, succeededText.c_str());
  m_event.DebugLvl(kFn, 8, "Original failed %s: [%s]", typeName, failedText.c_str());
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::GetRetrievalResult(
    tRetrievalEntries& packages, tRetrievalEntries& maintenanceReleases, tRetrievalEntries& updates,
    tSideFolderMap& succeededPackages, tSideFolderMap& failedPackages,
    tSideFolderMap& succeededMaintenanceReleases, tSideFolderMap& failedMaintenanceReleases,
    tSideFolderMap& succeededUpdates, tSideFolderMap& failedUpdates,
    std::map<std::string, tRetrievalEntry>& failedApplianceOSes) {
  static const char kFn[] = "GetRetrievalResult";
  tSideFolderMap* const maps[kSideMapCount] = {
      &succeededPackages, &failedPackages,   &succeededMaintenanceReleases,
      &failedMaintenanceReleases, &succeededUpdates, &failedUpdates};
  for (tSideFolderMap* map : maps) map->clear();

  unsigned int rc = getRetrievalResult(ePackages, packages, succeededPackages, failedPackages);
  if (rc == 0)
    rc = getRetrievalResult(eCumulativeUpdatePacks, maintenanceReleases,
                            succeededMaintenanceReleases, failedMaintenanceReleases);
  if (rc == 0) rc = getRetrievalResult(eUpdates, updates, succeededUpdates, failedUpdates);
  if (rc != 0) return rc;

  failedApplianceOSes = m_failedApplianceOSes;
  if (m_policy.IsCopy()) {
    for (auto& version : m_updatesRetrievals)
      if (version.second) version.second->AdjustSucceededUpdatesForCopy(succeededUpdates);
  }

  auto log = [this](int level, const char* line, const tRetrievalSide& side) {
    if (level < 0)
      m_event.Debug(kFn, line, SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
    else
      m_event.DebugLvl(kFn, level, line, SideVersionText(side.mediaVersion).c_str(),
                       SideOSName(side));
  };
  for (const tPass& pass : kPasses) RunPass(pass, maps, log);

  if (JobLogsAt(m_event, 2)) {
    m_event.Debug(kFn, "Initial media status:");
    ShowResultInLogging(succeededPackages, succeededMaintenanceReleases, succeededUpdates, true);
    ShowResultInLogging(failedPackages, failedMaintenanceReleases, failedUpdates, false);
  }
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
