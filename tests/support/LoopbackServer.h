// LoopbackServer: a file server on 127.0.0.1 for transfer tests (http, https or ftp), run by
// Debian's python3 from tests/support/loopback_server.py (see that script for the fault modes).
//
// The server serves `root`, writes its port to a file in its own temporary folder, and ends
// with this object (SIGTERM, then SIGKILL), when the test process dies, or after its timeout.
#ifndef KQ_TESTS_SUPPORT_LOOPBACKSERVER_H_
#define KQ_TESTS_SUPPORT_LOOPBACKSERVER_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "KqTestEnv.h"

namespace kqtest {

class LoopbackServer {
 public:
  struct Options {
    std::string protocol = "http";  // "http", "https" or "ftp"
    std::string root;                // folder served
    std::string user = "kquser";     // ftp login
    std::string password = "kqpass";
    std::string certDir;             // https: where the self-signed pair is made ("" = own)
    double timeoutSec = 600;         // the server ends itself after this long
  };

  explicit LoopbackServer(const Options& options);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // False when the server did not start; error() says why.
  bool ok() const { return port_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // "<protocol>://127.0.0.1:<port>" (ftp: "127.0.0.1:<port>", the form of an ftp site).
  std::string base() const;
  // https: the server's certificate (also the certificate to trust).
  std::string certFile() const { return certDir_ + "/cert.pem"; }

  // Replaces the fault table: path relative to the root -> mode.
  void SetFaults(const std::map<std::string, std::string>& faults);
  // The requests served so far, "<method> <path> <status>" each.
  std::vector<std::string> Requests() const;
  // How many requests named `path` (relative to the root).
  int CountRequests(const std::string& path) const;

 private:
  TempDir dir_;
  std::string protocol_;
  std::string certDir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// The loopback server script.
std::string LoopbackServerScript();

// Starts the program args[0] with the arguments args (no shell, no search of PATH); the child's
// pid, or -1 when fork failed. The caller ends and reaps it.
pid_t SpawnProgram(std::vector<std::string> args);

// Waits up to 30 s for the server `pid` (from SpawnProgram) to write its port to portFile: the
// port, or 0 with `error` set. A server that exited is reaped and `pid` becomes -1.
int WaitForPortFile(const std::string& portFile, pid_t& pid, std::string& error);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_LOOPBACKSERVER_H_
