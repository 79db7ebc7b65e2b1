// The media file set of a package list: the files of a media tree (with their checksums) that a
// list of packages and its dependency closure need for one operating system and binary set.
#include <strings.h>

#include <algorithm>
#include <map>
#include <string_view>

#include "Configuration/KQPlatformInfo.h"
#include "FileSystemUtils.h"
#include "PackageCache.h"
#include "PackageCacheInternal.h"
#include "PackageCatalogueFields.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "KQUpdateCache.h"
#include "VersionFiles.h"
#include "Vocabulary.h"

namespace {

const char kThirdPartySetName[] = "ThirdPartyPackage";
const char kMssqlFolder[] = "ThirdParty\\MSSQL\\";
const char kOemFolder[] = "\\OEM\\";
constexpr unsigned kNeverMappedPackage = 1902;
constexpr unsigned kOemPackage = 10001;

// One file of the set: the catalogue's record, or a record made here (the catalogue files).
struct MediaFile {
  std::string_view name, relativePath, checksum;
};

// The file set, ordered bytewise by relative path; the first record of a path stays. Records are
// gathered in order and sorted once (stably, so that of equal paths the first stays).
class FileSet {
 public:
  void emplace(std::string_view relativePath, const MediaFile& file) {
    files_.push_back(file);
    files_.back().relativePath = relativePath;
  }
  bool empty() const { return files_.empty(); }
  // Sorts and drops the later records of a path; call once, before walking the set.
  const std::vector<MediaFile>& Ordered() {
    std::stable_sort(files_.begin(), files_.end(), [](const MediaFile& a, const MediaFile& b) {
      return a.relativePath < b.relativePath;
    });
    files_.erase(std::unique(files_.begin(), files_.end(),
                             [](const MediaFile& a, const MediaFile& b) {
                               return a.relativePath == b.relativePath;
                             }),
                 files_.end());
    return files_;
  }

 private:
  std::vector<MediaFile> files_;
};

// prefix + text in one allocation.
std::string Prefixed(const std::string& prefix, std::string_view text) {
  std::string out;
  out.reserve(prefix.size() + text.size());
  out.append(prefix).append(text);
  return out;
}

UpdatePatches::BinaryV11 MakeRecord(const std::string& name, const std::string& relativePath,
                                    const std::string& checksum) {
  UpdatePatches::BinaryV11 r;
  r.setstring(kqcat::kBvChecksum, checksum);
  r.setstring(kqcat::kBvFileName, name);
  r.setstring(kqcat::kBvRelativePath, relativePath);
  return r;
}

std::string IdList(const std::set<unsigned>& ids) {
  std::string out;
  for (unsigned id : ids) out += std::to_string(id) + ", ";
  return out;
}

// The checksum text of a file as the synchronisation compares it; empty when it cannot be read.
std::string FileChecksum(int osId, const std::string& path, bool releaseBuild) {
  KQUpdateCache cache(0, releaseBuild);
  std::string checksum;
  cache.CalculateFileCksumForFile(osId, path, checksum);
  return checksum;
}

}  // namespace

bool isBinaryV11LessThan(const UpdatePatches::BinaryV11& a, const UpdatePatches::BinaryV11& b) {
  return a.getstringByRef(kqcat::kBvRelativePath) < b.getstringByRef(kqcat::kBvRelativePath);
}

bool KQPackageCache::GetUnixRootFiles(std::vector<UpdatePatches::StringVal>& rootFiles) {
  const CNMessageBase& cat = unixCatalogue();
  for (const KqFieldId* list : {&kqcat::kGroupList, &kqcat::kRootFilesList2}) {
    const std::vector<CNMessageBase>* files = kqcat::GroupList(cat, kqcat::kPdRootFiles, *list);
    if (!files) continue;
    for (const CNMessageBase& f : *files) rootFiles.emplace_back(f);
  }
  return true;
}

