// Media access against hostile servers and hostile folders: scripted raw replies on 127.0.0.1
// (support/hostile_media_server.py) and links or FIFOs in the caches. Every case must fail
// cleanly or deliver exactly the file, end quickly, keep an old target, and leave everything
// outside the cache as it was.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KqTestEnv.h"
#include "LoopbackServer.h"
#include "MediaAccess/IMediaAccess.h"
#include "PortableFiles/PxError.h"
#include "nPatchDownload/CPatchDebug.h"

namespace {

using nPatchDownload::CMediaConfiguration;
using Clock = std::chrono::steady_clock;

unsigned int Win32(unsigned int code) {
  return static_cast<unsigned int>(FXErrorUtil::ErrorWin32(code, FX_CODE_LOCATION()).GetErrorCode());
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char buf[8];
    snprintf(buf, sizeof buf, "\\u%04x", c);
    out += (c < 0x20 || c == '"' || c == '\\' || c >= 0x7f) ? std::string(buf) : std::string(1, static_cast<char>(c));
  }
  return out + "\"";
}

// A case of the scripted server: name -> JSON fields.
using Cases = std::map<std::string, std::map<std::string, std::string>>;

// The scripted server, started by python3 for the test and ended with it.
class ScriptedServer {
 public:
  explicit ScriptedServer(const std::string& protocol) : protocol_(protocol) {
    Set({});
    std::string script = kqtest::LoopbackServerScript();
    script = script.substr(0, script.rfind('/')) + "/hostile_media_server.py";
    std::vector<std::string> args = {"/usr/bin/python3", script, "--protocol", protocol,
                                     "--script", dir_ / "script.json", "--port-file", dir_ / "port",
                                     "--log", dir_ / "log", "--cert-dir", dir_ / "tls",
                                     "--parent-pid", std::to_string(getpid())};
    pid_ = kqtest::SpawnProgram(std::move(args));
    std::string error;
    port_ = kqtest::WaitForPortFile(dir_ / "port", pid_, error);
  }
  ~ScriptedServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  void Set(const Cases& cases) {
    std::string json = "{";
    for (const auto& c : cases) {
      json += (json.size() > 1 ? ", " : "") + Quoted(c.first) + ": {";
      std::string fields;
      for (const auto& f : c.second) fields += (fields.empty() ? "" : ", ") + Quoted(f.first) + ": " + Quoted(f.second);
      json += fields + "}";
    }
    kqtest::WriteFile(dir_ / "script.tmp", json + "}");
    rename((dir_ / "script.tmp").c_str(), (dir_ / "script.json").c_str());
  }
  std::string base() const {
    return (protocol_ == "ftp" ? "" : protocol_ + "://") + "127.0.0.1:" + std::to_string(port_);
  }
  int port() const { return port_; }
  std::string log() const { return kqtest::ReadFile(dir_ / "log"); }
  int Count(const std::string& line) const {
    int n = 0;
    const std::string text = log();
    for (size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1))
      if (at == 0 || text[at - 1] == '\n') ++n;
    return n;
  }

 private:
  kqtest::TempDir dir_;
  std::string protocol_;
  pid_t pid_ = -1;
  int port_ = 0;
};

std::map<std::string, std::string> Http(const std::string& reply, const std::string& then = "close") {
  return {{"reply", reply}, {"then", then}};
}

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

class HostileTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& kv : std::map<std::string, std::string>{
             {"nStallTimeoutSec", "1"}, {"nLowSpeedBytes", "4000"}, {"nMaxTries", "2"},
             {"nRetryWaitMs", "10"}, {"nTransferTimeoutSec", "4"}, {"nMaxMediaFileMB", "1"},
             {"nMaxTextFileMB", "1"}})
      config.set("MediaAccess", kv.first, kv.second);
    kqtest::WriteFile(out / "secret", "outside");
    mkdir(cache.c_str(), 0755);
    outside = kqtest::TreeManifest(out.path());
  }
  void TearDown() override { EXPECT_EQ(outside, kqtest::TreeManifest(out.path())); }

  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> Access(const std::string& server, int protocol,
                                                                 const std::string& local = "",
                                                                 bool passive = true) {
    const std::string& localCache = local.empty() ? cache : local;
    CMediaConfiguration r;
    if (protocol == CMediaConfiguration::eFTP) r.Reset(localCache, server, "u", "p", passive);
    else r.Reset(static_cast<CMediaConfiguration::eProtocolType>(protocol), localCache, server, true, true);
    IMediaAccess* a = nullptr;
    EXPECT_EQ(0u, CreateMediaAccess(r, r, sink, &a));
    return {a, DestroyMediaAccess};
  }

  // Fetches name over the old target: either exactly `expected`, or a failure with the old
  // target and nothing else in its folder; each within a few seconds.
  void Expect(IMediaAccess& access, const std::string& name, const std::string& expected, unsigned int rc) {
    SCOPED_TRACE(name);
    const std::string target = cache + "/dir/old.bin";
    kqtest::WriteFile(target, "old");
    const auto start = Clock::now();
    EXPECT_EQ(rc, access.GetFile(name, target, 0)) << access.GetLastErrorString();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
    EXPECT_EQ(rc == 0 ? expected : "old", kqtest::ReadFile(target));
    EXPECT_EQ(1u, kqtest::TreeManifest(cache + "/dir").size());
  }

  kqtest::ScopedConfig config;
  kqtest::TempDir home, out;
  const std::string cache = home / "cache";
  std::map<std::string, std::string> outside;
  nPatchDownload::CPatchDebug sink;
};

