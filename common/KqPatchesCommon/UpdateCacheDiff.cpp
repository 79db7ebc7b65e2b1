// Work on whole inventories: what a client cache lacks of the Hubnode's, deleting what an
// inventory lists, recording the feature releases of the newer layout, and manifest files.
//
// Deletion only ever removes folders below "<cache root>/KQUpdates", walked from the cache root
// through kq::RemoveUnder: the folders between the root and what is removed must be real
// folders (a link there refuses the deletion, as a deletion on request does), while the root
// itself may be reached through links. Every update name must be a single valid update name.
// A folder counts as empty when it holds no entry but empty folders (an empty file keeps it).
#include <string>
#include <unordered_set>
#include <vector>

#include "KQUpdateCache.h"
#include "PortableFiles/SafePath.h"
#include "SmallTextFile.h"
#include "UpdateUtils.h"

namespace {

const char kDiffTag[] = "[GetCacheDiff]";
const char kDeleteTag[] = "KQUpdateCache::DeleteCache";
const char kIntegrityTag[] = "[CheckServicePackIntegrity]";

// Appends to out the names of source that client lacks, in source order. When something is
// missing, client's last name is among source's and unneeded copies are not wanted, that last
// name is appended as well (the client gets it again, so that it ends in the same place).
// Returns the name so appended, or null.
const std::string* DiffNames(const std::list<std::string>& source,
                             const std::list<std::string>& client, bool copyUnneeded,
                             std::list<std::string>& out) {
  const std::unordered_set<std::string> held(client.begin(), client.end());
  const std::string* last = client.empty() ? nullptr : &client.back();
  bool lastNoted = false;
  for (const std::string& name : source) {
    if (last != nullptr && name == *last) lastNoted = true;
    if (held.count(name) == 0) out.push_back(name);
  }
  if (out.empty() || !lastNoted || copyUnneeded) return nullptr;
  out.push_back(*last);
  return last;
}

// True for a name that names one update folder and nothing else.
bool IsOneUpdateName(const std::string& name) {
  return kq::IsSafeRelativeName(name) && name.find_first_of("/\\") == std::string::npos &&
         isUpdateFileStrValid(name.c_str(), UPDATETYPE_UPDATE, UPDATE_FILE_LOC_LOCAL);
}

}  // namespace

bool KQUpdateCache::GetCacheDiff(UpdatesAtCache* source, UpdatesAtCache* client,
                                 UpdatesAtCache* result, bool copyUnneeded, UpdatesAtCache& need) {
  if (source == nullptr || client == nullptr || result == nullptr) return true;
  InitCacheInfo(result);
  for (int r = 0; r < KQ_INVENTORY_RELEASES; ++r) {
    const UpdatesForRelease& src = source->releases[r];
    if (src.relId == 0 || src.relId >= 15) continue;
    UpdatesForRelease& res = result->releases[r];
    const int osCount = GetNumOSForRelease(src.relId);
    for (int o = 0; o < osCount; ++o) {
      const UpdatesForOS& s = src.osUpdates[o];
      if (s.osId == 0 || s.osId == 5) continue;
      const bool hasUpdates = !s.spUpdates.empty() || !s.additionalUpdates.empty();
      UpdatesForOS& out = res.osUpdates[o];
      if (!FindOsInList(s.osId, need.releases[r].needOsForVersion)) {
        if (copyUnneeded && hasUpdates) {
          res.relId = src.relId;
          out.osId = s.osId;
          out.spVersion = s.spVersion;
          out.spUpdates = s.spUpdates;
          out.additionalUpdates = s.additionalUpdates;
        }
        continue;
      }
      if (!hasUpdates) continue;

      UpdatesForOS empty;
      empty.spVersion = _SPVersion(0);
      const UpdatesForOS* c = &empty;
      for (const UpdatesForRelease& entry : client->releases)
        if (entry.relId == src.relId) c = &entry.osUpdates[o];

      if (s.spVersion != c->spVersion) {
        out.spVersion = s.spVersion;
        out.spUpdates = s.spUpdates;
      } else {
        if (const std::string* again = DiffNames(s.spUpdates, c->spUpdates, copyUnneeded, out.spUpdates))
          m_event.DebugJob(1, kDiffTag, m_jobId, "Add update [%s] to the SP cache diff list",
                           again->c_str());
        m_event.DebugJob(1, kDiffTag, m_jobId,
                         " HN cache and Client cache has same number SP but contents are "
                         "different : [%s]  size: [%zu]  osid: [%d]",
                         s.spVersion.ToStr(false).c_str(), out.spUpdates.size(), s.osId);
        out.spVersion = s.spVersion;
      }
      if (const std::string* again =
              DiffNames(s.additionalUpdates, c->additionalUpdates, copyUnneeded, out.additionalUpdates))
        m_event.DebugJob(1, kDiffTag, m_jobId,
                         "Add update [%s] to the additional updates cache diff list",
                         again->c_str());
      if (!out.spUpdates.empty() || !out.additionalUpdates.empty()) {
        res.relId = src.relId;
        out.osId = s.osId;
      }
    }
  }
  return true;
}

