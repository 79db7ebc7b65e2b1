// File and folder utilities of the patch jobs: whole-file reads and writes, archive extraction,
// temporary and unique folders, single-file copies. Every operation logs on the default log
// under its own name as the tag.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "Archive/C7zip.h"
#include "Configuration/KQPlatformInfo.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/PxString.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {
namespace {

unsigned int ErrorCode(const CPxError& e) { return static_cast<unsigned int>(e.GetErrorCode()); }

// Any entry at all (a link counts, whatever it points to).
bool PathExists(const std::string& path) {
  SPxFileStat st;
  return !CPxFile::Lstat(path, st).IsError();
}

// What a write into the cache must leave free on its file system: the reserve that fetches
// keep ("MediaAccess"/"nFreeSpaceReserveMB", 1 MiB when absent or out of range, 0 for none).
unsigned long long FreeSpaceReserveBytes() {
  long mb = 0;
  if (!KQPlatformInfo().getNumber("MediaAccess", "nFreeSpaceReserveMB", mb) || mb < 0 ||
      mb > (1L << 30)) {
    mb = 1;
  }
  return static_cast<unsigned long long>(mb) << 20;
}

}  // namespace

unsigned int CPatchInstallCommon::ReadWholeFile(const std::string& path, std::string& text) {
  return ReadWholeFile(path, text, kMaxWholeFileBytes);
}

unsigned int CPatchInstallCommon::ReadWholeFile(const std::string& path, std::string& text,
                                                unsigned long long maxBytes) {
  static const char* kTag = "ReadWholeFile";
  EvDebug log;

  // Only a regular file, and one that fits the cap: a FIFO is not waited on, and a link to
  // a device or a huge file does not take the memory of the process.
  CPxFile file;
  uint64_t size = 0;
  CPxError e = file.OpenRegular(path, std::min(maxBytes, kMaxWholeFileBytes), &size);
  if (e.IsError()) {
    log.Debug(kTag, "Cannot to open file [%s] with error [%d:%s]", path.c_str(), e.GetErrorCode(),
              e.c_str());
    if (e.GetErrorCode() != EFBIG) return KQ_PATCH_E_FILE_IO;
    log.Debug(kTag, "Failed to allocate memory for reading XML file.");
    return KQ_PATCH_E_OUTOFMEMORY;
  }
  unsigned long long length = size;
  log.DebugLvl(kTag, 2, "Current file [%s] size is [%lld] [%llu]", path.c_str(),
               static_cast<long long>(length), length);
  if (length >= static_cast<unsigned long long>(SIZE_MAX)) {
    log.Debug(kTag, "Failed to allocate memory for reading XML file.");
    return KQ_PATCH_E_OUTOFMEMORY;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[length + 1]);
  if (!buffer) {
    log.Debug(kTag, "Failed to allocate memory for reading XML file.");
    return KQ_PATCH_E_OUTOFMEMORY;
  }
  buffer[length] = 0;
  size_t done = 0;
  while (done < length) {
    size_t got = 0;
    e = file.Read(buffer.get() + done, length - done, &got);
    if (!e.IsError() && got == 0) {
      e = CPxError(5, "file ended before its length was read");
    }
    if (e.IsError()) {
      log.Debug(kTag, "Failed to read file [%s] with error [%d: %s]", path.c_str(),
                e.GetErrorCode(), e.c_str());
      return KQ_PATCH_E_FILE_IO;
    }
    done += got;
  }
  text.assign(buffer.get());  // up to the first zero byte
  log.DebugLvl(kTag, 2, "Successfully read [%llu] bytes from file [%s], file length is [%llu]",
               static_cast<unsigned long long>(done), path.c_str(), length);
  return KQ_PATCH_OK;
}

