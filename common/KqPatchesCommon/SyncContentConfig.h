// The content configuration of a remote cache: which releases and operating systems it holds
// content for, which binary sets, and whether and which packages it synchronises.
//
// The Hubnode database keeps one XML text per client (EVGui::PatchUAContentConfigs), read with
// the procedure GetPatchUAContentConfig and stored with SetPatchUAContentConfig. These free
// functions read and store that text, merge single entries into it, answer whether a package
// set is covered and whether package synchronisation is on, and turn an entry into the
// per-release request lists of remote-cache synchronisation (UpdatePatches::FilesForRel).
//
// An entry (EVGui::PatchUAContentConfig) is known by the triple (1/1 key, 2/2 release id, 3/3
// OS id). 4/4 lists its binary sets, 5/5 its package-synchronisation mode (0 off, 1 every
// configured package, 2 and 3 listed packages), 11/17 package ids as "5,7," text and 12/21 the
// configured packages ("all" in any case, or ids separated by ',').
//
// Every call runs on the caller's thread, logs on the process's default log and keeps no state.
// Only the two database calls can fail (0); the list operations always return 1.
#ifndef KQ_COMMON_KQPATCHESCOMMON_SYNCCONTENTCONFIG_H_
#define KQ_COMMON_KQPATCHESCOMMON_SYNCCONTENTCONFIG_H_

#pragma GCC visibility push(default)

#include <vector>

#include "Messages/EVGui.h"
#include "Messages/UpdatePatches.h"

// Reads the client's stored configuration into configs; every entry with an OS id gets that
// OS's binary sets from the database in 4/4 (an entry keeps its stored list when they cannot be
// read). 0 when the database fails or the text cannot be decoded (also when the client has no
// stored text).
int getPatchUAContent(int clientId, EVGui::PatchUAContentConfigs& configs);

// Stores configs as the client's configuration, with the optimal-sync flag of
// "UpdateFlags"/"nPerformOptimalSyncup" (1 unless it is present and 0). 0 when the message
// cannot be written or the database fails.
int setPatchUAContent(EVGui::PatchUAContentConfigs& configs, int clientId);

// Merges entry into the first entry of configs with its triple, or appends it. The mode moves
// only upwards in coverage (see the .cpp); the package ids and binary sets of entry that the
// stored one lacks are added after its own, unless the stored mode is 1 (every package), whose
// packages stay as they are.
int findAndInsertInUAContentConfigLst(EVGui::PatchUAContentConfigs* configs,
                                      EVGui::PatchUAContentConfig& entry);

// Whether the entry with query's triple covers query's packages (11/17): configured is whether
// the remote cache synchronises packages there, allPackages whether every asked package is
// covered. Without such an entry both are false; an entry of another mode leaves both alone.
int findInUAContentConfigLst(EVGui::PatchUAContentConfigs& configs,
                             EVGui::PatchUAContentConfig& query, bool& configured,
                             bool& allPackages);

// enabled becomes true when some entry synchronises packages (mode not 0); else it is left.
int isPackageSyncupEnabled(EVGui::PatchUAContentConfigs& configs, bool& enabled);

// Adds entry to the request lists: its release and OS are created when missing; an existing OS
// gains the entry's package ids and binary sets it lacks (mode 1 without package ids empties its
// package list: every package).
int findAndInsertInFileForRelList(EVGui::PatchUAContentConfig& entry,
                                  std::vector<UpdatePatches::FilesForRel>* releases);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_SYNCCONTENTCONFIG_H_
