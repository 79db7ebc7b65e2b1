// Unix seed update trees: per Unix operating system of a media tree and per binary set its
// feature release or first update covers, the updates of the seed packages copied to
// <seed>/<binary set>/Updates/<OS>/<entry>.
//
// The seed folder is emptied at the start; it must be an absolute path other than "/" that is
// not the media location, not a folder above it and not a folder inside it (real locations are
// compared, so links and spellings such as "//" or ".." cannot hide either). Per operating system only its own
// <seed>/<binary set>/Updates/<OS> folder is emptied before copying, so operating systems that
// share a binary set keep each other's copies. Names from the media (binary-set names, list
// entries) are joined only through the shared path check.
#include <list>
#include <string>
#include <vector>

#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/SafePath.h"
#include "ReducedPackBuilder.h"
#include "Vocabulary.h"

namespace {

const std::vector<unsigned> kSeedPackages = {1002, 1003};

bool IsPlainComponent(const std::string& name) {
  return kq::IsSafeRelativeName(name) && name.find_first_of("/\\") == std::string::npos;
}

// Why the seed folder may not be emptied; empty when it may.
std::string SeedFolderProblem(const std::string& seed, const std::string& media) {
  if (seed.empty() || seed[0] != '/') return "Seed folder [" + seed + "] is not an absolute path";
  if (seed.find_first_not_of('/') == std::string::npos) return "Seed folder [" + seed + "] is the root folder";
  if (kq::IsSameOrInside(seed, media))
    return "Seed folder [" + seed + "] is the media location [" + media + "] or above it";
  if (kq::IsSameOrInside(media, seed))
    return "Seed folder [" + seed + "] lies inside the media location [" + media + "]";
  return std::string();
}

// Copies one list entry as what it is: a folder as a tree, anything else as a file.
bool CopyEntry(const std::string& source, const std::string& target) {
  SPxFileStat st;
  if (CPxFile::Lstat(source, st).IsError()) return false;
  if (st.IsDirectory()) return copyDirectory(source.c_str(), target.c_str(), false);
  if (st.IsLink()) return !CPxFile::CopyLink(source.c_str(), target.c_str()).IsError();
  return !CPxFile::Copy(source, target).IsError();
}

}  // namespace

std::string ComputeUnixSeedUpdates(std::string mediaLocation, std::string seedFolder, int osId) {
  static const char* const kTag = "[ComputeUnixSeedUpdates]";
  SetOSTypesInfo();
  EvDebug log;  // the default log is always set up
  const std::string problem = SeedFolderProblem(seedFolder, mediaLocation);
  if (!problem.empty()) {
    log.Debug(kTag, "%s, nothing is deleted", problem.c_str());
    return "INFO:" + problem;
  }
  log.DebugLvl(kTag, 1, "Deleting existing Seed Packages Directory %s", seedFolder.c_str());
  std::string error;
  if (!kq::RemoveTreeNoFollow(seedFolder, &error)) {
    log.Debug(kTag, "Failed to delete [%s]: %s", seedFolder.c_str(), error.c_str());
    return "INFO:Failed to delete the seed folder";
  }

  std::list<std::string> osNames;
  if (osId != 0) {
    if (const char* name = GetOSNameFromId(osId)) osNames.push_back(name);
  } else {
    GetFolderList(mediaLocation, osNames);
  }
  for (const std::string& osName : osNames) {
    const int id = GetOSIdFromName(osName);
    if (id < 0 || !IsUnix(id)) continue;
    const std::string osFolder = mediaLocation + "/" + osName;
    log.DebugLvl(kTag, 10, "Update cache location: %s", osFolder.c_str());
    KQUpdateCache cache(0, false);
    std::vector<UpdatePatches::BinarySet> sets;
    if (!cache.getBsNameListFromCache(osFolder, id, sets)) {
      log.Debug(kTag, "Failed to get binary set names for OS name %s, OSId %d", osName.c_str(), id);
      return "INFO:Failed to compute Binaryset Name.";
    }
    log.DebugLvl(kTag, 1, "Calculating seed updates for OS name %s, OSId %d", osName.c_str(), id);
    for (const UpdatePatches::BinarySet& set : sets) {
      const std::string bsName = set.getstring(UpdatePatches::BinarySet::kField2);
      const int bsId = static_cast<int>(set.getint64(UpdatePatches::BinarySet::kBinarySetId));
      if (!IsPlainComponent(bsName)) {
        log.Debug(kTag, "Binary set name [%s] is not a folder name", bsName.c_str());
        return "INFO:Binary set name [" + bsName + "] is not a folder name";
      }
      log.DebugLvl(kTag, 10, "Calculating seed updates for binarySet %s, bsId %d", bsName.c_str(), bsId);
      std::string resolved, errorText;
      std::list<std::string> files, others;
      unsigned long size = 0;
      if (!ComputeReducedUpdate(false, osFolder, id, kSeedPackages, resolved, files, others, size, errorText,
                                bsId)) {
        log.Debug(kTag, "ComputeReducedUpdate returned error for binarySety [%s]", bsName.c_str());
        return "INFO:" + errorText;
      }
      if (files.empty()) continue;
      const std::string target = bsName + "/Updates/" + osName;
      if (!kq::RemoveUnder(seedFolder, target, &error)) {
        log.Debug(kTag, "Failed to empty [%s/%s]: %s", seedFolder.c_str(), target.c_str(), error.c_str());
        return "INFO:Failure from copyDirectory";
      }
      const std::string sourceBase = resolved + "/";
      const std::string targetBase = seedFolder + "/" + target + "/";
      log.DebugLvl(kTag, 10, "Files will be copied from: %s", sourceBase.c_str());
      log.DebugLvl(kTag, 10, "Files will be copied to: %s", targetBase.c_str());
      for (const std::string& entry : files) {
        std::string source, destination;
        if (!kq::JoinUnder(resolved, entry, source) || !kq::JoinUnder(seedFolder + "/" + target, entry, destination)) {
          log.Debug(kTag, "Entry [%s] leaves its folder, refused", entry.c_str());
          return "INFO:Entry [" + entry + "] leaves its folder";
        }
        const std::string parent = destination.substr(0, destination.rfind('/'));
        if (!recursiveCreateDir(parent.c_str()) || !CopyEntry(source, destination)) {
          log.Debug(kTag, "Failed to copy [%s] to [%s]", source.c_str(), destination.c_str());
          return "INFO:Failure from copyDirectory";
        }
      }
    }
  }
  return std::string();
}
