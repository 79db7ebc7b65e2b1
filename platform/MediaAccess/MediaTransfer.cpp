// libcurl and local-copy transfers into part files.
#include "MediaAccess/MediaTransfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PortableFiles/PxError.h"

namespace kqmedia {

namespace {

mode_t CurrentUmask();

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CurrentUmask();
  });
}

mode_t CurrentUmask() {
  // umask can only be read by setting it; do it once, before transfers run in threads.
  static const mode_t mask = [] {
    const mode_t m = umask(022);
    umask(m);
    return m;
  }();
  return mask;
}

// The file a transfer writes: "<target>.XXXXXX.part" beside the target. It becomes the target
// only through Commit(); otherwise it is removed when the object dies.
class PartFile {
 public:
  ~PartFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }

  // errno on failure.
  bool Create(const std::string& target) {
    GlobalInit();
    if (!MakeParentFolders(target)) return false;
    std::vector<char> name(target.begin(), target.end());
    static const char kSuffix[] = ".XXXXXX.part";
    name.insert(name.end(), kSuffix, kSuffix + sizeof(kSuffix));
    fd_ = mkstemps(name.data(), 5);
    if (fd_ < 0) return false;
    path_ = name.data();
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    return true;
  }

  bool Write(const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        writeErrno_ = errno;
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
      written_ += n;
    }
    return true;
  }

  // Closes and renames over the target; errno on failure (the part file is then removed).
  bool Commit(const std::string& target) {
    fchmod(fd_, 0666 & ~CurrentUmask());
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
      writeErrno_ = errno;
      return false;
    }
    if (rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

  // Resets the file for another try.
  bool Truncate() {
    written_ = 0;
    writeErrno_ = 0;
    return ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0;
  }

  int writeErrno() const { return writeErrno_; }
  long long written() const { return written_; }

 private:
  int fd_ = -1;
  std::string path_;
  int writeErrno_ = 0;
  long long written_ = 0;
};

unsigned int LocalWriteError(int err) {
  return err == ENOSPC || err == EDQUOT ? eDiskFull : eWriteFault;
}

void Fail(tTransferResult& result, unsigned int error, const std::string& text) {
  result.error = error;
  result.text = text;
}

size_t WriteToPart(char* data, size_t size, size_t count, void* user) {
  PartFile* part = static_cast<PartFile*>(user);
  return part->Write(data, size * count) ? size * count : 0;
}

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

// Ends a transfer that has moved no byte in either direction for `limit`.
struct tStallWatch {
  std::chrono::steady_clock::duration limit;
  std::chrono::steady_clock::time_point lastMove;
  curl_off_t lastDown = -1;
  curl_off_t lastUp = -1;
  bool stalled = false;
};

int WatchProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  tStallWatch* w = static_cast<tStallWatch*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (down != w->lastDown || up != w->lastUp) {
    w->lastDown = down;
    w->lastUp = up;
    w->lastMove = now;
    return 0;
  }
  if (now - w->lastMove < w->limit) return 0;
  w->stalled = true;
  return 1;
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// Sets a transfer's options on a handle: idle (options cleared) when given, else a new one.
CurlHandle MakeHandle(CURL* idle, const std::string& url, const tTransferOptions& o,
                      char* errorBuffer, tStallWatch* watch) {
  GlobalInit();
  CurlHandle h(idle != nullptr ? idle : curl_easy_init());
  if (!h) return h;
  CURL* c = h.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, o.connectTimeoutSec);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024L);
  watch->limit = std::chrono::seconds(o.stallTimeoutSec);
  watch->lastMove = std::chrono::steady_clock::now();
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, WatchProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, watch);
  if (o.scheme == tTransferOptions::eFtp) {
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_USERNAME, o.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, o.password.c_str());
    // Active mode: the server connects back to the address of the control connection.
    curl_easy_setopt(c, CURLOPT_FTPPORT, o.passive ? nullptr : "-");
    // The accept of an active data connection is bounded like every other wait.
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, o.connectTimeoutSec * 1000L);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, o.stallTimeoutSec);
  } else {
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, o.verifyPeer ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, o.verifyPeer ? 2L : 0L);
    if (!o.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, o.caFile.c_str());
  }
  return h;
}

// One try: a handle with its error text and its stall watch. An http(s) try with the
// owner's handles takes an idle one of them and gives it back when done.
struct tAttempt {
  tAttempt(const std::string& url, const tTransferOptions& o, TransferHandles* owner)
      : handles(o.scheme == tTransferOptions::eHttp ? owner : nullptr),
        handle(MakeHandle(handles != nullptr ? static_cast<CURL*>(handles->Take()) : nullptr, url,
                          o, errorBuffer, &watch)) {}
  ~tAttempt() {
    if (handles != nullptr && handle) handles->Give(handle.release());
  }
  char errorBuffer[CURL_ERROR_SIZE] = "";
  tStallWatch watch;
  TransferHandles* handles;
  CurlHandle handle;
};

