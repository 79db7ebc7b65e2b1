// CPatchInstallCommon: static operations shared by the patch job classes.
//
// The class holds no per-object state; everything is static. Its process-wide
// state (the operating-system registry) lives in tSingletonVars, built once on
// first use and never changed afterwards, so lookups read it without a lock.
// Members are grouped by concern; each group is implemented in its own file.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHINSTALLCOMMON_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHINSTALLCOMMON_H_

#pragma GCC visibility push(default)

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KQApplianceOSType.h"
#include "PortableFiles/PxError.h"

class EvDebug;       // Logging/EvDebug.h
class FullVersion;   // Versions/FullVersion.h
class _SPVersion;
class CNMessageBase;      // Messages/CNMessageBase.h
class CPxFolderHandle;    // PortableFiles/PxDirectory.h

namespace KQInstallCommonUtils {
class IFolderStruct;
}

namespace nPatchDownload {

struct tRetrievalSide;  // RetrievalSide.h
class IPatchEvent;                  // IPatchEvent.h
class tSupportedUpdatesInCopyBase;  // SupportedUpdatesInCopy.h

class CPatchInstallCommon {
 public:
  // ---- Operating-system and release id registry (OSRegistry.cpp) ----

  // Process-wide registry state; one instance, made on first use.
  struct tSingletonVars {
    std::mutex lock;                               // guards the one-time build
    std::atomic<bool> initialised{false};          // set under lock once the maps are built
    unsigned int checksumBufferSize = 8192;        // block size for file checksums
    std::map<int, std::string> namesById;          // supported id -> name
    std::map<std::string, unsigned int> idsByName; // name -> id (exact match)

    static tSingletonVars& getInstance();
  };

  // Builds the registry once; every lookup below that needs it calls this.
  static void Initialize();

  static bool IsOSIdSupported(int id);
  static void FilterOutUnsupportedOSIds(std::set<int>& ids);
  // Name for folder and file names; "unknown" when the id is not supported.
  static const char* GetUpdateOSNameFromID(unsigned int id, bool payload);
  // 0xFFFFFFFF when the name is not known.
  static unsigned int GetUpdateOSIDFromName(const std::string& name, bool payload);
  static bool IsUnix(unsigned int id);     // id > 5
  static bool IsWindows(unsigned int id);  // id <= 5
  // Position of the first case-insensitive occurrence, -1 when absent.
  static int FindStringIC(const std::string& text, const std::string& pattern);
  static void GetBinaryFolderNames(bool windows, std::vector<std::pair<int, std::string>>& out);
  static int ConvertSimReleaseIdToReleaseNum(int releaseId);
  static int ConvertReleaseNumToSimReleaseId(int releaseNum);
  static void GetSupportedOSIds(std::set<int>& out, bool all, bool windowsOnly);
  static void GetAllSupportedOSesMap(std::map<int, std::string>& out);
  static void ConvertOSIdsToString(
      const std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*>& sides, std::string& text);
  static bool IsValidUpdateOSId(int id);   // 1..34
  static std::string GetKQApplianceOSName(UpdatePatches::KQApplianceMainOSType type);
  static UpdatePatches::KQApplianceMainOSType GetKQApplianceOSType(const std::string& name);
  static unsigned int GetChecksumBufferSize();

  // ---- Files and folders of the patch jobs (PatchFiles.cpp, PatchFolderCopy.cpp) ----
  // Results are 0, a 0x8000xxxx code (PatchResultCodes.h) or a portable-layer error code.

