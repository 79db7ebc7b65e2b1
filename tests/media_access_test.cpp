// Media access against real servers on 127.0.0.1 and real folders.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "KqTestEnv.h"
#include "LoopbackServer.h"
#include "MediaAccess/IMediaAccess.h"
#include "MediaAccess/MediaTransfer.h"
#include "PortableFiles/PxError.h"
#include "nPatchDownload/CPatchDebug.h"

namespace {

using kqtest::LoopbackServer;
using nPatchDownload::CMediaConfiguration;

unsigned int Win32(unsigned int code) {
  return static_cast<unsigned int>(FXErrorUtil::ErrorWin32(code, FX_CODE_LOCATION()).GetErrorCode());
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// Every file below root, relative path -> content; names in bytewise order.
void ListTree(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
  DIR* d = opendir((root + (rel.empty() ? "" : "/" + rel)).c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (lstat((root + "/" + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) ListTree(root, child, out);
    else out[child] = kqtest::ReadFile(root + "/" + child);
  }
  closedir(d);
}

std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  ListTree(root, "", out);
  return out;
}

// An http/1.1 responder on 127.0.0.1 that answers every request with `body` (no body for
// HEAD) and counts the connections it accepts. It keeps a connection open for the next
// request, or, with closeAfterReply, closes it after each reply without saying so, as a
// server that drops idle connections does.
class CountingServer {
 public:
  CountingServer(std::string body, bool closeAfterReply)
      : body_(std::move(body)), closeAfterReply_(closeAfterReply) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~CountingServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    {
      std::lock_guard<std::mutex> hold(lock_);
      for (int fd : open_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : handlers_) t.join();
    if (listener_ >= 0) close(listener_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }
  int accepted() const { return accepted_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted_;
      std::lock_guard<std::mutex> hold(lock_);
      open_.push_back(fd);
      handlers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string in;
    char buffer[4096];
    for (;;) {
      const size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        in.append(buffer, static_cast<size_t>(n));
        continue;
      }
      const bool head = in.compare(0, 5, "HEAD ") == 0;
      in.erase(0, end + 4);
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                          "\r\n\r\n" + (head ? std::string() : body_);
      if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
        break;
      if (closeAfterReply_) break;
    }
    shutdown(fd, SHUT_RDWR);
    std::lock_guard<std::mutex> hold(lock_);
    open_.erase(std::find(open_.begin(), open_.end(), fd));
    close(fd);
  }

  const std::string body_;
  const bool closeAfterReply_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::mutex lock_;  // guards open_, handlers_
  std::vector<int> open_;
  std::vector<std::thread> handlers_;
};

class MediaAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config.set("MediaAccess", "nRetryWaitMs", "10");
    files = {{"KQMedia/DVDInfo.xml", "<info/>"},
             {"KQMedia/11.0.0/SP20_4711_R3/Windows/BinaryPayload/a b.bin", RandomBytes(70000, 1)},
             {"KQMedia/11.0.0/SP20_4711_R3/Unix/linux-x8664/big.bin", RandomBytes(3 << 20, 2)},
             {"KQUpdates/11.0.0/80/empty.txt", ""},
             {"KQUpdates/11.0.0/80/UpdatesInfo.xml", "<updates/>"}};
    for (const auto& f : files) kqtest::WriteFile(source.path() + "/" + f.first, f.second);
  }

  std::unique_ptr<LoopbackServer> Start(const std::string& protocol) {
    LoopbackServer::Options o;
    o.protocol = protocol;
    o.root = source.path();
    auto server = std::make_unique<LoopbackServer>(o);
    EXPECT_TRUE(server->ok()) << server->error();
    return server;
  }

  // A download record for the server (or for a copy folder when server is null).
  static CMediaConfiguration Record(const LoopbackServer* server, const std::string& copyFolder = "") {
    CMediaConfiguration r;
    if (server == nullptr) {
      r.Reset(CMediaConfiguration::eHTTP, "/cache", copyFolder, true, false);
    } else if (server->base().find("://") == std::string::npos) {
      r.Reset("/cache", server->base(), "kquser", "kqpass", true);
    } else {
      r.Reset(server->base().compare(0, 5, "https") == 0 ? CMediaConfiguration::eHTTPS
                                                          : CMediaConfiguration::eHTTP,
              "/cache", server->base(), true, false);
    }
    return r;
  }

  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> Access(const CMediaConfiguration& r,
                                                               const CMediaConfiguration& h) {
    IMediaAccess* a = nullptr;
    EXPECT_EQ(0u, CreateMediaAccess(r, h, sink, &a));
    return {a, DestroyMediaAccess};
  }
  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> Access(const CMediaConfiguration& r) {
    return Access(r, r);
  }

  // Fetches every source file into target and expects the trees to be equal.
  void FetchAll(IMediaAccess& access, const std::string& target) {
    for (const auto& f : files) {
      // Windows separators are accepted in remote names.
      std::string remote = f.first;
      if (f.first.find("Unix") != std::string::npos)
        for (char& c : remote) c = c == '/' ? '\\' : c;
      EXPECT_EQ(0u, access.GetFile(remote, target + "/" + f.first, 1)) << access.GetLastErrorString();
    }
    EXPECT_EQ(files, Tree(target));
  }

  kqtest::ScopedConfig config;
  kqtest::TempDir source;
  kqtest::TempDir target;
  nPatchDownload::CPatchDebug sink;
  std::map<std::string, std::string> files;
};

TEST_F(MediaAccessTest, TreeFetchedOverEveryProtocolEqualsItsSource) {
  for (const std::string protocol : {"http", "https", "ftp", "ftp-active", "copy"}) {
    SCOPED_TRACE(protocol);
    kqtest::TempDir into;
    std::unique_ptr<LoopbackServer> server;
    CMediaConfiguration record;
    if (protocol == "copy") {
      record = Record(nullptr, source.path());
    } else {
      server = Start(protocol == "ftp-active" ? "ftp" : protocol);
      record = Record(server.get());
      record.m_passive = protocol != "ftp-active";
      if (protocol == "https") config.set("MediaAccess", "sCAFile", server->certFile());
    }
    auto access = Access(record);
    EXPECT_EQ(0u, access->Open()) << access->GetLastErrorString();
    FetchAll(*access, into.path());
    EXPECT_EQ(0u, access->Close());
  }
}

TEST_F(MediaAccessTest, MissingFilesAndRefusedLoginsFailWithATextAndNoFile) {
  auto http = Start("http");
  auto access = Access(Record(http.get()));
  const std::string out = target / "x/missing.bin";
  EXPECT_EQ(Win32(2), access->GetFile("KQMedia/missing.bin", out, 1));
  EXPECT_NE(std::string::npos, access->GetLastErrorString().find("missing.bin"));
  EXPECT_TRUE(Tree(target.path()).empty());

  auto copy = Access(Record(nullptr, source.path()));
  EXPECT_EQ(Win32(2), copy->GetFile("KQMedia/missing.bin", out, 1));
  EXPECT_FALSE(copy->GetLastErrorString().empty());

  auto ftp = Start("ftp");
  CMediaConfiguration bad = Record(ftp.get());
  bad.m_password = "wrong";
  auto refused = Access(bad);
  EXPECT_EQ(Win32(5), refused->Open());
  EXPECT_EQ(Win32(5), refused->GetFile("KQMedia/DVDInfo.xml", out, 1));
  EXPECT_EQ(std::string::npos, refused->GetLastErrorString().find("wrong"));  // never the password
  EXPECT_TRUE(Tree(target.path()).empty());
}

TEST_F(MediaAccessTest, SelfSignedCertificateNeedsTheIgnoreFlagOrTheCertificateTrusted) {
  auto server = Start("https");
  const std::string out = target / "DVDInfo.xml";
  CMediaConfiguration record = Record(server.get());
  {
    auto access = Access(record);
    EXPECT_EQ(Win32(12157), access->Open());
    EXPECT_EQ(Win32(12157), access->GetFile("KQMedia/DVDInfo.xml", out, 0));
    EXPECT_TRUE(Tree(target.path()).empty());
  }
  record.m_ignoreCertificateErrors = true;
  EXPECT_EQ(0u, Access(record)->GetFile("KQMedia/DVDInfo.xml", out, 0));
  EXPECT_EQ("<info/>", kqtest::ReadFile(out));

  record.m_ignoreCertificateErrors = false;
  config.set("MediaAccess", "sCAFile", server->certFile());
  EXPECT_EQ(0u, Access(record)->Open());
}

TEST_F(MediaAccessTest, ServerErrorsAreTriedAgainUpToTheBound) {
  const std::string name = "KQMedia/DVDInfo.xml";
  for (const std::string protocol : {"http", "ftp"}) {
    SCOPED_TRACE(protocol);
    kqtest::TempDir into;
    auto server = Start(protocol);
    auto access = Access(Record(server.get()));
    server->SetFaults({{name, "500:2"}});
    EXPECT_EQ(0u, access->GetFile(name, into / "ok.xml", 1)) << access->GetLastErrorString();
    EXPECT_EQ(3, server->CountRequests(name)) << ::testing::PrintToString(server->Requests());

    server->SetFaults({{name, "500"}});
    EXPECT_EQ(Win32(1359), access->GetFile(name, into / "never.xml", 1));
    EXPECT_EQ(6, server->CountRequests(name));
    EXPECT_EQ((std::map<std::string, std::string>{{"ok.xml", "<info/>"}}), Tree(into.path()));

    // A missing file is not asked again (over ftp its size query already fails).
    EXPECT_EQ(Win32(2), access->GetFile("nothere", into / "n", 1));
    EXPECT_EQ(protocol == "http" ? 1 : 0, server->CountRequests("nothere"));
  }
}

TEST_F(MediaAccessTest, BrokenTransfersLeaveNoPartFileAndTheOldTargetIntact) {
  config.set("MediaAccess", "nStallTimeoutSec", "1");
  config.set("MediaAccess", "nMaxTries", "2");
  const std::string name = "KQMedia/11.0.0/SP20_4711_R3/Unix/linux-x8664/big.bin";
  for (const std::string protocol : {"http", "ftp"}) {
    auto server = Start(protocol);
    auto access = Access(Record(server.get()));
    for (const std::string mode : {"drop", "short", "stall"}) {
      SCOPED_TRACE(protocol + " " + mode);
      const std::string out = target / "old.bin";
      kqtest::WriteFile(out, "old content");
      server->SetFaults({{name, mode}});
      const auto start = std::chrono::steady_clock::now();
      const unsigned int rc = access->GetFile(name, out, 1);
      EXPECT_NE(0u, rc);
      if (mode == "stall") {
        EXPECT_EQ(Win32(1460), rc);
        // Two tries of one second each, not the record's retry interval.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
      }
      EXPECT_EQ((std::map<std::string, std::string>{{"old.bin", "old content"}}), Tree(target.path()));
    }
  }
}

TEST_F(MediaAccessTest, HostileNamesAreRefusedBeforeAnyTransfer) {
  auto server = Start("http");
  auto access = Access(Record(server.get()));
  for (const std::string remote : {"", "../secret", "/etc/passwd", "a/../../b", "a\\..\\..\\b", "."}) {
    EXPECT_EQ(Win32(87), access->GetFile(remote, target / "out", 1)) << remote;
    EXPECT_NE(std::string::npos, access->GetLastErrorString().find("not a relative name"));
  }
  for (const std::string& local : std::vector<std::string>{"", "relative/out", target / "dir/", target / "../out"})
    EXPECT_EQ(Win32(87), access->GetFile("KQMedia/DVDInfo.xml", local, 1)) << local;
  EXPECT_TRUE(server->Requests().empty());
  EXPECT_TRUE(Tree(target.path()).empty());

  // Outside the copy folder is out of reach too.
  kqtest::WriteFile(source.path() + "/../outside-" + std::to_string(getpid()), "x");
  auto copy = Access(Record(nullptr, source.path() + "/KQMedia"));
  EXPECT_EQ(Win32(87), copy->GetFile("../../outside-" + std::to_string(getpid()), target / "o", 1));
  unlink((source.path() + "/../outside-" + std::to_string(getpid())).c_str());
}

TEST_F(MediaAccessTest, EightThreadsShareOneObjectAndKeepTheirOwnErrors) {
  auto server = Start("http");
  for (int i = 0; i < 64; ++i)
    kqtest::WriteFile(source.path() + "/pool/f" + std::to_string(i), RandomBytes(20000 + i, 100 + i));
  auto access = Access(Record(server.get()));
  std::vector<std::thread> threads;
  std::vector<std::string> lastErrors(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < 64; i += 8) {
        const std::string name = "pool/f" + std::to_string(i);
        EXPECT_EQ(0u, access->GetFile(name, target / name, 1)) << access->GetLastErrorString();
      }
      if (t % 2 == 1) access->GetFile("pool/missing" + std::to_string(t), target / "pool/x", 1);
      lastErrors[t] = access->GetLastErrorString();
    });
  }
  for (auto& th : threads) th.join();
  std::map<std::string, std::string> expected;
  for (const auto& f : Tree(source.path()))
    if (f.first.compare(0, 5, "pool/") == 0) expected.insert(f);
  EXPECT_EQ(expected, Tree(target.path()));
  for (int t = 0; t < 8; ++t) {
    if (t % 2 == 0) EXPECT_EQ("", lastErrors[t]);
    else EXPECT_NE(std::string::npos, lastErrors[t].find("missing" + std::to_string(t)));
  }
}

