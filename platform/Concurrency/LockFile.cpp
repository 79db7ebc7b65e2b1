#include "Concurrency/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "PortableFiles/PxError.h"

namespace kq {

int OpenLockFile(const std::string& path, std::string& err) {
  // O_NONBLOCK: a FIFO in the file's place must not hold the open; it is refused below.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) {
    err = "cannot open lock file [" + path + "]: " + PxErrnoText(errno);
    return -1;
  }
  struct stat sb;
  if (::fstat(fd, &sb) != 0) {
    err = "cannot examine lock file [" + path + "]: " + PxErrnoText(errno);
  } else if (!S_ISREG(sb.st_mode)) {
    err = "lock file [" + path + "] is not a regular file";
  } else if (sb.st_uid != ::geteuid()) {
    err = "lock file [" + path + "] is owned by user " + std::to_string(sb.st_uid);
  } else if ((sb.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
    err = "cannot make lock file [" + path + "] private: " + PxErrnoText(errno);
  } else {
    return fd;
  }
  ::close(fd);
  return -1;
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
