// Comparison of the Hubnode's expected file lists with a remote cache's actual ones: what to
// send, what to delete, which release/OS pairs to drop, and the trimming of those results.
//
// Lists are read in place: each comparison looks names up in hash tables built over views of
// the messages' own texts, so its cost grows with the number of entries, not with their log.
// Outputs keep the input order (the Hubnode list's for files to send, the remote list's for
// files to delete).
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "CacheFileListsInternal.h"
#include "KQUpdateCache.h"
#include "PackageCache.h"
#include "PortableFiles/SafePath.h"
#include "SyncRegistries.h"
#include "UpdateUtils.h"

using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

bool isSPFileLessThan(const File& a, const File& b) {
  return a.getstringByRef(File::kName) < b.getstringByRef(File::kName);
}

namespace {

typedef std::vector<CNMessageBase> MessageList;

// The entries of one list as (name with '\' turned to '/', checksum) views into the entries.
class ListView {
 public:
  template <typename Entry>
  ListView(const std::vector<Entry>& list, const KqFieldId& name, const KqFieldId& checksum) {
    names_.reserve(list.size());
    sums_.reserve(list.size());
    for (const Entry& e : list) {
      const std::string& n = e.getstringByRef(name);
      if (n.find('\\') == std::string::npos) {
        names_.emplace_back(n);
      } else {
        owned_.push_back(n);
        UnixPath(owned_.back());
        names_.emplace_back(owned_.back());
      }
      sums_.emplace_back(e.getstringByRef(checksum));
    }
  }
  size_t size() const { return names_.size(); }
  std::string_view name(size_t i) const { return names_[i]; }
  std::string_view sum(size_t i) const { return sums_[i]; }
  // True when entry i's name had to be turned to '/'.
  bool renamed(size_t i, const std::string& original) const { return names_[i] != original; }

 private:
  std::vector<std::string_view> names_;
  std::vector<std::string_view> sums_;
  std::deque<std::string> owned_;  // stable addresses for the renamed names
};

bool SameChecksum(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// An open-addressing index from keys to small numbers, for the large lists compared here: the
// caller gives each key's hash and tells whether a stored number stands for the same key.
class FlatIndex {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  explicit FlatIndex(size_t expected) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    slots_.assign(cap, Slot());
    mask_ = cap - 1;
  }
  // The number stored for the key, or npos.
  template <typename Same>
  size_t Find(uint64_t hash, Same same) const {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.value == 0) return npos;
      if (s.hash == static_cast<uint32_t>(hash >> 32) && same(s.value - 1)) return s.value - 1;
    }
  }
  // Stores value for the key unless it has a number already; returns the key's number.
  template <typename Same>
  size_t Insert(uint64_t hash, size_t value, Same same) {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.value == 0) {
        s.hash = static_cast<uint32_t>(hash >> 32);
        s.value = static_cast<uint32_t>(value + 1);
        return value;
      }
      if (s.hash == static_cast<uint32_t>(hash >> 32) && same(s.value - 1)) return s.value - 1;
    }
  }

 private:
  struct Slot {
    uint32_t hash = 0;
    uint32_t value = 0;  // number + 1; 0 for a free slot
  };
  std::vector<Slot> slots_;
  size_t mask_ = 0;
};

uint64_t HashText(std::string_view text) {
  uint64_t h = std::hash<std::string_view>()(text);
  return h * 0x9E3779B97F4A7C15ULL;  // spread the low bits into the high ones too
}

// Indexes of the local entries to send and of the remote entries to delete. A local entry with
// the checksum "0" is never sent and does not keep its remote namesake; the last remote entry of
// a name gives the remote checksum.
void Diff(const ListView& local, const ListView& remote, std::vector<size_t>& send,
          std::vector<size_t>& del) {
  // One record per distinct local name.
  struct Name {
    size_t first;                          // its first local entry
    bool listed;                           // some local entry of the name is not "0"
    size_t lastRemote;                     // its last remote entry, or npos
  };
  std::vector<Name> names;
  names.reserve(local.size());
  std::vector<uint32_t> nameOf(local.size());
  FlatIndex index(local.size());
  for (size_t i = 0; i < local.size(); ++i) {
    const std::string_view name = local.name(i);
    size_t n = index.Insert(HashText(name), names.size(),
                            [&](size_t k) { return local.name(names[k].first) == name; });
    if (n == names.size()) names.push_back(Name{i, false, FlatIndex::npos});
    nameOf[i] = static_cast<uint32_t>(n);
    if (local.sum(i) != "0") names[n].listed = true;
  }
  for (size_t j = 0; j < remote.size(); ++j) {
    const std::string_view name = remote.name(j);
    size_t n = index.Find(HashText(name), [&](size_t k) { return local.name(names[k].first) == name; });
    if (n == FlatIndex::npos || !names[n].listed) del.push_back(j);
    if (n != FlatIndex::npos) names[n].lastRemote = j;
  }
  for (size_t i = 0; i < local.size(); ++i) {
    if (local.sum(i) == "0") continue;
    const size_t r = names[nameOf[i]].lastRemote;
    if (r == FlatIndex::npos || !SameChecksum(remote.sum(r), local.sum(i))) send.push_back(i);
  }
}

// A media file's path below the cache, WinPath(prefix + "/" + name), compared and hashed without
// being built.
struct CachePathKey {
  std::string_view prefix;
  std::string_view name;

