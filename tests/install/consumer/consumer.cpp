// Uses both installed libraries: the vocabulary and path builders of the cache library, and the
// message classes and logging of the platform layer. Prints "ok" and exits 0 when all agree.
#include <cstdio>
#include <string>

#include "CachePaths.h"
#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"
#include "Vocabulary.h"

int main() {
  SetOSTypesInfo();
  const char* name = GetOSNameFromId(16);
  std::string path = "/cache";
  GetPackageLocation(path, "11.0.0", PUSH_UPD_OS_UNIX, nullptr, false, nullptr);
  UpdatePatches::File file;
  file.setstring(1, 1, "a/b.txt");
  std::string xml;
  if (file.serialize(xml) != 0) return 2;
  UpdatePatches::File back;
  if (back.unserialize(xml) != 0 || back.getstring(1, 1) != "a/b.txt") return 3;
  EvDebug().DebugLvl("[consumer]", 1, "built against the installed libraries");
  if (name == nullptr || std::string(name) != "linux-x8664") return 4;
  if (path != "/cache/KQMedia/11.0.0/Unix") return 5;
  std::printf("ok\n");
  return 0;
}
