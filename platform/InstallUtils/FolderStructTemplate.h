// The cache hierarchy that a folder-structure reader is made from: a small message family of
// the install utilities (message subsystem 61), so that a hierarchy travels as the message XML
// text of Messages/MessageXml.h and is read back with XMLDecoder::unSerialize.
//
// A hierarchy is a location and a list of folders. Each folder has a kind (the number that
// IFolderStruct::GetPath is asked with), a path pattern and, for kinds that name a file, the
// file's default name. The location says where the paths lie: 0 on this machine (MEDIAROOT
// must then be an absolute folder), 1 on a download source (MEDIAROOT is a server name or URL).
//
// Path patterns are "/"-separated texts with these tokens:
//   {MEDIAROOT} {VERSION} {BUILD} {SPMAJOR} {TRANSACTIONID} {REVISIONID} {CUNUMBER}
//              the placeholder of that key
//   {OS}       the operating-system name the path is asked for
//   {PLATFORM} "Windows" for a Windows name (one that begins with "Win"), else "Unix"
//   {PAYLOAD}  the payload folder of the name: "BinaryPayload32" for "Win32" and "Windows",
//              "BinaryPayload" for the other Windows names, the name itself for Unix
//   [ ... ]    an optional part, kept only when every placeholder in it has a value other than
//              "" and "0" (so "[/SP{SPMAJOR}_{TRANSACTIONID}_R{REVISIONID}]" names the recut
//              feature-release folder only for a recut version)
// A path whose pattern needs a placeholder the reader does not have is not formed ("").
#ifndef KQ_PLATFORM_INSTALLUTILS_FOLDERSTRUCTTEMPLATE_H_
#define KQ_PLATFORM_INSTALLUTILS_FOLDERSTRUCTTEMPLATE_H_

#pragma GCC visibility push(default)

#include "Messages/MessageClass.h"
#include "Messages/MessageXml.h"

#define KQ_INSTALLUTILS_CLASSES(C, F, O)                                     \
  C(CacheHierarchy, 1, F(Location, 1, 1) O(Folders, 2, 2, 2))                \
  C(CacheFolder, 2, F(Kind, 1, 1) F(Path, 2, 2) F(FileName, 3, 3))

namespace KQInstallCommonUtils {

constexpr int kInstallUtilsSubsystem = 61;

#define KQ_INSTALLUTILS_CLASS(Name, Id, ...) KQ_MSG_DECLARE_CLASS(61, Name, Id, __VA_ARGS__)
KQ_INSTALLUTILS_CLASSES(KQ_INSTALLUTILS_CLASS, KQ_MSG_FIELD_CONSTANT, KQ_MSG_OBJECT_CONSTANT)
#undef KQ_INSTALLUTILS_CLASS

enum eHierarchyLocation { eLocalHierarchy = 0, eRemoteHierarchy = 1 };

// Path kinds of the software cache and of a download source.
enum eFolderKind {
  eKindPlatformRoot = 2,       // "Windows" or "Unix" folder of a (recut) release: loose or source root
  eKindHotfixRoot = 3,         // loose updates ("Updates") of an operating system
  eKindOSFolder = 5,           // payload folder of an operating system
  eKindFeatureReleaseRoot = 6, // "LooseUpdates" of an operating system: update packs and "Updates"
  eKindFeatureReleaseMedia = 11, // the recut feature-release folder "SP<m>_<t>_R<r>"
  eKindUpdatesInfoFile = 16,   // the updates-information file of a feature release
};

// The placeholder keys that a media version fills, with the FullVersion field of each (release,
// build, service-pack major, transaction id, revision id, update-pack number). MEDIAROOT is the
// seventh key.
struct tVersionPlaceholder {
  const char* key;
  int field;
};
constexpr tVersionPlaceholder kVersionPlaceholders[] = {
    {"VERSION", 0}, {"BUILD", 1},      {"SPMAJOR", 2},
    {"TRANSACTIONID", 5}, {"REVISIONID", 6}, {"CUNUMBER", 8},
};

// One folder of a hierarchy being built by code.
struct tCacheFolderSpec {
  int kind;
  const char* path;
  const char* fileName;  // "" for a folder without a default file
};

// Builds a hierarchy message from a table.
CacheHierarchy MakeCacheHierarchy(int location, const tCacheFolderSpec* folders, size_t count);

void RegisterSubsystem();

}  // namespace KQInstallCommonUtils

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_INSTALLUTILS_FOLDERSTRUCTTEMPLATE_H_