  size_t size() const { return prefix.size() + 1 + name.size(); }
  char at(size_t i) const {
    char c = i < prefix.size() ? prefix[i] : i == prefix.size() ? '\\' : name[i - prefix.size() - 1];
    return c == '/' ? '\\' : c;
  }
  uint64_t Hash() const {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0, n = size(); i < n; ++i) h = (h ^ static_cast<unsigned char>(at(i))) * 0x100000001b3ULL;
    return h * 0x9E3779B97F4A7C15ULL;
  }
  bool operator==(const CachePathKey& o) const {
    const size_t n = size();
    if (n != o.size()) return false;
    for (size_t i = 0; i < n; ++i)
      if (at(i) != o.at(i)) return false;
    return true;
  }
};

// Copies the chosen File entries, their names in '/' form.
void AppendFiles(const MessageList& list, const ListView& view, const std::vector<size_t>& which,
                 MessageList& out) {
  out.reserve(out.size() + which.size());
  for (size_t i : which) {
    out.push_back(list[i]);
    if (view.renamed(i, list[i].getstringByRef(File::kName)))
      out.back().setstring(File::kName, std::string(view.name(i)));
  }
}

const MessageList& ListOf(const CNMessageBase& m, const KqFieldId& field) {
  return *m.getlistobject(field);
}

int OsIdOf(const CNMessageBase& os) { return static_cast<int>(os.getint64(FilesForOS::kOSId)); }
int RelIdOf(const CNMessageBase& rel) {
  return static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
}

// "Windows" or "Unix" below the release's feature-release folder, if it names one.
std::string MediaPrefix(const std::string& folder, int osId) {
  const char* platform = IsUnix(osId) ? "Unix" : "Windows";
  return folder.empty() ? std::string(platform) : folder + "/" + platform;
}

std::string FolderNameOf(const CNMessageBase& rel) {
  return rel.isSet(FilesForRel::kSPFolderName) ? rel.getstring(FilesForRel::kSPFolderName)
                                                : std::string();
}

std::string CachePathOf(const std::string& prefix, const std::string& name) {
  std::string path = prefix + "/" + name;
  WinPath(path);
  return path;
}

const char* kStars46 = "**********************************************";

}  // namespace

void KQUpdateCache::ConvertFileVec(std::vector<File>& files) {
  for (File& f : files) {
    const std::string& name = f.getstringByRef(File::kName);
    if (name.find('\\') == std::string::npos) continue;
    std::string withSlashes = name;
    UnixPath(withSlashes);
    f.setstring(File::kName, withSlashes);
  }
}

void KQUpdateCache::ConvertBinaryV11ListToFileList(std::vector<BinaryV11>& media,
                                                   std::vector<File>& out) {
  out.reserve(out.size() + media.size());
  for (const BinaryV11& b : media)
    out.push_back(kqlists::MakeFile(b.getstringByRef(BinaryV11::kRelativePath),
                                  b.getstringByRef(BinaryV11::kChecksum)));
}

bool KQUpdateCache::CompareFileCksums(std::vector<File>& local, std::vector<File>& remote,
                                      std::vector<File>& toSend, std::vector<File>& toDelete) {
  ConvertFileVec(local);
  ConvertFileVec(remote);
  ListView l(local, File::kName, File::kChecksum);
  ListView r(remote, File::kName, File::kChecksum);
  std::vector<size_t> send, del;
  Diff(l, r, send, del);
  for (size_t i : del) toDelete.push_back(remote[i]);
  for (size_t i : send) toSend.push_back(local[i]);
  return true;
}

static void CompareFileLists(const CNMessageBase& local, const CNMessageBase& remote,
                             const KqFieldId& field, FilesForOS& send, FilesForOS& del,
                             bool& anySend, bool& anyDelete) {
  const MessageList& l = ListOf(local, field);
  const MessageList& r = ListOf(remote, field);
  ListView lv(l, File::kName, File::kChecksum);
  ListView rv(r, File::kName, File::kChecksum);
  std::vector<size_t> s, d;
  Diff(lv, rv, s, d);
  AppendFiles(l, lv, s, *send.getlistobject(field));
  AppendFiles(r, rv, d, *del.getlistobject(field));
  anySend = anySend || !s.empty();
  anyDelete = anyDelete || !d.empty();
}

// FilesForOS {os, lists 4, 5, 6 and 7 of the entry}, without the files whose checksum is "0":
// those are never sent, also not to a remote cache that lacks the whole operating system (the
// next comparison would delete them there again).
static FilesForOS WholeOs(const CNMessageBase& os) {
  FilesForOS out;
  out.setint64(FilesForOS::kOSId, os.getint64(FilesForOS::kOSId));
  for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles,
                             &FilesForOS::kInstallerFiles, &FilesForOS::kMediaFiles}) {
    const KqFieldId& sum = f == &FilesForOS::kMediaFiles ? BinaryV11::kChecksum : File::kChecksum;
    std::vector<CNMessageBase> kept;
    const std::vector<CNMessageBase>& all = ListOf(os, *f);
    kept.reserve(all.size());
    for (const CNMessageBase& e : all)
      if (e.getstringByRef(sum) != "0") kept.push_back(e);
    out.setlistobject(*f, kept);
  }
  return out;
}

