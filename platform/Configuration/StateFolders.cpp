#include "Configuration/StateFolders.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"

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

}  // namespace

std::string DefaultStateFolder(const std::string& kind) {
  std::string home = InstallFolder();
  return (home.empty() ? PrivateBase() : home) + "/" + kind;
}

int OpenStateFolder(const std::string& kind, std::string& folder, std::string& err) {
  // A refused store may name an install folder: its state goes nowhere else meanwhile.
  std::string refused;
  if (kqconfig::IniStore::DefaultRefused(refused)) {
    folder.clear();
    err = "no folder for " + kind + ": " + refused;
    return -1;
  }
  std::string home = InstallFolder();
  if (!home.empty()) {
    folder = home + "/" + kind;
    if (home[0] != '/') {  // it would land below whatever the working folder is
      err = "install folder [" + home + "] of Base/dHOME is not an absolute path";
      return -1;
    }
    return OpenTrustedFolder(folder, TrustedFolderOptions{true, true, 0700, true}, err);
  }
  // The private folder above the kinds is this user's own, not root's.
  const std::string base = PrivateBase();
  folder = base + "/" + kind;
  ScopedFd checked(OpenTrustedFolder(base, TrustedFolderOptions{true, false, 0700, false}, err));
  if (!checked.valid()) return -1;
  return OpenTrustedFolder(folder, TrustedFolderOptions{true, false, 0700, false}, err);
}

bool PrepareStateFolder(const std::string& kind, std::string& folder, std::string& err) {
  return ScopedFd(OpenStateFolder(kind, folder, err)).valid();
}

int OpenConfiguredFolder(const std::string& folder, std::string& err) {
  return OpenTrustedFolder(folder, TrustedFolderOptions{true, true, 0700, true}, err);
}

bool PrepareConfiguredFolder(const std::string& folder, std::string& err) {
  return ScopedFd(OpenConfiguredFolder(folder, err)).valid();
}

void ReportRefusedFolder(const std::string& who, const std::string& err) {
  ReportRefusal(who, "refusing a folder: " + err);
}

std::string DescribeRefusal(const std::string& what, const std::string& asked,
                            const std::string& err) {
  // A reason that starts with `what` ("lock file: [...] is ...") says it once.
  const std::string head = what + ": ";
  const std::string reason = err.compare(0, head.size(), head) == 0 ? err.substr(head.size()) : err;
  std::string shown = asked;
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  if (reason.find("[" + shown + "]") != std::string::npos) return "the " + what + ": " + reason;
  return "the " + what + " [" + asked + "]: " + reason;
}

void ReportRefusal(const std::string& who, const std::string& text) {
  static std::mutex m;
  static auto* told = new std::set<std::string>();
  const std::string line = who + ": " + text;
  {
    std::lock_guard<std::mutex> g(m);
    if (!told->insert(line).second) return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace kq
