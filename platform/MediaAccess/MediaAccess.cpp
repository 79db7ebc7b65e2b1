// CMediaAccess: the media access object over the transfer core, and its factory.
//
// Owns copies of the two source records. Keeps between fetches the last-error text of each
// thread that failed, under a mutex, and the idle transfer handles, whose open http(s)
// connections later fetches and probes reuse; Close closes them. It also counts, per server,
// the fetches in a row that failed after all their tries: from a server that did so
// "nFailFastAfter" times, later fetches get one try each with a short stall window, until one
// succeeds. A fetch reads its tuning from the configuration store when it starts:
//   "MediaAccess"/"sCAFile"             certificates to trust for https besides the system's
//   "MediaAccess"/"nConnectTimeoutSec"  connect timeout (30)
//   "MediaAccess"/"nStallTimeoutSec"    a try that moves fewer than nLowSpeedBytes in this
//                                       long fails (60)
//   "MediaAccess"/"nLowSpeedBytes"      see nStallTimeoutSec (16384)
//   "MediaAccess"/"nTransferTimeoutSec" all tries of one fetch end within this (43200)
//   "MediaAccess"/"nMaxTries"           tries of one transfer on timeouts and 5xx (3)
//   "MediaAccess"/"nRetryWaitMs"        first wait between tries, doubled, capped at 5 s (500)
//   "MediaAccess"/"nMaxTextFileMB"      size cap of an ".xml", ".ini", ".txt" or ".description"
//                                       file whose length the server does not announce (256)
//   "MediaAccess"/"nMaxMediaFileMB"     the same for any other file (8192)
//   "MediaAccess"/"nFreeSpaceReserveMB" a fetch fails before it leaves less free space on the
//                                       target's file system (1; 0 none)
//   "MediaAccess"/"nFailFastAfter"      see above (3; 0 never)
//   "MediaAccess"/"nFailFastStallSec"   the stall window of those one-try fetches (10)
// A target below the record's local cache is written without following any link below the
// cache (LocalFiles.h); a copy reads its source without following any link below the copy
// folder. Lines and error texts show a URL without its user information (UrlText.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "Configuration/KQPlatformInfo.h"
#include "MediaAccess/IMediaAccess.h"
#include "MediaAccess/MediaTransfer.h"
#include "MediaAccess/UrlText.h"
#include "PortableFiles/OwnedEntries.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/SafePath.h"

