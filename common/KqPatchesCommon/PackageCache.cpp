// KQPackageCache: construction, set-up and the loading of catalogues through the process-wide
// parsed-catalogue cache.
#include "PackageCache.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "CachePaths.h"
#include "Configuration/KQGlobalParam.h"
#include "FileSystemUtils.h"
#include "InstallUtils/KQInstallCommonUtils.h"
#include "KqCriticalSection.h"
#include "Messages/MessageTextScan.h"
#include "Messages/MessageXml.h"
#include "PackageCacheInternal.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/PxFile.h"
#include "StringUtils.h"
#include "Vocabulary.h"

namespace {

// A parsed catalogue with the size and modification time its file had when it was read.
template <typename Message>
struct CachedCatalogue {
  std::shared_ptr<const Message> message;
  unsigned long long size = 0;
  long long mtimeNs = 0;
};

// Parsed catalogues of the process, keyed by lower-cased file path. Windows and Unix package
// catalogues share one map (their file names differ).
std::map<std::string, CachedCatalogue<UpdatePatches::PackageDetails>> g_packageList;
std::map<std::string, CachedCatalogue<UpdatePatches::BinaryInfo>> g_binaryInfoList;
// Guards both maps; re-entrant, so a loader holding it may look a path up.
KqCriticalSection g_CriticalSectionPackageCache;

const char* YesNo(bool b) { return b ? "YES" : "NO"; }
const char* TrueFalse(bool b) { return b ? "true" : "false"; }

// Size and modification time of a file, for telling whether it changed since it was parsed.
bool FileStamp(const std::string& path, unsigned long long& size, long long& mtimeNs) {
  struct stat st;
  if (KQInstallCommonUtils::KQInstallmystat(path.c_str(), &st) != 0) return false;
  size = static_cast<unsigned long long>(st.st_size);
  mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return true;
}

enum class StampCheck { kNotCached, kSame, kChanged };

// Whether a cached catalogue's file still has the size and time it had when it was parsed.
template <typename Map>
StampCheck CheckStamp(const Map& map, const std::string& path, unsigned long long size,
                      long long mtimeNs) {
  auto it = map.find(path);
  if (it == map.end()) return StampCheck::kNotCached;
  return it->second.size == size && it->second.mtimeNs == mtimeNs ? StampCheck::kSame
                                                                  : StampCheck::kChanged;
}

// True for a byte that the loader removes from a catalogue's text before parsing it.
bool isNewLineInFile(char c) { return c == '\n' || c == '\r'; }

// Removes every line feed and carriage return from text[0, size); returns the new size.
// Catalogues are mostly one long line, so the text is first searched for both bytes at once and
// left alone when it has neither.
size_t RemoveLineEnds(char* text, size_t size) {
  const kq::TwoBytesFound found = kq::FindTwoBytes(text, size, '\n', '\r');
  if (!found.first && !found.second) return size;
  return static_cast<size_t>(std::remove_if(text, text + size, isNewLineInFile) - text);
}

// Reads a catalogue again for the plain parse of a text that the in-place parse has used up.
bool ReadCatalogueAgain(const std::string& file, std::string& text) {
  if (CPxFile::ReadRegular(file, kMaxCatalogueBytes, text).IsError()) return false;
  text.resize(RemoveLineEnds(&text[0], text.size()));
  return true;
}

// The catalogue of an object that has loaded none of that kind.
template <typename Message>
const std::shared_ptr<const Message>& EmptyCatalogue() {
  static const auto* empty = new std::shared_ptr<const Message>(std::make_shared<const Message>());
  return *empty;
}

}  // namespace

bool KqIsPlainFolderName(const std::string& name) {
  return kq::IsSafeRelativeName(name) && name.find_first_of("/\\") == std::string::npos &&
         name != ".";
}

KQPackageCache::KQPackageCache(bool releaseBuild)
    : m_winPackageDetails(EmptyCatalogue<UpdatePatches::PackageDetails>()),
      m_unixPackageDetails(EmptyCatalogue<UpdatePatches::PackageDetails>()),
      m_binaryInfo(EmptyCatalogue<UpdatePatches::BinaryInfo>()) {
  m_tempFolder[0] = '\0';
  init(false);
  m_releaseBuild = releaseBuild;
}

