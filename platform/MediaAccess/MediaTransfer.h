// The transfer core of media access: one file from a URL (libcurl) or from a folder of this
// machine, into a local file that appears only when it is complete.
//
// Both write to "<target>.XXXXXX.part" (made with mkstemps beside the target) and rename it
// over the target after a complete transfer; every failure removes it. Thread-safe: every
// call has its own handle, file and result. A network transfer makes a fresh handle, or,
// given the caller's TransferHandles, takes an idle one of them (http and https only), so
// that it goes over a connection an earlier transfer left open.
#ifndef KQ_PLATFORM_MEDIAACCESS_MEDIATRANSFER_H_
#define KQ_PLATFORM_MEDIAACCESS_MEDIATRANSFER_H_

#include <mutex>
#include <string>
#include <vector>

namespace kqmedia {

// Win32-style error numbers of the results (see IMediaAccess.h).
enum eTransferError : unsigned int {
  eNoError = 0,
  eFileNotFound = 2,
  eAccessDenied = 5,
  eInvalidData = 13,
  eWriteFault = 29,
  eInvalidParameter = 87,
  eDiskFull = 112,
  eInternalError = 1359,
  eTimeout = 1460,
  eCannotConnect = 12029,
  eSecureChannel = 12157,
};

// How one network transfer is made.
struct tTransferOptions {
  enum eScheme { eFtp, eHttp };
  eScheme scheme = eHttp;
  std::string user;           // ftp only
  std::string password;       // ftp only; never logged
  bool passive = true;        // ftp only
  bool verifyPeer = true;     // https: check the certificate and the host name
  std::string caFile;         // https: certificates to trust besides the system's; "" for none
  long connectTimeoutSec = 30;
  long stallTimeoutSec = 60;  // no byte moved for this long fails the transfer
  int maxTries = 3;           // tries of one transfer (timeouts and server errors)
  long retryWaitMs = 500;     // wait before the second try, doubled each time, capped at 5 s
};

// Outcome of a transfer or a probe.
struct tTransferResult {
  unsigned int error = eNoError;  // eTransferError
  std::string text;               // what failed, for the caller's last-error text
  long status = 0;                // last protocol status seen (http or ftp reply code)
  int tries = 0;
  long long bytes = 0;            // bytes written to the target
  bool ok() const { return error == eNoError; }
};

// The idle transfer handles of one owner (a media access object) and the connections they
// keep open. A transfer takes one (or makes one) and gives it back when it is done, its
// options cleared; at most kMaxIdle are kept. Thread-safe; the owner destroys it after its
// last transfer, which closes the handles and their connections.
class TransferHandles {
 public:
  static constexpr size_t kMaxIdle = 16;

  TransferHandles() = default;
  ~TransferHandles();
  TransferHandles(const TransferHandles&) = delete;
  TransferHandles& operator=(const TransferHandles&) = delete;

  // An idle handle (a libcurl easy handle), or null when there is none.
  void* Take();
  // Keeps handle for a later transfer, or closes it when kMaxIdle are kept already.
  void Give(void* handle);
  // Closes the idle handles and their connections.
  void CloseIdle();
  size_t IdleCount() const;

 private:
  mutable std::mutex lock_;  // guards idle_
  std::vector<void*> idle_;
};

// "a/b c.bin" -> "a/b%20c.bin": each segment escaped, "/" kept.
std::string EscapePath(const std::string& relative);

// Fetches url into target (parents made). Tries again on timeouts and on server errors (http
// 5xx, ftp 4xx) up to options.maxTries.
// With handles, an http(s) transfer reuses their idle handles and connections.
tTransferResult FetchUrl(const std::string& url, const std::string& target,
                         const tTransferOptions& options, TransferHandles* handles = nullptr);

// Asks url once without fetching a body: success when the server answers at all (any http
// status; for ftp a good login), with an accepted certificate for https.
tTransferResult ProbeUrl(const std::string& url, const tTransferOptions& options,
                         TransferHandles* handles = nullptr);

// Copies the regular file source into target (parents made).
tTransferResult CopyLocalFile(const std::string& source, const std::string& target);

// Makes the missing folders of path's parent (mode 0777 less the umask); false with errno.
bool MakeParentFolders(const std::string& path);

}  // namespace kqmedia

#endif  // KQ_PLATFORM_MEDIAACCESS_MEDIATRANSFER_H_
