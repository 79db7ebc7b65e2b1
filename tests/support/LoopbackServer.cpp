#include "LoopbackServer.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <utility>

namespace kqtest {

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string LoopbackServerScript() { return std::string(KQ_TEST_SUPPORT_DIR) + "/loopback_server.py"; }

pid_t SpawnProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int WaitForPortFile(const std::string& portFile, pid_t& pid, std::string& error) {
  if (pid < 0) {
    error = "fork failed";
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadFile(portFile);
    if (!text.empty()) return std::stoi(text);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      error = "server exited with status " + std::to_string(status);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = "server did not start within 30 s";
  return 0;
}

LoopbackServer::LoopbackServer(const Options& options) : protocol_(options.protocol) {
  certDir_ = options.certDir.empty() ? dir_.path() + "/tls" : options.certDir;
  const std::string portFile = dir_ / "port";
  WriteFile(dir_ / "faults.json", "{}");
  std::vector<std::string> args = {"/usr/bin/python3", LoopbackServerScript(),
                                    "--protocol", options.protocol,
                                    "--root", options.root,
                                    "--port-file", portFile,
                                    "--faults", dir_ / "faults.json",
                                    "--log", dir_ / "requests.log",
                                    "--user", options.user,
                                    "--password", options.password,
                                    "--parent-pid", std::to_string(getpid()),
                                    "--timeout", std::to_string(options.timeoutSec)};
  if (options.protocol == "https") {
    args.push_back("--make-cert");
    args.push_back(certDir_);
  }
  pid_ = SpawnProgram(std::move(args));
  port_ = WaitForPortFile(portFile, pid_, error_);
}

LoopbackServer::~LoopbackServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 150; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string LoopbackServer::base() const {
  const std::string hostPort = "127.0.0.1:" + std::to_string(port_);
  return protocol_ == "ftp" ? hostPort : protocol_ + "://" + hostPort;
}

void LoopbackServer::SetFaults(const std::map<std::string, std::string>& faults) {
  std::string json = "{";
  for (const auto& kv : faults) {
    if (json.size() > 1) json += ", ";
    json += JsonString(kv.first) + ": " + JsonString(kv.second);
  }
  json += "}";
  WriteFile(dir_ / "faults.json.tmp", json);
  std::rename((dir_ / "faults.json.tmp").c_str(), (dir_ / "faults.json").c_str());
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(dir_ / "requests.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int LoopbackServer::CountRequests(const std::string& path) const {
  int n = 0;
  for (const std::string& line : Requests()) {
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    if (first != std::string::npos && last > first && line.substr(first + 1, last - first - 1) == path)
      ++n;
  }
  return n;
}

}  // namespace kqtest
