// Install maps of the software cache and their ".description" checksum files: the loaders of
// KQUpdateCache for update, update-pack, feature-release and installer maps.
//
// Every loader reads one map (its lines joined without line breaks), decodes it into its
// message and appends two File entries: the map named by its place in the unit, checksummed by
// the text of its ".description" file, and the ".description" file itself with its computed
// checksum. The map's own checksum is never recomputed and compared here.
#include <cerrno>
#include <new>

#include "CacheFileListsInternal.h"
#include "CachePaths.h"
#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "Messages/MessageXml.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "UpdateNames.h"
#include "VersionFiles.h"

namespace {

const char kDescriptionSuffix[] = ".description";

// The most of a map read, by kind: a map arrives inside a downloaded package, so its size is
// not trusted. An update's or installer's map lists one unit's files (real ones stay below a
// megabyte); a pack's or feature release's map holds the maps of all its updates.
constexpr unsigned long long kMaxUnitMapBytes = 32ull << 20;
constexpr unsigned long long kMaxCollectionMapBytes = 128ull << 20;
// The most of a map text that goes into a log line: a map that does not decode, or the head of
// an installer map shown at level 10.
constexpr size_t kMaxLoggedMapTextBytes = 512;

// What differs between the four maps: file and entry names, log tag and texts.
struct MapKind {
  const char* tag;
  const char* fileName;      // "UpdateFileInstallMap.xml"
  const char* entryName;     // "Config/UpdateFileInstallMap.xml"
  unsigned long long maxBytes;  // the largest map read
  const char* openFailed;    // path, errno (or path only when withErrno is false)
  bool withErrno;
  const char* decodeFailed;  // subject (update or pack name), or the map text's head and size
  bool decodeNamesText;
  const char* descriptionFailed;
  const char* successLine;   // level 10, description path and text, or entry texts
};

const MapKind kUpdateMap = {
    "[LoadSingleUpdateInstallMap]",
    "UpdateFileInstallMap.xml",
    "Config/UpdateFileInstallMap.xml",
    kMaxUnitMapBytes,
    "Failed to open update install xml file [%s]. Error [%d]",
    true,
    "Failed to unserialize update install xml for update [%s]",
    false,
    "Failed to read update install xml description file [%s]",
    "Checksum of update xml description file [%s]:[%s]"};

const MapKind kPackMap = {
    "[LoadCumulativeUpdatePackInstallMap]",
    "CumulativeUpdatePackInstallMap.xml",
    "Config/CumulativeUpdatePackInstallMap.xml",
    kMaxCollectionMapBytes,
    "Failed to open update pack's install xml file [%s]. Error [%d]",
    true,
    "Failed to unserialize install xml for update pack [%s]",
    false,
    "Failed to read update pack install xml description file [%s]",
    "Calculated checksum of update pack xml description file [%s]:[%s]"};

const MapKind kFeatureReleaseMap = {
    "[LoadSPInstallMap]",
    "ServicePackFileInstallMap.xml",
    "Config/ServicePackFileInstallMap.xml",
    kMaxCollectionMapBytes,
    "Failed to open file %s",
    false,
    "Failed to unserialize string [%s] (%zu bytes)",
    true,
    "Failed to read description file [%s]",
    nullptr};

const MapKind kInstallerMap = {
    "[LoadInstallFileChecksum]",
    "InstallFileCheckSum.xml",
    "InstallFileCheckSum.xml",
    kMaxUnitMapBytes,
    "Failed to open file %s",
    false,
    "Failed to unserialize string [%s] (%zu bytes)",
    true,
    "Failed to read description file [%s]",
    "Checksum of install xml description file [%s]:[%s]"};

// The map text at `path` with its line breaks removed: a regular file only (a FIFO or device
// is refused, never waited on) of at most `maxBytes`, however it grows while it is read. False
// with an errno value and the reason in `why` otherwise.
bool ReadMapText(const std::string& path, unsigned long long maxBytes, std::string& text,
                 int& error, std::string& why) {
  CPxError e;
  try {
    e = CPxFile::ReadRegular(path, maxBytes, text);
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
    why = "no memory to read [" + path + "]";
    return false;
  }
  if (e.IsError()) {
    error = e.GetErrorCode() > 0 ? e.GetErrorCode() : EIO;
    why = e.AsString();
    return false;
  }
  // Joined in place (a line break is "\n" or "\r\n"; the last line may end with a lone '\r').
  size_t out = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') continue;
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    text[out++] = c;
  }
  text.resize(out);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return true;
}

}  // namespace

