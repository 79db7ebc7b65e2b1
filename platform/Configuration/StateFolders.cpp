#include "Configuration/StateFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include "Configuration/KQPlatformInfo.h"
#include "PortableFiles/PxError.h"

namespace kq {
namespace {

// The install folder, or "" when none is configured.
std::string InstallFolder() {
  std::string home;
  if (!KQPlatformInfo().getString("Base", "dHOME", home)) home.clear();
  return home;
}

// The private folder of this user, above the kinds.
std::string PrivateBase() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/kqpatches";
  return "/tmp/kqpatches-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

// Makes `path` (mode) when missing, then checks it: a real folder, owned by this user (or by
// root when rootMayOwn), writable by nobody else.
bool CheckFolder(const std::string& path, mode_t mode, bool rootMayOwn, std::string& err) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    err = "cannot create folder [" + path + "]: " + PxErrnoText(errno);
    return false;
  }
  struct stat sb;
  if (::lstat(path.c_str(), &sb) != 0) {
    err = "cannot examine folder [" + path + "]: " + PxErrnoText(errno);
    return false;
  }
  if (S_ISLNK(sb.st_mode)) {
    err = "folder [" + path + "] is a symbolic link";
    return false;
  }
  if (!S_ISDIR(sb.st_mode)) {
    err = "[" + path + "] is not a folder";
    return false;
  }
  if (sb.st_uid != geteuid() && !(rootMayOwn && sb.st_uid == 0)) {
    err = "folder [" + path + "] is owned by user " + std::to_string(sb.st_uid);
    return false;
  }
  if ((sb.st_mode & 022) != 0) {
    err = "folder [" + path + "] is writable by other users";
    return false;
  }
  return true;
}

// Makes the missing parents of `path` (0755), as an administrator's install folder has them.
bool MakeParents(const std::string& path, std::string& err) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (::mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) {
      err = "cannot create folder [" + path.substr(0, pos) + "]: " + PxErrnoText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

std::string DefaultStateFolder(const std::string& kind) {
  std::string home = InstallFolder();
  return (home.empty() ? PrivateBase() : home) + "/" + kind;
}

bool PrepareStateFolder(const std::string& kind, std::string& folder, std::string& err) {
  std::string home = InstallFolder();
  if (!home.empty()) {
    folder = home + "/" + kind;
    if (home[0] != '/') {  // it would land below whatever the working folder is
      err = "install folder [" + home + "] of Base/dHOME is not an absolute path";
      return false;
    }
    return MakeParents(folder, err) && CheckFolder(folder, 0755, true, err);
  }
  const std::string base = PrivateBase();
  folder = base + "/" + kind;
  return CheckFolder(base, 0700, false, err) && CheckFolder(folder, 0700, false, err);
}

bool PrepareConfiguredFolder(const std::string& folder, std::string& err) {
  if (folder.empty() || folder[0] != '/') {
    err = "folder [" + folder + "] is not an absolute path";
    return false;
  }
  return MakeParents(folder, err) && CheckFolder(folder, 0700, true, err);
}

void ReportRefusedFolder(const std::string& who, const std::string& err) {
  static std::mutex m;
  static auto* told = new std::set<std::string>();
  const std::string line = who + ": refusing a folder: " + err;
  {
    std::lock_guard<std::mutex> g(m);
    if (!told->insert(line).second) return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace kq