  // The largest file ReadWholeFile reads (the XML files of the download jobs are far smaller).
  static constexpr unsigned long long kMaxWholeFileBytes = 512ULL << 20;
  // The caps of the files the download jobs read by kind, far above what each holds: the
  // release information (a list of feature releases, kilobytes) and the hotfix configuration
  // (one entry per update of a release, a few MiB at most). A document is decoded into a tree
  // many times its size, so each is read only up to what its kind needs.
  static constexpr unsigned long long kMaxReleaseInfoFileBytes = 16ULL << 20;
  static constexpr unsigned long long kMaxHotfixConfigFileBytes = 64ULL << 20;
  // The whole file as text (up to its first zero byte). Only a regular file of at most
  // kMaxWholeFileBytes (or maxBytes) is read; a larger one fails at once with 0x80000001,
  // anything else that is no regular file with 0x80000010.
  static unsigned int ReadWholeFile(const std::string& path, std::string& text);
  static unsigned int ReadWholeFile(const std::string& path, std::string& text,
                                    unsigned long long maxBytes);
  // Extracts an archive with the 7-Zip program (sevenZipPath: the program, its folder, or empty):
  // all entries with their folders when fileSpec is empty, else the entries matching fileSpec
  // flat into destination. Hostile archives are refused before anything is written, and so is
  // an archive whose listed sizes exceed the destination's free space less the reserve of
  // "MediaAccess"/"nFreeSpaceReserveMB" (0x8000001D); on failure the destination is removed only
  // when this call created it.
  static unsigned int ExtractZipFile(const std::string& sevenZipPath, const std::string& archive,
                                     const std::string& destination, std::string fileSpec,
                                     bool overwrite, bool quietErrors);
  static unsigned int GetFreeDiskSpaces(const std::string& path, unsigned long& freeKiB);
  // <"Base"/"dHOME">/Temp/<name>, made (after removing it when deleteFirst) and returned in path.
  static unsigned int CreateTempFolder(const std::string& name, std::string& path, EvDebug& log,
                                       bool deleteFirst);
  static bool IsFileExisted(const std::string& path);
  static bool IsFolderExisted(const std::string& path);
  static unsigned int CreateDirectories(const std::string& path);
  // Replaces destination by a copy of source: 0, 1 when the copy fails, or a removal error.
  // 0x80000008 (and nothing removed) when either folder is or contains the other.
  static unsigned int CopyFolder(const std::string& source, const std::string& destination,
                                 bool clearReadOnly);
  static std::string GetRemoteServerPath(const std::string& path);
  static unsigned int DeleteDirectories(const std::string& path);
  static unsigned int CopySingleFile(const std::string& source, const std::string& destination);
  static unsigned long long GetFileSize(const std::string& path);
  // path, or path + "_<n>" for the first n that does not exist.
  static unsigned int GetUniqueFolderName(std::string& path);
  static unsigned int WriteStringToFile(const std::string& text, const std::string& path);
  // Copies the files directly inside source (and, with bIgnoreOSFolder, the folders that are
  // not operating-system folders) into destination; links are copied as links. 0x80000008
  // when source and destination are one folder.
  static unsigned int CopyLooseFiles(const std::string& source, const std::string& destination,
                                     bool bIgnoreOSFolder);

  // ---- Media version files and version strings (MediaVersionFiles.cpp) ----

  // Feature release, transaction id, revision, release and build from a media version file.
  static bool GetMediaVersionFromFile(const std::string& path, FullVersion& version);
  static void SetMediaVer(FullVersion& version, int release, int build,
                          const _SPVersion& servicePack);
  // Release and build from an update name such as "11.0.0B80-SP20..."; 0x80000008 otherwise.
  static unsigned int GetSPVersionFromString(const std::string& name, FullVersion& version);
  static void SplitStringByDelimiter(const std::string& text, const std::string& delimiter,
                                     std::vector<std::string>& parts);
  static void SplitStringToVector(std::string text, const std::string& delimiters,
                                  std::vector<std::string>& parts);
  // Raises highest to the highest update transaction id recorded in "UpdateBinTran".
  static unsigned int GetHighestTransactionIdInstalled(unsigned long long& highest);

  // ---- Update configuration files (UpdateIniFiles.cpp) ----

  // Reads an update's configuration file into record and checks it against the record's class.
  static unsigned int ReadConfigurationFromIniFile(const std::string& path,
                                                   tSupportedUpdatesInCopyBase& record,
                                                   IPatchEvent& event);
  // The transaction id of the update in folder, from its "Config/update.ini" (0 when the file
  // has none). 0 on success; 0x80000010, transactionId untouched, when it cannot be read.
  static unsigned int GetTransIdForUpdate(const std::string& folder, int& transactionId);

  // ---- File checksums (CPatchInstallCommonCRC.cpp) ----

  // CRC-32 of the file's bytes in crc: the CRC itself when plain is true, its 32-bit
  // complement when false. 0 on success; 0x80000001 when no read buffer can be had;
  // 0x80000010 (crc untouched) when the file cannot be opened or read.
  static unsigned int CalculateCRC(bool plain, const std::string& path, unsigned long& crc,
                                   IPatchEvent& event);
  // CalculateCRC without its log lines, for checksums worked out ahead on worker threads
  // whose failures are logged where the result is used.
  static unsigned int CalculateCRCSilently(bool plain, const std::string& path,
                                           unsigned long& crc);
  // CalculateCRC of the entry `name` of an open folder, opened relative to it (a final link
  // is followed, as opening its path does); log lines name the folder's path + "/" + name.
  static unsigned int CalculateCRCAt(bool plain, const CPxFolderHandle& folder,
                                     const std::string& name, unsigned long& crc,
                                     IPatchEvent& event);
  // Length of an open stream; its read position is kept.
  static long long fileSize(std::ifstream& stream);

