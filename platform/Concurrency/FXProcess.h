// FXProcess: questions about one process of this host, asked of the kernel when called.
//
// The object names a process by id and answers whether it lives, its name, its command line
// and when it started; it holds no handle, so the process may end at any time and later
// answers say so. A process that has exited but was not yet reaped (a zombie) is not alive.
#ifndef KQ_PLATFORM_CONCURRENCY_FXPROCESS_H_
#define KQ_PLATFORM_CONCURRENCY_FXPROCESS_H_

#pragma GCC visibility push(default)

#include <string>

#include "Concurrency/CTimeStamp.h"

class FXProcess {
 public:
  // attach true: the process `pid`. attach false: the calling process (pid is ignored).
  // startedBy: when not zero, the id counts only for a process that had started by then
  //   (within a second): one started later has reused the id and is reported not alive.
  // name: when not null, a process with another name is reported not alive.
  FXProcess(long long pid, const CTimeStamp& startedBy, const char* name, bool attach);

  long long getProcessId() const { return m_pid; }

  // Exists (kill(pid, 0) does not say ESRCH), is no zombie, and passes the start-time and name
  // tests above. What cannot be looked at counts in its favour: a process whose /proc entry
  // is hidden or unreadable is alive when the kernel says it exists.
  bool isAlive() const;
  // Whether this process's /proc entry (state and command line) can be read: false for a
  // process that is gone, hidden by a hidepid mount, or when /proc is not available.
  bool canInspect() const;
  // The kernel's name of the process (at most 15 characters, as `ps` shows it); empty when
  // the process is gone or the name cannot be read.
  std::string getProcessName() const;
  // The arguments joined by single spaces; empty when gone, unreadable, or a kernel thread.
  std::string getProcessCmdLineParams() const;
  // When the process started; false when it cannot be told.
  bool getStartTime(CTimeStamp& started) const;

 private:
  long long m_pid;
  CTimeStamp m_startedBy;
  std::string m_name;
  bool m_checkName;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_FXPROCESS_H_
