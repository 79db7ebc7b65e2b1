// StateFolders: where the library keeps its own state (named-mutex files, the embedded database,
// logs) when the configuration names no folder for it.
//
// A default folder must not sit where another local user can make it first or swap it for a
// link (a fixed name in /tmp would let them). So the default is <install folder>/<kind> when
// "Base"/"dHOME" is set, and otherwise a folder private to the user: $XDG_RUNTIME_DIR/kqpatches/
// <kind> when that is set, else /tmp/kqpatches-<uid>/<kind>. Each use checks the folder again:
// it must be a real folder (not a link), owned by this user (under the install folder root may
// own it too) and writable by nobody else; the private folders are made 0700.
#ifndef KQ_PLATFORM_CONFIGURATION_STATEFOLDERS_H_
#define KQ_PLATFORM_CONFIGURATION_STATEFOLDERS_H_

#pragma GCC visibility push(default)

#include <string>

namespace kq {

// The default folder for one kind of state ("NamedMutex", "Database", "Logs"), as above. It
// is not made here.
std::string DefaultStateFolder(const std::string& kind);

// Makes the default folder of `kind` when missing and checks it (and, outside the install
// folder, the private folder above it) as above. True with the folder in `folder`; false with
// the reason in `err` ("folder [...] is owned by user 1000", "... is a link", ...). A relative
// install folder is refused.
bool PrepareStateFolder(const std::string& kind, std::string& folder, std::string& err);

// The same check for a folder that the configuration or the environment names (a log, lock,
// store or database folder): it must be an absolute path; it is made (0700, missing parents
// 0755) when missing; then it must be a real folder, owned by this user or by root, and
// writable by nobody else. False with the reason in `err`.
bool PrepareConfiguredFolder(const std::string& folder, std::string& err);

// Tells standard error, once per process for each distinct text, that `who` refused a folder
// for the reason `err` (the log may itself be what cannot be written).
void ReportRefusedFolder(const std::string& who, const std::string& err);

}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_STATEFOLDERS_H_