bool KQUpdateCache::CompareCacheFiles(std::vector<FilesForRel>& local,
                                      std::vector<FilesForRel>& remote,
                                      std::vector<FilesForRel>& toSend,
                                      std::vector<FilesForRel>& toDelete, bool noRetain,
                                      std::vector<FilesForRel>& pairsToDrop) {
  static const char kTag[] = "[CompareCacheFiles]";
  const std::vector<FilesForRel>& H = local;
  const std::vector<FilesForRel>& R = remote;
  if (m_event.GetDebugLevel() > 9) {
    m_event.DebugJob(10, kTag, m_jobId, "Local cache:");
    PrintFilesForRelVec(&local);
    m_event.DebugJob(10, kTag, m_jobId, "Remote client update cache details:");
    PrintFilesForRelVec(&remote);
  }

  for (const FilesForRel& L : H) {
    const int rel = RelIdOf(L);
    m_event.DebugJob(1, kTag, m_jobId, "Comparing for local release ID [%d]", rel);
    std::vector<CNMessageBase> sendOs, deleteOs;
    const CNMessageBase* localSP = nullptr;
    std::string localName;
    if (rel > 15 && L.isSet(FilesForRel::kSPFolderName)) {
      localSP = L.getObjectAccessor(FilesForRel::kSPVersion);
      localName = L.getstring(FilesForRel::kSPFolderName);
      m_event.DebugJob(1, kTag, m_jobId, "Found remote release ID [%d] with SP name [%s]", rel,
                       localName.c_str());
    }
    const long long localMajor =
        localSP != nullptr ? localSP->getint64(UpdatePatches::SPVersion::kMajor) : 0;

    for (const CNMessageBase& O : ListOf(L, FilesForRel::kOSList)) {
      const int os = OsIdOf(O);
      m_event.DebugJob(1, kTag, m_jobId, "Comparing for local OS ID [%d]", os);
      if (R.empty()) {
        m_event.DebugJob(1, kTag, m_jobId,
                         "Remote file list is empty. Adding all local files of OS ID [%d] in send list",
                         os);
        sendOs.push_back(WholeOs(O));
        continue;
      }
      bool found = false;
      for (const FilesForRel& RR : R) {
        if (RelIdOf(RR) != rel) {
          m_event.DebugJob(10, kTag, m_jobId,
                           "Remote OS Rel [%d] not match local OS Rel [%d], skippping", RelIdOf(RR),
                           rel);
          continue;
        }
        if (rel >= 16 && localMajor != 0 && !localName.empty()) {
          if (!RR.isSet(FilesForRel::kSPFolderName)) {
            m_event.DebugJob(1, kTag, m_jobId,
                             "Local cache release has SP name set but remote cahce release does not have SP name set");
            m_event.DebugJob(1, kTag, m_jobId,
                             "Remote Release does not have SP name set, skip and continue check for SP with exatct SP version and revision match");
            continue;
          }
          const std::string& remoteName = RR.getstringByRef(FilesForRel::kSPFolderName);
          if (remoteName != localName) {
            m_event.DebugJob(1, kTag, m_jobId, "Local SP name [%s] does not match with remote SP name [%s]",
                             localName.c_str(), remoteName.c_str());
            m_event.DebugJob(1, kTag, m_jobId,
                             "Skip and continue check for SP with exatct SP version and revision match");
            continue;
          }
          m_event.DebugJob(1, kTag, m_jobId, "Found remote release ID [%d] with SP name [%s]", rel,
                           remoteName.c_str());
          m_event.DebugJob(1, kTag, m_jobId, "Local SP name [%s] match with remote SP name [%s]",
                           localName.c_str(), remoteName.c_str());
        }
        m_event.DebugJob(1, kTag, m_jobId, "Found remote release ID [%d]", rel);
        for (const CNMessageBase& RO : ListOf(RR, FilesForRel::kOSList)) {
          if (OsIdOf(RO) != os) {
            m_event.DebugJob(10, kTag, m_jobId, "Remote OS ID [%d] not match local OS ID [%d], skippping",
                             OsIdOf(RO), os);
            continue;
          }
          m_event.DebugJob(1, kTag, m_jobId, "Found remote OS ID [%d]", os);
          found = true;
          FilesForOS send, del;
          bool anySend = false, anyDelete = false;
          if (rel < 16) {
            for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles,
                                       &FilesForOS::kInstallerFiles})
              CompareFileLists(O, RO, *f, send, del, anySend, anyDelete);
          } else {
            const MessageList& l = ListOf(O, FilesForOS::kMediaFiles);
            const MessageList& r = ListOf(RO, FilesForOS::kMediaFiles);
            ListView lv(l, BinaryV11::kRelativePath, BinaryV11::kChecksum);
            ListView rv(r, BinaryV11::kRelativePath, BinaryV11::kChecksum);
            std::vector<size_t> s, d;
            Diff(lv, rv, s, d);
            for (auto* pick : {&s, &d}) {
              if (pick->empty()) continue;
              const ListView& v = pick == &s ? lv : rv;
              std::vector<File> files;
              files.reserve(pick->size());
              for (size_t i : *pick)
                files.push_back(kqlists::MakeFile(std::string(v.name(i)), std::string(v.sum(i))));
              std::vector<BinaryV11> media;
              ConvertFileListToBinaryV11List(files, media);
              FilesForOS& target = pick == &s ? send : del;
              MessageList& out = *target.getlistobject(FilesForOS::kMediaFiles);
              out.reserve(media.size());
              for (BinaryV11& b : media) out.push_back(std::move(b));
            }
            anySend = !s.empty();
            anyDelete = !d.empty();
          }
          if (anySend) {
            send.setint64(FilesForOS::kOSId, os);
            sendOs.push_back(std::move(send));
          }
          if (anyDelete) {
            del.setint64(FilesForOS::kOSId, os);
            deleteOs.push_back(std::move(del));
          }
        }
      }
      if (!found) {
        m_event.DebugJob(1, kTag, m_jobId,
                         "Remote file list is empty for release [%d] and OS [%d]. Adding all local files in to-be-sent list",
                         rel, os);
        sendOs.push_back(WholeOs(O));
      }
    }

    for (int pass = 0; pass < 2; ++pass) {
      std::vector<CNMessageBase>& osList = pass == 0 ? sendOs : deleteOs;
      if (osList.empty()) continue;
      FilesForRel out;
      out.setint64(FilesForRel::kReleaseId, rel);
      out.setlistobject(FilesForRel::kOSList, osList);
      if (rel > 15 && !localName.empty()) {
        m_event.DebugJob(1, kTag, m_jobId,
                         pass == 0 ? "Adding sp folder name to send file list [%s] to release ID [%d]."
                                   : "Adding sp folder name to delete file list [%s] to release ID [%d].",
                         localName.c_str(), rel);
        out.setstring(FilesForRel::kSPFolderName, localName);
        if (localSP != nullptr) out.setObjectAccessor(FilesForRel::kSPVersion, *localSP);
      }
      (pass == 0 ? toSend : toDelete).push_back(std::move(out));
    }
  }

  // Release/OS pairs the remote holds and the Hubnode no longer has.
  std::set<std::pair<int, int>> localPairs;
  for (const FilesForRel& L : H)
    for (const CNMessageBase& O : ListOf(L, FilesForRel::kOSList))
      localPairs.emplace(RelIdOf(L), OsIdOf(O));
  for (const FilesForRel& RR : R) {
    const int rel = RelIdOf(RR);
    std::vector<CNMessageBase> unknown;
    for (const CNMessageBase& RO : ListOf(RR, FilesForRel::kOSList)) {
      const int os = OsIdOf(RO);
      m_event.DebugJob(1, kTag, m_jobId,
                       "Checking for the remote Relid [%d], remote OS ID [%d] in the local OS list for the syncup",
                       rel, os);
      if (localPairs.count(std::make_pair(rel, os)) != 0) {
        m_event.DebugJob(1, kTag, m_jobId,
                         "Found remote Relid [%d], remote Os id %d in the local OS list for the syncup.",
                         rel, os);
        continue;
      }
      m_event.DebugJob(1, kTag, m_jobId,
                       "remote Relid [%d], remote Os id %d is not found in the local OS list for the syncup. Adding it in the delete file list",
                       rel, os);
      unknown.push_back(RO);
    }
    if (unknown.empty()) continue;
    FilesForRel drop;
    drop.setint64(FilesForRel::kReleaseId, rel);
    drop.setlistobject(FilesForRel::kOSList, unknown);
    const std::string folder = FolderNameOf(RR);
    if (!folder.empty()) {
      m_event.DebugJob(1, kTag, m_jobId,
                       "Adding sp folder name to delete file list [%s] to release ID [%d].",
                       folder.c_str(), rel);
      drop.setstring(FilesForRel::kSPFolderName, folder);
      if (const CNMessageBase* sp = RR.getObjectAccessor(FilesForRel::kSPVersion))
        drop.setObjectAccessor(FilesForRel::kSPVersion, *sp);
    }
    pairsToDrop.push_back(std::move(drop));
  }

  if (!noRetain && !toDelete.empty() && CountFilesForRelVec(toDelete) != 0)
    RetainFilesNeededForCache(toDelete, local);
  // A dropped pair's media files may lie in a folder that kept operating systems share (the
  // root files of "Unix" or "Windows"): what the Hubnode still lists stays too.
  if (!noRetain && !pairsToDrop.empty() && CountFilesForRelVec(pairsToDrop) != 0)
    RetainFilesNeededForCache(pairsToDrop, local);

  if (m_event.GetDebugLevel() >= 10) {
    m_event.DebugJob(10, kTag, m_jobId, "Files to send to remote cache:");
    PrintFilesForRelVec(&toSend);
    m_event.DebugJob(10, kTag, m_jobId, "Files to delete from remote cache:");
    PrintFilesForRelVec(&toDelete);
  }
  return true;
}

