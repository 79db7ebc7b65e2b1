// The transfer core of media access: one file from a URL (libcurl) or from a folder of this
// machine, into a local file that appears only when it is complete.
//
// Both write to a part file beside the target (LocalFiles.h) and rename it over the target
// after a complete transfer; every failure removes it and leaves an existing target as it
// was. Only a whole file is complete: over http(s) a reply of status 200 whose length matches
// what its headers announce and that is not encoded (no Content-Encoding but identity; none is
// asked for), over ftp a transfer the server reports complete (226 or 250) with no
// contradicting sizes; nothing else is ever renamed over a target. An active ftp transfer
// takes its data connection only from the address of the control connection's server; one from
// elsewhere fails the transfer. Texts show URLs without user information. Thread-safe: every
// call has its own handle, file and result. A network transfer makes a fresh handle, or,
// given the caller's TransferHandles, takes an idle one of them (http and https only), so
// that it goes over a connection an earlier transfer left open.
#ifndef KQ_PLATFORM_MEDIAACCESS_MEDIATRANSFER_H_
#define KQ_PLATFORM_MEDIAACCESS_MEDIATRANSFER_H_

#pragma GCC visibility push(default)

#include <mutex>
#include <string>
#include <vector>

#include "MediaAccess/LocalFiles.h"

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
  long stallTimeoutSec = 60;    // fewer than lowSpeedBytes moved in this long fails a try
  long lowSpeedBytes = 16384;   // at least 1
  long deadlineSec = 43200;     // all tries of one transfer end within this
  int maxTries = 3;             // tries of one transfer (timeouts and server errors)
  long retryWaitMs = 500;       // wait before the second try, doubled each time, capped at 5 s
  long long maxUnannouncedBytes = 8LL << 30;  // the size cap when no length is announced
  long long reserveBytes = 1LL << 20;         // free space a transfer leaves at least
};

// Outcome of a transfer or a probe.
struct tTransferResult {
  unsigned int error = eNoError;  // eTransferError
  std::string text;               // what failed, for the caller's last-error text
  long status = 0;                // last protocol status seen (http or ftp reply code)
  int tries = 0;
  bool gaveUp = false;            // failed after every try with an error a try may mend
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

// Fetches url into target (folders made). Tries again on timeouts and on server errors (http
// 5xx, ftp 4xx) up to options.maxTries, within options.deadlineSec. A redirect is followed
// to http or https from http, to https only from https.
// With handles, an http(s) transfer reuses their idle handles and connections. With `held`,
// the new target stays held as PartFile::Commit() holds it.
tTransferResult FetchUrl(const std::string& url, const tLocalTarget& target,
                         const tTransferOptions& options, TransferHandles* handles = nullptr,
                         FileDescriptor* held = nullptr);

// Asks url once without fetching a body: success when the server answers at all (any http
// status; for ftp a good login), with an accepted certificate for https.
tTransferResult ProbeUrl(const std::string& url, const tTransferOptions& options,
                         TransferHandles* handles = nullptr);

// Copies the regular file `relative` below the folder sourceRoot into target (folders made).
// No link below sourceRoot is followed and only a regular file is read: a link, a FIFO, a
// device or a folder is refused. `held` as for FetchUrl().
tTransferResult CopyLocalFile(const std::string& sourceRoot, const std::string& relative,
                              const tLocalTarget& target, long long reserveBytes = 1LL << 20,
                              FileDescriptor* held = nullptr);

}  // namespace kqmedia

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MEDIAACCESS_MEDIATRANSFER_H_
