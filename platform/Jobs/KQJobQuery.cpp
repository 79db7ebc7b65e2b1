#include "Jobs/KQJobQuery.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Database/DbSession.h"

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

// Looks through the processes of the host for one whose command line names the job. A
// listing of /proc that cannot be made or read through counts as finding it: a lock is never
// given up for a failure to look.
bool KQJobQuery::runsAsProcess(long long jobId) const {
  DIR* proc = ::opendir("/proc");
  if (!proc) return true;
  bool running = false;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(proc);
    if (!e) {
      if (errno != 0) running = true;
      break;
    }
    if (!IsNumber(e->d_name)) continue;
    std::string dir = std::string("/proc/") + e->d_name;
    std::string cmd = ReadProcFile(dir + "/cmdline");
    if (cmd.empty()) continue;
    if (JobIdOfCommandLine(cmd.data(), cmd.size()) != jobId) continue;
    if (!IsZombie(dir)) {
      running = true;
      break;
    }
  }
  ::closedir(proc);
  return running;
}

// A job that a daemon runs inside its own process has no "-jobid" on any command line; the
// job table still has its row while it runs. A table that cannot be read counts as having it.
bool KQJobQuery::hasJobRow(long long jobId) const {
  std::string err;
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  if (!session) return true;
  std::vector<kq::db::Row> rows;
  int rc = kq::db::ExecuteSql(*session, "SELECT jobId FROM JMJobInfo WHERE jobId = $1",
                              {kq::db::Value::Int(jobId)}, &rows, err);
  return rc != kq::db::kDbNoData;
}

bool KQJobQuery::isJobRunning(long long jobId) const {
  if (jobId == 0) return false;
  return runsAsProcess(jobId) || hasJobRow(jobId);
}
