#include "Concurrency/FXProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Leeway when comparing a process's start with a given time: the kernel counts start times
// in clock ticks from boot, and turning that into wall time is exact only to a few ticks.
const long long kStartLeewayTicks = CTimeStamp::kTicksPerSecond;

bool ValidPid(long long pid) { return pid > 0 && pid <= INT_MAX; }

// Reads a whole small file of /proc; false when it cannot be opened or read.
bool ReadProcFile(long long pid, const char* leaf, std::string& content) {
  std::string path = "/proc/" + std::to_string(pid) + "/" + leaf;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content.clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// The fields of /proc/<pid>/stat after the name: [0] is the state letter, [19] the start time
// in clock ticks after boot. The name is in parentheses and may itself hold blanks or ')'.
bool ReadStatFields(long long pid, char& state, unsigned long long& startTicks) {
  std::string stat;
  if (!ReadProcFile(pid, "stat", stat)) return false;
  size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return false;
  const char* p = stat.c_str() + nameEnd + 1;
  int field = 0;
  while (*p != '\0') {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != ' ' && *p != '\0') ++p;
    if (field == 0) state = *start;
    if (field == 19) {
      char* end = nullptr;
      errno = 0;
      startTicks = std::strtoull(start, &end, 10);
      return errno == 0 && end == p;
    }
    ++field;
  }
  return false;
}

}  // namespace

FXProcess::FXProcess(long long pid, const CTimeStamp& startedBy, const char* name, bool attach)
    : m_pid(attach ? pid : static_cast<long long>(getpid())),
      m_startedBy(startedBy),
      m_name(name != nullptr ? name : ""),
      m_checkName(name != nullptr) {}

bool FXProcess::isAlive() const {
  if (!ValidPid(m_pid)) return false;
  // Only ESRCH proves that no such process exists. EPERM: it exists but belongs to someone we
  // may not signal.
  if (kill(static_cast<pid_t>(m_pid), 0) != 0 && errno == ESRCH) return false;
  char state = '?';
  unsigned long long startTicks = 0;
  // An unreadable /proc entry (hidden by the mount's hidepid, or /proc unavailable) tells
  // nothing: the process still counts as alive.
  if (ReadStatFields(m_pid, state, startTicks) && (state == 'Z' || state == 'X')) return false;
  if (!m_startedBy.IsZero()) {
    CTimeStamp started;
    if (getStartTime(started) && started.Ticks() > m_startedBy.Ticks() + kStartLeewayTicks) {
      return false;
    }
  }
  if (m_checkName && canInspect() && getProcessName() != m_name) return false;
  return true;
}

bool FXProcess::canInspect() const {
  char state = '?';
  unsigned long long startTicks = 0;
  std::string cmdLine;
  return ValidPid(m_pid) && ReadStatFields(m_pid, state, startTicks) &&
         ReadProcFile(m_pid, "cmdline", cmdLine);
}

std::string FXProcess::getProcessName() const {
  std::string comm;
  if (!ValidPid(m_pid) || !ReadProcFile(m_pid, "comm", comm)) return std::string();
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

std::string FXProcess::getProcessCmdLineParams() const {
  std::string raw;
  if (!ValidPid(m_pid) || !ReadProcFile(m_pid, "cmdline", raw)) return std::string();
  while (!raw.empty() && raw.back() == '\0') raw.pop_back();
  for (char& c : raw) {
    if (c == '\0') c = ' ';
  }
  return raw;
}

bool FXProcess::getStartTime(CTimeStamp& started) const {
  if (!ValidPid(m_pid)) return false;
  char state = '?';
  unsigned long long startTicks = 0;
  if (!ReadStatFields(m_pid, state, startTicks)) return false;
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) return false;
  // Wall time of boot = wall time now - time since boot (the clock the kernel counts in).
  timespec wall{}, boot{};
  if (clock_gettime(CLOCK_REALTIME, &wall) != 0 || clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
    return false;
  }
  long long bootAt = CTimeStamp::FromTimespec(wall).Ticks() - CTimeStamp::FromTimespec(boot).Ticks();
  long long sinceBoot = static_cast<long long>(startTicks / static_cast<unsigned long long>(hz)) *
                            CTimeStamp::kTicksPerSecond +
                        static_cast<long long>(startTicks % static_cast<unsigned long long>(hz)) *
                            CTimeStamp::kTicksPerSecond / hz;
  started = CTimeStamp(bootAt + sinceBoot);
  return true;
}
