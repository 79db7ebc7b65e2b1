// KQPackageCache: the package catalogue of one media tree (or of the software cache).
//
// It loads the Windows package catalogue "WinPackages.xml", the Unix package catalogue "pkg.xml"
// and the binary-file catalogue "BinaryInfo.xml" into messages, answers binary-set and platform
// questions, walks package dependencies and computes the media files (with checksums) that a list
// of packages needs for one operating system and binary set.
//
// Ownership: an object is made by its caller for one request. Parsed catalogues are shared by
// the whole process in two maps keyed by the lower-cased file path (PackageCache.cpp), guarded
// by one re-entrant critical section, so each catalogue file is parsed once per process for as
// long as it does not change on disk (its size and modification time are kept with the parsed
// message). A parsed catalogue is immutable: the maps and every object that loaded it hold it
// through a shared pointer to const, so a load that finds it cached takes the lock only to take
// a reference, and a catalogue dropped from the maps lives on in the objects still holding it.
// The members of an object are not locked: one object is used by one thread at a time.
//
// Limits that keep a damaged or hostile catalogue from exhausting memory or escaping the media:
//  - a catalogue file larger than kMaxCatalogueBytes is refused;
//  - the recursive dependency walks stop after kMaxDependencyWalkEntries ids;
//  - file records whose relative path is missing, absolute or has a ".." component are dropped,
//    and a section name that is not a plain folder name never becomes the proc name.
#ifndef KQ_COMMON_KQPATCHESCOMMON_PACKAGECACHE_H_
#define KQ_COMMON_KQPATCHESCOMMON_PACKAGECACHE_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <stack>
#include <string>
#include <vector>

#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"

// Kind of a cached catalogue file.
enum UA_XML_FILETYPES {
  UA_XML_BINARY_INFO = 0,    // "BinaryInfo.xml"
  UA_XML_WIN_PACKAGES = 1,   // "WinPackages.xml"
  UA_XML_UNIX_PACKAGES = 2,  // "pkg.xml"
};

// One node of a dependency map.
struct packageDepEntry {
  int state = 0;              // 0 not yet visited, 1 on the current path, 2 done
  bool isThirdParty = false;  // a package of the third-party set
  std::set<unsigned> deps;    // direct dependencies, own and third-party alike
};

// Files larger than this are not read as catalogues (the largest real ones are a few MiB).
constexpr unsigned long long kMaxCatalogueBytes = 256ull << 20;
// The recursive dependency walks keep repeated ids, so a catalogue full of diamonds could make
// their output grow without bound; they stop appending after this many ids.
constexpr std::size_t kMaxDependencyWalkEntries = 200000;
// Size of the temp-folder buffer, terminator included.
constexpr int kPackageCacheTempFolderSize = 10240;
// Catalogue text quoted in a log line is cut to this many bytes.
constexpr std::size_t kMaxLoggedCatalogueText = 1024;

// Per-catalogue lookup tables of the dependency walks (PackageDependencies.cpp); not exported.
struct __attribute__((visibility("hidden"))) PackageDependencyIndex;

class KQPackageCache {
 public:
  explicit KQPackageCache(bool releaseBuild);
  KQPackageCache(std::string cachePath, bool releaseBuild, unsigned long jobId, bool useTemp);
  ~KQPackageCache();
  KQPackageCache(const KQPackageCache&) = delete;
  KQPackageCache& operator=(const KQPackageCache&) = delete;

  // ---- Set-up ----
  void SetParams(std::string cachePath, unsigned long jobId, bool useTemp);
  // Cache path, OEM id, package-XML folder and proc name become empty, job id 0; the temp folder
  // is "/tmp" when useTemp is set. Media locations, error text and catalogues stay.
  void init(bool useTemp);
  // Copies "/tmp" into buffer; false (buffer untouched) when it does not fit in size bytes.
  bool getTempFolder(char* buffer, int size);
  // Replaces the temp folder; a path of kPackageCacheTempFolderSize characters or more does not
  // fit and is refused (false, with a log line; the temp folder stays).
  bool SetTempPath(std::string path);
  void setDvdLocation(std::string path, bool isWindows);
  const char* getDvdLocation(bool isWindows) const;
  void setProcName(std::string name);
  std::string getErrMsg() const;

