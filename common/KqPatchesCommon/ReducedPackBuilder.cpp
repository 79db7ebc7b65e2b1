// Reduced update lists: location rewrite, the list builder's files relative to the location,
// the console subset, and the old-style media walk with its descriptor readers and filters.
#include "ReducedPackBuilder.h"

#include <algorithm>
#include <set>

#include "CachePaths.h"
#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "StringUtils.h"
#include "Vocabulary.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The position of the last occurrence of word that is a whole path component; npos if none.
std::size_t LastComponent(const std::string& path, const std::string& word) {
  std::size_t pos = path.rfind(word);
  while (pos != std::string::npos) {
    const std::size_t end = pos + word.size();
    if ((pos == 0 || IsSeparator(path[pos - 1])) && (end == path.size() || IsSeparator(path[end])))
      return pos;
    if (pos == 0) break;
    pos = path.rfind(word, pos - 1);
  }
  return std::string::npos;
}

void StripOneSeparator(std::string& path) {
  if (!path.empty() && IsSeparator(path.back())) path.pop_back();
}

// The OS table's name of an id; empty when the table has none.
std::string OSName(int osId) {
  const char* name = GetOSNameFromId(osId);
  return name ? name : "";
}

std::string PayloadFolder(int osId) {
  if (osId == 1) return "BinaryPayload32";
  if (osId == 3) return "BinaryPayload";
  return OSName(osId);
}

// One entry of a folder: its name, full path, and whether it is a real folder (never a link).
struct FolderEntry {
  std::string name, path;
  bool folder = false;
};
enum class Listing { kComplete, kUnreadable, kStatFailed };

// The entries of folder whose names do not begin with '.', in bytewise order, with their own
// status (links are not followed). When an entry's status cannot be read, the entries before it
// are given and failedPath names it.
Listing VisibleEntries(const std::string& folder, std::vector<FolderEntry>& out, std::string& failedPath) {
  CPxDirectory dir;
  if (dir.Open(folder).IsError()) return Listing::kUnreadable;
  SPxDirEntry entry;
  bool end = false;
  while (!dir.GetEntry(entry, &end).IsError() && !end) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    const std::string path = folder + "/" + entry.name;
    SPxFileStat st;
    if (CPxFile::Lstat(path, st).IsError()) {
      failedPath = path;
      return Listing::kStatFailed;
    }
    out.push_back(FolderEntry{entry.name, path, st.IsDirectory()});
  }
  return Listing::kComplete;
}

// Case-insensitive search with '\' and '/' counted alike; npos when absent.
std::size_t FindLoose(const std::string& text, const std::string& pattern) {
  std::string t = ToLowerCase(text.c_str()), p = ToLowerCase(pattern.c_str());
  UnixPath(t);
  UnixPath(p);
  return t.find(p);
}

}  // namespace

ReducedPackBuilder::ReducedPackBuilder() = default;
ReducedPackBuilder::~ReducedPackBuilder() = default;

std::string ReducedPackBuilder::ResolveLocation(const std::string& mediaLocation, int updateOSId,
                                                int& releaseId) const {
  static const std::string kMedia = "KQMedia";
  releaseId = -1;
  std::string location = mediaLocation;
  const std::size_t at = location.find(kMedia);
  if (at == std::string::npos) return location;
  std::size_t from = at + kMedia.size();
  if (from < location.size() && IsSeparator(location[from])) ++from;
  const std::size_t slash = from < location.size() ? location.find('/', from) : std::string::npos;
  if (slash == std::string::npos) return location;  // no release folder after it
  releaseId = GetRelIdFromName(location.substr(from, slash - from));
  if (releaseId > 15) return location;

  std::string before = location.substr(0, at);
  StripOneSeparator(before);
  location = before + "/KQUpdates" + location.substr(at + kMedia.size());
  std::size_t cut = LastComponent(location, "Unix");
  if (cut != std::string::npos) {
    location.resize(cut);
    StripOneSeparator(location);
    if (!m_unixSubFolder.empty()) location += "/" + m_unixSubFolder;
  }
  cut = LastComponent(location, "Windows");
  if (cut != std::string::npos) {
    location.resize(cut);
    StripOneSeparator(location);
    location += "/" + (updateOSId == 1 ? std::string("Windows") : GetCPUFolderName(updateOSId));
  }
  return location;
}

