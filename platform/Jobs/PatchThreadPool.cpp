#include "Jobs/IPatchThreadPool.h"

#include <memory>

namespace {

void RunTask(void* param) {
  std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(param));
  (*task)();
}

}  // namespace

unsigned int CPatchThreadPool::Initialize(const tThreadPoolParams& params,
                                          IMediaAccess* mediaAccess) {
  if (params.threads == 0) return 0x80000008u;
  if (!pool_.initThreadPool(params.name, params.maxQueued, 1, params.threads, 1))
    return 0x80000010u;
  mediaAccess_ = mediaAccess;
  return 0;
}

unsigned int CPatchThreadPool::QueueWork(std::function<void()> task) {
  if (!task) return 0x80000008u;
  auto* param = new std::function<void()>(std::move(task));
  if (!pool_.doWork(RunTask, param)) {
    delete param;
    return 0x80000008u;
  }
  return 0;
}

unsigned int CPatchThreadPool::WaitForAll(bool logSummary, bool failOnTaskError,
                                          bool resetCounters) {
  return pool_.waitForAllThreads(logSummary, failOnTaskError, resetCounters, -1) ? 0
                                                                                 : 0x8000001Au;
}

unsigned int CPatchThreadPool::HelpAndWaitForAll(bool logSummary, bool failOnTaskError,
                                                 bool resetCounters) {
  return pool_.helpWhileWaiting(logSummary, failOnTaskError, resetCounters) ? 0 : 0x8000001Au;
}
