// Small pieces shared by the cache file-list sources (CacheFileLists*.cpp): making File
// entries, keeping the first entry of each name, checking names taken from maps and requests,
// and the presence test of cache folders.
#ifndef KQ_COMMON_KQPATCHESCOMMON_CACHEFILELISTSINTERNAL_H_
#define KQ_COMMON_KQPATCHESCOMMON_CACHEFILELISTSINTERNAL_H_

#include <string>
#include <vector>

#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"

namespace kqlists {

// A File entry {1/1 name, 2/5 checksum}.
UpdatePatches::File MakeFile(const std::string& name, const std::string& checksum);

// A list of typed messages as plain messages, for a list field.
template <class Message>
std::vector<CNMessageBase> AsMessages(const std::vector<Message>& list) {
  return std::vector<CNMessageBase>(list.begin(), list.end());
}

// The same, moving the entries out of list (left empty).
template <class Message>
std::vector<CNMessageBase> AsMessages(std::vector<Message>&& list) {
  std::vector<CNMessageBase> out;
  out.reserve(list.size());
  for (Message& m : list) out.emplace_back(std::move(m));
  list.clear();
  return out;
}

// Sets a list field to list, moved in (setlistobject copies).
inline void MoveListInto(CNMessageBase& message, const KqFieldId& field, std::vector<CNMessageBase>&& list) {
  *message.getlistobject(field) = std::move(list);
}

// Keeps, in order, the first entry of each name (checksums are not compared). Returns the
// number of entries kept.
size_t KeepFirstOfEachName(std::vector<UpdatePatches::File>& files);

// True when name is one folder name: not empty, not "." or "..", without '/' or '\'.
bool IsOneFolderName(const std::string& name);

// True when a cache folder counts as present: some file below it is not empty. The walk stops
// at the first such file. A folder that cannot be read before one is found counts as present,
// so that the failure shows where its files are checksummed rather than the folder being
// taken for missing.
bool IsFolderPresent(const std::string& path);

// The name of an operating system that has a row of its own (ids 1 to 34); null otherwise, so
// that no unknown id ever becomes a folder name.
const char* KnownOSName(int osId);

// " 12 13 14": the package ids of a package list, each after a blank, for log lines.
std::string PackageIdText(const std::vector<UpdatePatches::PackageDesc>* packages);

// name with every '\' turned into '/' (or the other way round).
std::string WithSlashes(std::string name);
std::string WithBackslashes(std::string name);

// Appends the File entries of a configuration-file group of owner (the nested message at
// group, whose 1/1 list holds them) whose names stay below their folder, named prefix + the name
// with '/' separators; others are logged and left out. line is logged at level 10 with unit and
// the file's name, or (unit empty) with the file's name and checksum.
void AppendConfigFiles(EvDebug& log, unsigned long long jobId, const char* tag, const CNMessageBase& owner,
                       const KqFieldId& group, const std::string& prefix, const char* line,
                       const std::string& unit, std::vector<UpdatePatches::File>& out);

}  // namespace kqlists

#endif  // KQ_COMMON_KQPATCHESCOMMON_CACHEFILELISTSINTERNAL_H_
