// The data manager's factory, configuration accessors, download configuration and cache root,
// and the stored-password form the download configuration is kept in.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "DataManagerTestEnv.h"
#include "KqDbTestEnv.h"
#include "Password/KQPassword.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/IPatchDataManager.h"

using kqtest::I;
using kqtest::Sql;
using kqtest::T;
using nPatchDownload::CMediaConfiguration;
using nPatchDownload::IPatchDataManager;

namespace {

constexpr unsigned kDownloadConfigUnusable = 0x44000005u;

class PatchDataManagerTest : public kqtest::DataManagerTest {
 protected:
  PatchDataManagerTest() {
    db.config().set("Security", "sPasswordKeyFile", db.config().root() + "/password.key");
  }

  struct Config {
    std::string protocol = "HTTPS";
    std::string cache = "/var/swcache";
    std::string site = "ftp.example.test";
    std::string user = "ftpuser";
    std::string password;  // stored form
    int passive = 1;
    std::string url = "https://download.example.test/updates";
    int token = 1;
    std::string prefix = "https://config.example.test/cfg";
    int tessara = 77;
  };

  void Store(const Config& c) {
    Sql("DELETE FROM PatchConfig");
    Sql("INSERT INTO PatchConfig VALUES (1, $1, $2, $3, $4, $5, $6, $7, $8, $9, 3, $10)",
        {T(c.protocol), T(c.cache), T(c.site), T(c.user), T(c.password), I(c.passive), T(c.url),
         I(c.token), T(c.prefix), I(c.tessara)});
  }

  // Runs the query on fresh records and a fresh sink.
  unsigned Query(const Config& c) {
    Store(c);
    Renew();
    download = CMediaConfiguration();
    hotfix = CMediaConfiguration();
    return manager->QueryDownloadConfigs(download, hotfix);
  }

  static void ExpectDefaults(const CMediaConfiguration& r) {
    EXPECT_EQ(r.m_protocol, CMediaConfiguration::eFTP);
    EXPECT_TRUE(r.GetServerName().empty());
    EXPECT_TRUE(r.GetLocalCache().empty());
    EXPECT_TRUE(r.m_password.empty());
    EXPECT_EQ(r.m_tessaraId, 0);
  }

