#include "Jail.h"

#include <unistd.h>

#include "Unprivileged.h"

namespace kqtest {

int RunJailed(const std::string& folder, const std::function<int()>& body) {
  if (geteuid() != 0) return kJailUnavailable;
  return RunInChild([&] { return chroot(folder.c_str()) == 0 && chdir("/") == 0; }, kJailUnavailable, body);
}

}  // namespace kqtest
