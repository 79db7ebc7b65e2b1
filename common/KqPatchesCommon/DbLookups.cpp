// Database lookups: one record per question, built on the stack.
#include "DbLookups.h"

#include <algorithm>
#include <climits>
#include <set>
#include <string>

#include "Configuration/KQClient.h"
#include "Db/Proc/GetPatchMultiCacheInfo.h"
#include "Db/Tbl/EvLocaleMsgs.h"
#include "Db/Tbl/JMFailureReasonMsg.h"
#include "Db/Tbl/JMFailureReasonMsgParam.h"
#include "Db/Tbl/JMJobInfo.h"
#include "Db/Tbl/PatchClientStatus.h"
#include "Db/Tbl/PatchUpdateOS.h"
#include "Db/Tbl/simBinarySet.h"
#include "Db/Tbl/simPackage.h"
#include "Logging/EvDebug.h"
#include "Vocabulary.h"

namespace {

constexpr int kRow = 0;
constexpr int kNoRow = 100;
constexpr int kFailedQuery = 1000;
constexpr int kIsolation = 4;
constexpr int kDownloadJobOpType = 36;

// The first row of a query through the row counter of getNextRow.
int FirstRow(DBtable* record) {
  int count = 0;
  return getNextRow(record, &count, -1, 0);
}

}  // namespace

bool getNewOsIdList(std::vector<int>& ids) {
  static const char kTag[] = "getNewOsIdList";
  SetOSTypesInfo();  // the new-OS flags are read from the OS table
  EvDebug log;
  PatchUpdateOS record(nullptr);
  record.setWhere("NewUpdateOSID <> 0");
  int count = 0, rc;
  while ((rc = getNextRow(&record, &count, -1, 0)) == kRow) {
    const int id = record.getDataPtr()->NewUpdateOSID;
    if (id < 0 || id >= KQ_NUM_OS_TYPES || OSTypesInfo[id].isNewOS != 1) continue;
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) continue;
    log.DebugLvl(kTag, 10, "NewOsId %d is supported in current release", id);
    ids.push_back(id);
  }
  if (rc == kFailedQuery) {
    log.Debug(kTag, "Failed to get NewUpdateOSId list from PatchUpdateOS table");
    return false;
  }
  return true;
}

bool getOsIdForBSId(int bsId, int& osId, bool newUpdateOS) {
  static const char kTag[] = "getOsIdForBSId";
  EvDebug log;
  log.DebugLvl(kTag, 10, "bsId %d, newUpdateOS %s", bsId, newUpdateOS ? "True" : "False");
  PatchUpdateOS record(nullptr);
  record.setWhere("BinarySetID = %d", bsId);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc == kRow) {
    const PatchUpdateOS_t* row = record.getDataPtr();
    osId = newUpdateOS ? row->NewUpdateOSID : row->UpdateOSID;
    log.DebugLvl(kTag, 10, "osId %d", osId);
  } else if (rc == kFailedQuery) {
    log.Debug(kTag, "Failed to get BinarySetId from PatchUpdateOS table");
    return false;
  }
  return true;
}

bool getBsidForOsIdLst(std::vector<int> osIds, std::vector<int>& bsIds) {
  static const char kTag[] = "getBsidForOsIdLst";
  if (osIds.empty()) return true;  // no operating system, no binary set
  EvDebug log;
  std::string list = "(";
  for (int id : osIds) list += ", " + std::to_string(id);
  list += ")";
  list.erase(1, 1);  // "( 1, 3)"
  log.DebugLvl(kTag, 10, "Os ID string <%s>", list.c_str());
  // One bound query per distinct id; together, in binary-set order (the
  // table's order, and its key), they give the rows of "NewUpdateOSID in".
  const std::set<int> distinct(osIds.begin(), osIds.end());
  std::vector<int> found;
  for (int osId : distinct) {
    PatchUpdateOS record(nullptr);
    record.setWhere("NewUpdateOSID = %d", osId);
    int count = 0, rc;
    while ((rc = getNextRow(&record, &count, -1, 0)) == kRow)
      found.push_back(record.getDataPtr()->BinarySetID);
    if (rc == kFailedQuery) {
      log.Debug(kTag, "Failed to get BinarySetId from PatchUpdateOS table");
      return false;
    }
  }
  std::stable_sort(found.begin(), found.end());
  for (int bsId : found) {
    log.DebugLvl(kTag, 10, "Pushing bsid %d", bsId);
    bsIds.push_back(bsId);
  }
  return true;
}

