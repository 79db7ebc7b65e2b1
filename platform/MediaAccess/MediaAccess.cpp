// CMediaAccess: the media access object over the transfer core, and its factory.
//
// Owns copies of the two source records. Keeps between fetches the last-error text of each
// thread that failed, under a mutex, and the idle transfer handles, whose open http(s)
// connections later fetches and probes reuse; Close closes them. A fetch reads its tuning
// from the configuration store when it starts:
//   "MediaAccess"/"sCAFile"             certificates to trust for https besides the system's
//   "MediaAccess"/"nConnectTimeoutSec"  connect timeout (30)
//   "MediaAccess"/"nStallTimeoutSec"    a transfer that moves no byte this long fails (60)
//   "MediaAccess"/"nMaxTries"           tries of one transfer on timeouts and 5xx (3)
//   "MediaAccess"/"nRetryWaitMs"        first wait between tries, doubled, capped at 5 s (500)
#include <sys/stat.h>
#include <strings.h>

#include <cstring>

#include <map>
#include <mutex>
#include <thread>

#include "Configuration/KQPlatformInfo.h"
#include "MediaAccess/IMediaAccess.h"
#include "MediaAccess/MediaTransfer.h"
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

tTransferOptions OptionsFor(const CMediaConfiguration& record) {
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
  o.maxTries = static_cast<int>(ConfigNumber(config, "nMaxTries", 3, 1, 10));
  o.retryWaitMs = ConfigNumber(config, "nRetryWaitMs", 500, 0, 5000);
  return o;
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
    return Finish("Open", kqmedia::ProbeUrl(BaseUrl(r) + "/", OptionsFor(r), &handles_));
  }

  unsigned int Close() override {
    handles_.CloseIdle();
    return 0;
  }

  unsigned int GetFile(const std::string& remotePath, const std::string& localPath,
                       int /*flag*/) override {
    return Fetch(download_, remotePath, localPath);
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

  unsigned int Fetch(const CMediaConfiguration& record, const std::string& remotePath,
                     const std::string& localPath) {
    const std::string remote = NormaliseRemote(remotePath);
    if (remote.empty())
      return Finish("GetFile", Failure(kqmedia::eInvalidParameter,
                                       "Remote path [" + remotePath + "] is not a relative name"));
    if (!IsUsableLocalPath(localPath))
      return Finish("GetFile", Failure(kqmedia::eInvalidParameter,
                                       "Local path [" + localPath + "] is not an absolute file path"));
    if (record.m_serverName.empty())
      return Finish("GetFile", Failure(kqmedia::eInvalidParameter, "The server name is empty"));
    tTransferResult result;
    if (IsCopySource(record)) {
      std::string source;
      kq::JoinUnder(record.m_serverName, remote, source);
      sink_.DebugLvl("GetFile", 10, "Copying [%s] to [%s]", source.c_str(), localPath.c_str());
      result = kqmedia::CopyLocalFile(source, localPath);
    } else if (!IsNetworkProtocol(record.m_protocol)) {
      result = Failure(kqmedia::eInvalidParameter,
                       "Unknown download protocol [" + std::to_string(record.m_protocol) + "]");
    } else {
      const std::string url = BaseUrl(record) + "/" + kqmedia::EscapePath(remote);
      sink_.DebugLvl("GetFile", 10, "Fetching [%s] to [%s]", url.c_str(), localPath.c_str());
      result = kqmedia::FetchUrl(url, localPath, OptionsFor(record), &handles_);
      if (result.ok() && result.tries > 1)
        sink_.DebugLvl("GetFile", 2, "Fetched [%s] after [%d] tries", url.c_str(), result.tries);
    }
    return Finish("GetFile", result);
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
