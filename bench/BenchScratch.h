// Shared by the benchmarks: a fresh scratch folder for a benchmark's tree, in memory (/dev/shm)
// when that is writable, else under $TMPDIR or /tmp. The benchmark owns it and removes it.
#ifndef KQ_BENCH_BENCHSCRATCH_H_
#define KQ_BENCH_BENCHSCRATCH_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// The new folder "<place>/<prefix>.XXXXXX" (the X made unique), or "" when it cannot be made.
inline std::string MakeScratchFolder(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = (::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm")
                                                      : std::string(tmp && *tmp ? tmp : "/tmp")) +
                     "/" + prefix + ".XXXXXX";
  return ::mkdtemp(&path[0]) == nullptr ? std::string() : path;
}

#endif  // KQ_BENCH_BENCHSCRATCH_H_
