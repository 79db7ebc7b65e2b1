// Dependency walks over the package catalogues: direct, transitive and reverse dependencies of a
// package, and the closure that splits a package set into own and third-party packages.
//
// The walks run on explicit stacks rather than by recursion, so a long dependency chain in a
// catalogue cannot overflow the thread's stack.
#include <algorithm>
#include <unordered_set>

#include "PackageCache.h"
#include "PackageCacheInternal.h"
#include "PackageCatalogueFields.h"
#include "Vocabulary.h"

namespace {

const char kLoopMessage[] =
    "There is a dependency loop detected in package XML files on package id [%d].";

// One package being expanded by a recursive walk: its list and the next place in it.
struct WalkFrame {
  unsigned id;
  std::vector<unsigned> children;
  size_t next = 0;
};

// Appends ids to out until the walk's output reaches the cap; false once it has.
template <typename Push>
bool AppendCapped(const std::vector<unsigned>& ids, size_t& appended, Push push, EvDebug& log,
                  const char* tag, unsigned root) {
  for (unsigned id : ids) {
    if (appended >= kMaxDependencyWalkEntries) {
      log.Debug(tag, "Dependency walk of package id [%u] stopped after [%zu] ids", root, appended);
      return false;
    }
    push(id);
    ++appended;
  }
  return true;
}


// The expansion shared by the recursive walks: first (the list of root) has been collected;
// it is appended, then each of its ids is expanded in turn, depth first: expand(id) gives the
// list of an id, which is appended and expanded the same way. An id on the current path is not
// expanded again. Appending stops for good at kMaxDependencyWalkEntries ids.
template <typename Expand, typename Push>
void WalkDepthFirst(unsigned root, std::vector<unsigned> first, Expand expand, Push push,
                    EvDebug& log, const char* tag) {
  size_t appended = 0;
  if (!AppendCapped(first, appended, push, log, tag, root)) return;
  std::unordered_set<unsigned> onPath{root};
  std::vector<WalkFrame> stack;
  stack.push_back(WalkFrame{root, std::move(first)});
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    if (top.next == top.children.size()) {
      onPath.erase(top.id);
      stack.pop_back();
      continue;
    }
    unsigned child = top.children[top.next++];
    if (onPath.count(child)) {
      log.DebugLvl(tag, 10, kLoopMessage, static_cast<int>(child));
      continue;
    }
    std::vector<unsigned> next = expand(child);
    if (next.empty()) continue;
    if (!AppendCapped(next, appended, push, log, tag, root)) return;
    onPath.insert(child);
    stack.push_back(WalkFrame{child, std::move(next)});
  }
}

}  // namespace

const PackageDependencyIndex& KQPackageCache::dependencyIndex(bool unix) {
  std::unique_ptr<PackageDependencyIndex>& slot = unix ? m_unixIndex : m_winIndex;
  if (slot) return *slot;
  auto index = std::make_unique<PackageDependencyIndex>();
  const std::vector<CNMessageBase>* list = kqcat::GroupList(catalogueFor(unix), kqcat::kPdPkgDetails);
  if (list) {
    index->hasList = true;
    for (const CNMessageBase& entry : *list) {
      index->first.emplace(std::make_pair(kqcat::IntOf(entry, kqcat::kPkdPackageId),
                                          kqcat::IntOf(entry, kqcat::kPkdBinarySetId)),
                           &entry);
      const std::vector<CNMessageBase>* deps = kqcat::ListOf(entry, kqcat::kPkdDependencies);
      if (!deps) continue;
      for (const CNMessageBase& dep : *deps) {
        if (!dep.isSet(kqcat::kPvPackageId.index)) continue;
        index->users[kqcat::IntOf(dep, kqcat::kPvPackageId)].push_back(&entry);
      }
    }
  }
  slot = std::move(index);
  return *slot;
}

bool KQPackageCache::GetDependentPackages(unsigned id, std::list<unsigned>& deps, bool& reboot,
                                          int bsId) {
  const PackageDependencyIndex& index = dependencyIndex(isUnixBsId(bsId));
  if (!index.hasList) return false;
  auto it = index.first.find(std::make_pair(static_cast<long long>(id), static_cast<long long>(bsId)));
  if (it == index.first.end()) return false;
  const CNMessageBase& entry = *it->second;
  if (entry.isSet(kqcat::kPkdReboot.index)) reboot = kqcat::IntOf(entry, kqcat::kPkdReboot) != 0;
  const std::vector<CNMessageBase>* list = kqcat::ListOf(entry, kqcat::kPkdDependencies);
  if (!list) return true;
  for (const CNMessageBase& dep : *list) {
    if (!dep.isSet(kqcat::kPvPackageId.index)) continue;
    long long depId = kqcat::IntOf(dep, kqcat::kPvPackageId);
    if (depId != 0) deps.push_back(static_cast<unsigned>(depId));
  }
  return true;
}