unsigned int CPatchInstallCommon::ExtractZipFile(const std::string& sevenZipPath,
                                                 const std::string& archive,
                                                 const std::string& destination,
                                                 std::string fileSpec, bool overwrite,
                                                 bool quietErrors) {
  static const char* kTag = "ExtractZipFile";
  EvDebug log;
  const int errLevel = quietErrors ? 2 : log.GetDebugLevel();

  // Only a folder that this call created is removed again when the extraction fails.
  bool created = false;
  if (!IsFolderExisted(destination)) {
    CPxError e = CPxDirectory::Create(destination, true);
    if (!e.IsError()) {
      created = true;
    } else if (IsFolderExisted(destination)) {
      log.DebugLvl(kTag, errLevel,
                   "Cannot create directory [%s] with code [%d:%s], other thread might be "
                   "creating it. Continuing..",
                   destination.c_str(), e.GetErrorCode(), e.c_str());
    } else {
      log.DebugLvl(kTag, errLevel, "Failed to create directory [%s] with error [%d:%s]",
                   destination.c_str(), e.GetErrorCode(), e.c_str());
      return ErrorCode(e);
    }
  }

  auto dropCreated = [&]() {
    if (!created) return;
    unsigned int rc = DeleteDirectories(destination);
    if (rc != 0) {
      log.DebugLvl(kTag, errLevel, "Cannot delete directory [%s] with error [%d]",
                   destination.c_str(), static_cast<int>(rc));
    }
  };

  C7zip zip(sevenZipPath, C7zip::kZip);
  zip.SetFreeSpaceReserve(FreeSpaceReserveBytes());
  if (!zip.Initialize()) {
    log.DebugLvl(kTag, errLevel, "Failed to initialize the 7Zip object. Error:[%s]",
                 zip.GetLastError().c_str());
    dropCreated();
    return KQ_PATCH_E_INVALID_INPUT;
  }

  bool ok;
  if (!fileSpec.empty()) {
    std::vector<std::string> args = zip.FlatExtractArgs(archive, destination, fileSpec, overwrite);
    log.DebugLvl(kTag, 2, "Unzipping file [%s] from %s using cmd line [%s]", fileSpec.c_str(),
                 archive.c_str(), C7zip::CommandLineText(args).c_str());
    ok = zip.ExtractInto(archive, destination, fileSpec, overwrite);
  } else {
    log.DebugLvl(kTag, 2, "Unzipping %s", archive.c_str());
    log.DebugLvl(kTag, 2, "Using source path [%s], destination path [%s]", archive.c_str(),
                 destination.c_str());
    ok = zip.ExtractFilesWithFullPathsFromArchive(archive, destination);
  }
  if (!ok) {
    log.DebugLvl(kTag, errLevel, "Failed to unzip file %s. Error:[%s]", archive.c_str(),
                 zip.GetLastError().c_str());
    dropCreated();
    return zip.LackedSpace() ? KQ_PATCH_E_DISK_SPACE : KQ_PATCH_E_EXTRACTION;
  }
  log.DebugLvl(kTag, 2, "Successfully unzipped %s", archive.c_str());
  return KQ_PATCH_OK;
}

unsigned int CPatchInstallCommon::GetFreeDiskSpaces(const std::string& path,
                                                    unsigned long& freeKiB) {
  uint64_t total = 0, freeBytes = 0;
  CPxError e = CPxDirectory::GetSpaceUsage(path, total, freeBytes);
  if (e.IsError()) {
    EvDebug().Debug("GetFreeDiskSpaces",
                           "Error [%d:%s] returned when getting free space left for [%s]",
                           e.GetErrorCode(), e.c_str(), path.c_str());
    return ErrorCode(e);
  }
  freeKiB = static_cast<unsigned long>(freeBytes >> 10);
  return KQ_PATCH_OK;
}