TEST_F(HostileTransferTest, HttpRepliesOtherThanTheWholeFileFailAndEnd) {
  ScriptedServer server("http");
  const std::string slow = "HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\n";
  server.Set({{"ok", Http(kOk)},
              {"chunked", Http("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")},
              {"moved", Http("HTTP/1.1 302 Found\r\nLocation: /ok\r\nContent-Length: 0\r\n\r\n")},
              {"302-empty", Http("HTTP/1.1 302 Found\r\nLocation: \r\nContent-Length: 4\r\n\r\nbody")},
              {"301-none", Http("HTTP/1.1 301 Moved\r\nContent-Length: 4\r\n\r\nbody")},
              {"304", Http("HTTP/1.1 304 Not Modified\r\n\r\n")},
              {"204", Http("HTTP/1.1 204 No Content\r\n\r\n")},
              {"203", Http("HTTP/1.1 203 Non-Authoritative\r\nContent-Length: 4\r\n\r\nbody")},
              {"206", Http("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-3/9\r\nContent-Length: 4\r\n\r\nbody")},
              {"two-lengths", Http("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello")},
              {"12abc", Http("HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nhello")},
              {"short", Http("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello")},
              {"silent", Http("", "hold")},
              {"trickle", Http(slow, "trickle")},
              {"endless.bin", Http("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "endless")},
              {"endless.xml", Http("HTTP/1.1 200 OK\r\n\r\n", "endless")},
              {"steady", {{"reply", slow}, {"then", "trickle"}, {"every", "0.05"}, {"bytes", "1000"}}},
              {"huge", Http("HTTP/1.1 200 OK\r\nContent-Length: 1125899906842624\r\n\r\nxx", "hold")}});
  auto access = Access(server.base(), CMediaConfiguration::eHTTP);
  for (const char* name : {"ok", "chunked", "moved"}) Expect(*access, name, "hello", 0);
  for (const char* name : {"302-empty", "301-none", "304", "204", "203"}) Expect(*access, name, "", Win32(1359));
  for (const char* name : {"206", "two-lengths", "12abc", "short", "endless.bin", "endless.xml"})
    Expect(*access, name, "", Win32(13));
  for (const char* name : {"silent", "trickle"}) Expect(*access, name, "", Win32(1460));
  EXPECT_EQ(2, server.Count("GET trickle"));
  Expect(*access, "huge", "", Win32(112));
  // Fast enough for the low-speed limit, but past the deadline of the whole transfer.
  Expect(*access, "steady", "", Win32(1460));
}

TEST_F(HostileTransferTest, FtpTransfersMustCompleteWithOneSize) {
  ScriptedServer server("ftp");
  auto ftp = [](const std::string& size, const std::string& opening, const std::string& final,
                const std::string& then = "close") {
    return std::map<std::string, std::string>{{"size", size}, {"opening", opening}, {"body", "hello"},
                                              {"final", final}, {"then", then}};
  };
  server.Set({{"ok", ftp("213 5", "150 Opening (5 bytes)", "226 Done")},
              {"ok-250", ftp("502 no SIZE here", "150 Opening (5 bytes)", "250 Done")},
              {"no-final", ftp("213 5", "150 Opening", "")},
              {"aborted", ftp("213 5", "150 Opening", "451 Aborted")},
              {"odd-final", ftp("213 5", "150 Opening", "200 Fine")},
              {"contradicts", ftp("213 5", "150 Opening (7 bytes)", "226 Done")},
              {"negative", ftp("213 -5", "150 Opening", "226 Done")},
              {"longer", ftp("502 no SIZE here", "150 Opening (9 bytes)", "226 Done")},
              {"trickle", ftp("502 no SIZE here", "150 Opening", "226 Done", "trickle")},
              {"endless", ftp("502 no SIZE here", "150 Opening", "226 Done", "endless")}});
  auto access = Access(server.base(), CMediaConfiguration::eFTP);
  for (const char* name : {"ok", "ok-250"}) Expect(*access, name, "hello", 0);
  for (const char* name : {"no-final", "aborted", "odd-final", "contradicts", "negative", "longer", "endless"})
    Expect(*access, name, "", Win32(13));
  Expect(*access, "trickle", "", Win32(1460));
}

TEST_F(HostileTransferTest, EncodedRepliesAreNotTheFile) {
  ScriptedServer server("http");
  auto reply = [](const std::string& headers, const std::string& body) {
    return Http("HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body);
  };
  server.Set({{"identity", reply("Content-Encoding: identity\r\n", "hello")},
              {"gzip", reply("Content-Encoding: gzip\r\n", "\x1f\x8b\x08zip")},
              {"upper", reply("CONTENT-ENCODING:  BR \r\n", "brbr")},
              {"listed", reply("Content-Encoding: identity\r\nContent-Encoding: deflate\r\n", "x")},
              {"empty", reply("Content-Encoding: gzip\r\n", "")},
              // Only the reply that carries the file counts, not a redirect before it.
              {"moved", Http("HTTP/1.1 302 Found\r\nLocation: /identity\r\nContent-Encoding: gzip\r\n"
                             "Content-Length: 0\r\n\r\n")}});
  auto access = Access(server.base(), CMediaConfiguration::eHTTP);
  for (const char* name : {"identity", "moved"}) Expect(*access, name, "hello", 0);
  for (const char* name : {"gzip", "upper", "listed", "empty"}) {
    Expect(*access, name, "", Win32(13));
    EXPECT_NE(std::string::npos, access->GetLastErrorString().find("encoded")) << name;
  }
  EXPECT_EQ(1, server.Count("GET gzip"));  // not tried again
}

// Whether a socket can take 127.0.0.2 as its own address (the third party's, below).
bool SecondLoopbackAddress() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(0x7f000002);
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

TEST_F(HostileTransferTest, ActiveFtpTakesItsDataOnlyFromTheServer) {
  if (!SecondLoopbackAddress()) GTEST_SKIP() << "127.0.0.2 cannot be a socket's address here";
  ScriptedServer server("ftp");
  std::map<std::string, std::string> file{
      {"size", "213 5"}, {"opening", "150 Opening (5 bytes)"}, {"body", "hello"}, {"final", "226 Done"}};
  std::map<std::string, std::string> raced = file;
  raced["intruder"] = "EVIL!";  // as long as the file: its size alone does not give it away
  server.Set({{"ok", file}, {"raced", raced}});
  auto access = Access(server.base(), CMediaConfiguration::eFTP, "", false);
  Expect(*access, "ok", "hello", 0);
  Expect(*access, "raced", "", Win32(12029));
  EXPECT_EQ(1, server.Count("INTRUDER raced"));  // the third party did come first
  EXPECT_NE(std::string::npos, access->GetLastErrorString().find("[127.0.0.2], not from the server [127.0.0.1]"))
      << access->GetLastErrorString();
  Expect(*access, "ok", "hello", 0);
}

TEST_F(HostileTransferTest, HttpsRedirectsOnlyToHttps) {
  ScriptedServer http("http"), https("https");
  http.Set({{"ok", Http(kOk)}});
  https.Set({{"ok", Http(kOk)},
             {"down", Http("HTTP/1.1 302 Found\r\nLocation: " + http.base() + "/ok\r\nContent-Length: 0\r\n\r\n")},
             {"up", Http("HTTP/1.1 302 Found\r\nLocation: /ok\r\nContent-Length: 0\r\n\r\n")}});
  auto access = Access(https.base(), CMediaConfiguration::eHTTPS);
  Expect(*access, "up", "hello", 0);
  EXPECT_NE(0u, access->GetFile("down", cache + "/dir/old.bin", 0));
  EXPECT_EQ("", http.log());
}

TEST_F(HostileTransferTest, AServerThatUsedEveryTryThreeTimesGetsOneTryPerFileUntilASuccess) {
  config.set("MediaAccess", "nStallTimeoutSec", "3");
  config.set("MediaAccess", "nFailFastStallSec", "1");
  ScriptedServer server("http");
  server.Set({{"ok", Http(kOk)}, {"silent", Http("", "hold")},
              {"e", Http("HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n")}});
  auto access = Access(server.base(), CMediaConfiguration::eHTTP);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Win32(1359), access->GetFile("e", cache + "/e", 0));
  EXPECT_EQ(3 * 2 + 2 * 1, server.Count("GET e"));
  const auto start = Clock::now();  // one try with the short stall window
  EXPECT_EQ(Win32(1460), access->GetFile("silent", cache + "/s", 0));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2900));
  EXPECT_EQ(0u, access->GetFile("ok", cache + "/ok", 0));
  EXPECT_EQ(Win32(1359), access->GetFile("e", cache + "/e", 0));
  EXPECT_EQ(3 * 2 + 2 * 1 + 2, server.Count("GET e"));
}