// Maps a finished transfer to an error; `retry` says whether another try may help.
unsigned int MapCurlResult(CURLcode code, long status, const PartFile* part, bool ftp,
                           bool& retry) {
  retry = false;
  switch (code) {
    case CURLE_OK:
      return eNoError;
    case CURLE_HTTP_RETURNED_ERROR:
      if (status >= 500) {
        retry = true;
        return eInternalError;
      }
      if (status == 401 || status == 403 || status == 407) return eAccessDenied;
      if (status == 404 || status == 410) return eFileNotFound;
      return eInternalError;
    case CURLE_REMOTE_FILE_NOT_FOUND:
      return eFileNotFound;
    case CURLE_FTP_COULDNT_RETR_FILE:
      if (ftp && status >= 400 && status < 500) {  // transient reply ("451", "450")
        retry = true;
        return eInternalError;
      }
      return eFileNotFound;
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_ACCESS_DENIED:
      return eAccessDenied;
    case CURLE_OPERATION_TIMEDOUT:
      retry = true;
      return eTimeout;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
      return eCannotConnect;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return eSecureChannel;
    case CURLE_WRITE_ERROR:
      return part != nullptr && part->writeErrno() != 0 ? LocalWriteError(part->writeErrno())
                                                        : eWriteFault;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_FTP_BAD_FILE_LIST:
      return eInvalidData;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return eInvalidParameter;
    default:
      return eInternalError;
  }
}

std::string DescribeCurl(const std::string& url, CURLcode code, const char* buffer, long status) {
  std::string text = url + ": ";
  text += buffer[0] != '\0' ? buffer : curl_easy_strerror(code);
  if (status != 0) text += " (status " + std::to_string(status) + ")";
  return text;
}

void WaitBeforeRetry(const tTransferOptions& o, int tried) {
  long wait = o.retryWaitMs;
  for (int i = 1; i < tried && wait < 5000; ++i) wait *= 2;
  if (wait > 5000) wait = 5000;
  if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
}

}  // namespace

TransferHandles::~TransferHandles() { CloseIdle(); }

void TransferHandles::CloseIdle() {
  std::vector<void*> idle;
  {
    std::lock_guard<std::mutex> hold(lock_);
    idle.swap(idle_);
  }
  for (void* h : idle) curl_easy_cleanup(static_cast<CURL*>(h));
}

void* TransferHandles::Take() {
  std::lock_guard<std::mutex> hold(lock_);
  if (idle_.empty()) return nullptr;
  void* h = idle_.back();
  idle_.pop_back();
  return h;
}

void TransferHandles::Give(void* handle) {
  if (handle == nullptr) return;
  // The options point into the finished transfer's frame: cleared, the connections stay.
  curl_easy_reset(static_cast<CURL*>(handle));
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (idle_.size() < kMaxIdle) {
      idle_.push_back(handle);
      return;
    }
  }
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

size_t TransferHandles::IdleCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return idle_.size();
}

bool MakeParentFolders(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  std::string prefix;
  size_t pos = 0;
  while (pos < slash) {
    size_t next = path.find('/', pos + 1);
    if (next == std::string::npos || next > slash) next = slash;
    prefix = path.substr(0, next);
    pos = next;
    if (prefix.empty() || prefix.back() == '/') continue;
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (stat(path.substr(0, slash).c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

std::string EscapePath(const std::string& relative) {
  GlobalInit();
  std::string out;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (end > start) {
      char* e = curl_easy_escape(nullptr, relative.data() + start, static_cast<int>(end - start));
      if (e != nullptr) {
        out += e;
        curl_free(e);
      }
    }
    if (end < relative.size()) out += '/';
    start = end + 1;
  }
  return out;
}

namespace {

// What one try came to.
struct tTryOutcome {
  unsigned int error = eNoError;
  bool retry = false;  // another try may help
  long status = 0;
  std::string text;
};

// One try of url: into part, or, without a part, a probe that asks for no body.
tTryOutcome RunTry(const std::string& url, const tTransferOptions& options, PartFile* part,
                   TransferHandles* handles) {
  tTryOutcome out;
  tAttempt attempt(url, options, handles);
  CURL* c = attempt.handle.get();
  if (c == nullptr) {
    out.error = eInternalError;
    out.text = "Cannot make a transfer handle for [" + url + "]";
    return out;
  }
  if (part != nullptr) {
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteToPart);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, part);
  } else {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DiscardBody);
  }
  const CURLcode code = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
  const bool ftp = options.scheme == tTransferOptions::eFtp;
  out.error = MapCurlResult(code, out.status, part, ftp, out.retry);
  out.text = DescribeCurl(url, code, attempt.errorBuffer, out.status);
  if (attempt.watch.stalled) {
    out.error = eTimeout;
    out.retry = true;
    out.text = url + ": no data moved for " + std::to_string(options.stallTimeoutSec) + " s";
  }
  if (out.error == eNoError && part != nullptr) {
    curl_off_t announced = -1;
    curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (!ftp && out.status >= 400) {
      out.error = eInternalError;
    } else if (announced >= 0 && announced != part->written()) {
      out.error = eInvalidData;
      out.text = url + ": received " + std::to_string(part->written()) + " of " +
                 std::to_string(static_cast<long long>(announced)) + " bytes";
    }
  }
  return out;
}

}  // namespace