void KQUpdateCache::ToFileNamesRelativeToCachePath(std::vector<FilesForRel>& list,
                                                   std::list<std::string>& out) {
  static const char kTag[] = "[ToFileNamesRelativeToCachePath]";
  const bool verbose = m_event.GetDebugLevel() >= 10;
  for (const FilesForRel& rel : list) {
    const int relId = RelIdOf(rel);
    if (relId < 16) continue;
    m_event.DebugJob(10, kTag, m_jobId, "Release ID : [%d]", relId);
    const std::string folder = FolderNameOf(rel);
    if (!folder.empty())
      m_event.DebugJob(10, kTag, m_jobId, "Feature Release folder name : [%s]", folder.c_str());
    const MessageList& osList = ListOf(rel, FilesForRel::kOSList);
    if (osList.empty()) m_event.DebugJob(10, kTag, m_jobId, "No OS types present for release [%d]", relId);
    for (const CNMessageBase& os : osList) {
      const std::string prefix = MediaPrefix(folder, OsIdOf(os));
      const MessageList& media = ListOf(os, FilesForOS::kMediaFiles);
      if (media.empty()) {
        m_event.DebugJob(10, kTag, m_jobId, "No media files present for OS [%d]", OsIdOf(os));
        continue;
      }
      m_event.DebugJob(10, kTag, m_jobId, "OS ID : [%d]", OsIdOf(os));
      for (const CNMessageBase& file : media) {
        out.push_back(CachePathOf(prefix, file.getstringByRef(BinaryV11::kRelativePath)));
        if (verbose)
          m_event.DebugJob(10, kTag, m_jobId, "File name relative to cache path is : [%s]",
                           out.back().c_str());
      }
    }
  }
}

