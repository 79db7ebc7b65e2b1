// Running a piece of a test without root's rights, so that permission failures can be
// provoked even when the tests run as root (root ignores file permissions).
#ifndef KQ_TESTS_SUPPORT_UNPRIVILEGED_H_
#define KQ_TESTS_SUPPORT_UNPRIVILEGED_H_

#include <functional>
#include <string>

namespace kqtest {

// Runs `enter`, then `body`, in a child process. Returns body's result, `enterFailed` when
// `enter` fails, or -1 when the child did not exit normally.
int RunInChild(const std::function<bool()>& enter, int enterFailed, const std::function<int()>& body);

// Limits the calling process's address space to what it maps now plus `headroom` bytes (an
// `enter` of RunInChild). False when the limit could not be set.
bool LimitAddressSpaceTo(unsigned long long headroom);

// Runs `body` in a child process as user and group "nobody" (65534) when the test runs as root,
// else directly. Returns body's result, or -1 when the child did not exit normally.
// `body` must report through its result only (gtest assertions in a child are lost).
int RunUnprivileged(const std::function<int()>& body);

// When running as root: hands `path` and everything below it (links themselves, not their
// targets) to "nobody", and opens the folders above it for searching, so that RunUnprivileged
// bodies may work in it. Does nothing otherwise.
void GiveTreeToUnprivileged(const std::string& path);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_UNPRIVILEGED_H_