bool KQPackageCache::GetDependentPackagesRecurs(unsigned id, std::list<unsigned>& deps,
                                                bool& reboot, int bsId) {
  static const char* const kTag = "[GetDependentPackagesRecurs]";
  auto direct = [&](unsigned of, bool& flag) {
    std::list<unsigned> got;
    GetDependentPackages(of, got, flag, bsId);
    return std::vector<unsigned>(got.begin(), got.end());
  };
  auto push = [&](unsigned v) { deps.push_back(v); };

  bool ownFlag = false;
  std::vector<unsigned> first = direct(id, ownFlag);
  if (ownFlag) reboot = true;
  if (first.empty()) return true;
  WalkDepthFirst(
      id, std::move(first),
      [&](unsigned of) {
        bool childFlag = false;  // only the requested package's flag is reported
        return direct(of, childFlag);
      },
      push, m_log, kTag);
  return true;
}

namespace {

// The entries of the filter that name id as a dependency, in list order, appended to users.
template <typename Users>
void ReverseUsers(const PackageDependencyIndex& index, unsigned id,
                  const std::unordered_set<long long>& wanted, Users& users, bool& reboot) {
  if (!index.hasList || wanted.empty()) return;
  auto it = index.users.find(static_cast<long long>(id));
  if (it == index.users.end()) return;
  for (const CNMessageBase* entry : it->second) {
    if (!entry->isSet(kqcat::kPkdPackageId.index)) continue;
    long long user = kqcat::IntOf(*entry, kqcat::kPkdPackageId);
    if (user != static_cast<int>(user) || !wanted.count(user)) continue;
    users.push_back(static_cast<unsigned>(user));
    if (entry->isSet(kqcat::kPkdReboot.index)) reboot = kqcat::IntOf(*entry, kqcat::kPkdReboot) != 0;
  }
}

}  // namespace

bool KQPackageCache::GetReverseDependentPackages(unsigned id, std::list<unsigned>& users,
                                                 std::vector<int> filter, bool& reboot, int bsId) {
  const std::unordered_set<long long> wanted(filter.begin(), filter.end());
  ReverseUsers(dependencyIndex(isUnixBsId(bsId)), id, wanted, users, reboot);
  return true;
}

bool KQPackageCache::GetReverseDependentPackagesRecurs(unsigned id, std::stack<unsigned>& users,
                                                       std::vector<int> filter, bool& reboot,
                                                       int bsId) {
  static const char* const kTag = "[GetReverseDependentPackagesRecurs]";
  // The filter and the index are looked at once for the whole walk.
  const std::unordered_set<long long> wanted(filter.begin(), filter.end());
  const PackageDependencyIndex& index = dependencyIndex(isUnixBsId(bsId));
  auto direct = [&](unsigned of, bool& flag) {
    std::vector<unsigned> got;
    ReverseUsers(index, of, wanted, got, flag);
    got.erase(std::unique(got.begin(), got.end()), got.end());
    return got;
  };
  auto push = [&](unsigned v) { users.push(v); };

  bool ownFlag = false;
  std::vector<unsigned> first = direct(id, ownFlag);
  if (first.empty()) return true;
  if (ownFlag) reboot = true;
  WalkDepthFirst(
      id, std::move(first),
      [&](unsigned of) {
        bool childFlag = false;  // not reported
        return direct(of, childFlag);
      },
      push, m_log, kTag);
  return true;
}

int calculateClosure(int id, std::map<unsigned, packageDepEntry>& depMap, std::set<unsigned>& own,
                     std::set<unsigned>& thirdParty) {
  EvDebug log;
  return CalculateClosureWithLog(id, depMap, own, thirdParty, log);
}

int CalculateClosureWithLog(int id, std::map<unsigned, packageDepEntry>& depMap,
                            std::set<unsigned>& own, std::set<unsigned>& thirdParty, EvDebug& log) {
  static const char* const kTag = "[calculateClosure]";
  // A package whose dependencies are being processed, and the next dependency to process.
  struct Frame {
    unsigned id;
    std::set<unsigned>::const_iterator next, end;
  };
  std::vector<Frame> stack;

  // Visits one package: -1 on a loop, 0 when nothing is left to do for it, 1 when its
  // dependencies were put on the stack.
  auto visit = [&](unsigned pkg) -> int {
    packageDepEntry& entry = depMap[pkg];
    if (entry.state == 1) {
      log.DebugLvl(kTag, 10, kLoopMessage, static_cast<int>(pkg));
      return -1;
    }
    if (entry.state == 2) {
      log.DebugLvl(kTag, 10, "Package Id [%d] is already processed, adding all its dependents.",
                   static_cast<int>(pkg));
      for (unsigned dep : entry.deps) (depMap[dep].isThirdParty ? thirdParty : own).insert(dep);
      return 0;
    }
    log.DebugLvl(kTag, 10, "Now processing package Id [%d]", static_cast<int>(pkg));
    entry.state = 1;
    if (entry.isThirdParty) {
      log.DebugLvl(kTag, 10, "Adding third package Id [%d] into the list", static_cast<int>(pkg));
      thirdParty.insert(pkg);
    } else {
      log.DebugLvl(kTag, 10, "Adding own package Id [%d] into the list", static_cast<int>(pkg));
      own.insert(pkg);
    }
    stack.push_back(Frame{pkg, entry.deps.cbegin(), entry.deps.cend()});
    return 1;
  };

  int r = visit(static_cast<unsigned>(id));
  if (r <= 0) return r;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      depMap[top.id].state = 2;
      stack.pop_back();
      continue;
    }
    unsigned dep = *top.next++;
    if (visit(dep) < 0) return -1;
  }
  return 0;
}
