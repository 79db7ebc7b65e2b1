// A mirror that needs a login is named with its credentials in the URL: the password must not
// reach a log file, a last-error text or a job error, whether the fetch works or fails, while
// the texts still name the server.
#include <dirent.h>
#include <gtest/gtest.h>

#include <queue>
#include <string>
#include <vector>

#include "InstallUtils/IFolderStruct.h"
#include "KQUpdates.h"
#include "KqDbTestEnv.h"
#include "KqTestEnv.h"
#include "LoopbackServer.h"
#include "MediaAccess/UrlText.h"
#include "RetrievalJobParts.h"
#include "TessaraGenerator.h"

namespace {

using nPatchDownload::tErrorDetails;
using kqmedia::UrlForText;

const char kPassword[] = "Pw4Mirror-x9";

// Every file below folder, concatenated.
std::string AllFiles(const std::string& folder) {
  std::string text;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return text;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    text += e->d_type == DT_DIR ? AllFiles(folder + "/" + name) : kqtest::ReadFile(folder + "/" + name);
  }
  closedir(d);
  return text;
}

// Expects the logs of `logFolder` (not empty) and every text to lack the password.
void ExpectNoPassword(const std::string& logFolder, const std::vector<std::string>& texts) {
  const std::string logs = AllFiles(logFolder);
  EXPECT_FALSE(logs.empty());
  EXPECT_EQ(std::string::npos, logs.find(kPassword)) << logs;
  for (const std::string& text : texts) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(std::string::npos, text.find(kPassword)) << text;
  }
}

TEST(UrlForTextTest, DropsTheUserInformationAndKeepsTheRest) {
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {"https://u:pw@host:8443/a/b", "https://***@host:8443/a/b"},
           {"HTTP://u@host", "HTTP://***@host"},
           {"http://u:p@w?#@host/x@y", "http://***@host/x@y"},  // the last "@" before the path
           {"u:pw@127.0.0.1:21/dir", "***@127.0.0.1:21/dir"},   // an ftp site
           {"http://u:pa/ss@host/x", "http://***@host/x"},      // a "/" that was not escaped
           {"https://host/a@b", "https://***@b"},             // errs towards hiding
           {"https://host/a", "https://host/a"},
           {"/var/cache/a@b", "/var/cache/a@b"},
           {"", ""}})
    EXPECT_EQ(c.second, UrlForText(c.first)) << c.first;
}

class DownloadCredentialsTest : public ::testing::Test, protected kqtest::RetrievalJobParts {
 protected:
  void SetUp() override {
    config.set("MediaAccess", "nRetryWaitMs", "10");
    config.set("MediaAccess", "nFailFastAfter", "1");  // its line names the server
    kqtest::WriteFile(source / "dl/KQMedia/DVDInfo.xml", "<info/>");
  }

  std::string WithLogin(const kqtest::LoopbackServer& server) const {
    const std::string base = server.base();
    const size_t host = base.find("://") + 3;
    return base.substr(0, host) + "kquser:" + kPassword + "@" + base.substr(host);
  }

  kqtest::TempDir source;
};

