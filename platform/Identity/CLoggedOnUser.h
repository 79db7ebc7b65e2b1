// CLoggedOnUser: a local user account checked for running work on its behalf.
//
// Logon succeeds when the account exists on this host; the token is the account's uid. This
// platform cannot switch a running process to another user, so the token only identifies it.
#ifndef KQ_PLATFORM_IDENTITY_CLOGGEDONUSER_H_
#define KQ_PLATFORM_IDENTITY_CLOGGEDONUSER_H_

#pragma GCC visibility push(default)

#include <string>

class CLoggedOnUser {
 public:
  void Init(const std::string& user, const std::string& password, bool);
  // 0 on success; otherwise an errno value (ENOENT for an unknown account), also left in errno.
  int Logon();
  void* GetToken() const { return token_; }

 private:
  std::string user_;
  void* token_ = nullptr;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_IDENTITY_CLOGGEDONUSER_H_