bool KQUpdateCache::DeleteCache(CacheProp prop, UpdatesAtCache* toDelete) {
  std::string root = prop.cacheRoot;
  UnixPath(root);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.empty() || root[0] != '/' || root == "/") {
    m_event.DebugJob(1, kDeleteTag, m_jobId,
                     "Cache root [%s] is not an absolute folder below \"/\"; nothing deleted",
                     prop.cacheRoot.c_str());
    return false;
  }
  if (toDelete == nullptr) return true;
  std::string error;
  // Every cache path below is root + "/" + its part below the root.
  const auto below = [&root](const std::string& path) { return path.substr(root.size() + 1); };
  const auto removeIfEmpty = [&](const std::string& folder) {
    bool removed = false;
    if (!kq::RemoveFolderIfEmptyUnder(root, below(folder), &removed, &error)) {
      m_event.DebugJob(1, kDeleteTag, m_jobId, "Failed to remove %s", folder.c_str());
      m_event.DebugJob(1, kDeleteTag, m_jobId, "%s", error.c_str());
    } else if (removed) {
      m_event.DebugJob(1, kDeleteTag, m_jobId, "Successfully removed %s", folder.c_str());
    }
  };

  for (const UpdatesForRelease& entry : toDelete->releases) {
    if (entry.relId == 0) continue;
    const std::string relName = GetRelNameFromId(entry.relId);
    if (relName.empty()) {
      m_event.DebugJob(1, kDeleteTag, m_jobId, "Release [%d] has no name; skipped", entry.relId);
      continue;
    }
    const std::string relFolder = root + "/KQUpdates/" + relName;
    const int osCount = GetNumOSForRelease(entry.relId);
    for (int o = 0; o < osCount; ++o) {
      const UpdatesForOS& slot = entry.osUpdates[o];
      std::string osFolder;
      if (slot.osId == 0 || slot.osId == 5 || !FindPathForMainOS(entry.relId, slot.osId, osFolder)) {
        if (!slot.spUpdates.empty() || !slot.additionalUpdates.empty())
          m_event.DebugJob(1, kDeleteTag, m_jobId,
                           "OS [%d] of release [%d] has no update folder; skipped", slot.osId,
                           entry.relId);
        continue;
      }
      osFolder = root + osFolder;
      if (!slot.spUpdates.empty()) {
        std::string spFolder = root;
        const bool built = FindPathForOS(entry.relId, slot.osId, 0, spFolder);
        if (!built || !kq::RemoveUnder(root, below(spFolder), &error)) {
          m_event.DebugJob(1, kDeleteTag, m_jobId, "Failed to remove Feature Release <%s>",
                           spFolder.c_str());
          if (!built) error = "No feature release folder for release [" +
                              std::to_string(entry.relId) + "] OS [" +
                              std::to_string(slot.osId) + "]";
          m_event.DebugJob(1, kDeleteTag, m_jobId, "%s", error.c_str());
          return false;
        }
        m_event.DebugJob(1, kDeleteTag, m_jobId, "Successfully removed Feature Release <%s>",
                         spFolder.c_str());
      }
      if (!slot.additionalUpdates.empty()) {
        std::string updates = root;
        const bool built = FindPathForOS(entry.relId, slot.osId, 1, updates);
        for (std::string name : slot.additionalUpdates) {
          UnixPath(name);
          const std::string path = updates + "/" + name;
          if (!built) {
            error = "No update folder for release [" + std::to_string(entry.relId) + "] OS [" +
                    std::to_string(slot.osId) + "]";
          } else if (!IsOneUpdateName(name)) {
            error = "[" + name + "] is not an update name";
          } else if (kq::RemoveUnder(root, below(path), &error)) {
            m_event.DebugJob(1, kDeleteTag, m_jobId,
                             "Successfully removed Update from cache <%s>", path.c_str());
            continue;
          }
          m_event.DebugJob(1, kDeleteTag, m_jobId, "Failed to remove Update from cache <%s>",
                           path.c_str());
          m_event.DebugJob(1, kDeleteTag, m_jobId, "%s", error.c_str());
          return false;
        }
        removeIfEmpty(updates);
      }
      // The OS folder goes when nothing but empty folders ("ServicePacks", "Updates") is left.
      removeIfEmpty(osFolder);
    }
    removeIfEmpty(relFolder);
  }
  return true;
}

