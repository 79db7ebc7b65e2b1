#include "Identity/CLoggedOnUser.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

void CLoggedOnUser::Init(const std::string& user, const std::string&, bool) {
  user_ = user;
  token_ = nullptr;
}

int CLoggedOnUser::Logon() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  int rc = ::getpwnam_r(user_.c_str(), &pw, buf.data(), buf.size(), &found);
  if (rc != 0 || !found) {
    errno = rc != 0 ? rc : ENOENT;
    return errno;
  }
  token_ = reinterpret_cast<void*>(static_cast<uintptr_t>(found->pw_uid) + 1);
  return 0;
}