KQPackageCache::KQPackageCache(std::string cachePath, bool releaseBuild, unsigned long jobId,
                               bool useTemp)
    : m_winPackageDetails(EmptyCatalogue<UpdatePatches::PackageDetails>()),
      m_unixPackageDetails(EmptyCatalogue<UpdatePatches::PackageDetails>()),
      m_binaryInfo(EmptyCatalogue<UpdatePatches::BinaryInfo>()) {
  m_tempFolder[0] = '\0';
  SetParams(std::move(cachePath), jobId, useTemp);
  m_releaseBuild = releaseBuild;
}

KQPackageCache::~KQPackageCache() { releaseListLock(); }

void KQPackageCache::SetParams(std::string cachePath, unsigned long jobId, bool useTemp) {
  init(useTemp);
  m_cachePath = std::move(cachePath);
  m_jobId = jobId;
}

void KQPackageCache::init(bool useTemp) {
  m_cachePath.clear();
  m_oemId.clear();
  m_packageXmlFolder.clear();
  m_procName.clear();
  m_jobId = 0;
  m_useTemp = useTemp;
  if (m_useTemp) {
    m_tempFolder[0] = '\0';
    getTempFolder(m_tempFolder, kPackageCacheTempFolderSize);
  }
}

bool KQPackageCache::getTempFolder(char* buffer, int size) {
  static const char kTmp[] = "/tmp";
  if (!buffer || size < static_cast<int>(sizeof kTmp)) return false;
  std::memcpy(buffer, kTmp, sizeof kTmp);
  return true;
}

bool KQPackageCache::SetTempPath(std::string path) {
  if (path.size() >= static_cast<size_t>(kPackageCacheTempFolderSize) ||
      path.find('\0') != std::string::npos) {
    m_log.Debug("[SetTempPath]", "Temp path of [%zu] characters does not fit, keeping [%s]",
                path.size(), m_tempFolder);
    return false;
  }
  std::memcpy(m_tempFolder, path.c_str(), path.size() + 1);
  return true;
}

void KQPackageCache::setDvdLocation(std::string path, bool isWindows) {
  (isWindows ? m_winDvdLocation : m_unixDvdLocation) = std::move(path);
}

const char* KQPackageCache::getDvdLocation(bool isWindows) const {
  return (isWindows ? m_winDvdLocation : m_unixDvdLocation).c_str();
}

void KQPackageCache::setProcName(std::string name) { m_procName = std::move(name); }

std::string KQPackageCache::getErrMsg() const { return m_errMsg; }

std::string KQPackageCache::procNameOfOS(int osId, const char* tag) {
  const char* name = GetOSNameFromId(osId);
  if (!name) {
    m_log.Debug(tag, "No operating-system name for OS id [%d], proc name left empty", osId);
    return std::string();
  }
  return name;
}

bool KQPackageCache::ReadWinPackageDetails() { return ReadPackageDetails(0); }

bool KQPackageCache::ReadUnixPackageDetails(int osId) {
  return ReadPackageDetails(osId >= 1 ? osId : -1);
}

bool KQPackageCache::ReadPackageDetails(int osId) {
  static const char* const kTag = "[ReadPackageDetails]";
  if (IsUnix(osId)) m_procName = procNameOfOS(osId, kTag);
  const bool isWindows = (osId == 0);
  const char* fileName = isWindows ? "WinPackages.xml" : "pkg.xml";
  std::string& media = isWindows ? m_winDvdLocation : m_unixDvdLocation;

  std::string patchFolder;
  if (media.empty()) {
    KQGlobalParam global;
    if (!global.getHubnodePatchDirectory(patchFolder)) {
      m_log.DebugJob(0, kTag, m_jobId, "Failed to get Hubnode Patch Directory Location.");
      patchFolder.clear();
    } else if (!patchFolder.empty()) {
      StripTrailingBackslash(patchFolder);
      GetPackageLocation(patchFolder, 16, isWindows ? PUSH_UPD_OS_WINDOWS : PUSH_UPD_OS_UNIX,
                         nullptr, false, nullptr);
    }
  }
  StripTrailingBackslash(media);
  std::string candidate = (media.empty() ? patchFolder : media) + "/" + fileName;
  UnixPath(candidate);

  m_log.DebugJob(2, kTag, m_jobId, "Checking if Packages.xml file [%s] exists", candidate.c_str());
  std::string path;
  if (!isFilePresent(candidate.c_str())) {
    m_log.DebugJob(0, kTag, m_jobId, "Packages.xml file [%s] does not exists", candidate.c_str());
    path = m_cachePath + "/" + "Base" + "/" + fileName;
  } else {
    path = candidate;
  }
  m_log.DebugJob(0, kTag, m_jobId, "Packages.xml location %s", path.c_str());
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) m_packageXmlFolder = path.substr(0, slash + 1);

  bool ok = getXMLDetails(path, false, isWindows);
  if (!ok || osId < 0) {
    m_log.DebugJob(0, kTag, m_jobId,
                   "Get XML details returns [%s], osId [%d] and file path [%s], isWindows [%s]",
                   TrueFalse(ok), osId, path.c_str(), TrueFalse(isWindows));
    return ok;
  }
  return getXMLDetails(m_packageXmlFolder, true, isWindows);
}

