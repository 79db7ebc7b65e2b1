// IComponentsRetrieval: the retriever of one patch type for one media version, made by the
// concrete job (CSoftwareRetrieval::CreateComponentsRetrievals) and shared with the frame.
// It checks which files its sides lack, fetches them, and owns the local folder-structure
// object of its version. Lists it shares with pool tasks are handed over with their mutex.
//
// The statics make folder-structure objects from a template and fetch download-center
// information files; every retrieval class and the concrete retrievers use them.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_ICOMPONENTSRETRIEVAL_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_ICOMPONENTSRETRIEVAL_H_

#pragma GCC visibility push(default)

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Messages/UpdatePatches.h"
#include "nPatchDownload/RetrievalTypes.h"

class IMediaAccess;

namespace nPatchDownload {

class IPatchEvent;

// A value and the mutex that guards it.
template <class T>
using tGuarded = std::pair<std::mutex*, T*>;
typedef std::vector<UpdatePatches::BinaryV11> tFileList;

class IComponentsRetrieval {
 public:
  virtual ~IComponentsRetrieval() {}

  // Decides which files of side must be fetched: fills pending, processed and computed (the
  // side's files), may lower the free space, set reDownloadExisting and the entry's status.
  // 0, 0x8000001A when interrupted, or a failure code.
  virtual unsigned int CheckFile(const tRetrievalSide& side, tGuarded<tFileList> pending,
                                 tGuarded<tFileList> processed, tFileList& computed,
                                 tGuarded<unsigned long long> freeSpaceKB,
                                 bool& reDownloadExisting,
                                 tGuarded<std::set<std::string>> sharedFileNames,
                                 tRetrievalEntry& entry) = 0;
  // Fetches the pending files of side; adds what arrived to retrieved and grows the job's
  // files count and bytes total under their mutexes.
  virtual unsigned int GetFile(const tRetrievalSide& side, const std::string& baseFolder,
                               unsigned long long freeSpaceKB, const tFileList& pending,
                               tGuarded<tFileList> retrieved,
                               tGuarded<unsigned long long> filesCount,
                               tGuarded<unsigned long long> bytesTotal,
                               tRetrievalEntries& packages, tRetrievalEntries& maintenanceReleases,
                               tRetrievalEntry& entry, bool isCopy) = 0;
  virtual unsigned int GetSeedFiles(IMediaAccess& media, std::string& first,
                                    std::string& second) = 0;
  virtual const std::set<tRetrievalSide>& GetSides() = 0;
  virtual unsigned int GetInstallerFiles(const std::string& baseFolder, IMediaAccess& media,
                                         int osId) = 0;
  virtual unsigned int PostGetFileOperation(const tRetrievalSide& side,
                                            tRetrievalEntries& target) = 0;
  // The retriever's own local folder-structure object (it keeps ownership).
  virtual KQInstallCommonUtils::IFolderStruct* GetLocalFolderStruct() = 0;
  virtual unsigned int DoRootFilesPatching(const tRetrievalSide& side) = 0;
  // Copy jobs: may change the succeeded updates before they are recorded.
  virtual void AdjustSucceededUpdatesForCopy(tSideFolderMap& succeededUpdates) = 0;

  // Sets the template, version and separator of params and exactly the seven placeholders:
  // MEDIAROOT = mediaRoot; VERSION, BUILD, SPMAJOR, TRANSACTIONID, REVISIONID and CUNUMBER =
  // the decimal text of the version's fields 0, 1, 2, 5, 6 and 8.
  static void fillInFolderStructParams(tFolderStructParam& params, const FullVersion& version,
                                       const std::string& xmlTemplate,
                                       const std::string& mediaRoot,
                                       const std::string& separator);
  // Makes a folder-structure object from params; the caller owns it and releases it with
  // DestroyFolderStructReader. 0 with object set; 0x80000021 for a template that does not
  // decode; else the reader's code (which callers treat as 0x80000021 when it is 0 and object
  // is null).
  static unsigned int ConstructFolderStructObjects(const tFolderStructParam& params,
                                                   KQInstallCommonUtils::IFolderStruct*& object,
                                                   IPatchEvent& event);
  // Fetches a download-center information file with the download record (flag 0). A failed
  // fetch raises the specific error 0x44000046 (job status 2; remote and local path) and
  // returns its code; a file missing afterwards gives 0x8000000F.
  static unsigned int GetDVDInfoFile(IMediaAccess& media, const std::string& remotePath,
                                     const std::string& localPath, IPatchEvent& event);
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_ICOMPONENTSRETRIEVAL_H_
