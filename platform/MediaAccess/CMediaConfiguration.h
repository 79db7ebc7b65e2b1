// CMediaConfiguration: one download source as the media-access library receives it.
//
// A plain value record: the protocol, the server (FTP site, or download URL / URL prefix for
// HTTP and HTTPS), the FTP credentials and transfer flags, the retry interval, the local cache
// folder into which files are fetched and the Tessara id. The data manager fills it from the
// Hubnode's download settings; the media-access layer reads it. Header-only. The password is
// held in clear text and is never logged.
#ifndef KQ_PLATFORM_MEDIAACCESS_CMEDIACONFIGURATION_H_
#define KQ_PLATFORM_MEDIAACCESS_CMEDIACONFIGURATION_H_

#pragma GCC visibility push(default)

#include <string>

namespace nPatchDownload {

class CMediaConfiguration {
 public:
  enum eProtocolType : int { eFTP = 1, eHTTP = 2, eHTTPS = 3 };

  CMediaConfiguration() = default;
  ~CMediaConfiguration() = default;

  // FTP form: server, credentials, passive mode and local cache; the rest stays as it is.
  void Reset(const std::string& localCache, const std::string& site, const std::string& user,
             const std::string& password, bool passive) {
    m_serverName = site;
    m_userName = user;
    m_password = password;
    m_passive = passive;
    m_localCache = localCache;
  }

  // HTTP/HTTPS form: protocol, URL, token and certificate flags and local cache; the user
  // name, password and passive flag stay as they are.
  void Reset(eProtocolType protocol, const std::string& localCache, const std::string& url,
             bool useToken, bool ignoreCertificateErrors) {
    m_protocol = protocol;
    m_serverName = url;
    m_useToken = useToken;
    m_ignoreCertificateErrors = ignoreCertificateErrors;
    m_localCache = localCache;
  }

  void SetTessaraID(int id) { m_tessaraId = id; }
  int GetTessaraID() const { return m_tessaraId; }
  const std::string& GetServerName() const { return m_serverName; }
  const std::string& GetLocalCache() const { return m_localCache; }

  static unsigned int smConvertRetryIntervalInMin(unsigned int minutes) {
    return minutes * 60000u;
  }

  eProtocolType m_protocol = eFTP;
  std::string m_serverName;
  std::string m_userName;
  std::string m_password;  // clear text
  bool m_passive = true;
  bool m_useToken = true;
  unsigned int m_retryIntervalMs = smConvertRetryIntervalInMin(20);
  bool m_flagA = false;  // read by media access only
  bool m_flagB = false;  // read by media access only
  bool m_ignoreCertificateErrors = false;
  // Tuning values that only media access reads.
  int m_tuning1 = 120;
  int m_tuning2 = 60;
  int m_tuning3 = -1;
  int m_tuning4 = 2;
  int m_tuning5 = 91;
  std::string m_localCache;
  int m_tessaraId = 0;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MEDIAACCESS_CMEDIACONFIGURATION_H_
