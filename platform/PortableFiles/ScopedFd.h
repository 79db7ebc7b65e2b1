// An owned file descriptor, closed when its owner goes away.
//
// Walks that work relative to an open folder hold the folders they reached in these; one owner
// at a time (movable, not copyable).
#ifndef KQ_PLATFORM_PORTABLEFILES_SCOPEDFD_H_
#define KQ_PLATFORM_PORTABLEFILES_SCOPEDFD_H_

#pragma GCC visibility push(default)

#include <unistd.h>

namespace kq {

class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_SCOPEDFD_H_
