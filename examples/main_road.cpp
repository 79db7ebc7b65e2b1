// The library's main road on an example cache: builds a small cache under a temporary folder,
// points the configuration store at it, and walks through what the library does with it.
// Each step prints what it found; the program exits non-zero when a step fails.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "HostIdentity.h"
#include "Logging/EvDebug.h"
#include "UpdateUtils.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::printf("  FAILED: %s\n", what);
    ++g_failures;
  }
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Step 1: the instance's configuration and who we are.
void ShowIdentity() {
  std::printf("== Identity\n");
  std::string release;
  Check(GetRelNumOfClient(release), "release number of the client");
  std::printf("  release of this client: %s, Hubnode release id: %u\n", release.c_str(),
              getHNReleaseID());
}

// Step 2: a small cache tree, listed, sized, copied and removed through the file utilities.
void WalkTheCache(const std::string& cache) {
  std::printf("== Cache tree at %s\n", cache.c_str());
  std::string media = cache + "/KQMedia/11.0.0/Windows/BinaryPayload/LooseUpdates";
  Check(recursiveCreateDir(media.c_str()), "create the media folders");
  WriteFile(media + "/KQ11_0_0_Update_1_64.exe", std::string(4096, 'u'));
  WriteFile(media + "/KQ11_0_0_Update_2_64.exe", std::string(1024, 'v'));
  WriteFile(cache + "/KQMedia/11.0.0/version.txt", "Version=11.0.0\nBuild=80\n");

  std::list<std::string> releases;
  Check(GetFolderList(cache + "/KQMedia", releases), "list the releases");
  for (const auto& r : releases) std::printf("  release folder: %s\n", r.c_str());

  std::vector<std::string> files;
  Check(GetAllFilesInDir(cache, "KQMedia", files, true), "list the files");
  for (const auto& f : files) std::printf("  file: %s\n", f.c_str());

  unsigned long long size = 0;
  Check(GetDirectorySize(cache.c_str(), size), "size the cache");
  std::printf("  cache size: %llu bytes\n", size);

  std::string copy = cache + "-copy";
  Check(copyDirectory(cache.c_str(), copy.c_str(), true), "copy the cache");
  std::string error;
  Check(DeleteDir(copy, error), "delete the copy");
  std::printf("  copied and removed %s\n", copy.c_str());
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/kq-example.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  setenv("KQ_CONFIG", (root + "/config.ini").c_str(), 1);
  KQPlatformInfo config;
  config.setString("Logging", "dLogFolder", root + "/logs");
  config.setString("", "sProductVersion", "11.0.0.1234");
  config.setString("Base", "dHOME", root + "/home");
  config.setString("SoftwareCache", "dHOME", root + "/cache");

  ShowIdentity();
  WalkTheCache(root + "/cache");

  std::printf("== Example folder kept for inspection: %s (log: %s)\n", root.c_str(),
              EvDebug().logFilePath().c_str());
  std::printf(g_failures ? "%d step(s) failed\n" : "all steps passed\n", g_failures);
  return g_failures ? 1 : 0;
}
