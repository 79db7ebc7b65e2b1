// Path safety: the one place that decides whether a name may be joined under a folder, and the
// one way this project removes files and folder trees.
//
// Rules every caller relies on:
//  * A name that comes from a file, an XML message, the database or a request is joined under a
//    folder only through JoinUnder() (or after IsSafeRelativeName() said yes). Such a name never
//    carries an absolute path or a ".." component into a path.
//  * Every delete goes through RemoveTreeNoFollow(), RemoveContentsNoFollow(),
//    RemoveFileNoFollow(), RemoveUnder(), RemoveFileUnder(), their *At() forms or
//    RemoveFolderIfEmptyUnder().
//    None of them ever follows a symbolic link: a link is removed as a link and whatever it
//    points to survives, wherever it is.
//
// All functions are thread-safe and keep no state. When a removal returns false, errno holds the
// error number of its first failure (EINVAL for a refused name, ELOOP for a link in the way).
#ifndef KQ_PLATFORM_PORTABLEFILES_SAFEPATH_H_
#define KQ_PLATFORM_PORTABLEFILES_SAFEPATH_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

namespace kq {

// True when `name` is a relative name that stays under the folder it is joined to:
//  - not empty, and no control character (NUL, line breaks, tabs, 0x01-0x1f, 0x7f);
//  - not absolute: does not start with "/" or "\", nor with a drive letter and ":" ("C:\x");
//  - no "." or ".." component, with both "/" and "\" counted as separators (so "a\..\b" and
//    "a/./b" are refused too; after a link, "link/." would name the link's target);
//  - names something below the folder: at least one non-empty component.
// Examples: "a.txt", "SP1_2_R3/Config", "a//b" are safe; "", "/etc", "..", "a/../b", "\\srv",
// ".", "./x", "C:\\x", "a\nb" are not. The test is on the text only; see RemoveUnder() for
// links inside the path.
bool IsSafeRelativeName(const std::string& name);

// The non-empty components of a "/"-separated name, in order: "a//b/" gives "a" and "b"; "."
// and ".." are kept as they are (IsSafeRelativeName() judges them).
std::vector<std::string> NameComponents(const std::string& name);

// out = base + "/" + rel (no doubled "/" when base ends with one) when rel passes
// IsSafeRelativeName(); otherwise returns false and leaves `out` untouched. An empty base is
// refused as well (the result would be an absolute or a current-folder path by accident).
bool JoinUnder(const std::string& base, const std::string& rel, std::string& out);

// True when the folder `inner` (or, when it does not exist yet, where it would be made) is the
// folder `outer` or lies anywhere below it. Real locations are compared (device and inode of
// each real parent of `inner`), not path texts: "/x//a", "./a", ".." and links cannot hide
// that one path lies inside the other. False when `outer` does not exist.
bool IsSameOrInside(const std::string& outer, const std::string& inner);

// Removes `path` and, when it is a real folder, everything below it. Never follows a symbolic
// link: entries are examined with lstat semantics and folders are opened with O_NOFOLLOW, so a
// link (to a file or a folder, dangling or not) is unlinked as a link and its target survives.
// An entry that disappears while the tree is being removed (another process deleted it) is
// skipped, not an error; a `path` that does not exist at all counts as removed (true).
// Every other failure makes the result false; the removal goes on with the remaining entries so
// that as much as possible is gone, and `err` (when not null) receives the first failure as
// "Failed to remove [<path>], errno [<n>]", "Error while executing stat on [<path>], errno [<n>]"
// (an entry that cannot be examined) or "Error reading the directory [<path>], errno [<n>]"
// (a folder whose listing broke off). Entries are visited in bytewise name order.
// Trailing "/" are ignored ("link/" removes the link, not what it points to); an empty path,
// the file-system root "/", and a path with a "." or ".." component after its first one
// ("link/." is the link's target) are refused. However deep the tree, the removal keeps a
// bounded number of descriptors open and does not recurse per level.
bool RemoveTreeNoFollow(const std::string& path, std::string* err);

// Like RemoveTreeNoFollow(), but `path` itself stays: only what is inside the folder goes.
// A `path` that is a link or not a folder is refused (false, ENOTDIR).
bool RemoveContentsNoFollow(const std::string& path, std::string* err);

// Removes one non-folder entry (file, link, fifo, ...); a link is unlinked, its target survives.
// A missing path counts as removed (true). A real folder is refused (false, EISDIR): use
// RemoveTreeNoFollow() for trees.
bool RemoveFileNoFollow(const std::string& path, std::string* err);

// The safe delete of a name from input under a folder: refuses a name that
// IsSafeRelativeName() rejects, then walks from a descriptor of `base` (links in `base` itself
// are followed) one folder of `rel` at a time with O_NOFOLLOW, and removes the last component
// relative to the folder so reached, as RemoveTreeNoFollow() would. A folder of `rel` that is a
// symbolic link refuses the removal (false, ELOOP): it would lead outside `base`. A folder of
// `rel` swapped for a link while the removal runs is never followed either. Only '/' separates
// the components. A name whose intermediate folders are missing (or are files) counts as
// removed (true).
bool RemoveUnder(const std::string& base, const std::string& rel, std::string* err);

// Like RemoveUnder(), for one non-folder entry: a real folder at `rel` is refused (false,
// EISDIR), as RemoveFileNoFollow() does.
bool RemoveFileUnder(const std::string& base, const std::string& rel, std::string* err);

// RemoveUnder() and RemoveFileUnder() from the folder already open at `basefd` (any descriptor
// of a folder, O_PATH included): the walk starts at that very folder, whatever became of its
// path since it was opened. `base` is its path, for messages only. A negative `basefd` is
// refused (EINVAL).
bool RemoveUnderAt(int basefd, const std::string& base, const std::string& rel, std::string* err);
bool RemoveFileUnderAt(int basefd, const std::string& base, const std::string& rel,
                       std::string* err);

// Opens the folder `rel` below the folder open at `basefd`, one component at a time from its
// parent's descriptor without following links, and returns a new descriptor of it (O_RDONLY,
// close-on-exec; the caller closes it). An empty `rel` opens `basefd`'s folder itself. On failure
// -1 with errno: ENOENT for a missing level, ELOOP for a symbolic link in the way, ENOTDIR for
// another non-folder, EINVAL for a "." or ".." component, else the system's error. With
// `pathOnly` the descriptor is O_PATH instead (enough for *at() calls; no read right needed).
int OpenFolderUnder(int basefd, const std::string& rel, bool pathOnly = false);

// Removes the folder `rel` below `base` (reached as RemoveUnder() reaches it) when it holds no
// entry but folders that are empty in the same sense; those go with it. A folder holding any
// file, link or other entry (even an empty file), or a sub-folder that cannot be read, stays
// untouched, and so does a `rel` that is missing, a link or no folder. True unless a removal
// failed or the walk was refused; `removed` (when not null) tells whether the folder went.
bool RemoveFolderIfEmptyUnder(const std::string& base, const std::string& rel, bool* removed,
                              std::string* err);

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_SAFEPATH_H_
