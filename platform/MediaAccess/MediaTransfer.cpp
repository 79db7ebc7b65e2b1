// libcurl and local-copy transfers into part files.
#include "MediaAccess/MediaTransfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "MediaAccess/UrlText.h"
#include "PortableFiles/PxError.h"

namespace kqmedia {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CurrentUmask();
  });
}

void Fail(tTransferResult& result, unsigned int error, const std::string& text) {
  result.error = error;
  result.text = text;
}

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

using Clock = std::chrono::steady_clock;

// Ends a try that moves fewer than minBytes (both directions together) in any `window`, or
// that is still running at `deadline`. The counts are sampled every 100 ms at most; a new
// request of the same try (a redirect) starts the window again.
struct tStallWatch {
  Clock::duration window;
  long long minBytes = 1;
  Clock::time_point deadline;
  std::deque<std::pair<Clock::time_point, curl_off_t>> samples;  // oldest first
  curl_off_t last = 0;
  bool stalled = false;
  bool expired = false;

  void Restart(Clock::time_point now, curl_off_t moved) {
    samples.clear();
    samples.emplace_back(now, moved);
    last = moved;
  }
};

int WatchProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  tStallWatch* w = static_cast<tStallWatch*>(user);
  const Clock::time_point now = Clock::now();
  if (now >= w->deadline) {
    w->expired = true;
    return 1;
  }
  const curl_off_t moved = down + up;
  if (moved < w->last) w->Restart(now, moved);
  w->last = moved;
  if (now - w->samples.back().first >= std::chrono::milliseconds(100))
    w->samples.emplace_back(now, moved);
  const Clock::time_point edge = now - w->window;
  while (w->samples.size() >= 2 && w->samples[1].first <= edge) w->samples.pop_front();
  if (w->samples.front().first > edge || moved - w->samples.front().second >= w->minBytes)
    return 0;
  w->stalled = true;
  return 1;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// A decimal length: digits only, no sign, no room for overflow; -1 when it is not one.