bool KQUpdateCache::RetainFilesNeededForCache(std::vector<FilesForRel>& toDelete,
                                              std::vector<FilesForRel>& local) {
  static const char kTag[] = "[RetainFilesNeededForCache]";
  const bool verbose = m_event.GetDebugLevel() >= 10;
  m_event.DebugJob(10, kTag, m_jobId, "Checking if any files needed in cache are added for deletion");
  m_event.DebugJob(10, kTag, m_jobId, "Converting the file names to complete path relative to cache");
  if (verbose) {
    std::list<std::string> needed;
    ToFileNamesRelativeToCachePath(local, needed);
    m_event.DebugJob(10, kTag, m_jobId, "List of files that should be present in remote cache");
    m_event.DebugJob(10, kTag, m_jobId, "%s", kStars46);
    for (const std::string& p : needed) m_event.DebugJob(10, kTag, m_jobId, "FILE : [%s]", p.c_str());
    m_event.DebugJob(10, kTag, m_jobId, "%s", kStars46);
  }

  // The media files of the media releases to delete, by cache path: each distinct path is a
  // group, marked when a local media file has the same path.
  struct Candidate {
    const std::string* prefix;
    MessageList* media;
    size_t index;
    uint32_t group;
  };
  std::deque<std::string> prefixes;
  std::vector<Candidate> candidates;
  for (FilesForRel& rel : toDelete) {
    if (RelIdOf(rel) < 16) continue;
    const std::string folder = FolderNameOf(rel);
    if (ListOf(rel, FilesForRel::kOSList).empty()) continue;
    for (CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      if (ListOf(os, FilesForOS::kMediaFiles).empty()) continue;
      prefixes.push_back(MediaPrefix(folder, OsIdOf(os)));
      MessageList* media = os.getlistobject(FilesForOS::kMediaFiles);
      for (size_t i = 0; i < media->size(); ++i) candidates.push_back({&prefixes.back(), media, i, 0});
    }
  }
  auto keyOf = [](const Candidate& c) {
    return CachePathKey{*c.prefix, (*c.media)[c.index].getstringByRef(BinaryV11::kRelativePath)};
  };
  std::vector<uint32_t> groupFirst;  // a candidate of each group
  FlatIndex index(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    const CachePathKey key = keyOf(candidates[i]);
    size_t g = index.Insert(key.Hash(), groupFirst.size(),
                            [&](size_t k) { return keyOf(candidates[groupFirst[k]]) == key; });
    if (g == groupFirst.size()) groupFirst.push_back(static_cast<uint32_t>(i));
    candidates[i].group = static_cast<uint32_t>(g);
  }
  std::vector<char> needed(groupFirst.size(), 0);
  if (!candidates.empty()) {
    for (const FilesForRel& rel : local) {
      if (RelIdOf(rel) < 16) continue;
      const std::string folder = FolderNameOf(rel);
      for (const CNMessageBase& os : ListOf(rel, FilesForRel::kOSList)) {
        const std::string prefix = MediaPrefix(folder, OsIdOf(os));
        for (const CNMessageBase& file : ListOf(os, FilesForOS::kMediaFiles)) {
          const CachePathKey key{prefix, file.getstringByRef(BinaryV11::kRelativePath)};
          size_t g = index.Find(key.Hash(), [&](size_t k) { return keyOf(candidates[groupFirst[k]]) == key; });
          if (g != FlatIndex::npos) needed[g] = 1;
        }
      }
    }
  }

  // Drop the needed ones, release by release and list by list, in order.
  std::vector<std::string> retained;
  size_t next = 0;  // the first candidate of the next media list
  for (FilesForRel& rel : toDelete) {
    const int relId = RelIdOf(rel);
    if (relId < 16) continue;
    m_event.DebugJob(10, kTag, m_jobId, "Processing release id : [%d]", relId);
    const std::string folder = FolderNameOf(rel);
    if (!folder.empty())
      m_event.DebugJob(10, kTag, m_jobId, "Feature Release folder name is : [%s]", folder.c_str());
    if (ListOf(rel, FilesForRel::kOSList).empty()) {
      m_event.DebugJob(10, kTag, m_jobId, "No OS types present for release [%d]", relId);
      continue;
    }
    for (CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      MessageList& media = *os.getlistobject(FilesForOS::kMediaFiles);
      if (media.empty()) {
        m_event.DebugJob(10, kTag, m_jobId, "No media files present for OS [%d]", OsIdOf(os));
        continue;
      }
      m_event.DebugJob(10, kTag, m_jobId, "Processing OS ID: [%d]", OsIdOf(os));
      size_t kept = 0;
      for (; next < candidates.size() && candidates[next].media == &media; ++next) {
        const Candidate& c = candidates[next];
        const size_t i = c.index;
        if (needed[c.group] || verbose) {
          std::string path = CachePathOf(*c.prefix, media[i].getstringByRef(BinaryV11::kRelativePath));
          if (needed[c.group]) {
            m_event.DebugJob(1, kTag, m_jobId,
                             "Need to retain file [%s] in cache as per configuration, removing it from the list of files to be deleted",
                             path.c_str());
            retained.push_back(std::move(path));
            continue;
          }
          m_event.DebugJob(10, kTag, m_jobId, "File [%s] needs to be deleted", path.c_str());
        }
        if (kept != i) media[kept] = std::move(media[i]);
        ++kept;
      }
      media.erase(media.begin() + static_cast<long>(kept), media.end());
    }
  }
  if (!retained.empty()) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "List of files that should be retained and not deleted from cache as per configuration");
    m_event.DebugJob(1, kTag, m_jobId, "%s", kStars46);
    for (const std::string& p : retained) m_event.DebugJob(1, kTag, m_jobId, "FILE : [%s]", p.c_str());
    m_event.DebugJob(1, kTag, m_jobId, "%s", kStars46);
  }
  return true;
}

