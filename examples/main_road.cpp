// The library's main road on an example cache: builds a small cache under a temporary folder,
// points the configuration store at it and walks through what the library can do with it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Configuration/KQPlatformInfo.h"
#include "HostIdentity.h"
#include "Logging/EvDebug.h"

int main() {
  char tmpl[] = "/tmp/kq-example.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  setenv("KQ_CONFIG", (root + "/config.ini").c_str(), 1);
  KQPlatformInfo config;
  config.setString("Logging", "dLogFolder", root + "/logs");
  config.setString("", "sProductVersion", "11.0.0.1234");
  config.setString("Base", "dHOME", root + "/home");

  std::string release;
  if (GetRelNumOfClient(release)) std::printf("release of this client: %s\n", release.c_str());
  std::printf("Hubnode release id: %u\n", getHNReleaseID());
  EvDebug().Debug("main", "example finished");
  std::printf("log: %s\n", EvDebug().logFilePath().c_str());
  return 0;
}
