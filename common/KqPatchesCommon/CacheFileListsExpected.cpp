// The Hubnode's expected file lists of one release and operating system: what a remote cache
// serving a package list on a binary set should hold, built from the Hubnode's cache folders and
// install maps (feature release up to release 15, package media from release 16, applicable
// loose updates and update packs, installer files).
#include <algorithm>

#include "CacheFileListsInternal.h"
#include "CachePaths.h"
#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PackageCache.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "Vocabulary.h"

using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::PackageDesc;

namespace {

constexpr int kFirstMediaRelease = 16;
const char kLooseUpdates[] = "LooseUpdates";

// The payload folder of an operating system in a media release: its name for Unix systems,
// "BinaryPayload32" for id 1, "BinaryPayload" for the others.
std::string PayloadFolder(int osId) {
  if (IsUnix(osId)) {
    const char* name = kqlists::KnownOSName(osId);
    return name ? name : "";
  }
  return osId == 1 ? "BinaryPayload32" : "BinaryPayload";
}

// Where ReadCacheFilesPerRelOS looks for the media of a release from 16 on: the cache path cut
// before the operating system's loose-update folder, in the recut's folder when the feature
// release names one. looseLocation gets the loose-update folder looked for.
std::string MediaPathFor(std::string cachePath, int osId, const _SPVersion& featureRelease,
                         std::string* looseLocation = nullptr) {
  std::string loose = IsUnix(osId) ? PayloadFolder(osId) : osId == 1 ? "BinaryPayload32" : osId == 3 ? "BinaryPayload" : "";
  loose += std::string("/") + kLooseUpdates;
  const size_t at = cachePath.find(loose);
  if (at != std::string::npos) cachePath.erase(at);
  if (looseLocation) *looseLocation = loose;
  if (featureRelease.GetMajor() != 0 && featureRelease.GetTransId() != 0 && featureRelease.GetRevId() != 0)
    cachePath += "/" + featureRelease.getSPFolderNameStr() + "/" + (IsUnix(osId) ? "Unix" : "Windows");
  return cachePath;
}

bool EndsWithText(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

void KQUpdateCache::PrintFileCheckSumList(std::vector<File>* files) {
  if (files == nullptr) return;
  for (const File& f : *files)
    m_event.DebugJob(1, "", m_jobId, "[%s : %s]", f.getstringByRef(File::kName).c_str(),
                     f.getstringByRef(File::kChecksum).c_str());
}

void KQUpdateCache::PrintFileCheckSumList(std::vector<BinaryV11>* files) {
  if (files == nullptr) return;
  for (const BinaryV11& f : *files)
    m_event.DebugJob(1, "", m_jobId, "[%s : %s]", f.getstringByRef(BinaryV11::kRelativePath).c_str(),
                     f.getstringByRef(BinaryV11::kChecksum).c_str());
}

void KQUpdateCache::PrependLooseUpdateLoc(int osId, std::vector<File>* files, bool isUpdatePack) {
  if (files == nullptr) return;
  std::string prefix = PayloadFolder(osId) + "/" + kLooseUpdates + "/";
  if (!isUpdatePack) prefix += "Updates/";
  for (File& f : *files) f.setstring(File::kName, prefix + f.getstringByRef(File::kName));
}

void KQUpdateCache::ConvertFileListToBinaryV11List(std::vector<File>& files, std::vector<BinaryV11>& out) {
  out.reserve(out.size() + files.size());
  for (const File& f : files) {
    BinaryV11 b;
    b.reserveFields(3);
    const std::string& name = f.getstringByRef(File::kName);
    b.setstring(BinaryV11::kRelativePath, name);
    b.setstring(BinaryV11::kFileName, name);
    b.setstring(BinaryV11::kChecksum, f.getstringByRef(File::kChecksum));
    out.push_back(std::move(b));
  }
}

bool KQUpdateCache::GetServicePackFilesCheckSumList(std::string featureReleasesFolder, int osId,
                                                    int binarySetId, _SPVersion& featureRelease,
                                                    std::vector<PackageDesc>* packages,
                                                    std::vector<File>* out) {
  static const char* const kTag = "[GetServicePackFilesCheckSumList]";
  if (out == nullptr) return false;
  UpdatePatches::ServicePack map;
  std::vector<File> mapFiles;
  if (!LoadSPInstallMap(featureReleasesFolder, osId, featureRelease, &map, &mapFiles)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to read SP info from cache for osid %d", osId);
    return false;
  }
  if (featureRelease.GetMajor() == 0) {
    m_event.DebugJob(1, kTag, m_jobId, "Feature Release is not present in cache.");
    return true;
  }
  std::vector<File> collected;
  kqlists::AppendConfigFiles(m_event, m_jobId, kTag, map, UpdatePatches::ServicePack::kConfigFiles, "",
                             "Feature Release config file : [%s] Checksum: [%s]", "", collected);
  for (const CNMessageBase& u : *static_cast<const CNMessageBase&>(map).getlistobject(UpdatePatches::ServicePack::kUpdates)) {
    UpdatePatches::SingleUpdate update(u);
    const std::string& name = update.getstringByRef(UpdatePatches::SingleUpdate::kName);
    bool applicable = false;
    LoadApplicableBinFromUpdate(binarySetId, packages, &update, &applicable, &collected, false);
    if (applicable)
      kqlists::AppendConfigFiles(m_event, m_jobId, kTag, update, UpdatePatches::SingleUpdate::kConfigFiles, "",
                                 "Applicable Update [%s] : config file : [%s]", name, collected);
    else
      m_event.DebugJob(10, kTag, m_jobId, "Feature Release update [%s] is not applicable", name.c_str());
  }
  collected.insert(collected.end(), mapFiles.begin(), mapFiles.end());
  const size_t total = collected.size();
  collected.erase(std::remove_if(collected.begin(), collected.end(),
                                 [](const File& f) { return f.getstringByRef(File::kChecksum) == "0"; }),
                  collected.end());
  const size_t kept = kqlists::KeepFirstOfEachName(collected);
  out->insert(out->end(), std::make_move_iterator(collected.begin()), std::make_move_iterator(collected.end()));
  m_event.DebugJob(1, kTag, m_jobId, "Applicable Feature Release files: Total=[%lu] Unique=[%lu]",
                   static_cast<unsigned long>(total), static_cast<unsigned long>(kept));
  return true;
}

// The Windows medium's package catalogue lies at its root beside "BinaryInfo.xml", which the
// media file set names while no package names the catalogue. A remote cache's answer lists both
// (files at the root of its "Windows" folder), so without these entries in what the remote cache
// should hold the catalogue would be deleted from every remote cache, which then could no longer
// read its own medium.
void KQUpdateCache::AppendWindowsPackageCatalogue(const std::string& mediaPath, int osId,
                                                  std::vector<BinaryV11>& mediaFiles) {
  static const char* const kTag = "[GetCacheFilesFromXMLPerRelOS]";
  for (const char* name : {"WinPackages.xml", "WinPackages.xml.description"}) {
    const bool listed = std::any_of(mediaFiles.begin(), mediaFiles.end(), [name](const BinaryV11& b) {
      return b.getstringByRef(BinaryV11::kRelativePath) == name;
    });
    std::string path = mediaPath + "/" + name;
    UnixPath(path);
    std::string checksum;
    if (listed || !isFilePresent(path.c_str()) || IsADirectory(path.c_str())) continue;
    if (!CalculateFileCksumForFile(osId, path, checksum)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate the checksum of [%s]", path.c_str());
      continue;
    }
    BinaryV11 b;
    b.setstring(BinaryV11::kChecksum, checksum);
    b.setstring(BinaryV11::kFileName, name);
    b.setstring(BinaryV11::kRelativePath, name);
    mediaFiles.push_back(std::move(b));
    m_event.DebugJob(2, kTag, m_jobId, "Added package catalogue file [%s]", name);
  }
}

bool KQUpdateCache::ReadCacheFilesPerRelOS(std::string cachePath, int releaseId, int osId, int binarySetId,
                                           _SPVersion& featureRelease, std::vector<PackageDesc>* packages,
                                           std::vector<File>* featureReleaseFiles, std::vector<File>* looseFiles,
                                           std::vector<File>* installFiles, std::vector<BinaryV11>* mediaFiles,
                                           bool installUpdatesJob, std::string updatePackLevel) {
  static const char* const kTag = "[ReadCacheFilesPerRelOS]";
  if (packages == nullptr || featureReleaseFiles == nullptr || looseFiles == nullptr || installFiles == nullptr ||
      mediaFiles == nullptr) {
    m_event.DebugJob(1, kTag, m_jobId, "A list given for [%s] is null", cachePath.c_str());
    return false;
  }
  // An operating system without a name in the vocabulary would put an empty or null name into
  // the folders below.
  if (kqlists::KnownOSName(osId) == nullptr) {
    m_event.DebugJob(1, kTag, m_jobId, "Unknown OS ID [%d] for [%s]", osId, cachePath.c_str());
    return false;
  }
  if (installUpdatesJob && !updatePackLevel.empty() && !kqlists::IsOneFolderName(updatePackLevel)) {
    m_event.DebugJob(1, kTag, m_jobId, "Update pack level [%s] is not one folder name", updatePackLevel.c_str());
    return false;
  }
  m_event.DebugJob(2, kTag, m_jobId, "cachepath = [%s]", cachePath.c_str());
  const bool media = releaseId >= kFirstMediaRelease;

  if (!media) {
    if (!GetServicePackFilesCheckSumList(cachePath + "/ServicePacks", osId, binarySetId, featureRelease, packages,
                                         featureReleaseFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for feature release");
      return false;
    }
    if (featureReleaseFiles->empty()) {
      m_event.DebugJob(1, kTag, m_jobId, "No feature release files are present for nRemoteClientOSId [%d]:", osId);
    } else if (m_event.GetDebugLevel() > 9) {
      m_event.DebugJob(10, kTag, m_jobId,
                       "Checksum information for feature release files from [%s] for nRemoteClientOSId [%d]:",
                       cachePath.c_str(), osId);
      PrintFileCheckSumList(featureReleaseFiles);
    }
  }

  std::string mediaPath = cachePath;
  std::string binaryFolder;
  if (media) {
    const std::string payload = PayloadFolder(osId);
    std::string looseLocation;
    mediaPath = MediaPathFor(cachePath, osId, _SPVersion(), &looseLocation);
    m_event.DebugJob(1, kTag, m_jobId, "Modified media path for latest release is [%s] and Loose Updates [%s]",
                     mediaPath.c_str(), looseLocation.c_str());
    if (featureRelease.GetMajor() != 0 && featureRelease.GetTransId() != 0 && featureRelease.GetRevId() != 0) {
      mediaPath = MediaPathFor(cachePath, osId, featureRelease);
      m_event.DebugJob(2, kTag, m_jobId, "Updated media path after adding SP recut name is [%s]", mediaPath.c_str());
    }
    binaryFolder = mediaPath + "/" + payload;
    UnixPath(binaryFolder);
    if (!kqlists::IsFolderPresent(binaryFolder)) {
      m_event.DebugJob(1, kTag, m_jobId, "Packages are not present under %s", binaryFolder.c_str());
      return true;
    }
    std::vector<unsigned> ids;
    for (const PackageDesc& p : *packages) ids.push_back(static_cast<unsigned>(p.getint64(PackageDesc::kPackageId)));
    const size_t given = ids.size();
    if (!ComputeKQMedia(mediaPath, osId, binarySetId, static_cast<unsigned long>(m_jobId), ids, *mediaFiles, true)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for media files from [%s]",
                       mediaPath.c_str());
      return false;
    }
    for (size_t i = given; i < ids.size(); ++i) {
      PackageDesc d;
      d.setint64(PackageDesc::kPackageId, ids[i]);
      packages->push_back(d);
      m_event.DebugJob(2, kTag, m_jobId, "Adding dependent package id [%d]", static_cast<int>(ids[i]));
    }
  }

  std::string looseRoot = cachePath;
  if (media) {
    std::string trimmed = cachePath;
    if (!trimmed.empty() && (trimmed.back() == '/' || trimmed.back() == '\\')) trimmed.pop_back();
    if (!EndsWithText(trimmed, kLooseUpdates)) looseRoot = binaryFolder + "/" + kLooseUpdates;
  }
  const std::string updatesFolder = looseRoot + "/Updates";
  std::vector<File> packFiles;
  if (!installUpdatesJob) {
    m_event.DebugJob(1, kTag, m_jobId, "This is remote cache cache sync operation");
    if (kqlists::IsFolderPresent(updatesFolder)) {
      m_event.DebugJob(1, kTag, m_jobId, "Updates folder [%s] exists, adding applicable updates information.",
                       updatesFolder.c_str());
      if (!GetLooseUpdateFilesCheckSumList(updatesFolder, osId, binarySetId, packages, looseFiles, nullptr)) {
        m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for loose updates");
        return false;
      }
    }
    m_event.DebugJob(1, kTag, m_jobId, "Checking if any update pack exists at [%s].", looseRoot.c_str());
    if (!GetAllCumulativeUpdatePackFilesCheckSumList(looseRoot, osId, binarySetId, packages, &packFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for Cumulative update packs.");
      return false;
    }
  } else if (updatePackLevel.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "Install updates job does not have update pack level, checking if loose updates exists");
    if (kqlists::IsFolderPresent(updatesFolder)) {
      m_event.DebugJob(1, kTag, m_jobId, "Updates folder [%s] exsist", updatesFolder.c_str());
      if (!GetLooseUpdateFilesCheckSumList(updatesFolder, osId, binarySetId, packages, looseFiles, nullptr)) {
        m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for loose updates");
        return false;
      }
    }
  } else {
    m_event.DebugJob(1, kTag, m_jobId, "Install updates job has update pack level set to [%s].", updatePackLevel.c_str());
    if (!GetCumulativeUpdatePackFilesCheckSumList(looseRoot, osId, binarySetId, updatePackLevel, packages, &packFiles,
                                                  true)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list for Cumulative update pack [%s].",
                       updatePackLevel.c_str());
      return false;
    }
  }

  if (!featureReleaseFiles->empty() || !looseFiles->empty() || !packFiles.empty()) {
    if (!GetInstallFilesCheckSumList(looseRoot, osId, installFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to get file-checksum list from install files");
      return false;
    }
  }

  const bool verbose = m_event.GetDebugLevel() > 9;
  if (!media) {
    if (looseFiles->empty()) {
      m_event.DebugJob(1, kTag, m_jobId, "No additional update files for nRemoteClientOSId [%d]:", osId);
    } else if (verbose) {
      m_event.DebugJob(10, kTag, m_jobId,
                       "Checksum information for addional update files from [%s] for nRemoteClientOSId [%d]:",
                       cachePath.c_str(), osId);
      PrintFileCheckSumList(looseFiles);
    }
    if (installFiles->empty()) {
      m_event.DebugJob(1, kTag, m_jobId, "No installation files for nRemoteClientOSId [%d]:", osId);
    } else if (verbose) {
      m_event.DebugJob(10, kTag, m_jobId,
                       "Checksum information for installation files from [%s] for nRemoteClientOSId [%d]:",
                       cachePath.c_str(), osId);
      PrintFileCheckSumList(installFiles);
    }
    return true;
  }

  PrependLooseUpdateLoc(osId, looseFiles, false);
  ConvertFileListToBinaryV11List(*looseFiles, *mediaFiles);
  looseFiles->clear();
  if (!packFiles.empty()) {
    m_event.DebugJob(2, kTag, m_jobId, "Update pack files size [%zu]:", packFiles.size());
    PrependLooseUpdateLoc(osId, &packFiles, true);
    if (verbose) {
      m_event.DebugJob(10, kTag, m_jobId, "Checksum information for update pack files from [%s] for os id [%d]:",
                       cachePath.c_str(), osId);
      for (const File& f : packFiles)
        m_event.DebugJob(10, kTag, m_jobId, "file = [%s] : checksum = [%s]", f.getstringByRef(File::kName).c_str(),
                         f.getstringByRef(File::kChecksum).c_str());
    }
    ConvertFileListToBinaryV11List(packFiles, *mediaFiles);
  }
  PrependLooseUpdateLoc(osId, installFiles, true);
  ConvertFileListToBinaryV11List(*installFiles, *mediaFiles);
  installFiles->clear();
  if (mediaFiles->empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "No media files found from [%s] for nRemoteClientOSId [%d]:", cachePath.c_str(),
                     osId);
  } else if (verbose) {
    m_event.DebugJob(10, kTag, m_jobId, "Checksum information for media files from [%s] for nRemoteClientOSId [%d]:",
                     cachePath.c_str(), osId);
    PrintFileCheckSumList(mediaFiles);
  }
  return true;
}

namespace {

// The lists of one release and operating system as the builder leaves them.
struct PerRelOSLists {
  std::vector<File> featureRelease, loose, installer;
  std::vector<BinaryV11> media;
  bool built = false;  // false: the release has no name, nothing was built
};

}  // namespace

// Places the folder of a release and operating system below the cache root and builds its
// lists. False when an argument is unusable or the builder fails.
static bool BuildPerRelOS(KQUpdateCache& cache, const std::string& cachePath, int releaseId, int osId,
                          int binarySetId, _SPVersion* featureRelease, std::vector<PackageDesc>* packages,
                          bool resultGiven, bool installUpdatesJob, const std::string& updatePackLevel,
                          PerRelOSLists& lists) {
  static const char* const kTag = "[GetCacheFilesFromXMLPerRelOS]";
  EvDebug& log = cache.log();
  const long long job = static_cast<long long>(cache.jobId());
  if (packages == nullptr || featureRelease == nullptr || !resultGiven) {
    log.DebugJob(1, kTag, job, "No package list, feature release or result given for [%s]", cachePath.c_str());
    return false;
  }
  if (kqlists::KnownOSName(osId) == nullptr) {
    log.DebugJob(1, kTag, job, "Unknown OS ID [%d] for [%s]", osId, cachePath.c_str());
    return false;
  }
  if (GetRelNameFromId(releaseId).empty()) {
    log.DebugJob(1, kTag, job, "Release [%d] has no name, nothing to list", releaseId);
    return true;
  }
  std::string folder = cachePath;
  log.DebugJob(2, kTag, job, "local cache directory is %s", folder.c_str());
  if (releaseId >= kFirstMediaRelease && featureRelease->GetMajor() != 0 && featureRelease->GetTransId() != 0 &&
      featureRelease->GetRevId() != 0) {
    log.DebugJob(2, kTag, job, "SPNumber is set in Release request to %s", featureRelease->getMajorStr().c_str());
    folder += GetCacheReleaseFolder(releaseId);
  } else {
    StripTrailingBackslash(folder);
    if (!EndsWithText(folder, IsUnix(osId) ? "Unix" : "Windows")) FindInstallUpdPathForOS(releaseId, osId, folder);
  }
  log.DebugJob(10, kTag, job, "Calculating checksum from directory [%s]", folder.c_str());
  if (!cache.ReadCacheFilesPerRelOS(folder, releaseId, osId, binarySetId, *featureRelease, packages,
                                    &lists.featureRelease, &lists.loose, &lists.installer, &lists.media,
                                    installUpdatesJob, updatePackLevel)) {
    log.DebugJob(1, kTag, job, "Failed to get file-checksum list from SP, additional update and install files");
    return false;
  }
  if (releaseId >= kFirstMediaRelease && !IsUnix(osId) && !lists.media.empty())
    cache.AppendWindowsPackageCatalogue(MediaPathFor(folder, osId, *featureRelease), osId, lists.media);
  log.DebugJob(2, kTag, job, "The media file list for Rel[%d] OSId[%d] now has [%zu] files.", releaseId, osId,
               lists.media.size());
  lists.built = true;
  return true;
}

bool KQUpdateCache::GetCacheFilesFromXMLPerRelOS(std::string cachePath, int releaseId, int osId, int binarySetId,
                                                 _SPVersion* featureRelease, std::vector<PackageDesc>* packages,
                                                 FilesForOS* osFiles, bool installUpdatesJob,
                                                 std::string updatePackLevel) {
  if (!VocabularyReady(kVocabReleases | kVocabOSTypes, "[GetCacheFilesFromXMLPerRelOS]")) return false;
  PerRelOSLists lists;
  if (!BuildPerRelOS(*this, cachePath, releaseId, osId, binarySetId, featureRelease, packages, osFiles != nullptr,
                     installUpdatesJob, updatePackLevel, lists))
    return false;
  if (!lists.built) return true;
  if (releaseId < kFirstMediaRelease) {
    osFiles->setlistobject(FilesForOS::kSPFiles, kqlists::AsMessages(lists.featureRelease));
    osFiles->setlistobject(FilesForOS::kLooseUpdateFiles, kqlists::AsMessages(lists.loose));
    osFiles->setlistobject(FilesForOS::kInstallerFiles, kqlists::AsMessages(lists.installer));
  }
  osFiles->setlistobject(FilesForOS::kMediaFiles, kqlists::AsMessages(lists.media));
  return true;
}

bool KQUpdateCache::GetCacheFilesFromXMLPerRelOS(std::string cachePath, int releaseId, int osId, int binarySetId,
                                                 _SPVersion* featureRelease, std::vector<PackageDesc>* packages,
                                                 std::vector<FilesForRel>* releases, bool installUpdatesJob,
                                                 std::string updatePackLevel) {
  if (!VocabularyReady(kVocabReleases | kVocabOSTypes, "[GetCacheFilesFromXMLPerRelOS]")) return false;
  PerRelOSLists lists;
  if (!BuildPerRelOS(*this, cachePath, releaseId, osId, binarySetId, featureRelease, packages, releases != nullptr,
                     installUpdatesJob, updatePackLevel, lists))
    return false;
  if (lists.built)
    ConvertCacheFilesPerRelOS(releaseId, osId, &lists.featureRelease, &lists.loose, &lists.installer, &lists.media,
                              releases);
  return true;
}

void KQUpdateCache::ConvertCacheFilesPerRelOS(int releaseId, int osId, std::vector<File>* featureReleaseFiles,
                                              std::vector<File>* looseFiles, std::vector<File>* installFiles,
                                              std::vector<BinaryV11>* mediaFiles, std::vector<FilesForRel>* releases) {
  if (releases == nullptr) return;
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, osId);
  if (featureReleaseFiles) os.setlistobject(FilesForOS::kSPFiles, kqlists::AsMessages(*featureReleaseFiles));
  if (looseFiles) os.setlistobject(FilesForOS::kLooseUpdateFiles, kqlists::AsMessages(*looseFiles));
  if (installFiles) os.setlistobject(FilesForOS::kInstallerFiles, kqlists::AsMessages(*installFiles));
  if (mediaFiles) os.setlistobject(FilesForOS::kMediaFiles, kqlists::AsMessages(*mediaFiles));
  for (FilesForRel& rel : *releases) {
    if (rel.getint64(FilesForRel::kReleaseId) != releaseId) continue;
    rel.getlistobject(FilesForRel::kOSList)->push_back(os);
    return;
  }
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, releaseId);
  rel.getlistobject(FilesForRel::kOSList)->push_back(os);
  releases->push_back(rel);
}
