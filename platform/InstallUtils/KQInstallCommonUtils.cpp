#include "InstallUtils/KQInstallCommonUtils.h"

#include <unistd.h>

#include <cerrno>

namespace KQInstallCommonUtils {

int KQInstallAccess(const char* path, int mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return access(path, mode) == 0 ? 0 : -1;
}

int KQInstallmystat(const char* path, struct stat* info) {
  if (path == nullptr || info == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return stat(path, info) == 0 ? 0 : -1;
}

}  // namespace KQInstallCommonUtils
