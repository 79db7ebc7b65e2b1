#include "CacheFileListsInternal.h"

#include <unordered_set>

#include "FileSystemUtils.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"
#include "Vocabulary.h"

namespace kqlists {

UpdatePatches::File MakeFile(const std::string& name, const std::string& checksum) {
  UpdatePatches::File file;
  file.reserveFields(2);
  file.setstring(UpdatePatches::File::kName, name);
  file.setstring(UpdatePatches::File::kChecksum, checksum);
  return file;
}

size_t KeepFirstOfEachName(std::vector<UpdatePatches::File>& files) {
  std::unordered_set<std::string> seen;
  seen.reserve(files.size());
  size_t kept = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!seen.insert(files[i].getstringByRef(UpdatePatches::File::kName)).second) continue;
    if (kept != i) files[kept] = std::move(files[i]);
    ++kept;
  }
  files.resize(kept);
  return kept;
}

bool IsOneFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

bool IsFolderPresent(const std::string& path) { return !IsFileEmpty(path.c_str()); }

const char* KnownOSName(int osId) { return osId < 1 ? nullptr : GetOSNameFromId(osId); }

std::string PackageIdText(const std::vector<UpdatePatches::PackageDesc>* packages) {
  std::string text;
  if (packages == nullptr) return text;
  for (const UpdatePatches::PackageDesc& p : *packages)
    text += " " + std::to_string(p.getint64(UpdatePatches::PackageDesc::kPackageId));
  return text;
}

std::string WithSlashes(std::string name) {
  UnixPath(name);
  return name;
}

std::string WithBackslashes(std::string name) {
  WinPath(name);
  return name;
}

void AppendConfigFiles(EvDebug& log, unsigned long long jobId, const char* tag, const CNMessageBase& owner,
                       const KqFieldId& group, const std::string& prefix, const char* line,
                       const std::string& unit, std::vector<UpdatePatches::File>& out) {
  const CNMessageBase* g = owner.getObjectAccessor(group.index, group.tag);
  if (g == nullptr) return;
  const long long job = static_cast<long long>(jobId);
  for (const CNMessageBase& f : *g->getlistobject(1, 1)) {
    const std::string& name = f.getstringByRef(UpdatePatches::File::kName);
    const std::string& checksum = f.getstringByRef(UpdatePatches::File::kChecksum);
    if (!kq::IsSafeRelativeName(name)) {
      log.DebugJob(1, tag, job, "Leaving out configuration file [%s] of [%s]: not a relative name", name.c_str(),
                   unit.c_str());
      continue;
    }
    out.push_back(MakeFile(prefix + WithSlashes(name), checksum));
    if (unit.empty())
      log.DebugJob(10, tag, job, line, name.c_str(), checksum.c_str());
    else
      log.DebugJob(10, tag, job, line, unit.c_str(), name.c_str());
  }
}

}  // namespace kqlists