namespace {

// The texts of one kind of whole-list comparison (appliance or additional-sync files).
struct SyncListTexts {
  const char* tag;
  const char* localDump;
  const char* remoteDump;
  const char* localEmpty;
  const char* remoteEmpty;
  const char* both;
  const char* sendDump;
  const char* deleteDump;
};

}  // namespace

// Compares list 1/1 of two messages of the same kind: an empty local list deletes the whole
// remote one, an empty remote list sends the whole local one.
static void Dump(KQUpdateCache& cache, const ApplianceFilesInfo& files, bool withChecksum) {
  cache.PrintApplianceFileVec(files, withChecksum);
}
static void Dump(KQUpdateCache& cache, const AdditionalSyncFilesList& files, bool withChecksum) {
  cache.PrintFilesForAddSyncVec(files, withChecksum);
}

template <typename Msg>
static void CompareSyncFileLists(KQUpdateCache& cache, const SyncListTexts& t, Msg& local,
                                 Msg& remote, Msg& toSend, Msg& toDelete) {
  EvDebug& log = cache.log();
  const long long job = static_cast<long long>(cache.jobId());
  const bool verbose = log.GetDebugLevel() > 9;
  if (verbose) {
    log.DebugJob(10, t.tag, job, "%s", t.localDump);
    Dump(cache, local, true);
    log.DebugJob(10, t.tag, job, "%s", t.remoteDump);
    Dump(cache, remote, true);
  }
  const MessageList& l = *static_cast<const Msg&>(local).getlistobject(Msg::kFiles);
  const MessageList& r = *static_cast<const Msg&>(remote).getlistobject(Msg::kFiles);
  if (l.empty()) {
    log.DebugJob(2, t.tag, job, "%s", t.localEmpty);
    toDelete = remote;
  } else if (r.empty()) {
    log.DebugJob(2, t.tag, job, "%s", t.remoteEmpty);
    toSend = local;
  } else {
    log.DebugJob(2, t.tag, job, "%s", t.both);
    std::vector<File> h(l.begin(), l.end()), rr(r.begin(), r.end()), s, d;
    cache.CompareFileCksums(h, rr, s, d);
    toSend.setlistobject(Msg::kFiles, MessageList(s.begin(), s.end()));
    toDelete.setlistobject(Msg::kFiles, MessageList(d.begin(), d.end()));
  }
  if (verbose) {
    log.DebugJob(10, t.tag, job, "%s", t.sendDump);
    Dump(cache, toSend, false);
    log.DebugJob(10, t.tag, job, "%s", t.deleteDump);
    Dump(cache, toDelete, false);
  }
}

bool KQUpdateCache::CompareApplianceFiles(ApplianceFilesInfo local, ApplianceFilesInfo remote,
                                          ApplianceFilesInfo& toSend,
                                          ApplianceFilesInfo& toDelete) {
  if (remote.isSet(ApplianceFilesInfo::kFiles)) {
    for (CNMessageBase& f : *remote.getlistobject(ApplianceFilesInfo::kFiles)) {
      std::string name = f.getstring(File::kName);
      WinPath(name);
      size_t slash = name.find('\\');
      if (slash != std::string::npos && name.compare(0, slash, "KQAppliance") == 0) continue;
      f.setstring(File::kName, std::string("KQAppliance") + "\\" + name);
    }
  }
  static const SyncListTexts kTexts = {
      "[CompareApplianceFiles]",
      "HN appliance file list",
      "Remote cache appliance file list",
      "Appliance Sync file list is empty on HN, need to delete all appliance sync files from remote cache.",
      "Appliance Sync file list is empty on remote cache, need to copy all appliance sync files to remote cache.",
      "HN and remote appliance files list is not empty, calculating the difference using file checksum",
      "Appliance files to send list",
      "Appliance sync files to delete list"};
  CompareSyncFileLists(*this, kTexts, local, remote, toSend, toDelete);
  return true;
}