long long ParseLength(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// What the current reply says about the length of the file, from its header lines (http) or
// from the replies to SIZE and RETR (ftp).
struct tAnnounced {
  int lengthHeaders = 0;
  long long httpLength = -1;
  long long ftpSize = -1;     // "213 <n>", the reply to SIZE
  long long ftpOpening = -1;  // "150 ... (<n> bytes)", the reply to RETR
  std::string encoding;       // http: a Content-Encoding other than identity; "" when none
  std::string fault;          // why the lengths cannot be trusted; "" when they can

  long long Length(bool ftp) const {
    if (!ftp) return httpLength;
    return ftpSize >= 0 ? ftpSize : ftpOpening;
  }

  // One header line (http) or reply line (ftp); false when it makes the lengths untrustworthy.
  bool Add(const std::string& rawLine, bool ftp) {
    const std::string line = Trimmed(rawLine);
    if (!ftp) {
      if (line.compare(0, 5, "HTTP/") == 0) {  // a new reply: a redirect's or the file's
        *this = tAnnounced();
        return true;
      }
      static const char kEncoding[] = "content-encoding:";
      if (StartsWithNoCase(line, kEncoding)) {
        // Nothing asks for an encoding: an encoded body is not the file's bytes.
        const std::string value = Trimmed(line.substr(sizeof(kEncoding) - 1));
        if (!value.empty() && strcasecmp(value.c_str(), "identity") != 0)
          encoding += (encoding.empty() ? "" : ", ") + value;
        return true;
      }
      static const char kName[] = "content-length:";
      if (!StartsWithNoCase(line, kName)) return true;
      const std::string value = Trimmed(line.substr(sizeof(kName) - 1));
      if (++lengthHeaders > 1) return Refuse("it announces more than one Content-Length");
      httpLength = ParseLength(value);
      if (httpLength < 0) return Refuse("its Content-Length [" + value + "] is not a length");
      return true;
    }
    if (line.size() < 4 || line[3] != ' ') return true;  // not the last line of a reply
    if (line.compare(0, 3, "213") == 0) {
      const std::string value = Trimmed(line.substr(4));
      ftpSize = ParseLength(value);
      if (ftpSize < 0) return Refuse("its size [" + value + "] is not a size");
    } else if (line.compare(0, 3, "150") == 0) {
      const size_t open = line.rfind('(');
      if (open != std::string::npos) {
        const size_t digitsEnd = line.find_first_not_of("0123456789", open + 1);
        if (digitsEnd != std::string::npos && digitsEnd > open + 1 &&
            StartsWithNoCase(line.substr(digitsEnd), " bytes"))
          ftpOpening = ParseLength(line.substr(open + 1, digitsEnd - open - 1));
      }
    }
    if (ftpSize >= 0 && ftpOpening >= 0 && ftpSize != ftpOpening)
      return Refuse("its size [" + std::to_string(ftpSize) + "] contradicts the [" +
                    std::to_string(ftpOpening) + "] bytes of its transfer reply");
    return true;
  }

  bool Refuse(const std::string& why) {
    fault = why;
    return false;
  }

  std::string EncodedText() const {
    return "the reply is encoded [" + encoding + "], it is not the file";
  }
};

// The state of one try that writes a body: the part file, what the reply announced, and why
// the try was refused (a reply that is not the file, a size beyond the cap or the free space).
struct tBodyContext {
  CURL* handle = nullptr;
  PartFile* part = nullptr;
  const tTransferOptions* options = nullptr;
  bool ftp = false;
  bool started = false;  // the first byte of the body arrived
  tAnnounced announced;
  unsigned int refusal = eNoError;
  std::string refusalText;

  size_t Refuse(unsigned int error, const std::string& text) {
    refusal = error;
    refusalText = text;
    return 0;
  }
};

size_t HeaderLine(char* data, size_t size, size_t count, void* user) {
  tBodyContext* c = static_cast<tBodyContext*>(user);
  if (c->announced.Add(std::string(data, size * count), c->ftp)) return size * count;
  return c->Refuse(eInvalidData, "the reply cannot be trusted: " + c->announced.fault);
}

size_t WriteToPart(char* data, size_t size, size_t count, void* user) {
  tBodyContext* c = static_cast<tBodyContext*>(user);
  const size_t n = size * count;
  if (!c->started) {
    c->started = true;
    if (!c->ftp) {
      long status = 0;
      curl_easy_getinfo(c->handle, CURLINFO_RESPONSE_CODE, &status);
      if (status != 200)
        return c->Refuse(status == 206 ? eInvalidData : eInternalError,
                         "the reply of status " + std::to_string(status) + " is not the file");
      if (!c->announced.encoding.empty()) return c->Refuse(eInvalidData, c->announced.EncodedText());
    }
    const long long length = c->announced.Length(c->ftp);
    c->part->SetLimits(length >= 0 ? length : c->options->maxUnannouncedBytes,
                       c->options->reserveBytes);
    if (length >= 0 && !c->part->CheckRoomFor(length)) return 0;
  }
  return c->part->Write(data, n) ? n : 0;
}

// Active ftp: the listening data port takes the first connection that comes, so it is kept only
// when it comes from the address of the control connection's server.
struct tDataPeerCheck {
  CURL* handle = nullptr;
  std::string stranger;  // the address of a refused data connection; "" when none was
  std::string server;    // the server's address when one was refused
};

// The numeric address of a socket's peer, "" when it has none.
std::string PeerAddress(curl_socket_t fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  char host[NI_MAXHOST] = "";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return std::string();
  return host;
}

int CheckDataPeer(void* user, curl_socket_t fd, curlsocktype purpose) {
  if (purpose != CURLSOCKTYPE_ACCEPT) return CURL_SOCKOPT_OK;
  tDataPeerCheck* check = static_cast<tDataPeerCheck*>(user);
  char* server = nullptr;
  curl_easy_getinfo(check->handle, CURLINFO_PRIMARY_IP, &server);
  const std::string peer = PeerAddress(fd);
  if (!peer.empty() && server != nullptr && peer == server) return CURL_SOCKOPT_OK;
  check->stranger = peer.empty() ? "an unknown address" : peer;
  check->server = server != nullptr ? server : "";
  return CURL_SOCKOPT_ERROR;
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// Sets a transfer's options on a handle: idle (options cleared) when given, else a new one.
CurlHandle MakeHandle(CURL* idle, const std::string& url, const tTransferOptions& o,
                      Clock::time_point deadline, char* errorBuffer, tStallWatch* watch,
                      tDataPeerCheck* dataPeer) {
  GlobalInit();
  CurlHandle h(idle != nullptr ? idle : curl_easy_init());
  if (!h) return h;
  CURL* c = h.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, o.connectTimeoutSec);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count() > 1 ? left.count() : 1));
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024L);
  watch->window = std::chrono::seconds(o.stallTimeoutSec);
  watch->minBytes = o.lowSpeedBytes < 1 ? 1 : o.lowSpeedBytes;
  watch->deadline = deadline;
  watch->Restart(Clock::now(), 0);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, WatchProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, watch);
  if (o.scheme == tTransferOptions::eFtp) {
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_USERNAME, o.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, o.password.c_str());
    // Active mode: the server connects back to the address of the control connection.
    curl_easy_setopt(c, CURLOPT_FTPPORT, o.passive ? nullptr : "-");
    if (!o.passive) {
      dataPeer->handle = c;
      curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, CheckDataPeer);
      curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, dataPeer);
    }
    // The accept of an active data connection is bounded like every other wait.
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, o.connectTimeoutSec * 1000L);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, o.stallTimeoutSec);
  } else {
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // A transfer that began secure stays secure: from https, redirects go to https only.
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR,
                     StartsWithNoCase(url, "https:") ? "https" : "http,https");
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
  tAttempt(const std::string& url, const tTransferOptions& o, Clock::time_point deadline,
           TransferHandles* owner)
      : handles(o.scheme == tTransferOptions::eHttp ? owner : nullptr),
        handle(MakeHandle(handles != nullptr ? static_cast<CURL*>(handles->Take()) : nullptr, url,
                          o, deadline, errorBuffer, &watch, &dataPeer)) {}
  ~tAttempt() {
    if (handles != nullptr && handle) handles->Give(handle.release());
  }
  char errorBuffer[CURL_ERROR_SIZE] = "";
  tStallWatch watch;
  tDataPeerCheck dataPeer;
  TransferHandles* handles;
  CurlHandle handle;
};