int ReducedPackBuilder::ComputeReducedUpdates(std::string mediaLocation, int updateOSId,
                                              std::vector<unsigned> packageIds,
                                              std::string& resolvedLocation,
                                              std::list<std::string>& files, unsigned long& totalSize,
                                              std::string& errorText, int binarySetId) {
  static const char* const kTag = "[ReducedPackBuilder::ComputeReducedUpdates]";
  (void)totalSize;
  int binarySet = binarySetId != 0 ? binarySetId : updateOSId;
  if (binarySet == 31) binarySet = 7;
  if (binarySet == 33) binarySet = 10;
  m_osId = updateOSId;
  m_log.Debug(kTag, "Input parameters: dvdloc[%s], updateOSID[%d], packageIDs[%s], bsId [%d]",
              mediaLocation.c_str(), updateOSId, VectorToString(packageIds, ",").c_str(), binarySetId);
  int releaseId = -1;
  const std::string location = ResolveLocation(mediaLocation, updateOSId, releaseId);
  resolvedLocation = location;
  if (!isFilePresent(location.c_str())) {
    errorText = "ComputeReducedUpdates: Unable to access dvd location [" + location + "]";
    m_log.Debug(kTag, "Unable to access dvd location [%s]", location.c_str());
    return 1;
  }
  std::vector<UpdatePatches::PackageDesc> packages;
  for (unsigned id : packageIds) {
    UpdatePatches::PackageDesc d;
    d.setint64(UpdatePatches::PackageDesc::kPackageId, id);
    packages.push_back(std::move(d));
  }
  // A new-layout location is read as a media release; every other one in the old layout.
  const bool newLayout = releaseId > 15;
  KQUpdateCache cache(0, false);
  _SPVersion featureRelease;
  std::vector<UpdatePatches::File> featureFiles, looseFiles, installFiles;
  std::vector<UpdatePatches::BinaryV11> mediaFiles;
  if (!cache.ReadCacheFilesPerRelOS(location, newLayout ? 16 : 15, updateOSId, binarySet, featureRelease,
                                    &packages, &featureFiles, &looseFiles, &installFiles, &mediaFiles,
                                    false, "")) {
    m_log.Debug(kTag, "Calculate dvd update files returned error for dvd location [%s], ", location.c_str());
    return 0;
  }
  auto add = [&](std::string name) {
    UnixPath(name);
    m_log.DebugLvl(kTag, 10, "[%s]", name.c_str());
    files.push_back(std::move(name));
  };
  if (newLayout) {
    const std::string prefix = PayloadFolder(updateOSId) + "/LooseUpdates/";
    m_log.DebugLvl(kTag, 10, "Adding loose update files and installer files using [%s]:", prefix.c_str());
    for (const UpdatePatches::BinaryV11& f : mediaFiles) {
      std::string name = f.getstring(UpdatePatches::BinaryV11::kRelativePath);
      std::string unixName = name;
      UnixPath(unixName);
      if (unixName.compare(0, prefix.size(), prefix) == 0) add(unixName.substr(prefix.size()));
    }
    return 1;
  }
  std::string featureFolder = "ServicePacks";
  FindNewSPPathForOS(updateOSId, featureRelease, featureFolder);
  m_log.DebugLvl(kTag, 10, "Adding SP files:");
  for (const UpdatePatches::File& f : featureFiles)
    add(featureFolder + "/" + f.getstring(UpdatePatches::File::kName));
  m_log.DebugLvl(kTag, 10, "Adding loose update files:");
  for (const UpdatePatches::File& f : looseFiles) add("Updates/" + f.getstring(UpdatePatches::File::kName));
  m_log.DebugLvl(kTag, 10, "Adding installer files:");
  for (const UpdatePatches::File& f : installFiles) add(f.getstring(UpdatePatches::File::kName));
  return 1;
}

