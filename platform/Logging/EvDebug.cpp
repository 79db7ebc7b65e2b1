#include "Logging/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "Configuration/StateFolders.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kDefaultLog[] = "KqPatches";
// Without a configured level only errors and the main steps are written; the detail levels
// (up to 10, one line per file or package) must be asked for.
const int kDefaultLevel = 1;
const char kStateKind[] = "Logs";

// Guards the tables below. Held for look-ups and insertions only, never across a call that may
// wait (opening a file, checking a folder, writing).
std::mutex g_mutex;

// One open log file, kept for the process's life.
struct OpenLog {
  explicit OpenLog(int f) : fd(f) {}
  const int fd;
  // Set while `rest` holds the unwritten end of a line that a write cut short (a full file
  // system): that rest is written ahead of the next line, so no other line of this process is
  // glued to the cut one.
  std::atomic<bool> cut{false};
  std::mutex restMutex;
  std::string rest;  // guarded by restMutex
};

// Open log files by path.
std::unordered_map<std::string, OpenLog*>& OpenLogs() {
  static auto* logs = new std::unordered_map<std::string, OpenLog*>();
  return *logs;
}

std::vector<std::string>& LogNames() {
  static auto* names = new std::vector<std::string>();
  return *names;
}

// What was refused and told on stderr already: each refusal is told once, not for every line.
std::set<std::string>& Told() {
  static auto* told = new std::set<std::string>();
  return *told;
}

