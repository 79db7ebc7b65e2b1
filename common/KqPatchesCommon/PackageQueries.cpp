// Binary-set and platform queries over the package catalogues: which binary set an operating
// system belongs to, which folders and names a list of binary sets has, and which packages a
// binary set carries.
#include <strings.h>

#include <algorithm>

#include "PackageCache.h"
#include "PackageCacheInternal.h"
#include "PackageCatalogueFields.h"
#include "Vocabulary.h"

namespace {

bool Contains(const std::vector<int>& ids, long long id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

long long KQPackageCache::getBSIdFromUnixOSName(std::string osName) {
  std::string scratch;
  return getBSInfoFromUnixOSName(std::move(osName), scratch);
}

long long KQPackageCache::getBSInfoFromUnixOSName(std::string osName, std::string& bsName) {
  static const char* const kTag = "[getBSInfoFromUnixOSName]";
  if (!ReadUnixPackageDetails(0)) {
    m_log.Debug(kTag, "Failed to read Unix Package Details.Exiting.");
    return -1;
  }
  long long result = 0;
  const std::vector<CNMessageBase>* sections = kqcat::GroupList(unixCatalogue(), kqcat::kPdProcInfos);
  if (sections) {
    for (const CNMessageBase& section : *sections) {
      const std::vector<CNMessageBase>* entries = kqcat::ListOf(section, kqcat::kProcEntries);
      if (!entries) continue;
      for (const CNMessageBase& entry : *entries) {
        if (strcasecmp(entry.getstringByRef(kqcat::kBsName).c_str(), osName.c_str()) != 0) continue;
        const std::string& name = section.getstringByRef(kqcat::kProcName);
        result = kqcat::IntOf(entry, kqcat::kBsProcBinarySetId);
        bsName = name;
        // The section's name becomes a folder of later loads only when it is one.
        if (KqIsPlainFolderName(name)) {
          m_procName = name;
        } else {
          m_log.Debug(kTag, "Section [%s] is not a folder name, not using it as proc name",
                      name.c_str());
        }
        break;
      }
    }
  }
  m_log.Debug(kTag, "Found BS ID [%lld] for [%s]", result, osName.c_str());
  return result;
}

bool KQPackageCache::getOSNamesUnderBSIDLst(std::vector<int> bsIds, std::vector<std::string>& names,
                                            bool quiet) {
  static const char* const kTag = "[getOSNamesUnderBSIDLst]";
  if (!ReadUnixPackageDetails(0)) {
    if (!quiet) m_log.Debug(kTag, "Failed to read Unix Package Details.");
    return false;
  }
  const std::vector<CNMessageBase>* sections = kqcat::GroupList(unixCatalogue(), kqcat::kPdProcInfos);
  if (!sections) return true;
  for (const CNMessageBase& section : *sections) {
    if (!Contains(bsIds, kqcat::IntOf(section, kqcat::kProcBinarySetId))) continue;
    const std::string& name = section.getstringByRef(kqcat::kProcName);
    if (!KqIsPlainFolderName(name)) {
      m_log.Debug(kTag, "Section [%s] is not a folder name, ignoring it", name.c_str());
      continue;
    }
    names.push_back(name);
    m_log.Debug(kTag, "OsName from UnixPackageXML <%s>", name.c_str());
  }
  return true;
}

bool KQPackageCache::getBSNamesUnderBSIDLst(std::vector<int> bsIds, std::vector<std::string>& names) {
  static const char* const kTag = "[getBSNamesUnderBSIDLst]";
  if (!ReadUnixPackageDetails(0)) {
    m_log.Debug(kTag, "Failed to read Unix Package Details.Exiting.");
    return false;
  }
  const std::vector<CNMessageBase>* sections = kqcat::GroupList(unixCatalogue(), kqcat::kPdProcInfos);
  if (!sections) return true;
  for (const CNMessageBase& section : *sections) {
    if (!Contains(bsIds, kqcat::IntOf(section, kqcat::kProcBinarySetId))) continue;
    const std::vector<CNMessageBase>* entries = kqcat::ListOf(section, kqcat::kProcEntries);
    if (!entries) continue;
    for (const CNMessageBase& entry : *entries) {
      names.push_back(entry.getstring(kqcat::kBsName));
      m_log.Debug(kTag, "OsName from UnixPackageXML <%s>", names.back().c_str());
    }
  }
  return true;
}

bool KQPackageCache::getValidBSIDLst(std::vector<int> bsIds, std::vector<int>& valid) {
  const std::vector<CNMessageBase>* sections = kqcat::GroupList(unixCatalogue(), kqcat::kPdProcInfos);
  if (!sections) return true;
  for (const CNMessageBase& section : *sections) {
    long long id = kqcat::IntOf(section, kqcat::kProcBinarySetId);
    if (!Contains(bsIds, id)) continue;
    valid.push_back(static_cast<int>(id));
    m_log.DebugLvl("[getValidBSIDLst]", 2, "bsid <%d>", static_cast<int>(id));
  }
  return true;
}

bool KQPackageCache::isBinarySetSupported(int bsId) {
  const std::vector<CNMessageBase>* list =
      kqcat::GroupList(catalogueFor(isUnixBsId(bsId)), kqcat::kPdPkgDetails);
  if (!list) return false;
  for (const CNMessageBase& entry : *list)
    if (kqcat::IntOf(entry, kqcat::kPkdBinarySetId) == bsId) return true;
  return false;
}

bool KQPackageCache::RemovePackagesNotApplicableToPlatform(std::vector<unsigned long> pkgIds,
                                                           std::vector<unsigned long>& notApplicable,
                                                           int bsId) {
  const PackageDependencyIndex& index = dependencyIndex(isUnixBsId(bsId));
  for (unsigned long id : pkgIds) {
    bool applicable =
        index.hasList &&
        index.first.count(std::make_pair(static_cast<long long>(id), static_cast<long long>(bsId)));
    if (!applicable) notApplicable.push_back(id);
  }
  return true;
}
