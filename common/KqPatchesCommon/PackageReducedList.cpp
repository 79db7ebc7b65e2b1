// Reading a reduced-package list file back: the file, named after the package folder with
// "-Out.txt", holds one media path a line; each is checked against the media location, sized and
// sorted into files and folders.
#include <algorithm>
#include <chrono>
#include <thread>

#include "FileSystemUtils.h"
#include "PackageCache.h"
#include "PortableFiles/SafePath.h"
#include "SmallTextFile.h"
#include "StringUtils.h"

namespace {

// Attempts to open an existing list file, and the pause between two of them.
constexpr int kListFileOpenAttempts = 61;
constexpr std::chrono::seconds kListFileRetryPause(5);

}  // namespace

bool KQPackageCache::ComputeFileList(std::string packageName, std::string packageLocation,
                                     std::list<std::string>& files,
                                     std::list<std::string>& folders,
                                     unsigned long long& totalSize, int mode) {
  static const char* const kTag = "[ComputeFileList]";
  UnixPath(packageLocation);
  StripTrailingBackslash(packageLocation);

  std::string folder;
  if (m_useTemp) {
    folder = m_tempFolder;
    if (folder.empty()) {
      m_errMsg += "Temp Directory is not set";
      m_log.Debug(kTag, "Temp Directory is not set");
      return false;
    }
    StripTrailingBackslash(folder);
    folder += "/Install";
  } else {
    folder = m_cachePath + "/Deployment/" + (mode == 3 ? "Install" : "Upgrade");
  }
  if (!isFilePresent(folder.c_str()) && !recursiveCreateDir(folder.c_str())) {
    m_log.Debug(kTag, "Failed to create the directory [%s]", folder.c_str());
    return false;
  }
  if (packageName.empty()) packageName = "InstallPkgs";
  replaceSpecialChars(packageName, 0, '_');
  const std::string listFile = folder + "/" + packageName + "-Out.txt";
  if (!isFilePresent(listFile.c_str())) return true;

  std::string text;
  for (int attempt = 0;; ++attempt) {
    int error = 0;
    kqtext::ReadStatus status = kqtext::ReadSmallTextFile(listFile, text, &error);
    if (status == kqtext::ReadStatus::kOk) break;
    if (status == kqtext::ReadStatus::kTooLarge) {
      m_errMsg = "Could not open output file [" + listFile + "]";
      m_log.Debug(kTag, "Output file [%s] is too large to be a package list", listFile.c_str());
      return false;
    }
    m_errMsg = "Could not open output file [" + listFile + "]";
    if (attempt + 1 >= kListFileOpenAttempts) {
      m_log.Debug(kTag, "Could not open output file [%s] to read, failing the job after maximum no.of retries",
                  listFile.c_str());
      return false;
    }
    m_log.Debug(kTag,
                "Could not open output file [%s] to read with errno [%d]. It will be retried after sleep of 5 sec",
                listFile.c_str(), error);
    std::this_thread::sleep_for(kListFileRetryPause);
  }

  for (std::string line : kqtext::SplitLines(text)) {
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (line.empty()) continue;
    std::string full = packageLocation + "/" + line;
    UnixPath(full);
    if (!kq::IsSafeRelativeName(line)) {
      m_errMsg += "[ File" + full + " is outside the media ]";
      m_log.Debug(kTag, "File [%s] is outside the media", full.c_str());
      return false;
    }
    unsigned long long size = 0;
    if (!isFilePresent(full.c_str()) || !GetDirectorySize(full.c_str(), size)) {
      m_errMsg += "[ File" + full + " is missing ]";
      m_log.Debug(kTag, "File [%s] is missing or empty ", full.c_str());
      return false;
    }
    totalSize += size;
    (IsADirectory(full.c_str()) ? folders : files).push_back(line);
  }
  return true;
}
