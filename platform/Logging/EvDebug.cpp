#include "Logging/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "Configuration/StateFolders.h"

namespace {

const char kDefaultLog[] = "KqPatches";
// Without a configured level only errors and the main steps are written; the detail levels
// (up to 10, one line per file or package) must be asked for.
const int kDefaultLevel = 1;
const char kStateKind[] = "Logs";

std::mutex g_mutex;

// Open log files by path; kept open for the process's life.
std::unordered_map<std::string, int>& OpenFiles() {
  static auto* files = new std::unordered_map<std::string, int>();
  return *files;
}

std::vector<std::string>& LogNames() {
  static auto* names = new std::vector<std::string>();
  return *names;
}

void MakeFolders(const std::string& folder) {
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos == folder.size() || folder[pos] == '/') ::mkdir(folder.substr(0, pos).c_str(), 0755);
  }
}

// A log name as one file name of the log folder.
std::string FileNameOf(const char* logName) {
  std::string name = logName != nullptr && *logName != '\0' ? logName : kDefaultLog;
  for (char& c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  return name;
}

// The file instance the calling thread lends its default log to (null: none).
thread_local const EvDebugFileInstance* t_lentLog = nullptr;

// Logs with a fixed id, known without getLogId.
struct FixedLogId {
  int id;
  const char* name;
};
constexpr FixedLogId kFixedLogIds[] = {{EvDebug::kUpdateAlertLogId, "KQUpdates"}};

int FileFor(const std::string& folder, const std::string& path) {
  std::lock_guard<std::mutex> g(g_mutex);
  auto it = OpenFiles().find(path);
  if (it != OpenFiles().end()) return it->second;
  if (folder == kq::DefaultStateFolder(kStateKind)) {
    // Made and checked here: the logs must not go where another user could make the folder.
    std::string made, err;
    if (!kq::PrepareStateFolder(kStateKind, made, err)) {
      static std::atomic<bool> told{false};
      if (!told.exchange(true)) std::fprintf(stderr, "Refusing the log folder: %s\n", err.c_str());
      return -1;
    }
  }
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0 && errno == ENOENT) {
    MakeFolders(folder);
    fd = ::open(path.c_str(), flags, 0644);
  }
  if (fd >= 0) OpenFiles()[path] = fd;
  return fd;
}

// The logging values of the configuration store as the calling thread found them last. A line
// that is filtered out costs little more than this check, so the store is not looked at for
// every line: the values are used as they are while this process wrote to no store (its own
// writes are seen at once), $KQ_CONFIG names the same store, and the store was looked at less
// than a few milliseconds ago; another process's change is seen that much later at most. A
// look-up costs a file status call, and the values are worked out again only when the store
// changed.
struct LogSettings {
  bool valid = false;
  unsigned long long generation = 0;
  std::string configEnv;  // $KQ_CONFIG as it was ("" when unset)
  std::chrono::steady_clock::time_point checked;
  std::shared_ptr<const kqconfig::IniData> config;
  int level = kDefaultLevel;
  std::string folder;  // "Logging"/"dLogFolder"; empty when unset
};
constexpr std::chrono::milliseconds kSettingsRecheck(5);
// Set when the thread's settings are destroyed (at its end): a line logged after that, from a
// destructor that runs later, looks the store up itself.
thread_local bool t_settingsGone = false;
struct ThreadSettings {
  LogSettings settings;
  ~ThreadSettings() { t_settingsGone = true; }
};
thread_local ThreadSettings t_settings;

void Refresh(LogSettings& s) {
  const unsigned long long generation = kqconfig::IniStore::Generation();
  const char* env = std::getenv("KQ_CONFIG");
  if (env == nullptr) env = "";
  const auto now = std::chrono::steady_clock::now();
  const bool sameStore = s.valid && std::strcmp(env, s.configEnv.c_str()) == 0;
  if (sameStore && generation == s.generation && now - s.checked < kSettingsRecheck) return;
  std::shared_ptr<const kqconfig::IniData> config = kqconfig::IniStore::Default().snapshot();
  if (!sameStore || config != s.config) {
    s.level = kDefaultLevel;
    long long level = 0;
    const std::string* text = config->find("Logging", "nDebugLevel");
    if (text != nullptr && KqParseConfigNumber(*text, level) && level >= 0 && level <= INT_MAX)
      s.level = static_cast<int>(level);
    const std::string* folder = config->find("Logging", "dLogFolder");
    s.folder = folder != nullptr ? *folder : std::string();
    s.config = std::move(config);
    s.configEnv = env;
  }
  s.generation = generation;
  s.checked = now;
  s.valid = true;
}

// The calling thread's settings, brought up to date; scratch serves once the thread's own are
// gone.
const LogSettings& Settings(LogSettings& scratch) {
  LogSettings& s = t_settingsGone ? scratch : t_settings.settings;
  Refresh(s);
  return s;
}

}  // namespace

ThLvlEvDebugFileInstance::ThLvlEvDebugFileInstance(EvDebugFileInstance* instance)
    : previous_(t_lentLog) {
  if (instance != nullptr && !instance->logName().empty()) t_lentLog = instance;
}

ThLvlEvDebugFileInstance::~ThLvlEvDebugFileInstance() { t_lentLog = previous_; }

EvDebug::EvDebug(EvDebugFileInstance* instance)
    : logName_(FileNameOf(instance ? instance->logName().c_str() : nullptr)),
      ownLog_(instance && !instance->logName().empty()) {}