bool getJobStatusForEventMsgId(long eventMessageId, int& status) {
  static const char kTag[] = "getJobStatusForEventMsgId";
  EvDebug log;
  log.DebugLvl(kTag, 10, "evMsgId %ld", eventMessageId);
  PatchClientStatus record(nullptr);
  record.setWhere("MessageId = %ld", eventMessageId);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc != kRow) {
    log.Debug(kTag, "Failed to get jobStatus from PatchClientStatus table. Error[%s]",
              DBtable::getErrorStr(rc));
    return false;
  }
  status = record.getDataPtr()->JobStatus;
  log.DebugLvl(kTag, 10, "jobStatus %d", status);
  return true;
}

bool getShortNameForJobStatus(int status, std::string& shortName) {
  static const char kTag[] = "getShortNameForJobStatus";
  EvDebug log;
  log.DebugLvl(kTag, 10, "jobStatus %d", status);
  PatchClientStatus record(nullptr);
  record.setWhere("JobStatus = %d", status);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc != kRow) {
    log.Debug(kTag, "Failed to get ShortName from PatchClientStatus table. Error[%s]",
              DBtable::getErrorStr(rc));
    return false;
  }
  shortName = record.getDataPtr()->ShortName;
  log.DebugLvl(kTag, 10, "ShortName %s", shortName.c_str());
  return true;
}

bool getEventMsgIdForJobStatus(int status, EvMessageContainer& message) {
  static const char kTag[] = "getEventMsgIdForJobStatus";
  EvDebug log;
  log.DebugLvl(kTag, 10, "jobStatus %d", status);
  PatchClientStatus record(nullptr);
  record.setIsolationType(kIsolation);
  record.setWhere("JobStatus = %d", status);
  const int rc = FirstRow(&record);
  if (rc == kRow) {
    const long long messageId = record.getDataPtr()->MessageId;
    message.SetMessageID(static_cast<int>(static_cast<unsigned int>(messageId & 0xFFFFFFFFLL)), true);
    log.DebugLvl(kTag, 10, "MessageId %lld", messageId);
  } else if (rc == kFailedQuery) {
    log.Debug(kTag, "Failed to get EventMsgId from PatchClientStatus table. Error[%s]",
              DBtable::getErrorStr(rc));
    return false;
  }
  return true;
}

bool getNumOfArgsForMsgId(int messageId, int& numOfArgs) {
  static const char kTag[] = "getNumOfArgsForMsgId";
  EvDebug log;
  EvLocaleMsgs record(nullptr);
  record.setIsolationType(kIsolation);
  record.setWhere("MessageID = %d", messageId);
  const int rc = FirstRow(&record);
  if (rc == kRow) {
    numOfArgs = record.getDataPtr()->ArgCount;
    log.DebugLvl(kTag, 10, "NumOfArgs %d", numOfArgs);
  } else if (rc == kFailedQuery) {
    log.Debug(kTag, "Failed to get Number of Arguments from EvLocaleMsgs table. Error[%s]",
              DBtable::getErrorStr(rc));
    return false;
  }
  return true;
}

bool getLatestMsgNum(int messageId, int jobId, int paramNum, int& msgNum) {
  static const char kTag[] = "getLatestMsgNum";
  EvDebug log;
  JMFailureReasonMsg record(nullptr);
  record.setIsolationType(kIsolation);
  record.setWhere("messageId = %d AND paramNum = %d AND jobId = %d", messageId, paramNum, jobId);
  record.setOrderBy("id desc");
  const int rc = FirstRow(&record);
  if (rc == kRow) {
    msgNum = record.getDataPtr()->id;
    log.DebugLvl(kTag, 10, "MessageNum %d", msgNum);
  } else if (rc == kFailedQuery) {
    log.Debug(kTag, "Failed to get Message Number from JMFailureReasonMsg table. Error[%s]",
              DBtable::getErrorStr(rc));
    return false;
  }
  return true;
}

