#include "Concurrency/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "PortableFiles/PxError.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"

namespace kq {

int OpenLockFileAt(int folderFd, const std::string& name, const std::string& shown,
                   std::string& err) {
  // Root's lock files count as another user's too: only this user's may be held.
  struct stat sb;
  int fd = OpenOwnFileAt(folderFd, name, O_RDWR | O_CREAT, 0600, false, shown, err, &sb);
  if (fd < 0) {
    err = "lock file: " + err;
    return -1;
  }
  if ((sb.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
    err = "cannot make lock file [" + shown + "] private: " + PxErrnoText(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

int OpenLockFile(const std::string& path, std::string& err) {
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  ScopedFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    err = "cannot open lock file [" + path + "]: " + PxErrnoText(errno);
    return -1;
  }
  return OpenLockFileAt(dir.get(), path.substr(slash + 1), path, err);
}

int LockFileUntil(int fd, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  if (deadline == Clock::time_point::max()) {
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
  }
  // flock has no timed form: try, then sleep a little, growing to 10 ms between tries.
  std::chrono::microseconds pause(200);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return ETIMEDOUT;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    std::this_thread::sleep_for(pause < left ? pause : left);
    if (pause < std::chrono::milliseconds(10)) pause *= 2;
  }
}

}  // namespace kq
