// Small pieces the phases of a retrieval job share: how a side is named in log lines, the log
// object of a sink that may have none, and the report of a job that the job manager asked to stop.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALPHASEUTIL_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALPHASEUTIL_H_

#pragma GCC visibility push(default)

#include <queue>
#include <string>

#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalSide.h"

namespace nPatchDownload {

// The operating-system name of a side.
inline const char* SideOSName(const tRetrievalSide& side) {
  return CPatchInstallCommon::GetUpdateOSNameFromID(static_cast<unsigned int>(side.osId), false);
}

// A version as side texts show it ("V11B80_SP20_4711_R3_CU2").
inline std::string SideVersionText(const FullVersion& version) {
  return version.formatted_str(FullVersion::kFormatSide);
}

// The sink's logging object, or `fallback` (a default log the caller owns) when it has none.
inline EvDebug& JobLog(IPatchEvent& event, EvDebug& fallback) {
  EvDebug* log = event.GetEvDebug();
  return log != nullptr ? *log : fallback;
}

// True when the sink has a logging object whose level lets lines of `level` through.
inline bool JobLogsAt(IPatchEvent& event, int level) {
  EvDebug* log = event.GetEvDebug();
  return log != nullptr && log->GetDebugLevel() >= level;
}

// Logs the stop request, raises the job error 0x44000061 (job status 4, no details) and gives
// the code a phase returns for it, 0x8000001A.
inline unsigned int ReportJobInterrupted(IPatchEvent& event, const char* function) {
  event.Debug(function, "Interrupt signal received from JM.");
  std::queue<tErrorDetails> none;
  event.SetSpecificError(0x44000061, static_cast<KQJobStatus>(4), &none);
  return KQ_PATCH_E_INTERRUPTED;
}

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_RETRIEVALPHASEUTIL_H_
