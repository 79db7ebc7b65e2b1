// StateFolders: where the library keeps its own state (named-mutex files, the embedded database,
// logs) when the configuration names no folder for it.
//
// A default folder must not sit where another local user can make it first or swap it for a
// link (a fixed name in /tmp would let them). So the default is <install folder>/<kind> when
// "Base"/"dHOME" is set, and otherwise a folder private to the user: $XDG_RUNTIME_DIR/kqpatches/
// <kind> when that is set, else /tmp/kqpatches-<uid>/<kind>. Each use checks the folder again,
// every level of it from "/": each a real folder of root or this user that nobody else may
// write in (PortableFiles/TrustedFolder.h), the last one owned by this user (under the install
// folder root may own it too); the folders made here are 0700.
#ifndef KQ_PLATFORM_CONFIGURATION_STATEFOLDERS_H_
#define KQ_PLATFORM_CONFIGURATION_STATEFOLDERS_H_

#pragma GCC visibility push(default)

#include <string>

namespace kq {

// The default folder for one kind of state ("NamedMutex", "Database", "Logs"), as above. It
// is not made here.
std::string DefaultStateFolder(const std::string& kind);

// Makes the default folder of `kind` when missing (0700) and opens it, checked as a trusted
// folder (PortableFiles/TrustedFolder.h: every level from "/" down), and, outside the install
// folder, the private folder above it too, which must be this user's own. The O_PATH
// descriptor of the folder checked (the caller closes it and reaches the folder's entries
// through it only), with the path in `folder`; -1 with the reason in `err` ("folder [...] is
// owned by user 1000", "... is a symbolic link of user 1000", ...). A relative install folder is
// refused, and so is every kind while the configuration store is refused (IniStore::snapshot):
// the store may name the install folder.
int OpenStateFolder(const std::string& kind, std::string& folder, std::string& err);
bool PrepareStateFolder(const std::string& kind, std::string& folder, std::string& err);

// The same for a folder that the configuration or the environment names (a log, lock, store or
// database folder): an absolute path, made when missing (0700, missing parents 0755), trusted
// at every level, the folder itself this user's or root's. The descriptor, or -1 with the
// reason in `err`.
int OpenConfiguredFolder(const std::string& folder, std::string& err);
bool PrepareConfiguredFolder(const std::string& folder, std::string& err);

// Tells standard error, once per process for each distinct text, that `who` refused a folder
// for the reason `err` (the log may itself be what cannot be written).
void ReportRefusedFolder(const std::string& who, const std::string& err);

// What was refused and why, for a refusal's log line or error text: `what` ("log folder", "lock
// file", ...) at `asked`, the path asked for, and the reason `err` that the openers above give,
// which names the level at fault: "the log folder [/srv/a/b/logs]: folder [/srv/a] is writable
// by other users". Where that level is `asked` itself, the reason names it already and it is not
// named twice: "the log folder: folder [/srv/a/b/logs] is writable by other users"; nor is
// `what` where the reason starts with it ("lock file: [...] is owned by user 1000").
std::string DescribeRefusal(const std::string& what, const std::string& asked,
                            const std::string& err);

// Tells standard error "<who>: <text>", once per process for each distinct line.
void ReportRefusal(const std::string& who, const std::string& text);

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_STATEFOLDERS_H_