  CMediaConfiguration download, hotfix;
};

TEST_F(PatchDataManagerTest, FactoryHandsOutOnlyTheHubnodeTypeAndItsStatus) {
  IPatchDataManager* sentinel = reinterpret_cast<IPatchDataManager*>(0x1234);
  for (int type : {0, 2}) {
    IPatchDataManager* out = sentinel;
    EXPECT_EQ(CreatePatchDataManager(type, *sink, &out), 0x8000000Cu);
    EXPECT_EQ(out, sentinel);
  }
  IPatchDataManager* out = nullptr;
  EXPECT_EQ(CreatePatchDataManager(1, *sink, &out), 0u);
  ASSERT_NE(out, nullptr);
  std::string value;
  EXPECT_EQ(out->GetStringVal("Hubnode", "nTessaraId", value), 0u);
  EXPECT_EQ(value, "4242");
  DestroyPatchDataManager(out);
  DestroyPatchDataManager(nullptr);

  // No Tessara id: the status says so and the object still works and must be destroyed.
  db.config().set("Hubnode", "nTessaraId", "0");
  out = nullptr;
  EXPECT_EQ(CreatePatchDataManager(1, *sink, &out), 0x8000000Fu);
  ASSERT_NE(out, nullptr);
  std::string root;
  db.config().set("SoftwareCache", "dHOME", "/srv/cache");
  EXPECT_EQ(out->GetSWCacheRoot(root), 0u);
  EXPECT_EQ(root, "/srv/cache");
  DestroyPatchDataManager(out);

  // Other programs find the pair by name.
  EXPECT_NE(dlsym(RTLD_DEFAULT, "CreatePatchDataManager"), nullptr);
  EXPECT_NE(dlsym(RTLD_DEFAULT, "DestroyPatchDataManager"), nullptr);
}

TEST_F(PatchDataManagerTest, ConfigurationAccessorsReportMissingValues) {
  db.config().set("UpdateFlags", "nValue", "0x1F");
  unsigned int number = 99;
  EXPECT_EQ(manager->GetDWORDVal("UpdateFlags", "nValue", number), 0u);
  EXPECT_EQ(number, 31u);
  EXPECT_EQ(manager->GetDWORDVal("UpdateFlags", "nMissing", number), 0x8000000Cu);
  EXPECT_EQ(number, 31u);
  std::string text = "kept";
  EXPECT_EQ(manager->GetStringVal("UpdateFlags", "sMissing", text), 0x8000000Cu);
  EXPECT_EQ(text, "kept");
  EXPECT_TRUE(Logged("Error in querying string value for registry key [UpdateFlags\\sMissing]"));
  EXPECT_TRUE(Logged("Error in querying DWORD value for registry key [UpdateFlags\\nMissing]"));
}

TEST_F(PatchDataManagerTest, FtpSourcesWithStoredEmptyAndUndecryptablePasswords) {
  Config c;
  c.protocol = "FTP";
  ASSERT_NE(KQPassword::encrypt("s3cr'et pass", c.password), 0);
  EXPECT_EQ(Query(c), 0u);
  EXPECT_EQ(download.m_protocol, CMediaConfiguration::eFTP);
  EXPECT_EQ(download.GetServerName(), c.site);
  EXPECT_EQ(download.m_userName, c.user);
  EXPECT_EQ(download.m_password, "s3cr'et pass");
  EXPECT_TRUE(download.m_passive);
  EXPECT_EQ(download.GetLocalCache(), c.cache);
  EXPECT_EQ(download.m_tessaraId, 77);
  EXPECT_EQ(hotfix.m_protocol, CMediaConfiguration::eHTTPS);
  EXPECT_EQ(hotfix.GetServerName(), c.prefix);
  EXPECT_EQ(hotfix.m_tessaraId, 0);  // only the download record gets it
  EXPECT_FALSE(sink->IsSpecificErrorSet());
  EXPECT_FALSE(Logged("s3cr'et pass"));

  c.password.clear();
  c.passive = 0;
  EXPECT_EQ(Query(c), 0u);
  EXPECT_TRUE(download.m_password.empty());
  EXPECT_FALSE(download.m_passive);
  EXPECT_EQ(download.m_userName, c.user);

  // Not our form, and ours altered: nothing is set and the job error is raised.
  std::string stored;
  ASSERT_NE(KQPassword::encrypt("another", stored), 0);
  stored[stored.size() / 2] = stored[stored.size() / 2] == 'A' ? 'B' : 'A';
  for (const std::string& bad : {std::string("plain text"), stored}) {
    c.password = bad;
    EXPECT_EQ(Query(c), 0x8000000Fu);
    ExpectDefaults(download);
    ExpectDefaults(hotfix);
    EXPECT_EQ(SpecificError(), static_cast<int>(kDownloadConfigUnusable));
    EXPECT_TRUE(Logged("Failed to decrypt password."));
  }
}

TEST_F(PatchDataManagerTest, HttpSourcesAndTheirCertificateSwitch) {
  Config c;
  c.protocol = "HTTP";
  c.token = 0;
  EXPECT_EQ(Query(c), 0u);
  EXPECT_EQ(download.m_protocol, CMediaConfiguration::eHTTP);
  EXPECT_EQ(download.GetServerName(), c.url);
  EXPECT_FALSE(download.m_useToken);
  EXPECT_FALSE(download.m_ignoreCertificateErrors);
  EXPECT_EQ(download.m_tessaraId, 77);
  EXPECT_FALSE(hotfix.m_useToken);

  db.config().set("UpdateFlags", "nDownloadIgnoreCertificateErrors", "0");
  c.protocol = "HTTPS";
  c.token = 1;
  EXPECT_EQ(Query(c), 0u);
  EXPECT_EQ(download.m_protocol, CMediaConfiguration::eHTTPS);
  EXPECT_FALSE(download.m_ignoreCertificateErrors);
  EXPECT_FALSE(hotfix.m_ignoreCertificateErrors);

  db.config().set("UpdateFlags", "nDownloadIgnoreCertificateErrors", "1");
  c.protocol = "";  // empty: HTTPS
  EXPECT_EQ(Query(c), 0u);
  EXPECT_EQ(download.m_protocol, CMediaConfiguration::eHTTPS);
  EXPECT_TRUE(download.m_ignoreCertificateErrors);
  EXPECT_FALSE(hotfix.m_ignoreCertificateErrors);  // its own switch
  EXPECT_TRUE(Logged("Download protocol is empty, default to HTTPS"));

  // A protocol in lower case is none of the known ones: the record keeps its defaults, the
  // Tessara id and the hotfix source are still set.
  c.protocol = "https";
  EXPECT_EQ(Query(c), 0u);
  EXPECT_EQ(download.m_protocol, CMediaConfiguration::eFTP);
  EXPECT_TRUE(download.GetServerName().empty());
  EXPECT_EQ(download.m_tessaraId, 77);
  EXPECT_EQ(hotfix.GetServerName(), c.prefix);
  EXPECT_FALSE(sink->IsSpecificErrorSet());

  // An empty URL stops before the Tessara id and the hotfix source.
  c.protocol = "HTTPS";
  c.url.clear();
  EXPECT_EQ(Query(c), 0x8000000Fu);
  ExpectDefaults(download);
  ExpectDefaults(hotfix);
  EXPECT_EQ(SpecificError(), static_cast<int>(kDownloadConfigUnusable));
}

TEST_F(PatchDataManagerTest, HotfixPrefixNeedsAnHttpSchemeAtItsStart) {
  struct Case {
    std::string prefix;
    unsigned result;
    int protocol;
  };
  db.config().set("UpdateFlags", "nConfigIgnoreCertificateErrors", "7");
  const Case cases[] = {
      {"HTTPS://Config.Example.TEST/Cfg", 0, CMediaConfiguration::eHTTPS},
      {"http://config.example.test/", 0, CMediaConfiguration::eHTTP},
      {"HtTp://x", 0, CMediaConfiguration::eHTTP},
      {"ftp://config.example.test/", 0x8000000Fu, 0},
      {"config.example.test/https://x", 0x8000000Fu, 0},
      {"https:/config", 0x8000000Fu, 0},
      {"", 0x8000000Fu, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.prefix);
    Config c;
    c.prefix = k.prefix;
    EXPECT_EQ(Query(c), k.result);
    EXPECT_EQ(download.m_tessaraId, 77);  // set before the prefix is looked at
    if (k.result == 0) {
      EXPECT_EQ(hotfix.m_protocol, k.protocol);
      EXPECT_EQ(hotfix.GetServerName(), k.prefix);  // as given, case kept
      EXPECT_EQ(hotfix.GetLocalCache(), c.cache);
      EXPECT_TRUE(hotfix.m_ignoreCertificateErrors);
      EXPECT_FALSE(sink->IsSpecificErrorSet());
    } else {
      ExpectDefaults(hotfix);
      EXPECT_EQ(SpecificError(), static_cast<int>(kDownloadConfigUnusable));
    }
  }
}

TEST_F(PatchDataManagerTest, DatabaseFailuresRaiseNoJobError) {
  // No configuration row.
  EXPECT_EQ(manager->QueryDownloadConfigs(download, hotfix), 0x80000018u);
  EXPECT_FALSE(sink->IsSpecificErrorSet());
  EXPECT_TRUE(Logged("Failed to get download related configurations with DB error [100"));
  std::string root = "old";
  EXPECT_EQ(manager->GetSWCacheRoot(root), 0x80000018u);
  EXPECT_TRUE(root.empty());

  // Cache root: the store first, then the database.
  Config c;
  Store(c);
  EXPECT_EQ(manager->GetSWCacheRoot(root), 0u);
  EXPECT_EQ(root, c.cache);
  db.config().set("SoftwareCache", "dHOME", "");
  EXPECT_EQ(manager->GetSWCacheRoot(root), 0u);
  EXPECT_EQ(root, c.cache);
  db.config().set("SoftwareCache", "dHOME", "/from/store");
  EXPECT_EQ(manager->GetSWCacheRoot(root), 0u);
  EXPECT_EQ(root, "/from/store");
}

TEST(StoredPassword, RoundTripAndEveryWayItMustFail) {
  kqtest::ScopedConfig cfg;
  char buffer[32];
  unsigned int length = sizeof buffer - 1;
  std::string stored;
  EXPECT_EQ(KQPassword::encrypt("x", stored), 0);  // no key file configured
  EXPECT_EQ(KQPassword::decrypt("AAAA", buffer, length), 0);

  cfg.set("Security", "sPasswordKeyFile", "password.key");
  EXPECT_EQ(KQPassword::encrypt("x", stored), 0);  // not an absolute path
  const std::string keyFile = cfg.root() + "/k/password.key";
  cfg.set("Security", "sPasswordKeyFile", keyFile);
  ASSERT_NE(KQPassword::encrypt("pass word", stored), 0);  // its folder is made
  struct stat st;
  ASSERT_EQ(stat((cfg.root() + "/k").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(keyFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  EXPECT_EQ(stored.find("pass"), std::string::npos);

  length = sizeof buffer - 1;
  ASSERT_NE(KQPassword::decrypt(stored.c_str(), buffer, length), 0);
  EXPECT_EQ(length, 9u);
  EXPECT_STREQ(buffer, "pass word");

  // Exactly at the limit fits; one above fails without writing past limit + 1 bytes.
  for (unsigned limit : {9u, 8u}) {
    memset(buffer, '#', sizeof buffer);
    length = limit;
    const int ok = KQPassword::decrypt(stored.c_str(), buffer, length);
    EXPECT_EQ(ok != 0, limit == 9u);
    EXPECT_EQ(buffer[limit + 1], '#');
    EXPECT_EQ(std::string(buffer), limit == 9u ? "pass word" : "");
  }

  // Altered text, truncated text, not base64, another key.
  std::string altered = stored;
  altered[4] = altered[4] == 'Q' ? 'R' : 'Q';
  for (const std::string& bad :
       {altered, stored.substr(0, stored.size() - 4), std::string("!!!!"), std::string("")}) {
    length = sizeof buffer - 1;
    EXPECT_EQ(KQPassword::decrypt(bad.c_str(), buffer, length), 0) << bad;
    EXPECT_EQ(buffer[0], '\0');
  }
  ASSERT_EQ(unlink(keyFile.c_str()), 0);
  std::string other;
  ASSERT_NE(KQPassword::encrypt("y", other), 0);  // makes a new key
  length = sizeof buffer - 1;
  EXPECT_EQ(KQPassword::decrypt(stored.c_str(), buffer, length), 0);
  length = sizeof buffer - 1;
  EXPECT_NE(KQPassword::decrypt(other.c_str(), buffer, length), 0);
}

}  // namespace
