#include "PrivateTmp.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Unprivileged.h"

namespace kqtest {
namespace {

// Mounts the empty /tmp, then `keep` (open as keepFd) back at its place when it lies below it.
bool MountPrivateTmp(const std::string& keep, int keepFd) {
  if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return false;
  if (keep.compare(0, 5, "/tmp/") != 0) return true;
  for (size_t pos = keep.find('/', 5); pos != std::string::npos; pos = keep.find('/', pos + 1))
    ::mkdir(keep.substr(0, pos).c_str(), 0755);
  if (::mkdir(keep.c_str(), 0700) != 0) return false;
  const std::string source = "/proc/self/fd/" + std::to_string(keepFd);
  return ::mount(source.c_str(), keep.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace

int RunInOwnMounts(const std::function<bool()>& mount, const std::function<int()>& body) {
  if (geteuid() != 0) return kOwnMountsUnavailable;
  auto enter = [&] {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && mount();
  };
  return RunInChild(enter, kOwnMountsUnavailable, body);
}

int RunWithPrivateTmp(const std::string& keep, const std::function<int()>& body) {
  auto mount = [&] {
    const int keepFd = ::open(keep.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (keepFd < 0) return false;
    const bool ok = MountPrivateTmp(keep, keepFd);
    ::close(keepFd);
    return ok;
  };
  const int rc = RunInOwnMounts(mount, body);
  return rc == kOwnMountsUnavailable ? kPrivateTmpUnavailable : rc;
}

}  // namespace kqtest