// The steps common to the four loaders; folder is the folder that holds the map (already in
// '/' form). subject names the unit in log lines.
static bool LoadInstallMap(KQUpdateCache& cache, const MapKind& kind, const std::string& folder,
                           int osId, const std::string& subject, CNMessageBase* map,
                           std::vector<UpdatePatches::File>* mapFiles) {
  EvDebug& log = cache.log();
  const long long job = static_cast<long long>(cache.jobId());
  if (map == nullptr || mapFiles == nullptr) {
    log.DebugJob(1, kind.tag, job, "No map or list given for [%s]", folder.c_str());
    return false;
  }
  const std::string mapPath = folder + "/" + kind.fileName;
  const std::string descriptionPath = mapPath + kDescriptionSuffix;

  std::string text;
  int error = 0;
  std::string why;
  if (!ReadMapText(mapPath, kind.maxBytes, text, error, why)) {
    if (kind.withErrno)
      log.DebugJob(1, kind.tag, job, kind.openFailed, mapPath.c_str(), error);
    else
      log.DebugJob(1, kind.tag, job, kind.openFailed, mapPath.c_str());
    log.DebugJob(1, kind.tag, job, "%s", why.c_str());
    return false;
  }
  if (XMLDecoder::unSerialize(map, text, nullptr) != 0) {
    if (kind.decodeNamesText) {
      // Its head only: the text may be as long as the map may be.
      const std::string head = text.substr(0, kMaxLoggedMapTextBytes);
      log.DebugJob(1, kind.tag, job, kind.decodeFailed, head.c_str(), text.size());
    } else {
      log.DebugJob(1, kind.tag, job, kind.decodeFailed, subject.c_str());
    }
    return false;
  }
  if (&kind == &kInstallerMap && log.GetDebugLevel() >= 10) {
    // In brief: written out again, a map under the cap may take several times its size, and a
    // line that gets no memory is no reason to fail the load.
    const size_t entries = static_cast<const CNMessageBase*>(map)
                               ->getlistobject(UpdatePatches::InstallFiles::kFiles)
                               ->size();
    try {
      const std::string head = text.substr(0, kMaxLoggedMapTextBytes);
      log.DebugJob(10, kind.tag, job, "InstallFiles XML is: [%s] (%zu entries, %zu bytes)",
                   head.c_str(), entries, text.size());
    } catch (const std::bad_alloc&) {
    }
  }

  std::string descriptionText;
  if (!ReadFileInString(descriptionPath, descriptionText, static_cast<unsigned long>(job))) {
    log.DebugJob(1, kind.tag, job, kind.descriptionFailed, descriptionPath.c_str());
    return false;
  }
  mapFiles->push_back(kqlists::MakeFile(kind.entryName, descriptionText));

  if (&kind == &kPackMap) {
    std::string own;
    log.DebugJob(10, kind.tag, job, "Checksum of update pack install xml file present in description file [%s]",
                 descriptionText.c_str());
    if (cache.CalculateFileCksumForFile(osId, mapPath, own))
      log.DebugJob(10, kind.tag, job, "Calculated checksum of update pack install xml file [%s]", own.c_str());
    else
      log.DebugJob(1, kind.tag, job, "Failed to get checksum of install xml file [%s]", mapPath.c_str());
  }

  std::string descriptionChecksum;
  if (!cache.CalculateFileCksumForFile(osId, descriptionPath, descriptionChecksum)) {
    log.DebugJob(1, kind.tag, job, "Failed to get checksum of xml description file [%s]",
                 descriptionPath.c_str());
    return false;
  }
  mapFiles->push_back(
      kqlists::MakeFile(std::string(kind.entryName) + kDescriptionSuffix, descriptionChecksum));
  if (kind.successLine != nullptr) {
    log.DebugJob(10, kind.tag, job, kind.successLine, descriptionPath.c_str(),
                 descriptionChecksum.c_str());
  } else {
    log.DebugJob(10, kind.tag, job, "Checksum of Feature Release install xml file :[%s]",
                 descriptionText.c_str());
    log.DebugJob(10, kind.tag, job, "Checksum of Feature Release install xml description file :[%s]",
                 descriptionChecksum.c_str());
  }
  return true;
}

