// IFolderStruct: answers the paths of one media version in a software cache or on a download
// source, from a cache hierarchy (FolderStructTemplate.h) and a map of placeholders.
//
// A reader is made by CreateFolderStructReader and released by DestroyFolderStructReader; its
// maker owns it. Once made it does not change, so one reader may be asked from many threads.
//
// GetPath(kind, osName, version, flag) gives the folder of a kind. The version's non-zero
// fields release (0), build (1), service-pack major (2), transaction id (5), revision id (6)
// and update-pack number (8) stand in for VERSION, BUILD, SPMAJOR, TRANSACTIONID, REVISIONID
// and CUNUMBER; its zero fields leave the reader's own values (so an empty version asks for
// the reader's version). Flag bit 1 gives the path relative to MEDIAROOT (what a download
// source is asked for), else the full path. The name may be empty for kinds that do not
// depend on an operating system. "" when the kind is unknown, the name is not one folder name
// ("/" or "\" in it, "." or ".."), or a placeholder or name the path needs is missing. GetFilePath(kind, fileName, version, flag) is the kind's folder (without an
// operating system) and the file name, or the kind's default file name when fileName is
// empty; a file name must be a safe relative name.
#ifndef KQ_PLATFORM_INSTALLUTILS_IFOLDERSTRUCT_H_
#define KQ_PLATFORM_INSTALLUTILS_IFOLDERSTRUCT_H_

#pragma GCC visibility push(default)

#include <map>
#include <string>

#include "InstallUtils/FolderStructTemplate.h"
#include "Logging/EvDebug.h"
#include "Versions/FullVersion.h"

namespace KQInstallCommonUtils {

// Flag bits of GetPath and GetFilePath.
enum eFolderPathFlags { eRelativeToMediaRoot = 1 };

class IFolderStruct {
 public:
  virtual ~IFolderStruct() {}

  virtual std::string GetPath(int kind, const std::string& osName, const FullVersion& version,
                              int flag) const = 0;
  virtual std::string GetFilePath(int kind, const std::string& fileName,
                                  const FullVersion& version, int flag) const = 0;
  virtual const std::map<std::string, std::string>& GetPlaceHolderMap() const = 0;

  // The message XML of this library's own software-cache hierarchy (type 1, the media layout
  // of releases from 11.0.0: "KQMedia/<release>/[SP<m>_<t>_R<r>/]{Windows,Unix}/<payload>/
  // LooseUpdates/{Updates,CU<n>}"); "" for any other type.
  static std::string GetDefaultLocalCacheStruct(int type);
};

// Makes a reader. 0 and *out set on success; otherwise *out stays null and the result is
// 0x80000008 (null out, a separator other than one "/" or "\", a placeholder value other than
// MEDIAROOT that is not one folder name) or 0x80000021 (a hierarchy without folders or with an
// unknown location, an empty MEDIAROOT, a MEDIAROOT with a ".." component, or a relative
// MEDIAROOT for a local hierarchy). `log` may be null; failures are logged on it.
unsigned int CreateFolderStructReader(IFolderStruct** out, EvDebug* log,
                                      const CacheHierarchy& hierarchy,
                                      const std::map<std::string, std::string>& placeholders,
                                      const FullVersion& version, const std::string& separator);
// Releases a reader made by CreateFolderStructReader; null is ignored.
void DestroyFolderStructReader(IFolderStruct* reader);

}  // namespace KQInstallCommonUtils

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_INSTALLUTILS_IFOLDERSTRUCT_H_
