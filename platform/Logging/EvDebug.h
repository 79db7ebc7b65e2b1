// EvDebug: the logging object every part of the library writes its lines through.
//
// An EvDebug is a small copyable value naming one log (a file "<log folder>/<log name>.log") and
// optionally a job id. Lines are printf-formatted and appended whole, each with one write(2) on a
// file opened with O_APPEND, so lines from many threads and processes never mix:
//
//   2026-12-07 04:31:02.117 4711 4713 L8 [GetCacheFilesFromXML] J42 <text>
//
// The tag is written exactly as passed ("[GetCacheFilesFromXML]", "GetIncrementalFile",
// "::ClearCachedBaselineList"); an empty or null tag writes nothing.
// The log folder is "Logging"/"dLogFolder" of the configuration store, else $KQ_LOG_DIR, else
// the default state folder "Logs" (Configuration/StateFolders.h: under the install folder, else
// private to the user). A relative "Logging"/"dLogFolder" is passed over, with a level-0 line
// saying so (on stderr when no log can be written). Before a log file is first opened its folder
// is made (0700) when missing and checked as the state folders are: an absolute path naming a
// real folder, not a link, owned by this user or root, writable by nobody else; a refused folder
// is told once on stderr and its lines are dropped. While the configuration store is refused
// (Configuration/IniStore.h) no log file is written: the lines go to standard error. A log name
// is one file name: "/" and "\" in it become "_", so a name from a caller never leads out of
// the log folder. Log files are made 0600, opened without following a link and without
// waiting, and only a regular file is used. A write cut short (a full file system) leaves the
// rest of its line to be written ahead of the process's next line to that file, so that no line
// of this process runs into another. One object may log from several threads at once. A line
// is written when its level is at most the configured level ("Logging"/"nDebugLevel", default
// 1). The default log (no file instance) is "KqPatches".
#ifndef KQ_PLATFORM_LOGGING_EVDEBUG_H_
#define KQ_PLATFORM_LOGGING_EVDEBUG_H_

#pragma GCC visibility push(default)

#include <atomic>
#include <cstdarg>
#include <string>

#define KQ_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Names the log file a job writes to; copyable. Empty means the default log.
class EvDebugFileInstance {
 public:
  EvDebugFileInstance() = default;
  explicit EvDebugFileInstance(std::string logName) : logName_(std::move(logName)) {}
  const std::string& logName() const { return logName_; }
  void setLogName(std::string name) { logName_ = std::move(name); }

 private:
  std::string logName_;
};

// While it lives, the calling thread's default log is the given file instance (which must
// outlive it); the destructor gives the thread back the log it had before. An instance without
// a name changes nothing.
class ThLvlEvDebugFileInstance {
 public:
  explicit ThLvlEvDebugFileInstance(EvDebugFileInstance* instance);
  ~ThLvlEvDebugFileInstance();
  ThLvlEvDebugFileInstance(const ThLvlEvDebugFileInstance&) = delete;
  ThLvlEvDebugFileInstance& operator=(const ThLvlEvDebugFileInstance&) = delete;

 private:
  const EvDebugFileInstance* previous_;
};

class EvDebug {
 public:
  explicit EvDebug(EvDebugFileInstance* instance = nullptr);
  explicit EvDebug(const char* logName, long long jobId = 0);

  // Points this object at the log with the given id (from getLogId, or one of the fixed ids
  // below) and job id; a file instance with a name of its own takes precedence over the id,
  // and an instance without one is given the name found. False when the log file cannot be
  // opened for writing (the object then still names that log).
  bool initialize(EvDebugFileInstance* instance, int logId, long long jobId, bool,
                  const std::string&);
  void initialize(const char* logName, long long jobId = 0);
  // A stable small number for a log name (the same name gives the same id in this process).
  static int getLogId(const char* logName);

  // The configured level: lines above it are dropped. The configuration store is not read for
  // every call, yet a change of the level counts for every line logged 10 ms or more after it,
  // on every thread and whatever the thread logged before, however it was made: by another
  // process, by writing the file directly or by changing $KQ_CONFIG. One made through this
  // process's configuration layer counts at once. A line that its level drops costs about an
  // atomic load and a read of a coarse clock: it is compared with the level that the calling
  // thread's own last look at the store found, and a thread that keeps dropping lines looks
  // again every 5 ms, while GetDebugLevel and every written line look each time.
  int GetDebugLevel() const;

  void Debug(const char* tag, const char* fmt, ...) KQ_PRINTF(3, 4);
  void DebugLvl(const char* tag, int level, const char* fmt, ...) KQ_PRINTF(4, 5);
  void debugLvl(int level, const char* fmt, ...) KQ_PRINTF(3, 4);
  void DebugJob(int level, const char* tag, long long jobId, const char* fmt, ...) KQ_PRINTF(5, 6);
  void Error(const char* tag, const char* fmt, ...) KQ_PRINTF(3, 4);
  // The one common entry; the others do what it does.
  void handleMsgEventDebug_NEW(int level, const char* tag, unsigned int, int, long long jobId,
                               const char* function, const char* fmt, va_list args);

  // The log this object writes to now (the thread's lent log when it has none of its own).
  const std::string& logName() const;
  long long jobId() const { return jobId_; }
  // The path of that log in LogFolder() ("" while the configuration store is refused).
  std::string logFilePath() const;

  // The folder that logs are written to now ("" while the configuration store is refused).
  static std::string LogFolder();

  // The fixed id of the update-alert run's own log ("KQUpdates").
  static constexpr int kUpdateAlertLogId = 0x2F0986AC;

 private:
  std::string logName_;
  bool ownLog_ = false;  // named explicitly: the thread's lent log does not apply
  long long jobId_ = 0;
};

// Logs an error with its source location on the default log.
void log_error(const char* file, int line, const char* fmt, ...) KQ_PRINTF(3, 4);

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_LOGGING_EVDEBUG_H_