  // ---- Loading (PackageCache.cpp) ----
  // The package catalogue of an operating system (0: Windows) and, when osId is not negative,
  // the binary catalogue beside it.
  bool ReadPackageDetails(int osId);
  bool ReadWinPackageDetails();
  // osId below 1: any Unix system, package catalogue only.
  bool ReadUnixPackageDetails(int osId);
  bool getXMLDetails(const std::string& path, bool isBinaryXML, bool isWindows);
  // Copies the cached message of that (lower-case) path into the member of its type; false
  // when the path is not cached.
  bool getUnserializedXMLDetails(const char* lowerCasePath, UA_XML_FILETYPES type);
  // Empties the process-wide package and/or binary catalogue maps. Always true.
  bool clearCachedXML(bool packageXML, bool binaryXML);

  // ---- Binary-set and platform queries (PackageQueries.cpp) ----
  long long getBSIdFromUnixOSName(std::string osName);
  long long getBSInfoFromUnixOSName(std::string osName, std::string& bsName);
  bool getOSNamesUnderBSIDLst(std::vector<int> bsIds, std::vector<std::string>& names, bool quiet);
  bool getBSNamesUnderBSIDLst(std::vector<int> bsIds, std::vector<std::string>& names);
  bool getValidBSIDLst(std::vector<int> bsIds, std::vector<int>& valid);
  bool isBinarySetSupported(int bsId);
  bool RemovePackagesNotApplicableToPlatform(std::vector<unsigned long> pkgIds,
                                             std::vector<unsigned long>& notApplicable, int bsId);

  // ---- Dependency walks (PackageDependencies.cpp) ----
  bool GetDependentPackages(unsigned id, std::list<unsigned>& deps, bool& reboot, int bsId);
  bool GetDependentPackagesRecurs(unsigned id, std::list<unsigned>& deps, bool& reboot, int bsId);
  bool GetReverseDependentPackages(unsigned id, std::list<unsigned>& users, std::vector<int> filter,
                                   bool& reboot, int bsId);
  bool GetReverseDependentPackagesRecurs(unsigned id, std::stack<unsigned>& users,
                                         std::vector<int> filter, bool& reboot, int bsId);

  // ---- Media file set (PackageMedia.cpp) ----
  bool ComputeKQMediaForRemoteActivity(std::vector<unsigned>& pkgIds, int osId, int bsId,
                                       std::vector<UpdatePatches::BinaryV11>& files,
                                       std::string* root);
  bool AddUnixCustomOemFile(int osId, std::vector<UpdatePatches::BinaryV11>& files);
  bool GetUnixRootFiles(std::vector<UpdatePatches::StringVal>& rootFiles);

  // ---- Reduced install packages (PackageReducedList.cpp) ----
  // The list file is <folder>/<package name, unsafe characters made '_'>-Out.txt, where folder
  // is <temp folder>/Install with the temp folder in use, else <cache>/Deployment/Install
  // (mode 3) or Upgrade. Writes the media files (and loose updates, update pack updatePackNumber
  // when above 0, installer files) that the packages need on the binary set, one media path a
  // line. The new list replaces the old one whole (written beside it and renamed over it), so a
  // reader reads the old list or the new one, never part of one. Other writers of the list wait
  // (bounded) until this object read it back with ComputeFileList, writes again or goes away.
  // False, with the reason in the error text, when the folder is unsafe, something other than
  // a file stands at the list's name, the list cannot be computed or written; the list that was
  // there then stays.
  bool CreatePkgInfoFile(std::vector<unsigned> packageIds, std::string packageName, int bsId,
                         int mode, int updatePackNumber);
  // Reads a reduced-package list file back into files and folders under the package location
  // (PackageReducedList.cpp). No list file: true with nothing added.
  bool ComputeFileList(std::string packageName, std::string packageLocation,
                       std::list<std::string>& files, std::list<std::string>& folders,
                       unsigned long long& totalSize, int mode);

