// Lists a folder through the library, names an operating system and its cache folder, and sends
// a file name through a message and back. Run as: kq_consumer <folder>
#include <cstdio>
#include <string>
#include <vector>

#include "CachePaths.h"
#include "FileSystemUtils.h"
#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"
#include "Vocabulary.h"

// A function of the program's own that shares its name with one of the library's; the library
// goes on calling its own. (This one answers wrongly on purpose, to show that.)
bool IsADirectory(const char*) { return false; }

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  SetOSTypesInfo();  // the vocabulary is filled by its user, before the first lookup
  std::string cacheFolder = "/cache";
  GetPackageLocation(cacheFolder, "11.0.0", PUSH_UPD_OS_UNIX, nullptr, false, nullptr);
  std::printf("%s %s\n", GetOSNameFromId(16), cacheFolder.c_str());

  std::vector<std::string> entries;  // every file and folder below argv[1], sorted
  if (!GetRecursiveFilesNFol(argv[1], entries)) return 1;
  EvDebug().DebugLvl("[consumer]", 1, "[%zu] entries below [%s]", entries.size(), argv[1]);
  for (const std::string& entry : entries) {
    UpdatePatches::File file, copy;
    file.setstring(1, 1, entry);
    std::string xml;
    if (file.serialize(xml) != 0 || copy.unserialize(xml) != 0) return 1;
    std::printf("%s\n", copy.getstring(1, 1).c_str());
  }
  return 0;
}
