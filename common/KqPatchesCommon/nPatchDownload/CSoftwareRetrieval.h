// CSoftwareRetrieval: the base of a software retrieval job (a download or a copy job that
// brings packages, update packs, updates and appliance patches into the software cache).
//
// Declared here so far: the static readers of the Windows appliance configuration
// "KQApplianceConfig_Windows.xml" (CacheFileListsApplianceConfig.cpp). They keep no state of
// their own except the install-client library, loaded at most once per process and kept for
// its life. They run on the caller's thread and log through the EvDebug they are given.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CSOFTWARERETRIEVAL_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CSOFTWARERETRIEVAL_H_

#include <map>
#include <set>
#include <string>

#include "Logging/EvDebug.h"
#include "Messages/UpdatePatches.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/RetrievalSide.h"

namespace nPatchDownload {

// Candidate appliance patch files: side {3, version} -> appliance OS name -> entry whose
// pending list holds the files (7/19 below "KQAppliance/").
typedef std::map<tRetrievalSide, tKQApplainceFilesInfo> tApplianceCandidates;

class CSoftwareRetrieval {
 public:
  // Reads the Windows appliance configuration at configPath and appends its patch files to
  // candidates: every patch of the sub-operating systems named in windowsNames (section
  // "Windows", any case) or sqlNames (other sections), or, installAware, only those the
  // install-client library of this machine says are missing. 0 on success; 0x80000010 when
  // the file cannot be read or decoded; else the install-aware reader's code.
  static unsigned int getPatchFilesList(const std::string& configPath,
                                        const std::set<std::string>& windowsNames,
                                        const std::set<std::string>& sqlNames,
                                        tApplianceCandidates& candidates,
                                        const FullVersion& version, EvDebug& log,
                                        bool installAware);
  // The plain reader over a decoded configuration; always 0.
  static unsigned int getPatchFilesListBasedOnOS(const std::string& configPath,
                                                 const std::set<std::string>& windowsNames,
                                                 const std::set<std::string>& sqlNames,
                                                 tApplianceCandidates& candidates,
                                                 UpdatePatches::KQApplianceOSPatches& config,
                                                 const FullVersion& version, EvDebug& log);
  // The install-aware reader: 0, the library's load or symbol error code, or the failing
  // entry point's own answer.
  static unsigned int getPatchFilesListBasedOnOSUpdInstall(
      const std::string& configPath, const std::set<std::string>& windowsNames,
      const std::set<std::string>& sqlNames, tApplianceCandidates& candidates,
      UpdatePatches::KQApplianceOSPatches& config, const FullVersion& version, EvDebug& log);
};

}  // namespace nPatchDownload

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CSOFTWARERETRIEVAL_H_
