// Table record JMJobInfo: The job table (download jobs have operation type 36).
#ifndef KQ_INCLUDE_DB_TBL_JMJOBINFO_H_
#define KQ_INCLUDE_DB_TBL_JMJOBINFO_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define JMJobInfo_COLUMNS(C)           \
  C(jobId, i, 0)                       \
  C(initFrom, i, 0)                    \
  C(opType, i, 0)                      \
  C(userId, i, 0)                      \
  C(clientPriority, i, 0)              \
  C(opPriority, i, 0)                  \
  C(appPriority, i, 0)                 \
  C(combPriority, i, 0)                \
  C(currentPhase, i, 0)                \
  C(jobStartTime, i, 0)                \
  C(attemptStartTime, i, 0)            \
  C(serverEndTime, i, 0)               \
  C(jobElapsedTime, i, 0)              \
  C(elapsedTime, i, 0)                 \
  C(lastStartOrRun, i, 0)              \
  C(phaseParams, s, 0)                 \
  C(restartString, s, 0)               \
  C(startAttempts, i, 0)               \
  C(runAttempts, i, 0)                 \
  C(state, i, 0)                       \
  C(pendingCause, i, 0)                \
  C(restartable, i, 0)                 \
  C(appArgs, s, 0)                     \
  C(numOfFailures, i, 0)               \
  C(failureReason, s, 257)             \
  C(preemptable, i, 0)                 \
  C(taskLinkID, i, 0)                  \
  C(percentcomplete, i, 0)             \
  C(displayState, i, 0)                \
  C(tessaraId, i, 0)                   \
  C(resourcesAllocated, i, 0)          \
  C(currentContext, i, 0)              \
  C(libraryList, s, 0)                 \
  C(driveList, s, 0)                   \
  C(opUsername, s, 0)                  \
  C(phaseOnSuccess, i, 0)              \
  C(interruptedPhase, i, 0)            \
  C(errorType, i, 0)                   \
  C(licenseVerified, i, 0)             \
  C(currentPhaseName, s, 0)            \
  C(timeToComplete, i, 0)              \
  C(lastUpdateFromClient, i, 0)        \
  C(lastStateChangeTime, b, 0)         \
  C(jobCategory, i, 0)                 \
  C(recoveredFromServiceRestart, i, 0) \
  C(noOfGUIMonitors, i, 0)             \
  C(isScheduledAlert, i, 0)            \
  C(jobBasedAlertId, i, 0)             \
  C(alertName, s, 257)                 \
  C(shortTapewright, s, 0)             \
  C(seqNumber, b, 0)                   \
  C(activeFile, u, 0)                  \
  C(guiAlertColorLevel, i, 0)          \
  C(jobDescription, s, 0)              \
  C(xmlJobInfo, s, 0)                  \
  C(subOpType, i, 0)                   \
  C(foreignToken, s, 4097)             \
  C(preparedJobId, i, 0)
KQDB_TABLE(JMJobInfo, "JMJobInfo", "include/Db/Tbl/", "1.63.208.5", "jobId, tessaraId", false,
           KQDB_LIST("jobId", "tessaraId"), KQDB_FOREIGN_KEYS({"JMJobStats", "jobId", "jobId"}, {"JMJobStats", "tessaraId", "tessaraId"}))

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_TBL_JMJOBINFO_H_
