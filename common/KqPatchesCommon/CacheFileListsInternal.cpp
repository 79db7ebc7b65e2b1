#include "CacheFileListsInternal.h"

#include <unordered_set>

#include "FileSystemUtils.h"
#include "StringUtils.h"

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

}  // namespace kqlists
