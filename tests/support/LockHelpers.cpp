#include "LockHelpers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kqtest {

HelperProcess::HelperProcess(const std::vector<std::string>& args, long long jobId) {
  std::vector<std::string> full = {"/proc/self/exe", "--kq-lock-helper"};
  full.insert(full.end(), args.begin(), args.end());
  if (jobId > 0) {
    full.push_back("-jobid");
    full.push_back(std::to_string(jobId));
  }
  std::vector<char*> argv;
  for (std::string& a : full) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) Kill();
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
}

std::string HelperProcess::ReadLine() {
  for (;;) {
    size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    char buf[256];
    ssize_t n = out_ >= 0 ? ::read(out_, buf, sizeof buf) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string rest;
      rest.swap(buffered_);
      return rest;
    }
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

int HelperProcess::Finish() {
  if (in_ >= 0) {
    ::close(in_);
    in_ = -1;
  }
  if (pid_ <= 0) return -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void HelperProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void WaitForEndOfInput() {
  char buf[64];
  for (;;) {
    ssize_t n = ::read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
  }
}

long long HelperJobId(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-jobid") == 0) return std::atoll(argv[i + 1]);
  }
  return 0;
}

}  // namespace kqtest
