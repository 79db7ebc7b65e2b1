#include "Unprivileged.h"

#include <ftw.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace kqtest {
namespace {
constexpr uid_t kNobody = 65534;

int ChownEntry(const char* path, const struct stat*, int, struct FTW*) {
  (void)lchown(path, kNobody, kNobody);  // best effort
  return 0;
}
}  // namespace

int RunInChild(const std::function<bool()>& enter, int enterFailed, const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(enter() ? body() : enterFailed);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool LimitAddressSpaceTo(unsigned long long headroom) {
  unsigned long long pages = 0;  // what the process maps now
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t bytes = pages * ::sysconf(_SC_PAGESIZE) + headroom;
  const struct rlimit limit = {bytes, bytes};
  return pages > 0 && ::setrlimit(RLIMIT_AS, &limit) == 0;
}

int RunUnprivileged(const std::function<int()>& body) {
  if (geteuid() != 0) return body();
  return RunInChild([] { return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0; },
                    125, body);
}

void GiveTreeToUnprivileged(const std::string& path) {
  if (geteuid() != 0) return;
  nftw(path.c_str(), ChownEntry, 64, FTW_PHYS);
  // Let "nobody" reach the tree: add search permission to every folder above it.
  std::string up = path;
  for (size_t slash = up.rfind('/'); slash != std::string::npos && slash > 0; slash = up.rfind('/')) {
    up.resize(slash);
    struct stat sb;
    if (stat(up.c_str(), &sb) == 0) chmod(up.c_str(), (sb.st_mode & 07777) | 0111);
  }
}

}  // namespace kqtest
