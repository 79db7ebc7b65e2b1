// CacheDeletionGuard: the checks every deletion a request asks of a cache passes before anything
// is removed, over the shared path rules of PortableFiles/SafePath.h.
//
// Folders and names in a cache-operation request come from another machine; none of them may
// lead a deletion outside the cache. The guard decides whether a folder
// may be deleted under (a cache root, an additional-sync folder), whether a name may be deleted
// below such a folder, and whether an obsolete media folder lies where media folders live. The
// removal itself goes through kq::RemoveUnder(), which never follows a link; a folder below a
// held cache root is opened with kq::OpenFolderUnder(). The guard keeps no
// state; every function is thread-safe. A refusal leaves a reason in `why`.
#ifndef KQ_COMMON_KQPATCHESCOMMON_CACHEDELETIONGUARD_H_
#define KQ_COMMON_KQPATCHESCOMMON_CACHEDELETIONGUARD_H_

#pragma GCC visibility push(default)

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

class CacheDeletionGuard {
 public:
  // A folder deletions may happen under: absolute, not "/" (nor only slashes), no empty-name
  // trick such as "." or ".." among its components ('\' counts as a separator too).
  static bool CheckDeletionFolder(const std::string& folder, std::string& why);

  // A cache root from a request: CheckDeletionFolder(), and when the configured cache home
  // ("SoftwareCache"/"dHOME") is set, the root is that folder or lies below it. Real locations
  // are compared: the root's path is followed from "/" (links included) until it reaches the
  // home folder (device and inode), and every level after that must be a real folder, not a
  // link, so a link below the home can never lead deletions outside it. A missing level ends
  // the check (nothing below it exists). While the home folder does not exist, the texts are
  // compared (trailing '/' ignored). While the configuration store is refused every root is
  // refused: the home it may name is unknown.
  static bool CheckCacheRoot(const std::string& root, std::string& why);
  // CheckCacheRoot(), keeping the root that very check reached open: the descriptor (O_PATH,
  // close-on-exec; the caller closes it) of the folder found at the end of the walk, so that
  // removals made relative to it stay below the home whatever becomes of the path's levels
  // afterwards. -1 on a refusal (with `why`), and -1 with `why` empty and errno ENOENT when the
  // root does not exist (nothing below it to delete).
  static int OpenCacheRoot(const std::string& root, std::string& why);

  // A name to delete below a folder: after '\' became '/', not empty, relative, and no "." or
  // ".." component (kq::IsSafeRelativeName()).
  static bool CheckDeletionName(const std::string& name, std::string& why);

  // An obsolete media folder: the same text checks as a folder, and strictly below
  // root + "/KQMedia/", exactly two levels deep ("<release>/<feature release>"). On success `rel`
  // holds the part below "KQMedia" ("<release>/<feature release>").
  static bool CheckMediaFolder(const std::string& root, const std::string& path, std::string& rel,
                               std::string& why);

  // Removes folder + "/" + name (file, link or tree; a link goes, never its target) after
  // CheckDeletionFolder() and CheckDeletionName(). A missing entry counts as removed. False with
  // `why` on a refusal (errno EINVAL) or on a failed removal (errno from the removal).
  static bool RemoveNameUnder(const std::string& folder, const std::string& name,
                              std::string& why);

  // A folder deletions happen in, below the folder `root` they belong to: `folder` is `root` or
  // lies below it by text, and no existing folder from `root` down to `folder` (`root` itself
  // excepted) is a symbolic link or anything but a folder. A missing level ends the check
  // (nothing below it exists). A link there would lead deletions and pruning outside.
  static bool CheckFolderBelow(const std::string& root, const std::string& folder,
                               std::string& why);
  // RemoveNameUnder() for the folder open at `folderFd` (shown as `folder`): the name is walked
  // from that descriptor, never from the folder's path.
  static bool RemoveNameUnderAt(int folderFd, const std::string& folder, const std::string& name,
                                std::string& why);

  // Removes the empty sub-folders below `folder`, deepest first, in one walk that never enters a
  // link nor a sub-folder whose name begins with '.'. A sub-folder holding any entry (even an
  // empty file) stays, and so does any folder named "KQMedia" (a cache's media root; it is
  // walked). `folder` itself is never removed; a `folder` that is a link is not walked. Every
  // sub-folder is opened from its parent without following links and removed relative to it, so
  // a folder swapped for a link during the walk is not entered; folders deeper than 256 levels
  // stay. True when the folder is missing, not a folder or every removal that was tried
  // succeeded (a folder that filled up meanwhile is kept); false with `why` when a folder cannot
  // be read or an empty one cannot be removed.
  // `removed` (when not null) receives the path of every folder removed, in order.
  static bool RemoveEmptySubFolders(const std::string& folder, std::string& why,
                                    std::vector<std::string>* removed = nullptr);
  // Folders (device and inode) that a pruning keeps as if each held a file.
  using KeptFolders = std::set<std::pair<dev_t, ino_t>>;
  // The same for the folder open at `folderFd` (shown as `folder`); a negative `folderFd` (a
  // folder that does not exist) gives true. The folders of `kept` (when not null) stay, and so
  // do the folders above them. With `only` (when not null) no other sub-folder is entered nor
  // opened: each stays as if it held a file (for a folder pruned before, where only the folders
  // above what was removed since can have emptied).
  static bool RemoveEmptySubFoldersAt(int folderFd, const std::string& folder, std::string& why,
                                      std::vector<std::string>* removed,
                                      const KeptFolders* kept = nullptr,
                                      const KeptFolders* only = nullptr);
  // True when `name` below the folder open at `folderFd` is a real folder that a pruning of that
  // folder would remove whole: it holds nothing but such folders (no file, link or hidden
  // entry), and neither it nor any of them is named "KQMedia". Nothing is removed.
  static bool IsEmptyFolderTree(int folderFd, const std::string& name);

 private:
  // CheckCacheRoot(); with `held` not null the root reached is left open there (-1 when missing).
  static bool CheckCacheRoot(const std::string& root, std::string& why, int* held);
};

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_CACHEDELETIONGUARD_H_