bool KQPackageCache::getXMLDetails(const std::string& path, bool isBinaryXML, bool isWindows) {
  static const char* const kTag = "[getXMLDetails]";
  std::string file;
  UA_XML_FILETYPES type;
  if (isBinaryXML) {
    if (!m_procName.empty() && !KqIsPlainFolderName(m_procName)) {
      m_log.Debug(kTag, "Proc name [%s] is not a folder name, not reading its BinaryInfo.xml",
                  m_procName.c_str());
      return false;
    }
    file = path + (m_procName.empty() ? std::string() : m_procName + "/") + "BinaryInfo.xml";
    type = UA_XML_BINARY_INFO;
  } else {
    file = path;
    type = isWindows ? UA_XML_WIN_PACKAGES : UA_XML_UNIX_PACKAGES;
  }

  if (!isFilePresent(file.c_str())) {
    m_log.Debug(kTag, "File [%s] is not present.", file.c_str());
    return false;
  }
  m_log.DebugJob(1, kTag, m_jobId, "Get XML details from [%s] with input: [%s] isBinaryXML [%s]",
                 file.c_str(), path.c_str(), YesNo(isBinaryXML));

  const std::string lower = ToLowerCase(file.c_str());
  unsigned long long stampSize = 0;
  long long stampTime = 0;
  const bool stamped = FileStamp(file, stampSize, stampTime);
  if (stamped && getCachedXMLDetails(lower, type, stampSize, stampTime)) {
    m_log.DebugJob(2, kTag, m_jobId, "Got existing XML details by [%s]", lower.c_str());
    return true;
  }

  // Read the whole file.
  CPxFile in;
  CPxError err = in.Open(file);
  if (err.IsError()) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to open file [%s] with error [%d: %s]", file.c_str(),
                   err.GetErrorCode(), err.c_str());
    return false;
  }
  int64_t end = 0;
  err = in.Seek(0, CPxFile::kEnd, &end);
  if (err.IsError()) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to seek file [%s] with error [%d: %s]", file.c_str(),
                   err.GetErrorCode(), err.c_str());
    return false;
  }
  const unsigned long long size = static_cast<unsigned long long>(end);
  m_log.DebugJob(2, kTag, m_jobId, "Current file [%s] size is [%lld] [%llu]", file.c_str(),
                 static_cast<long long>(end), size);
  if (size > kMaxCatalogueBytes) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to read file [%s] with error [%d: %s]", file.c_str(),
                   EFBIG, "File is larger than a catalogue may be");
    return false;
  }
  err = in.Seek(0, CPxFile::kBegin);
  if (err.IsError()) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to rewind file [%s] with error [%d: %s]",
                   file.c_str(), err.GetErrorCode(), err.c_str());
    return false;
  }
  // The text is parsed where it is read (it is not needed afterwards), so the buffer is not
  // cleared first.
  std::unique_ptr<char[]> text(new (std::nothrow) char[size != 0 ? size : 1]);
  if (!text) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to allocate memory for reading XML file.");
    return false;
  }
  size_t got = 0;
  while (got < size) {
    size_t n = 0;
    err = in.Read(text.get() + got, size - got, &n);
    if (err.IsError()) {
      m_log.DebugJob(0, kTag, m_jobId, "Failed to read file [%s] with error [%d: %s]",
                     file.c_str(), err.GetErrorCode(), err.c_str());
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  m_log.DebugJob(2, kTag, m_jobId, "Successfully read [%zu] bytes from file [%s], file length is [%llu]",
                 got, file.c_str(), size);
  char probe;
  size_t extra = 0;
  if (got != size || in.Read(&probe, 1, &extra).IsError() || extra != 0) {
    m_log.DebugJob(0, kTag, m_jobId, "Error: should already reach the end of file [%s]",
                   file.c_str());
    return false;
  }
  in.Close();
  const size_t length = RemoveLineEnds(text.get(), got);
  // What a failure logs of the text, kept before the parse overwrites it.
  const std::string logged(text.get(), std::min(length, kMaxLoggedCatalogueText));

  if (XMLDecoder::initialize() != 0) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to initialize XMLDecoder");
    return false;
  }
  UpdatePatches::RegisterSubsystem();
  KqCriticalSectionLock lock(&g_CriticalSectionPackageCache);
  // A text that only the plain parse reads (never one our writer made) is read from the file
  // again and parsed from a copy.
  auto decode = [&](CNMessageBase& message) {
    int rc = XMLDecoder::unSerializeInPlace(message, text.get(), length);
    if (rc != kMsgRetryWithText) return rc;
    std::string again;
    return ReadCatalogueAgain(file, again) ? XMLDecoder::unSerialize(message, again) : rc;
  };
  bool parsed;
  if (type == UA_XML_BINARY_INFO) {
    auto message = std::make_shared<UpdatePatches::BinaryInfo>();
    parsed = decode(*message) == 0;
    if (parsed) {
      CachedCatalogue<UpdatePatches::BinaryInfo> entry{std::move(message), stampSize, stampTime};
      g_binaryInfoList[lower] = std::move(entry);
    }
  } else {
    auto message = std::make_shared<UpdatePatches::PackageDetails>();
    parsed = decode(*message) == 0;
    if (parsed) {
      CachedCatalogue<UpdatePatches::PackageDetails> entry{std::move(message), stampSize, stampTime};
      g_packageList[lower] = std::move(entry);
    }
  }
  if (!parsed) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to unserialize string [%.*s]",
                   static_cast<int>(logged.size()), logged.c_str());
    return false;
  }
  if (!getUnserializedXMLDetails(lower.c_str(), type)) {
    m_log.DebugJob(0, kTag, m_jobId,
                   "Failed to get unserialized XML details with file name [%s], xml type [%d]",
                   lower.c_str(), static_cast<int>(type));
    return false;
  }
  return true;
}

