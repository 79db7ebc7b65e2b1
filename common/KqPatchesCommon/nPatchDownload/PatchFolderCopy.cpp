// Folder copies of the patch jobs: a whole folder, and the loose files of an update folder.
#include <cerrno>
#include <string>

#include "FileSystemUtils.h"  // copyDirectory
#include "Logging/EvDebug.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {
namespace {

CPxError looseFilesCopy(const char* dir, const char* name, bool isDir, void* context) {
  static const char* kTag = "looseFilesCopy";
  EvDebug log;
  if (!dir || !name || !context) {
    log.Debug(kTag, "At lease one input param [%s], [%s] or context is empty.", dir ? dir : "NULL",
              name ? name : "NULL");
    return CPxError(static_cast<int>(KQ_PATCH_E_INVALIDARG), "Invalid input param detected.");
  }
  const tLooseCopyContext& ctx = *static_cast<const tLooseCopyContext*>(context);
  std::string src = std::string(dir) + "/" + name;
  std::string dst = ctx.destination + "/" + name;

  // A link is copied as a link: nothing outside the source is read through it, and a link
  // already at the destination is replaced, not written through.
  SPxFileStat st;
  if (!CPxFile::Lstat(src, st).IsError() && st.IsLink()) {
    log.DebugLvl(kTag, 8, "Copy link [%s] to [%s]", src.c_str(), dst.c_str());
    SPxFileStat existing;
    CPxError e;
    if (!CPxFile::Lstat(dst, existing).IsError()) {
      e = existing.IsDirectory() ? CPxError(EISDIR, "a folder is in the way") : CPxFile::Delete(dst);
    }
    if (!e.IsError()) e = CPxFile::CopyLink(src.c_str(), dst.c_str());
    if (e.IsError()) {
      log.Debug(kTag, "Failed to copy file [%s] to [%s]", src.c_str(), dst.c_str());
      return CPxError(static_cast<int>(KQ_PATCH_E_FILE_IO), "File copy failed.");
    }
    return CPxError();
  }

  if (isDir) {
    // Operating-system folders hold the update's binaries: only other folders are copied. The id
    // is compared as signed: an unknown name gives 0xFFFFFFFF, that is -1.
    int osId = static_cast<int>(CPatchInstallCommon::GetUpdateOSIDFromName(name, true));
    if (ctx.bIgnoreOSFolder && osId < 1) {
      log.DebugLvl(kTag, 8, "Copying folder [%s] to [%s]", src.c_str(), dst.c_str());
      if (CPatchInstallCommon::CopyFolder(src, dst, false) != 0) {
        log.Debug(kTag, "Failed to copy folder [%s] to [%s]", src.c_str(), dst.c_str());
        return CPxError(static_cast<int>(KQ_PATCH_E_FILE_IO), "Folder copy failed.");
      }
    } else {
      log.DebugLvl(kTag, 8,
                   "Skipping copying folder [%s] since it is either a OS folder or "
                   "bIgnoreOSFolder flag is set to [%s]",
                   src.c_str(), ctx.bIgnoreOSFolder ? "true" : "false");
    }
    return CPxError();
  }
  log.DebugLvl(kTag, 8, "Copy file [%s] to [%s]", src.c_str(), dst.c_str());
  if (CPatchInstallCommon::CopySingleFile(src, dst) != 0) {
    log.Debug(kTag, "Failed to copy file [%s] to [%s]", src.c_str(), dst.c_str());
    return CPxError(static_cast<int>(KQ_PATCH_E_FILE_IO), "File copy failed.");
  }
  return CPxError();
}

}  // namespace

unsigned int CPatchInstallCommon::CopyFolder(const std::string& source,
                                             const std::string& destination, bool clearReadOnly) {
  static const char* kTag = "CopyFolder";
  EvDebug log;
  // The destination is removed first: it must neither hold the source nor lie inside it.
  if (kq::IsSameOrInside(destination, source) || kq::IsSameOrInside(source, destination)) {
    log.Debug(kTag, "Refusing to copy folder [%s] to [%s]: one lies inside the other",
              source.c_str(), destination.c_str());
    return KQ_PATCH_E_INVALIDARG;
  }
  CPxError e = CPxDirectory::Remove(destination, true);
  if (e.IsError()) {
    log.Debug(kTag, "Failed to delete folder [%s] with error [%d:%s]", destination.c_str(),
              e.GetErrorCode(), e.c_str());
    return static_cast<unsigned int>(e.GetErrorCode());
  }
  if (!copyDirectory(source.c_str(), destination.c_str(), clearReadOnly)) {
    log.Debug(kTag, "Failed to copy directory [%s] to [%s]", source.c_str(), destination.c_str());
    return 1;
  }
  return KQ_PATCH_OK;
}

unsigned int CPatchInstallCommon::CopyLooseFiles(const std::string& source,
                                                 const std::string& destination,
                                                 bool bIgnoreOSFolder) {
  // Copying a folder onto itself would remove each sub-folder before copying it.
  if (kq::IsSameOrInside(source, destination) && kq::IsSameOrInside(destination, source)) {
    EvDebug().Debug("CopyLooseFiles", "Refusing to copy folder [%s] onto itself [%s]",
                    source.c_str(), destination.c_str());
    return KQ_PATCH_E_INVALIDARG;
  }
  tLooseCopyContext context(destination, bIgnoreOSFolder);
  CPxError e = CPxDirectory::Walk(source, &context, 0, true, looseFilesCopy);
  return static_cast<unsigned int>(e.GetErrorCode());
}

}  // namespace nPatchDownload
