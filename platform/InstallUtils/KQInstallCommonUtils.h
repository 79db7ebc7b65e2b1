// Small path tests of the install utilities, as the cache code calls them.
// Namespace rather than class: later install-utility pieces (folder-structure readers) join it.
#ifndef KQ_PLATFORM_INSTALLUTILS_KQINSTALLCOMMONUTILS_H_
#define KQ_PLATFORM_INSTALLUTILS_KQINSTALLCOMMONUTILS_H_

#pragma GCC visibility push(default)

#include <sys/stat.h>

#include <string>

namespace KQInstallCommonUtils {

// access(2): 0 when `path` can be accessed with `mode` (0 = exists; R_OK, W_OK, X_OK), else -1
// with errno set. A null path gives -1 (EINVAL).
int KQInstallAccess(const char* path, int mode);
inline int KQInstallAccess(const std::string& path, int mode) { return KQInstallAccess(path.c_str(), mode); }

// stat(2) (a final link is followed): 0 and `info` filled on success, else -1 with errno set.
// A null path or null `info` gives -1 (EINVAL).
int KQInstallmystat(const char* path, struct stat* info);
inline int KQInstallmystat(const std::string& path, struct stat* info) { return KQInstallmystat(path.c_str(), info); }

}  // namespace KQInstallCommonUtils

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_INSTALLUTILS_KQINSTALLCOMMONUTILS_H_