// Tells `text` on stderr unless `what` was told before.
void TellOnce(const std::string& what, const std::string& text) {
  {
    std::lock_guard<std::mutex> g(g_mutex);
    if (!Told().insert(what).second) return;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
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

// ---- Where lines go ----

// The folder of the logs and whether it is the default state folder (checked as its kind) or
// one that the configuration or $KQ_LOG_DIR names. None while the store is refused: it may name
// the folder, so lines go to standard error meanwhile.
struct LogPlace {
  std::string folder;
  bool isDefault = false;
  bool storeRefused = false;
};

// Makes the log folder when missing and opens it, checked at every level from "/"
// (Configuration/StateFolders.h); a configured one must be an absolute path. The folder's
// descriptor, or -1 with the reason in `err`.
int OpenFolder(const LogPlace& place, std::string& err) {
  if (!place.isDefault) return kq::OpenConfiguredFolder(place.folder, err);
  std::string made;
  return kq::OpenStateFolder(kStateKind, made, err);
}

// Opens the log file `name` of the checked folder `dir` for appending, made 0600 when missing,
// without following a link and without waiting: a FIFO or a device, or a file of another user,
// is refused, never waited on or written to. -1 with the reason in `err`.
int OpenLogFile(int dir, const std::string& path, const std::string& name, std::string& err) {
  struct stat st;
  const int fd = kq::OpenAppendOnlyFileAt(dir, name, 0600, path, err, &st);
  if (fd < 0) return -1;
  // A log written before logs were private becomes unreadable by other users too.
  if ((st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
  return fd;
}

// The open log file `name` of `place`, opened on first use; null (told once on stderr) when the
// folder is refused or the file cannot be opened.
OpenLog* LogFileFor(const LogPlace& place, const std::string& name) {
  if (place.storeRefused) return nullptr;  // told on stderr by the store
  const std::string path = place.folder + "/" + name;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    auto it = OpenLogs().find(path);
    if (it != OpenLogs().end()) return it->second;
  }
  std::string err;
  const kq::ScopedFd dir(OpenFolder(place, err));
  if (!dir.valid()) {
    TellOnce("folder " + place.folder,
             "Refusing " + kq::DescribeRefusal("log folder", place.folder, err));
    return nullptr;
  }
  const int fd = OpenLogFile(dir.get(), path, name, err);
  if (fd < 0) {
    TellOnce("file " + path, "Refusing " + kq::DescribeRefusal("log file", path, err));
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_mutex);
  auto made = OpenLogs().emplace(path, nullptr);
  if (!made.second) {
    ::close(fd);  // another thread opened it meanwhile
  } else {
    made.first->second = new OpenLog(fd);
  }
  return made.first->second;
}

// Writes `text` (the rest of a cut line, if any, then `line`) with one write; keeps in
// log.rest what of a started line could not be written. Lines not started are dropped whole.
// Called with log.restMutex held.
void WriteLocked(OpenLog& log, const std::string& line) {
  const std::string text = log.rest + line;
  if (text.empty()) return;
  const ssize_t w = ::write(log.fd, text.data(), text.size());
  const size_t restSize = log.rest.size();
  if (w <= 0 || static_cast<size_t>(w) == text.size()) {
    if (w > 0) log.rest.clear();
  } else if (static_cast<size_t>(w) < restSize) {
    log.rest.erase(0, static_cast<size_t>(w));  // the new line was not started
  } else if (static_cast<size_t>(w) == restSize) {
    log.rest.clear();  // the cut line is finished; the new one was not started
  } else {
    log.rest = text.substr(static_cast<size_t>(w));
  }
  log.cut.store(!log.rest.empty(), std::memory_order_release);
}

// Appends one whole line with one write (O_APPEND keeps whole lines together across threads
// and processes). A write cut short leaves the rest of its line to be written ahead of the next
// line, so that no line of this process is glued to a cut one.
void AppendLine(OpenLog& log, const std::string& line) {
  if (!log.cut.load(std::memory_order_acquire)) {
    const ssize_t w = ::write(log.fd, line.data(), line.size());
    if (w <= 0 || static_cast<size_t>(w) == line.size()) return;
    std::lock_guard<std::mutex> g(log.restMutex);
    log.rest.append(line, static_cast<size_t>(w), std::string::npos);
    WriteLocked(log, std::string());  // finish it now when the file system lets us
    return;
  }
  std::lock_guard<std::mutex> g(log.restMutex);
  WriteLocked(log, line);
}

// ---- The configured level and folder ----

// How often a thread that drops lines looks at the store, and the slowest tick of a clock that
// may time it (see the gate below).
constexpr long long kLookEvery = 5'000'000;  // ns
constexpr long long kMaxTick = 4'000'000;    // ns

// The gate's clock: the coarse monotonic clock (a read of a word the kernel keeps), or the fine
// one where the coarse clock ticks more slowly than kMaxTick. Both count from the same origin,
// so a look stamped on one compares with a reading of the other.
std::atomic<clockid_t> g_gateClock{CLOCK_MONOTONIC_COARSE};
struct GateClockChoice {
  GateClockChoice() {
    timespec tick{};
    if (::clock_getres(CLOCK_MONOTONIC_COARSE, &tick) != 0 || tick.tv_sec != 0 ||
        tick.tv_nsec > kMaxTick)
      g_gateClock.store(CLOCK_MONOTONIC, std::memory_order_relaxed);
  }
} g_gateClockChoice;

// Now on the gate's clock, in nanoseconds.
inline long long ReadGateClock() {
  timespec now;
  ::clock_gettime(g_gateClock.load(std::memory_order_relaxed), &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// The logging values of the configuration store and the environment as one thread found them
// at its last look. A look (for every written line, and for GetDebugLevel) compares $KQ_CONFIG
// and this process's count of store writes with what was found; the store itself is looked at
// (a file status call) when either changed or kSettingsRecheck has passed since it was last
// looked at, and the values, the log folder among them, are worked out again only when the
// store or $KQ_LOG_DIR changed. So a change made by this process is seen at once, one made by
// another process within kSettingsRecheck. A look that the gate (below) lets through because
// its time has come always looks at the store.
struct LogSettings {
  bool valid = false;
  unsigned long long generation = 0;
  std::string configEnv;  // $KQ_CONFIG as it was ("" when unset)
  std::string logDirEnv;  // $KQ_LOG_DIR as it was ("" when unset)
  Clock::time_point checked;
  long long checkedOnGateClock = 0;  // the same moment on the gate's clock (ns)
  std::shared_ptr<const kqconfig::IniData> config;
  int level = kDefaultLevel;
  LogPlace place;
  std::string refused;  // a relative "Logging"/"dLogFolder" passed over ("" when none)
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

const char* EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Works out the level and the log folder from the store and $KQ_LOG_DIR: "Logging"/"dLogFolder"
// when it is an absolute path (a relative one is passed over and kept in `refused`), else
// $KQ_LOG_DIR, else the default state folder; no folder while the store is refused.
void WorkOut(LogSettings& s) {
  s.level = kDefaultLevel;
  long long level = 0;
  const std::string* text = s.config->find("Logging", "nDebugLevel");
  if (text != nullptr && KqParseConfigNumber(*text, level) && level >= 0 && level <= INT_MAX)
    s.level = static_cast<int>(level);
  const std::string* folder = s.config->find("Logging", "dLogFolder");
  s.refused.clear();
  if (!s.config->refused.empty()) {
    s.place = LogPlace{std::string(), false, true};
    return;
  }
  if (folder != nullptr && !folder->empty() && (*folder)[0] == '/') {
    s.place = LogPlace{*folder, false};
    return;
  }
  if (folder != nullptr) s.refused = *folder;
  if (!s.logDirEnv.empty()) {
    s.place = LogPlace{s.logDirEnv, false};
  } else {
    s.place = LogPlace{kq::DefaultStateFolder(kStateKind), true};
  }
}

// Brings `s` up to date as described above; `due` (the gate's time to look has come) looks at
// the store even when the last look is recent on the fine clock.
void Refresh(LogSettings& s, Clock::time_point now, bool due) {
  const unsigned long long generation = kqconfig::IniStore::Generation();
  const char* env = EnvOrEmpty("KQ_CONFIG");
  const bool sameStore = s.valid && std::strcmp(env, s.configEnv.c_str()) == 0;
  if (!due && sameStore && generation == s.generation && now - s.checked < kSettingsRecheck)
    return;
  const long long onGateClock = ReadGateClock();  // read before the store is looked at
  std::shared_ptr<const kqconfig::IniData> config = kqconfig::IniStore::Default().snapshot();
  const char* logDir = EnvOrEmpty("KQ_LOG_DIR");
  if (!sameStore || config != s.config || s.logDirEnv != logDir) {
    s.config = std::move(config);
    s.configEnv = env;
    s.logDirEnv = logDir;
    WorkOut(s);
  }
  s.generation = generation;
  s.checked = now;
  s.checkedOnGateClock = onGateClock;
  s.valid = true;
}

// ---- The gate: what a filtered line costs ----
//
// A line that its level filters out is dropped at the gate of its thread: the level of the
// thread's last look at the store, this process's count of store writes then, and when that
// look was on a coarse clock. A write to a store by this process changes the count and so opens
// the gate at once. Changes the count cannot tell (another process's write, a changed
// $KQ_CONFIG) are seen at the thread's next look, which the gate lets through once kLookEvery
// has passed on its clock. That clock lags real time by less than one tick (kMaxTick at most),
// so a dropped line comes less than kLookEvery + kMaxTick = 9 ms after a look: every line logged
// 10 ms or more after such a change counts it, whatever the thread logged before. A filtered line
// costs an atomic load and a read of the clock; a thread that keeps dropping lines looks at the
// store once per kLookEvery.

// The calling thread's gate, set at each of its looks. Read for every filtered line: kept in the
// static thread-local block, so reading it needs no call.
struct Gate {
  int level = INT_MAX;  // nothing is dropped before the thread's first look
  unsigned long long generation = 0;
  long long lookedAt = 0;  // on the gate's clock (ns)
};
__attribute__((tls_model("initial-exec"))) thread_local Gate t_gate;

// True when a line of `level` is dropped at the gate; costs an atomic load and a clock read.
inline bool DroppedAtGate(int level) {
  const Gate& gate = t_gate;
  if (level <= gate.level) return false;
  if (gate.generation != kqconfig::IniStore::Generation()) return false;
  return ReadGateClock() - gate.lookedAt < kLookEvery;
}

// A look: brings the calling thread's settings up to date and sets its gate from them. `due`:
// the gate let a line it drops through, as the time to look has come. `scratch` serves once the
// thread's own settings are gone.
const LogSettings& Look(LogSettings& scratch, bool due = false) {
  LogSettings& s = t_settingsGone ? scratch : t_settings.settings;
  Refresh(s, Clock::now(), due);
  t_gate.level = s.level;
  t_gate.generation = s.generation;
  t_gate.lookedAt = s.checkedOnGateClock;
  return s;
}

// The level of the line that tells a relative "Logging"/"dLogFolder" was passed over.
constexpr int kRefusalLevel = 0;
// The last relative "Logging"/"dLogFolder" told about, with the store contents it came from
// (guarded by g_mutex): told once for each contents of the store, not for every line.
struct Refusal {
  std::string folder;
  const void* store = nullptr;
};
Refusal& ToldRefusal() {
  static auto* told = new Refusal();
  return *told;
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
  LogSettings scratch;
  const LogPlace place = Look(scratch).place;
  return LogFileFor(place, logName_ + ".log") != nullptr;
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
  LogSettings scratch;
  return Look(scratch).level;
}

std::string EvDebug::LogFolder() {  // "" while the store is refused
  LogSettings scratch;
  return Look(scratch).place.folder;
}

std::string EvDebug::logFilePath() const {
  const std::string folder = LogFolder();
  return folder.empty() ? folder : folder + "/" + logName() + ".log";
}

namespace {

// The head of a line: "2026-12-07 04:31:02.117 4711 4713 L8 ".
void AppendHead(std::string& line, int level) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tmv;
  ::localtime_r(&tv.tv_sec, &tmv);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
  char head[160];
  int n = std::snprintf(head, sizeof head, "%s.%03ld %d %ld L%d ", stamp,
                        static_cast<long>(tv.tv_usec / 1000), static_cast<int>(::getpid()),
                        static_cast<long>(::syscall(SYS_gettid)), level);
  line.append(head, n > 0 ? static_cast<size_t>(n) : 0);
}

// Appends printf-formatted text. A text that gets no memory for its length is cut to its
// first bytes and a note of that length.
void AppendFormatted(std::string& line, const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int len = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (len >= 0 && static_cast<size_t>(len) < sizeof small) {
    line.append(small, static_cast<size_t>(len));
  } else if (len > 0) {
    const size_t start = line.size();
    const size_t size = static_cast<size_t>(len);
    try {
      // Formatted in place, in room for the line's end as well: one allocation.
      line.resize(start + size + 1);
    } catch (const std::bad_alloc&) {
      char note[64];
      const int n = std::snprintf(note, sizeof note, "... [cut: %d bytes]", len);
      line.append(small, sizeof small - 1).append(note, n > 0 ? static_cast<size_t>(n) : 0);
      return;
    }
    std::vsnprintf(&line[start], size + 1, fmt, args);
    line.resize(start + size);
  }
}

// Says that a relative "Logging"/"dLogFolder" was passed over, once for the store contents it
// came from: as a line of `log`, or on stderr when that log cannot be written.
void TellRefusal(OpenLog* log, const Refusal& refusal, const std::string& folder) {
  {
    std::lock_guard<std::mutex> g(g_mutex);
    Refusal& told = ToldRefusal();
    if (told.folder == refusal.folder && told.store == refusal.store) return;
    told = refusal;
  }
  const std::string& refused = refusal.folder;
  const std::string text = "Refusing the log folder [" + refused +
                           "] of \"Logging\"/\"dLogFolder\": not an absolute path; logging to [" +
                           folder + "]";
  if (log == nullptr) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  std::string line;
  AppendHead(line, kRefusalLevel);
  AppendLine(*log, line.append(text).append("\n"));
}

}  // namespace

namespace {

// Everything of a line after the gate: the look, the level, the text, the write.
void BuildAndWriteLine(const EvDebug& log, int level, const char* tag, long long jobId,
                       const char* function, const char* fmt, va_list args) {
  LogSettings scratch;
  // Past the gate with a level it drops: the time to look has come (or the count of store
  // writes changed, which makes a look anyway).
  const LogSettings& settings = Look(scratch, level > t_gate.level);
  if (level > settings.level) return;
  // Copied: what this line calls may log, and so change the thread's settings.
  const LogPlace place = settings.place;
  const Refusal refused{settings.refused, settings.config.get()};
  if (!fmt) fmt = "";

  std::string line;
  AppendHead(line, level);
  if (jobId == 0) jobId = log.jobId();  // a log set up for a job marks every line with it
  // The tag is written as the caller passed it: its decoration (brackets, a "::" prefix) is
  // part of the tag.
  if (tag && *tag) line.append(tag).append(" ");
  if (jobId != 0) line.append("J").append(std::to_string(jobId)).append(" ");
  if (function && *function) line.append(function).append(": ");
  AppendFormatted(line, fmt, args);
  if (line.empty() || line.back() != '\n') line.push_back('\n');

  OpenLog* file = LogFileFor(place, log.logName() + ".log");
  if (!refused.folder.empty()) TellRefusal(file, refused, place.folder);
  if (file != nullptr) {
    AppendLine(*file, line);
  } else if (place.storeRefused) {
    (void)!::write(STDERR_FILENO, line.data(), line.size());
  }
}

// BuildAndWriteLine for the entry points: a line that gets no memory is dropped (or, past the
// write, left unfinished) and the caller goes on.
__attribute__((noinline)) void LogLine(const EvDebug& log, int level, const char* tag,
                                       long long jobId, const char* function, const char* fmt,
                                       va_list args) {
  try {
    BuildAndWriteLine(log, level, tag, jobId, function, fmt, args);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

}  // namespace

void EvDebug::handleMsgEventDebug_NEW(int level, const char* tag, unsigned int, int,
                                      long long jobId, const char* function, const char* fmt,
                                      va_list args) {
  if (!DroppedAtGate(level)) LogLine(*this, level, tag, jobId, function, fmt, args);
}

// What handleMsgEventDebug_NEW does, with the gate passed before the arguments are gathered.
#define KQ_FORWARD(level, tag, job, function)                                     \
  if (DroppedAtGate(level)) return;                                               \
  va_list args;                                                                   \
  va_start(args, fmt);                                                            \
  LogLine(*this, level, tag, job, function, fmt, args);                           \
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
  char where[512];  // on the stack: a failed allocation here would escape the logger
  std::snprintf(where, sizeof where, "%s:%d", file ? file : "?", line);
  va_list args;
  va_start(args, fmt);
  log.handleMsgEventDebug_NEW(0, "ERROR", 0, -1, 0, where, fmt, args);
  va_end(args);
}
