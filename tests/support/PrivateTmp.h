// Running a piece of a test in a child process with mounts of its own: a /tmp of its own (an
// empty tmpfs in a private mount namespace), so that what the test plants at fixed names in /tmp
// never reaches the machine's shared /tmp, or any other file system a test needs to be small.
#ifndef KQ_TESTS_SUPPORT_PRIVATETMP_H_
#define KQ_TESTS_SUPPORT_PRIVATETMP_H_

#include <functional>
#include <string>

namespace kqtest {

// Result of RunWithPrivateTmp when mount namespaces cannot be had (not root, or refused).
constexpr int kPrivateTmpUnavailable = 77;

// Runs `body` in a child process whose /tmp is a fresh, empty tmpfs (mode 1777). The test's
// folder `keep` (a ScopedConfig's root, say), when it lies in /tmp, is mounted back at its own
// path, so the child still finds its store, logs and database. Returns body's result,
// kPrivateTmpUnavailable, or -1 when the child did not exit normally. `body` must report
// through its result only (gtest assertions in a child are lost).
int RunWithPrivateTmp(const std::string& keep, const std::function<int()>& body);

// Result of RunInOwnMounts when the child cannot have mounts of its own (not root, refused).
constexpr int kOwnMountsUnavailable = 77;

// Runs `body` in a child process with a mount namespace of its own (nothing it mounts reaches
// the machine), after `mount` (run in that namespace) changed its mounts: a small tmpfs on a
// test's folder, say. Returns body's result, kOwnMountsUnavailable when the namespace or
// `mount` failed, or -1 when the child did not exit normally.
int RunInOwnMounts(const std::function<bool()>& mount, const std::function<int()>& body);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_PRIVATETMP_H_