  // ---- Credential masking (CPatchInstallCommonXmlHide.cpp) ----

  // Blanks the client-authentication password of a job-option XML (download or copy job when
  // downloadCopy, else push job). 0 with xml unchanged when there is nothing to mask; the
  // decoder's or encoder's non-zero code (xml unchanged) on failure; xml replaced only when
  // the masked text was written whole.
  static int DoXMLHide(std::string& xml, bool downloadCopy);

  // ---- Versions in messages (VersionMessages.cpp) ----

  // Writes the feature-release part of version into an SPVersion message: the database
  // release id (release + 5), build, major, minor, transaction id and revision id.
  static void SetUpdatePatchesSPVersion(const FullVersion& version, CNMessageBase& spVersion);
  // The version an SPVersion message carries (fields 0 to 6; the release from its database
  // release id), and the update-pack number, transaction id and name of an UpdatePack message.
  static FullVersion GetVersionFromSPVersion(const CNMessageBase& spVersion);
  static void SetUPVersionFromUpdatePack(const CNMessageBase& updatePack, FullVersion& version);
  // True for the line-end characters, 10 and 13.
  static bool IsNewLine(char c) { return c == '\n' || c == '\r'; }
  // Removes every line-end character from text, in one pass.
  static void RemoveNewLines(std::string& text);

  // ---- Media-folder scans and deletion plans (PatchMediaFolders.cpp) ----
  // Feature-release folders are named "SP<major>_<transaction id>_R<revision id>" and update-pack
  // folders "CU<n>" (any case, numbers without leading zeros and within int). The deletion plans
  // hand out folder-structure readers: a reader mapped to a side belongs to whoever consumes the
  // map (one reader may serve several sides: destroy each distinct reader once); a reader that
  // ends up unmapped is destroyed here.

  // Walk callbacks (CPxDirectory::Walk) over a media root. servicePackNameMatch records each
  // feature-release folder in its tRetrievalVersion context; matchCUFolders inserts each
  // update-pack number into its std::set<int> context. Entries that are not folders or do not
  // match are passed over; only a null folder, name or context fails (0x80000008).
  static CPxError servicePackNameMatch(const char* dir, const char* name, bool isDir,
                                       void* context);
  static CPxError matchCUFolders(const char* dir, const char* name, bool isDir, void* context);
  // A reader of this library's cache layout for a media version below cacheRoot. False (reader
  // untouched) when the hierarchy cannot be read or the reader not made.
  static bool constructFSObject(const FullVersion& version,
                                KQInstallCommonUtils::IFolderStruct*& reader,
                                const std::string& cacheRoot, EvDebug& log);
  // Plans the deletion of a feature release: its folder joins folders, each of its operating
  // systems present on disk joins sides (mapped to one new reader). False when no reader could
  // be made.
  static bool addSPToDelete(const FullVersion& version, std::vector<std::string>& folders,
                            std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*>& sides,
                            const std::string& cacheRoot, EvDebug& log);
  // Maps to reader every (operating system, version) side whose OS folder exists and that sides
  // lacks; true when it added one. A null reader adds nothing.
  static bool AddAllSubOSesToDelete(
      const FullVersion& version, KQInstallCommonUtils::IFolderStruct* reader,
      std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*>& sides);
  // Plans the deletion of an update pack: featureReleaseFolder/CU<n> joins folders when it
  // exists, and the side joins sides with a reader of its own. False when no reader could be made.
  static bool addCUToDelete(const tRetrievalSide& side, std::vector<std::string>& folders,
                            std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*>& sides,
                            const std::string& cacheRoot, const std::string& featureReleaseFolder,
                            EvDebug& log);
  // Removes each folder with its contents (never through a link); folders keeps exactly those
  // that could not be removed. 0, or the first failure's code (0x80000008 for a path refused
  // as relative, the file-system root or with a "." or ".." component).
  static unsigned int DeleteStaleFolders(std::vector<std::string>& folders);

  // ---- Further groups of static operations are declared below. ----
};

// Walk context of CPatchInstallCommon::CopyLooseFiles.
struct tLooseCopyContext {
  tLooseCopyContext(const std::string& destination, bool ignoreOSFolder)
      : destination(destination), bIgnoreOSFolder(ignoreOSFolder) {}
  std::string destination;
  bool bIgnoreOSFolder;
};

// True when path can be stat'ed and its mode has a bit of modeMask (S_IFREG, S_IFDIR).
bool isFileOrFolderExisted(const std::string& path, int modeMask);
// Compares dotted numeric versions part by part: 1, -1, or 0 (equal, or one ran out first).
int compareSQLVersion(std::string a, std::string b);

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CPATCHINSTALLCOMMON_H_
