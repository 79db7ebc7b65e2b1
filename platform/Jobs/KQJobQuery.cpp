#include "Jobs/KQJobQuery.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsNumber(const char* s) {
  if (!*s) return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// The whole of a small /proc file; empty when it cannot be read.
std::string ReadProcFile(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

// A zombie (state Z) or a dead process (X) runs nothing any more.
bool IsZombie(const std::string& pidDir) {
  std::string stat = ReadProcFile(pidDir + "/stat");
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return true;
  char state = stat[paren + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

int KQJobQuery::init(void*) { return 0; }

long long KQJobQuery::JobIdOfCommandLine(const char* args, unsigned long length) {
  const char* end = args + length;
  const char* arg = args;
  while (arg < end) {
    size_t len = strnlen(arg, static_cast<size_t>(end - arg));
    const char* next = arg + len + 1;
    if (len == 6 && ::strncasecmp(arg, "-jobid", 6) == 0 && next < end) {
      std::string value(next, strnlen(next, static_cast<size_t>(end - next)));
      return std::atoll(value.c_str());
    }
    arg = next;
  }
  return 0;
}

bool KQJobQuery::isJobRunning(long long jobId) const {
  if (jobId == 0) return false;
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool running = false;
  while (!running) {
    struct dirent* e = ::readdir(proc);
    if (!e) break;
    if (!IsNumber(e->d_name)) continue;
    std::string dir = std::string("/proc/") + e->d_name;
    std::string cmd = ReadProcFile(dir + "/cmdline");
    if (cmd.empty()) continue;
    if (JobIdOfCommandLine(cmd.data(), cmd.size()) != jobId) continue;
    running = !IsZombie(dir);
  }
  ::closedir(proc);
  return running;
}