int ReducedPackBuilder::ComputeReducedUpdatesForGUI(std::string mediaLocation, int updateOSId,
                                                    std::list<std::string>& files,
                                                    std::string& message) {
  static const char* const kTag = "[ComputeReducedUpdatesForGUI]";
  std::string resolved, error;
  std::list<std::string> all;
  unsigned long size = 0;
  if (!ComputeReducedUpdates(mediaLocation, updateOSId, {kConsolePackageId}, resolved, all, size, error, 0)) {
    m_log.Debug(kTag, "Failed to compute applicable updates for GUI");
    message = "Failed to compute GUI only applicable updates for Tessara Console";
    return 0;
  }
  if (all.empty()) {
    m_log.Debug(kTag, "No applicable updates found for Tessara Console");
    message = "No applicable updates found for Tessara Console";
    return 1;
  }
  static const std::string kPayload = "/BinaryPayload/", kConfig = "/Config/", kUpdates = "Updates/",
                           kJar = ".jar";
  auto isConsoleBinary = [](const std::string& e) {
    return FindLoose(e, kPayload) != std::string::npos && FindLoose(e, kJar) != std::string::npos;
  };
  std::set<std::string> consoleUpdates;
  for (const std::string& e : all) {
    if (!isConsoleBinary(e)) continue;
    std::string folder = ToLowerCase(e.substr(0, FindLoose(e, kPayload)).c_str());
    UnixPath(folder);
    consoleUpdates.insert(folder);
  }
  if (consoleUpdates.empty()) {
    m_log.Debug(kTag, "No GUI patches available");
    return 1;
  }
  for (const std::string& e : all) {
    if (isConsoleBinary(e)) {
      files.push_back(e);
      continue;
    }
    const std::size_t config = FindLoose(e, kConfig);
    if (config != std::string::npos) {
      std::string folder = ToLowerCase(e.substr(0, config).c_str());
      UnixPath(folder);
      if (consoleUpdates.count(folder)) files.push_back(e);
      continue;
    }
    if (FindLoose(e, kUpdates) == std::string::npos) files.push_back(e);
  }
  return 1;
}

void ReducedPackBuilder::SetUpdatesFolderUnix(std::string folder) {
  static const char* const kTag = "ReducedPackBuilder::SetUpdatesFolderUnix";
  const std::size_t slash = folder.rfind('/');
  const std::string last = slash == std::string::npos ? folder : folder.substr(slash + 1);
  const bool servicePack = last.find("SP") != std::string::npos;
  const bool unix = IsUnix(m_osId);
  std::vector<FolderEntry> entries;
  std::string failed;
  const Listing listing = VisibleEntries(folder, entries, failed);
  if (listing == Listing::kUnreadable) {
    m_errorText = "SetUpdatesFolderUnix: Unable to access dvd location[" + folder + "]";
    return;
  }
  for (const FolderEntry& e : entries) {
    const std::string& name = e.name;
    const std::string& path = e.path;
    if (!e.folder) continue;  // files, and links of any kind
    if (name == "Updates" && servicePack) {
      if (unix) m_extraFiles.push_back(folder + "/servicepack.ini");
      m_spUpdateFolder = path + (unix ? "/" + OSName(m_osId) : "");
      if (!m_quiet) m_log.DebugLvl(kTag, 10, "strSPUpdatePath [%s]", m_spUpdateFolder.c_str());
      return;
    }
    if (name == "Updates") {
      m_additionalUpdateFolder = path + (unix ? "/" + OSName(m_osId) : "");
      if (!m_quiet)
        m_log.DebugLvl(kTag, 10, last == "Updates" ? "1. strUpdatePath [%s]" : "2. strUpdatePath [%s]",
                       m_additionalUpdateFolder.c_str());
      return;
    }
    if (name == "Config" && servicePack) {
      m_configFolder = path;
      continue;
    }
    SetUpdatesFolderUnix(path);
  }
  if (listing == Listing::kStatFailed) m_errorText = "SetUpdatesFolderUnix: Unable to get stat for [" + failed + "]";
}