 private:
  // The folder of the reduced-package lists; tempMissing when the temp folder in use is empty.
  std::string listFolder(int mode, bool& tempMissing) const;
  static std::string listFileName(std::string packageName);
  // Drops the writers' lock of the list file written last, if any.
  void releaseListLock();
  // The lines of the reduced-package list of packageIds on the binary set (CreatePkgInfoFile).
  bool reducedListText(const std::vector<unsigned>& packageIds, int bsId, int updatePackNumber,
                       std::string& text);
  // The catalogue that a binary set or operating system reads.
  const UpdatePatches::PackageDetails& catalogueFor(bool forUnix) const {
    return forUnix ? *m_unixPackageDetails : *m_winPackageDetails;
  }
  const UpdatePatches::PackageDetails& unixCatalogue() const { return *m_unixPackageDetails; }
  const UpdatePatches::BinaryInfo& binaryCatalogue() const { return *m_binaryInfo; }
  // The dependency lookup tables of a catalogue, built on first use after each load.
  const PackageDependencyIndex& dependencyIndex(bool forUnix);
  // The cached message of that path when its file still has the given size and time.
  bool getCachedXMLDetails(const std::string& lowerCasePath, UA_XML_FILETYPES type,
                           unsigned long long size, long long mtimeNs);
  // The Unix proc name of an operating-system id: its name in the vocabulary, or empty (with a
  // log line) when the vocabulary has none.
  std::string procNameOfOS(int osId, const char* tag);

  // The loaded catalogues, shared read-only with the process-wide maps; empty messages until a
  // load succeeds. Never null.
  std::shared_ptr<const UpdatePatches::PackageDetails> m_winPackageDetails;   // "WinPackages.xml"
  std::shared_ptr<const UpdatePatches::PackageDetails> m_unixPackageDetails;  // "pkg.xml"
  std::shared_ptr<const UpdatePatches::BinaryInfo> m_binaryInfo;              // "BinaryInfo.xml"
  EvDebug m_log;                                       // the process's default log
  unsigned long long m_jobId = 0;
  std::string m_cachePath;        // its "Base" folder is the last place a catalogue is looked for
  std::string m_winDvdLocation;   // Windows media
  std::string m_unixDvdLocation;  // Unix media
  std::string m_packageXmlFolder; // folder of the last package catalogue, ending in "/"
  std::string m_procName;         // operating-system folder of the Unix media; empty for Windows
  std::string m_errMsg;
  bool m_useTemp = false;
  char m_tempFolder[kPackageCacheTempFolderSize];
  std::string m_oemId;            // decimal OEM id of the media file set; empty until set
  bool m_releaseBuild = false;    // passed to the KQUpdateCache objects made for checksums

  // Descriptor holding the writers' lock of the list file written last (m_listLockPath), that
  // is of its lock file beside it; -1 when none is held.
  int m_listLockFd = -1;
  std::string m_listLockPath;

  // Dependency lookup tables of the Windows and Unix catalogues; null until first needed.
  std::unique_ptr<PackageDependencyIndex> m_winIndex;
  std::unique_ptr<PackageDependencyIndex> m_unixIndex;
};

// Closure of package id over the dependency map: own packages into own, third-party packages
// into thirdParty. 0 on success, -1 when a dependency loop is met.
int calculateClosure(int id, std::map<unsigned, packageDepEntry>& depMap, std::set<unsigned>& own,
                     std::set<unsigned>& thirdParty);

// Orders media file records by their relative path, bytewise.
bool isBinaryV11LessThan(const UpdatePatches::BinaryV11& a, const UpdatePatches::BinaryV11& b);

// The media files (name, relative path, checksum) that the packages of pkgIds and their
// dependencies need for one operating system and binary set; appends them to files and the
// dependencies found to pkgIds. With mediaIsRoot, OEM files are kept only when present under
// mediaPath.
bool ComputeKQMedia(std::string mediaPath, int osId, int bsId, unsigned long jobId,
                    std::vector<unsigned>& pkgIds, std::vector<UpdatePatches::BinaryV11>& files,
                    bool mediaIsRoot);

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_PACKAGECACHE_H_
