// Download configuration of the Hubnode: where updates and hotfix configuration files come
// from, and the software cache root.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <queue>
#include <string>

#include "Db/Proc/PatchGetConfig.h"
#include "MediaAccess/UrlText.h"
#include "Password/KQPassword.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

constexpr int kDownloadConfigUnusable = 0x44000005;
const char kGetConfigText[] = "get download related configurations";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The stored password in clear text; false when it cannot be decrypted. The buffer is wiped
// before it is released.
bool DecryptPassword(const char* stored, std::string& clear) {
  char buffer[512];
  std::memset(buffer, 0, sizeof buffer);
  unsigned int length = sizeof buffer - 1;
  const bool ok = KQPassword::decrypt(stored, buffer, length) != 0;
  if (ok) clear.assign(buffer, std::min<size_t>(length, sizeof buffer - 1));
  volatile char* wipe = buffer;
  for (size_t k = 0; k < sizeof buffer; ++k) wipe[k] = 0;
  return ok;
}

}  // namespace

unsigned int CPatchDataManagerHN::QueryDownloadConfigs(CMediaConfiguration& download,
                                                       CMediaConfiguration& hotfixConfig) {
  static const char* kTag = "QueryDownloadConfigs";
  PatchGetConfig config(nullptr);
  config.setValues();
  unsigned int status = fetchOneRow(kTag, config, kGetConfigText, true);
  if (status != KQ_PATCH_OK) return status;
  const PatchGetConfig_t& row = *config.getDataPtr();

  std::string protocol = row.oDownloadProtocol;
  if (protocol.empty()) {
    m_event.Debug(kTag, "Download protocol is empty, default to HTTPS");
    protocol = "HTTPS";
  }
  if (protocol == "FTP") {
    std::string password;
    if (row.oFTPPassword[0] != '\0' && !DecryptPassword(row.oFTPPassword, password)) {
      m_event.Debug(kTag, "Failed to decrypt password.");
      status = KQ_PATCH_E_INVALID_INPUT;
    } else {
      const bool passive = row.oFTPUsePassive != 0;
      download.Reset(row.oHNCacheDirectory, row.oFTPSite, row.oFTPUsername, password, passive);
      m_event.Debug(kTag, "HN cache is [%s], FTP site is [%s], username is [%s], isPassive is [%s]",
                    row.oHNCacheDirectory, kqmedia::UrlForText(row.oFTPSite).c_str(),
                    row.oFTPUsername,
                    passive ? "true" : "false");
    }
  } else if (protocol == "HTTP" || protocol == "HTTPS") {
    if (row.oHTTPSite[0] == '\0') {
      m_event.Debug(kTag, "HTTP/HTTPS download URL is empty.");
      status = KQ_PATCH_E_INVALID_INPUT;
    } else {
      unsigned int ignore = 0;
      const bool ignoreCertificateErrors =
          GetDWORDVal("UpdateFlags", "nDownloadIgnoreCertificateErrors", ignore) == 0 &&
          ignore != 0;
      download.Reset(protocol == "HTTP" ? CMediaConfiguration::eHTTP : CMediaConfiguration::eHTTPS,
                     row.oHNCacheDirectory, row.oHTTPSite, row.oHTTPUseToken != 0,
                     ignoreCertificateErrors);
    }
  }
  if (status == KQ_PATCH_OK) {
    download.SetTessaraID(row.oTessaraID);
    if (row.oConfigURLPrefix[0] == '\0') {
      m_event.Debug(kTag, "Patch Config URL Prefix is empty.");
      status = KQ_PATCH_E_INVALID_INPUT;
    } else {
      status = constructHotfixConfig(row.oHNCacheDirectory, row.oConfigURLPrefix,
                                     row.oHTTPUseToken != 0, hotfixConfig);
    }
  }
  if (status != KQ_PATCH_OK) {
    std::queue<tErrorDetails> none;
    m_event.SetSpecificError(kDownloadConfigUnusable, static_cast<KQJobStatus>(2), &none);
  }
  return status;
}

unsigned int CPatchDataManagerHN::constructHotfixConfig(const std::string& localCache,
                                                        const std::string& urlPrefix,
                                                        bool useToken,
                                                        CMediaConfiguration& record) {
  std::string lower = urlPrefix;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  CMediaConfiguration::eProtocolType protocol;
  if (StartsWith(lower, "https://")) {
    protocol = CMediaConfiguration::eHTTPS;
  } else if (StartsWith(lower, "http://")) {
    protocol = CMediaConfiguration::eHTTP;
  } else {
    m_event.Debug("constructHotfixConfig",
                  "Patch Config URL Prefix [%s] did not start with correct protocol name",
                  kqmedia::UrlForText(urlPrefix).c_str());
    return KQ_PATCH_E_INVALID_INPUT;
  }
  unsigned int ignore = 0;
  const bool ignoreCertificateErrors =
      GetDWORDVal("UpdateFlags", "nConfigIgnoreCertificateErrors", ignore) == 0 && ignore != 0;
  record.Reset(protocol, localCache, urlPrefix, useToken, ignoreCertificateErrors);
  return KQ_PATCH_OK;
}

unsigned int CPatchDataManagerHN::GetSWCacheRoot(std::string& root) {
  static const char* kTag = "GetSWCacheRoot";
  root.clear();
  if (GetStringVal("SoftwareCache", "dHOME", root) == KQ_PATCH_OK && !root.empty()) {
    m_event.DebugLvl(kTag, 10, "Retrieved SoftwareCache root path [%s] from registry.",
                     root.c_str());
    return KQ_PATCH_OK;
  }
  m_event.Debug(kTag, "Cannot retrieve SoftwareCache root from registry, try using DB entry");
  root.clear();
  PatchGetConfig config(nullptr);
  config.setValues();
  unsigned int status = fetchOneRow(kTag, config, kGetConfigText, true);
  if (status != KQ_PATCH_OK) return status;
  root = config.getDataPtr()->oHNCacheDirectory;
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