EvDebug::EvDebug(const char* logName, long long jobId)
    : logName_(FileNameOf(logName)), ownLog_(logName && *logName), jobId_(jobId) {}

bool EvDebug::initialize(EvDebugFileInstance* instance, int logId, long long jobId, bool,
                         const std::string&) {
  std::string name;
  if (instance && !instance->logName().empty()) {
    name = instance->logName();
  } else {
    for (const FixedLogId& fixed : kFixedLogIds)
      if (fixed.id == logId) name = fixed.name;
    std::lock_guard<std::mutex> g(g_mutex);
    if (name.empty() && logId >= 0 && static_cast<size_t>(logId) < LogNames().size())
      name = LogNames()[logId];
  }
  ownLog_ = !name.empty();
  logName_ = FileNameOf(name.c_str());
  if (instance != nullptr && ownLog_) instance->setLogName(logName_);
  jobId_ = jobId;
  const std::string folder = LogFolder();
  return FileFor(folder, folder + "/" + logName_ + ".log") >= 0;
}

void EvDebug::initialize(const char* logName, long long jobId) {
  ownLog_ = logName && *logName;
  logName_ = FileNameOf(logName);
  jobId_ = jobId;
}

const std::string& EvDebug::logName() const {
  if (!ownLog_ && t_lentLog != nullptr) return t_lentLog->logName();
  return logName_;
}

int EvDebug::getLogId(const char* logName) {
  std::string name = logName && *logName ? logName : kDefaultLog;
  std::lock_guard<std::mutex> g(g_mutex);
  auto& names = LogNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i);
  names.push_back(name);
  return static_cast<int>(names.size() - 1);
}

int EvDebug::GetDebugLevel() const {
  if (!t_settingsGone) {
    Refresh(t_settings.settings);
    return t_settings.settings.level;
  }
  LogSettings scratch;
  return Settings(scratch).level;
}

std::string EvDebug::LogFolder() {
  LogSettings scratch;
  const std::string& folder = Settings(scratch).folder;
  if (!folder.empty()) return folder;
  const char* env = std::getenv("KQ_LOG_DIR");
  return env && *env ? env : kq::DefaultStateFolder(kStateKind);
}

std::string EvDebug::logFilePath() const { return LogFolder() + "/" + logName() + ".log"; }

void EvDebug::handleMsgEventDebug_NEW(int level, const char* tag, unsigned int, int,
                                      long long jobId, const char* function, const char* fmt,
                                      va_list args) {
  if (level > GetDebugLevel()) return;
  if (!fmt) fmt = "";

  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tmv;
  ::localtime_r(&tv.tv_sec, &tmv);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);

  std::string line;
  char head[160];
  int n = std::snprintf(head, sizeof head, "%s.%03ld %d %ld L%d ", stamp,
                        static_cast<long>(tv.tv_usec / 1000), static_cast<int>(::getpid()),
                        static_cast<long>(::syscall(SYS_gettid)), level);
  line.append(head, n > 0 ? static_cast<size_t>(n) : 0);
  if (jobId == 0) jobId = jobId_;  // a log set up for a job marks every line with it
  // The tag is written as the caller passed it: its decoration (brackets, a "::" prefix) is
  // part of the tag.
  if (tag && *tag) line.append(tag).append(" ");
  if (jobId != 0) line.append("J").append(std::to_string(jobId)).append(" ");
  if (function && *function) line.append(function).append(": ");

  va_list copy;
  va_copy(copy, args);
  char small[512];
  int len = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (len >= 0 && static_cast<size_t>(len) < sizeof small) {
    line.append(small, static_cast<size_t>(len));
  } else if (len > 0) {
    std::string big(static_cast<size_t>(len) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), fmt, args);
    big.resize(static_cast<size_t>(len));
    line += big;
  }
  if (line.empty() || line.back() != '\n') line.push_back('\n');

  std::string folder = LogFolder();
  int fd = FileFor(folder, folder + "/" + logName() + ".log");
  if (fd < 0) return;
  // One write per line: O_APPEND keeps whole lines together across threads and processes.
  ssize_t w = ::write(fd, line.data(), line.size());
  (void)w;
}

#define KQ_FORWARD(level, tag, job, function)                                     \
  va_list args;                                                                   \
  va_start(args, fmt);                                                            \
  handleMsgEventDebug_NEW(level, tag, 0, -1, job, function, fmt, args);           \
  va_end(args)

void EvDebug::Debug(const char* tag, const char* fmt, ...) { KQ_FORWARD(0, tag, jobId_, nullptr); }

void EvDebug::DebugLvl(const char* tag, int level, const char* fmt, ...) {
  KQ_FORWARD(level, tag, jobId_, nullptr);
}

void EvDebug::debugLvl(int level, const char* fmt, ...) {
  KQ_FORWARD(level, nullptr, jobId_, nullptr);
}

void EvDebug::DebugJob(int level, const char* tag, long long jobId, const char* fmt, ...) {
  KQ_FORWARD(level, tag, jobId, nullptr);
}

void EvDebug::Error(const char* tag, const char* fmt, ...) {
  KQ_FORWARD(0, tag, jobId_, "ERROR");
}

#undef KQ_FORWARD

void log_error(const char* file, int line, const char* fmt, ...) {
  EvDebug log;
  std::string where = std::string(file ? file : "?") + ":" + std::to_string(line);
  va_list args;
  va_start(args, fmt);
  log.handleMsgEventDebug_NEW(0, "ERROR", 0, -1, 0, where.c_str(), fmt, args);
  va_end(args);
}
