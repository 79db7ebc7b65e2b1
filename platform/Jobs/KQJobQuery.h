// KQJobQuery: asks whether a job of this host is running.
//
// A job runs as a process whose command line carries "-jobid" followed by the job's id (the
// job processes are started that way), or inside a daemon, in which case only the job table
// ("JMJobInfo") knows of it. isJobRunning looks through the live processes of the host (/proc)
// for such a command line (a process that has ended, or a zombie, runs no job), then for the
// job's row. Whatever cannot be looked at (an unreadable /proc, a database that cannot be
// read) counts as the job running: callers give up locks only on proof that the job ended.
// The object keeps no state between calls.
#ifndef KQ_PLATFORM_JOBS_KQJOBQUERY_H_
#define KQ_PLATFORM_JOBS_KQJOBQUERY_H_

#pragma GCC visibility push(default)

class KQJobQuery {
 public:
  KQJobQuery() = default;

  // Prepares the query; the argument (a connection of the job library) is not needed here.
  // 0 on success.
  int init(void* connection);

  // True when a live process of this host has "-jobid <jobId>" (case ignored) on its command
  // line, or the job table has the job's row, or either cannot be read. Job id 0 names no job.
  bool isJobRunning(long long jobId) const;

  // The job id that a command line names after "-jobid", 0 when none (arguments separated by
  // NUL bytes, as /proc gives them).
  static long long JobIdOfCommandLine(const char* args, unsigned long length);

 private:
  bool runsAsProcess(long long jobId) const;
  bool hasJobRow(long long jobId) const;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_JOBS_KQJOBQUERY_H_
