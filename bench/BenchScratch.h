// Shared by the benchmarks: a fresh scratch folder for a benchmark's tree, in memory (/dev/shm)
// when that is writable, else under $TMPDIR or /tmp, and the configuration store kept in it.
#ifndef KQ_BENCH_BENCHSCRATCH_H_
#define KQ_BENCH_BENCHSCRATCH_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

// The new folder "<place>/<prefix>.XXXXXX" (the X made unique), or "" when it cannot be made.
inline std::string MakeScratchFolder(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = (::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm")
                                                      : std::string(tmp && *tmp ? tmp : "/tmp")) +
                     "/" + prefix + ".XXXXXX";
  return ::mkdtemp(&path[0]) == nullptr ? std::string() : path;
}

// A scratch folder made by MakeScratchFolder that the object owns: removed, with all it holds,
// when the object goes. `path` is "" when the folder could not be made.
struct ScratchFolder {
  explicit ScratchFolder(const std::string& prefix) : path(MakeScratchFolder(prefix)) {}
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string path;
};

// Writes "<folder>/config.ini": the sections `sections`, then logging at `level` into
// "<folder>/logs"; and points KQ_CONFIG at it.
inline void WriteBenchConfig(const std::string& folder, int level, const std::string& sections = "") {
  std::ofstream(folder + "/config.ini") << sections << "[Logging]\nnDebugLevel=" << level
                                        << "\ndLogFolder=" << folder << "/logs\n";
  ::setenv("KQ_CONFIG", (folder + "/config.ini").c_str(), 1);
}

#endif  // KQ_BENCH_BENCHSCRATCH_H_