// Maps a finished transfer to an error; `retry` says whether another try may help.
unsigned int MapCurlResult(CURLcode code, long status, bool ftp, bool& retry) {
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
      return eWriteFault;
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

void WaitBeforeRetry(const tTransferOptions& o, int tried, Clock::time_point deadline) {
  long wait = o.retryWaitMs;
  for (int i = 1; i < tried && wait < 5000; ++i) wait *= 2;
  if (wait > 5000) wait = 5000;
  const Clock::time_point until = std::min(Clock::now() + std::chrono::milliseconds(wait), deadline);
  std::this_thread::sleep_until(until);
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
tTryOutcome RunTry(const std::string& url, const tTransferOptions& options,
                   Clock::time_point deadline, PartFile* part, TransferHandles* handles) {
  tTryOutcome out;
  const std::string shown = UrlForText(url);  // texts never show the user information
  tAttempt attempt(url, options, deadline, handles);
  CURL* c = attempt.handle.get();
  if (c == nullptr) {
    out.error = eInternalError;
    out.text = "Cannot make a transfer handle for [" + shown + "]";
    return out;
  }
  const bool ftp = options.scheme == tTransferOptions::eFtp;
  tBodyContext body;
  body.handle = c;
  body.part = part;
  body.options = &options;
  body.ftp = ftp;
  if (part != nullptr) {
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteToPart);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, HeaderLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &body);
  } else {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DiscardBody);
  }
  const CURLcode code = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
  out.error = MapCurlResult(code, out.status, ftp, out.retry);
  out.text = DescribeCurl(shown, code, attempt.errorBuffer, out.status);
  if (attempt.watch.expired || (code == CURLE_OPERATION_TIMEDOUT && Clock::now() >= deadline)) {
    out.error = eTimeout;
    out.retry = false;
    out.text = shown + ": not complete within the deadline of " +
               std::to_string(options.deadlineSec) + " s";
    return out;
  }
  if (attempt.watch.stalled) {
    out.error = eTimeout;
    out.retry = true;
    out.text = shown + ": fewer than " + std::to_string(attempt.watch.minBytes) +
               " bytes moved in " + std::to_string(options.stallTimeoutSec) + " s";
    return out;
  }
  if (!attempt.dataPeer.stranger.empty()) {
    out.error = eCannotConnect;
    out.retry = false;
    out.text = shown + ": the data connection came from [" + attempt.dataPeer.stranger +
               "], not from the server [" + attempt.dataPeer.server + "]; refused";
    return out;
  }
  if (body.refusal != eNoError) {
    out.error = body.refusal;
    out.retry = false;
    out.text = shown + ": " + body.refusalText;
    return out;
  }
  if (code == CURLE_WRITE_ERROR && part != nullptr && part->failure() != eNoError) {
    out.error = part->failure();
    out.retry = false;
    out.text = shown + ": " + part->failureText();
    return out;
  }
  if (out.error != eNoError || part == nullptr) return out;
  // Only the file is the file: a 200 reply over http(s), a transfer reported complete over
  // ftp, and as many bytes as were announced.
  if (ftp ? out.status != 226 && out.status != 250 : out.status != 200) {
    out.error = out.status == 206 ? eInvalidData : eInternalError;
    out.text = shown + ": the reply of status " + std::to_string(out.status) + " is not the file";
    return out;
  }
  if (!ftp && !body.announced.encoding.empty()) {  // an empty body that claims an encoding
    out.error = eInvalidData;
    out.text = shown + ": " + body.announced.EncodedText();
    return out;
  }
  const long long announced = body.announced.Length(ftp);
  if (announced >= 0 && announced != part->written()) {
    out.error = eInvalidData;
    out.text = shown + ": received " + std::to_string(part->written()) + " of " +
               std::to_string(announced) + " bytes";
  }
  return out;
}

}  // namespace