namespace {

using nPatchDownload::CMediaConfiguration;
using kqmedia::tTransferOptions;
using kqmedia::tTransferResult;

const char kSection[] = "MediaAccess";

long ConfigNumber(const KQPlatformInfo& config, const char* name, long fallback, long low,
                  long high) {
  long value = 0;
  if (!config.getNumber(kSection, name, value) || value < low || value > high) return fallback;
  return value;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// A copy source: the server name is a folder of this machine.
bool IsCopySource(const CMediaConfiguration& record) {
  return !record.m_serverName.empty() && record.m_serverName[0] == '/';
}

bool IsNetworkProtocol(int protocol) {
  return protocol == CMediaConfiguration::eFTP || protocol == CMediaConfiguration::eHTTP ||
         protocol == CMediaConfiguration::eHTTPS;
}

// The URL that remote paths are joined to, without a trailing "/".
std::string BaseUrl(const CMediaConfiguration& record) {
  std::string base = record.m_serverName;
  if (record.m_protocol == CMediaConfiguration::eFTP) {
    if (!StartsWithNoCase(base, "ftp://")) base = "ftp://" + base;
  } else if (!StartsWithNoCase(base, "http://") && !StartsWithNoCase(base, "https://")) {
    base = (record.m_protocol == CMediaConfiguration::eHTTPS ? "https://" : "http://") + base;
  }
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

bool EndsWithNoCase(const std::string& text, const char* suffix) {
  const size_t n = strlen(suffix);
  return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

// Catalogues, descriptors and lists, as opposed to media payloads.
bool IsTextFile(const std::string& remote) {
  for (const char* suffix : {".xml", ".ini", ".txt", ".description"})
    if (EndsWithNoCase(remote, suffix)) return true;
  return false;
}

long long Megabytes(long mb) { return static_cast<long long>(mb) << 20; }

// The tuning of one fetch of `remote`.
tTransferOptions OptionsFor(const CMediaConfiguration& record, const std::string& remote) {
  tTransferOptions o;
  o.scheme = record.m_protocol == CMediaConfiguration::eFTP ? tTransferOptions::eFtp
                                                            : tTransferOptions::eHttp;
  o.user = record.m_userName;
  o.password = record.m_password;
  o.passive = record.m_passive;
  o.verifyPeer = !record.m_ignoreCertificateErrors;
  KQPlatformInfo config;
  config.getString(kSection, "sCAFile", o.caFile);
  o.connectTimeoutSec = ConfigNumber(config, "nConnectTimeoutSec", 30, 1, 3600);
  o.stallTimeoutSec = ConfigNumber(config, "nStallTimeoutSec", 60, 1, 3600);
  o.lowSpeedBytes = ConfigNumber(config, "nLowSpeedBytes", 16384, 1, 1L << 30);
  o.deadlineSec = ConfigNumber(config, "nTransferTimeoutSec", 43200, 1, 7L * 86400);
  o.maxTries = static_cast<int>(ConfigNumber(config, "nMaxTries", 3, 1, 10));
  o.retryWaitMs = ConfigNumber(config, "nRetryWaitMs", 500, 0, 5000);
  o.maxUnannouncedBytes =
      IsTextFile(remote) ? Megabytes(ConfigNumber(config, "nMaxTextFileMB", 256, 1, 1L << 20))
                         : Megabytes(ConfigNumber(config, "nMaxMediaFileMB", 8192, 1, 1L << 24));
  o.reserveBytes = Megabytes(ConfigNumber(config, "nFreeSpaceReserveMB", 1, 0, 1L << 30));
  return o;
}

// Cuts a fetch down to one try with a short stall window (the low-speed rate kept).
void FailFast(tTransferOptions& o, long stallSec) {
  o.maxTries = 1;
  if (stallSec >= o.stallTimeoutSec) return;
  o.lowSpeedBytes = std::max(1L, o.lowSpeedBytes * stallSec / o.stallTimeoutSec);
  o.stallTimeoutSec = stallSec;
  o.connectTimeoutSec = std::min(o.connectTimeoutSec, stallSec);
}

// A remote name with "\" read as "/", or "" when it is not a safe relative name.
std::string NormaliseRemote(const std::string& remote) {
  std::string name = remote;
  for (char& c : name)
    if (c == '\\') c = '/';
  return kq::IsSafeRelativeName(name) ? name : std::string();
}

// A local target: absolute, naming a file (no trailing "/"), without ".." steps.
bool IsUsableLocalPath(const std::string& local) {
  return local.size() > 1 && local[0] == '/' && local.back() != '/' &&
         kq::IsSafeRelativeName(local.substr(1));
}

class CMediaAccess : public IMediaAccess {
 public:
  CMediaAccess(const CMediaConfiguration& download, const CMediaConfiguration& hotfixConfig,
               nPatchDownload::IPatchEvent& sink)
      : download_(download), hotfixConfig_(hotfixConfig), sink_(sink) {}

  unsigned int Open() override {
    const CMediaConfiguration& r = download_;
    if (r.m_serverName.empty())
      return Finish("Open", Failure(kqmedia::eInvalidParameter, "The server name is empty"));
    if (IsCopySource(r)) {
      struct stat st;
      if (stat(r.m_serverName.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Finish("Open", Failure(kqmedia::eFileNotFound,
                                      "Copy source folder [" + r.m_serverName + "] does not exist"));
      return Finish("Open", tTransferResult());
    }
    if (!IsNetworkProtocol(r.m_protocol))
      return Finish("Open", Failure(kqmedia::eInvalidParameter,
                                    "Unknown download protocol [" + std::to_string(r.m_protocol) +
                                        "]"));
    return Finish("Open", kqmedia::ProbeUrl(BaseUrl(r) + "/", OptionsFor(r, ""), &handles_));
  }

  unsigned int Close() override {
    handles_.CloseIdle();
    return 0;
  }

  unsigned int GetFile(const std::string& remotePath, const std::string& localPath,
                       int /*flag*/) override {
    return Fetch(download_, remotePath, localPath);
  }

  unsigned int GetFileHeld(const std::string& remotePath, const std::string& localPath,
                           kq::ScopedFd& held) override {
    held.reset();
    return Fetch(download_, remotePath, localPath, &held);
  }

  unsigned int GetFile(const std::string& remotePath, const std::string& localPath) override {
    return Fetch(hotfixConfig_, remotePath, localPath);
  }

  const CMediaConfiguration& GetMediaConfiguration() const override { return download_; }

  std::string GetLastErrorString() const override {
    std::lock_guard<std::mutex> lock(errorsLock_);
    auto it = errors_.find(std::this_thread::get_id());
    return it == errors_.end() ? std::string() : it->second;
  }

 private:
  static tTransferResult Failure(unsigned int error, const std::string& text) {
    tTransferResult r;
    r.error = error;
    r.text = text;
    return r;
  }

  // `held`, when given, receives the new file held (IMediaAccess::GetFileHeld()).
  unsigned int Fetch(const CMediaConfiguration& record, const std::string& remotePath,
                     const std::string& localPath, kq::ScopedFd* held = nullptr) {
    const std::string remote = NormaliseRemote(remotePath);
    if (remote.empty())
      return Finish("GetFile", Failure(kqmedia::eInvalidParameter,
                                       "Remote path [" + remotePath + "] is not a relative name"));
    if (!IsUsableLocalPath(localPath))
      return Finish("GetFile", Failure(kqmedia::eInvalidParameter,
                                       "Local path [" + localPath + "] is not an absolute file path"));
    if (record.m_serverName.empty())
      return Finish("GetFile", Failure(kqmedia::eInvalidParameter, "The server name is empty"));
    const kqmedia::tLocalTarget target =
        kqmedia::tLocalTarget::Below(record.GetLocalCache(), localPath);
    tTransferOptions options = OptionsFor(record, remote);
    tTransferResult result;
    if (IsCopySource(record)) {
      sink_.DebugLvl("GetFile", 10, "Copying [%s] from [%s] to [%s]", remote.c_str(),
                     record.m_serverName.c_str(), localPath.c_str());
      result = kqmedia::CopyLocalFile(record.m_serverName, remote, target, options.reserveBytes,
                                      held);
    } else if (!IsNetworkProtocol(record.m_protocol)) {
      result = Failure(kqmedia::eInvalidParameter,
                       "Unknown download protocol [" + std::to_string(record.m_protocol) + "]");
    } else {
      const std::string server = BaseUrl(record);
      const std::string url = server + "/" + kqmedia::EscapePath(remote);
      KQPlatformInfo config;
      const long failFastAfter = ConfigNumber(config, "nFailFastAfter", 3, 0, 1000000);
      if (failFastAfter > 0 && GaveUpInARow(server) >= failFastAfter)
        FailFast(options, ConfigNumber(config, "nFailFastStallSec", 10, 1, 3600));
      const std::string shown = kqmedia::UrlForText(url);
      sink_.DebugLvl("GetFile", 10, "Fetching [%s] to [%s]", shown.c_str(), localPath.c_str());
      result = kqmedia::FetchUrl(url, target, options, &handles_, held);
      if (result.ok() && result.tries > 1)
        sink_.DebugLvl("GetFile", 2, "Fetched [%s] after [%d] tries", shown.c_str(), result.tries);
      CountGiveUps(server, result, failFastAfter);
    }
    return Finish("GetFile", result);
  }

  int GaveUpInARow(const std::string& server) const {
    std::lock_guard<std::mutex> lock(serversLock_);
    auto it = gaveUp_.find(server);
    return it == gaveUp_.end() ? 0 : it->second;
  }

  // A success clears the server's count; a fetch that used every try adds to it.
  void CountGiveUps(const std::string& server, const tTransferResult& result, long failFastAfter) {
    int count = 0;
    {
      std::lock_guard<std::mutex> lock(serversLock_);
      if (result.ok()) {
        gaveUp_.erase(server);
        return;
      }
      if (!result.gaveUp) return;
      count = ++gaveUp_[server];
    }
    if (count == failFastAfter)
      sink_.Debug("GetFile",
                  "[%d] transfers in a row from [%s] failed after all their tries; its next "
                  "transfers get one try each until one succeeds",
                  count, kqmedia::UrlForText(server).c_str());
  }

  // Records the thread's error text (or clears it) and turns the result into the code.
  unsigned int Finish(const char* function, const tTransferResult& result) {
    {
      std::lock_guard<std::mutex> lock(errorsLock_);
      if (result.ok()) {
        errors_.erase(std::this_thread::get_id());
        return 0;
      }
      errors_[std::this_thread::get_id()] = result.text;
    }
    const CPxError error =
        FXErrorUtil::ErrorWin32(result.error, FX_CODE_LOCATION(), result.text.c_str());
    sink_.Debug(function, "Failed with error [0x%x]: %s",
                static_cast<unsigned int>(error.GetErrorCode()), result.text.c_str());
    return static_cast<unsigned int>(error.GetErrorCode());
  }

  const CMediaConfiguration download_;
  const CMediaConfiguration hotfixConfig_;
  nPatchDownload::IPatchEvent& sink_;
  mutable std::mutex errorsLock_;
  std::map<std::thread::id, std::string> errors_;
  mutable std::mutex serversLock_;  // guards gaveUp_
  std::map<std::string, int> gaveUp_;  // server -> fetches in a row that used every try
  kqmedia::TransferHandles handles_;
};

}  // namespace

unsigned int CreateMediaAccess(const CMediaConfiguration& download,
                               const CMediaConfiguration& hotfixConfig,
                               nPatchDownload::IPatchEvent& sink, IMediaAccess** out) {
  if (out == nullptr) return 0x80000008u;
  *out = new CMediaAccess(download, hotfixConfig, sink);
  return 0;
}

void DestroyMediaAccess(IMediaAccess* access) { delete access; }

unsigned int IMediaAccess::GetFileHeld(const std::string& remotePath, const std::string& localPath,
                                       kq::ScopedFd& held) {
  held.reset();
  const unsigned int rc = GetFile(remotePath, localPath, 0);
  if (rc != 0) return rc;
  const size_t slash = localPath.rfind('/');
  const std::string folder = slash == 0 ? "/" : localPath.substr(0, slash);
  if (slash != std::string::npos) {
    const kq::ScopedFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) held = kq::HoldEntry(dir.get(), localPath.substr(slash + 1), kq::OwnedKind::kFile);
  }
  if (held.valid()) return 0;
  return static_cast<unsigned int>(
      FXErrorUtil::ErrorWin32(kqmedia::eWriteFault, FX_CODE_LOCATION(), localPath.c_str())
          .GetErrorCode());
}