TEST_F(DownloadCredentialsTest, FetchesAndFailuresOfAUrlWithAPasswordNeverShowIt) {
  kqtest::LoopbackServer::Options o;
  o.root = source.path();
  kqtest::LoopbackServer http(o);
  o.protocol = "https";
  kqtest::LoopbackServer https(o);
  ASSERT_TRUE(http.ok() && https.ok()) << http.error() << https.error();
  std::vector<std::string> texts;

  Job(WithLogin(http) + "/dl/", false);
  EXPECT_EQ(0u, media->GetFile("KQMedia/DVDInfo.xml", cache / "ok.xml", 0));
  EXPECT_NE(0u, media->GetFile("KQMedia/missing.xml", cache / "missing.xml", 0));
  texts.push_back(media->GetLastErrorString());
  http.SetFaults({{"dl/KQMedia/DVDInfo.xml", "500"}});
  EXPECT_NE(0u, media->GetFile("KQMedia/DVDInfo.xml", cache / "refused.xml", 0));
  texts.push_back(media->GetLastErrorString());
  // The server still shows, without the login.
  EXPECT_NE(std::string::npos, texts.back().find("http://***@127.0.0.1:" + std::to_string(http.port())))
      << texts.back();

  // The media root of the download source map is the URL.
  const KQInstallCommonUtils::tCacheFolderSpec spec[] = {
      {KQInstallCommonUtils::eKindPlatformRoot, "{MEDIAROOT}/KQMedia/{PLATFORM}", ""},
      {KQInstallCommonUtils::eKindHotfixRoot, "{MEDIAROOT}/KQMedia/{PLATFORM}/Hotfix", ""}};
  XMLEncoder::serialize(
      KQInstallCommonUtils::MakeCacheHierarchy(KQInstallCommonUtils::eRemoteHierarchy, spec, 2),
      job->m_serverTemplate);
  std::map<int, std::string> roots;
  EXPECT_EQ(0u, job->generateSourceMapForDownload({3}, roots));

  // A certificate that is refused, and a download job whose source cannot be opened.
  Job(WithLogin(https), false);
  EXPECT_NE(0u, job->Initialize());
  int id = 0;
  KQJobStatus status{};
  std::queue<tErrorDetails> details;
  sink.GetErrorDetails(id, status, details);
  EXPECT_EQ(0x44000205, id);
  ASSERT_EQ(1u, details.size());
  texts.push_back(details.front().strValue);
  texts.push_back(media->GetLastErrorString());
  ExpectNoPassword(config.logFolder(), texts);
}

// The update-alert object reads the download configuration from the database and logs what
// its fetches and its checks of that configuration say.
TEST(DownloadCredentialsConfigTest, TheDownloadConfigurationIsLoggedWithoutPasswords) {
  kqtest::ScopedDatabase db;
  kqtest::TessaraModel model = kqtest::MakeTessara(kqtest::TessaraOptions());
  kqtest::WriteTessara(model, db.config().root());
  kqtest::TempDir served;
  kqtest::LoopbackServer::Options o;
  o.root = served.path();
  kqtest::LoopbackServer http(o);
  ASSERT_TRUE(http.ok()) << http.error();
  const std::string login = std::string("kquser:") + kPassword + "@";
  const std::string url = "http://" + login + "127.0.0.1:" + std::to_string(http.port()) + "/dl";
  std::vector<std::string> texts;
  {
    kqtest::Sql("UPDATE PatchConfig SET HTTPSite = $1", {kqtest::T(url)});
    KQUpdates u;
    ASSERT_NE(nullptr, u.m_mediaAccess);
    EXPECT_FALSE(u.DownloadFileFromServer("KQMedia/DVDInfo.xml", db.config().root() + "/x.xml"));
    texts.push_back(u.m_mediaAccess->GetLastErrorString());
  }
  // An ftp site with a login, and a configuration prefix of a scheme that is refused.
  kqtest::Sql("UPDATE PatchConfig SET DownloadProtocol = 'FTP', FTPSite = $1, ConfigURLPrefix = $2",
              {kqtest::T(login + "127.0.0.1:21"), kqtest::T("ftp://" + login + "127.0.0.1/cfg")});
  KQUpdates refused;
  EXPECT_EQ(nullptr, refused.m_mediaAccess);
  const std::string logs = AllFiles(db.config().logFolder());
  EXPECT_NE(std::string::npos, logs.find("FTP site is [***@127.0.0.1:21]")) << logs;
  EXPECT_NE(std::string::npos, logs.find("Patch Config URL Prefix [ftp://***@127.0.0.1/cfg]"));
  ExpectNoPassword(db.config().logFolder(), texts);
}

}  // namespace
