#include "nPatchDownload/CPatchDebug.h"

#include <cstdarg>
#include <system_error>

namespace nPatchDownload {

namespace {

// Takes the sink's lock; when that throws a system error, logs it under the tag and says no.
bool TakeLock(std::unique_lock<std::mutex>& hold, EvDebug& log, const char* tag,
              const char* purpose) {
  try {
    hold.lock();
    return true;
  } catch (const std::system_error& e) {
    log.Debug(tag, "Exception [%d:%s] caught when trying to acquire the lock for %s",
              e.code().value(), e.what(), purpose);
    return false;
  }
}

}  // namespace

CPatchDebug::CPatchDebug() : m_log(static_cast<EvDebugFileInstance*>(nullptr)) {}

CPatchDebug::CPatchDebug(EvDebug log) : m_log(log) {}

CPatchDebug::CPatchDebug(EvDebugFileInstance fileInstance, const char* logName, long jobId)
    : m_fileInstance(fileInstance), m_log(static_cast<EvDebugFileInstance*>(nullptr)) {
  m_log.initialize(&m_fileInstance, EvDebug::getLogId(logName), jobId, false, std::string());
}

CPatchDebug::~CPatchDebug() = default;

// Hands the caller's format and arguments, unformatted, to the log object's common entry.
#define KQ_PATCHDEBUG_FORWARD(level, tag, jobId, function)                              \
  va_list args;                                                                         \
  va_start(args, format);                                                               \
  m_log.handleMsgEventDebug_NEW(level, tag, 0, -1, jobId, function, format, args);      \
  va_end(args)

void CPatchDebug::debug(const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(0, nullptr, 0, nullptr);
}

void CPatchDebug::debugLvl(int level, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(level, nullptr, 0, nullptr);
}

void CPatchDebug::debugLvl(int level, long jobId, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(level, nullptr, jobId, nullptr);
}

void CPatchDebug::DebugJob(const char* function, long jobId, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(0, nullptr, jobId, function);
}

void CPatchDebug::DebugJob(int level, const char* function, long jobId, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(level, nullptr, jobId, function);
}

void CPatchDebug::Debug(const char* function, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(0, function, 0, nullptr);
}

void CPatchDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(level, function, 0, nullptr);
}

void CPatchDebug::DebugLvl(const char* function, int level, long jobId, const char* format, ...) {
  KQ_PATCHDEBUG_FORWARD(level, function, jobId, nullptr);
}

#undef KQ_PATCHDEBUG_FORWARD

void CPatchDebug::SetSpecificError(int messageId, KQJobStatus status,
                                   std::queue<tErrorDetails>* details) {
  std::unique_lock<std::mutex> hold(m_lock, std::defer_lock);
  if (!TakeLock(hold, m_log, "SetSpecificError", "setting errors")) return;
  if (!m_errorDetails.empty()) {
    m_log.debugLvl(8, "Override original error message Id [%d] with new one [%d]",
                   m_errorMessageId.load(), messageId);
    while (!m_errorDetails.empty()) m_errorDetails.pop();
  }
  m_errorMessageId.store(messageId);
  m_jobStatus = status;
  if (details != nullptr) m_errorDetails = *details;
}

void CPatchDebug::GetErrorDetails(int& messageId, KQJobStatus& status,
                                  std::queue<tErrorDetails>& details) {
  std::unique_lock<std::mutex> hold(m_lock, std::defer_lock);
  if (!TakeLock(hold, m_log, "GetErrorDetails", "getting errors")) return;
  messageId = m_errorMessageId.load();
  status = m_jobStatus;
  details = m_errorDetails;
}

}  // namespace nPatchDownload