tTransferResult FetchUrl(const std::string& url, const tLocalTarget& target,
                         const tTransferOptions& options, TransferHandles* handles,
                         FileDescriptor* held) {
  GlobalInit();
  tTransferResult result;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.deadlineSec);
  PartFile part;
  if (!part.Create(target)) {
    Fail(result, part.failure(), part.failureText());
    return result;
  }
  const int maxTries = options.maxTries < 1 ? 1 : options.maxTries;
  for (int tried = 1;; ++tried) {
    result.tries = tried;
    const tTryOutcome outcome = RunTry(url, options, deadline, &part, handles);
    result.status = outcome.status;
    if (outcome.error == eNoError) {
      result.error = eNoError;
      result.text.clear();
      result.bytes = part.written();
      if (!part.Commit(held)) Fail(result, part.failure(), part.failureText());
      return result;
    }
    Fail(result, outcome.error, outcome.text);
    const bool timeLeft = Clock::now() < deadline;
    if (!outcome.retry || tried >= maxTries || !timeLeft) {
      result.gaveUp = outcome.retry || (outcome.error == eTimeout && !timeLeft);
      return result;
    }
    if (!part.Truncate()) {
      Fail(result, part.failure(), part.failureText());
      return result;
    }
    WaitBeforeRetry(options, tried, deadline);
  }
}

tTransferResult ProbeUrl(const std::string& url, const tTransferOptions& options,
                         TransferHandles* handles) {
  tTransferResult result;
  result.tries = 1;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.deadlineSec);
  const tTryOutcome outcome = RunTry(url, options, deadline, nullptr, handles);
  result.status = outcome.status;
  unsigned int error = outcome.error;
  // An http server that answers with any status is there; an ftp server must let us in.
  if (options.scheme != tTransferOptions::eFtp &&
      (error == eFileNotFound || (error == eInternalError && outcome.status != 0)))
    error = eNoError;
  if (error != eNoError) Fail(result, error, outcome.text);
  return result;
}

tTransferResult CopyLocalFile(const std::string& sourceRoot, const std::string& relative,
                              const tLocalTarget& target, long long reserveBytes,
                              FileDescriptor* held) {
  tTransferResult result;
  result.tries = 1;
  tWalkFailure walk;
  FileDescriptor in = OpenFileBelow(sourceRoot, relative, walk);
  if (!in.valid()) {
    const int err = walk.err;
    if (walk.link)
      Fail(result, eAccessDenied, "Cannot copy [" + sourceRoot + "/" + relative + "]: [" +
                                      walk.where + "] is a link below the copy source");
    else if (err == EINVAL)
      Fail(result, eFileNotFound, "[" + walk.where + "] is not a file");
    else
      Fail(result, err == ENOENT || err == ENOTDIR ? eFileNotFound
                   : err == EACCES               ? eAccessDenied
                                                 : eInternalError,
           "Cannot open [" + walk.where + "]: " + PxErrnoText(err));
    return result;
  }
  struct stat st;
  if (fstat(in.get(), &st) != 0) {
    Fail(result, eInternalError, "Cannot examine [" + walk.where + "]: " + PxErrnoText(errno));
    return result;
  }
  PartFile part;
  if (!part.Create(target)) {
    Fail(result, part.failure(), part.failureText());
    return result;
  }
  // A source that grows while it is read ends the copy instead of filling the disk.
  part.SetLimits(st.st_size, reserveBytes);
  if (!part.CheckRoomFor(st.st_size)) {
    Fail(result, part.failure(), part.failureText());
    return result;
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      Fail(result, eInvalidData, "Cannot read [" + walk.where + "]: " + PxErrnoText(err));
      return result;
    }
    if (n == 0) break;
    if (!part.Write(buffer.data(), static_cast<size_t>(n))) {
      Fail(result, part.failure(), part.failureText());
      return result;
    }
  }
  if (part.written() != st.st_size) {
    Fail(result, eInvalidData, "[" + walk.where + "] changed while it was copied");
    return result;
  }
  result.bytes = part.written();
  if (!part.Commit(held)) Fail(result, part.failure(), part.failureText());
  return result;
}

}  // namespace kqmedia