bool KQPackageCache::AddUnixCustomOemFile(int osId, std::vector<UpdatePatches::BinaryV11>& files) {
  static const char* const kTag = "[AddUnixCustomOemFile]";
  std::string path = (IsUnix(osId) ? m_unixDvdLocation : m_winDvdLocation) + "\\" + "OEMInfo.xml";
  UnixPath(path);
  if (!isFilePresent(path.c_str())) {
    m_log.DebugJob(0, kTag, m_jobId, "custom oem file %s is not present", path.c_str());
    return false;
  }
  m_log.DebugJob(0, kTag, m_jobId,
                 "custom oem file %s present, trying to add this file to list of Unix Media root files.",
                 path.c_str());
  files.push_back(MakeRecord("OEMInfo.xml", "OEMInfo.xml", FileChecksum(osId, path, m_releaseBuild)));
  m_log.DebugJob(0, kTag, m_jobId, "custom oem file %s is added to list of Unix Media root files.",
                 path.c_str());
  return true;
}

bool KQPackageCache::ComputeKQMediaForRemoteActivity(std::vector<unsigned>& pkgIds, int osId,
                                                     int bsId,
                                                     std::vector<UpdatePatches::BinaryV11>& files,
                                                     std::string* root) {
  static const char* const kTag = "[ComputeKQMediaForRemoteActivity]";
  const bool unix = IsUnix(osId);
  const UpdatePatches::PackageDetails& cat = catalogueFor(unix);
  const bool verbose = m_log.GetDebugLevel() > 9;
  KQPlatformInfo config;

  // 1. SkipDownload filtering, unless this platform is told to ignore it.
  bool filtering = true;
  if (config.getKQPlatformType() & 1) {
    unsigned int ignore = 0;
    if (config.getNumber("UpdateFlags", "nIgnoreSkipDownload", ignore) && ignore != 0) {
      m_log.Debug(kTag,
                  "Registry key [%s\\%s] is set to [%u], ignore SkipDownload key in pacakge XML file.",
                  "UpdateFlags", "nIgnoreSkipDownload", ignore);
      filtering = false;
    }
  }
  if (verbose) {
    if (pkgIds.empty()) {
      m_log.DebugLvl(kTag, 10, "Input package Ids list is empty, OS Id [%d] and BS Id [%d]", osId, bsId);
    } else {
      std::string list;
      for (unsigned id : pkgIds) list += std::to_string(id) + ", ";
      m_log.DebugLvl(kTag, 10, "Input package Ids list is [%s], OS Id [%d] and BS Id [%d]",
                     list.c_str(), osId, bsId);
    }
  }
  // 3. Windows media name their binary sets by operating system.
  if (!unix) bsId = osId;
  const std::string& media = unix ? m_unixDvdLocation : m_winDvdLocation;

  // 4. Skip set.
  std::set<unsigned> skip;
  const std::vector<CNMessageBase>* pkgInfos = kqcat::GroupList(cat, kqcat::kPdPkgInfos);
  if (filtering && pkgInfos) {
    for (const CNMessageBase& info : *pkgInfos) {
      if (!info.isSet(kqcat::kPiSkipDownload.index) || kqcat::IntOf(info, kqcat::kPiSkipDownload) == 0)
        continue;
      unsigned id = static_cast<unsigned>(kqcat::IntOf(info, kqcat::kPiPackageId));
      m_log.DebugLvl(kTag, 10,
                     "SkipDownload flag is set for package [%u : %s] and is not installed on any "
                     "client, ignoring this package",
                     id, info.getstringByRef(kqcat::kPiName).c_str());
      skip.insert(id);
    }
  } else if (pkgInfos) {
    m_log.DebugLvl(kTag, 10, "SkipDownload filtering is disabled.");
  } else {
    m_log.Debug(kTag, "Pkg section in package XML is emtpy.");
  }

  // 5. Dependency map of the binary set.
  std::map<unsigned, packageDepEntry> depMap;
  const std::vector<CNMessageBase>* details = kqcat::GroupList(cat, kqcat::kPdPkgDetails);
  if (details) {
    for (const CNMessageBase& entry : *details) {
      long long pid = kqcat::IntOf(entry, kqcat::kPkdPackageId);
      if (pid == kNeverMappedPackage) continue;
      if (bsId != 0 && kqcat::IntOf(entry, kqcat::kPkdBinarySetId) != bsId) continue;
      if (pid == 0 || skip.count(static_cast<unsigned>(pid))) {
        m_log.DebugLvl(kTag, 10, "Package Id [%lld] is skipped, continuing", pid);
        continue;
      }
      packageDepEntry& node = depMap[static_cast<unsigned>(pid)];
      if (const auto* deps = kqcat::ListOf(entry, kqcat::kPkdDependencies)) {
        for (const CNMessageBase& dep : *deps) {
          long long id = kqcat::IntOf(dep, kqcat::kPvPackageId);
          if (id > 0 && !skip.count(static_cast<unsigned>(id))) node.deps.insert(static_cast<unsigned>(id));
        }
      }
      if (const auto* deps = kqcat::ListOf(entry, kqcat::kPkdThirdPartyDeps)) {
        for (const CNMessageBase& dep : *deps) {
          long long id = kqcat::IntOf(dep, kqcat::kTpidPackageId);
          if (id != 0) node.deps.insert(static_cast<unsigned>(id));
        }
      }
    }
  }
  // 6. Third-party packages.
  const std::vector<CNMessageBase>* thirdParties = kqcat::GroupList(cat, kqcat::kPdThirdParty);
  if (thirdParties) {
    for (const CNMessageBase& tp : *thirdParties) {
      long long pid = kqcat::IntOf(tp, kqcat::kTpPackageId);
      if (pid <= 0) continue;
      auto [it, added] = depMap.try_emplace(static_cast<unsigned>(pid));
      if (added) it->second.isThirdParty = true;
      if (const auto* deps = kqcat::ListOf(tp, kqcat::kTpDependencies)) {
        for (const CNMessageBase& dep : *deps) {
          long long id = kqcat::IntOf(dep, kqcat::kTpidPackageId);
          if (id != 0) it->second.deps.insert(static_cast<unsigned>(id));
        }
      }
    }
  }
  if (verbose && (details || thirdParties)) {
    m_log.DebugLvl(kTag, 10, "Print packages dependency map:");
    m_log.DebugLvl(kTag, 10, "===================");
    for (const auto& [id, node] : depMap)
      m_log.DebugLvl(kTag, 10, "Package Id [%d] --> [%s]", static_cast<int>(id), IdList(node.deps).c_str());
    m_log.DebugLvl(kTag, 10, "===================");
  }

  // 8. Closure.
  std::set<unsigned> own, thirdParty;
  if (!pkgIds.empty()) {
    for (unsigned id : pkgIds) {
      if (skip.count(id)) {
        m_log.Debug(kTag, "Input package Id [%d] has SkipDownload flag set to true, ignoring it",
                    static_cast<int>(id));
        continue;
      }
      if (CalculateClosureWithLog(static_cast<int>(id), depMap, own, thirdParty, m_log) != 0) {
        m_log.Debug(kTag, "Error in calculating the dependecies for input packages list.");
        return false;
      }
    }
  } else {
    std::vector<std::pair<unsigned, bool>> all;
    for (const auto& [id, node] : depMap) all.emplace_back(id, node.isThirdParty);
    for (const auto& [id, isThirdParty] : all) {
      if (isThirdParty) {
        m_log.DebugLvl(kTag, 10, "Skipping thirdPaty package Id [%u]", id);
        continue;
      }
      if (skip.count(id)) {
        m_log.Debug(kTag, "Input package Id [%d] has SkipDownload flag set to true, ignoring it",
                    static_cast<int>(id));
        continue;
      }
      if (CalculateClosureWithLog(static_cast<int>(id), depMap, own, thirdParty, m_log) != 0) {
        m_log.Debug(kTag, "Error in calculating the dependecies for all packages list.");
        return false;
      }
    }
  }
  if (verbose)
    m_log.DebugLvl(kTag, 10, "Package set computed is [%s], third party package set computed is [%s]",
                   IdList(own).c_str(), IdList(thirdParty).c_str());

  // 10. Complete the caller's list with the dependencies found.
  // `own` holds each id once: only the caller's ids need looking up.
  std::vector<unsigned> listed(pkgIds.begin(), pkgIds.end());
  std::sort(listed.begin(), listed.end());
  for (unsigned id : own) {
    if (!std::binary_search(listed.begin(), listed.end(), id) && !skip.count(id)) {
      pkgIds.push_back(id);
      m_log.DebugLvl(kTag, 2, "Adding package Id [%d] into dependent list", static_cast<int>(id));
    } else {
      m_log.DebugLvl(kTag, 10, "Package Id [%d] is already in the input pkglst", static_cast<int>(id));
    }
  }

  // 11. OEM of this installation.
  if (!thirdParty.empty()) {
    if (m_oemId.empty()) {
      long long oem = 0;
      if (config.getNumber("", "nCurrentOEMId", oem) && oem != 0) m_oemId = std::to_string(oem);
    }
    m_log.DebugLvl(kTag, 2, "OEM = [%s]", m_oemId.c_str());
  }

  // 12. and 13. Collect the files of the selected packages.
  const std::vector<CNMessageBase>* binarySets = kqcat::ListOf(binaryCatalogue(), kqcat::kBiBinarySets);
  if (!binarySets) {
    m_log.Debug(kTag, "Error: Binary_Info section is not set");
    return false;
  }
  FileSet fileSet;
  const std::string prefix = (unix && !m_procName.empty()) ? m_procName + "/" : std::string();
  auto addFile = [&](const CNMessageBase& file, bool oemFiltered) {
    const std::string& rel = file.getstringByRef(kqcat::kBvRelativePath);
    const std::string& name = file.getstringByRef(kqcat::kBvFileName);
    if (rel.empty()) {
      m_log.Debug(kTag, "Skipping binary info entries which has no source patch set");
      return;
    }
    if (!kq::IsSafeRelativeName(rel)) {
      m_log.Debug(kTag, "Skipping file [%s] whose relative path [%s] leaves the media",
                  name.c_str(), rel.c_str());
      return;
    }
    size_t oemAt = oemFiltered ? rel.find(kOemFolder) : std::string::npos;
    if (oemAt != std::string::npos) {
      size_t from = oemAt + sizeof kOemFolder - 1;
      size_t to = rel.find('\\', from);
      std::string oem = rel.substr(from, to == std::string::npos ? std::string::npos : to - from);
      if (root) {
        // A Unix medium keeps each operating system's files below its own folder.
        std::string full = *root + "/" + prefix + rel;
        UnixPath(full);
        if (!isFilePresent(full.c_str())) {
          m_log.DebugLvl(kTag, 2, "OEM file [%s] does not exist in cache, skipping [%s]",
                         full.c_str(), name.c_str());
          return;
        }
      } else if (oem != m_oemId && oem != "1") {
        m_log.DebugJob(2, kTag, m_jobId, "Skip file [%s] because it's not for OEM [%s] or OEM 1",
                       name.c_str(), m_oemId.c_str());
        return;
      }
      m_log.DebugJob(2, kTag, m_jobId, "Keep OEM file [%s] for OEM [%s]", name.c_str(), m_oemId.c_str());
    }
    fileSet.emplace(rel, MediaFile{name, rel, file.getstringByRef(kqcat::kBvChecksum)});
  };
  for (const CNMessageBase& set : *binarySets) {
    const bool servesOwn = set.isSet(kqcat::kBsBinarySetId.index) &&
                           (bsId == 0 || kqcat::IntOf(set, kqcat::kBsBinarySetId) == bsId) &&
                           set.isSet(kqcat::kBsPackages.index);
    const bool servesThirdParty =
        !thirdParty.empty() &&
        strcasecmp(set.getstringByRef(kqcat::kBsName).c_str(), kThirdPartySetName) == 0;
    if (!servesOwn && !servesThirdParty) continue;
    const std::vector<CNMessageBase>* packages = kqcat::ListOf(set, kqcat::kBsPackages);
    if (!packages) continue;
    for (const CNMessageBase& pkg : *packages) {
      long long pid = kqcat::IntOf(pkg, kqcat::kPvPackageId);
      if (pid == 0 || pid != static_cast<unsigned>(pid)) continue;
      const unsigned id = static_cast<unsigned>(pid);
      const bool forOwn = servesOwn && own.count(id);
      const bool forThirdParty = servesThirdParty && thirdParty.count(id);
      if (!forOwn && !forThirdParty) continue;
      const std::vector<CNMessageBase>* pkgFiles = kqcat::ListOf(pkg, kqcat::kPvFiles);
      if (!pkgFiles) continue;
      if (forOwn)
        for (const CNMessageBase& f : *pkgFiles) addFile(f, false);
      if (forThirdParty) {
        const bool oemFiltered = id == kOemPackage && !m_oemId.empty();
        for (const CNMessageBase& f : *pkgFiles) addFile(f, oemFiltered);
      }
    }
  }
  if (fileSet.empty()) {
    m_log.Debug(kTag, "Error: No files retrieved from BinaryInfo.xml file");
    return false;
  }

  // 16. The binary catalogue itself and its description file.
  std::string description =
      media + "\\" + (m_procName.empty() ? std::string() : m_procName + "\\") + "BinaryInfo.xml.description";
  UnixPath(description);
  std::string catalogueChecksum;
  if (!ReadFileInString(description, catalogueChecksum, m_jobId)) {
    m_log.DebugJob(0, kTag, m_jobId, "Failed to read description file [%s]", description.c_str());
    return false;
  }
  static const std::string kBinaryInfo = "BinaryInfo.xml";
  static const std::string kBinaryInfoDescription = "BinaryInfo.xml.description";
  const std::string descriptionChecksum = FileChecksum(osId, description, m_releaseBuild);
  fileSet.emplace(kBinaryInfo, MediaFile{kBinaryInfo, kBinaryInfo, catalogueChecksum});
  fileSet.emplace(kBinaryInfoDescription,
                  MediaFile{kBinaryInfoDescription, kBinaryInfoDescription, descriptionChecksum});

  // 17. Output in ascending relative path.
  const std::vector<MediaFile>& ordered = fileSet.Ordered();
  files.reserve(files.size() + ordered.size());
  for (const MediaFile& f : ordered) {
    if (f.relativePath.find(kMssqlFolder) != std::string_view::npos || f.name.empty()) continue;
    UpdatePatches::BinaryV11& record = files.emplace_back();
    record.reserveFields(3);
    record.setstring(kqcat::kBvChecksum, std::string(f.checksum));
    record.setstring(kqcat::kBvFileName, Prefixed(prefix, f.name));
    record.setstring(kqcat::kBvRelativePath, Prefixed(prefix, f.relativePath));
  }
  if (!unix) return true;

  // 19. Root files of the Unix media.
  std::vector<UpdatePatches::StringVal> rootFiles;
  GetUnixRootFiles(rootFiles);
  for (const UpdatePatches::StringVal& rf : rootFiles) {
    const std::string& value = rf.getstringByRef(kqcat::kSvName);
    if (!kq::IsSafeRelativeName(value)) {
      m_log.Debug(kTag, "Skipping root file [%s] whose path leaves the media", value.c_str());
      continue;
    }
    if (value != "pkg.xml") {
      files.push_back(MakeRecord(value, value, rf.getstring(kqcat::kSvChecksum)));
      continue;
    }
    std::string pkgDescription = media + "\\" + "pkg.xml.description";
    UnixPath(pkgDescription);
    std::string pkgChecksum;
    if (!ReadFileInString(pkgDescription, pkgChecksum, m_jobId)) {
      m_log.DebugJob(0, kTag, m_jobId, "Failed to read description file [%s]", pkgDescription.c_str());
      return false;
    }
    files.push_back(MakeRecord("pkg.xml.description", "pkg.xml.description",
                               FileChecksum(osId, pkgDescription, m_releaseBuild)));
    files.push_back(MakeRecord(value, value, pkgChecksum));
  }
  AddUnixCustomOemFile(osId, files);
  return true;
}

