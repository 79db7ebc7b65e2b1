// IPatchEvent: the job event sink every patch job class reports through.
//
// A job makes one sink and passes it by reference to every patch object of its work. Through
// it the objects write log lines and record the job's one user-visible error, the specific
// error: a message id of the event catalogue, a job status and the arguments of the message
// (tErrorDetails). The sink is owned by the job and outlives the objects it is passed to.
#ifndef KQ_PLATFORM_JOBS_IPATCHEVENT_H_
#define KQ_PLATFORM_JOBS_IPATCHEVENT_H_

#pragma GCC visibility push(default)

#include <queue>
#include <string>

#include "Jobs/KQJobStatus.h"
#include "Logging/EvDebug.h"

namespace nPatchDownload {

// One argument of a specific error: a 32-bit integer, a text or a 64-bit integer, with its
// type tag. A plain value.
struct tErrorDetails {
  enum eErrorDescType { eInt = 1, eString = 2, eInt64 = 3 };

  tErrorDetails() = default;
  // Copies the value of the given type at `value` (an int, a std::string or a long long).
  // A null value or an unknown type gives an empty text argument and one log line.
  tErrorDetails(eErrorDescType type, const void* value);

  int nValue = 0;
  std::string strValue;
  long long llValue = 0;
  eErrorDescType eType = eString;
};

class IPatchEvent {
 public:
  virtual ~IPatchEvent() {}

  virtual void debug(const char* format, ...) KQ_PRINTF(2, 3) = 0;
  virtual void debugLvl(int level, const char* format, ...) KQ_PRINTF(3, 4) = 0;
  virtual void debugLvl(int level, long jobId, const char* format, ...) KQ_PRINTF(4, 5) = 0;
  virtual void DebugJob(const char* function, long jobId, const char* format, ...)
      KQ_PRINTF(4, 5) = 0;
  virtual void DebugJob(int level, const char* function, long jobId, const char* format, ...)
      KQ_PRINTF(5, 6) = 0;
  virtual void Debug(const char* function, const char* format, ...) KQ_PRINTF(3, 4) = 0;
  virtual void DebugLvl(const char* function, int level, const char* format, ...)
      KQ_PRINTF(4, 5) = 0;
  virtual void DebugLvl(const char* function, int level, long jobId, const char* format, ...)
      KQ_PRINTF(5, 6) = 0;
  virtual EvDebug* GetEvDebug() = 0;
  virtual void InfoEvent(int, long, int) = 0;
  virtual void MajorEvent(int, long, int) = 0;
  virtual void SetSpecificError(int messageId, KQJobStatus status,
                                std::queue<tErrorDetails>* details) = 0;
  virtual void GetErrorDetails(int& messageId, KQJobStatus& status,
                               std::queue<tErrorDetails>& details) = 0;
  virtual bool IsSpecificErrorSet() = 0;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_JOBS_IPATCHEVENT_H_
