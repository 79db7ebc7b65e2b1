// Folder-structure objects and information files of the components retrievers.
#include <queue>

#include "InstallUtils/IFolderStruct.h"
#include "MediaAccess/IMediaAccess.h"
#include "MediaAccess/UrlText.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IComponentsRetrieval.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

const std::string& ValueOr(const std::map<std::string, std::string>& map, const std::string& key,
                           const std::string& fallback) {
  auto it = map.find(key);
  return it == map.end() ? fallback : it->second;
}

}  // namespace

void IComponentsRetrieval::fillInFolderStructParams(tFolderStructParam& params,
                                                    const FullVersion& version,
                                                    const std::string& xmlTemplate,
                                                    const std::string& mediaRoot,
                                                    const std::string& separator) {
  params.xmlTemplate = xmlTemplate;
  params.version = version;
  params.separator = separator;
  params.placeholders.clear();
  params.placeholders["MEDIAROOT"] = mediaRoot;
  for (const auto& p : KQInstallCommonUtils::kVersionPlaceholders)
    params.placeholders[p.key] = std::to_string(version.Get(p.field));
}

unsigned int IComponentsRetrieval::ConstructFolderStructObjects(
    const tFolderStructParam& params, KQInstallCommonUtils::IFolderStruct*& object,
    IPatchEvent& event) {
  static const char kFn[] = "ConstructFolderStructObjects";
  static const std::string kNone, kNA = "NA";
  const auto& keys = params.placeholders;
  event.DebugLvl(kFn, 2, "Using [%s], [%s], [%s] and [%s] in creation",
                 kqmedia::UrlForText(ValueOr(keys, "MEDIAROOT", kNone)).c_str(),
                 ValueOr(keys, "VERSION", kNone).c_str(),
                 ValueOr(keys, "BUILD", kNone).c_str(), ValueOr(keys, "SPMAJOR", kNA).c_str());
  event.DebugLvl(kFn, 8, "XML template is [%s].", params.xmlTemplate.c_str());
  KQInstallCommonUtils::CacheHierarchy hierarchy;
  if (XMLDecoder::unSerialize(hierarchy, params.xmlTemplate) != 0) {
    event.Debug(kFn, "Failed to unserialize XML: [%s]", params.xmlTemplate.c_str());
    return KQ_PATCH_E_NOT_BUILT;
  }
  event.DebugLvl(kFn, 8, "Calling KQInstallCommonUtil::Create function..");
  object = nullptr;
  const unsigned int rc = KQInstallCommonUtils::CreateFolderStructReader(
      &object, event.GetEvDebug(), hierarchy, keys, params.version, params.separator);
  if (rc != 0 || object == nullptr) {
    event.Debug(kFn, "Failed to construct IFolderStruct objects using XML with error [%d]",
                static_cast<int>(rc));
    if (object != nullptr) {
      KQInstallCommonUtils::DestroyFolderStructReader(object);
      object = nullptr;
    }
    return rc;
  }
  const FullVersion zero{_SPVersion(0)};
  // A download job's media root is its server's URL: shown without its user information.
  using kqmedia::UrlForText;
  const std::string root = UrlForText(ValueOr(object->GetPlaceHolderMap(), "MEDIAROOT", kNone));
  const std::string loose =
      UrlForText(object->GetPath(KQInstallCommonUtils::eKindPlatformRoot, "WinX64", zero, 0));
  const std::string info =
      UrlForText(object->GetFilePath(KQInstallCommonUtils::eKindUpdatesInfoFile, "", zero, 0));
  const std::string hotfix =
      UrlForText(object->GetPath(KQInstallCommonUtils::eKindHotfixRoot, "WinX64", zero, 0));
  event.DebugLvl(
      kFn, 10,
      "Successfully created it. Now media root path is [%s], loose folder is [%s], updatesInfo "
      "file is [%s], hotfix root is [%s]",
      root.c_str(), loose.c_str(), info.c_str(), hotfix.c_str());
  return KQ_PATCH_OK;
}

unsigned int IComponentsRetrieval::GetDVDInfoFile(IMediaAccess& media,
                                                  const std::string& remotePath,
                                                  const std::string& localPath,
                                                  IPatchEvent& event) {
  static const char kFn[] = "GetDVDInfoFile";
  const unsigned int rc = media.GetFile(remotePath, localPath, 0);
  if (rc != 0) {
    std::queue<tErrorDetails> details;
    details.push(tErrorDetails(tErrorDetails::eString, &remotePath));
    details.push(tErrorDetails(tErrorDetails::eString, &localPath));
    event.SetSpecificError(0x44000046, static_cast<KQJobStatus>(2), &details);
    return rc;
  }
  if (CPatchInstallCommon::IsFileExisted(localPath)) {
    event.DebugLvl(kFn, 10, "Successfully downloaded info file [%s] to [%s]", remotePath.c_str(),
                   localPath.c_str());
    return KQ_PATCH_OK;
  }
  event.Debug(kFn, "Failed to find downloaded info file [%s]", localPath.c_str());
  return KQ_PATCH_E_INVALID_INPUT;
}

}  // namespace nPatchDownload
