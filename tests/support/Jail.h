// Running a piece of a test in a child process whose root folder is a test's own folder, so that
// a deleting call may be handed "/", a relative path or any absolute path and, should its
// refusal break, can reach nothing but that folder.
#ifndef KQ_TESTS_SUPPORT_JAIL_H_
#define KQ_TESTS_SUPPORT_JAIL_H_

#include <functional>
#include <string>

namespace kqtest {

// Result of RunJailed when the process may not change its root folder (not running as root).
constexpr int kJailUnavailable = 77;

// Runs `body` in a child process whose root and working folder are `folder` (chroot). Returns
// body's result, kJailUnavailable when the root folder cannot be changed, or -1 when the child
// did not exit normally. `body` must report through its result only (gtest assertions in a child
// are lost) and must not rely on files outside `folder`.
int RunJailed(const std::string& folder, const std::function<int()>& body);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_JAIL_H_
