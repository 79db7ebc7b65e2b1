// Pieces shared by the source files of KQPackageCache; not part of its interface.
#ifndef KQ_COMMON_KQPATCHESCOMMON_PACKAGECACHEINTERNAL_H_
#define KQ_COMMON_KQPATCHESCOMMON_PACKAGECACHEINTERNAL_H_

#include <map>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Logging/EvDebug.h"
#include "Messages/CNMessageBase.h"

struct packageDepEntry;

// calculateClosure logging on the caller's log object, so that a caller closing many ids asks
// the configuration for the log level once rather than once per id.
int CalculateClosureWithLog(int id, std::map<unsigned, packageDepEntry>& depMap,
                            std::set<unsigned>& own, std::set<unsigned>& thirdParty, EvDebug& log);

// Lookup tables over the PkgDetails list of one loaded package catalogue, so that a dependency
// walk finds an entry without scanning the list. The pointers point into the catalogue member
// of the KQPackageCache that owns the index; the index is dropped whenever that member is
// replaced.
struct PackageDependencyIndex {
  bool hasList = false;  // the catalogue has a PkgDetails list
  // The first entry of each (package id, binary-set id), as the list gives them.
  std::map<std::pair<long long, long long>, const CNMessageBase*> first;
  // For each dependency id, the entries whose dependency list names it: in list order, an entry
  // once per time it names the id.
  std::unordered_map<long long, std::vector<const CNMessageBase*>> users;
};

// True when name is one plain folder name (no separator, not "." or ".."), fit to be joined
// under a media folder.
bool KqIsPlainFolderName(const std::string& name);

#endif  // KQ_COMMON_KQPATCHESCOMMON_PACKAGECACHEINTERNAL_H_