bool KQPackageCache::getUnserializedXMLDetails(const char* lowerCasePath, UA_XML_FILETYPES type) {
  if (!lowerCasePath) return false;
  KqCriticalSectionLock lock(&g_CriticalSectionPackageCache);
  if (type == UA_XML_BINARY_INFO) {
    auto it = g_binaryInfoList.find(lowerCasePath);
    if (it == g_binaryInfoList.end()) return false;
    m_binaryInfo = it->second.message;
    return true;
  }
  if (type != UA_XML_WIN_PACKAGES && type != UA_XML_UNIX_PACKAGES) return false;
  auto it = g_packageList.find(lowerCasePath);
  if (it == g_packageList.end()) return false;
  // The lookup tables of a catalogue stay valid while the same catalogue is held.
  auto& held = type == UA_XML_WIN_PACKAGES ? m_winPackageDetails : m_unixPackageDetails;
  if (held != it->second.message) {
    held = it->second.message;
    (type == UA_XML_WIN_PACKAGES ? m_winIndex : m_unixIndex).reset();
  }
  return true;
}

bool KQPackageCache::getCachedXMLDetails(const std::string& lowerCasePath, UA_XML_FILETYPES type,
                                         unsigned long long size, long long mtimeNs) {
  static const char* const kTag = "[getXMLDetails]";
  KqCriticalSectionLock lock(&g_CriticalSectionPackageCache);
  StampCheck check = type == UA_XML_BINARY_INFO ? CheckStamp(g_binaryInfoList, lowerCasePath, size, mtimeNs)
                                                : CheckStamp(g_packageList, lowerCasePath, size, mtimeNs);
  if (check == StampCheck::kChanged) {
    m_log.DebugJob(2, kTag, m_jobId, "File [%s] changed since it was parsed, reading it again",
                   lowerCasePath.c_str());
    return false;
  }
  return check == StampCheck::kSame && getUnserializedXMLDetails(lowerCasePath.c_str(), type);
}

bool KQPackageCache::clearCachedXML(bool packageXML, bool binaryXML) {
  if (!packageXML && !binaryXML) return true;
  KqCriticalSectionLock lock(&g_CriticalSectionPackageCache);
  if (packageXML) {
    m_log.DebugLvl("[clearCachedXML]", 2, "Clearing the package XML cache");
    g_packageList.clear();
  }
  if (binaryXML) {
    m_log.DebugLvl("[clearCachedXML]", 2, "Clearing the package XML cache");
    g_binaryInfoList.clear();
  }
  return true;
}