TEST_F(HostileTransferTest, NoReserveOfFreeSpaceNoTransfer) {
  config.set("MediaAccess", "nFreeSpaceReserveMB", "1073741824");  // 1 PiB
  ScriptedServer server("http");
  server.Set({{"ok", Http(kOk)}});
  kqtest::TempDir source;
  kqtest::WriteFile(source / "ok", "hello");
  Expect(*Access(server.base(), CMediaConfiguration::eHTTP), "ok", "", Win32(112));
  Expect(*Access(source.path(), CMediaConfiguration::eHTTP), "ok", "", Win32(112));
}

TEST_F(HostileTransferTest, LinksBelowTheCacheAndTheCopySourceAreNotFollowed) {
  ScriptedServer server("http");
  server.Set({{"ok", Http(kOk)}});
  kqtest::TempDir source;
  kqtest::WriteFile(source / "ok", "hello");
  ASSERT_EQ(0, symlink(out.path().c_str(), (cache + "/lnk").c_str()));
  kqtest::WriteFile(cache + "/a/keep", "");
  ASSERT_EQ(0, symlink(out.path().c_str(), (cache + "/a/lnk").c_str()));
  ASSERT_EQ(0, symlink((out / "secret").c_str(), (source / "file-link").c_str()));
  ASSERT_EQ(0, symlink(out.path().c_str(), (source / "dir-link").c_str()));
  ASSERT_EQ(0, mkfifo((source / "fifo").c_str(), 0600));
  auto http = Access(server.base(), CMediaConfiguration::eHTTP);
  auto copy = Access(source.path(), CMediaConfiguration::eHTTP);
  for (IMediaAccess* access : {http.get(), copy.get()}) {
    for (const std::string local : {"lnk/sub/f.bin", "lnk/f.bin", "a/lnk/f.bin"})
      EXPECT_EQ(Win32(87), access->GetFile("ok", cache + "/" + local, 0)) << local;
    // A name as long as the file system takes; a cache reached through a link.
    const std::string longName(255, 'n');
    EXPECT_EQ(0u, access->GetFile("ok", cache + "/long/" + longName, 0)) << access->GetLastErrorString();
    EXPECT_EQ("hello", kqtest::ReadFile(cache + "/long/" + longName));
  }
  const auto start = Clock::now();
  EXPECT_EQ(Win32(5), copy->GetFile("file-link", cache + "/c1", 0));
  EXPECT_EQ(Win32(5), copy->GetFile("dir-link/secret", cache + "/c2", 0));
  EXPECT_EQ(Win32(2), copy->GetFile("fifo", cache + "/c3", 0));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  ASSERT_EQ(0, symlink(cache.c_str(), (home / "cache-link").c_str()));
  auto linked = Access(server.base(), CMediaConfiguration::eHTTP, home / "cache-link");
  EXPECT_EQ(0u, linked->GetFile("ok", home / "cache-link/via/f", 0));
  EXPECT_EQ("hello", kqtest::ReadFile(cache + "/via/f"));

  // A part file a killed transfer left goes; one a live transfer holds stays.
  kqtest::WriteFile(cache + "/p/f.bin.Ab12Cd.part", "dead");
  kqtest::WriteFile(cache + "/p/f.bin.Zz99Yy.part", "live");
  const int live = open((cache + "/p/f.bin.Zz99Yy.part").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(0, flock(live, LOCK_EX));
  EXPECT_EQ(0u, http->GetFile("ok", cache + "/p/f.bin", 0));
  EXPECT_EQ((std::map<std::string, std::string>{{cache + "/p/f.bin", "file:hello"},
                                                {cache + "/p/f.bin.Zz99Yy.part", "file:live"}}),
            kqtest::TreeManifest(cache + "/p"));
  close(live);
}

}  // namespace
