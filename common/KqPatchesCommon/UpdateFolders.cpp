// The name readers that list folders: update prefixes and service-pack
// folders. Listings come back in bytewise name order.
#include <cerrno>
#include <string>

#include "InstallUtils/KQInstallCommonUtils.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "UpdateNames.h"
#include "Vocabulary.h"

namespace {

bool StartsWithSP(const std::string& name) { return name.compare(0, 2, "SP") == 0; }

// The version of a service-pack folder or file name. A valid name whose major part is too large
// for the version's number cannot be read: false with a log line (other names quietly false).
bool ReadSPName(const std::string& name, _SPVersion& version, const char* tag) {
  if (_SPVersion::ParseSPName(name, &version)) return true;
  if (ReadServicePackName(name.data(), name.size(), nullptr) == kSPNameMajorTooLarge)
    EvDebug().Debug(tag, "Service pack [%s] has a major number too large to be read, skipped", name.c_str());
  return false;
}

}  // namespace

bool GetUnixUpdatePrefix(const char* folder, std::string& prefix) {
  if (folder == nullptr) return false;
  CPxDirectory dir;
  if (dir.Open(folder, "*", true).IsError()) return false;
  SPxDirEntry entry;
  bool end = false;
  for (CPxError e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    if (!isUpdateFileStrValid(entry.GetName(), UPDATETYPE_UPDATE, UPDATE_FILE_LOC_LOCAL)) continue;
    // A valid update name holds exactly two underscores.
    const std::size_t second = entry.name.find('_', entry.name.find('_') + 1);
    prefix = entry.name.substr(0, second + 1);
    return true;
  }
  return false;
}

bool GetHighestSP(_SPVersion& highest, const char* folder) {
  if (folder == nullptr) return false;
  CPxDirectory dir;
  const CPxError opened = dir.Open(folder, "*", true);
  if (opened.IsError()) {
    EvDebug().Debug("[GetHighestSP]", "Unable to open directory [%s] with error: [%s]", folder,
                    opened.c_str());
    return false;
  }
  _SPVersion best;
  SPxDirEntry entry;
  bool end = false;
  for (CPxError e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    if (!StartsWithSP(entry.name)) continue;
    _SPVersion version;
    if (!ReadSPName(entry.name, version, "[GetHighestSP]")) continue;  // no service pack
    if (version > best) best = version;
  }
  highest = best;
  return true;
}

bool getServicePackNumber(std::string mediaLocation, int osId, _SPVersion& sp) {
  static const char kTag[] = "[getServicePackNumber]";
  static const char kMedia[] = "KQMedia";
  static const char kWindows[] = "Windows";
  EvDebug log;
  log.DebugLvl(kTag, 10, "dvdloc: [%s]", mediaLocation.c_str());

  // The service packs of a media tree sit in the update tree beside it, under the same release
  // folder: "<root>/KQMedia/11.0.0/Windows/..." looks in "<root>//KQUpdates/11.0.0/<OS folder>".
  // Only the word itself is replaced; the release folder right after it is kept whole.
  std::string folder = mediaLocation;
  const std::size_t media = mediaLocation.find(kMedia);
  if (media != std::string::npos) {
    folder = mediaLocation.substr(0, media) + "/" + "KQUpdates" +
             mediaLocation.substr(media + sizeof(kMedia) - 1);
    const std::size_t windows = folder.rfind(kWindows);
    if (windows != std::string::npos)
      folder = folder.substr(0, windows) + "/" + (osId == 1 ? kWindows : GetCPUFolderName(osId));
  }
  folder += "/ServicePacks";
  if (KQInstallCommonUtils::KQInstallAccess(folder, 0) != 0) {
    log.Debug(kTag, "No Feature Release found %s", folder.c_str());
    return false;
  }

  CPxDirectory dir;
  const CPxError opened = dir.Open(folder, "*", true);
  if (opened.IsError()) {
    log.Debug(kTag, "Unable to open directory [%s] with error: [%s]", folder.c_str(),
              opened.c_str());
    return false;
  }
  SPxDirEntry entry;
  bool end = false;
  for (bool first = true;; first = false) {
    const CPxError next = dir.GetEntry(entry, &end);
    if (next.IsError()) {
      log.Debug(kTag,
                first ? "Unable to get entry on directory [%s] with error: [%s]"
                      : "Failed to get entry in the dir [%s] with error [%s]",
                folder.c_str(), next.c_str());
      return false;
    }
    if (end) return false;
    SPxFileStat info;
    const CPxError stat = CPxFile::Stat(folder + "/" + entry.name, info);
    if (stat.IsError()) {
      log.Debug(kTag, "Failed to stat on file [%s] with error [%s]", folder.c_str(), stat.c_str());
      return false;
    }
    _SPVersion found;
    if (info.IsDirectory() && StartsWithSP(entry.name) && ReadSPName(entry.name, found, kTag)) {
      sp.SetSPNumber(found);
      return true;
    }
  }
}
