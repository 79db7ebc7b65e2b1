// Single questions to the Hubnode database: operating systems and binary
// sets, job statuses and their event messages, failure-reason parameters,
// running download jobs, package and binary-set names, and the versions a
// remote software cache holds.
//
// Each builds one record for the question, logs on the default log under its
// own name, and returns false only after a failed query (code 1000) or where
// noted. Many report true when no row exists and leave their outputs as they
// were, so callers set outputs beforehand and compare afterwards.
#ifndef KQPATCHESCOMMON_DBLOOKUPS_H_
#define KQPATCHESCOMMON_DBLOOKUPS_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

#include "Events/EvMessageContainer.h"
#include "Versions/FullVersion.h"

// Appends each new-style OS id in use that the OS table flags as new and
// that ids does not hold yet.
bool getNewOsIdList(std::vector<int>& ids);
// The OS id (new style or old) of a binary set; osId untouched without a row.
bool getOsIdForBSId(int bsId, int& osId, bool newUpdateOS);
// Appends the binary sets of the given new-style OS ids, in fetch order. An
// empty list asks nothing and gives true.
bool getBsidForOsIdLst(std::vector<int> osIds, std::vector<int>& bsIds);
// False also when no row exists.
bool getJobStatusForEventMsgId(long eventMessageId, int& status);
// False also when no row exists.
bool getShortNameForJobStatus(int status, std::string& shortName);
bool getEventMsgIdForJobStatus(int status, EvMessageContainer& message);
bool getNumOfArgsForMsgId(int messageId, int& numOfArgs);
// The newest failure-reason entry of a job for a message and parameter count.
bool getLatestMsgNum(int messageId, int jobId, int paramNum, int& msgNum);
// Appends the argument texts of a job's newest failure-reason entry; nothing
// when the message takes no arguments or the job has no entry.
bool getParameterForMsgID(int messageId, int jobId, std::vector<std::string>& parameters);
bool IsAnyRunningDownloadJob(bool& running, long long& jobId);
// False also when no row exists.
bool GetPackageNameFromId(int packageId, std::string& name);
// False also when no row exists.
bool getBsNameForBsid(int bsId, std::string& name);
// The highest service pack and update pack a client's software cache holds
// for a release and OS; version untouched on false.
bool GetSWCacheInfo(int clientId, int releaseId, int osId, FullVersion& version, int fourth,
                    long fifth);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_DBLOOKUPS_H_
