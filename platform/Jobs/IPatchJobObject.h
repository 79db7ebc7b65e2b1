// IPatchJobObject: the running job as the patch classes see it, a stop flag the job manager
// sets. CPatchJobObject is the plain implementation: RequestStop may be called from any thread,
// IsInterrupted is read by the job's phases and by pool tasks.
#ifndef KQ_PLATFORM_JOBS_IPATCHJOBOBJECT_H_
#define KQ_PLATFORM_JOBS_IPATCHJOBOBJECT_H_

#pragma GCC visibility push(default)

#include <atomic>

class IPatchJobObject {
 public:
  virtual ~IPatchJobObject() {}
  // True once the job manager asked the job to stop.
  virtual bool IsInterrupted() = 0;
};

class CPatchJobObject : public IPatchJobObject {
 public:
  void RequestStop() { stop_.store(true); }
  bool IsInterrupted() override { return stop_.load(); }

 private:
  std::atomic<bool> stop_{false};
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_JOBS_IPATCHJOBOBJECT_H_