unsigned int CPatchInstallCommon::CreateTempFolder(const std::string& name, std::string& path,
                                                   EvDebug& log, bool deleteFirst) {
  static const char* kTag = "CreateTempFolder";
  // The folder is removed below: its name must stay one level under Temp.
  if (!kq::IsSafeRelativeName(name) || name.find_first_of("/\\") != std::string::npos) {
    log.Debug(kTag, "Invalid temp folder name [%s]", name.c_str());
    return KQ_PATCH_E_INVALIDARG;
  }
  std::string base;
  if (!KQPlatformInfo().getString("Base", "dHOME", base) || base.empty()) {
    log.Debug(kTag, "Failed to get base folder at [%s\\%s] in registry", "Base", "dHOME");
    return KQ_PATCH_E_CONFIG_MISSING;
  }
  // A relative install folder would put (and remove) the folder below the working folder.
  if (base[0] != '/') {
    log.DebugLvl(kTag, 0, "Refusing the relative base folder [%s] of [%s\\%s]", base.c_str(),
                 "Base", "dHOME");
    return KQ_PATCH_E_CONFIG_MISSING;
  }
  log.DebugLvl(kTag, 8, "Base folder is [%s]", base.c_str());

  std::string folder = base + "/" + "Temp" + "/" + name;
  log.DebugLvl(kTag, 2, "Temp folder name is [%s] with delete flag set to [%s]", folder.c_str(),
               deleteFirst ? "true" : "false");

  if (deleteFirst && IsFolderExisted(folder)) {
    CPxError e = CPxDirectory::Remove(folder, true);
    if (e.IsError()) {
      log.DebugLvl(kTag, 0, "Could not delete temp folder [%s] with error [%d:%s]",
                   folder.c_str(), e.GetErrorCode(), e.c_str());
      return ErrorCode(e);
    }
    log.DebugLvl(kTag, 2, "Successfully removed temp folder [%s]", folder.c_str());
  }

  if (!IsFolderExisted(folder)) {
    unsigned int rc = CreateDirectories(folder);
    if (rc != 0) {
      if (!IsFolderExisted(folder)) return rc;
      log.Debug(kTag, "Ignoring status [%d] since the folder [%s] exists", static_cast<int>(rc),
                folder.c_str());
    }
    log.DebugLvl(kTag, 1, "Created folder at [%s]", folder.c_str());
  } else {
    log.DebugLvl(kTag, 8, "Skipping creating folder [%s] since it is already created",
                 folder.c_str());
  }
  path = folder;
  return KQ_PATCH_OK;
}

bool isFileOrFolderExisted(const std::string& path, int modeMask) {
  static const char* kTag = "isFileOrFolderExisted";
  SPxFileStat st;
  CPxError e = CPxFile::Stat(path, st);
  if (e.IsError()) {
    EvDebug().DebugLvl(kTag, 8, "Stat returns error [%d:%s] on file [%s]", e.GetErrorCode(),
                              e.c_str(), path.c_str());
    return false;
  }
  if ((st.mode & static_cast<uint32_t>(modeMask)) != 0) return true;
  EvDebug().Debug(kTag, "[%s] is not a regular %s (mode: 0x%x)", path.c_str(),
                         modeMask == S_IFREG ? "file" : "folder", st.mode);
  return false;
}

bool CPatchInstallCommon::IsFileExisted(const std::string& path) {
  return isFileOrFolderExisted(path, S_IFREG);
}

bool CPatchInstallCommon::IsFolderExisted(const std::string& path) {
  return isFileOrFolderExisted(path, S_IFDIR);
}

unsigned int CPatchInstallCommon::CreateDirectories(const std::string& path) {
  CPxError e = CPxDirectory::Create(path, true);
  if (e.IsError()) {
    EvDebug().Debug("CreateDirectories", "Failed to create directory [%s] with error [%d:%s]",
                           path.c_str(), e.GetErrorCode(), e.c_str());
    return ErrorCode(e);
  }
  return KQ_PATCH_OK;
}

std::string CPatchInstallCommon::GetRemoteServerPath(const std::string& path) {
  return path.compare(0, 2, "\\\\") == 0 ? path : std::string();
}