bool ComputeKQMedia(std::string mediaPath, int osId, int bsId, unsigned long jobId,
                    std::vector<unsigned>& pkgIds, std::vector<UpdatePatches::BinaryV11>& files,
                    bool mediaIsRoot) {
  static const char* const kTag = "[ComputeKQMedia]";
  EvDebug log;
  std::string home;
  if (!KQPlatformInfo().getString("Base", "dVORLANHOME", home)) {
    log.Debug(kTag, "Failed to get Ostrane Home. ");
    home.clear();
  }
  const bool unix = IsUnix(osId);
  KQPackageCache cache(home, false, jobId, true);
  cache.setDvdLocation(mediaPath, !unix);
  if (unix) {
    const char* name = GetOSNameFromId(osId);
    if (!name) log.Debug(kTag, "No operating-system name for OS id [%d], proc name left empty", osId);
    cache.setProcName(name ? name : "");
  }
  bool ok = unix ? cache.ReadUnixPackageDetails(osId) : cache.ReadWinPackageDetails();
  if (ok) ok = cache.ComputeKQMediaForRemoteActivity(pkgIds, osId, bsId, files,
                                                     mediaIsRoot ? &mediaPath : nullptr);
  if (!ok) log.Debug(kTag, "Failed to compute reduced media");
  return ok;
}