TEST_F(MediaAccessTest, ThreadsFetchingTheSameTargetsAllSucceedAndLeaveThemWhole) {
  // Sixteen threads on one object, eight into each of two targets, fifty rounds: a
  // transfer's part file is its own from the moment it exists, so no sweep by a transfer of the
  // same target takes it away.
  const std::string a = RandomBytes(3000, 11), b = RandomBytes(2000, 12);
  kqtest::WriteFile(source.path() + "/same/a.bin", a);
  kqtest::WriteFile(source.path() + "/same/b.bin", b);
  auto access = Access(Record(nullptr, source.path()));
  std::atomic<int> failures{0};
  std::mutex lock;
  std::condition_variable turn;
  int waiting = 0, round = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = t % 2 == 0 ? "same/a.bin" : "same/b.bin";
      for (int mine = 0; mine < 50; ++mine) {
        {
          // Every round starts all sixteen fetches together.
          std::unique_lock<std::mutex> hold(lock);
          if (++waiting == 16) {
            waiting = 0;
            ++round;
            turn.notify_all();
          } else {
            turn.wait(hold, [&] { return round > mine; });
          }
        }
        if (access->GetFile(name, target / name, 1) != 0) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ((std::map<std::string, std::string>{{"same/a.bin", a}, {"same/b.bin", b}}),
            Tree(target.path()));
}

TEST_F(MediaAccessTest, KeptHandlesReuseTheirConnectionsAndCarryNoOptionOver) {
  const std::string body = RandomBytes(50000, 7);
  kqmedia::tTransferOptions options;
  options.retryWaitMs = 10;
  {
    // A probe, then fetches: one connection, and the probe's "no body" does not stay behind.
    CountingServer server(body, false);
    kqmedia::TransferHandles handles;
    EXPECT_TRUE(kqmedia::ProbeUrl(server.url(""), options, &handles).ok());
    for (int i = 0; i < 3; ++i) {
      const std::string out = target / ("kept" + std::to_string(i));
      const kqmedia::tTransferResult r = kqmedia::FetchUrl(server.url("f"), out, options, &handles);
      EXPECT_TRUE(r.ok()) << r.text;
      EXPECT_EQ(body, kqtest::ReadFile(out));
    }
    EXPECT_EQ(1, server.accepted());
    EXPECT_EQ(1u, handles.IdleCount());
    handles.CloseIdle();
    EXPECT_EQ(0u, handles.IdleCount());
    EXPECT_TRUE(kqmedia::FetchUrl(server.url("f"), target / "after", options, &handles).ok());
    EXPECT_EQ(2, server.accepted());
  }
  {
    // Without kept handles every fetch opens its own connection.
    CountingServer server(body, false);
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(kqmedia::FetchUrl(server.url("f"), target / "fresh", options).ok());
    EXPECT_EQ(3, server.accepted());
  }
  {
    // A server that drops its idle connections: each fetch still succeeds on a new one.
    CountingServer server(body, true);
    kqmedia::TransferHandles handles;
    for (int i = 0; i < 3; ++i) {
      const kqmedia::tTransferResult r =
          kqmedia::FetchUrl(server.url("f"), target / "dropped", options, &handles);
      EXPECT_TRUE(r.ok()) << r.text;
      EXPECT_EQ(body, kqtest::ReadFile(target / "dropped"));
    }
    EXPECT_EQ(3, server.accepted());
  }
  {
    // Threads sharing the handles use no more connections than there are threads.
    CountingServer server(body, false);
    kqmedia::TransferHandles handles;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 8; ++i) {
          const std::string out = target / ("t" + std::to_string(t) + "-" + std::to_string(i));
          if (kqmedia::FetchUrl(server.url("f"), out, options, &handles).ok() &&
              kqtest::ReadFile(out) == body)
            ++good;
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(32, good.load());
    EXPECT_LE(server.accepted(), 4);
    EXPECT_LE(handles.IdleCount(), 4u);
  }
}

TEST_F(MediaAccessTest, HotfixFetchesUseTheirOwnRecord) {
  auto server = Start("http");
  kqtest::TempDir other;
  kqtest::WriteFile(other.path() + "/KQMedia/DVDInfo.xml", "<other/>");
  auto access = Access(Record(server.get()), Record(nullptr, other.path()));
  EXPECT_EQ(server->base(), access->GetMediaConfiguration().GetServerName());
  EXPECT_EQ(0u, access->GetFile("KQMedia/DVDInfo.xml", target / "hotfix.xml"));
  EXPECT_EQ(0u, access->GetFile("KQMedia/DVDInfo.xml", target / "download.xml", 0));
  EXPECT_EQ("<other/>", kqtest::ReadFile(target / "hotfix.xml"));
  EXPECT_EQ("<info/>", kqtest::ReadFile(target / "download.xml"));
}

TEST_F(MediaAccessTest, OpenChecksTheRecordAndThatTheServerAnswers) {
  auto server = Start("http");
  EXPECT_EQ(0u, Access(Record(server.get()))->Open());
  const int port = server->port();
  server.reset();
  CMediaConfiguration closed;
  closed.Reset(CMediaConfiguration::eHTTP, "/cache", "http://127.0.0.1:" + std::to_string(port), true, false);
  auto gone = Access(closed);
  EXPECT_EQ(Win32(12029), gone->Open());
  EXPECT_FALSE(gone->GetLastErrorString().empty());

  EXPECT_NE(0u, Access(Record(nullptr, source.path() + "/no-such-folder"))->Open());
  EXPECT_NE(0u, Access(CMediaConfiguration())->Open());  // no server name
  CMediaConfiguration unknown = closed;
  unknown.m_protocol = static_cast<CMediaConfiguration::eProtocolType>(7);
  EXPECT_EQ(Win32(87), Access(unknown)->Open());
  EXPECT_EQ(0x80000008u, CreateMediaAccess(closed, closed, sink, nullptr));
}

TEST_F(MediaAccessTest, DiskFullIsReportedAsWin32Error112) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string mnt = target / "small";
  mkdir(mnt.c_str(), 0755);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << PxErrnoText(errno);
  const std::string name = "KQMedia/11.0.0/SP20_4711_R3/Unix/linux-x8664/big.bin";
  {
    auto server = Start("http");
    auto access = Access(Record(server.get()));
    EXPECT_EQ(Win32(112), access->GetFile(name, mnt + "/big.bin", 1));
    EXPECT_TRUE(Tree(mnt).empty());
    auto copy = Access(Record(nullptr, source.path()));
    EXPECT_EQ(Win32(112), copy->GetFile(name, mnt + "/big.bin", 1));
    EXPECT_TRUE(Tree(mnt).empty());
  }
  umount2(mnt.c_str(), MNT_DETACH);
}

}  // namespace