unsigned int CPatchInstallCommon::DeleteDirectories(const std::string& path) {
  CPxError e = CPxDirectory::Remove(path, true);
  if (e.IsError()) {
    EvDebug().Debug("DeleteDirectories", "Cannot delete folder [%s] with error [%d:%s]",
                           path.c_str(), e.GetErrorCode(), e.c_str());
    return ErrorCode(e);
  }
  return KQ_PATCH_OK;
}

unsigned int CPatchInstallCommon::CopySingleFile(const std::string& source,
                                                 const std::string& destination) {
  static const char* kTag = "CopySingleFile";
  if (source.empty() || destination.empty()) return KQ_PATCH_E_INVALID_INPUT;
  // A destination without "/" lies in the current folder: there is no folder to make.
  size_t slash = destination.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string folder = destination.substr(0, slash);
    if (!IsFolderExisted(folder)) {
      unsigned int rc = CreateDirectories(folder);
      if (rc != 0) return rc;
    }
  }
  CPxError e = CPxFile::Copy(source, destination);
  if (e.IsError()) {
    EvDebug().Debug(kTag, "Failed to copy file from [%s] to [%s] with error [%d:%s]",
                           source.c_str(), destination.c_str(), e.GetErrorCode(), e.c_str());
    return ErrorCode(e);
  }
  return KQ_PATCH_OK;
}

unsigned long long CPatchInstallCommon::GetFileSize(const std::string& path) {
  if (!IsFileExisted(path)) return 0;
  SPxFileStat st;
  CPxError e = CPxFile::Stat(path, st);
  if (e.IsError()) {
    EvDebug().Debug("GetFileSize", "Cannot get the size of file [%s] with error [%d:%s]",
                           path.c_str(), e.GetErrorCode(), e.c_str());
    return 0;
  }
  return st.size;
}

unsigned int CPatchInstallCommon::GetUniqueFolderName(std::string& path) {
  if (!PathExists(path)) return KQ_PATCH_OK;
  for (unsigned int n = 0; n != 0xFFFFFFFFu; ++n) {
    std::string candidate = CPxString::Format("{1}_{2}", path, n).str();
    if (!PathExists(candidate)) {
      path = candidate;
      return KQ_PATCH_OK;
    }
  }
  return KQ_PATCH_E_NO_UNIQUE_NAME;
}

unsigned int CPatchInstallCommon::WriteStringToFile(const std::string& text,
                                                    const std::string& path) {
  static const char* kTag = "WriteStringToFile";
  CPxFile file;
  // Truncate: a shorter text must not leave the tail of an earlier, longer one behind.
  CPxError e = file.Open(path, CPxFile::kWrite | CPxFile::kCreate | CPxFile::kTruncate,
                         CPxFile::kAttrNormal);
  if (e.IsError()) {
    EvDebug().Debug(kTag, "Failed to open file [%s] to write with error [%d:%s]",
                           path.c_str(), e.GetErrorCode(), e.c_str());
    return ErrorCode(e);
  }
  e = file.Write(text.data(), text.size());
  file.Close();
  if (e.IsError()) {
    EvDebug().Debug(kTag, "Failed to write to file [%s] with error [%d:%s]", path.c_str(),
                           e.GetErrorCode(), e.c_str());
    return ErrorCode(e);
  }
  return KQ_PATCH_OK;
}

int compareSQLVersion(std::string a, std::string b) {
  if (a == b) return 0;
  auto takePart = [](std::string& text) {
    size_t dot = text.find('.');
    std::string part = text.substr(0, dot);
    text = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    long v = std::strtol(part.c_str(), nullptr, 10);
    if (v > 2147483647L) v = 2147483647L;
    if (v < -2147483647L - 1) v = -2147483647L - 1;
    return static_cast<int>(v);
  };
  while (!a.empty() && !b.empty()) {
    int x = takePart(a);
    int y = takePart(b);
    if (x > y) return 1;
    if (x < y) return -1;
  }
  return 0;
}

}  // namespace nPatchDownload
