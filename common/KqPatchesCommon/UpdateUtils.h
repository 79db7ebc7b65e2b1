// The common utilities of the library in one include: shared by every subsystem.
// Each group lives in a header of its own; add new groups as their own headers below.
#ifndef KQPATCHESCOMMON_UPDATEUTILS_H_
#define KQPATCHESCOMMON_UPDATEUTILS_H_

#pragma GCC visibility push(default)

// File-system utilities: path tests, sizes, listings, create, copy, move, delete.
#include "FileSystemUtils.h"
// String, path-text and small-list utilities.
#include "StringUtils.h"
// Release, operating-system and update-type tables and their lookups.
#include "Vocabulary.h"
// Software-cache path builders.
#include "CachePaths.h"
// Update and service-pack name grammar.
#include "UpdateNames.h"
// Version, timestamp, checksum and ".description" file readers.
#include "VersionFiles.h"
// Single questions to the Hubnode database.
#include "DbLookups.h"

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_UPDATEUTILS_H_