tTransferResult FetchUrl(const std::string& url, const std::string& target,
                         const tTransferOptions& options, TransferHandles* handles) {
  tTransferResult result;
  PartFile part;
  if (!part.Create(target)) {
    const int err = errno;
    Fail(result, LocalWriteError(err), "Cannot create a file beside [" + target + "]: " +
                                           PxErrnoText(err));
    return result;
  }
  const int maxTries = options.maxTries < 1 ? 1 : options.maxTries;
  for (int tried = 1;; ++tried) {
    result.tries = tried;
    const tTryOutcome outcome = RunTry(url, options, &part, handles);
    result.status = outcome.status;
    if (outcome.error == eNoError) {
      result.error = eNoError;
      result.text.clear();
      result.bytes = part.written();
      if (!part.Commit(target)) {
        const int err = part.writeErrno() != 0 ? part.writeErrno() : errno;
        Fail(result, LocalWriteError(err), "Cannot complete [" + target + "]: " + PxErrnoText(err));
      }
      return result;
    }
    Fail(result, outcome.error, outcome.text);
    if (!outcome.retry || tried >= maxTries) return result;
    if (!part.Truncate()) {
      const int err = errno;
      Fail(result, LocalWriteError(err), "Cannot reset the file beside [" + target + "]: " +
                                             PxErrnoText(err));
      return result;
    }
    WaitBeforeRetry(options, tried);
  }
}

tTransferResult ProbeUrl(const std::string& url, const tTransferOptions& options,
                         TransferHandles* handles) {
  tTransferResult result;
  result.tries = 1;
  const tTryOutcome outcome = RunTry(url, options, nullptr, handles);
  result.status = outcome.status;
  unsigned int error = outcome.error;
  // An http server that answers with any status is there; an ftp server must let us in.
  if (options.scheme != tTransferOptions::eFtp &&
      (error == eFileNotFound || (error == eInternalError && outcome.status != 0)))
    error = eNoError;
  if (error != eNoError) Fail(result, error, outcome.text);
  return result;
}

tTransferResult CopyLocalFile(const std::string& source, const std::string& target) {
  tTransferResult result;
  result.tries = 1;
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    const int err = errno;
    Fail(result, err == ENOENT || err == ENOTDIR ? eFileNotFound
                 : err == EACCES               ? eAccessDenied
                                               : eInternalError,
         "Cannot open [" + source + "]: " + PxErrnoText(err));
    return result;
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{in};
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    Fail(result, eFileNotFound, "[" + source + "] is not a file");
    return result;
  }
  PartFile part;
  if (!part.Create(target)) {
    const int err = errno;
    Fail(result, LocalWriteError(err), "Cannot create a file beside [" + target + "]: " +
                                           PxErrnoText(err));
    return result;
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      Fail(result, eInvalidData, "Cannot read [" + source + "]: " + PxErrnoText(err));
      return result;
    }
    if (n == 0) break;
    if (!part.Write(buffer.data(), static_cast<size_t>(n))) {
      const int err = part.writeErrno();
      Fail(result, LocalWriteError(err), "Cannot write beside [" + target + "]: " +
                                             PxErrnoText(err));
      return result;
    }
  }
  if (part.written() != st.st_size) {
    Fail(result, eInvalidData, "[" + source + "] changed while it was copied");
    return result;
  }
  result.bytes = part.written();
  if (!part.Commit(target)) {
    const int err = part.writeErrno() != 0 ? part.writeErrno() : errno;
    Fail(result, LocalWriteError(err), "Cannot complete [" + target + "]: " + PxErrnoText(err));
  }
  return result;
}

}  // namespace kqmedia
