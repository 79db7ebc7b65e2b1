// Child processes for the cross-process lock tests. A test binary that uses them defines its own
// main(), which hands "--kq-lock-helper" command lines to its helper routine; the children are
// that same binary started again (fork and exec of /proc/self/exe), so each is a real process
// with its own command line ("... -jobid <id>"), as the job processes that hold locks are.
#ifndef KQ_TESTS_SUPPORT_LOCKHELPERS_H_
#define KQ_TESTS_SUPPORT_LOCKHELPERS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kqtest {

// One started helper: its standard input (closing it asks the helper to finish) and output.
class HelperProcess {
 public:
  // Starts /proc/self/exe --kq-lock-helper <args...> -jobid <jobId> (no "-jobid" when jobId
  // is 0: a daemon running a job inside itself).
  HelperProcess(const std::vector<std::string>& args, long long jobId);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }
  // One line of the helper's output, without its line end; "" at the end of its output.
  std::string ReadLine();
  // Closes the helper's input and waits for it; its exit status (-1 when it did not exit).
  int Finish();
  // SIGKILL, then waits for it.
  void Kill();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
};

// For a helper: blocks until its standard input ends.
void WaitForEndOfInput();

// The job id after "-jobid" in a helper's arguments, 0 when none.
long long HelperJobId(int argc, char** argv);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_LOCKHELPERS_H_