bool KQUpdateCache::CheckServicePackIntegrity(const char* cacheRoot, UpdatesAtCache& inv) {
  std::string base = std::string(cacheRoot != nullptr ? cacheRoot : "") + "/KQUpdates";
  UnixPath(base);
  bool found = false;
  for (int r = 0; r < KQ_INVENTORY_RELEASES; ++r) {
    const int relId = GetRelIdFromIndex(r);
    if (relId <= 14) continue;
    const std::string relFolder = base + "/" + GetNameFromIndex(r);
    if (!IsADirectory(relFolder.c_str())) continue;
    UpdatesForRelease& entry = inv.releases[r];
    for (int k = 1; k <= 5; ++k) {
      if (k <= 4 && !FindOsInList(k, entry.needOsForVersion)) {
        m_event.DebugJob(10, kIntegrityTag, m_jobId, "RelId %d, OSId %d is not in the need os list",
                         relId, k);
        continue;
      }
      entry.osUpdates[k].osId = k;
      const char* osName = GetOSNameFromId(k);
      const std::string osFolder = relFolder + "/" + (osName != nullptr ? osName : "");
      if (osName == nullptr || !IsADirectory(osFolder.c_str())) continue;
      _SPVersion sp;
      if (!GetHighestSP(sp, (osFolder + "/ServicePacks").c_str())) sp.SetMajor(0);
      if (sp.GetMajor() <= 0) {
        m_event.DebugJob(10, kIntegrityTag, m_jobId,
                         "There is no Feature Release for RelId %d, OSId %d.", relId, k);
        continue;
      }
      found = true;
      if (k <= 4) {
        entry.osUpdates[k].spVersion = sp;
        entry.osUpdates[k].valid = true;
        continue;
      }
      // The Unix folder is shared by every Unix OS.
      for (int m = 6; m < KQ_INVENTORY_OS_SLOTS; ++m) {
        if (!FindOsInList(m, entry.needOsForVersion)) {
          m_event.DebugJob(10, kIntegrityTag, m_jobId,
                           "RelId %d, OSId %d is not in the need os list", relId, m);
          continue;
        }
        entry.osUpdates[m].spVersion = sp;
        entry.osUpdates[m].valid = true;
      }
    }
  }
  if (found) {
    m_event.DebugJob(1, kIntegrityTag, m_jobId, "No missing updates found in SP");
    m_event.DebugJob(1, kIntegrityTag, m_jobId, "SP integrity check successful");
  } else {
    m_event.DebugJob(1, kIntegrityTag, m_jobId, "No feature releases to check");
    m_event.DebugJob(1, kIntegrityTag, m_jobId, "No feature releases found for integrity check");
  }
  return true;
}

void KQUpdateCache::GrabManifest(const char* folder, const char* fileName,
                                 std::map<std::string, int>& names) {
  const std::string file = fileName != nullptr ? fileName : "";
  const std::string path = std::string(folder != nullptr ? folder : "") + "/" + file;
  std::string content;
  int error = 0;
  if (kqtext::ReadSmallTextFile(path, content, &error) != kqtext::ReadStatus::kOk) {
    m_event.DebugJob(1, "[GrabManifest]", m_jobId, "Could not open file [%s] with errno [%d]",
                     path.c_str(), error);
    return;
  }
  std::vector<std::string> lines = kqtext::SplitLines(content);
  // A feature release's own manifest begins with two lines of its own.
  const size_t skip = file.find("servicepack.ini") != std::string::npos ? 2 : 0;
  for (size_t i = skip; i < lines.size(); ++i) {
    std::string& line = lines[i];
    const size_t cr = line.find('\r');
    if (cr != std::string::npos) line.resize(cr);
    names[line] = 0;
  }
}

std::string KQUpdateCache::GetOSPrefix(const std::string& name) {
  return name.substr(0, name.find('_'));
}