bool KQUpdateCache::CompareAdditionalSyncFiles(AdditionalSyncFilesList local,
                                               AdditionalSyncFilesList remote,
                                               AdditionalSyncFilesList& toSend,
                                               AdditionalSyncFilesList& toDelete) {
  static const SyncListTexts kTexts = {
      "[CompareAdditionalSyncFiles]",
      "HN additonal sync file list",
      "Remote cache additional sync file list",
      "Additional Sync file list is empty on HN, need to delete all additonal sync files from remote cache.",
      "Additional Sync file list is empty on remote cache, need to copy all additonal sync files to remote cache.",
      "HN and remote additional sync files list is not empty, calculating the difference using file checksum",
      "Additional sync files to send list",
      "Additional sync files to delete list"};
  CompareSyncFileLists(*this, kTexts, local, remote, toSend, toDelete);
  return true;
}

unsigned long long KQUpdateCache::CountFilesForRelVec(std::vector<FilesForRel>& list) {
  static const char kTag[] = "[CountFilesForRelVec]";
  static const char kStars[] = "**********************";
  m_event.DebugJob(1, kTag, m_jobId, "%s", kStars);
  if (list.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "Files for release vector is empty");
    m_event.DebugJob(1, kTag, m_jobId, "%s", kStars);
    return 0;
  }
  unsigned long long total = 0;
  for (const FilesForRel& rel : list) {
    const int relId = RelIdOf(rel);
    m_event.DebugJob(10, kTag, m_jobId, "Release ID: [%d]", relId);
    const MessageList& osList = ListOf(rel, FilesForRel::kOSList);
    if (osList.empty()) m_event.DebugJob(1, kTag, m_jobId, "No OS types present for release [%d]", relId);
    const std::string folder = FolderNameOf(rel);
    for (const CNMessageBase& os : osList) {
      const size_t sp = ListOf(os, FilesForOS::kSPFiles).size();
      const size_t loose = ListOf(os, FilesForOS::kLooseUpdateFiles).size();
      const size_t installer = ListOf(os, FilesForOS::kInstallerFiles).size();
      const size_t media = ListOf(os, FilesForOS::kMediaFiles).size();
      const unsigned long count = sp + loose + installer + media;
      total += count;
      if (relId < 16) {
        m_event.DebugJob(1, kTag, m_jobId,
                         "#Files for Rel [%d] OS [%d]: [%lu] (#MediaFiles=%zu #SP=%zu #Loose-update=%zu #Installer=%zu)",
                         relId, OsIdOf(os), count, media, sp, loose, installer);
        continue;
      }
      const auto split = GetPackageAndUpdatesFileCount(os);
      if (!folder.empty())
        m_event.DebugJob(1, kTag, m_jobId,
                         "#Files for Rel [%d] Feature Release [%s] OS [%d]: [%lu] (#MediaFiles=%lu #Loose-update=%lu)",
                         relId, folder.c_str(), OsIdOf(os), count,
                         static_cast<unsigned long>(split.first),
                         static_cast<unsigned long>(split.second));
      else
        m_event.DebugJob(1, kTag, m_jobId,
                         "#Files for Rel [%d] OS [%d]: [%lu] (#MediaFiles=%lu #Loose-update=%lu)",
                         relId, OsIdOf(os), count, static_cast<unsigned long>(split.first),
                         static_cast<unsigned long>(split.second));
    }
  }
  m_event.DebugJob(1, kTag, m_jobId, "%s", kStars);
  return total;
}

static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// folder + "/" + name in '/' form, when the name stays below the folder.
static bool PathBelow(const std::string& folder, const std::string& name, std::string& path) {
  std::string rel = name;
  UnixPath(rel);
  if (!kq::IsSafeRelativeName(rel)) return false;
  path = folder + "/" + rel;
  UnixPath(path);
  return true;
}

void KQUpdateCache::GenerateReducedFilesV10(std::string folder, std::vector<CNMessageBase>* files) {
  static const char kTag[] = "[GenerateReducedFilesV10]";
  if (files == nullptr) {
    m_event.DebugJob(1, kTag, m_jobId, "SP file is empty.");
    return;
  }
  if (!VocabularyReady(kVocabUpdateTypes, kTag)) return;
  _SPVersion highest;
  if (!GetHighestSP(highest, (folder + "/ServicePacks").c_str()) || highest.GetMajor() == 0) return;
  m_event.DebugJob(2, kTag, m_jobId, "Before reducing the SP file size is [%zu]", files->size());
  const std::string spFolder =
      folder + "/" + GetUtypeNameFromId(0) + "/SP" + highest.ToStr(false);
  std::set<File, decltype(&isSPFileLessThan)> kept(&isSPFileLessThan);
  for (const CNMessageBase& f : *files) {
    File file(f);
    std::string path;
    if (PathBelow(spFolder, file.getstringByRef(File::kName), path) && Exists(path)) {
      m_event.DebugJob(10, kTag, m_jobId, "SP file [%s] is present. Keeping it in to-send-list",
                       path.c_str());
      kept.insert(std::move(file));
    } else {
      m_event.DebugJob(10, kTag, m_jobId, "SP file [%s] is not present. Deleting it from to-send-list",
                       path.empty() ? file.getstringByRef(File::kName).c_str() : path.c_str());
    }
  }
  m_event.DebugJob(2, kTag, m_jobId, "Now the new SP file size is [%zu]", kept.size());
  files->assign(kept.begin(), kept.end());
  m_event.DebugJob(2, kTag, m_jobId, "After reducing the SP file size is [%zu]", files->size());
}

