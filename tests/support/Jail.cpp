#include "Jail.h"

#include <sys/wait.h>
#include <unistd.h>

namespace kqtest {

int RunJailed(const std::string& folder, const std::function<int()>& body) {
  if (geteuid() != 0) return kJailUnavailable;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (chroot(folder.c_str()) != 0 || chdir("/") != 0) _exit(kJailUnavailable);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kqtest
