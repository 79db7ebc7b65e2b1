// KQJobStatus: the status a job reports with its result. The job library owns the values; this
// library stores and hands them back without interpreting them (a job event sink starts at 1,
// the patch jobs record 2, 3 or 4 with their errors).
#ifndef KQ_PLATFORM_JOBS_KQJOBSTATUS_H_
#define KQ_PLATFORM_JOBS_KQJOBSTATUS_H_

#pragma GCC visibility push(default)

enum KQJobStatus : int {};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_JOBS_KQJOBSTATUS_H_