void KQUpdateCache::GenerateReducedFiles(std::string folder, std::vector<CNMessageBase>* files) {
  static const char kTag[] = "[GenerateReducedFiles]";
  if (files == nullptr) {
    m_event.DebugJob(1, kTag, m_jobId, "Media file is empty.");
    return;
  }
  m_event.DebugJob(2, kTag, m_jobId, "Before reducing the media file size is [%zu]", files->size());
  const bool verbose = m_event.GetDebugLevel() >= 10;
  std::set<BinaryV11, decltype(&isBinaryV11LessThan)> kept(&isBinaryV11LessThan);
  for (const CNMessageBase& f : *files) {
    BinaryV11 file(f);
    const std::string& name = file.getstringByRef(BinaryV11::kRelativePath);
    std::string path;
    const bool present = PathBelow(folder, name, path) && Exists(path);
    if (verbose)
      m_event.DebugJob(10, kTag, m_jobId,
                       present ? "Media file [%s] [%s] is present. Keeping it in to-send-list"
                               : "Media file [%s] [%s] is not present. Deleting it from to-send-list",
                       (folder + "/").c_str(), name.c_str());
    if (present) kept.insert(std::move(file));
  }
  m_event.DebugJob(2, kTag, m_jobId, "Now the new media file size is [%zu]", kept.size());
  files->assign(kept.begin(), kept.end());
  m_event.DebugJob(2, kTag, m_jobId, "After reducing the media file size is [%zu]", files->size());
}

void KQUpdateCache::RemoveNonExistentFiles(LocalAndRemClientDetails& details,
                                           std::vector<FilesForRel>& toSend) {
  static const char kTag[] = "[RemoveNonExistentFiles]";
  if (toSend.empty()) return;
  if (!VocabularyReady(kVocabReleases | kVocabOSTypes | kVocabUpdateTypes, kTag)) return;
  m_event.DebugJob(2, kTag, m_jobId, "Source cache path is set to [%s]",
                   details.m_sourceCachePath.c_str());
  const bool verbose = m_event.GetDebugLevel() >= 10;
  for (FilesForRel& rel : toSend) {
    const int relId = RelIdOf(rel);
    if (ListOf(rel, FilesForRel::kOSList).empty()) {
      m_event.DebugJob(1, kTag, m_jobId, "No OS files needs to send, continuing.");
      continue;
    }
    m_event.DebugJob(2, kTag, m_jobId, "Release Id [%d]:", relId);
    const std::string folderName = FolderNameOf(rel);
    for (CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      const int osId = OsIdOf(os);
      // An unset list is an empty one; only an OS with nothing in lists 4, 5 and 7 is skipped.
      if (ListOf(os, FilesForOS::kSPFiles).empty() && ListOf(os, FilesForOS::kLooseUpdateFiles).empty() &&
          ListOf(os, FilesForOS::kMediaFiles).empty()) {
        m_event.DebugJob(1, kTag, m_jobId,
                         "All SP files, updates files and media files are empty for OS Id [%d], skipping current OS.",
                         osId);
        continue;
      }
      // The release path, and the folder below the source cache, are made afresh for each OS.
      std::string releasePath = std::string(relId > 15 ? "/KQMedia/" : "/KQUpdates/") +
                                GetRelNameFromId(relId) + "/";
      if (relId <= 15) {
        const char* osName = GetOSNameFromId(osId);
        if (osName == nullptr) {
          m_event.DebugJob(0, kTag, m_jobId, "OS Id [%d] has no name, skipping it.", osId);
          continue;
        }
        releasePath += osName;
      } else {
        if (!folderName.empty()) {
          releasePath += folderName + "/";
          m_event.DebugJob(10, kTag, m_jobId, "SP folder name is set, updated release os path to [%s]",
                           releasePath.c_str());
        }
        releasePath += (osId == 1 || osId == 3) ? "Windows/" : "Unix/";
      }
      std::string folder = details.m_sourceCachePath;
      UnixPath(folder);
      UnixPath(releasePath);
      if (folder.find(releasePath) == std::string::npos) folder += releasePath;
      m_event.DebugJob(2, kTag, m_jobId, "Now generating reduced files list for Rel Id [%d] and OS Id [%d]",
                       relId, osId);
      if (relId == 15 && !ListOf(os, FilesForOS::kSPFiles).empty())
        GenerateReducedFilesV10(folder, os.getlistobject(FilesForOS::kSPFiles));
      else if (relId > 15 && !ListOf(os, FilesForOS::kMediaFiles).empty())
        GenerateReducedFiles(folder, os.getlistobject(FilesForOS::kMediaFiles));

      if (ListOf(os, FilesForOS::kLooseUpdateFiles).empty()) continue;
      const std::string updates = folder + "/" + GetUtypeNameFromId(1);
      MessageList& loose = *os.getlistobject(FilesForOS::kLooseUpdateFiles);
      size_t kept = 0;
      for (size_t i = 0; i < loose.size(); ++i) {
        std::string path;
        if (!PathBelow(updates, loose[i].getstringByRef(File::kName), path) || !Exists(path)) {
          if (verbose)
            m_event.DebugJob(10, kTag, m_jobId, "Loose update file [%s] is not present. Deleting it from to-send-list",
                             (path.empty() ? loose[i].getstringByRef(File::kName) : path).c_str());
          continue;
        }
        if (kept != i) loose[kept] = std::move(loose[i]);
        ++kept;
      }
      loose.erase(loose.begin() + static_cast<long>(kept), loose.end());
    }
  }
}