int ReducedPackBuilder::ReadUpdateIniUnix(const std::string& folder, std::list<INIInfoForPatch>& records,
                                          const char* name) {
  std::vector<FolderEntry> entries;
  std::string failed;
  const Listing listing = VisibleEntries(folder, entries, failed);
  if (listing == Listing::kUnreadable) {
    m_errorText = std::string(name) + ": Unable to open directory[" + folder + "]";
    return 0;
  }
  KQUpdateCache cache(0, false);
  for (const FolderEntry& e : entries) {
    if (!e.folder || e.name == "Config") continue;
    const std::string& entry = e.name;
    const std::string& path = e.path;
    INIInfoForPatch record;
    record.patchName = entry;
    if (!cache.ReadUpdateINIFile(record, path, true, false, "")) continue;
    record.patchName = folder + "/" + record.patchName;
    records.push_back(std::move(record));
  }
  if (listing == Listing::kStatFailed) {
    m_errorText = std::string(name) + ": Unable to get stat for directory[" + failed + "]";
    return 0;
  }
  return 1;
}

int ReducedPackBuilder::ReadSPUpdateIniUnix() {
  m_spUpdates.clear();
  if (m_spUpdateFolder.empty()) return 0;
  return ReadUpdateIniUnix(m_spUpdateFolder, m_spUpdates, "ReadSPUpdateIniUnix");
}

int ReducedPackBuilder::ReadAdditionalUpdateIniUnix() {
  m_additionalUpdates.clear();
  if (m_additionalUpdateFolder.empty()) return 1;
  return ReadUpdateIniUnix(m_additionalUpdateFolder, m_additionalUpdates, "ReadAdditionalUpdateIniUnix");
}

void ReducedPackBuilder::Filter(const std::list<INIInfoForPatch>& from, const std::string& tokens,
                                std::list<INIInfoForPatch>& to) {
  to.clear();
  std::vector<std::string> wanted;
  GetTokens(tokens, wanted);
  for (const INIInfoForPatch& record : from)
    if (FindInList(record.packages, wanted)) to.push_back(record);
}

int ReducedPackBuilder::FilterSPUpdates(std::string tokens) {
  Filter(m_spUpdates, tokens, m_filteredSPUpdates);
  return 1;
}

int ReducedPackBuilder::FilterAdditionalUpdates(std::string tokens) {
  Filter(m_additionalUpdates, tokens, m_filteredAdditionalUpdates);
  return 1;
}

void ReducedPackBuilder::GetFileListUnix(std::string folder) {
  std::vector<FolderEntry> entries;
  std::string failed;
  const Listing listing = VisibleEntries(folder, entries, failed);
  if (listing == Listing::kUnreadable) m_errorText = "GetFileListUnix: Unable to open directory[" + folder + "]";
  for (const FolderEntry& e : entries)
    if (!e.folder) m_extraFiles.push_back(e.path);
  if (listing == Listing::kStatFailed) m_errorText = "GetFileListUnix: Unable to get stat for [" + failed + "]";
}

int ComputeReducedUpdate(bool, std::string mediaLocation, int updateOSId,
                         std::vector<unsigned> packageIds, std::string& resolvedLocation,
                         std::list<std::string>& files, std::list<std::string>&,
                         unsigned long& totalSize, std::string& errorText, int binarySetId) {
  SetOSTypesInfo();
  ReducedPackBuilder builder;
  return builder.ComputeReducedUpdates(mediaLocation, updateOSId, packageIds, resolvedLocation, files,
                                       totalSize, errorText, binarySetId);
}

int ComputeReducedUpdateUNIX(std::string, std::string, std::vector<unsigned>, std::string&,
                             std::list<std::string>&, unsigned long&, std::string&, bool) {
  return 1;
}