// The folder of a named unit below root: false (logged) when the name is not one folder name.
static bool UnitFolder(KQUpdateCache& cache, const MapKind& kind, std::string root,
                       const std::string& name, std::string& folder) {
  if (!kqlists::IsOneFolderName(name)) {
    cache.log().DebugJob(1, kind.tag, static_cast<long long>(cache.jobId()),
                         "Refusing unit name [%s] below [%s]", name.c_str(), root.c_str());
    return false;
  }
  folder = root + "/" + name + "/Config";
  UnixPath(folder);
  return true;
}

bool KQUpdateCache::LoadSingleUpdateInstallMap(std::string updatesFolder, int osId,
                                               std::string updateName,
                                               UpdatePatches::SingleUpdate* map,
                                               std::vector<UpdatePatches::File>* mapFiles) {
  std::string folder;
  if (!UnitFolder(*this, kUpdateMap, updatesFolder, updateName, folder)) return false;
  return LoadInstallMap(*this, kUpdateMap, folder, osId, updateName, map, mapFiles);
}

bool KQUpdateCache::LoadCumulativeUpdatePackInstallMap(std::string packRoot, int osId,
                                                       std::string packName,
                                                       UpdatePatches::CumulativeUpdatePack* map,
                                                       std::vector<UpdatePatches::File>* mapFiles) {
  std::string folder;
  if (!UnitFolder(*this, kPackMap, packRoot, packName, folder)) return false;
  return LoadInstallMap(*this, kPackMap, folder, osId, packName, map, mapFiles);
}

bool KQUpdateCache::LoadSPInstallMap(std::string featureReleasesFolder, int osId,
                                     _SPVersion& highest, UpdatePatches::ServicePack* map,
                                     std::vector<UpdatePatches::File>* mapFiles) {
  static const char* const kTag = kFeatureReleaseMap.tag;
  UnixPath(featureReleasesFolder);
  const char* folder = featureReleasesFolder.c_str();
  if (!isFilePresent(folder)) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Feature Release directory [%s] is not present. No feature release to load",
                     folder);
    highest.SetMajor(0);
    return true;
  }
  if (!GetHighestSP(highest, folder)) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Failed to get highest feature release number from directory [%s]", folder);
    return false;
  }
  if (highest.GetMajor() == 0) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Feature Release directory [%s] is present but no feature release to load",
                     folder);
    return true;
  }
  std::string spFolder = featureReleasesFolder;
  FindNewSPPathForOS(osId, highest, spFolder);
  return LoadInstallMap(*this, kFeatureReleaseMap, spFolder + "/Config", osId, spFolder, map,
                        mapFiles);
}

bool KQUpdateCache::LoadInstallFileChecksum(std::string installFolder, int osId,
                                            UpdatePatches::InstallFiles* map,
                                            std::vector<UpdatePatches::File>* mapFiles) {
  UnixPath(installFolder);
  return LoadInstallMap(*this, kInstallerMap, installFolder, osId, installFolder, map, mapFiles);
}

bool KQUpdateCache::GetInstallFilesCheckSumList(std::string installFolder, int osId,
                                                std::vector<UpdatePatches::File>* out) {
  static const char* const kTag = "[GetInstallFilesCheckSumList]";
  UnixPath(installFolder);
  if (!isFilePresent(installFolder.c_str())) {
    m_event.DebugJob(1, kTag, m_jobId, "Install files folder [%s], does not exist. Nothing to do",
                     installFolder.c_str());
    return true;
  }
  if (out == nullptr) {
    m_event.DebugJob(1, kTag, m_jobId, "No list given for [%s]", installFolder.c_str());
    return false;
  }
  UpdatePatches::InstallFiles map;
  std::vector<UpdatePatches::File> mapFiles;
  if (!LoadInstallFileChecksum(installFolder, osId, &map, &mapFiles)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to read install files from cache for osid %d", osId);
    return false;
  }
  const std::vector<CNMessageBase>* files =
      static_cast<const UpdatePatches::InstallFiles&>(map).getlistobject(UpdatePatches::InstallFiles::kFiles);
  for (const CNMessageBase& f : *files) {
    const std::string& name = f.getstringByRef(UpdatePatches::File::kName);
    if (!kq::IsSafeRelativeName(name)) {
      m_event.DebugJob(1, kTag, m_jobId, "Leaving out installer file [%s]: not a relative name",
                       name.c_str());
      continue;
    }
    out->push_back(UpdatePatches::File(f));
    m_event.DebugJob(10, kTag, m_jobId, "Checksum of [%s]: [%s]", name.c_str(),
                     f.getstringByRef(UpdatePatches::File::kChecksum).c_str());
  }
  out->insert(out->end(), mapFiles.begin(), mapFiles.end());
  return true;
}
