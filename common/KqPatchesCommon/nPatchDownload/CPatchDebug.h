// CPatchDebug: the standard job event sink.
//
// Every line goes to the sink's own EvDebug (owned by value). The specific error is kept in
// memory under a mutex until the job reads it back; its message id is also kept in an atomic
// so that IsSpecificErrorSet may be asked from any thread without the lock. A sink made from a
// log file instance keeps its own copy of that instance for as long as it lives. Not copyable.
#ifndef KQ_COMMON_NPATCHDOWNLOAD_CPATCHDEBUG_H_
#define KQ_COMMON_NPATCHDOWNLOAD_CPATCHDEBUG_H_

#pragma GCC visibility push(default)

#include <atomic>
#include <mutex>
#include <queue>

#include "nPatchDownload/IPatchEvent.h"

namespace nPatchDownload {

class CPatchDebug : public IPatchEvent {
 public:
  // Lines go to the process's default log.
  CPatchDebug();
  // Lines go where the caller's log object sends them.
  explicit CPatchDebug(EvDebug log);
  // Lines go to the log that logName selects, marked with jobId.
  CPatchDebug(EvDebugFileInstance fileInstance, const char* logName, long jobId);
  ~CPatchDebug() override;
  CPatchDebug(const CPatchDebug&) = delete;
  CPatchDebug& operator=(const CPatchDebug&) = delete;

  void debug(const char* format, ...) override KQ_PRINTF(2, 3);
  void debugLvl(int level, const char* format, ...) override KQ_PRINTF(3, 4);
  void debugLvl(int level, long jobId, const char* format, ...) override KQ_PRINTF(4, 5);
  void DebugJob(const char* function, long jobId, const char* format, ...) override
      KQ_PRINTF(4, 5);
  void DebugJob(int level, const char* function, long jobId, const char* format, ...) override
      KQ_PRINTF(5, 6);
  void Debug(const char* function, const char* format, ...) override KQ_PRINTF(3, 4);
  void DebugLvl(const char* function, int level, const char* format, ...) override
      KQ_PRINTF(4, 5);
  void DebugLvl(const char* function, int level, long jobId, const char* format, ...) override
      KQ_PRINTF(5, 6);
  EvDebug* GetEvDebug() override { return &m_log; }
  void InfoEvent(int, long, int) override {}
  void MajorEvent(int, long, int) override {}
  // Records the job's specific error, replacing an earlier one; the details are copied.
  void SetSpecificError(int messageId, KQJobStatus status,
                        std::queue<tErrorDetails>* details) override;
  // Reads the held error; the details argument is replaced by a copy of the held queue.
  void GetErrorDetails(int& messageId, KQJobStatus& status,
                       std::queue<tErrorDetails>& details) override;
  bool IsSpecificErrorSet() override { return m_errorMessageId.load() != 0; }

 private:
  EvDebugFileInstance m_fileInstance;  // the instance handed to m_log, kept alive here
  EvDebug m_log;
  std::atomic<int> m_errorMessageId{0};
  std::queue<tErrorDetails> m_errorDetails;
  KQJobStatus m_jobStatus = static_cast<KQJobStatus>(1);
  std::mutex m_lock;  // guards the three error fields
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQ_COMMON_NPATCHDOWNLOAD_CPATCHDEBUG_H_