bool getParameterForMsgID(int messageId, int jobId, std::vector<std::string>& parameters) {
  static const char kTag[] = "getParameterForMsgID";
  int count = 0;
  if (!getNumOfArgsForMsgId(messageId, count)) return false;
  if (count <= 0) return true;
  // Without an entry of this job there is no message number, and nothing to
  // read: parameters of another message must not be taken for its.
  int msgNum = 0;
  if (!getLatestMsgNum(messageId, jobId, count, msgNum)) return false;
  if (msgNum == 0) return true;

  EvDebug log;
  JMFailureReasonMsgParam record(nullptr);
  record.setIsolationType(kIsolation);
  record.setWhere("msgId = %d", msgNum);
  int fetched = 0, rc;
  while ((rc = getNextRow(&record, &fetched, -1, 0)) == kRow) {
    const char* data = record.getDataPtr()->data;
    log.DebugLvl(kTag, 10, "Message [%s]", data);
    parameters.push_back(data);
  }
  if (rc == kFailedQuery) {
    log.Debug(kTag, "Failed to get Message from JMFailureReasonMsgParam table. Error[%s]",
              DBtable::getErrorStr(rc));
    return false;
  }
  return true;
}

bool IsAnyRunningDownloadJob(bool& running, long long& jobId) {
  static const char kTag[] = "IsAnyRunningDownloadJob";
  EvDebug log;
  JMJobInfo record(nullptr);
  record.setWhere("opType = %d", kDownloadJobOpType);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc == kRow) {
    jobId = record.getDataPtr()->jobId;
    running = true;
    log.DebugLvl(kTag, 10, "DownloadJob %lld", jobId);
    return true;
  }
  if (rc == kNoRow) {
    log.DebugLvl(kTag, 10, "There is no running download job.");
    running = false;
    return true;
  }
  log.Debug(kTag, "Failed to compute whether there are any running download job. Error[%d:%s]", rc,
            DBtable::getErrorStr(rc));
  return false;
}

bool GetPackageNameFromId(int packageId, std::string& name) {
  static const char kTag[] = "GetPackageNameFromId";
  EvDebug log;
  log.DebugLvl(kTag, 2, "Starting to get package name for PackageID = %d", packageId);
  SimPackage record(nullptr);
  record.setWhere("id = %d", packageId);
  const int rc = getOneRow(&record, false, -1, 0);
  if (rc == kRow) {
    name = record.getDataPtr()->Name;
    log.DebugLvl(kTag, 2, "Returning package name %s.", name.c_str());
    return true;
  }
  if (rc == kNoRow) log.Debug(kTag, "Could not find package name from given id");
  else log.Debug(kTag, "getOneRow() failed. Error %s", DBtable::getErrorStr(rc));
  return false;
}

bool getBsNameForBsid(int bsId, std::string& name) {
  static const char kTag[] = "getBsNameForBsid";
  EvDebug log;
  SimBinarySet record(nullptr);
  record.setWhere("id = %d", bsId);
  const int opened = record.openCursor();
  if (opened != kRow && opened != kNoRow) {
    log.Debug(kTag, "Failed to open binary set table.");
    return false;
  }
  const bool found = record.fetchCursor(true) == kRow;
  if (found) name = record.getDataPtr()->name;
  else log.Debug(kTag, "Unable to retrieve info From BinarySet table.");
  record.closeCursor();
  return found;
}

bool GetSWCacheInfo(int clientId, int releaseId, int osId, FullVersion& version, int fourth,
                    long fifth) {
  static const char kTag[] = "GetSWCacheInfo";
  EvDebug log;
  std::string clientName;
  if (clientId < 0 || KQClient(static_cast<unsigned long>(clientId)).getName(clientName) != 0) {
    log.Debug(kTag, "Unable to get clientName for clientId [%d]", clientId);
    clientName.clear();
  }
  if (fifth < INT_MIN || fifth > INT_MAX) {
    log.Debug(kTag, "Argument [%ld] is out of range", fifth);
    return false;
  }
  GetPatchMultiCacheInfo record(nullptr);
  record.setValues(clientId, releaseId, osId, fourth, static_cast<int>(fifth));
  if (getOneRow(&record, true, -1, 0) != kRow) {
    log.DebugLvl(kTag, 2,
                 "Unable to retrieve info From PatchMultiCache table for Client [%s] Client_ID "
                 "[%d],Release [%d],OS[%d]",
                 clientName.c_str(), clientId, releaseId, osId);
    return false;
  }
  const GetPatchMultiCacheInfo_t* row = record.getDataPtr();
  version = FullVersion(_SPVersion(row->oHighestSP, "", 0, row->oTransactionId, 0),
                        _UPVersion(row->oUpdatePackNumber, 0, row->oFriendlyName));
  return true;
}
