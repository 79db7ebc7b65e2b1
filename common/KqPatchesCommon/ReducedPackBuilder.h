// ReducedPackBuilder: the update files (feature-release files, loose updates, installer files)
// that a set of packages needs on one operating system and binary set, listed relative to an
// install medium or a cache folder.
//
// ComputeReducedUpdates normalises the location (an old release found under "KQMedia" is read in
// the "KQUpdates" layout), asks the cache file-list builder for the applicable files and returns
// their paths. The object also walks an old-style media tree for its service-pack update folder,
// additional update folder and configuration folder, reads the update descriptors found there,
// filters them by package tokens, and picks the console's subset of the applicable updates.
//
// Ownership: made by the caller for one request and used by one thread; it owns its lists and
// its log object, nothing else. Folder walks never descend into a symbolic link.
#ifndef KQ_COMMON_KQPATCHESCOMMON_REDUCEDPACKBUILDER_H_
#define KQ_COMMON_KQPATCHESCOMMON_REDUCEDPACKBUILDER_H_

#pragma GCC visibility push(default)

#include <list>
#include <string>
#include <vector>

#include "Logging/EvDebug.h"
#include "UpdateCacheInventory.h"

// The package whose updates make up the console subset.
constexpr unsigned kConsolePackageId = 1118;

class ReducedPackBuilder {
 public:
  ReducedPackBuilder();
  ~ReducedPackBuilder();
  ReducedPackBuilder(const ReducedPackBuilder&) = delete;
  ReducedPackBuilder& operator=(const ReducedPackBuilder&) = delete;

  // The applicable update files of packageIds on updateOSId and binarySetId (0: updateOSId;
  // 31 and 33 are looked up as 7 and 10), relative to resolvedLocation, appended to files.
  // 1 on success and when the location does not exist (errorText says so, nothing listed);
  // 0 when the list cannot be computed. totalSize is not changed.
  int ComputeReducedUpdates(std::string mediaLocation, int updateOSId,
                            std::vector<unsigned> packageIds, std::string& resolvedLocation,
                            std::list<std::string>& files, unsigned long& totalSize,
                            std::string& errorText, int binarySetId);
  // The console's updates among those of the console package; message says why none are.
  int ComputeReducedUpdatesForGUI(std::string mediaLocation, int updateOSId,
                                  std::list<std::string>& files, std::string& message);
  // Finds the service-pack update folder, the additional update folder and the configuration
  // folder below folder (depth first, bytewise order; a later find replaces an earlier one).
  void SetUpdatesFolderUnix(std::string folder);
  // Read the descriptors ("Config/update.ini") of the updates in the service-pack update folder
  // (0 when none was found) or the additional update folder (1 when none was found).
  int ReadSPUpdateIniUnix();
  int ReadAdditionalUpdateIniUnix();
  // Keep the records whose packages name one of the tokens (split at blank , ( ) tab newline).
  int FilterSPUpdates(std::string tokens);
  int FilterAdditionalUpdates(std::string tokens);
  // Appends the full paths of the entries of folder that are not folders to the extra files.
  void GetFileListUnix(std::string folder);

  void setQuiet(bool quiet) { m_quiet = quiet; }
  void setOSId(int osId) { m_osId = osId; }
  void setUnixSubFolder(std::string folder) { m_unixSubFolder = std::move(folder); }
  const std::string& errorText() const { return m_errorText; }
  const std::string& spUpdateFolder() const { return m_spUpdateFolder; }
  const std::string& additionalUpdateFolder() const { return m_additionalUpdateFolder; }
  const std::string& configFolder() const { return m_configFolder; }
  const std::list<INIInfoForPatch>& spUpdates() const { return m_spUpdates; }
  const std::list<INIInfoForPatch>& additionalUpdates() const { return m_additionalUpdates; }
  const std::list<INIInfoForPatch>& filteredSPUpdates() const { return m_filteredSPUpdates; }
  const std::list<INIInfoForPatch>& filteredAdditionalUpdates() const {
    return m_filteredAdditionalUpdates;
  }
  const std::list<std::string>& extraFiles() const { return m_extraFiles; }

 private:
  // The location the list builder reads; sets releaseId (-1 without a release folder).
  std::string ResolveLocation(const std::string& mediaLocation, int updateOSId, int& releaseId) const;
  int ReadUpdateIniUnix(const std::string& folder, std::list<INIInfoForPatch>& records,
                        const char* name);
  static void Filter(const std::list<INIInfoForPatch>& from, const std::string& tokens,
                     std::list<INIInfoForPatch>& to);

  bool m_quiet = false;
  EvDebug m_log;
  std::string m_errorText;
  std::string m_spUpdateFolder;
  std::string m_additionalUpdateFolder;
  std::string m_configFolder;
  int m_osId = 0;
  std::string m_unixSubFolder;
  std::list<INIInfoForPatch> m_spUpdates;
  std::list<INIInfoForPatch> m_additionalUpdates;
  std::list<INIInfoForPatch> m_filteredSPUpdates;
  std::list<INIInfoForPatch> m_filteredAdditionalUpdates;
  std::list<std::string> m_extraFiles;
};

// Runs a builder once (the first argument and otherFiles are not read).
int ComputeReducedUpdate(bool mode, std::string mediaLocation, int updateOSId,
                         std::vector<unsigned> packageIds, std::string& resolvedLocation,
                         std::list<std::string>& files, std::list<std::string>& otherFiles,
                         unsigned long& totalSize, std::string& errorText, int binarySetId);
// Kept for callers of the Unix variant: does nothing, 1.
int ComputeReducedUpdateUNIX(std::string, std::string, std::vector<unsigned>, std::string&,
                             std::list<std::string>&, unsigned long&, std::string&, bool);

// The seed update tree of the Unix operating systems below mediaLocation (osId 0: every
// operating-system folder; else that one): per binary set, the updates of the seed packages
// copied to <seedFolder>/<binary set>/Updates/<OS>/. Empty on success, else "INFO:" + reason.
std::string ComputeUnixSeedUpdates(std::string mediaLocation, std::string seedFolder, int osId);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_REDUCEDPACKBUILDER_H_
